// The Volume Shadow Copy structures that say where each store lies: the
// volume header in the volume's first 8 KiB, and the catalog, a chain of
// 16 KiB blocks of 128-byte entries, two entries for every store.
#pragma once

#include <cstddef>
#include <cstdint>

namespace shadow_header {
constexpr uint64_t kOffset = 0x1E00;      // on the volume
constexpr size_t kIdentifier = 0x00;      // 16 bytes, kShadowIdentifier
constexpr size_t kRecordType = 0x14;      // u32, 1
constexpr size_t kCatalogOffset = 0x30;   // u64, 0 when the volume holds no store
constexpr size_t kSize = 128;
}  // namespace shadow_header

namespace shadow_catalog_block {
constexpr size_t kIdentifier = 0x00;  // 16 bytes, kShadowIdentifier
constexpr size_t kRecordType = 0x14;  // u32, 2
constexpr size_t kNextOffset = 0x28;  // u64, 0 after the last block
constexpr size_t kHeaderSize = 128;
constexpr size_t kSize = 16384;
}  // namespace shadow_catalog_block

namespace shadow_catalog_entry {
constexpr size_t kType = 0x00;        // u64: 2 the store's facts, 3 where it lies
constexpr size_t kIdentifier = 0x10;  // 16 bytes: the store's, in both entries
// Type 3: the first blocks of the store's chains of 16 KiB blocks (u64 each).
constexpr size_t kBlockList = 0x08;
constexpr size_t kRangeList = 0x28;
constexpr size_t kBitmap = 0x30;
constexpr size_t kPreviousBitmap = 0x48;  // 0 when none
constexpr size_t kSize = 128;
}  // namespace shadow_catalog_entry

// The header of every block of a store's chains, as of the catalog's.
namespace shadow_block {
constexpr size_t kIdentifier = 0x00;  // 16 bytes, kShadowIdentifier
constexpr size_t kNextOffset = 0x28;  // u64, 0 after the last block
constexpr size_t kHeaderSize = 128;
constexpr size_t kSize = 16384;
}  // namespace shadow_block

// {3808876b-c176-4e48-b7ae-04046e6cc752}, as the bytes lie on the volume.
constexpr uint8_t kShadowIdentifier[16] = {0x6b, 0x87, 0x08, 0x38, 0x76, 0xc1, 0x48, 0x4e,
                                           0xb7, 0xae, 0x04, 0x04, 0x6e, 0x6c, 0xc7, 0x52};
