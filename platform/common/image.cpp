// Evidence containers: the formats recognised by their content, split raw
// images read segment after segment, and EWF, VMDK, VHD/VHDX and QCOW2
// read through the libyal libraries where the build has them.  Every
// container is an image device: reads at offsets of the disk it holds.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/common/device_impl.h"
#include "platform/platform.h"

#if VOLSCAN_HAVE_EWF
#include <libewf.h>
#endif
#if VOLSCAN_HAVE_VMDK
#include <libvmdk.h>
#endif
#if VOLSCAN_HAVE_VHDI
#include <libvhdi.h>
#endif
#if VOLSCAN_HAVE_QCOW
#include <libqcow.h>
#endif

namespace {

char g_szImageError[512];

}  // namespace

void vx_image_set_error(const char* pszText) {
    size_t n = strlen(pszText);
    if (n >= sizeof g_szImageError) n = sizeof g_szImageError - 1;
    memcpy(g_szImageError, pszText, n);
    g_szImageError[n] = 0;
}

namespace {

constexpr uint32_t kProbeBytes = 512;
// Split images: `disk.001` to `disk.999...` or `disk.aa` to `disk.zz`; no
// more segments than that are looked for.
constexpr uint32_t kMaxSegments = 100000;
constexpr size_t kMaxPath = 4096;

bool StartsWith(const uint8_t* p, uint32_t dwGot, const char* pszSig, size_t cb) {
    return dwGot >= cb && memcmp(p, pszSig, cb) == 0;
}

// The container format the first and the last sector of a file say.
int FormatOf(const uint8_t* pHead, uint32_t dwHead, const uint8_t* pTail, uint32_t dwTail) {
    if (StartsWith(pHead, dwHead, "EVF\x09\x0d\x0a\xff\x00", 8) ||
        StartsWith(pHead, dwHead, "EVF2\x0d\x0a\x81\x00", 8))
        return VX_IMAGE_EWF;
    if (StartsWith(pHead, dwHead, "KDMV", 4) || StartsWith(pHead, dwHead, "COWD", 4) ||
        StartsWith(pHead, dwHead, "# Disk DescriptorFile", 21))
        return VX_IMAGE_VMDK;
    if (StartsWith(pHead, dwHead, "vhdxfile", 8)) return VX_IMAGE_VHDX;
    if (StartsWith(pHead, dwHead, "QFI\xfb", 4)) return VX_IMAGE_QCOW;
    if (StartsWith(pHead, dwHead, "conectix", 8) || StartsWith(pTail, dwTail, "conectix", 8))
        return VX_IMAGE_VHD;
    return VX_IMAGE_RAW;
}

// Reads up to `cb` bytes at `ullOffset` of a raw device.
uint32_t ReadAt(VxDevice* pDev, uint64_t ullOffset, uint8_t* p, uint32_t cb) {
    uint32_t dwGot = 0;
    if (!vx_plat_seek(pDev, ullOffset) || !vx_plat_read(pDev, p, cb, &dwGot)) return 0;
    return dwGot;
}

// ------------------------------------------------------------ split raw

struct Segment {
    uint64_t ullStart;
    uint64_t ullSize;
};

struct SplitImage {
    char* pszNames;  // cbName bytes a segment: every name is as long as the first
    size_t cbName;
    Segment* pSegments;
    uint32_t dwCount;
    uint32_t dwOpen;      // the segment pOpen reads, when not none
    VxDevice* pOpen;
};

// The name of the segment after `pszName` (same length), or 0 when it has
// none: the last character counts up in digits or lowercase letters.
int NextSegmentName(const char* pszName, char* pszNext) {
    size_t n = strlen(pszName);
    memcpy(pszNext, pszName, n + 1);
    const char* pDot = strrchr(pszNext, '.');
    if (pDot == nullptr) return 0;
    size_t first = static_cast<size_t>(pDot - pszNext) + 1;
    if (first >= n) return 0;
    const bool bDigits = pszNext[first] >= '0' && pszNext[first] <= '9';
    for (size_t k = n; k-- > first;) {
        char& c = pszNext[k];
        if (bDigits ? c == '9' : c == 'z') {
            c = bDigits ? '0' : 'a';
            continue;
        }
        c++;
        return 1;
    }
    return 0;
}

// A first segment: `.000` or `.001` (any count of digits, at least 3) or `.aa`.
bool IsFirstSegmentName(const char* path) {
    const char* pDot = strrchr(path, '.');
    if (pDot == nullptr || strchr(pDot, '/') != nullptr || strchr(pDot, '\\') != nullptr)
        return false;
    const char* p = pDot + 1;
    size_t n = strlen(p);
    if (n == 2 && p[0] == 'a' && p[1] == 'a') return true;
    if (n < 3) return false;
    for (size_t k = 0; k < n; k++)
        if (p[k] != '0' && !(k == n - 1 && p[k] == '1')) return false;
    return true;
}

void CloseSplit(void* pContext) {
    auto* pSplit = static_cast<SplitImage*>(pContext);
    if (pSplit->pOpen != nullptr) vx_plat_close(pSplit->pOpen);
    delete[] pSplit->pszNames;
    delete[] pSplit->pSegments;
    delete pSplit;
}

int ReadSplit(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
              uint32_t* pdwRead) {
    auto* pSplit = static_cast<SplitImage*>(pContext);
    auto* pDest = static_cast<uint8_t*>(pBuffer);
    *pdwRead = 0;
    // The segment holding the offset, by bisection over their starts.
    uint32_t lo = 0, hi = pSplit->dwCount;
    while (hi - lo > 1) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (pSplit->pSegments[mid].ullStart <= ullOffset) lo = mid;
        else hi = mid;
    }
    for (uint32_t k = lo; k < pSplit->dwCount && *pdwRead < dwLength; k++) {
        const Segment& seg = pSplit->pSegments[k];
        const uint64_t ullAt = ullOffset + *pdwRead;
        if (ullAt < seg.ullStart || ullAt - seg.ullStart >= seg.ullSize) continue;
        if (pSplit->pOpen == nullptr || pSplit->dwOpen != k) {
            if (pSplit->pOpen != nullptr) vx_plat_close(pSplit->pOpen);
            pSplit->pOpen = vx_plat_open_device(pSplit->pszNames + k * pSplit->cbName, 0);
            pSplit->dwOpen = k;
            if (pSplit->pOpen == nullptr) return 0;
        }
        const uint64_t ullIn = ullAt - seg.ullStart;
        const uint64_t ullLeft = seg.ullSize - ullIn;
        uint32_t dwAsk = dwLength - *pdwRead;
        if (dwAsk > ullLeft) dwAsk = static_cast<uint32_t>(ullLeft);
        uint32_t dwGot = 0;
        if (!vx_plat_seek(pSplit->pOpen, ullIn) ||
            !vx_plat_read(pSplit->pOpen, pDest + *pdwRead, dwAsk, &dwGot))
            return 0;
        *pdwRead += dwGot;
        if (dwGot < dwAsk) break;  // the segment is shorter than when it was opened
    }
    return 1;
}

