// Volume open, geometry and close, and the one primitive that reads the device.
#include <algorithm>
#include <cstring>

#include "diskio/diskio.h"
#include "base/le.h"
#include "diskio/layout/sds_entry.h"
#include "platform/platform.h"
#include "text/vx_dump.h"
#include "base/vx_log.h"
#include "diskio/layout/boot_sector.h"
#include "diskio/layout/record_header.h"
#include "diskio/layout/sds_entry.h"
#include "diskio/layout/volume_information.h"

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
    uint32_t dwSector = vx_le16(pBoot, length, boot_sector::kBytesPerSector);
    if (!IsPowerOfTwo(dwSector) || dwSector < kMinSectorSize || dwSector > kMaxSectorSize) {
        *ppszWhat = "bytes per sector";
        *pullValue = dwSector;
        return 0;
    }
    // Up to 0x80 the byte is a plain count (0x80 is 128 sectors, 64 KiB on
    // 512-byte sectors); above, the volume's clusters exceed 64 KiB and the
    // byte holds a negative power of two, as the record size byte does.
    uint8_t bSpc = vx_le8(pBoot, length, boot_sector::kSectorsPerCluster);
    // No cluster exceeds 2 MiB, so no exponent beyond 2^21 sectors can be
    // good; the check comes before the shift, which could not hold it.
    const unsigned uExponent = bSpc <= 0x80 ? 0 : 256u - bSpc;
    if (uExponent > 21) {
        *ppszWhat = "sectors per cluster";
        *pullValue = bSpc;
        return 0;
    }
    uint64_t ullSectors = bSpc <= 0x80 ? bSpc : (1ull << uExponent);
    if (!IsPowerOfTwo(ullSectors) || ullSectors * dwSector > kMaxClusterSize) {
        *ppszWhat = "sectors per cluster";
        *pullValue = bSpc;
        return 0;
    }
    uint32_t dwCluster = static_cast<uint32_t>(ullSectors * dwSector);

    int8_t v = static_cast<int8_t>(vx_le8(pBoot, length, boot_sector::kClustersPerRecord));
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
    pGeom->ullClusterNumber = vx_le64(pBoot, length, boot_sector::kTotalSectors) / ullSectors;
    pGeom->ullMftStart = vx_le64(pBoot, length, boot_sector::kMftLcn);
    pGeom->dwMftRecordSize = static_cast<uint32_t>(ullRecord);
    if (v >= 0)
        pGeom->dwMftRecordClusters = static_cast<uint32_t>(v);
    else
        pGeom->dwMftRecordClusters = (dwCluster + pGeom->dwMftRecordSize - 1) / dwCluster;
    return 1;
}

