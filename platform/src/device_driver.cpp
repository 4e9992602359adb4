// The driver's side of the device layer: driver objects and their loading,
// device objects, device interfaces.

#include "device_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>

namespace platform {

using namespace detail;

std::string Guid::toString() const {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                  data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                  data4[6], data4[7]);
    return text;
}

DriverObject::DriverObject(std::string name)
    : name_(std::move(name)), registryPath_("System\\CurrentControlSet\\Services\\" + name_) {}
DriverObject::~DriverObject() = default;

PhysicalDevice::PhysicalDevice(std::string instanceId, std::shared_ptr<void> busContext)
    : busContext_(std::move(busContext)), instanceId_(std::move(instanceId)) {}
PhysicalDevice::~PhysicalDevice() = default;

DeviceObject::DeviceObject(DriverObject& driver, PhysicalDevice* physical, DeviceOptions options,
                           std::shared_ptr<void> extension)
    : extension_(std::move(extension)), driver_(driver), physical_(physical),
      options_(std::move(options)) {}
DeviceObject::~DeviceObject() = default;

namespace {

void atExitShutdown() {
    shutdownDevices();
}

std::string upperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// "libkavrin.so" -> "kavrin".
std::string driverNameOf(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    if (const size_t so = name.find(".so"); so != std::string::npos) {
        name.erase(so);
    }
    if (name.starts_with("lib") && name.size() > 3) {
        name.erase(0, 3);
    }
    return name;
}

void clearRoutines(DriverNode& driver) {
    driver.dispatchCreate = nullptr;
    driver.dispatchCleanup = nullptr;
    driver.dispatchClose = nullptr;
    driver.dispatchDeviceControl = nullptr;
    driver.addDevice = nullptr;
    driver.startDevice = nullptr;
    driver.queryStopDevice = nullptr;
    driver.stopDevice = nullptr;
    driver.queryRemoveDevice = nullptr;
    driver.surpriseRemoval = nullptr;
    driver.removeDevice = nullptr;
    driver.dispatchPower = nullptr;
    driver.driverUnload = nullptr;
    driver.context.reset();
}

// Takes the driver off the list and drops everything of it that may point
// into its library. Its devices are gone already.
void retireDriver(const std::shared_ptr<DriverNode>& driver) {
    DeviceLayer& l = layer();
    std::vector<std::shared_ptr<void>> dropped; // destroyed outside the lock
    {
        std::lock_guard lock(l.mutex);
        for (const auto& weak : driver->everCreated) {
            if (auto device = weak.lock()) {
                dropped.push_back(device->takeExtension());
            }
        }
        std::vector<std::shared_ptr<PhysicalNode>> keep;
        for (const auto& physical : l.physicals) {
            if (physical->driver == driver) {
                dropped.push_back(physical->takeContext());
            } else {
                keep.push_back(physical);
            }
        }
        l.physicals.swap(keep);
        driver->deferredArrivals.clear();
        driver->unloaded = true;
        std::erase(l.drivers, driver);
    }
    dropped.clear();
    clearRoutines(*driver);
}

// Runs a driver's entry with the driver already listed, so that it can name
// itself; arrivals it reports are queued once it succeeded.
DriverStatus runDriverEntry(const std::shared_ptr<DriverNode>& driver, const DriverEntry& entry) {
    DeviceLayer& l = layer();
    {
        std::lock_guard lock(l.mutex);
        if (l.shuttingDown) {
            return kStatusNoSuchDevice;
        }
        for (const auto& other : l.drivers) {
            if (other->name() == driver->name()) {
                reportDeviceEvent(kEventDriverNameInUse, {driver->name()});
                return kStatusObjectNameCollision;
            }
        }
        l.drivers.push_back(driver);
    }
    const DriverStatus status = guarded("entry", [&] { return entry(*driver); });
    if (status != kStatusSuccess) {
        std::vector<std::shared_ptr<DeviceNode>> devices;
        {
            std::lock_guard lock(l.mutex);
            devices = driver->devices;
            for (const auto& [instanceId, context] : driver->deferredArrivals) {
                l.announced.erase(instanceId);
            }
        }
        for (const auto& device : devices) {
            deleteDeviceNode(device);
        }
        retireDriver(driver);
        reportDeviceEvent(kEventDriverEntryFailed, {driver->name(), std::to_string(status)});
        return status;
    }
    std::lock_guard lock(l.mutex);
    driver->initialising = false;
    for (auto& [instanceId, context] : driver->deferredArrivals) {
        queueArrivalLocked(driver, instanceId, std::move(context));
    }
    driver->deferredArrivals.clear();
    return kStatusSuccess;
}

bool loadLibraryLocked(const std::string& path) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(path, error);
    if (error || !std::filesystem::is_regular_file(canonical, error)) {
        reportDeviceEvent(kEventDriverLibraryMissing, {path});
        return fail(ENOENT);
    }
    DeviceLayer& l = layer();
    {
        std::lock_guard lock(l.mutex);
        for (const auto& driver : l.drivers) {
            if (driver->libraryPath == canonical.string()) {
                return true;
            }
        }
    }
    void* library = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        reportDeviceEvent(kEventDriverLibraryBroken, {path, why != nullptr ? why : ""});
        return fail(ELIBBAD);
    }
    auto entry = reinterpret_cast<DriverEntryFunction>(dlsym(library, kDriverEntrySymbol));
    if (entry == nullptr) {
        dlclose(library);
        reportDeviceEvent(kEventDriverEntryMissing, {path, kDriverEntrySymbol});
        return fail(ENOEXEC);
    }
    auto driver = std::make_shared<DriverNode>(driverNameOf(canonical));
    driver->library = library;
    driver->libraryPath = canonical.string();
    const DriverStatus status =
        runDriverEntry(driver, [entry](DriverObject& object) { return entry(&object); });
    if (status != kStatusSuccess) {
        dlclose(library);
        return fail(status);
    }
    // The library's own destructors were registered at its load; shutting down
    // before them keeps its code and data alive while its routines run at exit.
    std::atexit(atExitShutdown);
    return true;
}

