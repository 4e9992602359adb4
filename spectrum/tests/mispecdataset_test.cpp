// The stored-spectrum list and its file: the layout byte for byte, and files
// that end early or lie about their counts.

#include "mispecdataset.h"
#include "mitextexport.h"
#include "spectrum_test_support.h"

#include "pa/pafactory.h"
#include "pa/sysutils.h"
#include "platform/clock.h"

#include "../../platform/tests/other_user.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>

namespace {

using spectrum::test::readFile;
using spectrum::test::TempDir;
using spectrum::test::writeFile;

// Builds payload bytes the way the file lays them out.
class Bytes {
public:
    Bytes& i32(std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int shift = 0; shift < 32; shift += 8) {
            s_ += static_cast<char>((u >> shift) & 0xFF);
        }
        return *this;
    }
    Bytes& f64(double v) {
        const auto u = std::bit_cast<std::uint64_t>(v);
        for (int shift = 0; shift < 64; shift += 8) {
            s_ += static_cast<char>((u >> shift) & 0xFF);
        }
        return *this;
    }
    Bytes& text(const std::string& t) {
        s_ += t;
        s_ += '\0';
        return *this;
    }
    const std::string& str() const { return s_; }

private:
    std::string s_;
};

const std::string kTag("TDataList\0", 10);

