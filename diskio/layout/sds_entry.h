// One entry of the $Secure:$SDS stream: a header, then the self-relative
// security descriptor.
#pragma once

#include <cstddef>

namespace sds_entry {
constexpr size_t kHash = 0x00;        // u32
constexpr size_t kSecurityId = 0x04;  // u32
constexpr size_t kOffset = 0x08;      // u64: the entry's own offset in the stream
constexpr size_t kLength = 0x10;      // u32: header and descriptor
constexpr size_t kHeaderSize = 0x14;
}  // namespace sds_entry
