// A step check list takes its steps from any window text, and the tool tip
// and label split any text into lines.
#include "fuzz_check.h"
#include "glimra/steptext.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto lines = glimra::splitLines(text);
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        joined += lines[i];
        if (i + 1 < lines.size()) {
            joined += '\n';
        }
    }
    fuzz::check(joined == text);

    // Some ids name the input itself, so that its pieces are counted too.
    const auto lookUp = [text](unsigned int id) -> std::optional<std::string> {
        if (id % 3 == 0) {
            return std::string(text);
        }
        return std::nullopt;
    };
    const auto read = glimra::readStepWindowText(text, "|", lookUp);
    fuzz::check(read.has_value() == !text.empty());
    if (read) {
        const auto pieces = glimra::stepPieces(read->text, "|");
        fuzz::check(static_cast<int>(pieces.size()) == read->count);
        for (const std::string& piece : pieces) {
            fuzz::check(!piece.empty() && piece.find('|') == std::string::npos);
        }
    }
    return 0;
}
