// Little-endian readers over byte ranges of known length.  A field that does
// not lie wholly inside the range reads as 0; callers that must tell the
// difference check with vx_fits first.  On-disk structures are never cast.
#pragma once

#include <cstddef>
#include <cstdint>

inline bool vx_fits(size_t length, size_t offset, size_t width) {
    return offset <= length && width <= length - offset;
}

inline uint8_t vx_le8(const uint8_t* p, size_t length, size_t offset) {
    return vx_fits(length, offset, 1) ? p[offset] : 0;
}

inline uint16_t vx_le16(const uint8_t* p, size_t length, size_t offset) {
    if (!vx_fits(length, offset, 2)) return 0;
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

inline uint32_t vx_le32(const uint8_t* p, size_t length, size_t offset) {
    if (!vx_fits(length, offset, 4)) return 0;
    return static_cast<uint32_t>(p[offset]) | (static_cast<uint32_t>(p[offset + 1]) << 8) |
           (static_cast<uint32_t>(p[offset + 2]) << 16) |
           (static_cast<uint32_t>(p[offset + 3]) << 24);
}

inline uint64_t vx_le64(const uint8_t* p, size_t length, size_t offset) {
    if (!vx_fits(length, offset, 8)) return 0;
    return static_cast<uint64_t>(vx_le32(p, length, offset)) |
           (static_cast<uint64_t>(vx_le32(p, length, offset + 4)) << 32);
}

// The 48-bit record number of an MFT reference: u32 low bits, u16 high bits.
inline uint64_t vx_le48(const uint8_t* p, size_t length, size_t offset) {
    if (!vx_fits(length, offset, 6)) return 0;
    return static_cast<uint64_t>(vx_le32(p, length, offset)) |
           (static_cast<uint64_t>(vx_le16(p, length, offset + 4)) << 32);
}

inline void vx_put16(uint8_t* p, size_t length, size_t offset, uint16_t v) {
    if (!vx_fits(length, offset, 2)) return;
    p[offset] = static_cast<uint8_t>(v);
    p[offset + 1] = static_cast<uint8_t>(v >> 8);
}
