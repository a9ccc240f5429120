// The value of $VOLUME_INFORMATION in $Volume (record 3).
#pragma once

#include <cstddef>

namespace volume_information {
constexpr size_t kMajorVersion = 0x08;  // u8
constexpr size_t kMinorVersion = 0x09;  // u8
constexpr size_t kFlags = 0x0A;         // u16
}  // namespace volume_information
