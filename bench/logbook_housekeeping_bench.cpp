// One writer's run on a full logbook whose folder holds many old backups, on
// a disk that never reaches the minimum free room: open the logbook, one
// entry that fills it and so runs the housekeeping (every backup deleted),
// close. Its cost should grow with the backups deleted, not their square.

#include "glimra/logbook.h"
#include "glimra/logbookfile.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>
#include <vector>

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "logbook_housekeeping_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QApplication app(argc, argv);
    return app;
}

// No room ever, the folder of the test, and every backup older than now.
class NoRoom : public glimra::LogbookEnvironment {
public:
    explicit NoRoom(std::string folder) : folder_(std::move(folder)) {}
    std::optional<std::uint64_t> freeBytes(const std::string&) override { return 0; }
    std::chrono::system_clock::time_point now() override {
        return std::chrono::system_clock::now() + std::chrono::hours(1);
    }
    std::string currentDirectory() override { return folder_; }

private:
    std::string folder_;
};

constexpr int kRecords = 2;

void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
}

void BM_WriterRunWithBackups(benchmark::State& state) {
    application();
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    glimra::ScopedLogbookEnvironment environment(std::make_shared<NoRoom>(folder));
    std::vector<char> full(glimra::kLogHeaderSize + kRecords * glimra::kLogRecordSize, 0);
    full[0] = kRecords;
    const std::tm moment = glimra::localNow().tm;
    for (auto _ : state) {
        state.PauseTiming();
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        writeFile(folder + "logbook.log", full);
        for (int i = 1; i <= state.range(0); ++i) {
            writeFile(glimra::backupName(folder + "logbook.log", moment, 1000000000u + i), {1});
        }
        state.ResumeTiming();
        glimra::CZLQLogbookDlg writer;
        const bool written =
            writer.Create(glimra::currentModuleInstance(), nullptr, "logbook.log", kRecords) == 1 &&
            writer.AddMessage("fills the logbook", glimra::LOGENTRY_INFO) == 1;
        writer.Destroy();
        if (!written) {
            state.SkipWithError("the entry was refused");
            break;
        }
    }
    state.counters["backups"] = static_cast<double>(state.range(0));
}

BENCHMARK(BM_WriterRunWithBackups)
    ->Arg(50)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
