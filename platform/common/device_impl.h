// The device record shared by the memory device and the system devices.
// Private to platform/.
#pragma once

#include <atomic>
#include <cstdint>

enum VxDeviceKind { VX_DEVICE_SYSTEM = 1, VX_DEVICE_MEMORY = 2, VX_DEVICE_IMAGE = 3 };

// An evidence container (split raw, EWF, VMDK, VHD/VHDX, QCOW2) read at
// offsets of the disk it holds; platform/common/image.cpp makes them.
struct VxImageBackend {
    void* pContext;
    // Up to `dwLength` bytes at `ullOffset` of the disk: 1 with *pdwRead set
    // (short only at its end), 0 on a failure (last error set).
    int (*pfnRead)(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                   uint32_t* pdwRead);
    void (*pfnClose)(void* pContext);
};

struct VxDevice {
    int kind;
    intptr_t hSystem;         // file descriptor or HANDLE of a system device
    const uint8_t* pMemory;   // memory device
    uint64_t ullMemorySize;   // memory device, or the disk an image holds
    VxImageBackend image;     // image device
    uint64_t ullFailAt;
    uint64_t ullBase;         // volume offset inside the source
    uint64_t ullPosition;     // memory device position (from the base); on POSIX,
                              // the source offset of the next positioned read
    int bPositioned;          // POSIX: reads are pread at ullPosition
    uint64_t ullSystemSize;   // POSIX: the source's size when it was opened
    // Counted by the reader of the records and by the hashing threads at once.
    std::atomic<uint64_t> ullReads;
    std::atomic<uint64_t> ullBytes;
    std::atomic<uint64_t> ullRequestBits;  // seek positions and read lengths, or-ed
};

// Memory and image device operations, called by each platform's public
// functions for every device that is not a system one.
int vx_mem_seek(VxDevice* pDev, uint64_t ullOffset);
int vx_mem_read(VxDevice* pDev, void* pBuffer, uint32_t dwLength, uint32_t* pdwRead);
int vx_mem_read_at(VxDevice* pDev, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                   uint32_t* pdwRead);
// Releases what an image device holds (not the record itself).
void vx_image_release(VxDevice* pDev);
// An image device over an open backend, which it takes (closed on failure).
VxDevice* vx_image_device(const VxImageBackend& backend, uint64_t ullSize, uint64_t ullBase);
// Keeps `pszText` as what vx_plat_image_error() says.
void vx_image_set_error(const char* pszText);
