#include "dorvel/user_database.h"

#include "platform/clock.h"

#include "../../platform/tests/other_user.h"
#include "../../platform/tests/temp_dir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace dorvel {
namespace {
// Runs while the library makes a hash, when set.
std::function<void()> gWhileHashing;
} // namespace
} // namespace dorvel

// The crypt library's hash, stood in front of (the executable's symbols come
// first) so that a test can act while a hash is made.
extern "C" char* crypt_rn(const char* phrase, const char* setting, void* data, int size);
extern "C" char* crypt_rn(const char* phrase, const char* setting, void* data, int size) {
    using Hash = char* (*)(const char*, const char*, void*, int);
    static const auto hash = reinterpret_cast<Hash>(::dlsym(RTLD_NEXT, "crypt_rn"));
    static thread_local bool acting = false;
    if (dorvel::gWhileHashing && !acting) {
        acting = true;
        dorvel::gWhileHashing();
        acting = false;
    }
    return hash(phrase, setting, data, size);
}

namespace dorvel {
namespace {

using platform::testing::listDirectory;
using platform::testing::readFileBytes;
using platform::testing::TempDir;
using platform::testing::writeFileBytes;

// The cheapest cost the library offers keeps the tests quick; the hashes are
// made the same way as at any other cost.
constexpr uint16_t kTestCost = 1;

class UserDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db.CreateUserFile(path.c_str(), kUserFileLoginRequired, kTestCost));
        ASSERT_TRUE(db.AddUser("operator", "Spectrum12", 1));
        ASSERT_TRUE(db.AddUser("admin", "root-of-all", 7));
    }

    std::vector<uint8_t> fileBytes() const {
        const std::string s = readFileBytes(path);
        return {s.begin(), s.end()};
    }

    TempDir dir{"dorvel_users"};
    std::string path = (dir.path() / "users.dat").string();
    UserDatabase db;
};

TEST_F(UserDatabaseTest, RightPasswordGivesTheLevelAndEveryRefusalIsTheSame) {
    UserDatabase reader;
    ASSERT_TRUE(reader.OpenUserFile(path.c_str()));
    EXPECT_EQ(reader.CheckLogin("operator", "Spectrum12"), 1);
    EXPECT_EQ(reader.CheckLogin("admin", "root-of-all"), 7);
    EXPECT_EQ(reader.GetLastResult(), kUserOk);
    for (const auto& [user, password] :
         {std::pair{"operator", "spectrum12"}, std::pair{"operator", "Spectrum1"},
          std::pair{"nobody", "Spectrum12"}, std::pair{"Operator", "Spectrum12"},
          std::pair{"operator", ""}}) {
        EXPECT_EQ(reader.CheckLogin(user, password), kLoginRefused) << user << " " << password;
        EXPECT_EQ(reader.GetLastResult(), kUserRefused);
    }
    EXPECT_EQ(reader.CheckLogin(nullptr, "x"), kLoginRefused);
    EXPECT_EQ(reader.CheckLogin("admin", nullptr), kLoginRefused);
}

TEST_F(UserDatabaseTest, TheFileHoldsNoPasswordAndOnlyItsOwnerMayReadIt) {
    const std::string bytes = readFileBytes(path);
    EXPECT_EQ(bytes.find("Spectrum12"), std::string::npos);
    EXPECT_EQ(bytes.find("root-of-all"), std::string::npos);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFE\xC5\x95\x04", 4));
    UserFileContents contents;
    ASSERT_EQ(ParseUserFile(fileBytes(), contents), kUserOk);
    ASSERT_EQ(contents.users.size(), 2u);
    // Salted: the same password twice gives two hashes.
    ASSERT_TRUE(db.AddUser("twin", "Spectrum12", 1));
    ASSERT_EQ(ParseUserFile(fileBytes(), contents), kUserOk);
    EXPECT_NE(contents.users[0].hash, contents.users[2].hash);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"users.dat"});
}

