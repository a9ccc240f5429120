// The header of an MFT record ("FILE"), before its update sequence array
// and its attributes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace record_header {
constexpr size_t kSignature = 0x00;       // "FILE"
constexpr size_t kUsaOffset = 0x04;       // u16: the update sequence array
constexpr size_t kUsaCount = 0x06;        // u16: the update value and one unit a stride
constexpr size_t kLsn = 0x08;             // u64
constexpr size_t kSequence = 0x10;        // u16
constexpr size_t kLinkCount = 0x12;       // u16
constexpr size_t kAttributesOffset = 0x14;  // u16: the first attribute record
constexpr size_t kFlags = 0x16;           // u16
constexpr size_t kBytesInUse = 0x18;      // u32
constexpr size_t kBytesAllocated = 0x1C;  // u32
constexpr size_t kBaseRecord = 0x20;      // 48-bit record number of the base record ...
constexpr size_t kBaseSequence = 0x26;    // ... and its sequence (0-0 in a base record)
constexpr size_t kSignatureSize = 4;

constexpr uint16_t kFlagInUse = 0x0001;
constexpr uint16_t kFlagDirectory = 0x0002;
}  // namespace record_header
