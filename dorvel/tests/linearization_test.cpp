#include "dorvel/linearization.h"

#include "../../platform/tests/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dorvel {
namespace {

namespace fs = std::filesystem;
using platform::testing::TempDir;
using platform::testing::writeFileBytes;

// Sets (or, with nullopt, removes) an environment variable for a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> old_;
};

// A file whose one row is the polynomial c0 + c1 x.
std::string linearFile(int pixels, int c0, int c1) {
    return "TLC 1\npixels " + std::to_string(pixels) + "\ndegree 1\nscope all\ndata\n" +
           std::to_string(c0) + " " + std::to_string(c1) + "\nend\n";
}

class Linearization : public ::testing::Test {
protected:
    fs::path write(const std::string& name, const std::string& text) {
        const fs::path path = dir.path() / name;
        writeFileBytes(path, text);
        return path;
    }
    bool loadFile(const fs::path& path) { return lin.LoadFile(path.c_str()); }

    TempDir dir{"dorvel_lin"};
    ScopedEnv env{"VELDON_LINEARIZATION_DIR", dir.path().string()};
    CLinearizationBase lin;
};

TEST_F(Linearization, NothingIsLoadedAtFirst) {
    EXPECT_EQ(lin.GetPixelCount(), 0);
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    std::vector<double> v{1, 2};
    EXPECT_FALSE(lin.Linearize(v.data(), 2));
    EXPECT_EQ(lin.GetLastResult(), kLinNotLoaded);
    EXPECT_EQ(v, (std::vector<double>{1, 2}));
}

TEST_F(Linearization, LoadsANamedFileAndCorrectsInPlace) {
    ASSERT_TRUE(loadFile(write("mine.tlc", "TLC 1\n"
                                           "pixels 4\n"
                                           "degree 2\n"
                                           "scope pixel\n"
                                           "data\n"
                                           "0 1 0\n"
                                           "10 1 0\n"
                                           "0 2 0\n"
                                           "0 0 0.001\n"
                                           "end\n")));
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    EXPECT_EQ(lin.GetPixelCount(), 4);
    std::vector<double> v{1000, 1000, 1000, 1000};
    ASSERT_TRUE(lin.Linearize(v.data(), 4));
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    EXPECT_EQ(v, (std::vector<double>{1000, 1010, 2000, 1000}));
}

TEST_F(Linearization, LinearizeChecksTheCountAndTheValues) {
    ASSERT_TRUE(loadFile(write("a.tlc", linearFile(3, 1, 2))));
    std::vector<double> v{1, 2, 3};
    EXPECT_FALSE(lin.Linearize(v.data(), 2));
    EXPECT_EQ(lin.GetLastResult(), kLinPixelCountMismatch);
    EXPECT_FALSE(lin.Linearize(nullptr, 3));
    EXPECT_EQ(lin.GetLastResult(), kLinInvalidArgument);
    v[1] = 1e308;
    EXPECT_FALSE(lin.Linearize(v.data(), 3));
    EXPECT_EQ(lin.GetLastResult(), kLinValueOutOfRange);
    EXPECT_EQ(v, (std::vector<double>{1, 1e308, 3}));
    v[1] = 2;
    ASSERT_TRUE(lin.Linearize(v.data(), 3));
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    EXPECT_EQ(v, (std::vector<double>{3, 5, 7}));
}

TEST_F(Linearization, UnloadForgetsTheCoefficients) {
    ASSERT_TRUE(loadFile(write("a.tlc", linearFile(2, 0, 1))));
    std::vector<double> v{1, 2};
    EXPECT_FALSE(lin.Linearize(v.data(), 3));
    lin.Unload();
    EXPECT_EQ(lin.GetPixelCount(), 0);
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    EXPECT_FALSE(lin.Linearize(v.data(), 2));
    EXPECT_EQ(lin.GetLastResult(), kLinNotLoaded);
}

