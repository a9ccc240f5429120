// MFT records: a record number turned into a checked, fixed-up image of the
// record, whose attributes go into an Entry.
#include <cstring>

#include "diskio/diskio.h"
#include "base/le.h"
#include "platform/platform.h"
#include "text/vx_dump.h"
#include "base/vx_log.h"
#include "diskio/layout/record_header.h"

#define VX_MODULE "diskio"

namespace {

// The record reader goes through a small cache of blocks of $MFT data, so
// that the walk over consecutive records costs one device read a block and
// not one a record.  Blocks are whole clusters at cluster-aligned VCNs, so
// every device request stays whole sectors (a Windows volume handle refuses
// any other).  The walk's own records come in order, so the block after the
// last big one is read whole (kWalkBlockBytes); any other miss (a parent
// directory, an extension record far away) reads only a small unit around
// the record (kUnitBytes), kept in a few slots of its own, so that parents
// met again are not read again and a lone record does not cost a big read.
//
// The cache never writes a diagnostic: it serves a record only when every
// cluster of it was read without fault.  Any other record is read as before,
// straight through ReadStreamVcns, which reports exactly what went wrong.
// Images are kept as read, before fixups: each record is fixed up in its
// own buffer.
constexpr uint64_t kWalkBlockBytes = 256 * 1024;
constexpr uint64_t kUnitBytes = 16 * 1024;
constexpr uint32_t kWalkSlots = 2;
constexpr uint64_t kUnitSlotBytes = 256 * 1024;  // all unit slots together, at most
constexpr uint32_t kMaxUnitSlots = 16;

struct CacheSlot {
    uint8_t* pData;
    uint64_t ullVcn;          // first VCN held
    uint64_t ullValid;        // clusters from ullVcn read without fault
    bool bUsed;
};

}  // namespace

// The cache of one Volume (pRecordCache).
struct RecordCache {
    const Attribute* pMftData;  // what the slots hold: this $MFT data, with these sizes
    uint32_t dwClusterSize;
    uint64_t ullWalkClusters;
    uint64_t ullUnitClusters;
    uint32_t dwUnitSlots;
    CacheSlot walk[kWalkSlots];
    CacheSlot unit[kMaxUnitSlots];
    uint32_t dwNextWalk;  // slot replaced next (round robin)
    uint32_t dwNextUnit;
    bool bWalked;             // a walk block was read ...
    uint64_t ullLastWalkVcn;  // ... starting here
};

