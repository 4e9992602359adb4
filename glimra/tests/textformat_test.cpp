// A client's one-integer format is expanded without printf's trust in it.

#include "glimra/textformat.h"

#include <gtest/gtest.h>

namespace glimra {
namespace {

TEST(TextFormatTest, TheFirstIntegerConversionTakesTheValue) {
    struct Case {
        const char* format;
        int value;
        const char* text;
    };
    const Case cases[] = {
        {"%d%%", 50, "50%"},
        {"Step %d of 10", 7, "Step 7 of 10"},
        {"%5d|%-4i|", 42, "   42|%-4i|"},
        {"%+.3d", 5, "+005"},
        {"%x", 255, "ff"},
        {"%ld", -3, "-3"},
        {"%s and %n and %d", 1, "%s and %n and 1"},
        {"%d then %d", 2, "2 then %d"},
        {"%99999d", 1, "%99999d"},
        {"100%", 0, "100%"},
        {"plain", 9, "plain"},
        {"", 9, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatInteger(c.format, c.value), c.text) << c.format;
    }
}

} // namespace
} // namespace glimra
