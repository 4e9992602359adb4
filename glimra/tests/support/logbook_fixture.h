#pragma once
// Shared by the logbook tests: a temporary directory as the current one, a
// fixed clock and a free-space figure the test sets, printers that write PDF
// files, byte-level reads and writes of logbook files, and a virtual clock on
// which another writer acts while the logbook waits.

#include "glimra/logbook.h"
#include "glimra/logbookfile.h"
#include "glimra_test_support.h"
#include "platform/clock.h"

#include <QDir>
#include <QFile>
#include <QPrinter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace glimra::test {

// Mon Dec  7 22:31:18.250 2026, UTC.
inline std::chrono::system_clock::time_point logbookMoment() {
    using namespace std::chrono;
    return sys_days{year{2026} / December / 7} + hours{22} + minutes{31} + seconds{18} +
           milliseconds{250};
}

class FakeLogbookEnvironment : public LogbookEnvironment {
public:
    std::optional<std::uint64_t> freeBytes(const std::string& directory) override {
        measured.push_back(directory);
        return free ? free() : std::optional<std::uint64_t>(std::uint64_t{1} << 40);
    }
    std::chrono::system_clock::time_point now() override { return moment; }
    std::string currentDirectory() override {
        if (resolving) {
            resolving();
        }
        return directory;
    }

    std::function<std::optional<std::uint64_t>()> free;
    // Runs whenever the logbook resolves a path: another process acting
    // between two steps of the logbook's.
    std::function<void()> resolving;
    std::chrono::system_clock::time_point moment = logbookMoment();
    std::string directory;
    std::vector<std::string> measured;
};

// A virtual clock whose first sleep (the logbook waiting for a lock or a
// name) runs then: what another writer does meanwhile.
class ClockWithAnEvent : public platform::Clock {
public:
    platform::TimePoint now() const override { return clock.now(); }
    bool sleepFor(platform::Duration d) override {
        if (const std::function<void()> run = std::exchange(then, nullptr)) {
            run();
        }
        return clock.sleepFor(d);
    }
    std::cv_status waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             platform::TimePoint deadline) override {
        return clock.waitUntil(cv, lock, deadline);
    }

    std::function<void()> then;
    platform::VirtualClock clock;
};

// Printers that write PDF files into the test's directory, at the logbook's
// resolution; what they draw is recorded too.
class PdfPrinterProvider : public PrinterProvider {
public:
    explicit PdfPrinterProvider(std::string directory) : directory_(std::move(directory)) {}

    Choice choosePrinter(QWidget*, bool useDefault, std::unique_ptr<QPrinter>& printer) override {
        asked.push_back(useDefault);
        if (answer != Choice::Chosen) {
            return answer;
        }
        printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setPageSize(QPageSize(QPageSize::A4));
        ++printers;
        printer->setOutputFileName(QString::fromStdString(pdfPath()));
        return Choice::Chosen;
    }
    DrawRecorder* recorder() override { return &record; }

    // The file of the latest printer.
    std::string pdfPath() const {
        return directory_ + "/print" + std::to_string(printers) + ".pdf";
    }

    Choice answer = Choice::Chosen;
    std::vector<bool> asked;
    int printers = 0;
    DrawRecorder record;

private:
    std::string directory_;
};

inline QByteArray readPdf(const std::string& path) {
    QFile pdf(QString::fromStdString(path));
    return pdf.open(QIODevice::ReadOnly) ? pdf.readAll() : QByteArray();
}

inline int pdfPageCount(const QByteArray& pdf) {
    static const QRegularExpression page(QStringLiteral("/Type\\s*/Page[^s]"));
    return static_cast<int>(QString::fromLatin1(pdf).count(page));
}

// A logbook directory of its own, current for the logbook, on a fixed clock.
class LogbookFixture : public WithApplication {
protected:
    static void SetUpTestSuite() {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        startApplication();
    }

    LogbookFixture() { environment->directory = dir.path().toStdString(); }

    std::string path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    std::vector<std::uint8_t> bytes(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    void writeBytes(const std::string& name, const std::vector<std::uint8_t>& data) const {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }

    static std::int32_t le32(const std::vector<std::uint8_t>& data, std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = (v << 8) | data.at(at + static_cast<std::size_t>(i));
        }
        return static_cast<std::int32_t>(v);
    }

    // Record i (1-based) as the file holds it.
    static LogRecord record(const std::vector<std::uint8_t>& data, int i) {
        LogRecord r;
        const std::size_t at = kLogHeaderSize + static_cast<std::size_t>(i - 1) * kLogRecordSize;
        EXPECT_LE(at + kLogRecordSize, data.size());
        if (at + kLogRecordSize <= data.size()) {
            std::memcpy(&r, data.data() + at, kLogRecordSize);
        }
        return r;
    }

    // Puts an INFO entry into record i (1-based), as a writer does.
    static void putRecord(std::vector<std::uint8_t>& data, int i, const char* text) {
        LogRecord r{};
        r.type = LOGENTRY_INFO;
        std::strncpy(r.text, text, sizeof r.text - 1);
        std::memcpy(data.data() + kLogHeaderSize + static_cast<std::size_t>(i - 1) * kLogRecordSize,
                    &r, kLogRecordSize);
    }

    // Sets a file's last-write time, seconds before the fixed moment.
    void age(const std::string& name, int secondsBefore) const {
        const auto t = std::chrono::system_clock::to_time_t(logbookMoment()) - secondsBefore;
        const timespec times[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path(name).c_str(), times, 0), 0);
    }

    bool exists(const std::string& name) const {
        return QFile::exists(QString::fromStdString(path(name)));
    }

    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir dir;
    std::shared_ptr<FakeLogbookEnvironment> environment =
        std::make_shared<FakeLogbookEnvironment>();
    ScopedLogbookEnvironment scopedEnvironment{environment};
    std::shared_ptr<PdfPrinterProvider> printers =
        std::make_shared<PdfPrinterProvider>(dir.path().toStdString());
    ScopedPrinterProvider scopedPrinters{printers};
};

} // namespace glimra::test
