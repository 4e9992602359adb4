#pragma once
// The other user of the tests where someone else plays the attacker: a forked
// child that becomes nobody when the tests run as root (only root can become
// another user; run by anyone else, the child stays that user, and tests that
// need a second user skip).

#include <csignal>
#include <string>

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform::testing {

inline constexpr uid_t kOtherUid = 65534; // nobody

// In a child: becomes the other user for good. Only calls that are safe
// between fork and exec.
inline bool becomeOtherUser() {
    return ::geteuid() != 0 ||
           (::setgroups(0, nullptr) == 0 && ::setresgid(kOtherUid, kOtherUid, kOtherUid) == 0 &&
            ::setresuid(kOtherUid, kOtherUid, kOtherUid) == 0);
}

// What the other user does to a folder of the user's that stands in a folder
// everyone may write: renames it to moved and puts in its place a link to
// target, or, with target empty, a folder of his own that anyone may write.
inline bool swapFolder(const std::string& folder, const std::string& moved,
                       const std::string& target) {
    if (::rename(folder.c_str(), moved.c_str()) != 0) {
        return false;
    }
    return target.empty() ? ::mkdir(folder.c_str(), 0777) == 0 && ::chmod(folder.c_str(), 0777) == 0
                          : ::symlink(target.c_str(), folder.c_str()) == 0;
}

enum class ChildUser { Same, Other };

// Runs work in a child process and waits for it: the child's exit status,
// that is what work answered (a bool as 1 or 0), 255 when the child could not
// become the other user, -1 when it did not exit.
template <typename Work> int runInChild(Work work, ChildUser user = ChildUser::Other) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(60); // never outlives a hung test
        ::_exit(user == ChildUser::Same || becomeOtherUser() ? static_cast<int>(work()) : 255);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A child of the other user that goes on until it is stopped: once it became
// that user it runs work(ready), which calls ready() when it is under way.
class OtherUserProcess {
public:
    OtherUserProcess() = default;
    ~OtherUserProcess() { stop(); }
    OtherUserProcess(const OtherUserProcess&) = delete;
    OtherUserProcess& operator=(const OtherUserProcess&) = delete;

    // Whether the child said it is under way (false when it ended before).
    template <typename Work> bool start(Work work) {
        stop();
        int told[2];
        if (::pipe(told) != 0) {
            return false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(told[0]);
            ::alarm(60);
            const int out = told[1];
            const auto ready = [out] { return ::write(out, "r", 1) == 1; };
            if (becomeOtherUser()) {
                work(ready);
            }
            ::_exit(0);
        }
        ::close(told[1]);
        char byte = 0;
        const bool started = pid_ > 0 && ::read(told[0], &byte, 1) == 1;
        ::close(told[0]);
        return started;
    }

    // Kills the child and waits for it.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

} // namespace platform::testing
