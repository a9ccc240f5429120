// codec_rate UNITS: the rate at which the decompression libraries decode
// the compressed units in UNITS on one core, to set beside volscan's own
// rate on the volume they came from (bench/compressed.sh writes UNITS).
// Each unit: codec (0 LZNT1, 1 XPRESS, 2 LZX), stored length, decoded
// length (all 32-bit little-endian), then the stored bytes.  Every unit is
// decoded over and over for a second at least; the decoded bytes a second
// of each codec are printed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef VOLSCAN_HAVE_FWNT
#include <libfwnt.h>
#endif
#ifdef VOLSCAN_HAVE_WIM
#include <wimlib.h>
#endif

namespace {

struct Unit {
    uint32_t codec;
    uint32_t outLength;
    std::vector<uint8_t> in;
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Decodes u into out; the bytes it gave, 0 when it failed.
size_t Decode(const Unit& u, uint8_t* out, void* lzx, void* xpress) {
#ifdef VOLSCAN_HAVE_FWNT
    if (u.codec == 0) {
        size_t n = u.outLength;
        return libfwnt_lznt1_decompress(u.in.data(), u.in.size(), out, &n, nullptr) == 1 ? n : 0;
    }
#endif
#ifdef VOLSCAN_HAVE_WIM
    if (u.codec == 1 || u.codec == 2) {
        auto* d = static_cast<wimlib_decompressor*>(u.codec == 2 ? lzx : xpress);
        return wimlib_decompress(u.in.data(), u.in.size(), out, u.outLength, d) == 0 ? u.outLength
                                                                                      : 0;
    }
#endif
    (void)u, (void)out, (void)lzx, (void)xpress;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: codec_rate UNITS\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (f == nullptr) {
        perror(argv[1]);
        return 1;
    }
    std::vector<Unit> units;
    uint8_t head[12];
    while (fread(head, 1, sizeof head, f) == sizeof head) {
        Unit u{Le32(head), Le32(head + 8), std::vector<uint8_t>(Le32(head + 4))};
        if (u.codec > 2 || u.outLength > (1u << 20) || u.in.size() > (1u << 20) ||
            fread(u.in.data(), 1, u.in.size(), f) != u.in.size()) {
            fprintf(stderr, "codec_rate: %s is damaged\n", argv[1]);
            return 1;
        }
        units.push_back(std::move(u));
    }
    fclose(f);
    void* lzx = nullptr;
    void* xpress = nullptr;
#ifdef VOLSCAN_HAVE_WIM
    wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZX, 32768,
                               reinterpret_cast<wimlib_decompressor**>(&lzx));
    wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_XPRESS, 65536,
                               reinterpret_cast<wimlib_decompressor**>(&xpress));
#endif
    static const char* const kNames[3] = {"LZNT1 (libfwnt)", "XPRESS (wimlib)", "LZX (wimlib)"};
    std::vector<uint8_t> out(1u << 20);
    for (uint32_t codec = 0; codec < 3; codec++) {
        size_t count = 0, in = 0;
        for (const Unit& u : units)
            if (u.codec == codec) count++, in += u.in.size();
        if (count == 0) continue;
        uint64_t bytes = 0, failed = 0;
        const auto t0 = std::chrono::steady_clock::now();
        double seconds = 0;
        do {
            for (const Unit& u : units) {
                if (u.codec != codec) continue;
                const size_t n = Decode(u, out.data(), lzx, xpress);
                if (n == 0) failed++;
                bytes += n;
            }
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        } while (seconds < 1.0);
        printf("%-16s %7zu units, %9zu bytes stored: %8.1f MB/s decoded%s\n", kNames[codec], count,
               in, bytes / seconds / 1e6, failed > 0 ? " (some units did not decode)" : "");
    }
#ifdef VOLSCAN_HAVE_WIM
    wimlib_free_decompressor(static_cast<wimlib_decompressor*>(lzx));
    wimlib_free_decompressor(static_cast<wimlib_decompressor*>(xpress));
#endif
    return 0;
}