// Every segment from `path` on, in order.  0 when a later segment is
// missing or shorter than the first (the message says which), or when the
// file is a single segment (*pbSingle set).
int OpenSplit(const char* path, uint64_t ullFirstSize, SplitImage** ppSplit, int* pbSingle) {
    *ppSplit = nullptr;
    *pbSingle = 0;
    if (strlen(path) >= kMaxPath) return *pbSingle = 1, 0;
    char szNext[kMaxPath];
    if (!NextSegmentName(path, szNext)) return *pbSingle = 1, 0;
    VxDevice* pProbe = vx_plat_open_device(szNext, 0);
    if (pProbe == nullptr) {
        // A single file, unless the segment after the next one is there.
        char szAfter[kMaxPath];
        VxDevice* pAfter =
            NextSegmentName(szNext, szAfter) ? vx_plat_open_device(szAfter, 0) : nullptr;
        if (pAfter == nullptr) return *pbSingle = 1, 0;
        vx_plat_close(pAfter);
        char szMessage[2 * kMaxPath + 100];
        snprintf(szMessage, sizeof szMessage, "segment %s is missing (%s exists)", szNext,
                 szAfter);
        vx_image_set_error(szMessage);
        vx_plat_set_last_error(ENOENT);
        return 0;
    }
    vx_plat_close(pProbe);

    auto* pSplit = new (std::nothrow) SplitImage{};
    uint32_t dwRoom = 16;
    const size_t cbName = strlen(path) + 1;
    char* pszNames = new (std::nothrow) char[dwRoom * cbName];
    Segment* pSegs = new (std::nothrow) Segment[dwRoom];
    if (pSplit == nullptr || pszNames == nullptr || pSegs == nullptr) {
        delete pSplit;
        delete[] pszNames;
        delete[] pSegs;
        vx_plat_set_last_error(vx_plat_error_no_memory());
        vx_image_set_error("not enough memory for the segments");
        return 0;
    }
    pSplit->pszNames = pszNames;
    pSplit->cbName = cbName;
    pSplit->pSegments = pSegs;
    memcpy(pSplit->pszNames, path, cbName);
    pSplit->pSegments[0] = Segment{0, ullFirstSize};
    pSplit->dwCount = 1;
    char szMessage[2 * kMaxPath + 100];
    for (;;) {
        const char* pszLast = pSplit->pszNames + (pSplit->dwCount - 1) * cbName;
        if (!NextSegmentName(pszLast, szNext)) break;
        VxDevice* pDev = vx_plat_open_device(szNext, 0);
        if (pDev == nullptr) {
            // The end, unless the segment after it exists.
            char szAfter[kMaxPath];
            VxDevice* pAfter = NextSegmentName(szNext, szAfter)
                                   ? vx_plat_open_device(szAfter, 0)
                                   : nullptr;
            if (pAfter == nullptr) break;
            vx_plat_close(pAfter);
            snprintf(szMessage, sizeof szMessage, "segment %s is missing (%s exists)", szNext,
                     szAfter);
            vx_image_set_error(szMessage);
            CloseSplit(pSplit);
            vx_plat_set_last_error(ENOENT);
            return 0;
        }
        uint64_t ullSize = 0;
        const int bSized = vx_plat_device_size(pDev, &ullSize);
        vx_plat_close(pDev);
        const Segment& prev = pSplit->pSegments[pSplit->dwCount - 1];
        if (!bSized || prev.ullSize != ullFirstSize || pSplit->dwCount >= kMaxSegments) {
            // Only the last segment may be shorter than the first.
            snprintf(szMessage, sizeof szMessage,
                     "segment %s is shorter than %s (" "%llu" " bytes)", pszLast, path,
                     static_cast<unsigned long long>(ullFirstSize));
            vx_image_set_error(szMessage);
            CloseSplit(pSplit);
            vx_plat_set_last_error(vx_plat_error_io());
            return 0;
        }
        if (pSplit->dwCount == dwRoom) {
            uint32_t dwGrown = dwRoom * 2;
            char* pszMore = new (std::nothrow) char[dwGrown * cbName];
            Segment* pMore = new (std::nothrow) Segment[dwGrown];
            if (pszMore == nullptr || pMore == nullptr) {
                delete[] pszMore;
                delete[] pMore;
                vx_image_set_error("not enough memory for the segments");
                CloseSplit(pSplit);
                vx_plat_set_last_error(vx_plat_error_no_memory());
                return 0;
            }
            memcpy(pszMore, pSplit->pszNames, dwRoom * cbName);
            memcpy(pMore, pSplit->pSegments, dwRoom * sizeof(Segment));
            delete[] pSplit->pszNames;
            delete[] pSplit->pSegments;
            pSplit->pszNames = pszMore;
            pSplit->pSegments = pMore;
            dwRoom = dwGrown;
        }
        memcpy(pSplit->pszNames + pSplit->dwCount * cbName, szNext, cbName);
        pSplit->pSegments[pSplit->dwCount] = Segment{prev.ullStart + prev.ullSize, ullSize};
        pSplit->dwCount++;
    }
    *ppSplit = pSplit;
    return 1;
}

