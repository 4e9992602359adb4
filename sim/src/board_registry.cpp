// The simulated boards of the process.

#include "sim/board_registry.h"

#include "sim/board_driver.h"

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/last_error.h"

#include <cerrno>
#include <cstdio>

namespace sim {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = x >= 'A' && x <= 'Z' ? static_cast<char>(x - 'A' + 'a') : x;
        y = y >= 'A' && y <= 'Z' ? static_cast<char>(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

int lastReportError() {
    const uint32_t error = platform::lastError();
    return error != 0 ? static_cast<int>(error) : EIO;
}

// An FX2 board as the set-up describes it, already running the operating
// image of its generation (as after an earlier download), so that it needs
// no re-enumeration to come up.
Fx2BoardConfig usbBoardConfig(const BoardConfig& config) {
    Fx2BoardConfig fx;
    fx.generation = (config.hardwareWord >> 12) == 2 ? 2 : 1;
    fx.eepromRelease = config.boardId;
    fx.switchId = config.boardId;
    fx.hardwareWord = config.hardwareWord & 0x0FFF;
    fx.running = fx2ShippedImage(fx.generation == 2 ? 5 : 2);
    fx.sensor = config;
    fx.frameRate = config.frameRate;
    fx.busBytesPerSecond = config.instantBus ? 0.0 : kUsbHighSpeedBulkBytesPerSecond;
    return fx;
}

bool isUsbBoard(const BoardConfig& config) {
    return config.interfaceType == 6 && config.usbBoard;
}

// The bus's instance ids end in "\\SIM<port number>".
bool isOnPort(std::string_view instanceId, const platform::usb::SimPort& port) {
    return instanceId.ends_with("\\SIM" + std::to_string(port.number()));
}

constexpr uint32_t kTimerStartMs = 5000;

} // namespace

BoardRegistry& BoardRegistry::instance() {
    // Never destroyed (the library is never unloaded, see CMakeLists): the
    // platform's at-exit shutdown unloads the driver, which detaches here.
    static BoardRegistry* registry = new BoardRegistry;
    return *registry;
}

std::vector<std::shared_ptr<BoardModel>> BoardRegistry::boards() const {
    std::lock_guard lock(mutex_);
    return boards_;
}

std::shared_ptr<BoardModel> BoardRegistry::findLocked(std::string_view name) const {
    for (const auto& board : boards_) {
        if (equalsNoCase(board->name(), name)) {
            return board;
        }
    }
    return nullptr;
}

std::shared_ptr<BoardModel> BoardRegistry::find(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return findLocked(name);
}

std::shared_ptr<BoardModel> BoardRegistry::findByBoardId(int interfaceType, int boardId) const {
    std::lock_guard lock(mutex_);
    for (const auto& board : boards_) {
        if (board->interfaceType() == interfaceType && board->identity().boardId == boardId) {
            return board;
        }
    }
    return nullptr;
}

std::shared_ptr<BoardModel> BoardRegistry::findByInstanceId(std::string_view instanceId) const {
    std::lock_guard lock(mutex_);
    for (const auto& board : boards_) {
        if (board->instanceId() == instanceId) {
            return board;
        }
    }
    return nullptr;
}

// The reports only queue work for the plug-and-play thread, which never
// waits for this lock while the device layer's lock is held, so both may be
// held here.
int BoardRegistry::addLocked(const BoardConfig& config, std::shared_ptr<BoardModel>* added) {
    if (config.name.empty() || !boardInterfaceClass(config.interfaceType) || config.boardId < 1 ||
        config.boardId > 15) {
        return EINVAL;
    }
    if (findLocked(config.name)) {
        return EEXIST;
    }
    char instanceId[32];
    std::snprintf(instanceId, sizeof instanceId, "VELDONSIM\\BOARD%04u", nextInstance_++);
    auto board = std::make_shared<BoardModel>(config, instanceId);
    board->setPresent(true);
    if (!platform::reportDeviceArrived(driverName_, board->instanceId())) {
        return lastReportError();
    }
    boards_.push_back(board);
    if (added != nullptr) {
        *added = board;
    }
    return 0;
}

int BoardRegistry::addBoard(const BoardConfig& config, std::shared_ptr<BoardModel>* added) {
    std::lock_guard lock(mutex_);
    if (driverName_.empty()) {
        return ENODEV;
    }
    return addLocked(config, added);
}

BoardRegistry::UsbBoard* BoardRegistry::findUsbLocked(std::string_view name) {
    for (UsbBoard& board : usbBoards_) {
        if (equalsNoCase(board.name, name)) {
            return &board;
        }
    }
    return nullptr;
}

int BoardRegistry::setPlugged(std::string_view name, bool plugged) {
    std::shared_ptr<platform::usb::SimPort> leaving; // unplugged outside the lock
    {
        std::lock_guard lock(mutex_);
        if (driverName_.empty()) {
            return ENODEV;
        }
        if (UsbBoard* usb = findUsbLocked(name)) {
            if ((usb->port != nullptr) == plugged) {
                return EALREADY;
            }
            if (plugged) {
                auto board = std::make_shared<Fx2Board>(usbBoardConfig(usb->config));
                std::shared_ptr<platform::usb::SimPort> port = Fx2Board::plug(board);
                if (!port) {
                    return lastReportError();
                }
                usb->board = std::move(board);
                usb->port = std::move(port);
                return 0;
            }
            leaving = std::move(usb->port);
        } else {
            const std::shared_ptr<BoardModel> board = findLocked(name);
            if (!board) {
                return ENOENT;
            }
            if (board->present() == plugged) {
                return EALREADY;
            }
            const bool reported =
                plugged ? platform::reportDeviceArrived(driverName_, board->instanceId())
                        : platform::reportDeviceGone(board->instanceId());
            if (!reported) {
                return lastReportError();
            }
            board->setPresent(plugged);
            return 0;
        }
    }
    leaving->unplug();
    return 0;
}

// On the opening thread, after the open.
void BoardRegistry::deviceOpened(std::string_view instanceId) {
    std::lock_guard lock(mutex_);
    if (driverName_.empty()) {
        return;
    }
    std::string name;
    for (const auto& board : boards_) {
        if (board->instanceId() == instanceId) {
            name = board->name();
        }
    }
    for (const UsbBoard& board : usbBoards_) {
        if (board.port && isOnPort(instanceId, *board.port)) {
            name = board.name;
        }
    }
    for (const std::unique_ptr<HotPlugTimer>& timer : timers_) {
        if (timer->thread || !equalsNoCase(timer->name, name)) {
            continue;
        }
        timer->thread = std::make_unique<platform::Thread>();
        const HotPlugTimer* running = timer.get();
        timer->thread->start(
            [this, running](platform::Thread& self) {
                self.signalRunning();
                return runTimer(*running);
            },
            kTimerStartMs);
    }
}

// Its sleeps end when the detach asks the thread to stop.
uint32_t BoardRegistry::runTimer(const HotPlugTimer& timer) {
    if (!platform::sleepMs(timer.unplugAfterMs) || unplug(timer.name) != 0 ||
        timer.replugAfterMs == 0 || !platform::sleepMs(timer.replugAfterMs)) {
        return 0;
    }
    plugIn(timer.name);
    return 0;
}

int BoardRegistry::unplug(std::string_view name) {
    return setPlugged(name, false);
}

int BoardRegistry::plugIn(std::string_view name) {
    return setPlugged(name, true);
}

std::string BoardRegistry::driverName() const {
    std::lock_guard lock(mutex_);
    return driverName_;
}

int BoardRegistry::attachDriver(std::string_view driverName,
                                const std::vector<BoardConfig>& boards) {
    std::lock_guard lock(mutex_);
    if (!driverName_.empty()) {
        return EEXIST;
    }
    if (driverName.empty()) {
        return EINVAL;
    }
    driverName_ = std::string(driverName);
    for (const BoardConfig& config : boards) {
        if (isUsbBoard(config)) {
            auto board = std::make_shared<Fx2Board>(usbBoardConfig(config));
            std::shared_ptr<platform::usb::SimPort> port = Fx2Board::plug(board);
            if (!port) {
                return lastReportError();
            }
            usbBoards_.push_back({config.name, config, std::move(board), std::move(port)});
        } else if (const int rc = addLocked(config, nullptr); rc != 0) {
            // The driver's entry fails with this, and the platform drops the
            // arrivals it queued for it.
            driverName_.clear();
            boards_.clear();
            timers_.clear(); // none started: nothing was opened yet
            return rc;
        }
        if (config.unplugAfterMs > 0) {
            timers_.push_back(std::make_unique<HotPlugTimer>(
                HotPlugTimer{config.name, config.unplugAfterMs, config.replugAfterMs, nullptr}));
        }
    }
    if (!timers_.empty()) {
        platform::setDeviceOpenObserver(
            [](std::string_view instanceId) { instance().deviceOpened(instanceId); });
    }
    return 0;
}

void BoardRegistry::detachDriver(std::string_view driverName) {
    std::vector<std::shared_ptr<BoardModel>> dropped; // released outside the lock
    std::vector<UsbBoard> unplugged;
    std::vector<std::unique_ptr<HotPlugTimer>> timers; // their threads take the lock
    {
        std::lock_guard lock(mutex_);
        if (driverName_ != driverName) {
            return;
        }
        driverName_.clear();
        for (const auto& board : boards_) {
            board->setPresent(false);
        }
        dropped.swap(boards_);
        unplugged.swap(usbBoards_);
        timers.swap(timers_);
    }
    if (!timers.empty()) {
        platform::setDeviceOpenObserver({});
    }
    timers.clear(); // stops and joins
    for (const UsbBoard& board : unplugged) {
        if (board.port) {
            board.port->unplug();
        }
    }
}

std::shared_ptr<Fx2Board> BoardRegistry::findUsbBoard(std::string_view name) const {
    std::lock_guard lock(mutex_);
    for (const UsbBoard& board : usbBoards_) {
        if (equalsNoCase(board.name, name)) {
            return board.board;
        }
    }
    return nullptr;
}

std::size_t BoardRegistry::usbBoardCount() const {
    std::lock_guard lock(mutex_);
    return usbBoards_.size();
}

} // namespace sim
