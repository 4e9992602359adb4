#include "kavrin_test_support.h"

#include "event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace kavrintest {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    std::replace(name.begin(), name.end(), '/', '_');
    path_ = std::filesystem::temp_directory_path() /
            ("kavrin-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& text) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        previous_ = old;
    }
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

void writeShippedImages(const std::filesystem::path& directory, std::initializer_list<int> images) {
    for (int image : images) {
        std::ofstream(directory / ("image" + std::to_string(image) + ".hex"), std::ios::binary)
            << sim::fx2ImageHex(*sim::fx2ShippedImage(image));
    }
}

BoardHarness::BoardHarness(sim::Fx2BoardConfig config)
    : board(std::make_shared<sim::Fx2Board>(std::move(config))) {
    writeShippedImages(firmware.path());
    context.name = "kavrin-test";
    kavrin::registerMessages(context.name);
    context.firmwareDirectory = firmware.path();
    context.boardIds.slots[0].taken = true;
    device.driver = &context;
    device.slot = 0;
    port = sim::Fx2Board::plug(board);
    follow();
}

BoardHarness::~BoardHarness() {
    if (port) {
        port->unplug();
    }
    kavrin::unregisterMessages(context.name);
}

void BoardHarness::follow(bool configure) {
    device.usb = port->hostDevice();
    if (!device.usb) {
        return;
    }
    const platform::usb::DeviceDescriptor& descriptor = device.usb->deviceDescriptor();
    device.updateIdentity([&](kavrin::BoardIdentity& identity) {
        identity.vendorId = descriptor.idVendor;
        identity.productId = descriptor.idProduct;
        identity.boardId = descriptor.bcdDevice & 0x0F;
    });
    if (configure) {
        ASSERT_EQ(device.usb->selectConfiguration(1), 0);
        device.pipes = device.usb->configurations().front().interfaces.front().endpoints;
    }
}

std::vector<std::string> loadPhases(const sim::Fx2Board& board) {
    std::vector<std::string> phases;
    for (const sim::Fx2Board::Request& request : board.requests()) {
        std::string phase;
        if (request.request == sim::kFx2RequestInternalLoad &&
            request.value == sim::kFx2CpuControl && request.data.size() == 1) {
            phase = request.data[0] & 1 ? "hold" : "run";
        } else if (request.request == sim::kFx2RequestInternalLoad) {
            phase = "A0";
        } else if (request.request == sim::kFx2RequestExternalLoad) {
            phase = "A3";
        } else if (request.request == sim::kFx2RequestGetFirmwareId) {
            phase = "fwid";
        } else if (request.request == sim::kFx2RequestGetError) {
            phase = "gerr";
        } else {
            phase = "other";
        }
        if ((phase == "A0" || phase == "A3") && !phases.empty() && phases.back() == phase) {
            continue;
        }
        phases.push_back(phase);
    }
    return phases;
}

std::size_t count(const std::vector<std::string>& phases, const std::string& phase) {
    return static_cast<std::size_t>(std::count(phases.begin(), phases.end(), phase));
}

std::vector<uint32_t> eventIds(const platform::RecordingEventLog& log, const std::string& source) {
    std::vector<uint32_t> ids;
    for (const platform::RecordingEventLog::Record& record : log.records()) {
        if (record.entry.source == source) {
            ids.push_back(record.entry.eventId);
        }
    }
    return ids;
}

} // namespace kavrintest
