// NTFS compression: a compressed stream is stored in units of 16 clusters.
// A unit whose clusters are all on disk is stored as it is, one whose
// clusters are all sparse is zeros, and one with clusters on disk followed
// by sparse ones holds LZNT1 data in the clusters on disk.
#include <cstring>

#include "diskio/diskio.h"
#include "platform/platform.h"

int CompressionSupported(uint16_t wFlags, uint16_t wCompressionUnit, uint64_t ullCluster) {
    return (wFlags & kAttrCompressionMask) == kAttrCompressed && wCompressionUnit == kUnitShift &&
           ullCluster <= kMaxCompressedCluster;
}

int ReadCompressionUnit(UnitReader* r, const Run* pRuns, uint64_t ullRunCount,
                        uint64_t ullStreamClusters, uint64_t ullUnit, uint8_t* pOut,
                        uint64_t* pullLcn) {
    const uint64_t c = r->ullCluster;
    const uint64_t ullFirst = ullUnit * kUnitClusters;
    const uint64_t ullUnitBytes = kUnitClusters * c;
    // Units are read in order: the walk goes on from the run of the last
    // unit, and starts again only for a unit before it.
    if (r->ullRun > ullRunCount || r->ullRunVcn > ullFirst) {
        r->ullRun = 0;
        r->ullRunVcn = 0;
    }
    while (r->ullRun < ullRunCount && pRuns[r->ullRun].ullLength <= ullFirst - r->ullRunVcn) {
        r->ullRunVcn += pRuns[r->ullRun].ullLength;
        r->ullRun++;
    }
    // The unit's clusters on disk, in order, into pInput.
    uint64_t ullStored = 0, ullSparse = 0;
    uint64_t ullVcn = ullFirst;
    uint64_t ullRun = r->ullRun, ullRunVcn = r->ullRunVcn;
    while (ullVcn < ullFirst + kUnitClusters && ullRun < ullRunCount) {
        const Run& run = pRuns[ullRun];
        const uint64_t ullIn = ullVcn - ullRunVcn;
        uint64_t n = run.ullLength - ullIn;
        if (n > ullFirst + kUnitClusters - ullVcn) n = ullFirst + kUnitClusters - ullVcn;
        if (run.llLcn == kSparseLcn) {
            ullSparse += n;
        } else {
            const uint64_t ullLcn = static_cast<uint64_t>(run.llLcn) + ullIn;
            if (run.llLcn < 0 || ullLcn >= r->ullClusters || n > r->ullClusters - ullLcn) {
                *pullLcn = static_cast<uint64_t>(run.llLcn);
                return UNIT_BAD_DATA;
            }
            if (!r->pfnRead(r->pReadContext, ullLcn, n, r->pInput + ullStored * c)) {
                *pullLcn = ullLcn;
                return UNIT_READ_FAILED;
            }
            ullStored += n;
        }
        ullVcn += n;
        if (ullVcn - ullRunVcn == run.ullLength) {
            ullRunVcn += run.ullLength;
            ullRun++;
        }
    }
    // Clusters the runs do not reach: an error inside the stream, nothing
    // after its end.
    const uint64_t ullNeeded = ullStreamClusters > ullFirst ? ullStreamClusters - ullFirst : 0;
    if (ullStored + ullSparse < kUnitClusters && ullStored + ullSparse < ullNeeded) {
        *pullLcn = ullFirst + ullStored + ullSparse;
        return UNIT_NOT_MAPPED;
    }
    if (ullSparse == 0) {
        memcpy(pOut, r->pInput, ullStored * c);
        memset(pOut + ullStored * c, 0, ullUnitBytes - ullStored * c);
        return UNIT_OK;
    }
    if (ullStored == 0) {
        memset(pOut, 0, ullUnitBytes);
        return UNIT_OK;
    }
    size_t cbGot = 0;
    const int status = vx_plat_decompress(r->pCodecs, VX_CODEC_LZNT1, r->pInput, ullStored * c,
                                          pOut, ullUnitBytes, &cbGot);
    if (status != VX_DECODE_OK) {
        *pullLcn = ullFirst;
        return status == VX_DECODE_MISSING ? UNIT_NO_CODEC : UNIT_BAD_DATA;
    }
    memset(pOut + cbGot, 0, ullUnitBytes - cbGot);
    return UNIT_OK;
}
