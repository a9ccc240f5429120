// The header of an ACL; its ACEs follow.
#pragma once

#include <cstddef>

namespace acl_layout {
constexpr size_t kRevision = 0x00;  // u8
constexpr size_t kSize = 0x02;      // u16: header and ACEs
constexpr size_t kAceCount = 0x04;  // u16
constexpr size_t kHeaderSize = 0x08;
}  // namespace acl_layout