TEST_F(Linearization, AFailedLoadKeepsWhatWasLoaded) {
    ASSERT_TRUE(loadFile(write("good.tlc", linearFile(2, 0, 3))));
    EXPECT_FALSE(loadFile(write("bad.tlc", "TLC 1\npixels 5\n")));
    EXPECT_EQ(lin.GetLastResult(), kLinBadHeader);
    EXPECT_FALSE(loadFile(dir.path() / "missing.tlc"));
    EXPECT_EQ(lin.GetLastResult(), kLinFileNotFound);
    EXPECT_EQ(lin.GetPixelCount(), 2);
    std::vector<double> v{1, 2};
    ASSERT_TRUE(lin.Linearize(v.data(), 2));
    EXPECT_EQ(v, (std::vector<double>{3, 6}));
}

TEST_F(Linearization, EachMalformedFileGivesItsResult) {
    EXPECT_FALSE(loadFile(write("sig.tlc", "LIN 1\n")));
    EXPECT_EQ(lin.GetLastResult(), kLinBadSignature);
    EXPECT_FALSE(loadFile(write("hdr.tlc", "TLC 1\npixels 2\ndegree 9\n")));
    EXPECT_EQ(lin.GetLastResult(), kLinBadHeader);
    EXPECT_FALSE(loadFile(
        write("data.tlc", "TLC 1\npixels 2\ndegree 1\nscope all\ndata\n0 1\n"))); // no "end"
    EXPECT_EQ(lin.GetLastResult(), kLinBadData);
    EXPECT_FALSE(loadFile(write("empty.tlc", "")));
    EXPECT_EQ(lin.GetLastResult(), kLinBadSignature);
    EXPECT_EQ(lin.GetPixelCount(), 0);
}

TEST_F(Linearization, PathsThatAreNoReadableFileGiveAccessResults) {
    EXPECT_FALSE(lin.LoadFile(nullptr));
    EXPECT_EQ(lin.GetLastResult(), kLinInvalidArgument);
    EXPECT_FALSE(lin.LoadFile(""));
    EXPECT_EQ(lin.GetLastResult(), kLinFileNotFound);
    EXPECT_FALSE(loadFile(dir.path() / "no" / "such.tlc"));
    EXPECT_EQ(lin.GetLastResult(), kLinFileNotFound);

    const fs::path loop = dir.path() / "loop.tlc";
    fs::create_symlink(loop, loop);
    EXPECT_FALSE(loadFile(loop));
    EXPECT_EQ(lin.GetLastResult(), kLinFileOpenFailed);

    EXPECT_FALSE(loadFile(dir.path()));
    EXPECT_EQ(lin.GetLastResult(), kLinNotRegularFile);

    // A pipe with no writer would block a plain open; it is refused at once.
    const fs::path fifo = dir.path() / "fifo.tlc";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(loadFile(fifo));
    EXPECT_EQ(lin.GetLastResult(), kLinNotRegularFile);

    const fs::path big = dir.path() / "big.tlc";
    writeFileBytes(big, "TLC 1\n");
    fs::resize_file(big, kMaxCoefficientFileSize + 1);
    EXPECT_FALSE(loadFile(big));
    EXPECT_EQ(lin.GetLastResult(), kLinFileTooLarge);
    EXPECT_EQ(lin.GetPixelCount(), 0);
}

TEST_F(Linearization, AReadErrorIsAnAccessFailure) {
    // A regular file whose first bytes cannot be read: the process memory at
    // address 0 is never mapped.
    if (::access("/proc/self/mem", R_OK) != 0) {
        GTEST_SKIP() << "/proc/self/mem is not readable here";
    }
    EXPECT_FALSE(lin.LoadFile("/proc/self/mem"));
    EXPECT_EQ(lin.GetLastResult(), kLinFileReadFailed);
}

TEST_F(Linearization, AnUnreadableFileIsAnAccessFailure) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const fs::path path = write("locked.tlc", linearFile(2, 0, 1));
    fs::permissions(path, fs::perms::none);
    EXPECT_FALSE(loadFile(path));
    EXPECT_EQ(lin.GetLastResult(), kLinFileOpenFailed);
}

