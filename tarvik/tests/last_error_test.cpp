// The last-error record, its texts, the two box flags, the flag stack and the
// error box.

#include "tarvik_test.h"

#include "core/export_frame.h"
#include "core/locks.h"
#include "tarvik.h"

#include "platform/last_error.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvik::testing {
namespace {

using platform::MessageBoxAnswer;
using ::testing::HasSubstr;

std::string text(int32_t code, int32_t info, int32_t size = 256) {
    std::vector<char> buffer(static_cast<size_t>(std::max(size, 1)) + 8, 'x');
    EXPECT_EQ(KORAL_GetErrorString(code, info, buffer.data(), size), 0);
    return buffer.data();
}

class ErrorTextTest : public TarvikTest {};

TEST_F(ErrorTextTest, InfoZeroGivesTheCodeAndOtherwiseTheInfo) {
    EXPECT_EQ(text(505, 0), "INVALID PARAMETER VALUE");
    EXPECT_EQ(text(505, 818), "INVALID INTERFACE ID");
    EXPECT_EQ(text(303, -71), "ERR TIMEOUTDATAREADY"); // negative infos are the link's codes
    EXPECT_EQ(text(0, 0), "");
    EXPECT_EQ(text(999, 0), "UNKNOWN ERROR CODE: \t999\n");
    EXPECT_EQ(text(505, 998), "UNKNOWN ERROR CODE: \t998\n");
}

TEST_F(ErrorTextTest, DriverCodesHaveNoInfoTexts) {
    EXPECT_EQ(text(156, 1013), "UNKNOWN ERROR INFO: \t1013\n");
    EXPECT_EQ(text(101, 818), "UNKNOWN ERROR INFO: \t818\n");
    EXPECT_EQ(text(199, 0), "ADC OVERFLOW");
}

TEST_F(ErrorTextTest, InfosAbove1000AreThePlatformsErrors) {
    EXPECT_EQ(text(303, 1005), *platform::lastErrorText(5));
    EXPECT_EQ(text(303, 1031), *platform::lastErrorText(31));
    EXPECT_EQ(text(1005, 0), *platform::lastErrorText(5));
    EXPECT_EQ(text(303, 1000 + 99999), "UNKNOWN ERROR INFO: \t99999\n");
    EXPECT_EQ(text(1000 + 99999, 0), "UNKNOWN ERROR CODE: \t99999\n");
}

TEST_F(ErrorTextTest, TextsAreTruncatedAndAlwaysTerminated) {
    EXPECT_EQ(text(505, 0, 10), "INVALID P");
    EXPECT_EQ(text(505, 0, 1), "");
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(KORAL_GetErrorString(505, 0, buffer, 0), -1);
    EXPECT_EQ(KORAL_GetErrorString(505, 0, buffer, -1), -1);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(ErrorTextTest, NullBufferFailsWithoutRecord) {
    const LastErrorRecord before = record();
    EXPECT_EQ(KORAL_GetErrorString(505, 0, nullptr, 10), -1);
    EXPECT_EQ(describe(record()), describe(before));
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ErrorTextTest, GetErrorTextTellsValuesWithoutText) {
    char buffer[64];
    EXPECT_EQ(GetErrorText(513, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "UNKNOWN EEPROM IMAGE VERSION");
    EXPECT_EQ(GetErrorText(700, buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "UNKNOWN ERROR CODE: \t700\n");
    EXPECT_EQ(GetErrorText(1002, buffer, sizeof buffer), -1);
    EXPECT_EQ(std::string(buffer), *platform::lastErrorText(2));
}

class ErrorRecordTest : public TarvikTest {};

TEST_F(ErrorRecordTest, GetErrorCodeCopiesTheRecord) {
    recordError(7, 3, 303, 1031);
    recordFunctionName("KORAL_Something");
    LastErrorRecord out;
    std::memset(&out, 0x5A, sizeof out);
    EXPECT_EQ(KORAL_GetErrorCode(&out), 0);
    EXPECT_EQ(describe(out), expected(3, 303, 1031, 7, "KORAL_Something"));
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ErrorRecordTest, LongNamesKeep49Characters) {
    const std::string name(60, 'N');
    recordFunctionName(name.c_str());
    LastErrorRecord out;
    EXPECT_EQ(KORAL_GetErrorCode(&out), 0);
    EXPECT_EQ(std::string(out.functionName), std::string(49, 'N'));
}

TEST_F(ErrorRecordTest, NullRecordIsRefusedWithABox) {
    EXPECT_EQ(KORAL_GetErrorCode(nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetErrorCode");
    ASSERT_EQ(ui->boxes().size(), 1u);
}

TEST_F(ErrorRecordTest, SaveAndRestoreCoverTheWholeRecord) {
    recordError(2, 1, 165, 3);
    recordFunctionName("KORAL_Outer");
    SaveLastError();
    recordError(0, 5, 504, 0);
    recordFunctionName("KORAL_Inner");
    RestoreLastError();
    EXPECT_RECORD(1, 165, 3, 2, "KORAL_Outer");
}

TEST_F(ErrorRecordTest, SetUpClearsTheRecordAndSwitchesBothBoxesOn) {
    recordError(1, 2, 3, 4);
    setErrorBoxFlag(0);
    setWarningBoxFlag(0);
    pushErrorDisplayFlag(1);
    ASSERT_EQ(LibraryDetach(), 1);
    attach();
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_EQ(warningBoxFlag(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
    // Only the missing machine-wide key of the fresh set-up.
    EXPECT_RECORD(6, 305, 0, 0, "");
}

TEST(ErrorRecordWithoutLibraryTest, ErrorExportsWorkWithoutSetUp) {
    platform::ScopedUiProvider silent(std::make_shared<platform::RecordingUiProvider>());
    char buffer[32];
    EXPECT_EQ(KORAL_GetErrorString(504, 0, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "DEVICE NOT OPEN");
    EXPECT_EQ(KORAL_ErrorMessages(-2), 1);
    LastErrorRecord out;
    EXPECT_EQ(KORAL_GetErrorCode(&out), 0);
    // The exports that need the state refuse without touching the record.
    recordError(0, 2, 201, 0);
    recordFunctionName(kAttachFunctionName);
    EXPECT_EQ(KORAL_InitLibrary(0, 0, 0), -1);
    EXPECT_EQ(KORAL_UnInitLibrary(0), -1);
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 1), -1);
    EXPECT_EQ(KORAL_WarningMessages(1, 1), -1);
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 1);
    EXPECT_EQ(KORAL_GetErrorCode(&out), 0);
    EXPECT_EQ(out.level, 2);
    EXPECT_EQ(out.code, 201);
    EXPECT_STREQ(out.functionName, kAttachFunctionName);
}

class ErrorBoxFlagTest : public TarvikTest {};

TEST_F(ErrorBoxFlagTest, ErrorMessagesSwitchesAndQueries) {
    EXPECT_EQ(KORAL_ErrorMessages(-2), 1);
    EXPECT_EQ(KORAL_ErrorMessages(0), 0);
    EXPECT_EQ(KORAL_ErrorMessages(-2), 0);
    EXPECT_EQ(KORAL_ErrorMessages(5), -1);
    EXPECT_EQ(KORAL_ErrorMessages(-2), 1);
    EXPECT_EQ(KORAL_ErrorMessages(0), 0);
    EXPECT_EQ(KORAL_ErrorMessages(-1), 0);
    EXPECT_EQ(KORAL_ErrorMessages(-2), 1);
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ErrorBoxFlagTest, StackIsLastInFirstOutAndEmptyPopsAre255) {
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
    pushErrorDisplayFlag(1);
    pushErrorDisplayFlag(0);
    EXPECT_FALSE(isErrorDisplayFlagStackEmpty());
    EXPECT_EQ(popErrorDisplayFlag(), 0u);
    EXPECT_EQ(popErrorDisplayFlag(), 1u);
    EXPECT_EQ(popErrorDisplayFlag(), kEmptyStackValue);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
}

TEST_F(ErrorBoxFlagTest, FullStackIgnoresFurtherPushes) {
    for (int i = 0; i < kErrorDisplayFlagStackSize; ++i) {
        pushErrorDisplayFlag(static_cast<uint32_t>(i));
    }
    pushErrorDisplayFlag(999);
    EXPECT_EQ(popErrorDisplayFlag(), uint32_t(kErrorDisplayFlagStackSize - 1));
}

TEST_F(ErrorBoxFlagTest, FlagPoppedFromAnEmptyStackCountsAsOff) {
    setErrorBoxFlag(popErrorDisplayFlag());
    EXPECT_EQ(errorBoxFlag(), kEmptyStackValue);
    EXPECT_EQ(KORAL_ErrorMessages(-2), 0);
    EXPECT_EQ(KORAL_GetErrorCode(nullptr), -1);
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ErrorBoxFlagTest, NestedCallKeepsTheBoxOffAndRestoresIt) {
    {
        ErrorBoxOff off;
        EXPECT_EQ(errorBoxFlag(), 0u);
        EXPECT_EQ(KORAL_GetErrorCode(nullptr), -1); // recorded, not shown
        {
            ErrorBoxOff inner;
            EXPECT_EQ(errorBoxFlag(), 0u);
        }
        EXPECT_EQ(errorBoxFlag(), 0u);
    }
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
    EXPECT_TRUE(ui->boxes().empty());
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetErrorCode");
}

TEST_F(ErrorBoxFlagTest, NestedScopesOnManyThreadsLeaveTheFlagAsItWas) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                ErrorBoxOff off;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
    EXPECT_EQ(errorBoxFlag(), 1u);
}

class ErrorBoxTest : public TarvikTest {};

TEST_F(ErrorBoxTest, ErrorWithInterfaceIdUsesItsTemplate) {
    recordError(3, 5, 505, 818);
    failExport("KORAL_Export");
    ASSERT_EQ(ui->boxes().size(), 1u);
    const auto box = ui->boxes()[0];
    EXPECT_EQ(box.title, "Driver Application Error :");
    EXPECT_EQ(box.text, "\tFunction Name: \tKORAL_Export\n\tInterface ID:\t3\n\tError Level: "
                        "\tFUNCTION CALL IGNORED\n\tError Code: \tINVALID PARAMETER VALUE\n\tError "
                        "Info: \tINVALID INTERFACE ID\n\n\n\tDisplay error codes continuous ?");
    EXPECT_EQ(box.buttons, platform::MessageBoxButtons::YesNoCancel);
    EXPECT_EQ(box.icon, platform::MessageBoxIcon::Error);
    EXPECT_EQ(ui->beeps(), std::vector<platform::MessageBoxIcon>{platform::MessageBoxIcon::Error});
}

TEST_F(ErrorBoxTest, WarningWithoutIdUsesTheWarningTemplate) {
    recordError(0, 51, 196, 0);
    failExport("KORAL_GetSpectra");
    ASSERT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(ui->boxes()[0].text,
              "\tFunction Name: \tKORAL_GetSpectra\n\tError Level: \tWARNING: SPECTRAL DATA "
              "LOST\n\tError Code: \tWARNING SPECBUFFER OVERFLOW\n\tError Info: \t\n\n\n\tDisplay "
              "warning messages continuous ?");
}

TEST_F(ErrorBoxTest, TextsOfTheBoxAreCutTo49Characters) {
    recordError(0, 4, 304, 0);
    failExport("KORAL_X");
    ASSERT_EQ(ui->boxes().size(), 1u);
    EXPECT_THAT(ui->boxes()[0].text,
                HasSubstr("\tError Code: \tCAN NOT CHANGE COM PORT SETTINGS, DEVICE IS ALLRE\n"));
}

TEST_F(ErrorBoxTest, NoSwitchesTheClassOffAndOtherAnswersOn) {
    ui->script({MessageBoxAnswer::No, MessageBoxAnswer::No});
    recordError(0, 51, 196, 0);
    failExport("KORAL_A");
    EXPECT_EQ(warningBoxFlag(), 0u);
    EXPECT_EQ(errorBoxFlag(), 1u);
    failExport("KORAL_A"); // warnings are off now
    EXPECT_EQ(ui->boxes().size(), 1u);

    recordError(0, 5, 505, 0);
    failExport("KORAL_B");
    EXPECT_EQ(errorBoxFlag(), 0u);
    failExport("KORAL_B");
    EXPECT_EQ(ui->boxes().size(), 2u);

    ui->script({MessageBoxAnswer::Cancel});
    KORAL_ErrorMessages(1);
    failExport("KORAL_C");
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_EQ(ui->boxes().size(), 3u);
}

// A provider whose box stays open until the test answers it.
class HeldUiProvider : public platform::UiProvider {
public:
    platform::MessageBoxAnswer messageBox(const std::string&, const std::string&,
                                          platform::MessageBoxButtons, platform::MessageBoxIcon,
                                          platform::MessageBoxDefault) override {
        std::unique_lock lock(mutex_);
        open_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return answered_; });
        return answer_;
    }
    void messageBeep(platform::MessageBoxIcon) override {}

    void waitOpen() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }
    void answer(platform::MessageBoxAnswer answer) {
        std::lock_guard lock(mutex_);
        answer_ = answer;
        answered_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool answered_ = false;
    platform::MessageBoxAnswer answer_ = platform::MessageBoxAnswer::Yes;
};

TEST_F(ErrorBoxTest, NoAnsweredInsideANestedCallKeepsTheBoxOffAfterwards) {
    auto held = std::make_shared<HeldUiProvider>();
    platform::ScopedUiProvider scope(held);
    // A box of another thread is open while this thread enters a nested call.
    recordError(0, 5, 505, 0);
    std::thread other([] { failExport("KORAL_Other"); });
    held->waitOpen();
    {
        ErrorBoxOff nested;
        held->answer(MessageBoxAnswer::No);
        other.join();
        EXPECT_EQ(errorBoxFlag(), 0u);
    }
    // The pushed "on" was replaced: the outer export does not switch it back.
    EXPECT_EQ(errorBoxFlag(), 0u);
    EXPECT_EQ(KORAL_ErrorMessages(-2), 0);
}

TEST_F(ErrorBoxTest, OtherThreadsRecordWhileABoxIsOpen) {
    auto held = std::make_shared<HeldUiProvider>();
    platform::ScopedUiProvider scope(held);
    recordError(0, 5, 505, 0);
    std::thread shower([] { failExport("KORAL_Shown"); });
    held->waitOpen();
    std::thread recorder([] { recordError(9, 1, 101, 0); });
    recorder.join(); // would hang if the box held the ErrorLock
    held->answer(MessageBoxAnswer::Yes);
    shower.join();
    EXPECT_EQ(record().interfaceId, 9);
}

} // namespace
} // namespace tarvik::testing
