#pragma once
// Helpers of the driver tests: temporary directories and environment, the
// shipped images, a board driven by the driver's own functions without the
// device layer, and the simulated board's requests in short form.

#include "device_extension.h"

#include "platform/event_log.h"
#include "platform/usb_sim.h"
#include "sim/fx2_board.h"

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavrintest {

// A directory of its own, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// The simulated bus's budget for waiting reads (usb_sim.h) for a scope.
struct ScopedSimReadBudget {
    explicit ScopedSimReadBudget(std::size_t bytes) { platform::usb::setSimReadBudget(bytes); }
    ~ScopedSimReadBudget() { platform::usb::setSimReadBudget(0); }
    ScopedSimReadBudget(const ScopedSimReadBudget&) = delete;
    ScopedSimReadBudget& operator=(const ScopedSimReadBudget&) = delete;
};

// image<N>.hex of the simulated board's shipped images into a directory.
void writeShippedImages(const std::filesystem::path& directory,
                        std::initializer_list<int> images = {1, 2, 3, 5});

// A board on the simulated bus with a DEVICE_EXTENSION of its own, slot 0,
// the shipped images in a directory of its own and the board's ids recorded.
struct BoardHarness {
    explicit BoardHarness(sim::Fx2BoardConfig config = {});
    ~BoardHarness();

    // After a re-enumeration: the board's new device; also selects its
    // configuration and records its pipes (configure = true).
    void follow(bool configure = false);

    TempDir firmware;
    kavrin::DriverContext context;
    kavrin::DEVICE_EXTENSION device;
    std::shared_ptr<sim::Fx2Board> board;
    std::shared_ptr<platform::usb::SimPort> port;
};

// The board's load traffic in phases: "hold", "run" (the CPU control
// register), "A0" and "A3" for each run of load requests, "fwid", "gerr".
std::vector<std::string> loadPhases(const sim::Fx2Board& board);
std::size_t count(const std::vector<std::string>& phases, const std::string& phase);

// The message ids a source wrote to a recording event log, in order.
std::vector<uint32_t> eventIds(const platform::RecordingEventLog& log, const std::string& source);

} // namespace kavrintest