// ------------------------------------------------------ libyal containers

#define VX_LIBYAL_READER(NAME, LIB, TYPE, READ, CLOSE, FREE)                                 \
    int Read##NAME(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,      \
                   uint32_t* pdwRead) {                                                       \
        LIB##_error_t* pError = nullptr;                                                      \
        ssize_t got = READ(static_cast<TYPE*>(pContext), pBuffer, dwLength,                   \
                           static_cast<off64_t>(ullOffset), &pError);                         \
        if (got < 0) {                                                                        \
            char szText[400];                                                                 \
            if (LIB##_error_sprint(pError, szText, sizeof szText) < 0) szText[0] = 0;         \
            LIB##_error_free(&pError);                                                        \
            vx_image_set_error(szText);                                                            \
            *pdwRead = 0;                                                                     \
            vx_plat_set_last_error(vx_plat_error_io());                                       \
            return 0;                                                                         \
        }                                                                                     \
        *pdwRead = static_cast<uint32_t>(got);                                                \
        return 1;                                                                             \
    }                                                                                         \
    void Close##NAME(void* pContext) {                                                        \
        TYPE* pHandle = static_cast<TYPE*>(pContext);                                         \
        CLOSE(pHandle, nullptr);                                                              \
        FREE(&pHandle, nullptr);                                                              \
    }

