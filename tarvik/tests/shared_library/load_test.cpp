// libtarvik.so as a process loads it: set-up at load, clean-up at unload, many
// times over, with nothing left behind. Uses only the public header and the
// library's exported functions (looked up by name, as a client binding at run
// time does).

#include "tarvik.h"

#include "platform/ui_provider.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// A joined thread may linger in /proc for a moment after its join returned.
bool threadCountFallsTo(size_t expected) {
    for (int i = 0; i < 5000; ++i) {
        if (threadCount() <= expected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool isLoaded() {
    void* handle = dlopen(TARVIK_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

class Library {
public:
    Library() : handle_(dlopen(TARVIK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    template <class F> F* get(const char* name) const {
        return reinterpret_cast<F*>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        // No machine-wide parameters: the set-up records level 6, code 305.
        ::setenv("VELDON_MACHINE_CONFIG", "/nonexistent/veldon-machine", 1);
        ASSERT_FALSE(isLoaded());
    }
    void TearDown() override { ::unsetenv("VELDON_MACHINE_CONFIG"); }

    std::shared_ptr<platform::RecordingUiProvider> ui =
        std::make_shared<platform::RecordingUiProvider>();
    platform::ScopedUiProvider uiScope{ui};
};

TEST_F(LoadTest, LoadsAndUnloadsManyTimesLeavingNoThread) {
    std::thread([] {}).join(); // sanitizer runtimes start their helpers here
    const size_t threadsBefore = threadCount();
    for (int round = 0; round < 50; ++round) {
        {
            Library library;
            ASSERT_TRUE(library.loaded()) << dlerror();
            auto* init = library.get<decltype(KORAL_InitLibrary)>("KORAL_InitLibrary");
            auto* getCode = library.get<decltype(KORAL_GetErrorCode)>("KORAL_GetErrorCode");
            auto* actual =
                library.get<decltype(KORAL_GetActualInterfaceID)>("KORAL_GetActualInterfaceID");
            ASSERT_NE(init, nullptr);
            ASSERT_NE(getCode, nullptr);
            ASSERT_NE(actual, nullptr);
            EXPECT_EQ(init(0, 0, 0), 0);
            EXPECT_EQ(actual(), 1);
            LastErrorRecord record;
            ASSERT_EQ(getCode(&record), 0);
            // Every load starts from a fresh record.
            EXPECT_EQ(record.level, KORAL_LEVEL_DEFAULT_VALUE);
            EXPECT_EQ(record.code, 305);
            EXPECT_EQ(getCode(nullptr), -1); // leaves a record for the next load to clear
        }
        ASSERT_FALSE(isLoaded()) << "round " << round;
    }
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));
    EXPECT_EQ(ui->boxes().size(), 50u);
}

TEST_F(LoadTest, BoxOfTheLoadedLibraryGoesThroughTheProvider) {
    Library library;
    ASSERT_TRUE(library.loaded()) << dlerror();
    auto* check = library.get<decltype(KORAL_WarningMessagesEx)>("KORAL_WarningMessagesEx");
    auto* boxes = library.get<decltype(KORAL_ErrorMessages)>("KORAL_ErrorMessages");
    ASSERT_NE(check, nullptr);
    ASSERT_NE(boxes, nullptr);
    ui->script({platform::MessageBoxAnswer::No});
    EXPECT_EQ(check(1, 1, 16), -1);
    ASSERT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(ui->boxes()[0].title, "Driver Application Error :");
    EXPECT_EQ(ui->boxes()[0].text,
              "\tFunction Name: \tKORAL_WarningMessagesEx\n\tInterface ID:\t16\n\tError Level: "
              "\tFUNCTION CALL IGNORED\n\tError Code: \tINVALID PARAMETER VALUE\n\tError Info: "
              "\tINVALID INTERFACE ID\n\n\n\tDisplay error codes continuous ?");
    EXPECT_EQ(boxes(-2), 0); // answered No
    EXPECT_EQ(check(1, 1, 16), -1);
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(LoadTest, OnlyKoralNamesAreVisible) {
    Library library;
    ASSERT_TRUE(library.loaded()) << dlerror();
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "KORAL_InitLibrary"), nullptr); // loaded locally
    EXPECT_EQ(library.get<void>("_ZN6tarvik13LibraryAttachEv"), nullptr);
    EXPECT_EQ(library.get<void>("_ZN6tarvik17CheckInterfaceStateEii"), nullptr);
    EXPECT_NE(library.get<void>("KORAL_GetErrorString"), nullptr);
}

} // namespace
