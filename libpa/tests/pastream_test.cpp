#include "pa/palog.h"
#include "pa/pastream.h"
#include "pa/sysutils.h"

#include "pa_test_support.h"

#include "../../platform/tests/other_user.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace mi {
// A small persistent list: a count, that many doubles, a notes text.
class TDataList : public pa::TStorable {
public:
    std::vector<double> values;
    std::string notes;
    int loads = 0;
    bool failSave = false;
    std::function<void()> whileSaving;

    void save(pa::TStream& s) override {
        if (whileSaving) {
            whileSaving();
        }
        s.writeInt(static_cast<std::int32_t>(values.size()));
        for (double v : values) {
            s.write(&v, sizeof v);
        }
        if (failSave) {
            pa::raiseError("TDataList::save -> disk trouble");
        }
        s.writeString(notes);
    }
    void load(pa::TStream& s) override {
        ++loads;
        const std::int32_t count = s.readInt();
        values.assign(static_cast<std::size_t>(count), 0.0);
        for (double& v : values) {
            s.read(&v, sizeof v);
        }
        notes.clear();
        s.readString(notes);
    }
};
} // namespace mi

namespace {

using pa::test::readFile;
using pa::test::tempDir;
using pa::test::tempPath;
using pa::test::writeFile;

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const pa::Exception& e) {
        return e.message();
    }
    return "<no exception>";
}

pa::Ref<mi::TDataList> makeList() {
    pa::Ref<mi::TDataList> list(new mi::TDataList());
    list->values = {1.0, 2.0};
    list->notes = "No Notes Yet";
    return list;
}

TEST(Storable, SaveToAndLoadFromGiveTheSameObjectBehindTheTag) {
    const std::string path = tempPath("list.bspec");
    makeList()->saveTo(path);

    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(bytes.substr(0, 10), std::string("TDataList\0", 10));

    pa::Ref<mi::TDataList> loaded(new mi::TDataList());
    loaded->loadFrom(path);
    EXPECT_EQ(loaded->values, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(loaded->notes, "No Notes Yet");
}

TEST(Storable, TagThatIsAPrefixOrLongerFailsWithExpectedNameFirst) {
    const std::string payload("\x00\x00\x00\x00\x00", 5);
    for (const std::string tag : {"TDataLis", "TDataLists", "tDataList", ""}) {
        const std::string path = tempPath("tag.bspec");
        writeFile(path, tag + std::string(1, '\0') + payload);
        pa::Ref<mi::TDataList> list = makeList();
        EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
                  "TStorable::loadFrom -> Expect TDataList receive " + tag);
        EXPECT_EQ(list->loads, 0) << tag;
        EXPECT_EQ(list->values, (std::vector<double>{1.0, 2.0}));
    }
}

TEST(Storable, MissingFileRaisesTheOpenError) {
    const std::string path = tempPath("absent.bspec");
    pa::Ref<mi::TDataList> list = makeList();
    EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
              "TFStream::open -> Cannot open file '" + path + "'");
    EXPECT_EQ(list->loads, 0);

    const std::string noDir = tempPath("no-dir") + "/x.bspec";
    EXPECT_EQ(messageOf([&] { list->saveTo(noDir); }),
              "TFStream::open -> Cannot open file '" + noDir + "' (No such file or directory)");
    EXPECT_FALSE(std::filesystem::exists(noDir));
}

TEST(Storable, TruncatedFileRaisesInsteadOfReadingGarbage) {
    const std::string path = tempPath("cut.bspec");
    makeList()->saveTo(path);
    const std::string whole = readFile(path);
    // Every cut inside the payload ends in a framework error.
    for (std::size_t cut = 10; cut < whole.size(); ++cut) {
        writeFile(path, whole.substr(0, cut));
        pa::Ref<mi::TDataList> list(new mi::TDataList());
        if (cut < 14) {
            EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
                      "TStream::readInt -> Unexpected end of stream");
        } else {
            // Short reads of the doubles are not reported; the notes then are.
            EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
                      "TStream::readString -> Unexpected end of stream");
        }
    }
    // A tag without its zero byte.
    writeFile(path, "TDataList");
    pa::Ref<mi::TDataList> list(new mi::TDataList());
    EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
              "TStream::readString -> Unexpected end of stream");
}

