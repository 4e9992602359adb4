// The user information file parser on arbitrary bytes: no crash, only its
// documented results, nothing changed when it refuses a file, and every file
// it accepts holds only sound fields and is written back byte for byte.
#include "dorvel/user_file.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    dorvel::UserFileHeader header;
    const bool hasHeader = dorvel::ReadUserFileHeader(bytes, header);
    check(hasHeader == (size >= dorvel::kUserFileHeaderSize && data[0] == 0xFE && data[1] == 0xC5 &&
                        data[2] == 0x95 && data[3] == 0x04));

    dorvel::UserFileContents contents;
    contents.header.flags = 0x5A;
    const int32_t result = dorvel::ParseUserFile(bytes, contents);
    check(result == dorvel::kUserOk || result == dorvel::kUserBadFile ||
          result == dorvel::kUserFileTooLarge);
    if (result != dorvel::kUserOk) {
        check(contents.header.flags == 0x5A && contents.users.empty());
        return 0;
    }
    check(hasHeader && contents.header.userCount == contents.users.size());
    check(contents.users.size() <= dorvel::kMaxUsers);
    std::set<std::string> names;
    for (const dorvel::UserRecord& user : contents.users) {
        check(dorvel::IsValidUserName(user.name) && dorvel::IsAcceptedHash(user.hash));
        check(user.level >= 0 && names.insert(user.name).second);
    }
    const std::vector<uint8_t> written = dorvel::EncodeUserFile(contents);
    check(written.size() == size && std::equal(written.begin(), written.end(), data));
    return 0;
}
