// The path a user names for a file to write (Save, Export, a run's file):
// any bytes may arrive. Its judgement must answer without waiting on anything
// and without changing anything, and pass only a path at which a regular file
// or nothing stands: never a folder, a pipe, or a path that names a folder.
#include "fuzz_check.h"

#include "platform/own_file.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the paths are read against: a file, a folder, a pipe, links to them,
// and a folder everyone may write with a link of its own.
struct Tree {
    std::string root;
    Tree() {
        char pattern[] = "/tmp/file_to_write_fuzz.XXXXXX";
        fuzz::check(::mkdtemp(pattern) != nullptr);
        root = pattern;
        const auto at = [this](const char* name) { return root + "/" + name; };
        fuzz::check(
            ::mkdir(at("dir").c_str(), 0700) == 0 && ::mkdir(at("shared").c_str(), 0700) == 0 &&
            ::chmod(at("shared").c_str(), 01777) == 0 && ::mkfifo(at("pipe").c_str(), 0600) == 0 &&
            ::symlink("file", at("link").c_str()) == 0 &&
            ::symlink("dir", at("dirlink").c_str()) == 0 &&
            ::symlink("../file", at("shared/link").c_str()) == 0);
        std::FILE* file = std::fopen(at("file").c_str(), "wb");
        fuzz::check(file != nullptr && std::fputs("kept", file) >= 0 && std::fclose(file) == 0);
    }
    ~Tree() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

const Tree& tree() {
    static Tree t;
    return t;
}

bool namesFolder(const std::string& path) {
    return path.ends_with('/') || path.ends_with("/.") || path.ends_with("/..");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string path = tree().root + "/" + std::string(bytes, ::strnlen(bytes, size));
    std::string why;
    if (platform::judgeFileToWrite(path.c_str(), why) == 0) {
        fuzz::check(!namesFolder(path));
        struct stat st {};
        fuzz::check(::stat(path.c_str(), &st) == 0 ? S_ISREG(st.st_mode)
                                                   : errno == ENOENT || errno == ENAMETOOLONG);
    }
    struct stat file {};
    fuzz::check(::stat((tree().root + "/file").c_str(), &file) == 0 && file.st_size == 4);
    return 0;
}