std::shared_ptr<DeviceNode> nodeOf(DeviceObject& device) {
    return static_cast<DeviceNode&>(device).shared_from_this();
}

} // namespace

namespace detail {

DeviceLayer& layer() {
    // Never destroyed: threads of other modules may still call in during exit;
    // the at-exit shutdown stops everything that runs.
    static DeviceLayer* instance = [] {
        auto* created = new DeviceLayer;
        std::atexit(atExitShutdown);
        return created;
    }();
    return *instance;
}

bool onLayerThread() {
    DeviceLayer& l = layer();
    return l.pnp.onThread() || l.notifier.onThread();
}

// Without VELDON_DRIVER_PATH the drivers of the tree are found in the
// "drivers" directory beside the directory of this library (a build tree), or
// in veldon/drivers below it (an installed tree), so that a program or a C
// client finds them with no set-up.
static std::string defaultDriverPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&defaultDriverPath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, error);
    if (error) {
        return {};
    }
    for (const std::filesystem::path& drivers :
         {library.parent_path().parent_path() / "drivers",
          library.parent_path() / "veldon" / "drivers"}) {
        if (std::filesystem::is_directory(drivers, error)) {
            return drivers.string();
        }
    }
    return {};
}

void ensureDriversLoaded() {
    DeviceLayer& l = layer();
    bool settled = false;
    {
        std::lock_guard load(l.loadMutex);
        if (!l.pathLoaded) {
            l.pathLoaded = true;
            const char* variable = std::getenv("VELDON_DRIVER_PATH");
            const std::string list = variable != nullptr ? variable : defaultDriverPath();
            size_t start = 0;
            while (start <= list.size()) {
                size_t end = list.find(':', start);
                if (end == std::string::npos) {
                    end = list.size();
                }
                const std::string entry = list.substr(start, end - start);
                start = end + 1;
                if (entry.empty()) {
                    continue;
                }
                std::error_code error;
                if (std::filesystem::is_directory(entry, error)) {
                    std::vector<std::string> files;
                    for (const auto& item : std::filesystem::directory_iterator(entry, error)) {
                        if (item.path().extension() == ".so") {
                            files.push_back(item.path().string());
                        }
                    }
                    std::sort(files.begin(), files.end());
                    for (const std::string& file : files) {
                        loadLibraryLocked(file);
                    }
                } else {
                    loadLibraryLocked(entry);
                }
            }
        }
        settled = l.initialSettled;
    }
    if (!settled && !onLayerThread()) {
        l.pnp.waitIdle();
        std::lock_guard load(l.loadMutex);
        l.initialSettled = l.pathLoaded;
    }
}

void unloadAllDrivers() {
    DeviceLayer& l = layer();
    std::vector<std::shared_ptr<DriverNode>> drivers;
    {
        std::lock_guard lock(l.mutex);
        drivers = l.drivers;
    }
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
        const std::shared_ptr<DriverNode>& driver = *it;
        std::vector<std::shared_ptr<DeviceNode>> devices;
        {
            std::lock_guard lock(l.mutex);
            devices = driver->devices;
        }
        for (auto device = devices.rbegin(); device != devices.rend(); ++device) {
            if ((*device)->physicalNode) {
                removeDeviceNode(*device);
            }
        }
        if (driver->driverUnload) {
            guarded("unload", [&] {
                driver->driverUnload(*driver);
                return kStatusSuccess;
            });
        }
        {
            std::lock_guard lock(l.mutex);
            devices = driver->devices;
        }
        for (const auto& device : devices) {
            deleteDeviceNode(device);
        }
        retireDriver(driver);
        if (driver->library != nullptr) {
            dlclose(driver->library);
            driver->library = nullptr;
        }
    }
}

