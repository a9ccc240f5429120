// An ACE: its header, the access mask, then the SID.  Object ACEs put flags
// and the GUIDs those flags name between the mask and the SID.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ace_layout {
constexpr size_t kType = 0x00;   // u8
constexpr size_t kFlags = 0x01;  // u8
constexpr size_t kSize = 0x02;   // u16: the whole ACE
constexpr size_t kHeaderSize = 0x04;
constexpr size_t kMask = 0x04;  // u32
constexpr size_t kSid = 0x08;   // plain ACEs

// Object ACEs.
constexpr size_t kObjectFlags = 0x08;  // u32
constexpr size_t kObjectGuids = 0x0C;  // the GUIDs the flags name, then the SID
constexpr size_t kGuidSize = 16;
constexpr uint32_t kObjectTypePresent = 0x1;
constexpr uint32_t kInheritedObjectTypePresent = 0x2;

constexpr uint8_t kTypeSystemAudit = 2;
}  // namespace ace_layout
