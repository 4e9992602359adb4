#include "spectrum_test_support.h"

#include "pa/palog.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace spectrum::test {

namespace {
std::unique_ptr<QApplication> application;
} // namespace

void startApplication() {
    if (QApplication::instance() != nullptr) {
        return;
    }
    // The dialogs' remembered settings never reach the user's own file.
    if (!qEnvironmentVariableIsSet("VELDON_REVADUVO_DIR")) {
        static TempDir settings("revaduvo_settings");
        ::setenv("VELDON_REVADUVO_DIR", settings.path().c_str(), 1);
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "spectrum_test";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QApplication>(argc, argv);
}

void endApplication() {
    application.reset();
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

bool runEventsUntil(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > 20000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

std::string setupWithoutWallTime(const std::string& shipped, const TempDir& dir) {
    std::string text = readFile(shipped);
    const std::string key = "wall_time = 1";
    const std::size_t at = text.find(key);
    if (at == std::string::npos) {
        throw std::runtime_error(shipped + " has no \"" + key + "\"");
    }
    text.replace(at, key.size(), "wall_time = 0");
    const std::string path = dir.file("default.ini");
    writeFile(path, text);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

LogCapture::LogCapture() : path_(dir_.file("logfile.log")) {
    if (!pa::openLogFile(path_.c_str())) {
        throw std::runtime_error("cannot open the log " + path_);
    }
    clear();
}

LogCapture::~LogCapture() {
    pa::closeLogFile();
}

std::string LogCapture::text() const {
    std::string crlf = readFile(path_).substr(skip_);
    // The log ends its lines in CR LF; tests compare the program's '\n'.
    std::string text;
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n') {
            continue;
        }
        text += crlf[i];
    }
    return text;
}

void LogCapture::clear() {
    skip_ = readFile(path_).size();
}

} // namespace spectrum::test
