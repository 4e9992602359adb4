#pragma once
// The fixture of the library's white-box tests: the library set up as at load
// (machine and user configuration roots in fresh temporary directories), boxes
// answered by a recorder, and helpers that put slots in place the way an open
// would.

#include "../../../platform/tests/temp_dir.h"

#include "core/last_error.h"
#include "core/library_attach.h"
#include "core/library_state.h"

#include "platform/config_store.h"
#include "platform/ui_provider.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tarvik::testing {

// Sets the configuration roots before the library reads them.
class ConfigRoots {
public:
    ConfigRoots();
    ~ConfigRoots();
    ConfigRoots(const ConfigRoots&) = delete;
    ConfigRoots& operator=(const ConfigRoots&) = delete;

    // Opens (creating) a key for writing.
    platform::ConfigKey writeKey(platform::ConfigRoot root, const std::string& path) const;

    platform::testing::TempDir machine{"tarvik_machine"};
    platform::testing::TempDir user{"tarvik_user"};
};

class TarvikTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the machine-wide parameters; call before attach() in tests that
    // set attachInSetUp = false.
    platform::ConfigKey parametersKey() const;
    void attach();

    // A slot of ID id and board type type, counted as open, with a handle.
    DeviceSlot& addSlot(int32_t id, uint32_t type,
                        platform::DeviceHandle handle = platform::kPlaceholderDeviceHandle);
    LibraryState& state() const { return *libraryState(); }

    LastErrorRecord record() const { return lastErrorRecord(); }
    // level/code/info/id as "5/505/818 id 16 KORAL_..." for readable failures.
    static std::string describe(const LastErrorRecord& record);
    static std::string expected(int32_t level, int32_t code, int32_t info, int32_t id,
                                const std::string& name);

    bool attachInSetUp = true;
    ConfigRoots roots;
    std::shared_ptr<platform::RecordingUiProvider> ui =
        std::make_shared<platform::RecordingUiProvider>();
    platform::ScopedUiProvider uiScope{ui};
};

#define EXPECT_RECORD(level, code, info, id, name)                                                 \
    EXPECT_EQ(describe(record()), expected(level, code, info, id, name))

} // namespace tarvik::testing
