#pragma once
// The tests' own XSVF writer, from the published format: one byte of
// command, numbers big-endian, bit vectors as ceil(bits / 8) big-endian
// bytes whose least significant bit is shifted first. Written apart from the
// driver's player, so that the two are not checked by one reading of the
// format. Values are at most 64 bits wide here.

#include "sim/jtag_chain.h"
#include "xsvf_player.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavrintest {

class XsvfWriter {
public:
    XsvfWriter& raw(std::initializer_list<uint8_t> bytes) {
        out_.insert(out_.end(), bytes);
        return *this;
    }
    XsvfWriter& complete() { return raw({0x00}); }
    XsvfWriter& tdoMask(uint64_t mask) { return command(0x01).vector(mask, drBits_); }
    XsvfWriter& sir(uint8_t bits, uint64_t instruction) {
        return command(0x02).number(bits, 1).vector(instruction, bits);
    }
    XsvfWriter& sdr(uint64_t tdi) { return command(0x03).vector(tdi, drBits_); }
    XsvfWriter& runTest(uint32_t microseconds) { return command(0x04).number(microseconds, 4); }
    XsvfWriter& repeat(uint8_t times) { return command(0x07).number(times, 1); }
    XsvfWriter& sdrSize(uint32_t bits) {
        drBits_ = bits;
        return command(0x08).number(bits, 4);
    }
    XsvfWriter& sdrTdo(uint64_t tdi, uint64_t expected) {
        return command(0x09).vector(tdi, drBits_).vector(expected, drBits_);
    }
    XsvfWriter& sdrMasks(uint64_t address, uint64_t data) {
        dataBits_ = static_cast<uint32_t>(std::popcount(data));
        return command(0x0A).vector(address, drBits_).vector(data, drBits_);
    }
    // The first value, then one data value per step, dataBits_ wide.
    XsvfWriter& sdrInc(uint64_t first, const std::vector<uint64_t>& steps) {
        command(0x0B).vector(first, drBits_).number(steps.size(), 1);
        for (uint64_t data : steps) {
            vector(data, dataBits_);
        }
        return *this;
    }
    // XSDRTDOB, XSDRTDOC, XSDRTDOE: part 0, 1 or 2 of a split shift.
    XsvfWriter& sdrTdoPart(int part, uint64_t tdi, uint64_t expected) {
        return command(static_cast<uint8_t>(0x0F + part))
            .vector(tdi, drBits_)
            .vector(expected, drBits_);
    }
    XsvfWriter& state(uint8_t tapState) { return command(0x12).number(tapState, 1); }
    XsvfWriter& endIr(uint8_t code) { return command(0x13).number(code, 1); }
    XsvfWriter& endDr(uint8_t code) { return command(0x14).number(code, 1); }
    XsvfWriter& comment(const std::string& text) {
        command(0x16);
        out_.insert(out_.end(), text.begin(), text.end());
        out_.push_back(0);
        return *this;
    }
    XsvfWriter& wait(uint8_t waitState, uint8_t endState, uint32_t microseconds) {
        return command(0x17).number(waitState, 1).number(endState, 1).number(microseconds, 4);
    }

    const std::vector<uint8_t>& bytes() const { return out_; }

private:
    XsvfWriter& command(uint8_t code) { return raw({code}); }
    XsvfWriter& number(uint64_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) {
            out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    XsvfWriter& vector(uint64_t value, uint32_t bits) { return number(value, (bits + 7) / 8); }

    std::vector<uint8_t> out_;
    uint32_t drBits_ = 0;
    uint32_t dataBits_ = 0;
};

// What a programming stream does to the simulated logic device.
struct CpldPlan {
    std::vector<uint16_t> words; // from address 0
    uint32_t eraseUs = 150000;
    uint32_t programUs = 2000;
    uint8_t repeat = 0;
    bool erase = true;
    uint32_t idcode = sim::JtagChainConfig{}.idcode;
};

// Checks the id code, erases, programs the words with XSDRINC (each shift
// checks that the device is ready again), then verifies word by word: the
// verify register shows the word of the address the shift before set.
inline std::vector<uint8_t> cpldProgrammingStream(const CpldPlan& plan) {
    constexpr uint64_t kReady = sim::kJtagStatusReady;
    constexpr uint64_t kStatusBits = sim::kJtagStatusReady | sim::kJtagStatusBusy;
    const auto at = [](std::size_t address) { return static_cast<uint64_t>(address) << 16; };
    XsvfWriter w;
    w.comment("programming test").state(0).endIr(0).endDr(0).repeat(plan.repeat);
    w.sir(8, sim::kJtagIdcode).sdrSize(32).tdoMask(0xFFFFFFFF).sdrTdo(0, plan.idcode);
    w.sdrSize(sim::kJtagIscBits).tdoMask(kStatusBits);
    if (plan.erase) {
        w.sir(8, sim::kJtagErase).runTest(plan.eraseUs).sdrTdo(0, kReady);
    }
    w.runTest(plan.programUs).sir(8, sim::kJtagProgram).sdrMasks(at(1), 0xFFFF);
    if (!plan.erase) {
        w.sdrTdo(at(0) | plan.words.front(), kReady); // the status XSDRINC compares with
    }
    std::vector<uint64_t> rest(plan.words.begin() + 1, plan.words.end());
    w.sdrInc(at(0) | plan.words.front(), rest);
    w.sir(8, sim::kJtagVerify).runTest(0).tdoMask(0).sdrTdo(at(0), 0).tdoMask(0xFFFFF);
    for (std::size_t i = 0; i < plan.words.size(); ++i) {
        w.sdrTdo(at((i + 1) % plan.words.size()), at(i) | plan.words[i]);
    }
    return w.complete().bytes();
}

// The loader's JTAG request served by a chain directly, without a board.
struct ChainPort final : kavrin::JtagPort {
    explicit ChainPort(sim::JtagChainConfig config = {}) : chain(std::move(config)) {}
    int request(uint16_t subCommand, uint16_t index, uint8_t* tdo) override {
        const sim::JtagAnswer answer =
            sim::serveJtagRequest(chain, subCommand, index, tdo != nullptr);
        if (!answer.ok) {
            return EPIPE;
        }
        if (tdo != nullptr) {
            *tdo = *answer.tdo;
        }
        if (answer.finished) {
            finished = answer.finished;
        }
        return 0;
    }
    bool removed() const override { return false; }

    sim::JtagChain chain;
    std::optional<bool> finished;
};

} // namespace kavrintest