TEST_F(UserDatabaseTest, PasswordsAreComparedWhole) {
    // Twelve characters: the prefix of eleven must not open the account.
    ASSERT_TRUE(db.AddUser("a-name-of-exactly-thirty-two-ch.", "abcdefghijkl", 0));
    EXPECT_EQ(db.CheckLogin("a-name-of-exactly-thirty-two-ch.", "abcdefghijkl"), 0);
    EXPECT_EQ(db.CheckLogin("a-name-of-exactly-thirty-two-ch.", "abcdefghijk"), kLoginRefused);
    EXPECT_EQ(db.CheckLogin("a-name-of-exactly-thirty-two-ch", "abcdefghijkl"), kLoginRefused);
    EXPECT_FALSE(db.AddUser("a-name-of-thirty-three-characters", "x", 0));
    EXPECT_EQ(db.GetLastResult(), kUserInvalidArgument);
}

TEST_F(UserDatabaseTest, ChangePasswordChecksTheOldOneItself) {
    EXPECT_FALSE(db.ChangePassword("operator", "wrong", "NewSecret"));
    EXPECT_EQ(db.GetLastResult(), kUserRefused);
    EXPECT_FALSE(db.ChangePassword("ghost", "Spectrum12", "NewSecret"));
    EXPECT_EQ(db.GetLastResult(), kUserRefused);
    EXPECT_FALSE(db.ChangePassword("operator", "Spectrum12", ""));
    EXPECT_EQ(db.GetLastResult(), kUserInvalidArgument);
    ASSERT_TRUE(db.ChangePassword("operator", "Spectrum12", "NewSecret"));

    UserDatabase reader;
    ASSERT_TRUE(reader.OpenUserFile(path.c_str()));
    EXPECT_EQ(reader.CheckLogin("operator", "NewSecret"), 1);
    EXPECT_EQ(reader.CheckLogin("operator", "Spectrum12"), kLoginRefused);
    EXPECT_EQ(reader.CheckLogin("admin", "root-of-all"), 7);
    EXPECT_EQ(readFileBytes(path).find("NewSecret"), std::string::npos);
}

TEST_F(UserDatabaseTest, ChangesReadTheFileAfreshSoOthersChangesStay) {
    UserDatabase other;
    ASSERT_TRUE(other.OpenUserFile(path.c_str()));
    ASSERT_TRUE(db.AddUser("late", "arrival", 2));
    ASSERT_TRUE(other.ChangePassword("admin", "root-of-all", "fresh-root"));
    UserDatabase reader;
    ASSERT_TRUE(reader.OpenUserFile(path.c_str()));
    EXPECT_EQ(reader.CheckLogin("late", "arrival"), 2);
    EXPECT_EQ(reader.CheckLogin("admin", "fresh-root"), 7);
}

