// The MD5 digest of a file: every $DATA stream, in the order of its
// Attributes, through one digest.
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/digest_pool.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "report/zero_chain.h"

#define VX_MODULE "info"

std::atomic<uint64_t> InfoHashedBytes{0};

namespace {

// pContext: the bytes given to the digest so far.
void Md5Update(void* pContext, const uint8_t* pData, uint32_t dwLength) {
    *static_cast<uint64_t*>(pContext) += dwLength;
    vx_plat_md5_update(pData, dwLength);
    InfoHashedBytes.fetch_add(dwLength, std::memory_order_relaxed);
}

}  // namespace

int ComputeMd5(const Entry* pEntry, uint8_t digest[16], const char** ppszNoDigest) {
    return ComputeMd5Placed(pEntry, FindDataPlace(pEntry), digest, ppszNoDigest);
}

int ComputeMd5Placed(const Entry* pEntry, const DataPlace& place, uint8_t digest[16],
                     const char** ppszNoDigest) {
    int ok = 1;
    if (ppszNoDigest != nullptr) *ppszNoDigest = nullptr;
    if (!vx_plat_md5_init())
        log_message(VX_FATAL_SYS, "%s %s() l.%d: MD5 unavailable", VX_MODULE, "DumpMd5", __LINE__);
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    // Data the reparse point places elsewhere is not digested as the zeros
    // of the sparse stream left on the volume.
    if (place.iPlace == DATA_ELSEWHERE || place.iPlace == DATA_BAD_REPARSE) {
        log_message(place.iPlace == DATA_ELSEWHERE ? VX_WARNING : VX_ERROR,
                    "%s %s() l.%d: no digest, %s - Base record #" VX_U64, VX_MODULE, "DumpMd5",
                    __LINE__, place.pszWhy, pEntry->ullBaseRecord);
        if (ppszNoDigest != nullptr) *ppszNoDigest = place.pszWhy;
        vx_plat_md5_final(digest);
        return place.iPlace == DATA_ELSEWHERE ? 1 : 0;
    }
    int bEncrypted = 0;
    StreamCodecMissing = 0;
    uint64_t ullGiven = 0;
    uint64_t ullSkipped = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount && ok; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData) continue;
        if ((pAttr->wFlags & kAttrEncrypted) != 0 && !bEncrypted) {
            bEncrypted = 1;
            log_message(VX_WARNING,
                        "%s %s() l.%d: encrypted (EFS) stream, the digest is of its stored "
                        "ciphertext - Base record #" VX_U64,
                        VX_MODULE, "DumpMd5", __LINE__, pEntry->ullBaseRecord);
        }
        if (place.iPlace == DATA_WOF && IsWofStream(pAttr)) continue;  // the storage, not content
        if (place.iPlace == DATA_WOF && pAttr->wNameLength == 0) {
            const Attribute* pWof = nullptr;
            for (uint16_t w = 0; w < pEntry->wAttrCount && pWof == nullptr; w++)
                if (pEntry->pAttrList[w].dwType == dwData && IsWofStream(&pEntry->pAttrList[w]))
                    pWof = &pEntry->pAttrList[w];
            if (pWof == nullptr)
                log_message(VX_ERROR,
                            "%s %s() l.%d: WOF-compressed file without its WofCompressedData "
                            "stream - Base record #" VX_U64,
                            VX_MODULE, "DumpMd5", __LINE__, pEntry->ullBaseRecord);
            ok = pWof != nullptr && ProcessWofStream(pEntry, pAttr, pWof, place.dwAlgorithm,
                                                     Md5Update, &ullGiven);
        } else {
            uint64_t ullStart = 0;
            // Reads after the zeros keep the chunk boundaries of a read from the
            // start, and with them every diagnostic of a read that fails.
            if (ullGiven == 0 && !pAttr->bResident &&
                (pAttr->wFlags == 0 || pAttr->wFlags == kAttrSparse) &&
                kZeroChainStep % ProcessChunkSize == 0) {
                ullStart = SkipLeadingZerosMd5(
                    nullptr, LeadingSparseBytes(pAttr->pRunlist, pAttr->ullRunCount,
                                                pEntry->pVolume->ClusterSize, pAttr->ullSize));
                ullGiven = ullSkipped = ullStart;
            }
            ok = ProcessStreamFrom(pEntry, pAttr, ullStart, Md5Update, &ullGiven);
        }
        if (!ok)
            log_message(VX_ERROR,
                        "%s %s() l.%d: error while processing MD5 - Base record #" VX_U64,
                        VX_MODULE, "DumpMd5", __LINE__, pEntry->ullBaseRecord);
    }
    // What this build cannot decompress has no digest, not that of the
    // bytes before it.
    if (StreamCodecMissing && ppszNoDigest != nullptr)
        *ppszNoDigest = "this build cannot decompress the stream";
    vx_plat_md5_final(digest);
    NoteDigestBytes(ullGiven - ullSkipped);
    return ok;
}

std::atomic<uint64_t> InfoDigestsLeftOut{0};

int DigestLeftOut(const Entry* pEntry) {
    if (pEntry->pVolume->pCopy == nullptr) return 0;
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType == dwData && !pAttr->bResident) {
            InfoDigestsLeftOut.fetch_add(1, std::memory_order_relaxed);
            return 1;
        }
    }
    return 0;
}

int DumpMd5(FILE* stream, const Entry* pEntry, int lineMode) {
    // A copy of the $MFT holds no clusters: the field stays empty, counted
    // in one diagnostic at the end of the run.
    if (DigestLeftOut(pEntry)) {
        fputs(lineMode ? "|" : "MD5 hash value : \n", stream);
        return 1;
    }
    // With the hashing threads the digest is written in its place later.
    DigestJob* pJob = DigestPoolPrepare(stream, pEntry);
    if (pJob != nullptr) {
        if (!lineMode) fputs("MD5 hash value : ", stream);
        DigestPoolSubmit(pJob);
        fputs(lineMode ? "|" : "\n", stream);
        return 1;
    }
    uint8_t digest[16];
    const char* pszNoDigest = nullptr;
    const int ok = ComputeMd5(pEntry, digest, &pszNoDigest);
    if (!lineMode) fputs("MD5 hash value : ", stream);
    if (pszNoDigest == nullptr)
        for (uint8_t b : digest) fprintf(stream, "%02x", b);
    fputs(lineMode ? "|" : "\n", stream);
    return ok;
}
