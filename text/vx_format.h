// Decimal digits without printf, for the fields written once or more for
// every record (times, SIDs): the same characters as "%u" and "%0Nu".
#pragma once

#include <cstdint>

// Writes `value` at `p` with at least `width` digits, zeros in front; no
// terminator.  Returns the end.  20 bytes always suffice.
inline char* vx_format_u64(char* p, uint64_t value, int width = 1) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; width > n && width > 0; width--) *p++ = '0';
    while (n > 0) *p++ = digits[--n];
    return p;
}