// Another process adding users at the same time: each change waits for the
// other's lock, so no addition is lost.
TEST_F(UserDatabaseTest, TwoProcessesAddingUsersLoseNone) {
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const auto addTen = [this](const char* prefix) {
        UserDatabase mine;
        bool ok = mine.OpenUserFile(path.c_str());
        for (int i = 0; i < 10; ++i) {
            ok = mine.AddUser((prefix + std::to_string(i)).c_str(), "Spectrum12", 1) && ok;
        }
        return ok;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        ::close(go[1]);
        const bool started = ::read(go[0], &byte, 1) == 1;
        ::_exit(started && addTen("child") ? 0 : 1);
    }
    ::close(go[0]);
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    EXPECT_TRUE(addTen("parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    UserFileContents contents;
    ASSERT_EQ(ParseUserFile(fileBytes(), contents), kUserOk);
    EXPECT_EQ(contents.users.size(), 22u);
}

// A file that someone else could have written is not trusted, and a change
// leaves it as it is.
TEST_F(UserDatabaseTest, FileOthersCouldWriteIsRefused) {
    const std::string before = readFileBytes(path);
    const uid_t me = ::geteuid();
    struct Case {
        mode_t mode;
        uid_t owner;
        int32_t result;
        gid_t group = static_cast<gid_t>(-1);
    };
    std::vector<Case> cases{{0600, me, kUserOk},
                            {0644, me, kUserOk},
                            {0400, me, kUserOk},
                            {0602, me, kUserFileUnsafe},
                            {0666, me, kUserFileUnsafe}};
    if (me == 0) {
        // Only root can give a file away. Root's group is root's alone; nogroup
        // is the primary group of other users too.
        cases.push_back({0600, 4242, kUserFileUnsafe});
        cases.push_back({0620, me, kUserOk, 0});
        cases.push_back({0620, me, kUserFileUnsafe, 65534});
    }
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        UserDatabase other;
        EXPECT_EQ(other.OpenUserFile(path.c_str()), c.result == kUserOk) << std::oct << c.mode;
        EXPECT_EQ(other.GetLastResult(), c.result) << std::oct << c.mode << " " << c.owner;
        if (c.result != kUserOk) {
            // A file opened while it was sound is checked again by a change.
            EXPECT_FALSE(db.AddUser("late", "arrival", 2));
            EXPECT_EQ(db.GetLastResult(), c.result);
            EXPECT_EQ(readFileBytes(path), before) << std::oct << c.mode;
        }
    }
}

// Another user keeps retargeting a link in a shared folder between the
// owner's user file and the owner's notes while the owner adds users through
// it: the notes are never replaced. A link in a folder others may write is
// never followed, wherever the user file it names lies.
TEST_F(UserDatabaseTest, RetargetedLinkNeverGetsAnotherFileReplaced) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as a second user";
    }
    const std::filesystem::path shared = dir.path() / "shared", own = dir.path() / "own";
    std::filesystem::create_directory(shared);
    std::filesystem::create_directory(own);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711) | ::chown(shared.c_str(), 0, 65534) |
                  ::chmod(shared.c_str(), 0770) | ::chmod(own.c_str(), 0700),
              0);
    const std::string link = (shared / "users.dat").string(), next = (shared / "next").string();
    for (const auto& home : {shared, own}) {
        const std::string target = (home / "real.dat").string(),
                          notes = (home / "notes.txt").string();
        writeFileBytes(target, readFileBytes(path));
        writeFileBytes(notes, "the owner's notes");
        platform::testing::OtherUserProcess flipper;
        const bool flipping = flipper.start([&](auto ready) {
            for (unsigned i = 0;; ++i) {
                ::unlink(next.c_str());
                if (::symlink(i % 2 ? notes.c_str() : target.c_str(), next.c_str()) == 0 &&
                    ::rename(next.c_str(), link.c_str()) == 0 && i == 0 && !ready()) {
                    return;
                }
            }
        });
        // Opens that found the notes are no tries.
        int tries = 0, added = 0;
        for (int i = 0; flipping && tries < 120 && i < 100000; ++i) {
            UserDatabase owner;
            const bool opened = owner.OpenUserFile(link.c_str());
            tries += owner.GetLastResult() != kUserBadFile;
            added += opened && owner.AddUser(("user" + std::to_string(i)).c_str(), "Spectrum12", 1);
        }
        flipper.stop();
        ASSERT_TRUE(flipping) << "the other user could not link";
        EXPECT_TRUE(readFileBytes(notes) == "the owner's notes") << home << " was replaced";
        const std::string bytes = readFileBytes(target);
        UserFileContents contents;
        ASSERT_EQ(
            ParseUserFile({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, contents),
            kUserOk);
        EXPECT_EQ(added, 0) << home;
        EXPECT_EQ(contents.users.size(), 2u + static_cast<size_t>(added)) << home;
    }
}

