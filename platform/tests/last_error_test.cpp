#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

TEST(LastError, IsPerThreadAndKeepsRawNumbers) {
    setLastError(31);
    uint32_t seenBefore = 1;
    uint32_t seenAfter = 0;
    std::thread([&] {
        seenBefore = lastError();
        setLastError(0xFFFFFFFFu);
        seenAfter = lastError();
    }).join();
    EXPECT_EQ(seenBefore, 0u);
    EXPECT_EQ(seenAfter, 0xFFFFFFFFu);
    EXPECT_EQ(lastError(), 31u);
    EXPECT_EQ(lastError() + 1000, 1031u);
}

TEST(LastError, IsTheErrnoOfAFailedCall) {
    ASSERT_EQ(::open("/nonexistent-veldon/x", O_RDONLY), -1);
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ENOENT));
}

TEST(LastError, SavedLastErrorSurvivesCleanUpCalls) {
    ASSERT_EQ(::open("/nonexistent-veldon/x", O_RDONLY), -1);
    {
        SavedLastError saved;
        EXPECT_EQ(saved.code(), static_cast<uint32_t>(ENOENT));
        ASSERT_EQ(::close(-1), -1);
        EXPECT_EQ(lastError(), static_cast<uint32_t>(EBADF));
    }
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ENOENT));
}

TEST(LastErrorText, GivesTheSystemTextOrNothing) {
    EXPECT_EQ(lastErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(lastErrorText(EACCES), "Permission denied");
    EXPECT_FALSE(lastErrorText(999999).has_value());
    EXPECT_FALSE(lastErrorText(0x80000000u).has_value());
}

TEST(LastErrorText, LeavesTheLastErrorAlone) {
    setLastError(ENOENT);
    (void)lastErrorText(999999);
    (void)lastErrorText(EACCES);
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ENOENT));
}

} // namespace
} // namespace platform