void deleteDeviceNode(const std::shared_ptr<DeviceNode>& device) {
    DeviceLayer& l = layer();
    std::vector<IoRequestPtr> pending;
    {
        std::lock_guard lock(l.mutex);
        if (device->deleted) {
            return;
        }
        device->deleted = true;
        device->removed = true;
        for (const InterfaceRecord& record : l.interfaces) {
            if (record.device == device && record.enabled) {
                l.notifier.postClass(record.interfaceClass, DeviceChangeEvent::RemoveComplete,
                                     record.path);
            }
        }
        std::erase_if(l.interfaces,
                      [&](const InterfaceRecord& record) { return record.device == device; });
        std::erase(device->driverNode->devices, device);
        for (const auto& file : device->files) {
            pending.insert(pending.end(), file->pending.begin(), file->pending.end());
        }
    }
    for (const IoRequestPtr& request : pending) {
        IoAccess::cancel(request, kStatusNoSuchDevice);
    }
}

} // namespace detail

bool registerDriver(std::string_view name, DriverEntry entry) {
    if (name.empty() || !entry) {
        return fail(EINVAL);
    }
    DeviceLayer& l = layer();
    std::lock_guard load(l.loadMutex);
    const DriverStatus status =
        runDriverEntry(std::make_shared<DriverNode>(std::string(name)), entry);
    return status == kStatusSuccess ? true : fail(status);
}

bool loadDriverLibrary(const std::string& path) {
    DeviceLayer& l = layer();
    std::lock_guard load(l.loadMutex);
    return loadLibraryLocked(path);
}

DriverStatus createDevice(DriverObject& driver, PhysicalDevice* physical,
                          const DeviceOptions& options, std::shared_ptr<void> extension,
                          DeviceObject*& device) {
    device = nullptr;
    if (options.name.find_first_of("\\/") != std::string::npos) {
        return kStatusInvalidParameter;
    }
    DeviceLayer& l = layer();
    std::shared_ptr<DriverNode> owner = static_cast<DriverNode&>(driver).shared_from_this();
    std::shared_ptr<PhysicalNode> pdo =
        physical != nullptr ? static_cast<PhysicalNode*>(physical)->shared_from_this() : nullptr;
    std::lock_guard lock(l.mutex);
    if (owner->unloaded) {
        return kStatusInvalidParameter;
    }
    if (!options.name.empty()) {
        for (const auto& other : l.drivers) {
            for (const auto& existing : other->devices) {
                if (equalsNoCase(existing->options().name, options.name)) {
                    return kStatusObjectNameCollision;
                }
            }
        }
    }
    if (pdo && pdo->fdo) {
        return kStatusObjectNameCollision;
    }
    auto node = std::make_shared<DeviceNode>(owner, pdo, options, std::move(extension));
    if (pdo) {
        node->instanceId = pdo->instanceId();
        pdo->fdo = node;
    } else {
        char number[16];
        std::snprintf(number, sizeof number, "%04u", owner->legacyCounter++);
        node->instanceId = "ROOT\\" + upperCase(owner->name()) + "\\" + number;
    }
    owner->devices.push_back(node);
    owner->everCreated.push_back(node);
    device = node.get();
    return kStatusSuccess;
}

void deleteDevice(DeviceObject& device) {
    deleteDeviceNode(nodeOf(device));
}

DriverStatus registerDeviceInterface(DeviceObject& device, const Guid& interfaceClass,
                                     std::string_view referenceString, std::string& devicePath) {
    std::shared_ptr<DeviceNode> node = nodeOf(device);
    std::string path = "\\\\?\\" + node->instanceId + "#" + interfaceClass.toString();
    std::replace(path.begin() + 4, path.end(), '\\', '#');
    if (!referenceString.empty()) {
        path += "\\";
        path += referenceString;
    }
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    if (node->deleted) {
        return kStatusNoSuchDevice;
    }
    devicePath = path;
    for (const InterfaceRecord& record : l.interfaces) {
        if (record.device == node && record.path == path) {
            return kStatusSuccess;
        }
    }
    l.interfaces.push_back(InterfaceRecord{node, interfaceClass, path, false});
    return kStatusSuccess;
}

DriverStatus setDeviceInterfaceState(DeviceObject& device, std::string_view devicePath,
                                     bool enable) {
    std::shared_ptr<DeviceNode> node = nodeOf(device);
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    for (InterfaceRecord& record : l.interfaces) {
        if (record.device != node || record.path != devicePath) {
            continue;
        }
        if (enable && node->removed) {
            return kStatusNoSuchDevice;
        }
        if (record.enabled != enable) {
            record.enabled = enable;
            l.notifier.postClass(record.interfaceClass,
                                 enable ? DeviceChangeEvent::Arrival
                                        : DeviceChangeEvent::RemoveComplete,
                                 record.path);
        }
        return kStatusSuccess;
    }
    return ENOENT;
}

} // namespace platform
