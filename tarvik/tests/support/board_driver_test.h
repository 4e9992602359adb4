#pragma once
// The fixture of tests that drive the library's setters against the
// linked-in board driver: the driver is ready before each test, and the
// life-cycle seams a test replaced are put back after it.

#include "board_test_driver.h"
#include "tarvik_test.h"

#include "core/lifecycle_seams.h"

namespace tarvik::testing {

class BoardDriverTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        ASSERT_TRUE(board.ready());
    }
    void TearDown() override {
        resetLifecycleSeams();
        TarvikTest::TearDown();
    }

    BoardTestDriver board;
};

} // namespace tarvik::testing