namespace {

// Record 0 read by its LCN, then again through the $MFT data stream that the
// first reading maps, which follows the $MFT's own attribute list.
int BootstrapMft(Volume* pVol) {
    int status = VX_OK;
    const uint64_t ullBytes = static_cast<uint64_t>(pVol->MftRecordClusters) * pVol->ClusterSize;
    auto* pBuffer = static_cast<uint8_t*>(VX_CALLOC(
        ullBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pBuffer - Drive : %s", VX_WHERE,
        pVol->pszDevice));
    Entry provisional{};
    bool bBuilt = false;
    uint64_t ullCount = pVol->MftRecordClusters;
    if (!ReadClusters(pVol, pVol->MftStart, &ullCount, pBuffer) ||
        ullCount < pVol->MftRecordClusters) {
        if (ullCount < pVol->MftRecordClusters)
            log_message(VX_ERROR,
                        "%s %s() l.%d: $MFT base record unreadable at Lcn 0x" VX_X64
                        " - Drive : %s",
                        VX_WHERE, pVol->MftStart, pVol->pszDevice);
        status = VX_FAILED;
    } else if (!CheckRecord(pBuffer, pVol->MftRecordSize)) {
        status = VX_FAILED;
    } else {
        provisional.pVolume = pVol;
        provisional.ullBaseRecord = 0;
        provisional.wSequence = vx_le16(pBuffer, ullBytes, record_header::kSequence);
        provisional.wLinkCount = vx_le16(pBuffer, ullBytes, record_header::kLinkCount);
        provisional.wFlags = vx_le16(pBuffer, ullBytes, record_header::kFlags);
        provisional.bDirectory = (provisional.wFlags & record_header::kFlagDirectory) != 0 ? 1 : 0;
        bBuilt = true;
        // Attributes that cannot be read have said so; the $MFT is read
        // through its $DATA all the same when that came before them, and
        // the check below says when it did not.
        (void)ReadAllAttributes(&provisional, pBuffer, pVol->MftRecordSize);
        pVol->pMft = &provisional;
        pVol->pMftData = FindAttribute(&provisional, pVol->AttrTypes[ATTR_DATA], nullptr);
        // A copy's records lie one after the other from its first byte.
        if (pVol->pCopy != nullptr && pVol->pMftData != nullptr)
            pVol->pMftData = CopyMftData(pVol, pVol->pMftData);
        if (pVol->pMftData == nullptr) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: No Data Attribute in $MFT base record - Drive : %s",
                        VX_WHERE, pVol->pszDevice);
            status = VX_FAILED;
        }
    }
    if (bBuilt && DiskioDebugStream != nullptr) DumpEntry(DiskioDebugStream, &provisional);
    VX_FREE(pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pBuffer - Drive : %s", VX_WHERE,
            pVol->pszDevice);

    if (status == VX_OK) {
        InvalidateRecordCache(pVol);
        Entry* pMft = nullptr;
        status = InitEntry(pVol, &pMft, 0, 0);
        if (status == VX_OK) {
            pVol->pMft = pMft;
            pVol->pMftData = FindAttribute(pMft, pVol->AttrTypes[ATTR_DATA], nullptr);
            if (pVol->pCopy != nullptr && pVol->pMftData != nullptr)
                pVol->pMftData = CopyMftData(pVol, pVol->pMftData);
            if (pVol->pMftData == nullptr) {
                log_message(VX_ERROR,
                            "%s %s() l.%d: No Data Attribute in $MFT entry - Drive : %s",
                            VX_WHERE, pVol->pszDevice);
                status = VX_FAILED;
            }
        } else {
            // The Volume keeps no pointer into the provisional Entry, which
            // goes below; CloseVolume releases what InitEntry handed back.
            pVol->pMft = pMft;
            pVol->pMftData = nullptr;
        }
        InvalidateRecordCache(pVol);
    } else {
        pVol->pMft = nullptr;
        pVol->pMftData = nullptr;
    }
    if (bBuilt) CleanEntry(&provisional);
    if (status == VX_OK) {
        const uint64_t ullMapped = MftWalkLimit(pVol);
        if (!pVol->pMftData->bResident && pVol->pMftData->ullSize > ullMapped)
            log_message(VX_WARNING,
                        "%s %s() l.%d: $MFT data size 0x" VX_X64
                        " beyond its runlist or the volume (0x" VX_X64
                        " bytes): the records past it are not read - Drive : %s",
                        VX_WHERE, pVol->pMftData->ullSize, ullMapped, pVol->pszDevice);
    }
    return status;
}

