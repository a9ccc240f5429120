// A device over a block of memory: the volume source of unit tests and of
// the fuzzers, with an optional failing region to play a damaged disk.
#include <cstring>
#include <new>

#include "platform/common/device_impl.h"
#include "platform/platform.h"

VxDevice* vx_plat_open_memory(const uint8_t* pData, uint64_t ullSize, uint64_t ullFailAt) {
    VxDevice* pDev = new (std::nothrow) VxDevice{};
    if (pDev == nullptr) {
        vx_plat_set_last_error(vx_plat_error_no_memory());
        return nullptr;
    }
    pDev->kind = VX_DEVICE_MEMORY;
    pDev->pMemory = pData;
    pDev->ullMemorySize = ullSize;
    pDev->ullFailAt = ullFailAt;
    return pDev;
}

int vx_mem_seek(VxDevice* pDev, uint64_t ullOffset) {
    pDev->ullPosition = ullOffset;
    pDev->ullRequestBits |= pDev->ullBase + ullOffset;
    return 1;
}

int vx_mem_read(VxDevice* pDev, void* pBuffer, uint32_t dwLength, uint32_t* pdwRead) {
    *pdwRead = 0;
    pDev->ullReads++;
    pDev->ullRequestBits |= dwLength;
    uint64_t ullPos = pDev->ullPosition;
    // An image's size counts from the start of its disk, as its reads do.
    const uint64_t ullEnd = pDev->kind == VX_DEVICE_IMAGE
                                ? (pDev->ullMemorySize > pDev->ullBase
                                       ? pDev->ullMemorySize - pDev->ullBase
                                       : 0)
                                : pDev->ullMemorySize;
    uint64_t ullAvail = ullPos < ullEnd ? ullEnd - ullPos : 0;
    uint64_t ullTake = dwLength < ullAvail ? dwLength : ullAvail;
    if (pDev->kind == VX_DEVICE_IMAGE) {
        uint32_t dwGot = 0;
        if (ullTake > 0 &&
            !pDev->image.pfnRead(pDev->image.pContext, pDev->ullBase + ullPos, pBuffer,
                                 static_cast<uint32_t>(ullTake), &dwGot))
            return 0;
        pDev->ullPosition += dwGot;
        pDev->ullBytes += dwGot;
        *pdwRead = dwGot;
        return 1;
    }
    if (ullTake > 0 && ullPos + ullTake > pDev->ullFailAt) {
        vx_plat_set_last_error(vx_plat_error_io());
        return 0;
    }
    if (ullTake > 0) memcpy(pBuffer, pDev->pMemory + ullPos, static_cast<size_t>(ullTake));
    pDev->ullPosition += ullTake;
    pDev->ullBytes += ullTake;
    *pdwRead = static_cast<uint32_t>(ullTake);
    return 1;
}

int vx_mem_read_at(VxDevice* pDev, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                   uint32_t* pdwRead) {
    // An image's reads go through its library, by one thread at a time.
    if (pDev->kind == VX_DEVICE_IMAGE) {
        if (!vx_mem_seek(pDev, ullOffset)) return 0;
        return vx_mem_read(pDev, pBuffer, dwLength, pdwRead);
    }
    *pdwRead = 0;
    pDev->ullReads++;
    pDev->ullRequestBits |= (pDev->ullBase + ullOffset) | dwLength;
    uint64_t ullAvail = ullOffset < pDev->ullMemorySize ? pDev->ullMemorySize - ullOffset : 0;
    uint64_t ullTake = dwLength < ullAvail ? dwLength : ullAvail;
    if (ullTake > 0 && ullOffset + ullTake > pDev->ullFailAt) {
        vx_plat_set_last_error(vx_plat_error_io());
        return 0;
    }
    if (ullTake > 0) memcpy(pBuffer, pDev->pMemory + ullOffset, static_cast<size_t>(ullTake));
    pDev->ullBytes += ullTake;
    *pdwRead = static_cast<uint32_t>(ullTake);
    return 1;
}

void vx_plat_device_stats(const VxDevice* pDev, VxDeviceStats* pStats) {
    pStats->ullReads = pDev->ullReads;
    pStats->ullRequestBits = pDev->ullRequestBits;
    pStats->ullBytes = pDev->ullBytes;
}
