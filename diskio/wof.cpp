// Files whose data the reparse point places: WOF-compressed files (Windows'
// CompactOS and `compact /exe`), whose unnamed stream is sparse and whose
// content is the WofCompressedData stream: a table of chunk offsets, then
// the chunks, each XPRESS Huffman or LZX or, when no shorter, stored; and
// files whose data is not on the volume at all.
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/platform.h"

#define VX_MODULE "diskio"

namespace {

constexpr uint32_t kTagWof = 0x80000017;
constexpr uint32_t kTagDedup = 0x80000013;
// Cloud files: 0x9000001A, with the provider's number in bits 12 to 15.
constexpr uint32_t kTagCloudMask = 0xFFFF0FFF;
constexpr uint32_t kTagCloud = 0x9000001A;
// The reparse buffer: tag, data length, reserved, then the data; WOF's data
// is its own version and provider, then the file provider's version and
// algorithm.
constexpr uint32_t kReparseHeader = 8;
constexpr uint32_t kWofData = 16;
constexpr uint32_t kProviderWim = 1;
constexpr uint32_t kProviderFile = 2;
constexpr uint32_t kMaxChunk = kWofMaxChunk;
constexpr uint32_t kTableWindow = 4096;
static_assert(kWofBlockBytes == 2 * kMaxChunk + kTableWindow);

const vx_wchar kWofName[] = {'W', 'o', 'f', 'C', 'o', 'm', 'p', 'r', 'e', 's', 's',
                             'e', 'd', 'D', 'a', 't', 'a', 0};

DataPlace Place(int iPlace, const char* pszWhy) { return DataPlace{iPlace, 0, pszWhy}; }

// Whether any cluster of the stream's size lies in a sparse run.
bool HasHoles(const Volume* pVol, const Attribute* pAttr) {
    if (pAttr->bResident) return false;
    uint64_t ullVcn = 0;
    const uint64_t ullNeed = pAttr->ullSize / pVol->ClusterSize +
                             (pAttr->ullSize % pVol->ClusterSize != 0 ? 1 : 0);
    for (uint64_t r = 0; r < pAttr->ullRunCount && ullVcn < ullNeed; r++) {
        if (pAttr->pRunlist[r].llLcn == kSparseLcn) return true;
        ullVcn += pAttr->pRunlist[r].ullLength;
    }
    return ullVcn < ullNeed;
}

}  // namespace

int IsWofStream(const Attribute* pAttr) {
    return pAttr->wNameLength == 17 &&
           memcmp(pAttr->wszName, kWofName, sizeof kWofName) == 0;
}

DataPlace FindDataPlace(const Entry* pEntry) {
    Volume* pVol = pEntry->pVolume;
    const Attribute* pReparse = nullptr;
    for (uint16_t k = 0; k < pEntry->wAttrCount && pReparse == nullptr; k++)
        if (pEntry->pAttrList[k].dwType == pVol->AttrTypes[ATTR_REPARSE_POINT])
            pReparse = &pEntry->pAttrList[k];
    // The tag and, for WOF, the provider and algorithm: the first bytes alone.
    if (pReparse == nullptr || pReparse->ullSize < 4) return Place(DATA_ON_VOLUME, nullptr);
    uint8_t value[kReparseHeader + kWofData] = {};
    uint64_t ullSize = sizeof value;
    if (!ReadStreamBytes(pVol, pReparse, 0, &ullSize, value)) return Place(DATA_ON_VOLUME, nullptr);
    const uint8_t* pValue = value;
    const uint32_t dwTag = vx_le32(pValue, ullSize, 0);
    const vx_wchar kEmpty[] = {0};
    const Attribute* pData = FindAttribute(pEntry, pVol->AttrTypes[ATTR_DATA], kEmpty);
    DataPlace place = Place(DATA_ON_VOLUME, nullptr);
    if (dwTag == kTagWof) {
        if (ullSize < kReparseHeader + kWofData) {
            place = Place(DATA_BAD_REPARSE, "WOF reparse data shorter than its header");
        } else {
            const uint32_t dwProvider = vx_le32(pValue, ullSize, kReparseHeader + 4);
            const uint32_t dwAlgorithm = vx_le32(pValue, ullSize, kReparseHeader + 12);
            if (dwProvider == kProviderWim)
                place = Place(DATA_ELSEWHERE, "WIM-backed file (WOF provider 1): the data is in a WIM file");
            else if (dwProvider != kProviderFile)
                place = Place(DATA_BAD_REPARSE, "WOF provider unknown");
            else if (dwAlgorithm > 3)
                place = Place(DATA_BAD_REPARSE, "WOF compression algorithm unknown");
            else
                place = DataPlace{DATA_WOF, dwAlgorithm, nullptr};
        }
    } else if (dwTag == kTagDedup) {
        place = Place(DATA_ELSEWHERE, "deduplicated file: the data is in the deduplication chunk store");
    } else if ((dwTag & kTagCloudMask) == kTagCloud && pData != nullptr && HasHoles(pVol, pData)) {
        place = Place(DATA_ELSEWHERE, "cloud file placeholder: the data is not all on the volume");
    }
    return place;
}

