// The value of $FILE_NAME: the parent directory's reference, the times and
// sizes the directory entry keeps, then the name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace file_name {
constexpr size_t kParentRecord = 0x00;    // 48-bit record number ...
constexpr size_t kParentSequence = 0x06;  // ... and the sequence the parent must have
constexpr size_t kParentRefSize = 8;
constexpr size_t kCreationTime = 0x08;    // the four NTFS times, u64 each
constexpr size_t kWriteTime = 0x10;
constexpr size_t kChangeTime = 0x18;
constexpr size_t kAccessTime = 0x20;
constexpr size_t kAllocatedSize = 0x28;   // u64
constexpr size_t kRealSize = 0x30;        // u64
constexpr size_t kFlags = 0x38;           // u32: file attributes
constexpr size_t kReparseTag = 0x3C;      // u32
constexpr size_t kNameLength = 0x40;      // u8: UTF-16 units
constexpr size_t kNamespace = 0x41;       // u8
constexpr size_t kName = 0x42;

constexpr uint32_t kFlagDirectory = 0x10000000;
// Namespaces: POSIX, Win32, DOS, and Win32 and DOS in one name.
constexpr uint8_t kPosix = 0;
constexpr uint8_t kWin32 = 1;
constexpr uint8_t kDos = 2;
constexpr uint8_t kWin32AndDos = 3;
}  // namespace file_name