// Whoever may read the file may hold a shared lock on it for as long as it
// likes: a change waits a few seconds for it (on the platform clock) and is
// refused, leaving the file as it was.
TEST_F(UserDatabaseTest, ALockHeldByAnotherUserEndsInARefusal) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711) | ::chmod(path.c_str(), 0644), 0);
    platform::testing::OtherUserProcess reader;
    const bool locked = reader.start([&](auto ready) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd >= 0 && ::flock(fd, LOCK_SH) == 0 && ready()) {
            ::pause();
        }
    });
    const std::string before = readFileBytes(path);
    if (locked) {
        platform::VirtualClock clock;
        const platform::ScopedClock scoped(clock);
        EXPECT_FALSE(db.AddUser("late", "arrival", 2));
        EXPECT_EQ(db.GetLastResult(), kUserFileBusy);
        EXPECT_FALSE(db.ChangePassword("operator", "Spectrum12", "NewSecret"));
        EXPECT_EQ(db.GetLastResult(), kUserFileBusy);
    }
    reader.stop();
    ASSERT_TRUE(locked) << "the other user could not lock the file";
    EXPECT_EQ(readFileBytes(path), before);
    // Once the lock is gone, changes go through again.
    EXPECT_TRUE(db.AddUser("late", "arrival", 2));
}

// A hash takes seconds at a real cost: a change holds the lock only while it
// reads and writes the file, so another one made meanwhile is not refused.
TEST_F(UserDatabaseTest, ChangesMadeWhileAHashIsMadeAreNotRefused) {
    platform::VirtualClock clock; // a lock wait ends at once
    const platform::ScopedClock scoped(clock);
    UserDatabase other;
    ASSERT_TRUE(other.OpenUserFile(path.c_str()));
    std::vector<std::string> added;
    gWhileHashing = [&] {
        added.push_back("late" + std::to_string(added.size()));
        EXPECT_TRUE(other.AddUser(added.back().c_str(), "meanwhile", 3)) << other.GetLastResult();
    };
    EXPECT_TRUE(db.AddUser("second", "arrival", 2));
    EXPECT_TRUE(db.ChangePassword("operator", "Spectrum12", "NewSecret"));
    gWhileHashing = nullptr;
    EXPECT_EQ(added.size(), 3u); // the new user's, the old and the new password's
    UserDatabase reader;
    ASSERT_TRUE(reader.OpenUserFile(path.c_str()));
    EXPECT_EQ(reader.CheckLogin("second", "arrival"), 2);
    EXPECT_EQ(reader.CheckLogin("operator", "NewSecret"), 1);
    for (const std::string& user : added) {
        EXPECT_EQ(reader.CheckLogin(user.c_str(), "meanwhile"), 3) << user;
    }
}

TEST_F(UserDatabaseTest, AddUserRefusesWhatTheFileCannotHold) {
    EXPECT_FALSE(db.AddUser("admin", "other", 1));
    EXPECT_EQ(db.GetLastResult(), kUserAlreadyExists);
    for (const auto& [user, password, level] :
         {std::tuple{"", "pw", 0}, std::tuple{"tab\tname", "pw", 0}, std::tuple{"neg", "pw", -1},
          std::tuple{"nopw", "", 0}}) {
        EXPECT_FALSE(db.AddUser(user, password, level)) << user;
        EXPECT_EQ(db.GetLastResult(), kUserInvalidArgument);
    }
    EXPECT_FALSE(db.AddUser("long", std::string(kMaxPasswordBytes + 1, 'x').c_str(), 0));
    EXPECT_FALSE(db.AddUser(nullptr, "pw", 0));
}

TEST_F(UserDatabaseTest, CreateNeverReplacesAFile) {
    const std::string before = readFileBytes(path);
    UserDatabase other;
    EXPECT_FALSE(other.CreateUserFile(path.c_str(), 0, kTestCost));
    EXPECT_EQ(other.GetLastResult(), kUserFileExists);
    EXPECT_EQ(readFileBytes(path), before);
    EXPECT_FALSE(other.AddUser("x", "y", 0));
    EXPECT_EQ(other.GetLastResult(), kUserNoFile);
    EXPECT_FALSE(other.CreateUserFile((dir.path() / "f").c_str(), 0x2, kTestCost));
    EXPECT_FALSE(other.CreateUserFile((dir.path() / "f").c_str(), 0, kMaxHashCost + 1));
    EXPECT_EQ(other.GetLastResult(), kUserInvalidArgument);
    EXPECT_FALSE(other.CreateUserFile((dir.path() / "none" / "f").c_str(), 0, kTestCost));
    EXPECT_EQ(other.GetLastResult(), kUserFileWriteFailed);
}

