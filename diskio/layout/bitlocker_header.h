// The volume header of a BitLocker-encrypted volume and the start of its
// FVE metadata blocks: what tells an encrypted volume and names it.
#pragma once

#include <cstddef>

namespace bitlocker_header {
constexpr size_t kSignature = 0x03;        // "-FVE-FS-", 8 bytes (Vista, Windows 7 on)
constexpr size_t kMetadata = 0xB0;         // u64 × 3: byte offsets of the FVE metadata blocks
constexpr size_t kToGoOemId = 0x03;        // "MSWIN4.1": BitLocker To Go keeps a FAT header
constexpr size_t kToGoIdentifier = 0x1A8;  // the BitLocker GUID, 16 bytes
constexpr size_t kToGoMetadata = 0x1B8;    // u64 × 3, as kMetadata
constexpr size_t kSize = 512;
}  // namespace bitlocker_header

namespace fve_block {
constexpr size_t kSignature = 0x00;         // "-FVE-FS-"
constexpr size_t kVersion = 0x0A;           // u16: 2 from Windows 7 on
constexpr size_t kVolumeIdentifier = 0x50;  // GUID of the volume (metadata header + 16)
constexpr size_t kRead = 0x60;              // the bytes read of a block
}  // namespace fve_block
