#include "text/vx_locale.h"

#include <clocale>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/vx_log.h"
#include "platform/stream_write.h"

#define VX_MODULE "vx_locale"

// 0 = UTF-8, 1 = locale; changed only together with wc_output_function.
static int OutputMode = 1;
vx_wc_writer wc_output_function = vx_locale_fputwc;

int vx_setlocale(const char* name) {
    if (name == nullptr) name = "";
    if (setlocale(LC_ALL, name) == nullptr) {
        log_message(VX_WARNING, "%s %s() l.%d: Failed to set locale, using default \"%s\"",
                    VX_WHERE, vx_getlocale());
        return -1;
    }
    return 0;
}

void set_wc_output_function(int mode) {
    switch (mode) {
        case 0:
            wc_output_function = vx_utf8_fputwc;
            break;
        case 1:
            wc_output_function = vx_locale_fputwc;
            break;
        default:
            log_message(VX_FATAL, "%s %s() l.%d: Specified locale is unknown", VX_WHERE);
            return;
    }
    OutputMode = mode;
}

const char* vx_getlocale() {
    switch (OutputMode) {
        case 0:
            return ".UTF-8";
        case 1: {
            const char* name = setlocale(LC_ALL, nullptr);
            return name != nullptr ? name : "";
        }
        default:
            log_message(VX_ERROR, "%s %s() l.%d: Unable to find the locale the program use",
                        VX_WHERE);
            return "";
    }
}

int vx_locale_fputwc(FILE* stream, vx_wchar wc) {
    unsigned value = wc & 0xFFFFu;
    char buffer[MB_LEN_MAX + 1];
    mbstate_t state;
    memset(&state, 0, sizeof state);
    size_t n = wcrtomb(buffer, static_cast<wchar_t>(value), &state);
    if (n == static_cast<size_t>(-1) || n > MB_LEN_MAX) {
        log_message(VX_ERROR, "%s %s() l.%d: Can't output 0x%x to current locale", VX_WHERE,
                    value);
        return 0;
    }
    buffer[n] = 0;
    // A 0 unit converts to a lone 0 byte, which fputs cannot write: nothing goes out.
    const size_t cb = strlen(buffer);
    vx_put_bytes(stream, buffer, cb);
    return static_cast<int>(cb);
}

int vx_utf8_fputwc(FILE* stream, vx_wchar wc) {
    unsigned u = wc & 0xFFFFu;
    if (u < 0x80) {
        vx_put_char(stream, static_cast<char>(u));
        return 1;
    }
    if (u < 0x800) {
        const char bytes[2] = {static_cast<char>(0xC0 | (u >> 6)),
                               static_cast<char>(0x80 | (u & 0x3F))};
        vx_put_bytes(stream, bytes, 2);
        return 2;
    }
    const char bytes[3] = {static_cast<char>(0xE0 | (u >> 12)),
                           static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (u & 0x3F))};
    vx_put_bytes(stream, bytes, 3);
    return 3;
}

int vx_fputws(FILE* stream, const vx_wchar* ws) {
    int total = 0;
    // Both writers give a unit below 0x80 as that one byte (every locale's
    // character set is a superset of ASCII), so runs of them go out whole:
    // names are mostly ASCII, and a conversion a character is most of the
    // cost of writing them.
    const bool bAsciiRuns =
        wc_output_function == vx_locale_fputwc || wc_output_function == vx_utf8_fputwc;
    char run[256];
    while (*ws != 0) {
        size_t n = 0;
        while (bAsciiRuns && n < sizeof run && ws[n] != 0 && ws[n] < 0x80) {
            run[n] = static_cast<char>(ws[n]);
            n++;
        }
        if (n > 0) {
            vx_put_bytes(stream, run, n);
            total += static_cast<int>(n);
            ws += n;
            continue;
        }
        total += wc_output_function(stream, *ws++);
    }
    return total;
}

void vx_wmemcpy(const vx_wchar* src, vx_wchar* dst, size_t count) {
    if (count != 0) memmove(dst, src, count * sizeof(vx_wchar));
}