// The NTFS version from $Volume and, on NTFS 3 and later, $Secure.
int ReadVersionAndSecure(Volume* pVol) {
    pVol->MajorVersion = 1;
    Entry* pEntry = nullptr;
    if (InitEntry(pVol, &pEntry, 3, 0) != VX_OK) {
        log_message(VX_ERROR, "%s %s() l.%d: base record 3 not found - Drive : %s", VX_WHERE,
                    pVol->pszDevice);
    } else {
        const uint32_t dwType = pVol->AttrTypes[ATTR_VOLUME_INFORMATION];
        const Attribute* pInfo = FindAttribute(pEntry, dwType, nullptr);
        if (pInfo == nullptr) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: InitVolume : attribute 0x%x from base record 3 not found, "
                        "setting MajorVersion=1 - Drive : %s",
                        VX_WHERE, dwType, pVol->pszDevice);
        } else {
            uint64_t ullSize = 0;
            uint8_t* pValue = GetStreamBuffer(pEntry, pInfo, &ullSize);
            if (ullSize > volume_information::kMajorVersion)
                pVol->MajorVersion = vx_le8(pValue, ullSize, volume_information::kMajorVersion);
            else
                log_message(VX_ERROR,
                            "%s %s() l.%d: InitVolume : Volume Information truncated stream - "
                            "Size : " VX_U64,
                            VX_WHERE, ullSize);
            ReleaseStreamBuffer(pInfo, pValue);
        }
    }
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream, "Filesystem major version : %u\n", pVol->MajorVersion);
    // Volumes before NTFS 3 keep each file's security descriptor in the file.
    if (pVol->MajorVersion <= 2) {
        FreeEntry(pEntry);
        return VX_OK;
    }

    // InitEntry hands the Entry back whatever the read gave: reuse it.
    CleanEntry(pEntry);
    if (ReadEntry(pEntry, 9, 0) != VX_OK) {
        log_message(VX_ERROR, "%s %s() l.%d: base record 9 not found - Drive : %s", VX_WHERE,
                    pVol->pszDevice);
        FreeEntry(pEntry);
        return VX_OK;
    }
    pVol->pSecure = pEntry;
    pVol->pSecureData = FindAttribute(pEntry, pVol->AttrTypes[ATTR_DATA], nullptr);
    if (pVol->pCopy != nullptr && pVol->pSecureData != nullptr) {
        pVol->pSecureData = CopySdsData(pVol);
        if (pVol->pSecureData == nullptr) return VX_OK;
    }
    if (pVol->pSecureData == nullptr)
        log_message(VX_ERROR,
                    "%s %s() l.%d: attribute 0x%x from base record 9 not found - Drive : %s",
                    VX_WHERE, pVol->AttrTypes[ATTR_DATA], pVol->pszDevice);
    else
        (void)LoadSecureSDS(pVol);  // always 0: what it cannot read ends the list
    return VX_OK;
}

}  // namespace

// ---------------------------------------------------------- $Secure:$SDS

int AddSecureSD(Volume* pVol, uint32_t dwId, uint64_t ullOffset, uint32_t dwSize) {
    SecList* pList = &pVol->secList;
    if (pList->pSecInfo == nullptr) {
        pList->pSecInfo = static_cast<SecInfo*>(VX_CALLOC(
            kSecInfoStep, sizeof(SecInfo), VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pVol->secList.pSecInfo", VX_WHERE));
        pList->dwCount = 0;
        pList->dwMaxSize = 0;
        pList->bSortedById = 1;
        pList->ullCachedBytes = 0;
    } else if (vx_grows(pList->dwCount, kSecInfoStep)) {
        pList->pSecInfo = static_cast<SecInfo*>(
            VX_REALLOC(pList->pSecInfo, vx_grown(pList->dwCount, kSecInfoStep),
                       sizeof(SecInfo), VX_FATAL_SYS, "%s %s l. %d: VX_REALLOC pCopy", VX_WHERE));
    }
    SecInfo* pInfo = &pList->pSecInfo[pList->dwCount];
    if (pList->dwCount > 0 && dwId < pInfo[-1].dwId) pList->bSortedById = 0;
    *pInfo = SecInfo{};
    pInfo->dwId = dwId;
    pInfo->dwSize = dwSize;
    pInfo->ullOffset = ullOffset + kSdsHeaderSize;
    pList->dwCount++;
    if (dwSize > pList->dwMaxSize) pList->dwMaxSize = dwSize;
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream, "Added to pVol->secList : Id %u, size %u, offset " VX_U64 "\n",
                dwId, dwSize, ullOffset);
    return 0;
}

SecInfo* FindSecureSD(const SecList* pList, uint32_t dwId) {
    if (pList->pSecInfo == nullptr) return nullptr;
    if (!pList->bSortedById && pList->pdwById != nullptr && pList->dwIndexed == pList->dwCount) {
        // The first index of the id in the sorted order is the lowest: the
        // one a scan would find.
        uint32_t lo = 0;
        uint32_t hi = pList->dwIndexed;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (pList->pSecInfo[pList->pdwById[mid]].dwId < dwId) lo = mid + 1;
            else hi = mid;
        }
        return lo < pList->dwIndexed && pList->pSecInfo[pList->pdwById[lo]].dwId == dwId
                   ? &pList->pSecInfo[pList->pdwById[lo]]
                   : nullptr;
    }
    if (!pList->bSortedById) {
        for (uint32_t k = 0; k < pList->dwCount; k++)
            if (pList->pSecInfo[k].dwId == dwId) return &pList->pSecInfo[k];
        return nullptr;
    }
    // Windows writes ids in increasing order: a volume of many descriptors
    // costs each file a search, not a scan.  The lowest index of equal ids
    // is the one a scan would find.
    uint32_t lo = 0;
    uint32_t hi = pList->dwCount;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (pList->pSecInfo[mid].dwId < dwId) lo = mid + 1;
        else hi = mid;
    }
    return lo < pList->dwCount && pList->pSecInfo[lo].dwId == dwId ? &pList->pSecInfo[lo]
                                                                   : nullptr;
}

