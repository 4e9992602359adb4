// The frame around every export: no exception crosses the interface, and a
// library whose set-up failed refuses the body.

#include "tarvik_test.h"

#include "core/export_frame.h"
#include "core/interface_check.h"

#include <stdexcept>

namespace tarvik::testing {
namespace {

class ExportFrameTest : public TarvikTest {};

TEST_F(ExportFrameTest, OutOfMemoryBecomesAMemoryError) {
    EXPECT_EQ(runExport("KORAL_Test", []() -> int32_t { throw std::bad_alloc(); }), -1);
    EXPECT_RECORD(2, 201, 0, 0, "KORAL_Test");
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(ExportFrameTest, AnyOtherExceptionAbortsTheCall) {
    EXPECT_EQ(runExport("KORAL_Test", []() -> int32_t { throw std::runtime_error("x"); }), -1);
    EXPECT_RECORD(4, 508, 0, 0, "KORAL_Test");
    EXPECT_EQ(runExport("KORAL_Test", []() -> int32_t { throw 42; }), -1);
}

TEST_F(ExportFrameTest, BodyResultIsTheExportsResult) {
    EXPECT_EQ(runExport("KORAL_Test", [] { return -2; }), -2);
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ExportFrameTest, FailedCheckNamesTheExportAndShowsTheBox) {
    EXPECT_EQ(checkInterfaceForExport("KORAL_Test", kCheckSlotExists, 3), -1);
    EXPECT_RECORD(5, 504, 0, 3, "KORAL_Test");
    EXPECT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(checkInterfaceForExport("KORAL_Test", kCheckIdInRange, 3), 0);
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(ExportFrameTest, QuietFailureNamesWithoutBox) {
    recordError(1, 4, 507, 0);
    EXPECT_EQ(failExportQuietly("KORAL_Quiet"), -1);
    EXPECT_RECORD(4, 507, 0, 1, "KORAL_Quiet");
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(ExportFrameTest, BodyDoesNotRunWithoutSetUp) {
    ASSERT_EQ(LibraryDetach(), 1);
    recordError(0, 2, 201, 0);
    recordFunctionName(kAttachFunctionName);
    bool ran = false;
    EXPECT_EQ(runExport("KORAL_Test",
                        [&] {
                            ran = true;
                            return 0;
                        }),
              -1);
    EXPECT_FALSE(ran);
    EXPECT_RECORD(2, 201, 0, 0, kAttachFunctionName);
    EXPECT_TRUE(ui->boxes().empty());
    attach();
}

} // namespace
} // namespace tarvik::testing
