// A SID: revision, count of sub-authorities, the 48-bit identifier
// authority (big-endian), then the 32-bit sub-authorities.
#pragma once

#include <cstddef>

namespace sid_layout {
constexpr size_t kRevision = 0x00;             // u8
constexpr size_t kSubAuthorityCount = 0x01;    // u8
constexpr size_t kIdentifierAuthority = 0x02;  // 6 bytes, most significant first
constexpr size_t kIdentifierAuthoritySize = 6;
constexpr size_t kSubAuthorities = 0x08;       // u32 each
constexpr size_t kHeaderSize = 0x08;
}  // namespace sid_layout
