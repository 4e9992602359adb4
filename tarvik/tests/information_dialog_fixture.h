#pragma once
// Simulated boards for the information dialog, opened and initialised through
// the exports: board 1 with two channels behind a multiplexer (both in use), a
// lamp and a flash module; board 2 with the cooled front end and no
// multiplexer. Both are request-block boards.

#include "support/tarvik_test.h"

#include "core/information_dialog.h"
#include "tarvik.h"

#include "platform/device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace tarvik::testing {

class InformationDialogBoards : public TarvikTest {
protected:
    void SetUp() override {
        const std::string setup = (roots.user.path() / "sim.ini").string();
        std::ofstream(setup) << "[board mux]\nusb_board = 0\nboard_id = 1\nmux_image = 2\n"
                                "mux_assembly = 6\nlight_sources = 0x40:lamp1 0x42:flash\n"
                                "[board cooled]\nusb_board = 0\nboard_id = 2\n"
                                "frontend_type = 11\nclock_value = 2000\ncooled_board = 1\n"
                                "driver_version = 1015\n";
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        TarvikTest::SetUp();
        for (uint32_t id = 1; id <= 2; ++id) {
            ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, id), 0);
            ASSERT_EQ(KORAL_InitializeOperationElectronics(0, id), 0);
        }
        ASSERT_EQ(KORAL_ParaSetMUXMode(2, 2, 1), 0);
    }

    void TearDown() override {
        setInformationDialogPresenter(nullptr);
        for (uint32_t id = 1; id <= 2; ++id) {
            KORAL_CloseOperationElectronics(id);
        }
        TarvikTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }
};

} // namespace tarvik::testing
