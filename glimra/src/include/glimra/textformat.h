#pragma once
// The texts of the progress classes are formats for one integer that clients
// give ("%d%%", "Step %d of 10"). They are expanded here, never handed to the
// C library's printf, so that a text with other conversions ("%s", "%n", a
// second "%d") is shown, not obeyed.

#include <string>
#include <string_view>

namespace glimra {

// The format with its first integer conversion (d, i, u, x, X or o, with the
// flags, width and precision printf knows, widths limited to 1000) replaced
// by value and "%%" by "%"; every other conversion is copied as it stands.
std::string formatInteger(std::string_view format, int value);

} // namespace glimra
