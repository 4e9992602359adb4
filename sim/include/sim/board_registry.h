#pragma once
// The simulated boards of the process, for the board driver and for tests.
//
// The board driver attaches when it is loaded: the boards of the set-up file
// are created in file order and reported to the platform as arrived; a
// board of interface type 6 with usb_board = 1 is instead an FX2 board
// plugged into the simulated USB bus, where the USB board driver finds it. When the
// driver is unloaded (platform::shutdownDevices) it detaches and the registry
// is empty again; a test that keeps a board pointer can still read its log.
//
// Hot-plug: a board can be declared at run time (addBoard), unplugged and
// plugged in again; each reports the change to the platform's plug-and-play
// thread (platform::waitForPnpIdle() waits until it was handled). An FX2
// board leaves the simulated USB bus and comes back as a board just powered
// up (a new Fx2Board that runs its operating image, as after an earlier
// download). A board whose set-up has unplug_after_ms is unplugged that long
// after its first open (the first device open of the driver's attachment), and
// with replug_after_ms plugged in again that long after, by a thread of the
// registry on the platform clock; the driver's detach stops and joins it.
//
// Results are errno values: 0, ENODEV no board driver attached, ENOENT no
// such board, EALREADY the board is already in that state, EEXIST a name in
// use or a driver attached already, EINVAL a configuration without a name,
// with an unsupported interface type or a board id outside 1..15; or the
// platform's error of the report.
//
// Thread-safe. Boards are found by name without regard to ASCII case.

#include "sim/board_model.h"
#include "sim/fx2_board.h"
#include "sim/setup.h"

#include "platform/thread.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class BoardRegistry {
public:
    static BoardRegistry& instance();

    // In declaration order.
    std::vector<std::shared_ptr<BoardModel>> boards() const;
    std::shared_ptr<BoardModel> find(std::string_view name) const;
    // The first board of the type whose identity carries the board id.
    std::shared_ptr<BoardModel> findByBoardId(int interfaceType, int boardId) const;
    std::shared_ptr<BoardModel> findByInstanceId(std::string_view instanceId) const;

    // FX2 boards of the set-up, in file order (after a replug the new board);
    // null for another name.
    std::shared_ptr<Fx2Board> findUsbBoard(std::string_view name) const;
    std::size_t usbBoardCount() const;

    // --- hot-plug
    // Declares a board and plugs it in; *added (may be null) gets it.
    int addBoard(const BoardConfig& config, std::shared_ptr<BoardModel>* added = nullptr);
    int unplug(std::string_view name);
    int plugIn(std::string_view name);

    // --- the board driver
    // Empty when none is attached.
    std::string driverName() const;
    // Creates the boards and reports them as arrived for the driver.
    int attachDriver(std::string_view driverName, const std::vector<BoardConfig>& boards);
    // Forgets every board (their devices are gone already) and unplugs the
    // FX2 boards; only for the driver that is attached.
    void detachDriver(std::string_view driverName);

private:
    BoardRegistry() = default;

    struct UsbBoard {
        std::string name;
        BoardConfig config;
        std::shared_ptr<Fx2Board> board;
        std::shared_ptr<platform::usb::SimPort> port; // null while unplugged
    };
    // unplug_after_ms and replug_after_ms of a board.
    struct HotPlugTimer {
        std::string name;
        uint32_t unplugAfterMs = 0;
        uint32_t replugAfterMs = 0;
        std::unique_ptr<platform::Thread> thread; // from the first open on
    };

    std::shared_ptr<BoardModel> findLocked(std::string_view name) const;
    UsbBoard* findUsbLocked(std::string_view name);
    int addLocked(const BoardConfig& config, std::shared_ptr<BoardModel>* added);
    int setPlugged(std::string_view name, bool plugged);
    void deviceOpened(std::string_view instanceId);
    uint32_t runTimer(const HotPlugTimer& timer);

    mutable std::mutex mutex_;
    std::string driverName_;
    std::vector<std::shared_ptr<BoardModel>> boards_;
    std::vector<UsbBoard> usbBoards_;
    std::vector<std::unique_ptr<HotPlugTimer>> timers_;
    uint32_t nextInstance_ = 1;
};

} // namespace sim
