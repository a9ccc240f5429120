// Decompression for POSIX builds: LZNT1 through libfwnt, XPRESS Huffman and
// LZX through wimlib, each where the build has the library.
#include <cstdlib>
#include <new>

#include "platform/platform.h"

#if VOLSCAN_HAVE_FWNT
#include <libfwnt.h>
#endif
#if VOLSCAN_HAVE_WIM
#include <wimlib.h>
#endif

namespace {

// The decoders of one thread: wimlib's are made for one block size each
// (the WOF chunk sizes: 4, 8, 16 KiB for XPRESS, 32 KiB for LZX).
constexpr int kSlots = 4;

}  // namespace

struct VxCodecs {
#if VOLSCAN_HAVE_WIM
    wimlib_decompressor* pDecoder[kSlots];
    int codec[kSlots];
    size_t cbBlock[kSlots];
#endif
    int nUsed;
};

VxCodecs* vx_plat_codecs_new() {
    void* p = calloc(1, sizeof(VxCodecs));
    return p == nullptr ? nullptr : new (p) VxCodecs{};
}

void vx_plat_codecs_free(VxCodecs* pCodecs) {
    if (pCodecs == nullptr) return;
#if VOLSCAN_HAVE_WIM
    for (int i = 0; i < pCodecs->nUsed; i++) wimlib_free_decompressor(pCodecs->pDecoder[i]);
#endif
    free(pCodecs);
}

const char* vx_plat_codec_library(int codec) {
    return codec == VX_CODEC_LZNT1 ? "libfwnt" : "wimlib";
}

int vx_plat_decompress(VxCodecs* pCodecs, int codec, const uint8_t* pIn, size_t cbIn,
                       uint8_t* pOut, size_t cbOut, size_t* pcbGot) {
    *pcbGot = 0;
    if (codec == VX_CODEC_LZNT1) {
#if VOLSCAN_HAVE_FWNT
        size_t cbGot = cbOut;
        libfwnt_error_t* pError = nullptr;
        if (libfwnt_lznt1_decompress(pIn, cbIn, pOut, &cbGot, &pError) != 1 || cbGot > cbOut) {
            libfwnt_error_free(&pError);
            return VX_DECODE_BAD;
        }
        *pcbGot = cbGot;
        return VX_DECODE_OK;
#else
        (void)pIn, (void)cbIn, (void)pOut, (void)cbOut;
        return VX_DECODE_MISSING;
#endif
    }
#if VOLSCAN_HAVE_WIM
    if (pCodecs == nullptr || (codec != VX_CODEC_XPRESS && codec != VX_CODEC_LZX))
        return VX_DECODE_MISSING;
    const wimlib_compression_type type =
        codec == VX_CODEC_LZX ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
    int i = 0;
    while (i < pCodecs->nUsed && (pCodecs->codec[i] != codec || pCodecs->cbBlock[i] != cbOut)) i++;
    if (i == pCodecs->nUsed) {
        // A block size not seen yet: the oldest decoder makes room for it.
        if (i == kSlots) {
            wimlib_free_decompressor(pCodecs->pDecoder[0]);
            for (int k = 1; k < kSlots; k++) {
                pCodecs->pDecoder[k - 1] = pCodecs->pDecoder[k];
                pCodecs->codec[k - 1] = pCodecs->codec[k];
                pCodecs->cbBlock[k - 1] = pCodecs->cbBlock[k];
            }
            i = kSlots - 1;
            pCodecs->nUsed--;
        }
        if (wimlib_create_decompressor(type, cbOut, &pCodecs->pDecoder[i]) != 0)
            return VX_DECODE_BAD;
        pCodecs->codec[i] = codec;
        pCodecs->cbBlock[i] = cbOut;
        pCodecs->nUsed++;
    }
    if (wimlib_decompress(pIn, cbIn, pOut, cbOut, pCodecs->pDecoder[i]) != 0)
        return VX_DECODE_BAD;
    *pcbGot = cbOut;
    return VX_DECODE_OK;
#else
    (void)pCodecs, (void)pIn, (void)cbIn, (void)pOut, (void)cbOut;
    return VX_DECODE_MISSING;
#endif
}