int DecodeWofStream(const WofSource* pSource, uint64_t ullSize, uint64_t ullStored,
                    uint32_t dwAlgorithm, StreamCallback pfnCallback, void* pContext) {
    static const uint32_t kChunkSizes[4] = {4096, 32768, 8192, 16384};
    const uint32_t dwChunk = kChunkSizes[dwAlgorithm & 3];
    const int codec = dwAlgorithm == 1 ? VX_CODEC_LZX : VX_CODEC_XPRESS;
    const uint64_t ullRecord = pSource->ullRecord;
    const bool bSay = !pSource->bQuiet;
    if (ullSize == 0) return 1;
    const uint64_t ullChunks = ullSize / dwChunk + (ullSize % dwChunk != 0 ? 1 : 0);
    const uint32_t dwEntry = ullSize >= 0x100000000ull ? 8 : 4;
    // Every chunk holds a byte at least: a size whose table and chunks
    // cannot fit in the stream is refused before anything is read.
    if (ullChunks > ullStored / (dwEntry + 1)) {
        if (bSay)
            log_message(VX_ERROR,
                        "%s %s() l.%d: WofCompressedData of 0x" VX_X64 " bytes cannot hold the 0x" VX_X64
                        " chunks of a stream of 0x" VX_X64 " bytes - Base record #" VX_U64,
                        VX_MODULE, "ProcessWofStream", __LINE__, ullStored, ullChunks, ullSize,
                        ullRecord);
        return 0;
    }
    const uint64_t ullTable = (ullChunks - 1) * dwEntry;
    const uint64_t ullData = ullStored - ullTable;
    uint8_t* pIn = pSource->pBlock;
    uint8_t* pOut = pSource->pBlock + kMaxChunk;
    uint8_t* pWindow = pSource->pBlock + 2 * kMaxChunk;
    uint64_t ullWindowAt = UINT64_MAX, ullWindowBytes = 0;
    int ok = pSource->pCodecs != nullptr;
    uint64_t ullStart = 0;
    for (uint64_t i = 0; i < ullChunks && ok; i++) {
        // The end of chunk i: the table's entry i, or the end of the stream.
        uint64_t ullEnd = ullData;
        if (i + 1 < ullChunks) {
            const uint64_t ullAt = i * dwEntry;
            if (ullAt < ullWindowAt || ullAt + dwEntry > ullWindowAt + ullWindowBytes) {
                ullWindowAt = ullAt;
                ullWindowBytes = ullTable - ullAt < kTableWindow ? ullTable - ullAt : kTableWindow;
                if (!pSource->pfnRead(pSource->pReadContext, ullAt, ullWindowBytes, pWindow)) {
                    ok = 0;
                    break;
                }
            }
            const uint64_t ullIn = ullAt - ullWindowAt;
            ullEnd = dwEntry == 8 ? vx_le64(pWindow, ullWindowBytes, ullIn)
                                  : vx_le32(pWindow, ullWindowBytes, ullIn);
        }
        const uint64_t ullOut = ullSize - i * dwChunk < dwChunk ? ullSize - i * dwChunk : dwChunk;
        if (ullEnd <= ullStart || ullEnd > ullData || ullEnd - ullStart > ullOut) {
            if (bSay)
                log_message(VX_ERROR,
                            "%s %s() l.%d: WOF chunk table damaged at chunk " VX_U64
                            " (0x" VX_X64 " to 0x" VX_X64 " of 0x" VX_X64 " bytes) - Base record #" VX_U64,
                            VX_MODULE, "ProcessWofStream", __LINE__, i, ullStart, ullEnd, ullData,
                            ullRecord);
            ok = 0;
            break;
        }
        const uint64_t n = ullEnd - ullStart;
        if (!pSource->pfnRead(pSource->pReadContext, ullTable + ullStart, n, pIn)) {
            ok = 0;
            break;
        }
        if (n == ullOut) {
            pfnCallback(pContext, pIn, static_cast<uint32_t>(n));
        } else {
            size_t cbGot = 0;
            const int status =
                vx_plat_decompress(pSource->pCodecs, codec, pIn, n, pOut, ullOut, &cbGot);
            if (status != VX_DECODE_OK || cbGot != ullOut) {
                if (!bSay) {
                    // The main thread reads it again and says why.
                } else if (status == VX_DECODE_MISSING) {
                    StreamCodecMissing = 1;
                    log_message(VX_ERROR,
                                "%s %s() l.%d: WOF-compressed stream (%s) not read: this build "
                                "has no %s - Base record #" VX_U64,
                                VX_MODULE, "ProcessWofStream", __LINE__,
                                codec == VX_CODEC_LZX ? "LZX" : "XPRESS",
                                vx_plat_codec_library(codec), ullRecord);
                } else {
                    log_message(VX_ERROR,
                                "%s %s() l.%d: WOF chunk " VX_U64 " does not decompress (%s) to "
                                VX_U64 " bytes - Base record #" VX_U64,
                                VX_MODULE, "ProcessWofStream", __LINE__, i,
                                codec == VX_CODEC_LZX ? "LZX" : "XPRESS", ullOut, ullRecord);
                }
                ok = 0;
                break;
            }
            pfnCallback(pContext, pOut, static_cast<uint32_t>(ullOut));
        }
        ullStart = ullEnd;
    }
    return ok;
}