TEST(Storable, OverlongTagIsRefusedWithoutReadingTheWholeFile) {
    const std::string path = tempPath("long.bspec");
    writeFile(path, std::string(5000, 'A'));
    pa::Ref<mi::TDataList> list(new mi::TDataList());
    EXPECT_EQ(messageOf([&] { list->loadFrom(path); }),
              "TStream::readString -> String longer than 1024 bytes");
}

TEST(Storable, FailedSaveKeepsThePreviousFileAndLeavesNoTemporary) {
    const std::string dir = tempPath("savedir");
    std::filesystem::create_directory(dir);
    const std::string path = dir + "/list.bspec";
    makeList()->saveTo(path);
    const std::string before = readFile(path);

    pa::Ref<mi::TDataList> failing = makeList();
    failing->values = {9.0};
    failing->failSave = true;
    EXPECT_EQ(messageOf([&] { failing->saveTo(path); }), "TDataList::save -> disk trouble");
    EXPECT_EQ(readFile(path), before);
    // A saver killed while it writes leaves its temporary to the next save.
    failing->whileSaving = [] { ::_exit(0); };
    EXPECT_EQ(platform::testing::runInChild([&] { return failing->saveTo(path), 1; },
                                            platform::testing::ChildUser::Same),
              0);
    makeList()->saveTo(path);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(Storable, SaveKeepsPermissionsAndLinksOfTheTarget) {
    const std::string dir = tempPath("links");
    std::filesystem::create_directory(dir);
    const std::string real = dir + "/real.bspec";
    const std::string link = dir + "/link.bspec";
    makeList()->saveTo(real);
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    std::filesystem::create_symlink(real, link);

    pa::Ref<mi::TDataList> list = makeList();
    list->notes = "through the link";
    list->saveTo(link);

    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(readFile(real).find("through the link"), std::string::npos);
}

TEST(Storable, TheTemporaryFileIsTheOwnersAloneUntilWritten) {
    const std::string dir = tempPath("private");
    std::filesystem::create_directory(dir);
    pa::Ref<mi::TDataList> list = makeList();
    mode_t seen = 0;
    list->whileSaving = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            struct stat st {};
            seen = ::stat(entry.path().c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
        }
    };
    const mode_t mask = ::umask(0);
    list->saveTo(dir + "/new.bspec");
    ::umask(mask);
    EXPECT_EQ(seen, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/new.bspec").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

// Someone who may change the folder swaps the temporary, while it is being
// written, for a link to a private file of the saver's: that file keeps its
// bytes and mode, the save fails, and what was written stays private.
TEST(Storable, ATemporarySwappedWhileWrittenFailsTheSave) {
    const std::string dir = tempPath("swapped"), precious = tempPath("precious.txt");
    std::filesystem::create_directory(dir);
    writeFile(precious, "mine");
    ASSERT_EQ(::chmod(precious.c_str(), 0600), 0);
    pa::Ref<mi::TDataList> list = makeList();
    list->whileSaving = [&] {
        const auto temp = std::filesystem::directory_iterator(dir)->path();
        std::filesystem::rename(temp, dir + "/moved");
        std::filesystem::create_symlink(precious, temp);
    };
    EXPECT_EQ(messageOf([&] {
                  list->saveTo(dir + "/new.bspec");
              }).rfind("TStorable::saveTo -> Cannot write file '" + dir + "/new.bspec' (", 0),
              0u);
    struct stat kept {
    }, moved{};
    ASSERT_EQ(::stat(precious.c_str(), &kept) | ::stat((dir + "/moved").c_str(), &moved), 0);
    EXPECT_EQ(readFile(precious), "mine");
    EXPECT_EQ(kept.st_mode & 07777, 0600u);
    EXPECT_EQ(moved.st_mode & 07777, 0600u);
}

// A path that ends in "/" or "/." names a folder: neither the file before
// it nor a new one is written.
TEST(Storable, APathThatNamesAFolderWritesNoFile) {
    const std::string file = tempPath("kept.bspec"), missing = tempPath("none.bspec");
    writeFile(file, "mine");
    for (const std::string& path : {file + "/", file + "/.", missing + "/", missing + "/."}) {
        EXPECT_NE(messageOf([&] {
                      makeList()->saveTo(path);
                  }).find(path.starts_with(file) ? "a file stands there" : "there is none"),
                  std::string::npos)
            << path;
        EXPECT_ANY_THROW(pa::Ref<pa::TFStream>(new pa::TFStream(path, "w"))) << path;
    }
    EXPECT_EQ(readFile(file), "mine");
    EXPECT_FALSE(std::filesystem::exists(missing));
}

// What a teammate does at the name while the user saves there (removes the
// user's 0600 file, links another of the user's there) widens nothing: the
// mode is the one judged when the save began.
TEST(Storable, WhatAnotherUserDoesAtTheNameMeanwhileWidensNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as another user";
    }
    const std::string team = tempPath("team"), at = team + "/list.bspec", open = tempPath("open");
    std::filesystem::create_directory(team);
    writeFile(open, "the user's, for anyone");
    ASSERT_EQ(::chmod(tempDir().c_str(), 0711) | ::chmod(team.c_str(), 0777) |
                  ::chmod(open.c_str(), 0666),
              0);
    const std::function<bool()> moves[] = {
        [&] { return ::unlink(at.c_str()) == 0; },
        [&] { return (::unlink(at.c_str()) | ::link(open.c_str(), at.c_str())) == 0; },
    };
    const mode_t mask = ::umask(022);
    for (const auto& move : moves) {
        makeList()->saveTo(at);
        ASSERT_EQ(::chmod(at.c_str(), 0600), 0);
        pa::Ref<mi::TDataList> list = makeList();
        list->whileSaving = [&] { EXPECT_EQ(platform::testing::runInChild(move), 1); };
        list->saveTo(at);
        struct stat st {};
        EXPECT_TRUE(::stat(at.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600) << &move - moves;
    }
    ::umask(mask);
}

TEST(Storable, TheLongestNameTheSystemTakesIsSaved) {
    const std::string stem = tempPath("");
    const std::string path =
        stem + std::string(NAME_MAX - (stem.size() - stem.rfind('/') - 1), 'n');
    makeList()->saveTo(path);
    EXPECT_TRUE(std::filesystem::exists(path));
}

// A file-size limit stands for a full disk.
TEST(FStream, AWriteThatFailsIsReportedAtClose) {
    const std::string path = tempPath("full.bin");
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(60);
        const rlimit small{16, 16};
        pa::Ref<pa::TFStream> s(new pa::TFStream(path, "w"));
        s->writeString(std::string(64, 'x'));
        ::_exit(::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                        messageOf([&] { s->close(); }) ==
                            "TFStream::close -> Cannot write file '" + path + "'"
                    ? 0
                    : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Neither a pipe (read or written) nor a link left in a folder others may
// write is opened: nothing waits for a peer, and the linked file is kept.
TEST(FStream, NoPipeAndNoLinkOthersLeftIsOpened) {
    const std::string shared = tempPath("shared"), precious = tempPath("kept.txt");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    writeFile(precious, "mine");
    ASSERT_EQ(::mkfifo((shared + "/pipe").c_str(), 0666), 0);
    ASSERT_EQ(::symlink(precious.c_str(), (shared + "/link").c_str()), 0);
    ::alarm(60); // a wait for the pipe's peer ends the test
    for (const auto& [name, mode] : {std::pair{"pipe", "r"}, {"pipe", "w"}, {"link", "w"}}) {
        const std::string path = shared + "/" + name;
        EXPECT_EQ(messageOf([&] { pa::Ref<pa::TFStream> s(new pa::TFStream(path, mode)); }),
                  "TFStream::open -> Cannot open file '" + path + "'")
            << name << " " << mode;
    }
    ::alarm(0);
    EXPECT_EQ(readFile(precious), "mine");
}

TEST(FStream, IntegersAreFourBytesLittleEndianAndStringsZeroTerminated) {
    const std::string path = tempPath("ints.bin");
    {
        pa::Ref<pa::TFStream> s(new pa::TFStream(path, "w"));
        s->writeInt(0x01020304);
        s->writeInt(-2);
        s->writeString("ab");
        s->writeString("");
        s->close();
    }
    EXPECT_EQ(readFile(path), std::string("\x04\x03\x02\x01\xFE\xFF\xFF\xFF"
                                          "ab\0\0",
                                          12));
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "r"));
    EXPECT_EQ(s->readInt(), 0x01020304);
    EXPECT_EQ(s->readInt(), -2);
    std::string text = "x";
    s->readString(text);
    EXPECT_EQ(text, "xab"); // appended
    text.clear();
    s->readString(text);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(s->eof());
}

TEST(FStream, BytesPassWithoutLineEndTranslation) {
    const std::string path = tempPath("crlf.bin");
    const std::string bytes("a\r\nb\nc\r\x1A", 8);
    {
        pa::Ref<pa::TFStream> s(new pa::TFStream(path, "w"));
        EXPECT_EQ(s->write(bytes.data(), bytes.size()), bytes.size());
        s->close();
    }
    EXPECT_EQ(readFile(path), bytes);
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "r"));
    std::string back(bytes.size(), '\0');
    EXPECT_EQ(s->read(back.data(), back.size()), bytes.size());
    EXPECT_EQ(back, bytes);
}

