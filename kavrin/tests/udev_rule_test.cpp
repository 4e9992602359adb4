// The shipped udev rule opens exactly the USB ids the driver serves: the
// blank chip and both product ids of every board vendor.

#include "firmware.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <utility>

namespace {

using Id = std::pair<unsigned, unsigned>;

// The four hex digits of ATTR{<name>}=="xxxx", or npos when the line has none.
unsigned long attribute(const std::string& line, const std::string& name) {
    const std::string key = "ATTR{" + name + "}==\"";
    const std::size_t at = line.find(key);
    if (at == std::string::npos || line.size() < at + key.size() + 5 ||
        line[at + key.size() + 4] != '"') {
        return std::string::npos;
    }
    return std::stoul(line.substr(at + key.size(), 4), nullptr, 16);
}

TEST(UdevRuleTest, GrantsAccessToEveryIdTheDriverServesAndNoOther) {
    std::ifstream rules(KAVRIN_FIRMWARE_SOURCE_DIR "/../udev/60-kavrin.rules");
    ASSERT_TRUE(rules.is_open());
    std::set<Id> granted;
    std::string line;
    while (std::getline(rules, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const unsigned long vendor = attribute(line, "idVendor");
        const unsigned long product = attribute(line, "idProduct");
        ASSERT_NE(vendor, std::string::npos) << line;
        ASSERT_NE(product, std::string::npos) << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        granted.insert({static_cast<unsigned>(vendor), static_cast<unsigned>(product)});
    }
    std::set<Id> served = {{kavrin::kBlankChipVendorId, kavrin::kBlankChipProductId}};
    for (const kavrin::BoardUsbId& board : kavrin::kBoardUsbIds) {
        served.insert({board.vendorId, board.productIdGeneration1});
        served.insert({board.vendorId, board.productIdGeneration1 + 1u});
    }
    EXPECT_EQ(granted, served);
}

} // namespace
