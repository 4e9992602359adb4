// The shipped udev rule opens exactly the USB ids the driver serves: the
// blank chip and both product ids of every board vendor.

#include "firmware.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>

namespace {

using Id = std::pair<unsigned, unsigned>;

TEST(UdevRuleTest, GrantsAccessToEveryIdTheDriverServesAndNoOther) {
    std::ifstream rules(KAVRIN_FIRMWARE_SOURCE_DIR "/../udev/60-kavrin.rules");
    ASSERT_TRUE(rules.is_open());
    const std::regex rule(R"re(ATTR\{idVendor\}=="([0-9a-f]{4})", ATTR\{idProduct\}=="([0-9a-f]{4})")re");
    std::set<Id> granted;
    std::string line;
    while (std::getline(rules, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, rule)) << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        granted.insert({std::stoul(m[1], nullptr, 16), std::stoul(m[2], nullptr, 16)});
    }
    std::set<Id> served = {{kavrin::kBlankChipVendorId, kavrin::kBlankChipProductId}};
    for (const kavrin::BoardUsbId& board : kavrin::kBoardUsbIds) {
        served.insert({board.vendorId, board.productIdGeneration1});
        served.insert({board.vendorId, board.productIdGeneration1 + 1u});
    }
    EXPECT_EQ(granted, served);
}

} // namespace