TEST(FStream, EofIsTrueOnEmptyFileAndAfterTheLastByteAndNeverMoves) {
    const std::string empty = tempPath("empty.bin");
    writeFile(empty, "");
    pa::Ref<pa::TFStream> e(new pa::TFStream(empty, "r"));
    EXPECT_TRUE(e->eof());
    EXPECT_EQ(e->position(), 0);

    const std::string path = tempPath("two.bin");
    writeFile(path, "xy");
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "r"));
    EXPECT_FALSE(s->eof());
    EXPECT_EQ(s->position(), 0);
    char c = 0;
    ASSERT_EQ(s->read(&c, 1), 1u);
    EXPECT_FALSE(s->eof());
    EXPECT_EQ(s->position(), 1);
    ASSERT_EQ(s->read(&c, 1), 1u);
    EXPECT_EQ(c, 'y');
    EXPECT_TRUE(s->eof());
    EXPECT_EQ(s->position(), 2);
}

TEST(FStream, SizeLeavesThePositionAndSeekAnswersTheNewOne) {
    const std::string path = tempPath("size.bin");
    writeFile(path, "0123456789");
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "r"));
    EXPECT_EQ(s->seek(3, 0), 3);
    EXPECT_EQ(s->size(), 10);
    EXPECT_EQ(s->position(), 3);
    EXPECT_EQ(s->seek(2, 1), 5);
    EXPECT_EQ(s->seek(-1, 2), 9);
    char c = 0;
    ASSERT_EQ(s->read(&c, 1), 1u);
    EXPECT_EQ(c, '9');
}

