// Volume open, geometry and close, and the one primitive that reads the device.
#include <cstring>

#include "diskio/diskio.h"
#include "diskio/le.h"
#include "platform/platform.h"
#include "report/vx_dump.h"
#include "run/vx_log.h"

#define VX_MODULE "diskio"

uint8_t* PClusterBuffer = nullptr;
uint8_t* PProcessStreamBuffer = nullptr;
uint32_t MaxReadSize = 0;
uint32_t ProcessChunkSize = 0;
FILE* DiskioDebugStream = nullptr;
int DiskioDumpRecords = 0;

namespace {

constexpr uint32_t kMaxClusterSize = 2u * 1024 * 1024;  // what Windows formats at most
constexpr uint32_t kMinSectorSize = 256;
constexpr uint32_t kMaxSectorSize = 4096;
constexpr uint32_t kMinRecordSize = 256;
constexpr uint32_t kMaxRecordSize = 64 * 1024;
constexpr uint32_t kMaxChunk = 0x1000000;  // 16 MiB

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The largest multiple of `unit` not above 0xFFFFFFFF: no single device read asks for more.
uint32_t LargestReadFor(uint32_t unit) { return 0xFFFFFFFFu - (0xFFFFFFFFu % unit); }

}  // namespace

int DecodeBootSector(const uint8_t* pBoot, size_t length, BootGeometry* pGeom,
                     const char** ppszWhat, uint64_t* pullValue) {
    *pGeom = BootGeometry{};
    uint32_t dwSector = vx_le16(pBoot, length, 0x0B);
    if (!IsPowerOfTwo(dwSector) || dwSector < kMinSectorSize || dwSector > kMaxSectorSize) {
        *ppszWhat = "bytes per sector";
        *pullValue = dwSector;
        return 0;
    }
    // Up to 0x80 the byte is a plain count (0x80 is 128 sectors, 64 KiB on
    // 512-byte sectors); above, the volume's clusters exceed 64 KiB and the
    // byte holds a negative power of two, as the record size byte does.
    uint8_t bSpc = vx_le8(pBoot, length, 0x0D);
    uint64_t ullSectors = bSpc <= 0x80 ? bSpc : (1ull << (256 - bSpc));
    if (!IsPowerOfTwo(ullSectors) || ullSectors * dwSector > kMaxClusterSize) {
        *ppszWhat = "sectors per cluster";
        *pullValue = bSpc;
        return 0;
    }
    uint32_t dwCluster = static_cast<uint32_t>(ullSectors * dwSector);

    int8_t v = static_cast<int8_t>(vx_le8(pBoot, length, 0x40));
    uint64_t ullRecord;
    if (v >= 0)
        ullRecord = static_cast<uint64_t>(v) * dwCluster;
    else
        ullRecord = -v < 32 ? (1ull << -v) : 0;
    if (!IsPowerOfTwo(ullRecord) || ullRecord < kMinRecordSize || ullRecord > kMaxRecordSize) {
        *ppszWhat = "clusters per MFT record";
        *pullValue = static_cast<uint8_t>(v);
        return 0;
    }
    pGeom->dwSectorSize = dwSector;
    pGeom->dwClusterSize = dwCluster;
    pGeom->ullClusterNumber = vx_le64(pBoot, length, 0x28) / ullSectors;
    pGeom->ullMftStart = vx_le64(pBoot, length, 0x30);
    pGeom->dwMftRecordSize = static_cast<uint32_t>(ullRecord);
    if (v >= 0)
        pGeom->dwMftRecordClusters = static_cast<uint32_t>(v);
    else
        pGeom->dwMftRecordClusters = (dwCluster + pGeom->dwMftRecordSize - 1) / dwCluster;
    return 1;
}