namespace {

struct StoredStream {
    Volume* pVol;
    const Attribute* pWof;
};

int ReadStored(void* pContext, uint64_t ullOffset, uint64_t ullCount, uint8_t* pOut) {
    const auto* p = static_cast<const StoredStream*>(pContext);
    uint64_t n = ullCount;
    return ReadStreamBytes(p->pVol, p->pWof, ullOffset, &n, pOut) && n == ullCount;
}

}  // namespace

int ProcessWofStream(const Entry* pEntry, const Attribute* pData, const Attribute* pWof,
                     uint32_t dwAlgorithm, StreamCallback pfnCallback, void* pContext) {
    StoredStream stored{pEntry->pVolume, pWof};
    WofSource source{};
    source.pfnRead = ReadStored;
    source.pReadContext = &stored;
    source.pCodecs = MainThreadCodecs();
    source.ullRecord = pEntry->ullBaseRecord;
    source.pBlock = static_cast<uint8_t*>(VX_CALLOC(
        kWofBlockBytes, 1, VX_FATAL_SYS,
        "%s %s l. %d: VX_CALLOC WOF chunk - Base record #" VX_U64, VX_WHERE, pEntry->ullBaseRecord));
    const int ok =
        DecodeWofStream(&source, pData->ullSize, pWof->ullSize, dwAlgorithm, pfnCallback, pContext);
    VX_FREE(source.pBlock, VX_FATAL_SYS, "%s %s l. %d: VX_FREE WOF chunk", VX_WHERE);
    return ok;
}