void FreeSecureSDs(SecList* pList) {
    if (pList->pSecInfo != nullptr) {
        for (uint32_t k = 0; k < pList->dwCount; k++) {
            if (pList->pSecInfo[k].pDescriptor != nullptr)
                VX_FREE(pList->pSecInfo[k].pDescriptor, VX_FATAL_SYS,
                        "%s %s l. %d: VX_FREE pSecInfo->pDescriptor", VX_WHERE);
            if (pList->pSecInfo[k].pLineText != nullptr)
                VX_FREE(pList->pSecInfo[k].pLineText, VX_FATAL_SYS,
                        "%s %s l. %d: VX_FREE pSecInfo->pLineText", VX_WHERE);
        }
        VX_FREE(pList->pSecInfo, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pVol->secList.pSecInfo",
                VX_WHERE);
    }
    if (pList->pBuffer != nullptr)
        VX_FREE(pList->pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pVol->secList.pBuffer",
                VX_WHERE);
    if (pList->pdwById != nullptr)
        VX_FREE(pList->pdwById, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pVol->secList.pdwById",
                VX_WHERE);
    *pList = SecList{};
}

namespace {

// The scan steps 16 bytes at a time over a stream that may map the whole
// volume: its clusters are read in blocks of this size, each once.
constexpr uint64_t kSdsBlockBytes = 1u << 20;

struct SdsBlock {
    uint8_t* pBytes;
    uint64_t ullRoom;      // clusters
    uint64_t ullFirstVcn;
    uint64_t ullHeld;      // clusters read, from ullFirstVcn on
};

// Fills the block from VCN `ullVcn` on (the clusters it already holds from
// there are kept), with the clusters the runlist maps and the volume holds,
// up to the stream's last cluster.  It stops, silently, where the runlist
// or the volume ends or a read comes short: a header there is read the
// ordinary way, which writes what went wrong.
void FillSdsBlock(Volume* pVol, const Attribute* pSds, SdsBlock* pBlock, uint64_t ullVcn,
                  uint64_t ullEndVcn) {
    const uint64_t ullCluster = pVol->ClusterSize;
    uint64_t ullKeep = 0;
    if (ullVcn >= pBlock->ullFirstVcn && ullVcn - pBlock->ullFirstVcn < pBlock->ullHeld) {
        ullKeep = pBlock->ullHeld - (ullVcn - pBlock->ullFirstVcn);
        memmove(pBlock->pBytes, pBlock->pBytes + (ullVcn - pBlock->ullFirstVcn) * ullCluster,
                ullKeep * ullCluster);
    }
    pBlock->ullFirstVcn = ullVcn;
    pBlock->ullHeld = ullKeep;
    const uint64_t ullWanted =
        ullEndVcn - ullVcn < pBlock->ullRoom ? ullEndVcn - ullVcn : pBlock->ullRoom;
    uint64_t ullRun = 0, ullInRun = ullVcn + ullKeep;
    if (ullKeep >= ullWanted || !FindRun(pSds, &ullRun, &ullInRun)) return;
    for (; ullRun < pSds->ullRunCount && pBlock->ullHeld < ullWanted; ullRun++, ullInRun = 0) {
        const Run& run = pSds->pRunlist[ullRun];
        uint64_t n = run.ullLength - ullInRun;
        if (n > ullWanted - pBlock->ullHeld) n = ullWanted - pBlock->ullHeld;
        uint8_t* pOut = pBlock->pBytes + pBlock->ullHeld * ullCluster;
        if (run.llLcn == kSparseLcn) {
            memset(pOut, 0, n * ullCluster);
            pBlock->ullHeld += n;
            continue;
        }
        const uint64_t ullLcn = static_cast<uint64_t>(run.llLcn) + ullInRun;
        if (ullLcn >= pVol->ClusterNumber || ullLcn > UINT64_MAX / ullCluster) return;
        const bool bCut = n > pVol->ClusterNumber - ullLcn;
        if (bCut) n = pVol->ClusterNumber - ullLcn;
        uint64_t ullGot = n;
        const int ok = ReadClusters(pVol, ullLcn, &ullGot, pOut);
        pBlock->ullHeld += ullGot < n ? ullGot : n;
        if (!ok || ullGot < n || bCut) return;
    }
}

// The bytes [ullPos, ullPos + *pullCount) of the stream: in the block when
// it holds them or can, else read into `pCopy` by ReadStreamBytes (and
// *pullCount 0 when that fails).
const uint8_t* SdsBytes(Volume* pVol, const Attribute* pSds, SdsBlock* pBlock, uint64_t ullPos,
                        uint64_t* pullCount, uint64_t ullEndVcn, uint8_t* pCopy) {
    if (pBlock->pBytes != nullptr) {
        const uint64_t ullCluster = pVol->ClusterSize;
        const uint64_t ullFirst = ullPos / ullCluster;
        const uint64_t ullLast = (ullPos + *pullCount - 1) / ullCluster;
        auto held = [&] {
            return ullFirst >= pBlock->ullFirstVcn && ullLast - pBlock->ullFirstVcn < pBlock->ullHeld;
        };
        if (!held()) FillSdsBlock(pVol, pSds, pBlock, ullFirst, ullEndVcn);
        if (held()) return pBlock->pBytes + (ullPos - pBlock->ullFirstVcn * ullCluster);
    }
    if (!ReadStreamBytes(pVol, pSds, ullPos, pullCount, pCopy)) *pullCount = 0;
    return pCopy;
}

}  // namespace

