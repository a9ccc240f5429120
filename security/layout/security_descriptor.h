// The header of a self-relative security descriptor: the offsets of its
// owner and group SIDs and of its two ACLs (0: none).
#pragma once

#include <cstddef>

namespace descriptor_layout {
constexpr size_t kRevision = 0x00;     // u8
constexpr size_t kControl = 0x02;      // u16
constexpr size_t kOwnerOffset = 0x04;  // u32
constexpr size_t kGroupOffset = 0x08;  // u32
constexpr size_t kSaclOffset = 0x0C;   // u32
constexpr size_t kDaclOffset = 0x10;   // u32
constexpr size_t kHeaderSize = 0x14;
}  // namespace descriptor_layout
