// Runlists: the mapping pairs of non-resident attributes decoded into runs,
// extents merged in VCN order.
#include "diskio/diskio.h"
#include "base/vx_log.h"

#define VX_MODULE "diskio"

namespace {

constexpr uint64_t kRunStep = 10;

// Little-endian number of `width` bytes (1 to 8), sign-extended when asked.
uint64_t ReadPairField(const uint8_t* p, unsigned width, bool bSigned) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    if (bSigned && width < 8 && (p[width - 1] & 0x80) != 0) v |= ~0ull << (8 * width);
    return v;
}

}  // namespace

int ProcessRunlist(Attribute* pAttr, const uint8_t* pPairs, size_t cbPairs, uint64_t ullFirstVcn,
                   uint64_t ullLastVcn) {
    if (ullFirstVcn != pAttr->ullNextVcn) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: missing Vcns - Expected : 0x" VX_X64 " Current 0x" VX_X64
                    " - Attribute type 0x%x",
                    VX_WHERE, pAttr->ullNextVcn, ullFirstVcn, pAttr->dwType);
        return 0;
    }
    if (pAttr->pRunlist == nullptr) {
        pAttr->pRunlist = static_cast<Run*>(
            VX_CALLOC(1, sizeof(Run), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pRunlist", VX_WHERE));
        if (pAttr->pullRunStarts == nullptr)
            pAttr->pullRunStarts = static_cast<uint64_t*>(VX_CALLOC(
                1, sizeof(uint64_t), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pullRunStarts",
                VX_WHERE));
    }

    const uint64_t ullEndVcn = ullLastVcn + 1;  // all ones (an empty attribute) gives 0
    uint64_t ullVcn = ullFirstVcn;
    int64_t llLcn = 0;
    size_t pos = 0;
    while (ullVcn < ullEndVcn) {
        // Every run takes at least its header byte, so the walk ends with the
        // bytes of the attribute record at the latest.  A zero header ends the
        // mapping pairs: what follows it is no run, and decoding it would map
        // the stream onto arbitrary clusters.
        if (pos >= cbPairs || pPairs[pos] == 0) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: mapping pairs end before Vcn 0x" VX_X64
                        " - Attribute type 0x%x",
                        VX_WHERE, ullVcn, pAttr->dwType);
            pAttr->ullNextVcn = ullVcn;
            return 0;
        }
        if (vx_grows(pAttr->ullRunCount, kRunStep))
            pAttr->pRunlist = static_cast<Run*>(
                VX_REALLOC(pAttr->pRunlist, vx_grown(pAttr->ullRunCount, kRunStep), sizeof(Run),
                           VX_FATAL_SYS, "%s %s l. %d: VX_REALLOC pCopy - Attribute type 0x%x",
                           VX_WHERE, pAttr->dwType));
        if (vx_grows(pAttr->ullRunCount, kRunStep) && pAttr->pullRunStarts != nullptr)
            pAttr->pullRunStarts = static_cast<uint64_t*>(
                VX_REALLOC(pAttr->pullRunStarts, vx_grown(pAttr->ullRunCount, kRunStep),
                           sizeof(uint64_t), VX_FATAL_SYS,
                           "%s %s l. %d: VX_REALLOC pullRunStarts - Attribute type 0x%x", VX_WHERE,
                           pAttr->dwType));
        // Runs are indexed until one passes 2^64: the VCNs wrap round there.
        const uint64_t ullLast = pAttr->ullIndexedRuns - 1;
        if (pAttr->pullRunStarts != nullptr && pAttr->ullIndexedRuns == pAttr->ullRunCount &&
            (pAttr->ullRunCount == 0 ||
             pAttr->pRunlist[ullLast].ullLength <= UINT64_MAX - pAttr->pullRunStarts[ullLast])) {
            pAttr->pullRunStarts[pAttr->ullRunCount] = ullVcn;
            pAttr->ullIndexedRuns++;
        }
        Run* pRun = &pAttr->pRunlist[pAttr->ullRunCount];
        const uint8_t bHeader = pPairs[pos++];
        const unsigned L = bHeader & 0x0F;
        const unsigned O = bHeader >> 4;
        const size_t cbFields = (L >= 1 && L <= 8 ? L : 0) + (O >= 1 && O <= 8 ? O : 0);
        if (cbFields > cbPairs - pos) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: mapping pairs run past the attribute record at Vcn 0x" VX_X64
                        " - Attribute type 0x%x",
                        VX_WHERE, ullVcn, pAttr->dwType);
            pAttr->ullNextVcn = ullVcn;
            return 0;
        }
        if (L >= 1 && L <= 8) {
            pRun->ullLength = ReadPairField(pPairs + pos, L, false);
            pos += L;
        } else {
            log_release_held();
            fprintf(stderr, "FIXME : strange value %u for run length\n", L);
        }
        ullVcn += pRun->ullLength;
        if (O == 0) {
            pRun->llLcn = kSparseLcn;
        } else if (O <= 8) {
            // Offsets add up modulo 2^64, as the on-disk arithmetic does.
            llLcn = static_cast<int64_t>(static_cast<uint64_t>(llLcn) +
                                         ReadPairField(pPairs + pos, O, true));
            pos += O;
            pRun->llLcn = llLcn;
        } else {
            log_release_held();
            fprintf(stderr, "FIXME : strange value %u for run offset\n", O);
        }
        pAttr->ullRunCount++;
    }
    pAttr->ullNextVcn = ullEndVcn;
    return 1;
}

int FindRun(const Attribute* pAttr, uint64_t* pullRun, uint64_t* pullVcn) {
    *pullRun = 0;
    if (pAttr->ullRunCount == 0) return 0;
    if (pAttr->pullRunStarts != nullptr) {
        // The last run starting at or before the VCN (the starts never go
        // down): the one that holds it, unless the VCN lies past its end.
        // A run after the one whose VCNs pass 2^64 holds no VCN: those up
        // to it are searched (a walk of the runs would find the same).
        const uint64_t* pStarts = pAttr->pullRunStarts;
        if (pAttr->ullIndexedRuns == 0) {
            *pullRun = pAttr->ullRunCount;
            return 0;
        }
        uint64_t lo = 0, hi = pAttr->ullIndexedRuns;
        while (hi - lo > 1) {
            const uint64_t mid = lo + (hi - lo) / 2;
            if (pStarts[mid] <= *pullVcn)
                lo = mid;
            else
                hi = mid;
        }
        const uint64_t ullInRun = *pullVcn - pStarts[lo];
        if (pStarts[lo] > *pullVcn || ullInRun >= pAttr->pRunlist[lo].ullLength) {
            *pullRun = pAttr->ullRunCount;
            return 0;
        }
        *pullRun = lo;
        *pullVcn = ullInRun;
        return 1;
    }
    while (*pullRun < pAttr->ullRunCount) {
        const uint64_t ullLength = pAttr->pRunlist[*pullRun].ullLength;
        if (*pullVcn < ullLength) return 1;
        *pullVcn -= ullLength;
        (*pullRun)++;
    }
    return 0;
}