const unsigned char kGolden42[] = {0x54, 0x44, 0x61, 0x74, 0x61, 0x4C, 0x69, 0x73, 0x74, 0x00, 0x01,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x40, 0x41, 0x00, 0x00, 0x00};
const unsigned char kEmpty15[] = {0x54, 0x44, 0x61, 0x74, 0x61, 0x4C, 0x69, 0x73,
                                  0x74, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::string asString(const unsigned char* bytes, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

mi::Data entry(std::string name, std::vector<double> values, std::string date = {}) {
    mi::Data d;
    d.name = std::move(name);
    d.values = std::move(values);
    d.date = std::move(date);
    return d;
}

// A list with every kind of field filled, as a multi-spectrum leaves it.
void fillRich(mi::TDataList& list) {
    list.notes = "sample \xC3\xA9talon, second run";
    mi::Data multi = entry("Pomrak3", {});
    for (int k = 0; k < 5; ++k) {
        multi.extra.push_back({1.0 + k, 2.0 + k, 3.0 + k});
    }
    multi.values = {3.0, 4.0, 5.0};
    list.spectra.push_back(multi);
    list.spectra.push_back(entry("Revaduvo0",
                                 {-0.0, 1e-310, std::numeric_limits<double>::infinity()},
                                 "08.12.2026 22:51:00"));
    list.spectra.push_back(entry("", {}, ""));
}

class DataSetFileTest : public ::testing::Test {
protected:
    TempDir dir{"spectrum_bspec"};
    mi::TSpecDataSet set;
};

TEST_F(DataSetFileTest, OneEntryIsTheFortyTwoByteFile) {
    set.spectra.push_back(entry("A", {1.0, 2.0}));
    const std::string path = dir.file("one.bspec");
    set.saveTo(path);
    EXPECT_EQ(readFile(path), asString(kGolden42, sizeof kGolden42));
    // The set keeps its contents after lending them to the save.
    ASSERT_EQ(set.spectra.size(), 1u);
    EXPECT_EQ(set.spectra[0].name, "A");
}

TEST_F(DataSetFileTest, FortyTwoByteFileLoads) {
    const std::string path = dir.file("one.bspec");
    writeFile(path, asString(kGolden42, sizeof kGolden42));
    set.notes = "old";
    set.loadFrom(path);
    ASSERT_EQ(set.spectra.size(), 1u);
    EXPECT_EQ(set.spectra[0], entry("A", {1.0, 2.0}));
    EXPECT_EQ(set.notes, "");
}

TEST_F(DataSetFileTest, EmptyListIsFifteenBytes) {
    const std::string path = dir.file("empty.bspec");
    set.saveTo(path);
    EXPECT_EQ(readFile(path), asString(kEmpty15, sizeof kEmpty15));
    set.spectra.push_back(entry("x", {1.0}));
    set.notes = "kept?";
    set.loadFrom(path);
    EXPECT_TRUE(set.spectra.empty());
    EXPECT_EQ(set.notes, "");
}

TEST_F(DataSetFileTest, RoundTripKeepsEveryBit) {
    fillRich(set);
    set.spectra[1].values.push_back(std::numeric_limits<double>::quiet_NaN());
    const std::string path = dir.file("rich.bspec");
    set.saveTo(path);

    mi::TSpecDataSet back;
    back.spectra.resize(7); // surplus entries are dropped
    back.loadFrom(path);
    ASSERT_EQ(back.spectra.size(), 3u);
    EXPECT_EQ(back.notes, set.notes);
    for (std::size_t i = 0; i < 3; ++i) {
        const mi::Data& a = set.spectra[i];
        const mi::Data& b = back.spectra[i];
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.date, a.date);
        EXPECT_EQ(b.extra, a.extra);
        ASSERT_EQ(b.values.size(), a.values.size());
        // Bit for bit: -0.0, a subnormal, infinity and NaN included.
        EXPECT_TRUE(a.values.empty() ||
                    std::memcmp(b.values.data(), a.values.data(), a.values.size() * 8) == 0)
            << i;
    }
    EXPECT_TRUE(std::signbit(back.spectra[1].values[0]));
}

TEST_F(DataSetFileTest, LayoutOfAMultiSpectrumAndTexts) {
    mi::Data multi = entry("P", {9.0}, "d");
    multi.extra = {{1.0}, {}};
    set.spectra.push_back(multi);
    set.notes = "n";
    const std::string path = dir.file("multi.bspec");
    set.saveTo(path);
    const std::string expected = kTag + Bytes()
                                            .i32(1)
                                            .i32(2)
                                            .i32(1)
                                            .f64(1.0)
                                            .i32(0)
                                            .i32(1)
                                            .f64(9.0)
                                            .text("P")
                                            .text("d")
                                            .text("n")
                                            .str();
    EXPECT_EQ(readFile(path), expected);
}

// Texts are kept as typed: in Latin-1 byte for byte as older files hold them
// where it can, else as UTF-8 behind a byte order mark, in lists and exports.
TEST_F(DataSetFileTest, TextsKeepEveryCharacterAndLatin1OnesStayAsBefore) {
    const std::string mark = "\xEF\xBB\xBF", lambda = "\xCE\xBB = 500 nm, 5 \xE2\x82\xAC";
    // "ï»¿Ä¡" is Latin-1, but its bytes would read as a marked text.
    const std::string marklike = "\xC3\xAF\xC2\xBB\xC2\xBF\xC3\x84\xC2\xA1";
    const struct {
        std::string text, stored, exportStart;
    } texts[] = {{"\xC3\xA9talon", "\xE9talon", "Date: \r\nNotes:\r\n\xE9talon"},
                 {lambda, mark + lambda, mark + "Date: \r\nNotes:\r\n" + lambda},
                 {marklike, mark + marklike, "Date: \r\nNotes:\r\n\xEF\xBB\xBF\xC4\xA1"}};
    mi::TExportContext context;
    for (const auto& [text, stored, exportStart] : texts) {
        set.spectra = {entry(text, {})};
        set.notes = context.notes = text;
        set.saveTo(dir.file("t.bspec"));
        set.exportAll(context, dir.file("t.txt"));
        EXPECT_EQ(readFile(dir.file("t.bspec")),
                  kTag + Bytes().i32(1).i32(0).i32(0).text(stored).text("").text(stored).str());
        EXPECT_EQ(readFile(dir.file("t.txt")).rfind(exportStart + "LED type", 0), 0u);
        set.loadFrom(dir.file("t.bspec"));
        EXPECT_EQ(set.notes + set.spectra.at(0).name, text + text);
    }
}

TEST_F(DataSetFileTest, EveryTruncationRaisesAndKeepsTheList) {
    mi::TSpecDataSet source;
    fillRich(source);
    const std::string whole = dir.file("whole.bspec");
    source.saveTo(whole);
    const std::string bytes = readFile(whole);

    set.spectra.push_back(entry("Revaduvo7", {7.0, 8.0}, "before"));
    set.notes = "before";
    const std::string cut = dir.file("cut.bspec");
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        writeFile(cut, bytes.substr(0, length));
        EXPECT_THROW(set.loadFrom(cut), pa::Exception) << length;
        ASSERT_EQ(set.spectra.size(), 1u) << length;
        EXPECT_EQ(set.spectra[0], entry("Revaduvo7", {7.0, 8.0}, "before")) << length;
        EXPECT_EQ(set.notes, "before") << length;
    }
    set.loadFrom(whole);
    EXPECT_EQ(set.spectra.size(), 3u);
}

