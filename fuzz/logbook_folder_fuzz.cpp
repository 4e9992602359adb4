// The names in a logbook's folder are outside input: whoever may add names
// there puts what he likes. One name per line: the logbook's first, then
// files, folders ("#name") and links to a file elsewhere ("@name"). The
// housekeeping (free-space check, removal of the oldest backup) on a disk
// that never has room removes the logbook's backups and temporaries that no
// one holds, and nothing else: never the logbook, a folder or a link.
#include "fuzz_check.h"
#include "glimra/logbookfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Kind { File, Folder, Link };

// No room ever, and every file written before now.
class NoRoom : public glimra::LogbookEnvironment {
public:
    explicit NoRoom(std::string folder) : folder_(std::move(folder)) {}
    std::optional<std::uint64_t> freeBytes(const std::string&) override { return 0; }
    std::chrono::system_clock::time_point now() override {
        return std::chrono::system_clock::now() + std::chrono::hours(24);
    }
    std::string currentDirectory() override { return folder_; }

private:
    std::string folder_;
};

// A scratch root per process, with the file the links lead to.
struct Scratch {
    Scratch() {
        char name[] = "/tmp/logbook-folder-fuzz-XXXXXX";
        fuzz::check(::mkdtemp(name) != nullptr);
        root = name;
        victim = root + "/victim";
        const int fd = ::open(victim.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        fuzz::check(fd >= 0 && ::write(fd, "v", 1) == 1);
        ::close(fd);
    }
    ~Scratch() {
        ::unlink(victim.c_str());
        ::rmdir(root.c_str());
    }
    std::string root, victim;
};

bool fileStands(const std::string& path, Kind kind) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return kind == Kind::Folder ? S_ISDIR(st.st_mode)
           : kind == Kind::Link ? S_ISLNK(st.st_mode)
                                : S_ISREG(st.st_mode);
}

bool make(const std::string& path, Kind kind, const std::string& victim) {
    if (kind == Kind::Folder) {
        return ::mkdir(path.c_str(), 0700) == 0;
    }
    if (kind == Kind::Link) {
        return ::symlink(victim.c_str(), path.c_str()) == 0;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool made = fd >= 0 && ::write(fd, "logbook", 7) == 7;
    ::close(fd);
    return made;
}

void removeAll(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    fuzz::check(dir != nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && ::unlink((folder + "/" + name).c_str()) != 0) {
            ::rmdir((folder + "/" + name).c_str());
        }
    }
    ::closedir(dir);
    fuzz::check(::rmdir(folder.c_str()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    const std::string folder = scratch.root + "/folder";
    fuzz::check(::mkdir(folder.c_str(), 0700) == 0);

    std::string logbook;
    std::map<std::string, Kind> made;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string name(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        Kind kind = Kind::File;
        if (!logbook.empty() && !name.empty() && (name[0] == '#' || name[0] == '@')) {
            kind = name[0] == '#' ? Kind::Folder : Kind::Link;
            name.erase(0, 1);
        }
        if (name.empty() || name == "." || name == ".." || name.size() > 200 ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
            continue;
        }
        if (make(folder + "/" + name, kind, scratch.victim)) {
            made.emplace(name, kind);
            if (logbook.empty()) {
                logbook = name;
            }
        }
    }

    if (!logbook.empty()) {
        glimra::ScopedLogbookEnvironment environment(std::make_shared<NoRoom>(folder));
        fuzz::check(!glimra::checkDiskSpace(logbook, {}));
        fuzz::check(!glimra::deleteOldestBackup(logbook));
        for (const auto& [name, kind] : made) {
            const bool file = kind == Kind::File && name != logbook;
            const bool backup = file && glimra::isBackupName(logbook, name);
            const bool temporary = file && name.starts_with(".logbook-") && name.ends_with(".tmp");
            const bool stands = fileStands(folder + "/" + name, kind);
            // Backups all go, with never room enough.
            fuzz::check(backup ? !stands : temporary || stands);
        }
        fuzz::check(fileStands(scratch.victim, Kind::File));
    }
    removeAll(folder);
    return 0;
}
