// One entry of an $ATTRIBUTE_LIST value: an attribute of the file and the
// record that holds it.
#pragma once

#include <cstddef>

namespace attribute_list_entry {
constexpr size_t kType = 0x00;         // u32
constexpr size_t kLength = 0x04;       // u16: this entry, name included
constexpr size_t kNameLength = 0x06;   // u8
constexpr size_t kNameOffset = 0x07;   // u8
constexpr size_t kFirstVcn = 0x08;     // u64
constexpr size_t kRecord = 0x10;       // 48-bit record number of the holder ...
constexpr size_t kSequence = 0x16;     // ... and its sequence
constexpr size_t kAttributeId = 0x18;  // u16
constexpr size_t kHeaderSize = 0x1A;   // up to the attribute id, inclusive
}  // namespace attribute_list_entry
