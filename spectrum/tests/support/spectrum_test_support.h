#pragma once
// Shared by the program's tests: scratch directories, whole files, and the
// program's log redirected into a file a test can read back.

#include <filesystem>
#include <functional>
#include <string>

namespace spectrum::test {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The widget tests' application (on the offscreen platform unless the
// environment names one), started once per suite and ended by endApplication
// while the libraries it uses still stand, not among the exit handlers.
void startApplication();
void endApplication();

// Runs the event loop until `done` holds; false when it did not within 20 s.
bool runEventsUntil(const std::function<bool()>& done);

// A copy of the simulation set-up file `shipped` in `dir` whose scans come at
// once instead of in real time; its path.
std::string setupWithoutWallTime(const std::string& shipped, const TempDir& dir);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// Sends the log into a file of its own for its lifetime; text() is what was
// written since, with the line ends as the program wrote them ('\n').
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    // Forgets what was logged so far.
    void clear();

private:
    TempDir dir_{"spectrum_log"};
    std::string path_;
    std::size_t skip_ = 0;
};

} // namespace spectrum::test