int OpenVolume(Volume* pVol) {
    pVol->hVolume = nullptr;
    pVol->pMft = nullptr;
    pVol->pSecure = nullptr;
    pVol->pMftData = nullptr;
    pVol->pSecureData = nullptr;
    pVol->secList = SecList{};
    PClusterBuffer = nullptr;
    PProcessStreamBuffer = nullptr;
    snprintf(pVol->szDevicePath, sizeof pVol->szDevicePath, "\\\\.\\%c:", pVol->DriveLetter);
    snprintf(pVol->szRootPath, sizeof pVol->szRootPath, "%c:\\", pVol->DriveLetter);
    pVol->pszDevice = pVol->pszSourcePath != nullptr ? pVol->pszSourcePath : pVol->szDevicePath;

    VxGeometry sys;
    if (!vx_plat_query_geometry(pVol->szRootPath, pVol->pszSourcePath, &sys)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: GetDiskFreeSpace - Path : %s", VX_WHERE,
                    pVol->szRootPath);
        return VX_FAILED;
    }
    // Where the system reports no geometry (an image file), the boot sector
    // is read through a provisional cluster of 512 bytes and is its own
    // authority; the cross-check below compares only what was reported.
    uint32_t dwSysSector = sys.bSectorKnown ? sys.dwBytesPerSector : 512;
    uint32_t dwSysCluster =
        sys.bClusterKnown ? sys.dwBytesPerSector * sys.dwSectorsPerCluster : dwSysSector;
    if (dwSysCluster == 0) dwSysCluster = 512;
    pVol->ClusterSize = dwSysCluster;
    pVol->ClusterNumber = 1;
    MaxReadSize = LargestReadFor(dwSysCluster);

    pVol->hVolume = vx_plat_open_device(pVol->pszDevice, pVol->ullSourceOffset);
    if (pVol->hVolume == nullptr) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: CreateFile - Drive : %s", VX_WHERE,
                    pVol->pszDevice);
        return VX_FAILED;
    }

    int status = VX_OK;
    PClusterBuffer = static_cast<uint8_t*>(VX_CALLOC(
        1, dwSysCluster, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC PClusterBuffer - Drive : %s",
        VX_WHERE, pVol->pszDevice));
    uint64_t ullCount = 1;
    if (!ReadClusters(pVol, 0, &ullCount, PClusterBuffer)) {
        status = VX_FAILED;
    } else if (memcmp(PClusterBuffer + 3, "NTFS    ", 8) != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: drive %s is not NTFS", VX_WHERE, pVol->pszDevice);
        if (DiskioDumpRecords && DiskioDebugStream != nullptr)
            DumpHex(DiskioDebugStream, PClusterBuffer, dwSysCluster);
        status = VX_FAILED;
    } else {
        if (DiskioDumpRecords && DiskioDebugStream != nullptr)
            DumpHex(DiskioDebugStream, PClusterBuffer, dwSysCluster);
        BootGeometry geom;
        const char* pszWhat = "";
        uint64_t ullValue = 0;
        if (!DecodeBootSector(PClusterBuffer, dwSysCluster, &geom, &pszWhat, &ullValue)) {
            // Never used for arithmetic: a zero or odd size would divide by
            // zero or walk without end further on.
            log_message(VX_ERROR, "%s %s() l.%d: drive %s is not NTFS - invalid %s : " VX_U64,
                        VX_WHERE, pVol->pszDevice, pszWhat, ullValue);
            status = VX_FAILED;
        } else {
            pVol->SectorSize = geom.dwSectorSize;
            pVol->ClusterSize = geom.dwClusterSize;
            pVol->ClusterNumber = geom.ullClusterNumber;
            pVol->MftStart = geom.ullMftStart;
            pVol->MftRecordClusters = geom.dwMftRecordClusters;
            pVol->MftRecordSize = geom.dwMftRecordSize;
            bool bClusterOdd = sys.bClusterKnown && pVol->ClusterSize != dwSysCluster;
            bool bSectorOdd = sys.bSectorKnown && pVol->SectorSize != dwSysSector;
            if (bClusterOdd || bSectorOdd) {
                log_message(VX_ERROR,
                            "%s %s() l.%d: incoherent values\nValue\tSystem\tBoot Sector\n"
                            "Cluster Size\t%u\t%u\nSectorSize\t%u\t%u",
                            VX_WHERE, dwSysCluster, pVol->ClusterSize, dwSysSector,
                            pVol->SectorSize);
                status = VX_FAILED;
            }
        }
    }
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream,
                "SectorSize: 0x%x, ClusterSize: 0x%x, MftRecordSize: 0x%x\n"
                "ClusterNumber: 0x" VX_X64 ", MftStart: 0x" VX_X64 "\n",
                pVol->SectorSize, pVol->ClusterSize, pVol->MftRecordSize, pVol->ClusterNumber,
                pVol->MftStart);
    PClusterBuffer = static_cast<uint8_t*>(VX_REALLOC(PClusterBuffer, 1, pVol->ClusterSize,
                                                      VX_FATAL_SYS,
                                                      "%s %s l. %d: VX_REALLOC PClusterBuffer",
                                                      VX_WHERE));
    if (status != VX_OK) return status;

    // Without a system report the device reads were sized on 512 bytes; size
    // them on the volume's clusters now, so that every read stays whole clusters.
    if (!sys.bClusterKnown) MaxReadSize = LargestReadFor(pVol->ClusterSize);
    ProcessChunkSize = kMaxChunk - kMaxChunk % pVol->ClusterSize;
    if (ProcessChunkSize == 0) ProcessChunkSize = pVol->ClusterSize;
    for (uint32_t k = 0; k < 16; k++) pVol->AttrTypes[k] = 0x10 * (k + 1);

    return VX_OK;
}