TEST_F(Linearization, SensorFileForTheExactLengthComesFirst) {
    write("sensor-7-1044.tlc", linearFile(1044, 0, 2));
    write("sensor-7.tlc", linearFile(1044, 0, 3));
    ASSERT_TRUE(lin.LoadForSensor(7, 1044));
    EXPECT_EQ(lin.GetLastResult(), kLinOk);
    std::vector<double> v(1044, 1.0);
    ASSERT_TRUE(lin.Linearize(v.data(), 1044));
    EXPECT_EQ(v[0], 2.0);
}

TEST_F(Linearization, SensorFileOfTheTypeServesOtherLengths) {
    write("sensor-7-1044.tlc", linearFile(1044, 0, 2));
    write("sensor-7.tlc", linearFile(532, 0, 3));
    ASSERT_TRUE(lin.LoadForSensor(7, 532));
    EXPECT_EQ(lin.GetPixelCount(), 532);
    std::vector<double> v(532, 1.0);
    ASSERT_TRUE(lin.Linearize(v.data(), 532));
    EXPECT_EQ(v[531], 3.0);
}

TEST_F(Linearization, NoSensorFileMeansNoFileForTheSensor) {
    write("sensor-7.tlc", linearFile(1044, 0, 2));
    write("sensor-17-1044.tlc", linearFile(1044, 0, 2)); // not a prefix match for type 1
    EXPECT_FALSE(lin.LoadForSensor(1, 1044));
    EXPECT_EQ(lin.GetLastResult(), kLinNoFileForSensor);
    EXPECT_FALSE(lin.LoadForSensor(-1, 1044));
    EXPECT_EQ(lin.GetLastResult(), kLinNoFileForSensor);
    ScopedEnv gone("VELDON_LINEARIZATION_DIR", (dir.path() / "absent").string());
    EXPECT_FALSE(lin.LoadForSensor(7, 1044));
    EXPECT_EQ(lin.GetLastResult(), kLinNoFileForSensor);
    EXPECT_EQ(lin.GetPixelCount(), 0);
}

TEST_F(Linearization, SensorFileForAnotherLengthIsRefusedAndKeepsWhatWasLoaded) {
    ASSERT_TRUE(loadFile(write("own.tlc", linearFile(256, 0, 5))));
    write("sensor-7.tlc", linearFile(1044, 0, 2));
    EXPECT_FALSE(lin.LoadForSensor(7, 532));
    EXPECT_EQ(lin.GetLastResult(), kLinPixelCountMismatch);
    EXPECT_EQ(lin.GetPixelCount(), 256);
    EXPECT_FALSE(lin.LoadForSensor(7, 0));
    EXPECT_EQ(lin.GetLastResult(), kLinPixelCountMismatch);
    EXPECT_FALSE(lin.LoadForSensor(7, 65536));
    EXPECT_EQ(lin.GetLastResult(), kLinPixelCountMismatch);
}

TEST_F(Linearization, ABrokenSensorFileIsReportedNotPassedOver) {
    write("sensor-7-1044.tlc", "TLC 1\npixels 1044\n");
    write("sensor-7.tlc", linearFile(1044, 0, 2));
    EXPECT_FALSE(lin.LoadForSensor(7, 1044));
    EXPECT_EQ(lin.GetLastResult(), kLinBadHeader);
    EXPECT_EQ(lin.GetPixelCount(), 0);
}

TEST_F(Linearization, DirectoryDefaultsToTheMachineConfiguration) {
    EXPECT_EQ(LinearizationDirectory(), dir.path());
    ScopedEnv machine("VELDON_MACHINE_CONFIG", dir.path().string());
    ScopedEnv unset("VELDON_LINEARIZATION_DIR", std::nullopt);
    EXPECT_EQ(LinearizationDirectory(), dir.path() / "linearization");
    write("linearization/sensor-22-738.tlc", linearFile(738, 1, 1));
    ASSERT_TRUE(lin.LoadForSensor(22, 738));
    ScopedEnv empty("VELDON_LINEARIZATION_DIR", "");
    EXPECT_EQ(LinearizationDirectory(), dir.path() / "linearization");
}

} // namespace
} // namespace dorvel