TEST(FStream, ClosedStreamRaisesAndCloseTwiceIsHarmless) {
    const std::string path = tempPath("closed.bin");
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "w"));
    s->close();
    s->close();
    EXPECT_FALSE(s->isOpen());
    char c = 0;
    EXPECT_EQ(messageOf([&] { s->read(&c, 1); }), "TFStream::read -> File not open");
    EXPECT_EQ(messageOf([&] { s->writeInt(1); }), "TFStream::write -> File not open");
}

TEST(FStream, UnknownModeIsAnOpenFailure) {
    const std::string path = tempPath("mode.bin");
    EXPECT_EQ(messageOf([&] { pa::Ref<pa::TFStream> s(new pa::TFStream(path, "a+")); }),
              "TFStream::open -> Cannot open file '" + path + "'");
}

TEST(FStream, ReadStringStopsAtItsLimit) {
    const std::string path = tempPath("str.bin");
    writeFile(path, std::string("abcdef\0", 7));
    pa::Ref<pa::TFStream> s(new pa::TFStream(path, "r"));
    std::string text;
    EXPECT_EQ(messageOf([&] { s->readString(text, 5); }),
              "TStream::readString -> String longer than 5 bytes");
    pa::Ref<pa::TFStream> t(new pa::TFStream(path, "r"));
    text.clear();
    t->readString(text, 6);
    EXPECT_EQ(text, "abcdef");
}

} // namespace