int CloseVolume(Volume* pVol) {
    if (pVol->hVolume != nullptr) {
        if (!vx_plat_close(pVol->hVolume))
            log_message(VX_FATAL_SYS, "%s %s() l.%d: CloseHandle", VX_WHERE);
        pVol->hVolume = nullptr;
    }
    if (PClusterBuffer != nullptr) {
        VX_FREE(PClusterBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE PClusterBuffer", VX_WHERE);
        PClusterBuffer = nullptr;
    }
    if (PProcessStreamBuffer != nullptr) {
        VX_FREE(PProcessStreamBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE PProcessStreamBuffer",
                VX_WHERE);
        PProcessStreamBuffer = nullptr;
    }
    if (pVol->secList.pSecInfo != nullptr) {
        VX_FREE(pVol->secList.pSecInfo, VX_FATAL_SYS,
                "%s %s l. %d: VX_FREE pVol->secList.pSecInfo", VX_WHERE);
        pVol->secList.pSecInfo = nullptr;
    }
    return VX_OK;
}

int ReadClusters(Volume* pVol, uint64_t ullLcn, uint64_t* pullCount, void* pBuffer) {
    const uint64_t ullCluster = pVol->ClusterSize;
    uint64_t ullWanted = *pullCount;
    *pullCount = 0;
    // Only the first cluster is checked against the end of the volume; the
    // device says how much of the rest exists.
    if (ullLcn >= pVol->ClusterNumber || ullLcn > UINT64_MAX / ullCluster ||
        ullWanted > UINT64_MAX / ullCluster) {
        log_message(VX_ERROR, "%s %s() l.%d: offset beyond end of volume", VX_WHERE);
        return 0;
    }
    uint64_t ullOffset = ullLcn * ullCluster;
    if (!vx_plat_seek(pVol->hVolume, ullOffset)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: SetFilePointer - Offset : 0x" VX_X64, VX_WHERE,
                    ullOffset);
        return 0;
    }
    uint64_t ullRemaining = ullWanted * ullCluster;
    uint64_t ullRead = 0;
    auto* pDest = static_cast<uint8_t*>(pBuffer);
    while (ullRemaining > 0) {
        uint32_t dwAsk = ullRemaining < MaxReadSize ? static_cast<uint32_t>(ullRemaining)
                                                    : MaxReadSize;
        uint32_t dwGot = 0;
        if (!vx_plat_read(pVol->hVolume, pDest + ullRead, dwAsk, &dwGot)) {
            log_message(VX_ERROR_SYS,
                        "%s %s() l.%d: ReadFile for %u bytes failed - Already read bytes : " VX_U64
                        ", remaining : " VX_U64,
                        VX_WHERE, dwAsk, ullRead, ullRemaining);
            *pullCount = ullRead / ullCluster;
            return 0;
        }
        if (dwGot == 0) break;  // end of the device
        ullRemaining -= dwGot;
        ullRead += dwGot;
    }
    *pullCount = ullRead / ullCluster;
    return 1;
}