// The library's message for a failed call, kept as the image error.
#define VX_LIBYAL_FAIL(LIB, pError)                                                           \
    do {                                                                                      \
        char szText[400];                                                                     \
        if (LIB##_error_sprint(pError, szText, sizeof szText) < 0) szText[0] = 0;             \
        LIB##_error_free(&pError);                                                            \
        vx_image_set_error(szText);                                                                \
    } while (0)

#if VOLSCAN_HAVE_EWF
VX_LIBYAL_READER(Ewf, libewf, libewf_handle_t, libewf_handle_read_random, libewf_handle_close,
                 libewf_handle_free)

int OpenEwf(const char* path, VxImageBackend* pBackend, uint64_t* pullSize,
            uint32_t* pdwSector, uint32_t* pdwSegments) {
    libewf_error_t* pError = nullptr;
    char** ppNames = nullptr;
    int nNames = 0;
    // Every segment of the set, found from the one named (E01, E02, ... EAA ...).
    if (libewf_glob(path, strlen(path), LIBEWF_FORMAT_UNKNOWN, &ppNames, &nNames, &pError) != 1) {
        VX_LIBYAL_FAIL(libewf, pError);
        return 0;
    }
    libewf_handle_t* pHandle = nullptr;
    int ok = libewf_handle_initialize(&pHandle, &pError) == 1 &&
             libewf_handle_open(pHandle, ppNames, nNames, LIBEWF_OPEN_READ, &pError) == 1;
    size64_t size = 0;
    uint32_t dwSector = 0;
    ok = ok && libewf_handle_get_media_size(pHandle, &size, &pError) == 1 &&
         libewf_handle_get_bytes_per_sector(pHandle, &dwSector, &pError) == 1;
    libewf_glob_free(ppNames, nNames, nullptr);
    // A truncated or damaged segment would read as zeros: refused instead.
    const int bCorrupted = ok && libewf_handle_segment_files_corrupted(pHandle, &pError) != 0;
    if (!ok || bCorrupted) {
        if (bCorrupted && pError != nullptr) libewf_error_free(&pError);
        if (bCorrupted)
            vx_image_set_error("its segment files are truncated or damaged (ewfverify tells where)");
        else
            VX_LIBYAL_FAIL(libewf, pError);
        if (pHandle != nullptr) {
            libewf_handle_close(pHandle, nullptr);
            libewf_handle_free(&pHandle, nullptr);
        }
        return 0;
    }
    *pBackend = VxImageBackend{pHandle, ReadEwf, CloseEwf};
    *pullSize = size;
    *pdwSector = dwSector != 0 ? dwSector : 512;
    *pdwSegments = static_cast<uint32_t>(nNames);
    return 1;
}
#endif

#if VOLSCAN_HAVE_VMDK
VX_LIBYAL_READER(Vmdk, libvmdk, libvmdk_handle_t, libvmdk_handle_read_buffer_at_offset,
                 libvmdk_handle_close, libvmdk_handle_free)

int OpenVmdk(const char* path, VxImageBackend* pBackend, uint64_t* pullSize) {
    libvmdk_error_t* pError = nullptr;
    libvmdk_handle_t* pHandle = nullptr;
    // The extent files named by the descriptor lie beside it.
    char szDir[kMaxPath];
    snprintf(szDir, sizeof szDir, "%s", path);
    char* pSlash = strrchr(szDir, '/');
    if (pSlash == nullptr) pSlash = strrchr(szDir, '\\');
    if (pSlash != nullptr) *pSlash = 0;
    else snprintf(szDir, sizeof szDir, ".");
    size64_t size = 0;
    int ok = libvmdk_handle_initialize(&pHandle, &pError) == 1 &&
             libvmdk_handle_open(pHandle, path, LIBVMDK_OPEN_READ, &pError) == 1 &&
             libvmdk_handle_set_extent_data_files_path(pHandle, szDir, strlen(szDir), &pError) ==
                 1 &&
             libvmdk_handle_open_extent_data_files(pHandle, &pError) == 1 &&
             libvmdk_handle_get_media_size(pHandle, &size, &pError) == 1;
    if (!ok) {
        VX_LIBYAL_FAIL(libvmdk, pError);
        if (pHandle != nullptr) {
            libvmdk_handle_close(pHandle, nullptr);
            libvmdk_handle_free(&pHandle, nullptr);
        }
        return 0;
    }
    *pBackend = VxImageBackend{pHandle, ReadVmdk, CloseVmdk};
    *pullSize = size;
    return 1;
}
#endif

#if VOLSCAN_HAVE_VHDI
VX_LIBYAL_READER(Vhdi, libvhdi, libvhdi_file_t, libvhdi_file_read_buffer_at_offset,
                 libvhdi_file_close, libvhdi_file_free)

int OpenVhdi(const char* path, VxImageBackend* pBackend, uint64_t* pullSize,
             uint32_t* pdwSector) {
    libvhdi_error_t* pError = nullptr;
    libvhdi_file_t* pFile = nullptr;
    size64_t size = 0;
    uint32_t dwSector = 0;
    int ok = libvhdi_file_initialize(&pFile, &pError) == 1 &&
             libvhdi_file_open(pFile, path, LIBVHDI_OPEN_READ, &pError) == 1 &&
             libvhdi_file_get_media_size(pFile, &size, &pError) == 1 &&
             libvhdi_file_get_bytes_per_sector(pFile, &dwSector, &pError) == 1;
    if (!ok) {
        VX_LIBYAL_FAIL(libvhdi, pError);
        if (pFile != nullptr) {
            libvhdi_file_close(pFile, nullptr);
            libvhdi_file_free(&pFile, nullptr);
        }
        return 0;
    }
    *pBackend = VxImageBackend{pFile, ReadVhdi, CloseVhdi};
    *pullSize = size;
    *pdwSector = dwSector != 0 ? dwSector : 512;
    return 1;
}
#endif

#if VOLSCAN_HAVE_QCOW
VX_LIBYAL_READER(Qcow, libqcow, libqcow_file_t, libqcow_file_read_buffer_at_offset,
                 libqcow_file_close, libqcow_file_free)

int OpenQcow(const char* path, VxImageBackend* pBackend, uint64_t* pullSize) {
    libqcow_error_t* pError = nullptr;
    libqcow_file_t* pFile = nullptr;
    size64_t size = 0;
    int ok = libqcow_file_initialize(&pFile, &pError) == 1 &&
             libqcow_file_open(pFile, path, LIBQCOW_OPEN_READ, &pError) == 1 &&
             libqcow_file_get_media_size(pFile, &size, &pError) == 1;
    if (!ok) {
        VX_LIBYAL_FAIL(libqcow, pError);
        if (pFile != nullptr) {
            libqcow_file_close(pFile, nullptr);
            libqcow_file_free(&pFile, nullptr);
        }
        return 0;
    }
    *pBackend = VxImageBackend{pFile, ReadQcow, CloseQcow};
    *pullSize = size;
    return 1;
}
#endif

bool Supported(int format) {
    switch (format) {
        case VX_IMAGE_RAW:
        case VX_IMAGE_SPLIT: return true;
        case VX_IMAGE_EWF: return VOLSCAN_HAVE_EWF != 0;
        case VX_IMAGE_VMDK: return VOLSCAN_HAVE_VMDK != 0;
        case VX_IMAGE_VHD:
        case VX_IMAGE_VHDX: return VOLSCAN_HAVE_VHDI != 0;
        case VX_IMAGE_QCOW: return VOLSCAN_HAVE_QCOW != 0;
        default: return false;
    }
}

}  // namespace

