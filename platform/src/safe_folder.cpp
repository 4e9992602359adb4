#include "platform/safe_folder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kMaxLinks = 40;

bool trusted(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

// Puts the names of path on top of the ones still to walk (next on the back).
void pushNames(std::string_view path, std::vector<std::string>& names) {
    std::vector<std::string> found;
    std::string_view name;
    for (;;) {
        const size_t end = path.find('/');
        name = path.substr(0, end);
        if (!name.empty() && name != ".") {
            found.emplace_back(name);
        }
        if (end == std::string_view::npos) {
            break;
        }
        path.remove_prefix(end + 1);
    }
    // A path that ends in "/" or "/." names a folder, as the system reads it:
    // an empty name after its last one makes that one a folder to enter.
    if ((name.empty() || name == ".") && !found.empty() && found.back() != "..") {
        found.emplace_back();
    }
    names.insert(names.end(), found.rbegin(), found.rend());
}

int readLink(int folder, const char* name, std::string& out) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(folder, name, target.data(), target.size());
    if (n < 0) {
        return errno;
    }
    if (static_cast<size_t>(n) >= target.size()) {
        return ENAMETOOLONG;
    }
    target.resize(static_cast<size_t>(n));
    out = std::move(target);
    return 0;
}

std::string userName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        return found->pw_name;
    }
    return "uid " + std::to_string(uid);
}

// The group gid, or false when it cannot be looked up.
bool findGroup(gid_t gid, group& gr, std::vector<char>& buffer) {
    group* found = nullptr;
    int rc = 0;
    while ((rc = ::getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 24)) {
        buffer.resize(buffer.size() * 2);
    }
    return rc == 0 && found != nullptr;
}

std::string groupName(gid_t gid) {
    group gr{};
    std::vector<char> buffer(16384);
    return findGroup(gid, gr, buffer) && gr.gr_name != nullptr ? gr.gr_name
                                                               : "gid " + std::to_string(gid);
}

bool trustedName(const char* name) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    return ::getpwnam_r(name, &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
           trusted(found->pw_uid);
}

// Whether someone but root and the calling user may be in group gid: named
// in its member list, or having it as primary group. A group that cannot be
// looked up may hold anyone. Only asked where a group write bit is set.
bool groupHasOthers(gid_t gid) {
    group gr{};
    std::vector<char> buffer(16384);
    if (!findGroup(gid, gr, buffer)) {
        return true;
    }
    for (char** member = gr.gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (!trustedName(*member)) {
            return true;
        }
    }
    // The user enumeration is one per process: the lock keeps ours whole.
    static std::mutex enumeration;
    const std::lock_guard lock(enumeration);
    ::setpwent();
    passwd pw{};
    passwd* entry = nullptr;
    std::vector<char> line(16384);
    int rc = 0;
    bool others = false;
    while (!others) {
        rc = ::getpwent_r(&pw, line.data(), line.size(), &entry);
        if (rc == ERANGE && line.size() < (1u << 24)) {
            line.resize(line.size() * 2);
            continue;
        }
        if (rc != 0 || entry == nullptr) {
            break;
        }
        others = pw.pw_gid == gid && !trusted(pw.pw_uid);
    }
    ::endpwent();
    // Anything but the end of the list leaves users unseen.
    return others || (rc != 0 && rc != ENOENT);
}

// The write bits that let someone else write a file of the user or root.
mode_t othersWriteBits(const struct stat& st) {
    mode_t bits = st.st_mode & (S_IWGRP | S_IWOTH);
    if ((bits & S_IWGRP) != 0 && !groupHasOthers(st.st_gid)) {
        bits &= ~S_IWGRP; // the group is the user's own (a user private group)
    }
    return bits;
}

// A sticky folder of the user or root: only a name's owner may replace it.
bool stickyGuards(const struct stat& st) {
    return trusted(st.st_uid) && (st.st_mode & S_ISVTX) != 0;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string parentOf(const std::string& folder) {
    const size_t slash = folder.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
}

} // namespace

bool othersMayWrite(const struct stat& st) {
    return !trusted(st.st_uid) || (st.st_mode & S_IWOTH) != 0 ||
           ((st.st_mode & S_IWGRP) != 0 && groupHasOthers(st.st_gid));
}

