// Stream reading: every byte read from a file's stream, the MFT included,
// passes through here, by VCN through the Runlist or by byte range.
#include <cstring>

#include "diskio/diskio.h"
#include "base/vx_log.h"

#define VX_MODULE "diskio"

namespace {

// The zeros a sparse chunk is passed on from, a piece at a time, rather
// than from a buffer filled with them for every chunk.
constexpr uint32_t kZeroPiece = 1u << 18;
const uint8_t kZeros[kZeroPiece] = {};

// Whether the clusters from ullVcn on, ullCount of them, all lie in sparse
// runs; a cluster the runlist does not hold makes it false, so that such a
// chunk is read and gets the diagnostics of a read.
bool AllSparse(const Attribute* pAttr, uint64_t ullVcn, uint64_t ullCount) {
    uint64_t ullRun = 0;
    uint64_t ullOffset = ullVcn;
    if (!FindRun(pAttr, &ullRun, &ullOffset)) return false;
    for (; ullRun < pAttr->ullRunCount; ullRun++) {
        const Run& run = pAttr->pRunlist[ullRun];
        if (run.llLcn != kSparseLcn) return false;
        const uint64_t n = run.ullLength - ullOffset;
        if (n >= ullCount) return true;
        ullCount -= n;
        ullOffset = 0;
    }
    return false;
}

}  // namespace

int ReadStreamVcns(Volume* pVol, const Attribute* pAttr, uint64_t ullVcn, uint64_t* pullCount,
                   void* pDest) {
    if (pAttr->bResident) {
        log_message(VX_ERROR, "%s %s() l.%d: do not apply to resident streams", VX_WHERE);
        *pullCount = 0;
        return 0;
    }
    // A copy of the $MFT holds the clusters of the $MFT and $SDS alone.
    if (pVol->pCopy != nullptr && pAttr != pVol->pMftData && pAttr != pVol->pSecureData) {
        log_message(VX_ERROR, "%s %s() l.%d: (attribute 0x%x) non-resident: its clusters are not "
                    "in the copy of $MFT", VX_WHERE, pAttr->dwType);
        *pullCount = 0;
        return 0;
    }
    if (pAttr->wFlags != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: compressed attributes not implemented", VX_WHERE);
        *pullCount = 0;
        return 0;
    }
    const uint64_t ullCluster = pVol->ClusterSize;
    uint64_t ullWanted = *pullCount;
    uint64_t ullDelivered = 0;
    uint64_t ullRun = 0;
    uint64_t ullOffset = ullVcn;
    auto* pOut = static_cast<uint8_t*>(pDest);
    if (ullWanted > 0 && FindRun(pAttr, &ullRun, &ullOffset)) {
        for (; ullRun < pAttr->ullRunCount && ullWanted > 0; ullRun++) {
            const Run& run = pAttr->pRunlist[ullRun];
            uint64_t n = run.ullLength - ullOffset;
            if (n > ullWanted) n = ullWanted;
            if (run.llLcn == kSparseLcn) {
                memset(pOut, 0, n * ullCluster);
            } else {
                uint64_t ullGot = n;
                // The count says what arrived, whatever went wrong.
                (void)ReadClusters(pVol, static_cast<uint64_t>(run.llLcn) + ullOffset, &ullGot,
                                   pOut);
                if (ullGot < n) {
                    log_message(VX_ERROR,
                                "%s %s() l.%d: (attribute 0x%x) only " VX_U64 " out of " VX_U64
                                " clusters read at Lcn 0x" VX_X64,
                                VX_WHERE, pAttr->dwType, ullGot, n,
                                static_cast<uint64_t>(run.llLcn));
                    *pullCount = ullDelivered + ullGot;
                    return 0;
                }
            }
            pOut += n * ullCluster;
            ullDelivered += n;
            ullWanted -= n;
            ullOffset = 0;
        }
    }
    if (ullWanted > 0) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: (attribute 0x%x) " VX_U64 " clusters not found in runlist",
                    VX_WHERE, pAttr->dwType, ullWanted);
        // The count tells what arrived, so that no caller takes the clusters
        // that were never read for data.
        *pullCount = ullDelivered;
        return 0;
    }
    return 1;
}

