#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace platform;

namespace {

const std::string kDownloadError =
    "KX-VEL02: Error during firmware download, please refer to the manual about further "
    "informations or try another USB port.";

// Registers a message table for the length of a test.
struct SourceGuard {
    std::string name;
    SourceGuard(std::string n, std::map<uint32_t, std::string> messages) : name(std::move(n)) {
        registerEventSource(name, std::move(messages));
    }
    ~SourceGuard() { unregisterEventSource(name); }
};

} // namespace

TEST(EventLog, SeverityComesFromTheTopBitsOfTheId) {
    EXPECT_EQ(eventSeverityOf(0xC0070005), EventSeverity::Error);
    EXPECT_EQ(eventSeverityOf(0x80070005), EventSeverity::Warning);
    EXPECT_EQ(eventSeverityOf(0x40070005), EventSeverity::Informational);
    EXPECT_EQ(eventSeverityOf(0x00070005), EventSeverity::Success);
}

TEST(EventLog, RecorderKeepsTheEntryWithTheSourceText) {
    SourceGuard source("kavrin", {{0xC0070005, kDownloadError + "\r\n"}});
    auto recorder = std::make_shared<RecordingEventLog>();
    ScopedEventLogBackend installed(recorder);
    writeEventLog({"kavrin", 0xC0070005, EventSeverity::Error, {}, {}});
    const auto records = recorder->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].entry.source, "kavrin");
    EXPECT_EQ(records[0].entry.eventId, 0xC0070005u);
    EXPECT_EQ(records[0].text, kDownloadError) << "the closing line break is not part of the text";
}

TEST(EventLog, InsertionStringsReplaceTheirNumbers) {
    SourceGuard source("src", {{1, "%1 failed on %2 (%3); 100%% %0 %12 %"}});
    EventLogEntry entry{"src", 1, EventSeverity::Warning, {"download", "port 2"}, {}};
    EXPECT_EQ(formatEventMessage(entry), "download failed on port 2 (%3); 100%% %0 %12 %");
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; ++i) {
        twelve.push_back("s" + std::to_string(i));
    }
    entry.strings = twelve;
    EXPECT_EQ(formatEventMessage(entry), "s1 failed on s2 (s3); 100%% %0 s12 %");
}

TEST(EventLog, UnknownMessageShowsTheIdAndTheStrings) {
    EXPECT_EQ(formatEventMessage({"nobody", 0xC0070004, EventSeverity::Error, {}, {}}),
              "event 0xC0070004");
    EXPECT_EQ(formatEventMessage({"nobody", 7, EventSeverity::Error, {"a", "b"}, {}}),
              "event 0x00000007: a, b");
    SourceGuard source("kavrin", {{0xC0070005, kDownloadError}});
    EXPECT_EQ(formatEventMessage({"kavrin", 0xC0070001, EventSeverity::Error, {}, {}}),
              "event 0xC0070001");
}

TEST(EventLog, UnregisteredSourceLosesItsTexts) {
    registerEventSource("gone", {{1, "text"}});
    unregisterEventSource("gone");
    EXPECT_EQ(formatEventMessage({"gone", 1, EventSeverity::Error, {}, {}}), "event 0x00000001");
}

TEST(EventLog, SyslogLineIsOneLineWithABoundedDump) {
    EventLogEntry entry{"kavrin", 1, EventSeverity::Error, {}, {0x01, 0xAB}};
    EXPECT_EQ(SyslogEventLog::formatLine(entry, "bad\nboard\tid"),
              "kavrin: bad board id [data: 01 AB]");
    entry.data.assign(100, 0xFF);
    const std::string line = SyslogEventLog::formatLine(entry, "x");
    EXPECT_NE(line.find("... (100 bytes)]"), std::string::npos);
    EXPECT_EQ(line.size(), std::string("kavrin: x [data:").size() + 64 * 3 +
                               std::string(" ... (100 bytes)]").size());
}

TEST(EventLog, DefaultBackendIsSyslogAndNullPutsItBack) {
    auto recorder = std::make_shared<RecordingEventLog>();
    setEventLogBackend(recorder);
    EXPECT_EQ(eventLogBackend(), recorder);
    EXPECT_EQ(setEventLogBackend(nullptr), recorder);
    EXPECT_NE(dynamic_cast<SyslogEventLog*>(eventLogBackend().get()), nullptr);
}

TEST(EventLog, WritesFromManyThreadsAreAllKept) {
    auto recorder = std::make_shared<RecordingEventLog>();
    ScopedEventLogBackend installed(recorder);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (uint32_t i = 0; i < 100; ++i) {
                writeEventLog({"kavrin", t * 1000 + i, EventSeverity::Error, {}, {}});
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(recorder->records().size(), 800u);
    recorder->clear();
    EXPECT_TRUE(recorder->records().empty());
}