TEST_F(UserDatabaseTest, OpenReportsWhatIsWrongWithThePath) {
    UserDatabase other;
    EXPECT_FALSE(other.OpenUserFile((dir.path() / "missing").c_str()));
    EXPECT_EQ(other.GetLastResult(), kUserFileNotFound);
    EXPECT_FALSE(other.OpenUserFile(dir.path().c_str()));
    EXPECT_EQ(other.GetLastResult(), kUserNotRegularFile);
    EXPECT_FALSE(other.OpenUserFile(nullptr));
    EXPECT_EQ(other.GetLastResult(), kUserInvalidArgument);
    EXPECT_EQ(other.CheckLogin("admin", "root-of-all"), kLoginRefused);
    EXPECT_EQ(other.GetLastResult(), kUserNoFile);
    // A broken file closes the one open before.
    writeFileBytes(dir.path() / "short", std::string("\xFE\xC5\x95\x04", 4));
    ASSERT_TRUE(other.OpenUserFile(path.c_str()));
    EXPECT_FALSE(other.OpenUserFile((dir.path() / "short").c_str()));
    EXPECT_EQ(other.GetLastResult(), kUserBadFile);
    EXPECT_EQ(other.CheckLogin("admin", "root-of-all"), kLoginRefused);
}

// Every field is checked: each broken copy of a sound file is refused whole.
TEST_F(UserDatabaseTest, ParseRefusesEveryBrokenField) {
    const std::vector<uint8_t> sound = fileBytes();
    UserFileContents contents;
    ASSERT_EQ(ParseUserFile(sound, contents), kUserOk);
    const size_t first = kUserFileHeaderSize; // name length of "operator"
    const size_t hashAt = first + 1 + 8 + 4 + 2;
    using Edit = std::function<void(std::vector<uint8_t>&)>;
    const std::vector<std::pair<const char*, Edit>> cases = {
        {"cut header", [](auto& b) { b.resize(40); }},
        {"magic", [](auto& b) { b[3] = 0x05; }},
        {"version", [](auto& b) { b[4] = 2; }},
        {"cost", [](auto& b) { b[6] = kMaxHashCost + 1; }},
        {"unknown flag", [](auto& b) { b[8] |= 0x2; }},
        {"count too high", [](auto& b) { b[12] = 3; }},
        {"count too low", [](auto& b) { b[12] = 1; }},
        {"reserved", [](auto& b) { b[63] = 1; }},
        {"empty name", [&](auto& b) { b[first] = 0; }},
        {"long name", [&](auto& b) { b[first] = kMaxUserNameBytes + 1; }},
        {"control in name", [&](auto& b) { b[first + 3] = '\n'; }},
        {"duplicate name",
         [&](auto& b) {
             std::copy_n("adminxxx", 8, b.begin() + first + 1);
             b[first] = 5;
             b.erase(b.begin() + first + 6, b.begin() + first + 9);
         }},
        {"negative level", [&](auto& b) { b[first + 1 + 8 + 3] = 0x80; }},
        {"hash length past the end", [&](auto& b) { b[hashAt - 1] = 0x7F; }},
        {"weak hash", [&](auto& b) { std::copy_n("$1$", 3, b.begin() + hashAt); }},
        {"hash character", [&](auto& b) { b[hashAt + 5] = '!'; }},
        {"trailing byte", [](auto& b) { b.push_back(0); }},
        {"cut record", [](auto& b) { b.pop_back(); }},
    };
    for (const auto& [name, edit] : cases) {
        std::vector<uint8_t> broken = sound;
        edit(broken);
        UserFileContents out;
        out.header.flags = 0x55;
        EXPECT_EQ(ParseUserFile(broken, out), kUserBadFile) << name;
        EXPECT_EQ(out.header.flags, 0x55u) << name;
        EXPECT_TRUE(out.users.empty()) << name;
    }
}

} // namespace
} // namespace dorvel
