// Lines and step names.

#include "glimra/steptext.h"

namespace glimra {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            return lines;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> stepPieces(std::string_view text, std::string_view delimiters) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end =
            delimiters.empty() ? std::string_view::npos : text.find_first_of(delimiters, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

std::optional<std::uint16_t> numericTextId(std::string_view windowText) {
    // A shorter text holds no id: reading its second and third bytes would
    // run past its end.
    if (windowText.size() < 3) {
        return std::nullopt;
    }
    const auto low = static_cast<unsigned char>(windowText[1]);
    const auto high = static_cast<unsigned char>(windowText[2]);
    return static_cast<std::uint16_t>(low | (high << 8));
}

std::optional<StepText> readStepWindowText(std::string_view windowText, std::string_view delimiters,
                                           const StringLookUp& lookUp) {
    if (windowText.empty()) {
        return std::nullopt;
    }
    StepText out;
    if (windowText.find_first_of(delimiters) == std::string_view::npos) {
        const std::optional<std::uint16_t> id = numericTextId(windowText);
        std::optional<std::string> named;
        if (id && lookUp) {
            named = lookUp(*id);
        }
        out.text = named.value_or(std::string());
    } else {
        out.text = std::string(windowText);
    }
    out.count = static_cast<int>(stepPieces(out.text, delimiters).size());
    return out;
}

} // namespace glimra
