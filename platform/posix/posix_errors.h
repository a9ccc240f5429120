// Error numbers of the POSIX platform layer beyond errno's own.
#pragma once

#include <cstdint>

// Windows' ERROR_NONE_MAPPED, which a SID without an account gives; far
// above every errno value, so strerror never names it.
constexpr uint32_t kErrorNoneMapped = 1332;
