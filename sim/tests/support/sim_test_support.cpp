#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace simtest {

TempDir::TempDir() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "veldon_sim_" + std::to_string(::getpid());
    if (test != nullptr) {
        name += std::string("_") + test->test_suite_name() + "_" + test->name();
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& text) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

} // namespace simtest