TEST_F(DataSetFileTest, ListLoadedThroughItsStreamIsAlsoWholeOrUntouched) {
    // The list part itself, as a stream reaches it, not only the set.
    pa::Ref<mi::TDataList> list(new mi::TDataList());
    list->spectra.push_back(entry("keep", {1.0}));
    const std::string path = dir.file("short.bspec");
    writeFile(path, kTag + Bytes().i32(2).i32(0).i32(1).f64(5.0).text("a").text("").str());
    EXPECT_THROW(list->loadFrom(path), pa::Exception);
    ASSERT_EQ(list->spectra.size(), 1u);
    EXPECT_EQ(list->spectra[0].name, "keep");
}

struct BadCount {
    const char* what;
    std::string payload;
    const char* refused; // the count the message names
};

void PrintTo(const BadCount& bad, std::ostream* os) {
    *os << bad.what;
}

class BadCountTest : public DataSetFileTest, public ::testing::WithParamInterface<BadCount> {};

TEST_P(BadCountTest, RefusedBeforeAllocating) {
    const std::string path = dir.file("bad.bspec");
    writeFile(path, kTag + GetParam().payload);
    set.spectra.push_back(entry("keep", {1.0}));
    try {
        set.loadFrom(path);
        FAIL() << "loaded";
    } catch (const pa::Exception& e) {
        EXPECT_NE(
            std::string(e.what()).find(std::string("TDataList::load -> Bad ") + GetParam().refused),
            std::string::npos)
            << e.what();
    }
    ASSERT_EQ(set.spectra.size(), 1u);
    EXPECT_EQ(set.spectra[0].name, "keep");
}

const std::string kTail = Bytes().text("").text("").text("").str();

INSTANTIATE_TEST_SUITE_P(
    Counts, BadCountTest,
    ::testing::Values(
        BadCount{"negative N", Bytes().i32(-1).str() + kTail, "spectrum count -1"},
        BadCount{"huge N", Bytes().i32(0x7FFFFFFF).i32(0).i32(0).str() + kTail, "spectrum count"},
        // Two entries need 20 bytes; the rest holds 19.
        BadCount{"N beyond the rest",
                 Bytes().i32(2).i32(0).i32(0).str() + std::string("a\0b\0c\0d\0e\0f", 11),
                 "spectrum count 2"},
        BadCount{"negative K", Bytes().i32(1).i32(-5).i32(0).str() + kTail, "vector count -5"},
        BadCount{"huge K", Bytes().i32(1).i32(0x40000000).i32(0).str() + kTail, "vector count"},
        BadCount{"huge M", Bytes().i32(1).i32(1).i32(0x10000000).str() + kTail, "value count"},
        BadCount{"negative V", Bytes().i32(1).i32(0).i32(-2).str() + kTail, "value count -2"},
        // Three values announced, two present, the texts after them.
        BadCount{"V beyond the rest", Bytes().i32(1).i32(0).i32(3).f64(1.0).f64(2.0).str() + kTail,
                 "value count 3"}));

TEST_F(DataSetFileTest, TextWithoutItsZeroByteEndsTheLoad) {
    const std::string path = dir.file("open_text.bspec");
    writeFile(path, kTag + Bytes().i32(0).str() + std::string(5000, 'x'));
    set.notes = "kept";
    EXPECT_THROW(set.loadFrom(path), pa::Exception);
    EXPECT_EQ(set.notes, "kept");
}

TEST_F(DataSetFileTest, AnotherTagIsRefusedAndTheSetUntouched) {
    const std::string path = dir.file("other.bspec");
    writeFile(path, std::string("TDataLis\0", 9) + Bytes().i32(0).text("").str());
    set.notes = "kept";
    try {
        set.loadFrom(path);
        FAIL() << "loaded";
    } catch (const pa::Exception& e) {
        EXPECT_STREQ(e.what(), "TStorable::loadFrom -> Expect TDataList receive TDataLis");
    }
    EXPECT_EQ(set.notes, "kept");
}

