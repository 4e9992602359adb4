#include "pa_test_support.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace pa::test {

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[8] = "libpa";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct TempDir {
    TempDir() {
        const char* base = std::getenv("VELDON_TEST_TMP");
        std::filesystem::path root = base && *base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string pattern = (root / "libpa-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::abort();
        }
        path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

} // namespace

const std::string& tempDir() {
    static TempDir dir;
    return dir.path;
}

std::string tempPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    return tempDir() + "/" + std::to_string(counter++) + "_" + stem;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace pa::test
