// Writing the report's bytes: the few bytes of each field go into the
// stream's buffer without the stream's lock and without a library call when
// there is room, as putc_unlocked does.  The report writes a dozen fields or
// more a file, so a locked call for each was a large part of a run.
//
// A stream written through these functions must be written by one thread
// at a time (as every stream of a run is); what they write lands in the
// buffer exactly where fwrite would have put it, so they mix freely with
// the stdio calls on the same stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

inline void vx_put_bytes(FILE* stream, const char* p, size_t n) {
#if defined(__GLIBC__)
    // The room glibc's putc_unlocked writes into: none on a line-buffered
    // or unbuffered stream, whose bytes then go through fwrite_unlocked.
    if (stream->_IO_write_end - stream->_IO_write_ptr >= static_cast<ptrdiff_t>(n)) {
        if (n != 0) memcpy(stream->_IO_write_ptr, p, n);
        stream->_IO_write_ptr += n;
        return;
    }
    fwrite_unlocked(p, 1, n, stream);
#elif defined(_WIN32) && (defined(_UCRT) || __MSVCRT_VERSION__ >= 0x800)
    _fwrite_nolock(p, 1, n, stream);
#elif defined(_WIN32)
    // The system's msvcrt.dll has no _fwrite_nolock: its putc macro, byte
    // by byte, for the few bytes of a field.
    if (n > 64) {
        fwrite(p, 1, n, stream);
        return;
    }
    for (size_t k = 0; k < n; k++) (void)_putc_nolock(p[k], stream);
#else
    fwrite(p, 1, n, stream);
#endif
}

inline void vx_put_char(FILE* stream, char c) {
#if defined(__GLIBC__)
    putc_unlocked(c, stream);
#elif defined(_WIN32)
    (void)_putc_nolock(c, stream);
#else
    putc(c, stream);
#endif
}

// A 0-terminated string, as fputs writes it.
inline void vx_put_text(FILE* stream, const char* psz) { vx_put_bytes(stream, psz, strlen(psz)); }

// `value` in decimal, as "%u" / "%llu" writes it.
inline void vx_put_u64(FILE* stream, uint64_t value) {
    char digits[20];
    char* p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    vx_put_bytes(stream, p, static_cast<size_t>(digits + sizeof digits - p));
}
