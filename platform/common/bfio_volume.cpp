// The reads of a volume under libvshadow and libbde.
#include "platform/common/bfio_volume.h"

#include <cstdio>
#include <cstring>

ssize_t ReadVolumeAt(VolumeIo* pIo, uint64_t ullOffset, uint8_t* p, size_t cb) {
    if (ullOffset >= pIo->ullSize) return 0;
    if (cb > pIo->ullSize - ullOffset) cb = static_cast<size_t>(pIo->ullSize - ullOffset);
    if (!vx_plat_seek(pIo->pDev, ullOffset)) return -1;
    size_t done = 0;
    while (done < cb) {
        const size_t want = cb - done > 0x40000000u ? 0x40000000u : cb - done;
        uint32_t dwGot = 0;
        if (!vx_plat_read(pIo->pDev, p + done, static_cast<uint32_t>(want), &dwGot)) return -1;
        if (dwGot == 0) break;
        done += dwGot;
    }
    for (uint32_t k = 0; k < pIo->dwZeros; k++) {
        const VxByteRange& z = pIo->pZeros[k];
        const uint64_t ullEnd = ullOffset + done;
        const uint64_t ullFrom = z.ullOffset > ullOffset ? z.ullOffset : ullOffset;
        const uint64_t ullZeroEnd =
            z.ullLength > UINT64_MAX - z.ullOffset ? UINT64_MAX : z.ullOffset + z.ullLength;
        const uint64_t ullTo = ullZeroEnd < ullEnd ? ullZeroEnd : ullEnd;
        if (ullFrom < ullTo) memset(p + (ullFrom - ullOffset), 0, ullTo - ullFrom);
    }
    return static_cast<ssize_t>(done);
}

namespace {

int IoOpen(intptr_t*, int, libbfio_error_t**) { return 1; }
int IoClose(intptr_t*, libbfio_error_t**) { return 0; }
int IoTrue(intptr_t*, libbfio_error_t**) { return 1; }

ssize_t IoRead(intptr_t* pHandle, uint8_t* pBuffer, size_t cb, libbfio_error_t**) {
    auto* pIo = reinterpret_cast<VolumeIo*>(pHandle);
    const ssize_t got = ReadVolumeAt(pIo, pIo->ullPosition, pBuffer, cb);
    if (got > 0) pIo->ullPosition += static_cast<uint64_t>(got);
    return got;
}

ssize_t IoWrite(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }

off64_t IoSeek(intptr_t* pHandle, off64_t llOffset, int whence, libbfio_error_t**) {
    auto* pIo = reinterpret_cast<VolumeIo*>(pHandle);
    int64_t llBase = 0;
    if (whence == SEEK_CUR) llBase = static_cast<int64_t>(pIo->ullPosition);
    else if (whence == SEEK_END) llBase = static_cast<int64_t>(pIo->ullSize);
    else if (whence != SEEK_SET) return -1;
    if (llOffset < -llBase) return -1;
    pIo->ullPosition = static_cast<uint64_t>(llBase + llOffset);
    return static_cast<off64_t>(pIo->ullPosition);
}

int IoSize(intptr_t* pHandle, size64_t* pSize, libbfio_error_t**) {
    *pSize = reinterpret_cast<VolumeIo*>(pHandle)->ullSize;
    return 1;
}

}  // namespace

int OpenVolumeIo(VolumeIo* pIo, libbfio_handle_t** ppHandle) {
    libbfio_error_t* pError = nullptr;
    if (libbfio_handle_initialize(ppHandle, reinterpret_cast<intptr_t*>(pIo), nullptr, nullptr,
                                  IoOpen, IoClose, IoRead, IoWrite, IoSeek, IoTrue, IoTrue, IoSize,
                                  LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED, &pError) == 1)
        return 1;
    libbfio_error_free(&pError);
    return 0;
}
