// The attribute record of an MFT record: the common header, then the
// resident form (the value follows) or the non-resident form (mapping pairs
// follow).
#pragma once

#include <cstddef>
#include <cstdint>

namespace attribute_header {
constexpr size_t kType = 0x00;         // u32; kEndMarker ends the record's attributes
constexpr size_t kLength = 0x04;       // u32: the whole attribute record
constexpr size_t kNonResident = 0x08;  // u8
constexpr size_t kNameLength = 0x09;   // u8: UTF-16 units
constexpr size_t kNameOffset = 0x0A;   // u16
constexpr size_t kFlags = 0x0C;        // u16: compressed, encrypted, sparse
constexpr size_t kAttributeId = 0x0E;  // u16

constexpr uint32_t kEndMarker = 0xFFFFFFFF;
}  // namespace attribute_header

namespace resident_attribute {
constexpr size_t kValueLength = 0x10;  // u32
constexpr size_t kValueOffset = 0x14;  // u16
constexpr size_t kIndexedFlag = 0x16;  // u8
constexpr size_t kHeaderSize = 0x18;
}  // namespace resident_attribute

namespace nonresident_attribute {
constexpr size_t kFirstVcn = 0x10;         // u64: the extent's lowest VCN ...
constexpr size_t kLastVcn = 0x18;          // u64: ... and its highest, both inclusive
constexpr size_t kPairsOffset = 0x20;      // u16: the mapping pairs
constexpr size_t kCompressionUnit = 0x22;  // u16: log2 of clusters a unit
constexpr size_t kAllocatedSize = 0x28;    // u64
constexpr size_t kDataSize = 0x30;         // u64: the stream's size
constexpr size_t kInitializedSize = 0x38;  // u64
constexpr size_t kHeaderSize = 0x40;
}  // namespace nonresident_attribute