int ReadStreamBytes(Volume* pVol, const Attribute* pAttr, uint64_t ullOffset, uint64_t* pullCount,
                    void* pDest) {
    if (ullOffset > pAttr->ullSize) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: Offset (0x" VX_X64 ") > stream size (0x" VX_X64 ")", VX_WHERE,
                    ullOffset, pAttr->ullSize);
        *pullCount = 0;
        return 0;
    }
    if (pAttr->bResident) {
        uint64_t n = pAttr->ullSize - ullOffset;
        if (n > *pullCount) n = *pullCount;
        if (n > 0 && (pDest == nullptr || pAttr->pStream == nullptr)) {
            log_message(VX_ERROR_SYS,
                        "%s %s() l.%d: CopyMemory resident stream - Requested length : %u",
                        VX_WHERE, static_cast<unsigned>(n));
            *pullCount = 0;
            return 0;
        }
        if (n > 0) memcpy(pDest, pAttr->pStream + ullOffset, n);
        *pullCount = n;
        return 1;
    }
    if (pAttr->wFlags != 0) {
        log_message(VX_ERROR, "%s %s() l.%d: compressed attributes not implemented", VX_WHERE);
        *pullCount = 0;
        return 0;
    }
    const uint64_t ullCluster = pVol->ClusterSize;
    uint64_t ullVcn = ullOffset / ullCluster;
    uint64_t ullInCluster = ullOffset % ullCluster;
    uint64_t ullWanted = *pullCount;
    uint64_t ullDone = 0;
    auto* pOut = static_cast<uint8_t*>(pDest);
    while (ullWanted > 0) {
        if (ullInCluster == 0 && ullWanted >= ullCluster) {
            const uint64_t ullClusters = ullWanted / ullCluster;
            uint64_t ullGot = ullClusters;
            if (!ReadStreamVcns(pVol, pAttr, ullVcn, &ullGot, pOut + ullDone)) {
                // Clusters that did arrive before the failure are delivered.
                *pullCount = ullDone + ullGot * ullCluster;
                return 0;
            }
            ullDone += ullClusters * ullCluster;
            ullWanted -= ullClusters * ullCluster;
            ullVcn += ullClusters;
        } else {
            uint64_t ullOne = 1;
            if (!ReadStreamVcns(pVol, pAttr, ullVcn, &ullOne, PClusterBuffer)) {
                *pullCount = ullDone;
                return 0;
            }
            uint64_t n = ullCluster - ullInCluster;
            if (n > ullWanted) n = ullWanted;
            if (pOut == nullptr) {
                log_message(VX_ERROR_SYS,
                            "%s %s() l.%d: CopyMemory from PClusterBuffer - Requested length : %u",
                            VX_WHERE, static_cast<unsigned>(n));
                *pullCount = ullDone;
                return 0;
            }
            memcpy(pOut + ullDone, PClusterBuffer + ullInCluster, n);
            ullDone += n;
            ullWanted -= n;
            ullInCluster = 0;
            ullVcn++;
        }
    }
    return 1;
}

uint64_t MaxValueSize(const Volume* pVol, uint32_t dwType) {
    if (dwType == pVol->AttrTypes[ATTR_STANDARD_INFORMATION] ||
        dwType == pVol->AttrTypes[ATTR_FILE_NAME] ||
        dwType == pVol->AttrTypes[ATTR_VOLUME_INFORMATION])
        return kMaxRecordValue;
    if (dwType == pVol->AttrTypes[ATTR_SECURITY_DESCRIPTOR]) return kMaxDescriptorValue;
    if (dwType == pVol->AttrTypes[ATTR_ATTRIBUTE_LIST]) return kMaxAttributeListValue;
    return kMaxStreamBuffer;
}

