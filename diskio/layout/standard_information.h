// The value of $STANDARD_INFORMATION.  The form written before NTFS 3 stops
// after the class id; the owner, security id, quota and USN came with NTFS 3.
#pragma once

#include <cstddef>

namespace standard_information {
constexpr size_t kCreationTime = 0x00;  // the four NTFS times, u64 each
constexpr size_t kWriteTime = 0x08;
constexpr size_t kChangeTime = 0x10;    // attribute modification
constexpr size_t kAccessTime = 0x18;
constexpr size_t kFileAttributes = 0x20;  // u32
constexpr size_t kMaxVersions = 0x24;     // u32
constexpr size_t kVersion = 0x28;         // u32
constexpr size_t kClassId = 0x2C;         // u32
constexpr size_t kOwnerId = 0x30;         // u32
constexpr size_t kSecurityId = 0x34;      // u32
constexpr size_t kQuotaCharged = 0x38;    // u64
constexpr size_t kUsn = 0x40;             // u64
constexpr size_t kSizeBeforeNtfs3 = 0x30;
constexpr size_t kSize = 0x48;
}  // namespace standard_information