bool othersMayReplaceIn(const struct stat& st) {
    return !stickyGuards(st) && othersMayWrite(st);
}

std::string whoElseMayWrite(const std::string& path, const struct stat& st) {
    if (!trusted(st.st_uid)) {
        return path + " belongs to another user (" + userName(st.st_uid) + "), not to you";
    }
    const auto mend = [&path](const char* bits) {
        return "; chmod " + std::string(bits) + " " + path + " makes it safe";
    };
    switch (othersWriteBits(st)) {
    case S_IWGRP:
        return path + " can be written by its group " + groupName(st.st_gid) + mend("g-w");
    case S_IWOTH:
        return path + " can be written by others" + mend("o-w");
    case S_IWGRP | S_IWOTH:
        return path + " can be written by its group " + groupName(st.st_gid) + " and by others" +
               mend("go-w");
    default:
        return {};
    }
}

SafeFolder::SafeFolder(SafeFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)),
      path_(std::move(other.path_)), why_(std::move(other.why_)), chainSafe_(other.chainSafe_),
      shared_(other.shared_) {}

SafeFolder& SafeFolder::operator=(SafeFolder&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        path_ = std::move(other.path_);
        why_ = std::move(other.why_);
        chainSafe_ = other.chainSafe_;
        shared_ = other.shared_;
    }
    return *this;
}

void SafeFolder::close() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    name_.clear();
    path_.clear();
    why_.clear();
    chainSafe_ = false;
    shared_ = false;
}

int SafeFolder::open(const char* path, bool followLast) {
    close();
    if (path == nullptr || *path == '\0') {
        return ENOENT;
    }
    std::vector<std::string> names;
    if (path[0] != '/') {
        // The working folder's own path has no links in it.
        const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) {
            return errno;
        }
        pushNames(path, names);
        pushNames(cwd.get(), names);
    } else {
        pushNames(path, names);
    }
    chainSafe_ = true;
    // Takes the folder opened, whose path is where (its check counts also when
    // the walk fails later).
    const auto enter = [this](int fd, const std::string& where) {
        if (fd < 0) {
            return errno;
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
        path_ = where;
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            return errno;
        }
        shared_ = othersMayWrite(st);
        if (chainSafe_ && shared_ && !stickyGuards(st)) {
            chainSafe_ = false;
            why_ = whoElseMayWrite(path_, st);
        }
        return 0;
    };
    const auto root = [] { return ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC); };
    const std::string top = "/";
    int rc = enter(root(), top);
    int links = 0;
    while (rc == 0 && !names.empty()) {
        const std::string name = std::move(names.back());
        names.pop_back();
        const bool last = names.empty();
        if (name.empty()) {
            continue; // the folder just entered is where the path ends
        }
        if (name == "..") {
            const std::string up = parentOf(path_);
            rc = enter(::openat(fd_, "..", O_PATH | O_DIRECTORY | O_CLOEXEC), up);
            continue;
        }
        struct stat st {};
        if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            rc = errno;
            if (rc == ENOENT && last) {
                name_ = name; // a file yet to be made
                return 0;
            }
            break;
        }
        if (S_ISLNK(st.st_mode) && (!last || followLast)) {
            std::string target;
            rc = shared_ || ++links > kMaxLinks ? ELOOP : readLink(fd_, name.c_str(), target);
            if (shared_ && why_.empty()) {
                why_ = joined(path_, name) +
                       " is a link in a folder others may write; name its target instead";
            }
            if (rc == 0 && target.empty()) {
                rc = ENOENT;
            }
            if (rc == 0 && target[0] == '/') {
                rc = enter(root(), top);
            }
            pushNames(target, names);
            continue;
        }
        if (last) {
            name_ = name;
            return 0;
        }
        // O_NOFOLLOW: a link put there since the look is refused, not followed.
        const std::string down = joined(path_, name);
        rc = S_ISDIR(st.st_mode)
                 ? enter(::openat(fd_, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                         down)
                 : ENOTDIR;
    }
    if (rc == 0) {
        return 0; // the path ends in a folder: no last name
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    return rc;
}

} // namespace platform