// An image device over an open container.
VxDevice* vx_image_device(const VxImageBackend& backend, uint64_t ullSize, uint64_t ullBase) {
    VxDevice* pDev = new (std::nothrow) VxDevice{};
    if (pDev == nullptr) {
        backend.pfnClose(backend.pContext);
        vx_plat_set_last_error(vx_plat_error_no_memory());
        vx_image_set_error("not enough memory");
        return nullptr;
    }
    pDev->kind = VX_DEVICE_IMAGE;
    pDev->image = backend;
    pDev->ullMemorySize = ullSize;
    pDev->ullBase = ullBase;
    return pDev;
}

void vx_image_release(VxDevice* pDev) {
    if (pDev->image.pfnClose != nullptr) pDev->image.pfnClose(pDev->image.pContext);
    pDev->image = VxImageBackend{};
}

const char* vx_plat_image_error() { return g_szImageError; }

const char* vx_plat_image_format_name(int format) {
    switch (format) {
        case VX_IMAGE_SPLIT: return "split raw";
        case VX_IMAGE_EWF: return "EWF";
        case VX_IMAGE_VMDK: return "VMDK";
        case VX_IMAGE_VHD: return "VHD";
        case VX_IMAGE_VHDX: return "VHDX";
        case VX_IMAGE_QCOW: return "QCOW2";
        default: return "raw";
    }
}

