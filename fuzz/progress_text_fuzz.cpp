// The progress classes expand a client's text as a format for one integer;
// any text can be handed to them.
#include "fuzz_check.h"
#include "glimra/textformat.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int value = 0;
    if (size >= sizeof value) {
        std::memcpy(&value, data, sizeof value);
        data += sizeof value;
        size -= sizeof value;
    }
    const std::string_view format(reinterpret_cast<const char*>(data), size);
    const std::string text = glimra::formatInteger(format, value);
    // One conversion of at most 1000 characters of width or precision.
    fuzz::check(text.size() <= format.size() + 1100);
    return 0;
}