namespace {

void FreeSlots(RecordCache* pCache) {
    for (CacheSlot& s : pCache->walk)
        if (s.pData != nullptr)
            VX_FREE(s.pData, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record cache", VX_WHERE);
    for (CacheSlot& s : pCache->unit)
        if (s.pData != nullptr)
            VX_FREE(s.pData, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record cache", VX_WHERE);
    *pCache = RecordCache{};
}

// The volume's cache, sized for its $MFT; what it held of an earlier $MFT
// data attribute or geometry is dropped.
RecordCache* PrepareCache(Volume* pVol) {
    if (pVol->pRecordCache == nullptr)
        pVol->pRecordCache = static_cast<RecordCache*>(VX_CALLOC(
            1, sizeof(RecordCache), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pRecordCache", VX_WHERE));
    RecordCache& cache = *pVol->pRecordCache;
    if (cache.pMftData == pVol->pMftData && cache.dwClusterSize == pVol->ClusterSize)
        return &cache;
    FreeSlots(&cache);
    const uint64_t ullCluster = pVol->ClusterSize;
    const uint64_t ullRecordClusters = pVol->MftRecordClusters != 0 ? pVol->MftRecordClusters : 1;
    // Powers of two of clusters, each at least a record: an aligned unit
    // then always holds whole records.
    uint64_t ullUnit = 1;
    while (ullUnit < ullRecordClusters || ullUnit * ullCluster < kUnitBytes) ullUnit *= 2;
    uint64_t ullWalk = ullUnit;
    while (ullWalk * ullCluster < kWalkBlockBytes) ullWalk *= 2;
    cache.pMftData = pVol->pMftData;
    cache.dwClusterSize = pVol->ClusterSize;
    cache.ullUnitClusters = ullUnit;
    cache.ullWalkClusters = ullWalk;
    const uint64_t ullSlots = kUnitSlotBytes / (ullUnit * ullCluster);
    cache.dwUnitSlots = ullSlots < 1 ? 1 : ullSlots > kMaxUnitSlots ? kMaxUnitSlots
                                                                      : uint32_t(ullSlots);
    return &cache;
}

// Reads clusters [ullVcn, ullVcn + ullClusters) of the $MFT data into the
// slot, silently, and records how many from the start arrived whole: the
// prefix stops at the first cluster that is not mapped, that lies at or past
// the end of the volume, or that the device did not deliver.
void FillSlot(Volume* pVol, CacheSlot* pSlot, uint64_t ullVcn, uint64_t ullClusters) {
    const uint64_t ullCluster = pVol->ClusterSize;
    if (pSlot->pData == nullptr)
        pSlot->pData = static_cast<uint8_t*>(VX_CALLOC(
            ullClusters, ullCluster, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC record cache", VX_WHERE));
    pSlot->bUsed = true;
    pSlot->ullVcn = ullVcn;
    pSlot->ullValid = 0;
    const Attribute* pAttr = pVol->pMftData;
    const uint32_t dwSavedError = vx_plat_last_error();
    uint64_t ullRun = 0;
    uint64_t ullInRun = ullVcn;
    if (!FindRun(pAttr, &ullRun, &ullInRun)) return;
    uint64_t ullDone = 0;
    for (; ullRun < pAttr->ullRunCount && ullDone < ullClusters; ullRun++, ullInRun = 0) {
        const Run& run = pAttr->pRunlist[ullRun];
        uint64_t n = run.ullLength - ullInRun;
        if (n > ullClusters - ullDone) n = ullClusters - ullDone;
        uint8_t* pOut = pSlot->pData + ullDone * ullCluster;
        if (run.llLcn == kSparseLcn) {
            memset(pOut, 0, n * ullCluster);
            ullDone += n;
            pSlot->ullValid = ullDone;
            continue;
        }
        const uint64_t ullLcn = static_cast<uint64_t>(run.llLcn) + ullInRun;
        if (ullLcn >= pVol->ClusterNumber) break;
        if (n > pVol->ClusterNumber - ullLcn) n = pVol->ClusterNumber - ullLcn;
        if (ullLcn > UINT64_MAX / ullCluster || !vx_plat_seek(pVol->hVolume, ullLcn * ullCluster))
            break;
        const uint64_t ullWanted = n * ullCluster;
        uint64_t ullRead = 0;
        bool bFault = false;
        while (ullRead < ullWanted) {
            const uint64_t ullLeft = ullWanted - ullRead;
            const uint32_t dwAsk = ullLeft < MaxReadSize ? static_cast<uint32_t>(ullLeft) : MaxReadSize;
            uint32_t dwGot = 0;
            if (!vx_plat_read(pVol->hVolume, pOut + ullRead, dwAsk, &dwGot)) {
                bFault = true;
                break;
            }
            if (dwGot == 0) break;
            ullRead += dwGot;
        }
        // Only the clusters before a fault count: the fault may lie anywhere in the request.
        ullDone += bFault ? 0 : ullRead / ullCluster;
        pSlot->ullValid = ullDone;
        if (bFault || ullRead < ullWanted) break;
    }
    vx_plat_set_last_error(dwSavedError);
}

const CacheSlot* FindSlot(const CacheSlot* pSlots, uint32_t dwCount, uint64_t ullVcn,
                          uint64_t ullClusters) {
    for (uint32_t k = 0; k < dwCount; k++) {
        const CacheSlot& s = pSlots[k];
        if (s.bUsed && ullVcn >= s.ullVcn && ullVcn - s.ullVcn + ullClusters <= s.ullValid)
            return &s;
    }
    return nullptr;
}

// The slot holding the clusters of one record, read now if needed; none when
// the cache cannot serve it.
const CacheSlot* CachedClusters(Volume* pVol, uint64_t ullVcn, uint64_t ullClusters) {
    const Attribute* pAttr = pVol->pMftData;
    if (pAttr == nullptr || pAttr->bResident || pAttr->wFlags != 0 || pVol->hVolume == nullptr)
        return nullptr;
    RecordCache& cache = *PrepareCache(pVol);
    const CacheSlot* pHit = FindSlot(cache.walk, kWalkSlots, ullVcn, ullClusters);
    if (pHit == nullptr) pHit = FindSlot(cache.unit, cache.dwUnitSlots, ullVcn, ullClusters);
    if (pHit != nullptr) return pHit;
    const uint64_t ullWalkVcn = ullVcn - ullVcn % cache.ullWalkClusters;
    const bool bWalk = !cache.bWalked || ullWalkVcn == cache.ullLastWalkVcn ||
                       ullWalkVcn == cache.ullLastWalkVcn + cache.ullWalkClusters;
    CacheSlot* pSlot;
    if (bWalk) {
        pSlot = &cache.walk[cache.dwNextWalk];
        cache.dwNextWalk = (cache.dwNextWalk + 1) % kWalkSlots;
        cache.bWalked = true;
        cache.ullLastWalkVcn = ullWalkVcn;
        FillSlot(pVol, pSlot, ullWalkVcn, cache.ullWalkClusters);
    } else {
        pSlot = &cache.unit[cache.dwNextUnit];
        cache.dwNextUnit = (cache.dwNextUnit + 1) % cache.dwUnitSlots;
        FillSlot(pVol, pSlot, ullVcn - ullVcn % cache.ullUnitClusters, cache.ullUnitClusters);
    }
    return FindSlot(pSlot, 1, ullVcn, ullClusters);
}

// The MftRecordSize bytes of the record at byte ullOffset of the $MFT data
// into pRecord: from the cache, or else read as the record reader always
// read them, whole clusters through ReadStreamVcns, with its diagnostics.
int ReadMftRecord(Volume* pVol, uint64_t ullOffset, uint64_t ullRecord, uint8_t* pRecord) {
    const uint64_t ullVcn = ullOffset / pVol->ClusterSize;
    const uint64_t ullInCluster = ullOffset % pVol->ClusterSize;
    const CacheSlot* pSlot = CachedClusters(pVol, ullVcn, pVol->MftRecordClusters);
    if (pSlot != nullptr) {
        memcpy(pRecord, pSlot->pData + (ullVcn - pSlot->ullVcn) * pVol->ClusterSize + ullInCluster,
               pVol->MftRecordSize);
        return 1;
    }
    const uint64_t ullBytes = static_cast<uint64_t>(pVol->MftRecordClusters) * pVol->ClusterSize;
    auto* pClusters = static_cast<uint8_t*>(
        VX_CALLOC(ullBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pBuffer - Record #" VX_U64,
                  VX_WHERE, ullRecord));
    uint64_t ullCount = pVol->MftRecordClusters;
    const int ok = ReadStreamVcns(pVol, pVol->pMftData, ullVcn, &ullCount, pClusters);
    if (ok) memcpy(pRecord, pClusters + ullInCluster, pVol->MftRecordSize);
    VX_FREE(pClusters, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pBuffer - Requested record #" VX_U64,
            VX_WHERE, ullRecord);
    return ok;
}

}  // namespace

void InvalidateRecordCache(Volume* pVol) {
    RecordCache* pCache = pVol->pRecordCache;
    if (pCache == nullptr) return;
    for (CacheSlot& s : pCache->walk) s.bUsed = false;
    for (CacheSlot& s : pCache->unit) s.bUsed = false;
    pCache->bWalked = false;
}

void ReleaseRecordCache(Volume* pVol) {
    if (pVol->pRecordCache == nullptr) return;
    FreeSlots(pVol->pRecordCache);
    VX_FREE(pVol->pRecordCache, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pRecordCache", VX_WHERE);
    pVol->pRecordCache = nullptr;
}

int CheckRecord(uint8_t* pRecord, uint32_t dwRecordSize) {
    if (DiskioDebugStream != nullptr && DiskioDumpRecords)
        DumpHex(DiskioDebugStream, pRecord, dwRecordSize);
    if (dwRecordSize < 8 ||
        memcmp(pRecord + record_header::kSignature, "FILE", record_header::kSignatureSize) != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: not a file record", VX_WHERE);
        return 0;
    }
    const uint32_t dwUsaOffset = vx_le16(pRecord, dwRecordSize, record_header::kUsaOffset);
    const uint16_t wUsaCount = vx_le16(pRecord, dwRecordSize, record_header::kUsaCount);
    if (!vx_fits(dwRecordSize, dwUsaOffset, 2)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: update sequence array outside the record - Record size : %u "
                    "Offset : %u",
                    VX_WHERE, dwRecordSize, dwUsaOffset);
        return 0;
    }
    const uint16_t wUsn = vx_le16(pRecord, dwRecordSize, dwUsaOffset);
    const uint16_t n = static_cast<uint16_t>(wUsaCount - 1);
    for (uint32_t k = 1; k <= n; k++) {
        const uint64_t p = static_cast<uint64_t>(k) * kFixupStride - 2;
        if (p + 2 > dwRecordSize) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: inconsistent number of update values - Record size : %u # "
                        "of update values %u",
                        VX_WHERE, dwRecordSize, static_cast<unsigned>(wUsaCount - 1));
            return 0;
        }
        const uint64_t ullEntry = dwUsaOffset + 2ull * k;
        if (ullEntry + 2 > dwRecordSize) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: update sequence array runs past the record - Record size : "
                        "%u # of update values %u",
                        VX_WHERE, dwRecordSize, static_cast<unsigned>(wUsaCount - 1));
            return 0;
        }
        const uint16_t wFound = vx_le16(pRecord, dwRecordSize, p);
        if (wFound != wUsn) {
            log_message(VX_ERROR, "%s %s() l.%d: bad sector - Update value : %u sector value : %u",
                        VX_WHERE, wUsn, wFound);
            return 0;
        }
        vx_put16(pRecord, dwRecordSize, p, vx_le16(pRecord, dwRecordSize, ullEntry));
    }
    return 1;
}

// Deleting a file moves its base record on to the next sequence number (0
// is skipped), while its extension records keep the reference of the
// generation they belonged to: an erased file's extensions name the
// sequence just before its own.
static bool ErasedGeneration(uint16_t wBaseSequence, uint16_t wReferenced) {
    const uint16_t wNext = static_cast<uint16_t>(wReferenced + 1 == 0x10000 ? 1 : wReferenced + 1);
    return wReferenced != 0 && wNext == wBaseSequence;
}

int ReadRecord(Entry* pEntry, uint64_t ullRecord, int isBase, int erasedOnly) {
    Volume* pVol = pEntry->pVolume;
    if (isBase) {
        pEntry->wAttrCount = 0;
        pEntry->pAttrList = nullptr;
    }
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream,
                isBase ? "\nLooking for base record #" VX_U64 "\n"
                       : "Looking for extended record #" VX_U64 "\n",
                ullRecord);
    // The record alone: the clusters around it stay in the reader's cache.
    auto* pBuffer = static_cast<uint8_t*>(
        VX_CALLOC(pVol->MftRecordSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pBuffer - Record #" VX_U64,
                  VX_WHERE, ullRecord));
    int status = VX_OK;
    const uint64_t ullRecordSize = pVol->MftRecordSize;
    uint8_t* pRecord = pBuffer;
    if (ullRecord > UINT64_MAX / ullRecordSize) {
        // The byte offset would wrap round to some other record.
        log_message(VX_ERROR, "%s %s() l.%d: ReadStreamVcns failure - Record #" VX_U64, VX_WHERE,
                    ullRecord);
        status = VX_FAILED;
    } else if (!ReadMftRecord(pVol, ullRecord * ullRecordSize, ullRecord, pRecord)) {
        log_message(VX_ERROR, "%s %s() l.%d: ReadStreamVcns failure - Record #" VX_U64, VX_WHERE,
                    ullRecord);
        status = VX_FAILED;
    } else if (!CheckRecord(pRecord, pVol->MftRecordSize)) {
        log_message(VX_ERROR, "%s %s() l.%d: CheckRecord failure - Record #" VX_U64, VX_WHERE,
                    ullRecord);
        status = VX_FAILED;
    }
    if (status == VX_OK) {
        const uint32_t dwSize = pVol->MftRecordSize;
        const uint64_t ullBaseRef = vx_le48(pRecord, dwSize, record_header::kBaseRecord);
        const uint16_t wBaseSeq = vx_le16(pRecord, dwSize, record_header::kBaseSequence);
        const bool bAcceptable =
            isBase ? (ullBaseRef == 0 && wBaseSeq == 0)
                   : (ullBaseRef == pEntry->ullBaseRecord &&
                      (wBaseSeq == pEntry->wSequence ||
                       (pEntry->wLinkCount == 0 && ErasedGeneration(pEntry->wSequence, wBaseSeq))));
        if (!bAcceptable) {
            if (DiskioDebugStream != nullptr) fputs("Extended record detected\n", DiskioDebugStream);
            if (isBase)
                log_message(VX_WARNING,
                            "%s %s() l.%d: not a base record (base #" VX_U64
                            ") - Requested record #" VX_U64,
                            VX_WHERE, ullBaseRef, ullRecord);
            else
                log_message(VX_ERROR,
                            "%s %s() l.%d: wrong parent file reference " VX_U64 "-%u (" VX_U64
                            "-%u expected) - Requested record #" VX_U64,
                            VX_WHERE, ullBaseRef, wBaseSeq, pEntry->ullBaseRecord,
                            pEntry->wSequence, ullRecord);
            status = VX_FAILED;
        }
    }
    if (status == VX_OK) {
        const uint32_t dwSize = pVol->MftRecordSize;
        if (isBase) {
            pEntry->ullBaseRecord = ullRecord;
            pEntry->wSequence = vx_le16(pRecord, dwSize, record_header::kSequence);
            pEntry->wLinkCount = vx_le16(pRecord, dwSize, record_header::kLinkCount);
            pEntry->wFlags = vx_le16(pRecord, dwSize, record_header::kFlags);
            if ((pEntry->wFlags & record_header::kFlagInUse) == 0) pEntry->wLinkCount = 0;
            pEntry->bDirectory = (pEntry->wFlags & record_header::kFlagDirectory) != 0 ? 1 : 0;
            pEntry->wAttrCount = 0;
            pEntry->pAttrList = nullptr;
        }
        // A file in use is not wanted in an erased-only run: its header is enough.
        if (!(pEntry->wLinkCount != 0 && erasedOnly)) {
            if (!ReadAllAttributes(pEntry, pRecord, dwSize)) status = VX_FAILED;
        }
    }
    VX_FREE(pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pBuffer - Requested record #" VX_U64,
            VX_WHERE, ullRecord);
    return status;
}