uint8_t* GetStreamBuffer(const Entry* pEntry, const Attribute* pAttr, uint64_t* pullSize) {
    *pullSize = pAttr->ullSize;
    if (pAttr->bResident) return pAttr->pStream;
    const uint64_t ullMaxValue = MaxValueSize(pEntry->pVolume, pAttr->dwType);
    if (pAttr->ullSize > ullMaxValue) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: attribute 0x%x of 0x" VX_X64 " bytes beyond the 0x" VX_X64
                    " bytes a value of its type can hold, not read - Base record #" VX_U64,
                    VX_WHERE, pAttr->dwType, pAttr->ullSize, ullMaxValue, pEntry->ullBaseRecord);
        *pullSize = 0;
        return nullptr;
    }
    // One buffer cannot hold 4 GiB or more, and a stream larger than the
    // volume can only come from a damaged record.
    const Volume* pVol = pEntry->pVolume;
    const uint64_t ullVolumeBytes = pVol->ClusterNumber * pVol->ClusterSize;
    if (pAttr->ullSize >= kMaxStreamBuffer || pAttr->ullSize > ullVolumeBytes) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: stream too large to be read (0x" VX_X64
                    " bytes) - Base record #" VX_U64 ", attribute type 0x%x",
                    VX_WHERE, pAttr->ullSize, pEntry->ullBaseRecord, pAttr->dwType);
        *pullSize = 0;
        return nullptr;
    }
    auto* pBuffer = static_cast<uint8_t*>(
        VX_CALLOC(pAttr->ullSize, 1, VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC base record #" VX_U64 ", attribute type 0x%x", VX_WHERE,
                  pEntry->ullBaseRecord, pAttr->dwType));
    // *pullSize becomes what arrived: a caller reads no further than that.
    (void)ReadStreamBytes(pEntry->pVolume, pAttr, 0, pullSize, pBuffer);
    return pBuffer;
}

void ReleaseStreamBuffer(const Attribute* pAttr, uint8_t* pBuffer) {
    if (!pAttr->bResident && pBuffer != nullptr)
        VX_FREE(pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pBuffer", VX_WHERE);
}

uint64_t LeadingSparseBytes(const Run* pRuns, uint64_t ullRunCount, uint64_t ullCluster,
                            uint64_t ullSize) {
    if (ullCluster == 0) return 0;
    const uint64_t ullMaxClusters = ullSize / ullCluster + 1;
    uint64_t ullClusters = 0;
    for (uint64_t r = 0; r < ullRunCount && pRuns[r].llLcn == kSparseLcn; r++) {
        // Lengths of a damaged runlist may add up past any stream.
        if (pRuns[r].ullLength >= ullMaxClusters - ullClusters) return ullSize;
        ullClusters += pRuns[r].ullLength;
    }
    return ullClusters * ullCluster < ullSize ? ullClusters * ullCluster : ullSize;
}

int ProcessStream(const Entry* pEntry, const Attribute* pAttr, StreamCallback pfnCallback,
                  void* pContext) {
    return ProcessStreamFrom(pEntry, pAttr, 0, pfnCallback, pContext);
}

int ProcessStreamFrom(const Entry* pEntry, const Attribute* pAttr, uint64_t ullStart,
                      StreamCallback pfnCallback, void* pContext) {
    if (pAttr->bResident) {
        pfnCallback(pContext, pAttr->pStream, static_cast<uint32_t>(pAttr->ullSize));
        return 1;
    }
    if (PProcessStreamBuffer == nullptr)
        PProcessStreamBuffer = static_cast<uint8_t*>(VX_CALLOC(
            ProcessChunkSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC PProcessStreamBuffer",
            VX_WHERE));
    uint64_t ullOffset = ullStart;
    while (ullOffset < pAttr->ullSize) {
        uint64_t n = pAttr->ullSize - ullOffset;
        if (n > ProcessChunkSize) n = ProcessChunkSize;
        const uint64_t ullCluster = pEntry->pVolume->ClusterSize;
        if (pAttr->wFlags == 0 && ullOffset % ullCluster == 0 &&
            AllSparse(pAttr, ullOffset / ullCluster, (n + ullCluster - 1) / ullCluster)) {
            for (uint64_t ullDone = 0; ullDone < n; ullDone += kZeroPiece)
                pfnCallback(pContext, kZeros,
                            static_cast<uint32_t>(n - ullDone < kZeroPiece ? n - ullDone
                                                                           : kZeroPiece));
            ullOffset += n;
            continue;
        }
        // n becomes what arrived; a short read ends the stream there.
        (void)ReadStreamBytes(pEntry->pVolume, pAttr, ullOffset, &n, PProcessStreamBuffer);
        if (n == 0) break;
        ullOffset += n;
        pfnCallback(pContext, PProcessStreamBuffer, static_cast<uint32_t>(n));
    }
    return ullOffset >= pAttr->ullSize ? 1 : 0;
}
