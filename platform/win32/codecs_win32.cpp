// Decompression on Windows: the system's own RtlDecompressBuffer(Ex) of
// ntdll, looked up at run time so that the program imports only the DLLs
// every Windows has.  It knows LZNT1 and XPRESS Huffman; LZX it does not.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace {

constexpr USHORT kFormatLznt1 = 2;       // COMPRESSION_FORMAT_LZNT1
constexpr USHORT kFormatXpressHuff = 4;  // COMPRESSION_FORMAT_XPRESS_HUFF

typedef LONG(NTAPI* DecompressFn)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);
typedef LONG(NTAPI* DecompressExFn)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG, PVOID);
typedef LONG(NTAPI* WorkSpaceFn)(USHORT, PULONG, PULONG);

FARPROC NtdllProc(const char* pszName) {
    HMODULE h = GetModuleHandleA("ntdll.dll");
    return h == nullptr ? nullptr : GetProcAddress(h, pszName);
}

}  // namespace

struct VxCodecs {
    void* pWorkSpace;  // XPRESS Huffman's, sized by the system
};

VxCodecs* vx_plat_codecs_new() {
    return static_cast<VxCodecs*>(calloc(1, sizeof(VxCodecs)));
}

void vx_plat_codecs_free(VxCodecs* pCodecs) {
    if (pCodecs == nullptr) return;
    free(pCodecs->pWorkSpace);
    free(pCodecs);
}

const char* vx_plat_codec_library(int codec) {
    return codec == VX_CODEC_LZX ? "LZX decoder (the system's RtlDecompressBufferEx has none)"
                                 : "RtlDecompressBufferEx in this system's ntdll";
}

int vx_plat_decompress(VxCodecs* pCodecs, int codec, const uint8_t* pIn, size_t cbIn,
                       uint8_t* pOut, size_t cbOut, size_t* pcbGot) {
    *pcbGot = 0;
    if (pCodecs == nullptr || cbIn > 0xFFFFFFFFu || cbOut > 0xFFFFFFFFu) return VX_DECODE_MISSING;
    ULONG ulGot = 0;
    LONG status = 0;
    if (codec == VX_CODEC_LZNT1) {
        auto pfn = reinterpret_cast<DecompressFn>(
            reinterpret_cast<void*>(NtdllProc("RtlDecompressBuffer")));
        if (pfn == nullptr) return VX_DECODE_MISSING;
        status = pfn(kFormatLznt1, pOut, static_cast<ULONG>(cbOut), const_cast<PUCHAR>(pIn),
                     static_cast<ULONG>(cbIn), &ulGot);
    } else if (codec == VX_CODEC_XPRESS) {
        auto pfnEx = reinterpret_cast<DecompressExFn>(
            reinterpret_cast<void*>(NtdllProc("RtlDecompressBufferEx")));
        auto pfnSpace = reinterpret_cast<WorkSpaceFn>(
            reinterpret_cast<void*>(NtdllProc("RtlGetCompressionWorkSpaceSize")));
        if (pfnEx == nullptr || pfnSpace == nullptr) return VX_DECODE_MISSING;
        if (pCodecs->pWorkSpace == nullptr) {
            ULONG ulBuffer = 0, ulFragment = 0;
            if (pfnSpace(kFormatXpressHuff, &ulBuffer, &ulFragment) < 0) return VX_DECODE_MISSING;
            pCodecs->pWorkSpace = calloc(1, ulFragment > 0 ? ulFragment : 1);
            if (pCodecs->pWorkSpace == nullptr) return VX_DECODE_MISSING;
        }
        status = pfnEx(kFormatXpressHuff, pOut, static_cast<ULONG>(cbOut),
                       const_cast<PUCHAR>(pIn), static_cast<ULONG>(cbIn), &ulGot,
                       pCodecs->pWorkSpace);
    } else {
        return VX_DECODE_MISSING;
    }
    // STATUS_UNSUPPORTED_COMPRESSION and STATUS_NOT_IMPLEMENTED: the system lacks the format.
    if (static_cast<ULONG>(status) == 0xC000025Fu || static_cast<ULONG>(status) == 0xC0000002u)
        return VX_DECODE_MISSING;
    if (status < 0 || ulGot > cbOut) return VX_DECODE_BAD;
    if (codec == VX_CODEC_XPRESS && ulGot != cbOut) return VX_DECODE_BAD;
    *pcbGot = ulGot;
    return VX_DECODE_OK;
}
