#pragma once
// Texts the small controls take apart: a tool tip's or label's lines, and the
// step names of a step check list, given as one text with a delimiter or as a
// dialog template's numeric text naming a string resource. Qt-free: the fuzz
// targets link it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glimra {

// The lines of a text split at "\n": one more than the line feeds, of any
// number and length.
std::vector<std::string> splitLines(std::string_view text);

// The non-empty pieces between delimiter characters (any character of
// delimiters separates).
std::vector<std::string> stepPieces(std::string_view text, std::string_view delimiters);

// The string resource a window text names in a dialog template's numeric
// form (a marker byte, then the id as two bytes, low first); none for a text
// too short to hold one.
std::optional<std::uint16_t> numericTextId(std::string_view windowText);

struct StepText {
    std::string text; // the steps joined by delimiters
    int count = 0;    // the non-empty pieces
};

// Reads a step list's window text: a text without any delimiter character is
// the numeric form and is replaced by the string resource it names (empty
// when there is none). An empty window text gives nothing.
using StringLookUp = std::function<std::optional<std::string>(unsigned int id)>;
std::optional<StepText> readStepWindowText(std::string_view windowText, std::string_view delimiters,
                                           const StringLookUp& lookUp);

} // namespace glimra