TEST_F(DataSetFileTest, FailedSaveKeepsTheOldFile) {
    const std::string path = dir.file("keep.bspec");
    set.spectra.push_back(entry("A", {1.0, 2.0}));
    set.saveTo(path);
    // A name with a zero byte cannot be stored: the save must fail, not
    // write a file that reads back shifted.
    set.spectra.push_back(entry(std::string("B\0C", 3), {3.0}));
    EXPECT_THROW(set.saveTo(path), pa::Exception);
    EXPECT_EQ(readFile(path), asString(kGolden42, sizeof kGolden42));
    // No half-written sibling is left behind.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(set.spectra.size(), 2u);
}

// An export or a save onto a full disk (the file-size limit stands for it)
// fails, the save naming why, and leaves the old file as it was, with nothing
// beside it.
TEST_F(DataSetFileTest, AnExportOrSaveThatDoesNotFitKeepsTheOldFile) {
    const std::string path = dir.file("old.txt");
    writeFile(path, std::string(3000, 'o'));
    mi::TExportContext context;
    context.pixelCount = 4000;
    context.wavelengths.assign(4000, 500.0);
    set.spectra.push_back(entry("A", std::vector<double>(4000, 1.0)));
    EXPECT_EQ(platform::testing::runInChild(
                  [&] {
                      const rlimit small{16384, 16384};
                      try {
                          return ::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                                 (set.exportAll(context, path), false);
                      } catch (const pa::Exception&) {
                      }
                      try {
                          return (set.saveTo(path), false);
                      } catch (const pa::Exception& e) {
                          return e.message() == "TDataList::save -> Write failed (File too large)";
                      }
                  },
                  platform::testing::ChildUser::Same),
              1);
    EXPECT_EQ(readFile(path), std::string(3000, 'o'));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// The user's own file in a folder only root may change: Save and Export
// write it in place, as they did before they wrote beside the file.
TEST_F(DataSetFileTest, TheUsersFileInAFolderOnlyRootMayChangeIsWrittenInPlace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as another user";
    }
    const std::string list = dir.file("list.bspec"), text = dir.file("list.txt");
    writeFile(list, "old");
    writeFile(text, "old");
    ASSERT_EQ(::chown(list.c_str(), platform::testing::kOtherUid, 0) |
                  ::chown(text.c_str(), platform::testing::kOtherUid, 0) |
                  ::chmod(dir.path().c_str(), 0755),
              0);
    set.spectra.push_back(entry("A", {1.0, 2.0}));
    EXPECT_EQ(platform::testing::runInChild([&] {
                  set.saveTo(list); // a throw ends the child without an exit status
                  set.exportAll({}, text);
                  return true;
              }),
              1);
    EXPECT_EQ(readFile(list), asString(kGolden42, sizeof kGolden42));
    EXPECT_EQ(readFile(text).rfind("Date: ", 0), 0u);
    // Another save in place at the same time: this one waits for it, then
    // gives up, leaving the file whole.
    const int held = ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    set.spectra.push_back(entry("B", {3.0}));
    EXPECT_EQ(platform::testing::runInChild([&] {
                  platform::VirtualClock clock;
                  const platform::ScopedClock scoped(clock);
                  try {
                      return (set.saveTo(list), false);
                  } catch (const pa::Exception& e) {
                      return e.message().find("holds the file locked") != std::string::npos;
                  }
              }),
              1);
    ::close(held);
    EXPECT_EQ(readFile(list), asString(kGolden42, sizeof kGolden42));
}

TEST_F(DataSetFileTest, UnopenableFileRaisesTheStreamError) {
    const std::string path = dir.file("missing/none.bspec");
    try {
        set.loadFrom(path);
        FAIL() << "loaded";
    } catch (const pa::Exception& e) {
        EXPECT_EQ(e.message(), "TFStream::open -> Cannot open file '" + path + "'");
    }
}

TEST(DataListFactory, CreatesAnEmptyListByItsName) {
    pa::initFactory();
    if (!pa::factory()->isRegistered("TDataList")) {
        mi::registerDataList();
    }
    pa::Ref<pa::TBase> made(pa::factory()->createClass("TDataList"));
    ASSERT_TRUE(made);
    auto* list = dynamic_cast<mi::TDataList*>(made.get());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->className(), "TDataList");
    EXPECT_TRUE(list->spectra.empty());
    EXPECT_TRUE(list->notes.empty());
    // A second registration is refused by the factory.
    EXPECT_THROW(mi::registerDataList(), pa::Exception);
}

} // namespace
