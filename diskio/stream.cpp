// Stream reading: every byte read from a file's stream, the MFT included,
// passes through here, by VCN through the Runlist or by byte range.
#include <cstring>

#include "diskio/diskio.h"
#include "base/vx_log.h"
#include "platform/platform.h"

#define VX_MODULE "diskio"

int StreamCodecMissing = 0;

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

// The main thread's unit reader: its buffers and decoders are made by the
// first compressed stream and kept until the volume closes.
UnitReader g_units{};
uint8_t* g_pUnit = nullptr;  // one decoded unit

int ReadVolumeClusters(void* pContext, uint64_t ullLcn, uint64_t ullCount, uint8_t* pOut) {
    uint64_t ullGot = ullCount;
    return ReadClusters(static_cast<Volume*>(pContext), ullLcn, &ullGot, pOut) &&
           ullGot == ullCount;
}

void CodecMissing(const Attribute* pAttr) {
    StreamCodecMissing = 1;
    log_message(VX_ERROR,
                "%s %s() l.%d: (attribute 0x%x) LZNT1-compressed stream not read: this build "
                "has no %s",
                VX_MODULE, "ReadCompressedBytes", __LINE__, pAttr->dwType,
                vx_plat_codec_library(VX_CODEC_LZNT1));
}

// Bytes of a compressed stream, a unit at a time; past its initialized
// size, zeros.  *pullCount becomes what was delivered.
int ReadCompressedBytes(Volume* pVol, const Attribute* pAttr, uint64_t ullOffset,
                        uint64_t* pullCount, void* pDest) {
    const uint64_t c = pVol->ClusterSize;
    if (pVol->pCopy != nullptr) {  // a copy of the $MFT holds no file's clusters
        log_message(VX_ERROR, "%s %s() l.%d: (attribute 0x%x) non-resident: its clusters are not "
                    "in the copy of $MFT", VX_WHERE, pAttr->dwType);
        *pullCount = 0;
        return 0;
    }
    if (!CompressionSupported(pAttr->wFlags, pAttr->wCompressionUnit, c)) {
        log_message(VX_ERROR, "%s %s() l.%d: compressed attributes not implemented", VX_WHERE);
        *pullCount = 0;
        return 0;
    }
    if (g_units.pInput == nullptr) {
        g_units.pInput = static_cast<uint8_t*>(VX_CALLOC(
            kMaxUnitBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC unit input", VX_WHERE));
        g_pUnit = static_cast<uint8_t*>(VX_CALLOC(kMaxUnitBytes, 1, VX_FATAL_SYS,
                                                  "%s %s l. %d: VX_CALLOC unit", VX_WHERE));
    }
    g_units.pCodecs = MainThreadCodecs();
    g_units.ullCluster = c;
    g_units.ullClusters = pVol->ClusterNumber;
    g_units.pfnRead = ReadVolumeClusters;
    g_units.pReadContext = pVol;
    // A unit is decoded once for each read of its bytes (the Attribute may
    // be another file's at the next call).
    uint64_t ullHeld = UINT64_MAX;
    const uint64_t ullUnitBytes = kUnitClusters * c;
    const uint64_t ullStreamClusters = pAttr->ullSize / c + (pAttr->ullSize % c != 0 ? 1 : 0);
    auto* pOut = static_cast<uint8_t*>(pDest);
    uint64_t ullDone = 0;
    while (ullDone < *pullCount) {
        const uint64_t ullAt = ullOffset + ullDone;
        const uint64_t ullUnit = ullAt / ullUnitBytes;
        if (ullUnit != ullHeld) {
            uint64_t ullWhere = 0;
            const int status = ReadCompressionUnit(&g_units, pAttr->pRunlist, pAttr->ullRunCount,
                                                   ullStreamClusters, ullUnit, g_pUnit, &ullWhere);
            if (status != UNIT_OK) {
                const uint64_t ullVcn = ullUnit * kUnitClusters;
                if (status == UNIT_READ_FAILED)
                    log_message(VX_ERROR,
                                "%s %s() l.%d: (attribute 0x%x) compression unit at Vcn 0x" VX_X64
                                " not read: cluster read failed at Lcn 0x" VX_X64,
                                VX_WHERE, pAttr->dwType, ullVcn, ullWhere);
                else if (status == UNIT_NOT_MAPPED)
                    log_message(VX_ERROR,
                                "%s %s() l.%d: (attribute 0x%x) compression unit at Vcn 0x" VX_X64
                                " not found in runlist",
                                VX_WHERE, pAttr->dwType, ullVcn);
                else if (status == UNIT_NO_CODEC)
                    CodecMissing(pAttr);
                else
                    log_message(VX_ERROR,
                                "%s %s() l.%d: (attribute 0x%x) compression unit at Vcn 0x" VX_X64
                                " is damaged: it does not decompress as LZNT1 or lies outside "
                                "the volume",
                                VX_WHERE, pAttr->dwType, ullVcn);
                *pullCount = ullDone;
                return 0;
            }
            // What was never written reads as zeros.
            const uint64_t ullStart = ullUnit * ullUnitBytes;
            if (pAttr->ullInitSize < ullStart + ullUnitBytes) {
                const uint64_t ullFrom =
                    pAttr->ullInitSize > ullStart ? pAttr->ullInitSize - ullStart : 0;
                memset(g_pUnit + ullFrom, 0, ullUnitBytes - ullFrom);
            }
            ullHeld = ullUnit;
        }
        const uint64_t ullIn = ullAt % ullUnitBytes;
        uint64_t n = ullUnitBytes - ullIn;
        if (n > *pullCount - ullDone) n = *pullCount - ullDone;
        memcpy(pOut + ullDone, g_pUnit + ullIn, n);
        ullDone += n;
    }
    return 1;
}

}  // namespace

VxCodecs* MainThreadCodecs() {
    if (g_units.pCodecs == nullptr) g_units.pCodecs = vx_plat_codecs_new();
    return g_units.pCodecs;
}

void ReleaseUnitReader() {
    if (g_units.pInput != nullptr) {
        VX_FREE(g_units.pInput, VX_FATAL_SYS, "%s %s l. %d: VX_FREE unit input", VX_WHERE);
        VX_FREE(g_pUnit, VX_FATAL_SYS, "%s %s l. %d: VX_FREE unit", VX_WHERE);
    }
    vx_plat_codecs_free(g_units.pCodecs);
    g_units = UnitReader{};
    g_pUnit = nullptr;
}

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
    const uint64_t ullCluster = pVol->ClusterSize;
    if ((pAttr->wFlags & kAttrCompressionMask) != 0) {
        uint64_t ullBytes = *pullCount > UINT64_MAX / ullCluster ? 0 : *pullCount * ullCluster;
        const int ok = ullVcn <= UINT64_MAX / ullCluster &&
                       ReadCompressedBytes(pVol, pAttr, ullVcn * ullCluster, &ullBytes, pDest);
        *pullCount = ok ? *pullCount : ullBytes / ullCluster;
        return ok;
    }
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
    if ((pAttr->wFlags & kAttrCompressionMask) != 0)
        return ReadCompressedBytes(pVol, pAttr, ullOffset, pullCount, pDest);
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
        if ((pAttr->wFlags & kAttrCompressionMask) == 0 && ullOffset % ullCluster == 0 &&
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
