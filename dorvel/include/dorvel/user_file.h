#pragma once
// The user information file: who may log in, each with a salted slow hash of
// the password (never the password itself), and whether a program asks for a
// login at all.
//
// Layout, every number little-endian:
//
//   header, 64 bytes
//      0  u32  magic 0x0495C5FE (bytes FE C5 95 04)
//      4  u16  format version, 1
//      6  u16  cost of new password hashes, 0..kMaxHashCost (0: the crypt
//              library's default)
//      8  u32  flag word: bit 0 (kUserFileLoginRequired) set when users have
//              to log in; the other bits are 0
//     12  u32  number of users, at most kMaxUsers
//     16  48   reserved, 0
//   then one record per user, and nothing after the last:
//      u8   name length, 1..kMaxUserNameBytes
//      ...  name: bytes 0x20..0x7E and 0x80..0xFF (no control characters)
//      i32  level, 0..2^31-1: what a successful login answers
//      u16  hash length, 1..kMaxHashBytes
//      ...  hash: the output of the system's crypt(3) for a method it counts
//           as strong, salt and cost included
//
// Names are unique and compared byte for byte. A file that breaks any of this
// is refused whole.

#include "dorvel/api.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dorvel {

inline constexpr uint32_t kUserFileMagic = 0x0495C5FE;
inline constexpr size_t kUserFileHeaderSize = 64;
inline constexpr uint16_t kUserFileVersion = 1;
inline constexpr uint32_t kUserFileLoginRequired = 0x1;
inline constexpr uint16_t kMaxHashCost = 11;
inline constexpr uint32_t kMaxUsers = 4096;
inline constexpr size_t kMaxUserNameBytes = 32;
inline constexpr size_t kMaxPasswordBytes = 256;
inline constexpr size_t kMaxHashBytes = 383;
inline constexpr size_t kMaxUserFileSize =
    kUserFileHeaderSize + kMaxUsers * (1 + kMaxUserNameBytes + 4 + 2 + kMaxHashBytes);

// Results of UserDatabase::GetLastResult and of the functions below.
enum UserDatabaseResult : int32_t {
    kUserOk = 0,
    kUserFileNotFound = 0x10,    // the path names nothing
    kUserFileOpenFailed = 0x11,  // exists but cannot be opened
    kUserFileReadFailed = 0x12,  // opened, but reading failed
    kUserNotRegularFile = 0x13,  // a directory, device, pipe, ...
    kUserFileTooLarge = 0x14,    // above kMaxUserFileSize
    kUserFileWriteFailed = 0x15, // the new file could not be written
    kUserFileExists = 0x16,      // a new file would replace one
    kUserFileUnsafe = 0x17,      // writable by group or others, or owned by another user
    kUserFileBusy = 0x18,        // another process held its lock for longer than a change waits
    kUserBadFile = 0x20,         // not a sound user information file
    kUserNoFile = 0x30,          // no user file is open
    kUserInvalidArgument = 0x31, // null text, a name, password, level or flag out of bounds
    kUserRefused = 0x32,         // unknown user or wrong password: one answer for both
    kUserAlreadyExists = 0x33,   // a user of that name is there already
    kUserTooMany = 0x34,         // kMaxUsers reached
    kUserHashFailed = 0x35,      // the crypt library made no hash
};

struct UserFileHeader {
    uint32_t magic = kUserFileMagic;
    uint16_t version = kUserFileVersion;
    uint16_t hashCost = 0;
    uint32_t flags = 0;
    uint32_t userCount = 0;
};

struct UserRecord {
    std::string name;
    int32_t level = 0;
    std::string hash;
};

struct UserFileContents {
    UserFileHeader header;
    std::vector<UserRecord> users;
};

// The header's fields as they stand in the first 64 bytes; false when there
// are fewer or the magic is not there. Nothing else is checked.
DORVEL_API bool ReadUserFileHeader(std::span<const uint8_t> bytes, UserFileHeader& out);

// Parses and checks a whole file: kUserOk and out filled, or kUserFileTooLarge
// / kUserBadFile with out left as it was.
DORVEL_API int32_t ParseUserFile(std::span<const uint8_t> bytes, UserFileContents& out);

// The bytes of a file; the user count is taken from the records. The contents
// must be sound (as ParseUserFile would accept them).
DORVEL_API std::vector<uint8_t> EncodeUserFile(const UserFileContents& contents);

DORVEL_API bool IsValidUserName(std::string_view name);
// 1..kMaxPasswordBytes bytes, any but zero.
DORVEL_API bool IsValidPassword(std::string_view password);
// A hash of a strong method, as the file may hold it.
DORVEL_API bool IsAcceptedHash(std::string_view hash);

} // namespace dorvel