void vx_plat_set_base(VxDevice* pDev, uint64_t ullBaseOffset) { pDev->ullBase = ullBaseOffset; }

VxDevice* vx_plat_open_image(const char* path, uint64_t ullBaseOffset, VxImageInfo* pInfo) {
    *pInfo = VxImageInfo{};
    pInfo->dwSectorSize = 512;
    pInfo->dwSegments = 1;
    pInfo->bSupported = 1;
    g_szImageError[0] = 0;
    VxDevice* pRaw = vx_plat_open_device(path, 0);
    if (pRaw == nullptr) return nullptr;
    // A source that cannot tell its size (a pipe) is read as it comes.
    uint64_t ullSize = 0;
    if (!vx_plat_device_size(pRaw, &ullSize) || ullSize == 0) {
        vx_plat_set_base(pRaw, ullBaseOffset);
        return pRaw;
    }
    pInfo->bSizeKnown = 1;
    pInfo->ullSize = ullSize;
    uint8_t head[kProbeBytes] = {};
    uint8_t tail[kProbeBytes] = {};
    const uint32_t dwHead = ReadAt(pRaw, 0, head, kProbeBytes);
    const uint32_t dwTail =
        ullSize >= 2 * kProbeBytes ? ReadAt(pRaw, ullSize - kProbeBytes, tail, kProbeBytes) : 0;
    const int format = FormatOf(head, dwHead, tail, dwTail);
    // The probe leaves no trace in the device's counters.
    pRaw->ullReads = pRaw->ullBytes = pRaw->ullRequestBits = 0;
    pInfo->format = format;
    if (format == VX_IMAGE_RAW) {
        SplitImage* pSplit = nullptr;
        int bSingle = 0;
        if (!IsFirstSegmentName(path) || !OpenSplit(path, ullSize, &pSplit, &bSingle)) {
            if (bSingle || !IsFirstSegmentName(path)) {
                vx_plat_set_base(pRaw, ullBaseOffset);
                return pRaw;
            }
            pInfo->format = VX_IMAGE_SPLIT;
            vx_plat_close(pRaw);
            return nullptr;
        }
        vx_plat_close(pRaw);
        pInfo->format = VX_IMAGE_SPLIT;
        pInfo->dwSegments = pSplit->dwCount;
        const Segment& last = pSplit->pSegments[pSplit->dwCount - 1];
        pInfo->ullSize = last.ullStart + last.ullSize;
        return vx_image_device(VxImageBackend{pSplit, ReadSplit, CloseSplit}, pInfo->ullSize,
                           ullBaseOffset);
    }
    vx_plat_close(pRaw);
    if (!Supported(format)) {
        pInfo->bSupported = 0;
        vx_plat_set_last_error(EINVAL);
        return nullptr;
    }
    VxImageBackend backend{};
    int ok = 0;
    uint64_t ullDisk = 0;
    switch (format) {
#if VOLSCAN_HAVE_EWF
        case VX_IMAGE_EWF:
            ok = OpenEwf(path, &backend, &ullDisk, &pInfo->dwSectorSize, &pInfo->dwSegments);
            break;
#endif
#if VOLSCAN_HAVE_VMDK
        case VX_IMAGE_VMDK: ok = OpenVmdk(path, &backend, &ullDisk); break;
#endif
#if VOLSCAN_HAVE_VHDI
        case VX_IMAGE_VHD:
        case VX_IMAGE_VHDX: ok = OpenVhdi(path, &backend, &ullDisk, &pInfo->dwSectorSize); break;
#endif
#if VOLSCAN_HAVE_QCOW
        case VX_IMAGE_QCOW: ok = OpenQcow(path, &backend, &ullDisk); break;
#endif
        default: break;
    }
    if (!ok) {
        vx_plat_set_last_error(vx_plat_error_io());
        return nullptr;
    }
    pInfo->ullSize = ullDisk;
    return vx_image_device(backend, ullDisk, ullBaseOffset);
}

namespace {

void CloseNothing(void*) {}

}  // namespace

VxDevice* vx_plat_open_reader(void* pContext,
                              int (*pfnRead)(void* pContext, uint64_t ullOffset, void* pBuffer,
                                             uint32_t dwLength, uint32_t* pdwRead),
                              uint64_t ullSize) {
    return vx_image_device(VxImageBackend{pContext, pfnRead, CloseNothing}, ullSize, 0);
}
