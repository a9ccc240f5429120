#include "text/vx_dump.h"

#include <cctype>
#include <cstdint>

#include "text/vx_locale.h"

void DumpHex(FILE* stream, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t off = 0; off < length; off += 16) {
        fprintf(stream, "%04zx: ", off);
        for (size_t i = 0; i < 16; i++) {
            if (off + i < length)
                fprintf(stream, "%02x ", p[off + i]);
            else
                fputs("   ", stream);
            if (i == 7) fputc(' ', stream);
        }
        fputs("  ", stream);
        for (size_t i = 0; i < 16 && off + i < length; i++) {
            uint8_t b = p[off + i];
            if (isprint(b))
                wc_output_function(stream, b);
            else
                fputc('.', stream);
        }
        fputc('\n', stream);
    }
}
