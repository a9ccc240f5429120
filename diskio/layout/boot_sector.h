// The NTFS boot sector: the fields the volume's geometry comes from.
#pragma once

#include <cstddef>

namespace boot_sector {
constexpr size_t kOemId = 0x03;              // "NTFS    ", 8 bytes
constexpr size_t kBytesPerSector = 0x0B;     // u16
constexpr size_t kSectorsPerCluster = 0x0D;  // u8; above 0x80 a negative power of two
constexpr size_t kTotalSectors = 0x28;       // u64
constexpr size_t kMftLcn = 0x30;             // u64
constexpr size_t kMftMirrorLcn = 0x38;       // u64
constexpr size_t kClustersPerRecord = 0x40;  // s8; negative: 2^-v bytes
constexpr size_t kClustersPerIndex = 0x44;   // s8, as the record size
constexpr size_t kSerialNumber = 0x48;       // u64
constexpr size_t kSize = 512;
}  // namespace boot_sector
