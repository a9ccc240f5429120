// MFT records: a record number turned into a checked, fixed-up image of the
// record, whose attributes go into an Entry.
#include <cstring>

#include "diskio/diskio.h"
#include "diskio/le.h"
#include "report/vx_dump.h"
#include "run/vx_log.h"

#define VX_MODULE "diskio"

namespace {

// The clusters of $MFT data read last.  Small records share clusters (eight
// 1 KiB records in a 4 KiB cluster, 2048 in a 2 MiB one); keeping the last
// clusters read spares the device a read for every record after the first.
// The image is kept as read, before fixups: each record is fixed up in its
// own buffer.
struct RecordCache {
    uint8_t* pData;
    uint64_t ullClusters;  // size of pData in clusters
    uint64_t ullVcn;
    bool bValid;
};
RecordCache g_cache = {nullptr, 0, 0, false};

// Reads `ullClusters` clusters at `ullVcn` of the $MFT data into pDest,
// through the cache.
int ReadMftClusters(Volume* pVol, uint64_t ullVcn, uint64_t ullClusters, uint8_t* pDest) {
    const uint64_t ullBytes = ullClusters * pVol->ClusterSize;
    if (g_cache.bValid && g_cache.ullVcn == ullVcn && g_cache.ullClusters == ullClusters) {
        memcpy(pDest, g_cache.pData, ullBytes);
        return 1;
    }
    uint64_t ullCount = ullClusters;
    if (!ReadStreamVcns(pVol, pVol->pMftData, ullVcn, &ullCount, pDest)) {
        g_cache.bValid = false;
        return 0;
    }
    if (g_cache.ullClusters != ullClusters) {
        if (g_cache.pData != nullptr)
            VX_FREE(g_cache.pData, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record cache", VX_WHERE);
        g_cache.pData = static_cast<uint8_t*>(VX_CALLOC(
            ullClusters, pVol->ClusterSize, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC record cache",
            VX_WHERE));
        g_cache.ullClusters = ullClusters;
    }
    memcpy(g_cache.pData, pDest, ullBytes);
    g_cache.ullVcn = ullVcn;
    g_cache.bValid = true;
    return 1;
}

}  // namespace

void InvalidateRecordCache() { g_cache.bValid = false; }

void ReleaseRecordCache() {
    if (g_cache.pData != nullptr)
        VX_FREE(g_cache.pData, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record cache", VX_WHERE);
    g_cache = RecordCache{nullptr, 0, 0, false};
}

int CheckRecord(uint8_t* pRecord, uint32_t dwRecordSize) {
    if (DiskioDebugStream != nullptr && DiskioDumpRecords)
        DumpHex(DiskioDebugStream, pRecord, dwRecordSize);
    if (dwRecordSize < 8 || memcmp(pRecord, "FILE", 4) != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: not a file record", VX_WHERE);
        return 0;
    }
    const uint32_t dwUsaOffset = vx_le16(pRecord, dwRecordSize, 0x04);
    const uint16_t wUsaCount = vx_le16(pRecord, dwRecordSize, 0x06);
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
    const uint64_t ullBufferSize = static_cast<uint64_t>(pVol->MftRecordClusters) * pVol->ClusterSize;
    auto* pBuffer = static_cast<uint8_t*>(
        VX_CALLOC(ullBufferSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pBuffer - Record #" VX_U64,
                  VX_WHERE, ullRecord));
    int status = VX_OK;
    const uint64_t ullRecordSize = pVol->MftRecordSize;
    uint8_t* pRecord = nullptr;
    if (ullRecord > UINT64_MAX / ullRecordSize) {
        // The byte offset would wrap round to some other record.
        log_message(VX_ERROR, "%s %s() l.%d: ReadStreamVcns failure - Record #" VX_U64, VX_WHERE,
                    ullRecord);
        status = VX_FAILED;
    } else {
        const uint64_t ullOffset = ullRecord * ullRecordSize;
        const uint64_t ullVcn = ullOffset / pVol->ClusterSize;
        pRecord = pBuffer + ullOffset % pVol->ClusterSize;
        if (!ReadMftClusters(pVol, ullVcn, pVol->MftRecordClusters, pBuffer)) {
            log_message(VX_ERROR, "%s %s() l.%d: ReadStreamVcns failure - Record #" VX_U64,
                        VX_WHERE, ullRecord);
            status = VX_FAILED;
        } else if (!CheckRecord(pRecord, pVol->MftRecordSize)) {
            log_message(VX_ERROR, "%s %s() l.%d: CheckRecord failure - Record #" VX_U64, VX_WHERE,
                        ullRecord);
            status = VX_FAILED;
        }
    }
    if (status == VX_OK) {
        const uint32_t dwSize = pVol->MftRecordSize;
        const uint64_t ullBaseRef = vx_le48(pRecord, dwSize, 0x20);
        const uint16_t wBaseSeq = vx_le16(pRecord, dwSize, 0x26);
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
            pEntry->wSequence = vx_le16(pRecord, dwSize, 0x10);
            pEntry->wLinkCount = vx_le16(pRecord, dwSize, 0x12);
            pEntry->wFlags = vx_le16(pRecord, dwSize, 0x16);
            if ((pEntry->wFlags & 0x0001) == 0) pEntry->wLinkCount = 0;
            pEntry->bDirectory = (pEntry->wFlags & 0x0002) != 0 ? 1 : 0;
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