int LoadSecureSDS(Volume* pVol) {
    const Attribute* pSds = pVol->pSecureData;
    const uint64_t ullStreamSize = pSds->ullSize;
    uint64_t ullPos = 0;
    uint8_t header[32];
    const uint64_t ullCluster = pVol->ClusterSize;
    const uint64_t ullEndVcn = ullStreamSize / ullCluster + (ullStreamSize % ullCluster != 0);
    SdsBlock block{};
    if (!pSds->bResident && pSds->wFlags == 0) {
        block.ullRoom = kSdsBlockBytes / ullCluster < 2 ? 2 : kSdsBlockBytes / ullCluster;
        block.pBytes = static_cast<uint8_t*>(VX_CALLOC(
            block.ullRoom, ullCluster, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC $SDS block",
            VX_WHERE));
    }
    // The VCNs of the run with clusters on the disk found last: the positions
    // inside it need no search of the runlist.
    uint64_t ullMappedFrom = 1, ullMappedTo = 0;
    while (ullPos < ullStreamSize) {
        const uint64_t ullVcn = ullPos / ullCluster;
        if (!pSds->bResident && (ullVcn < ullMappedFrom || ullVcn >= ullMappedTo)) {
            // Entries lie in the clusters of the stream: a sparse run holds
            // none, and past the runlist nothing can be read.  The scan thus
            // costs the clusters on the disk, whatever size the stream claims.
            uint64_t ullRun = 0, ullInRun = ullVcn;
            if (!FindRun(pSds, &ullRun, &ullInRun)) break;
            const Run& run = pSds->pRunlist[ullRun];
            if (run.llLcn == kSparseLcn) {
                // On to the first cluster after the run, if the stream goes on there.
                const uint64_t ullNextVcn = ullVcn + (run.ullLength - ullInRun);
                if (ullNextVcn < ullVcn || ullNextVcn > UINT64_MAX / ullCluster ||
                    ullNextVcn * ullCluster >= ullStreamSize)
                    break;
                ullPos = ullNextVcn * ullCluster;
                continue;
            }
            ullMappedFrom = ullVcn - ullInRun;
            ullMappedTo = run.ullLength > UINT64_MAX - ullMappedFrom ? UINT64_MAX
                                                                      : ullMappedFrom + run.ullLength;
        }
        uint64_t ullCount = ullStreamSize - ullPos < sizeof header ? ullStreamSize - ullPos
                                                                   : sizeof header;
        const uint8_t* pHeader =
            SdsBytes(pVol, pSds, &block, ullPos, &ullCount, ullEndVcn, header);
        if (ullCount < kSdsHeaderSize) break;
        const uint32_t dwLength = vx_le32(pHeader, ullCount, sds_entry::kLength);
        // An entry is known by its own offset and a length that fits in the
        // stream: a damaged length would otherwise size the descriptor
        // buffer of every later file.
        if (vx_le64(pHeader, ullCount, sds_entry::kOffset) == ullPos &&
            dwLength >= kSdsHeaderSize && dwLength <= ullStreamSize - ullPos) {
            AddSecureSD(pVol, vx_le32(pHeader, ullCount, sds_entry::kSecurityId), ullPos,
                        dwLength);
            ullPos += (static_cast<uint64_t>(dwLength) + 15) & ~static_cast<uint64_t>(15);
        } else {
            ullPos += 16;
        }
    }
    if (block.pBytes != nullptr)
        VX_FREE(block.pBytes, VX_FATAL_SYS, "%s %s l. %d: VX_FREE $SDS block", VX_WHERE);
    SecList* pList = &pVol->secList;
    if (!pList->bSortedById && pList->dwCount > 0 && pList->pdwById == nullptr) {
        pList->pdwById = static_cast<uint32_t*>(VX_CALLOC(
            pList->dwCount, sizeof(uint32_t), VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pVol->secList.pdwById", VX_WHERE));
        for (uint32_t k = 0; k < pList->dwCount; k++) pList->pdwById[k] = k;
        const SecInfo* pInfo = pList->pSecInfo;
        std::sort(pList->pdwById, pList->pdwById + pList->dwCount, [pInfo](uint32_t a, uint32_t b) {
            return pInfo[a].dwId != pInfo[b].dwId ? pInfo[a].dwId < pInfo[b].dwId : a < b;
        });
        pList->dwIndexed = pList->dwCount;
    }
    return 0;
}

uint64_t MftWalkLimit(const Volume* pVol) {
    const Attribute* pData = pVol->pMftData;
    if (pData == nullptr) return 0;
    if (pData->bResident) return pData->ullSize;
    // Nor can the $MFT be larger than the volume that holds it: a damaged
    // runlist or size costs at most one walk over the volume's records.
    uint64_t ullVcns = pData->ullNextVcn < pVol->ClusterNumber ? pData->ullNextVcn
                                                              : pVol->ClusterNumber;
    const uint64_t ullMapped = ullVcns > UINT64_MAX / pVol->ClusterSize
                                   ? UINT64_MAX
                                   : ullVcns * pVol->ClusterSize;
    return pData->ullSize < ullMapped ? pData->ullSize : ullMapped;
}

namespace {

// The rest of the open once the geometry is known: the $MFT, the version and $Secure.
int ReadMftAndSecure(Volume* pVol) {
    ProcessChunkSize = kMaxChunk - kMaxChunk % pVol->ClusterSize;
    if (ProcessChunkSize == 0) ProcessChunkSize = pVol->ClusterSize;
    for (uint32_t k = 0; k < 16; k++) pVol->AttrTypes[k] = 0x10 * (k + 1);

    const int status = BootstrapMft(pVol);
    if (status != VX_OK) return status;
    return ReadVersionAndSecure(pVol);
}

// OpenVolume and OpenVolumeOn: `pDev` is the device already open (a memory
// device), or none to open the -f file or the drive's raw device after the
// geometry query.  Its messages are OpenVolume's, whichever was called.
#define VX_OPEN_WHERE VX_MODULE, "OpenVolume", __LINE__
int OpenVolumeWith(Volume* pVol, VxDevice* pDev, bool bQuerySystem) {
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

    if (pVol->pszMftCopy != nullptr) {
        // A copy has no boot sector of its own to read the geometry from.
        if (OpenMftCopy(pVol, pDev) != VX_OK) return VX_FAILED;
        PClusterBuffer = static_cast<uint8_t*>(VX_CALLOC(
            1, pVol->ClusterSize, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC PClusterBuffer - Drive : %s",
            VX_OPEN_WHERE, pVol->pszDevice));
        MaxReadSize = LargestReadFor(pVol->ClusterSize);
        return ReadMftAndSecure(pVol);
    }
    VxGeometry sys{};
    if (bQuerySystem && !vx_plat_query_geometry(pVol->szRootPath, pVol->pszSourcePath, &sys)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: GetDiskFreeSpace - Path : %s", VX_OPEN_WHERE,
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

    pVol->hVolume =
        pDev != nullptr ? pDev : vx_plat_open_device(pVol->pszDevice, pVol->ullSourceOffset);
    if (pVol->hVolume == nullptr) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: CreateFile - Drive : %s", VX_OPEN_WHERE,
                    pVol->pszDevice);
        return VX_FAILED;
    }

    int status = VX_OK;
    PClusterBuffer = static_cast<uint8_t*>(VX_CALLOC(
        1, dwSysCluster, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC PClusterBuffer - Drive : %s",
        VX_OPEN_WHERE, pVol->pszDevice));
    uint64_t ullCount = 1;
    if (!ReadClusters(pVol, 0, &ullCount, PClusterBuffer)) {
        status = VX_FAILED;
    } else if (memcmp(PClusterBuffer + boot_sector::kOemId, "NTFS    ", 8) != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: drive %s is not NTFS", VX_OPEN_WHERE,
                    pVol->pszDevice);
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
                        VX_OPEN_WHERE, pVol->pszDevice, pszWhat, ullValue);
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
                            VX_OPEN_WHERE, dwSysCluster, pVol->ClusterSize, dwSysSector,
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
    // The boot sector's count of clusters is only a claim: a volume cannot
    // reach past the device that holds it, and every walk bounded by the
    // volume (the $MFT's records, its streams) is then bounded by what the
    // device really holds.
    uint64_t ullDeviceBytes = 0;
    if (status == VX_OK && vx_plat_device_size(pVol->hVolume, &ullDeviceBytes) &&
        ullDeviceBytes > 0 && pVol->ClusterNumber > ullDeviceBytes / pVol->ClusterSize) {
        log_message(VX_WARNING,
                    "%s %s() l.%d: volume of 0x" VX_X64 " clusters in the boot sector beyond the "
                    "device (0x" VX_X64 " bytes): the clusters past its end are not read - "
                    "Drive : %s",
                    VX_OPEN_WHERE, pVol->ClusterNumber, ullDeviceBytes, pVol->pszDevice);
        pVol->ClusterNumber = ullDeviceBytes / pVol->ClusterSize;
    }
    PClusterBuffer = static_cast<uint8_t*>(VX_REALLOC(PClusterBuffer, 1, pVol->ClusterSize,
                                                      VX_FATAL_SYS,
                                                      "%s %s l. %d: VX_REALLOC PClusterBuffer",
                                                      VX_OPEN_WHERE));
    if (status != VX_OK) return status;

    // Without a system report the device reads were sized on 512 bytes; size
    // them on the volume's clusters now, so that every read stays whole clusters.
    if (!sys.bClusterKnown) MaxReadSize = LargestReadFor(pVol->ClusterSize);
    return ReadMftAndSecure(pVol);
}

}  // namespace

int OpenVolume(Volume* pVol) { return OpenVolumeWith(pVol, nullptr, true); }

int OpenVolumeOn(Volume* pVol, VxDevice* pDev) { return OpenVolumeWith(pVol, pDev, false); }

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
    FreeSecureSDs(&pVol->secList);
    ReleaseRecordCache(pVol);
    CloseMftCopy(pVol);
    if (pVol->pReportState != nullptr) {
        pVol->pfnFreeReportState(pVol->pReportState);
        pVol->pReportState = nullptr;
        pVol->pfnFreeReportState = nullptr;
    }
    if (pVol->pMft != nullptr) {
        FreeEntry(pVol->pMft);
        pVol->pMft = nullptr;
        pVol->pMftData = nullptr;
    }
    if (pVol->pSecure != nullptr) {
        FreeEntry(pVol->pSecure);
        pVol->pSecure = nullptr;
        pVol->pSecureData = nullptr;
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
