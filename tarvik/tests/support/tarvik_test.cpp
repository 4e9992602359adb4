#include "tarvik_test.h"

#include "core/locks.h"
#include "core/registry_parameters.h"

#include <cstdlib>
#include <mutex>
#include <sstream>

namespace tarvik::testing {

ConfigRoots::ConfigRoots() {
    ::setenv("VELDON_MACHINE_CONFIG", machine.path().c_str(), 1);
    ::setenv("VELDON_USER_CONFIG", user.path().c_str(), 1);
}

ConfigRoots::~ConfigRoots() {
    ::unsetenv("VELDON_MACHINE_CONFIG");
    ::unsetenv("VELDON_USER_CONFIG");
}

platform::ConfigKey ConfigRoots::writeKey(platform::ConfigRoot root,
                                          const std::string& path) const {
    platform::ConfigKey key;
    EXPECT_EQ(key.open(root, path, platform::ConfigAccess::Write), 0) << path;
    return key;
}

void TarvikTest::SetUp() {
    if (attachInSetUp) {
        attach();
    }
}

void TarvikTest::TearDown() {
    EXPECT_EQ(LibraryDetach(), 1);
    EXPECT_EQ(libraryState(), nullptr);
}

platform::ConfigKey TarvikTest::parametersKey() const {
    return roots.writeKey(platform::ConfigRoot::Machine, kParametersKey);
}

void TarvikTest::attach() {
    ASSERT_EQ(LibraryAttach(), 1);
    ASSERT_NE(libraryState(), nullptr);
}

DeviceSlot& TarvikTest::addSlot(int32_t id, uint32_t type, platform::DeviceHandle handle) {
    std::lock_guard guard(deviceLock());
    EXPECT_EQ(CreateDeviceSlot(id), 0);
    DeviceSlot* slot = deviceSlot(id);
    slot->boardType = type;
    slot->deviceHandle = handle;
    slot->active = 1;
    state().interfaceTypeInUse = type;
    ++state().openInterfaces;
    state().actualInterfaceId = id;
    return *slot;
}

std::string TarvikTest::describe(const LastErrorRecord& record) {
    return expected(record.level, record.code, record.info, record.interfaceId,
                    std::string(record.functionName, strnlen(record.functionName, 50)));
}

std::string TarvikTest::expected(int32_t level, int32_t code, int32_t info, int32_t id,
                                 const std::string& name) {
    std::ostringstream out;
    out << level << "/" << code << "/" << info << " id " << id << " \"" << name << "\"";
    return out.str();
}

} // namespace tarvik::testing
