// The version reader takes module files apart; any file can be handed to it.
#include "platform/version_info.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto info = platform::parseVersionInfo(data, size);
    if (info) {
        // Touch everything the reader handed back.
        size_t total = 0;
        for (const auto& [key, value] : info->strings) {
            total += key.size() + value.size();
        }
        (void)(total + info->fileVersion[0] + info->productVersion[3]);
    }
    return 0;
}
