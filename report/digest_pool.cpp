// The hashing threads of -m and the spool that keeps the report in order.
#include "report/digest_pool.h"

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "report/zero_chain.h"

#if !defined(_WIN32)

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#define VX_MODULE "info"

namespace {

// What one thread reads and hashes at a time, and the block of zeros that
// stands for every sparse run.
constexpr uint32_t kReadChunk = 1u << 20;
// A compressed stream is decoded in the same buffer: stored clusters, then the unit.
static_assert(kReadChunk >= 2 * kMaxUnitBytes);
// So is a WOF file's chunk, beside the reads of its stored chunks.
static_assert(kReadChunk >= kWofBlockBytes + kWofMaxChunk + 2 * 4096);
constexpr uint32_t kZeroBlock = 1u << 18;
// Bounds of what waits in memory: events queued, the bytes of the jobs'
// copies of the streams' runs and resident values, and the report held in
// the spool and not yet written.
constexpr uint32_t kMaxJobs = 1u << 16;
constexpr uint64_t kMaxJobBytes = 8u << 20;
constexpr uint64_t kMaxSpoolBytes = 6u << 20;
// A file whose runs and values alone need more is hashed in line.
constexpr uint64_t kMaxOneJob = 1u << 20;
// The spool starts again, with what it still holds, once this much of it
// has been written out (and at least half of it).
constexpr uint64_t kCompactAt = 2u << 20;
// The diagnostics' spool starts again once it holds this much.
constexpr uint64_t kMessageSpoolBytes = 1u << 16;
// Read-ahead of queued files: ranges this close together are announced in
// one call, of at most kReadChunk bytes.
constexpr uint64_t kHintGap = 64u << 10;
// A file with this many bytes of data keeps the report waiting for seconds
// (a volume's $BadClus:$Bad is as large as the volume).  Rather than stop
// the other threads at the bounds above, the report after it goes on to a
// temporary file, the spill, with room left for the digests still to come,
// and is written out in order once they are known.  Waiting for a smaller
// file costs less than the spill's write and read.
constexpr uint64_t kSpillAbove = 256u << 20;
// Events the spill holds back at most (its waiting digests and diagnostics;
// the digests that come in are written into it), and the bytes written to
// it or read from it at a time.
constexpr uint32_t kMaxDeferred = 4096;
constexpr uint32_t kSpillBuffer = 1u << 20;

// JOB_STOPPED: a signal stopped the run before its thread made the digest.
enum { JOB_QUEUED = 0, JOB_DONE = 1, JOB_FAILED = 2, JOB_STOPPED = 3 };

// A stream's part in a WOF file's digest: its content, decompressed from
// the job's WofCompressedData stream; that storage, left out; or none.
enum { ROLE_PLAIN = 0, ROLE_NAMED = 1, ROLE_WOF_CONTENT = 2, ROLE_WOF_STORAGE = 3 };

struct PoolStream {
    uint32_t dwType;
    int iRole;
    int bResident;
    uint16_t wFlags;
    uint16_t wCompressionUnit;
    uint64_t ullSize;
    uint64_t ullInitSize;
    uint8_t* pResident;  // the value's copy, inside the job's block
    Run* pRuns;          // the runs' copy, inside the job's block
    uint64_t ullRunCount;
};

}  // namespace

// One event of the held output, in the order of the run: the digest of a
// file's streams (made by a thread), or a diagnostic held in memory.
struct DigestJob {
    int bMessage;          // a diagnostic: pText, ullTextBytes; never given to a thread
    uint64_t ullRecord;
    uint64_t ullSeq;       // the record's place in the walk
    uint64_t ullLineAt;    // spool offset where the record's report began
    uint64_t ullRedoAt;    // spool offset where the hash of a file began
    uint64_t ullInsertAt;  // spool offset of the 32 hex digits, or of the diagnostic
    uint64_t ullBlockBytes;
    uint64_t ullDataBytes;  // of the non-resident streams
    uint32_t dwStreams;
    PoolStream* pStreams;
    int bWof;               // a WOF file: the roles of its streams say what is hashed
    uint32_t dwWofAlgorithm;
    char* pText;
    uint64_t ullTextBytes;
    std::atomic<int> state;  // set under the pool's lock, read without it
    uint8_t digest[16];
};

namespace {

// An event the spill holds back: a digest still being made (or to be made
// again on the main thread) and the bytes of the spill that go before it
// (ullAt) and between it and its 32 digits (ullDigitsAt); or a diagnostic,
// written out once the spill before ullAt is.  pJob none: the digest came
// in and was written into the spill.
struct Deferred {
    DigestJob* pJob;
    uint64_t ullAt;
    uint64_t ullDigitsAt;
    uint64_t ullLineAt;  // where the job's record begins in the spill
};

struct Worker {
    std::thread* pThread;
    alignas(std::thread) unsigned char threadStorage[sizeof(std::thread)];
    uint8_t* pBuffer;
    VxMd5* pMd5;
    VxCodecs* pCodecs;  // made by the first compressed stream
};

// Room in a worker's buffer for a WOF file: the decoder's block, then the
// aligned reads of WofCompressedData, a chunk and its two ends' sectors.
constexpr uint32_t kWofAlign = 4096;
constexpr uint32_t kWofReadRoom = kWofMaxChunk + 2 * kWofAlign;

struct Pool {
    // Read-only while the threads run.
    Volume* pVol;
    VxDevice* pDev;
    // The device serves one reader (a container, BitLocker): the threads
    // take only the files they need not read, those whose streams are all
    // sparse (a volume's $BadClus:$Bad is as long as the volume).
    int bReadFree;
    uint64_t ullCluster;
    uint64_t ullClusters;
    const uint8_t* pZeros;
    FILE* pOut;
    Worker* pWorkers;
    unsigned dwWorkers;
    // The main thread's alone.
    FILE* pSpool;
    char* pSpoolBytes;
    size_t spoolSize;
    uint64_t ullConsumed;  // spool bytes written out
    FILE* pMessages;       // the spool of held diagnostics; none: they are not held
    char* pMessageBytes;
    size_t messageSize;
    uint64_t ullMessageAt;  // where the diagnostic being held began in it
    uint64_t ullHintAt;     // the read-ahead range not yet announced
    uint64_t ullHintEnd;
    uint64_t ullHeldBytes;
    // The spill, made when first needed (bNoSpill: it could not be), and
    // while bSpilling every event goes to it, in order, until it is written
    // out: its bytes up to ullSpillEnd, of which ullSpillOut are out and those
    // from ullSpillFlushed on still in pSpillBuffer; the events it holds back
    // from ullDeferHead to ullDeferTail of pDeferred.
    FILE* pSpill;
    int bNoSpill;
    int bSpilling;
    uint8_t* pSpillBuffer;
    uint64_t ullSpillEnd;
    uint64_t ullSpillFlushed;
    uint64_t ullSpillOut;
    Deferred* pDeferred;
    uint64_t ullDeferHead;
    uint64_t ullDeferTail;
    uint64_t ullSeq;
    uint64_t ullRecordAt;    // spool offset where the record being reported began
    uint64_t ullPartialSeq;  // 1 + the record part of whose report a diagnostic sent out, 0: none
    int bLastFailed;
    int bWriting;  // writing out: diagnostics go straight to their stream
    // The ring of events, oldest first: the main thread's alone.
    DigestJob** ppRing;
    uint64_t ullHead;
    uint64_t ullTail;
    // Under lock: the ring of the jobs alone, which the threads take from
    // ullClaim on (a held diagnostic may be written out and freed before a
    // thread would have passed it).
    std::mutex lock;
    std::condition_variable cvWork;
    std::condition_variable cvDone;
    DigestJob** ppWork;
    uint64_t ullClaim;
    uint64_t ullWorkTail;
    bool bStop;
};

Pool* g_pPool = nullptr;

void HashAdd(Worker* w, const void* pData, uint64_t ullLength) {
    vx_plat_md5_add(w->pMd5, pData, static_cast<size_t>(ullLength));
    InfoHashedBytes.fetch_add(ullLength, std::memory_order_relaxed);
}

int PoolReadClusters(void* pContext, uint64_t ullLcn, uint64_t ullCount, uint8_t* pOut) {
    const auto* p = static_cast<const Pool*>(pContext);
    const uint64_t ullBytes = ullCount * p->ullCluster;  // at most a unit
    uint32_t dwDone = 0;
    while (dwDone < ullBytes) {
        uint32_t dwGot = 0;
        if (!vx_plat_read_at(p->pDev, ullLcn * p->ullCluster + dwDone, pOut + dwDone,
                             static_cast<uint32_t>(ullBytes - dwDone), &dwGot) ||
            dwGot == 0)
            return 0;
        dwDone += dwGot;
    }
    return 1;
}

// A compressed stream, a unit at a time, decoded in the worker's buffer:
// the stored clusters in its first kMaxUnitBytes, the unit after them.
int HashCompressed(const Pool* p, Worker* w, const PoolStream& s) {
    const uint64_t c = p->ullCluster;
    if (!CompressionSupported(s.wFlags, s.wCompressionUnit, c)) return 0;
    if (w->pCodecs == nullptr) w->pCodecs = vx_plat_codecs_new();
    if (w->pCodecs == nullptr) return 0;
    UnitReader r{};
    r.ullCluster = c;
    r.ullClusters = p->ullClusters;
    r.pfnRead = PoolReadClusters;
    r.pReadContext = const_cast<Pool*>(p);
    r.pCodecs = w->pCodecs;
    r.pInput = w->pBuffer;
    uint8_t* pUnit = w->pBuffer + kMaxUnitBytes;
    const uint64_t ullUnitBytes = kUnitClusters * c;
    const uint64_t ullStreamClusters = s.ullSize / c + (s.ullSize % c != 0 ? 1 : 0);
    for (uint64_t ullAt = 0, ullUnit = 0; ullAt < s.ullSize; ullAt += ullUnitBytes, ullUnit++) {
        uint64_t ullWhere = 0;
        if (ReadCompressionUnit(&r, s.pRuns, s.ullRunCount, ullStreamClusters, ullUnit, pUnit,
                                &ullWhere) != UNIT_OK)
            return 0;
        if (s.ullInitSize < ullAt + ullUnitBytes) {
            const uint64_t ullFrom = s.ullInitSize > ullAt ? s.ullInitSize - ullAt : 0;
            memset(pUnit + ullFrom, 0, ullUnitBytes - ullFrom);
        }
        HashAdd(w, pUnit, s.ullSize - ullAt < ullUnitBytes ? s.ullSize - ullAt : ullUnitBytes);
    }
    return 1;
}

struct WofRead {
    const Pool* p;
    const PoolStream* pStorage;
    uint8_t* pRoom;  // kWofReadRoom
};

// Bytes of a job's WofCompressedData: its resident copy, or its runs, each
// piece read from whole sectors (a raw device takes no other reads).
int ReadWofBytes(void* pContext, uint64_t ullOffset, uint64_t ullCount, uint8_t* pOut) {
    const auto* r = static_cast<const WofRead*>(pContext);
    const PoolStream& s = *r->pStorage;
    if (ullOffset > s.ullSize || ullCount > s.ullSize - ullOffset) return 0;
    if (s.bResident) {
        if (ullCount > 0) memcpy(pOut, s.pResident + ullOffset, ullCount);
        return 1;
    }
    const uint64_t c = r->p->ullCluster;
    const uint64_t ullVolume = r->p->ullClusters * c;
    uint64_t ullRunAt = 0;  // the stream offset of run k
    for (uint64_t k = 0; k < s.ullRunCount && ullCount > 0; k++) {
        const Run& run = s.pRuns[k];
        if (run.ullLength > (UINT64_MAX - ullRunAt) / c) return 0;
        const uint64_t ullRunBytes = run.ullLength * c;
        if (ullOffset >= ullRunAt + ullRunBytes) {
            ullRunAt += ullRunBytes;
            continue;
        }
        const uint64_t ullIn = ullOffset - ullRunAt;
        const uint64_t n = ullRunBytes - ullIn < ullCount ? ullRunBytes - ullIn : ullCount;
        if (run.llLcn == kSparseLcn) {
            memset(pOut, 0, n);
        } else {
            if (run.llLcn < 0) return 0;
            const uint64_t ullLcn = static_cast<uint64_t>(run.llLcn);
            if (ullLcn >= r->p->ullClusters || run.ullLength > r->p->ullClusters - ullLcn) return 0;
            const uint64_t ullAt = ullLcn * c + ullIn;
            const uint64_t ullFrom = ullAt / kWofAlign * kWofAlign;
            uint64_t ullTo = (ullAt + n + kWofAlign - 1) / kWofAlign * kWofAlign;
            if (ullTo > ullVolume) ullTo = ullVolume;
            if (ullTo - ullFrom > kWofReadRoom) return 0;  // pieces are a chunk at most
            uint32_t dwDone = 0;
            while (dwDone < ullTo - ullFrom) {
                uint32_t dwGot = 0;
                if (!vx_plat_read_at(r->p->pDev, ullFrom + dwDone, r->pRoom + dwDone,
                                     static_cast<uint32_t>(ullTo - ullFrom - dwDone), &dwGot) ||
                    dwGot == 0)
                    return 0;
                dwDone += dwGot;
            }
            memcpy(pOut, r->pRoom + (ullAt - ullFrom), n);
        }
        pOut += n;
        ullOffset += n;
        ullCount -= n;
        ullRunAt += ullRunBytes;
    }
    return ullCount == 0;
}

void HashWofBytes(void* pContext, const uint8_t* pData, uint32_t dwLength) {
    HashAdd(static_cast<Worker*>(pContext), pData, dwLength);
}

// A WOF file's content, decoded from its WofCompressedData a chunk at a
// time in the worker's buffer.
int HashWof(const Pool* p, Worker* w, const DigestJob* j, const PoolStream& s) {
    const PoolStream* pStorage = nullptr;
    for (uint32_t k = 0; k < j->dwStreams && pStorage == nullptr; k++)
        if (j->pStreams[k].iRole == ROLE_WOF_STORAGE) pStorage = &j->pStreams[k];
    if (pStorage == nullptr) return 0;
    if (w->pCodecs == nullptr) w->pCodecs = vx_plat_codecs_new();
    if (w->pCodecs == nullptr) return 0;
    WofRead read{p, pStorage, w->pBuffer + kWofBlockBytes};
    WofSource source{};
    source.pfnRead = ReadWofBytes;
    source.pReadContext = &read;
    source.pCodecs = w->pCodecs;
    source.pBlock = w->pBuffer;
    source.ullRecord = j->ullRecord;
    source.bQuiet = 1;
    return DecodeWofStream(&source, s.ullSize, pStorage->ullSize, j->dwWofAlgorithm, HashWofBytes,
                           w);
}

// The digest of a job's streams, every byte read at its own offset; 0 at
// the first thing that is not a clean read (the main thread does it again),
// -1 when a signal stops the run (a sparse stream of terabytes takes hours).
int HashJob(const Pool* p, Worker* w, const DigestJob* j) {
    if (!vx_plat_md5_begin(w->pMd5)) return 0;
    const uint64_t c = p->ullCluster;
    uint64_t ullGiven = 0;  // bytes of the digest so far
    uint64_t ullSkipped = 0;
    for (uint32_t k = 0; k < j->dwStreams; k++) {
        const PoolStream& s = j->pStreams[k];
        if (s.iRole == ROLE_WOF_STORAGE) continue;  // the storage, not content
        if (s.iRole == ROLE_WOF_CONTENT) {
            if (!HashWof(p, w, j, s)) return 0;
            ullGiven += s.ullSize;
            continue;
        }
        if (s.bResident) {
            HashAdd(w, s.pResident, s.ullSize);
            ullGiven += s.ullSize;
            continue;
        }
        if ((s.wFlags & kAttrCompressionMask) != 0) {
            if (!HashCompressed(p, w, s)) return 0;
            ullGiven += s.ullSize;
            continue;
        }
        uint64_t ullLeft = s.ullSize;
        // Leading zeros the digest moved past, taken off the sparse runs.
        uint64_t ullSkip = 0;
        if (ullGiven == 0)
            ullSkip = ullSkipped = SkipLeadingZerosMd5(
                w->pMd5, LeadingSparseBytes(s.pRuns, s.ullRunCount, c, s.ullSize));
        ullGiven += s.ullSize;
        for (uint64_t r = 0; r < s.ullRunCount && ullLeft > 0; r++) {
            const Run& run = s.pRuns[r];
            const uint64_t ullNeed = ullLeft / c + (ullLeft % c != 0 ? 1 : 0);
            const uint64_t ullClusters = run.ullLength < ullNeed ? run.ullLength : ullNeed;
            uint64_t ullBytes = ullClusters * c < ullLeft ? ullClusters * c : ullLeft;
            if (run.llLcn == kSparseLcn) {
                ullLeft -= ullBytes;
                const uint64_t ullPast = ullSkip < ullBytes ? ullSkip : ullBytes;
                ullSkip -= ullPast;
                ullBytes -= ullPast;
                while (ullBytes > 0) {
                    if (vx_plat_interrupted() != 0) return -1;
                    const uint64_t n = ullBytes < kZeroBlock ? ullBytes : kZeroBlock;
                    HashAdd(w, p->pZeros, n);
                    ullBytes -= n;
                }
                continue;
            }
            if (run.llLcn < 0) return 0;
            const uint64_t ullLcn = static_cast<uint64_t>(run.llLcn);
            if (ullLcn >= p->ullClusters || ullClusters > p->ullClusters - ullLcn) return 0;
            uint64_t ullOffset = ullLcn * c;
            uint64_t ullWhole = ullClusters * c;  // whole clusters are read
            while (ullWhole > 0) {
                if (vx_plat_interrupted() != 0) return -1;
                const uint32_t dwAsk =
                    ullWhole < kReadChunk ? static_cast<uint32_t>(ullWhole) : kReadChunk;
                if (ullWhole > dwAsk) vx_plat_read_ahead(p->pDev, ullOffset + dwAsk, kReadChunk);
                uint32_t dwDone = 0;
                while (dwDone < dwAsk) {
                    uint32_t dwGot = 0;
                    if (!vx_plat_read_at(p->pDev, ullOffset + dwDone, w->pBuffer + dwDone,
                                         dwAsk - dwDone, &dwGot) ||
                        dwGot == 0)
                        return 0;
                    dwDone += dwGot;
                }
                const uint64_t n = dwAsk < ullBytes ? dwAsk : ullBytes;
                HashAdd(w, w->pBuffer, n);
                ullBytes -= n;
                ullLeft -= n;
                ullOffset += dwAsk;
                ullWhole -= dwAsk;
            }
        }
        if (ullLeft > 0) return 0;
    }
    NoteDigestBytes(ullGiven - ullSkipped);
    return 1;
}

void WorkerMain(Pool* p, Worker* w) {
    for (;;) {
        DigestJob* j = nullptr;
        {
            std::unique_lock<std::mutex> hold(p->lock);
            p->cvWork.wait(hold, [p] { return p->bStop || p->ullClaim != p->ullWorkTail; });
            if (p->ullClaim == p->ullWorkTail) return;
            j = p->ppWork[p->ullClaim % kMaxJobs];
            p->ullClaim++;
        }
        uint8_t digest[16];
        // After a signal the jobs left are only taken off the queue.
        const int ok = vx_plat_interrupted() != 0 ? -1 : HashJob(p, w, j);
        if (ok > 0) vx_plat_md5_end(w->pMd5, digest);
        {
            std::lock_guard<std::mutex> hold(p->lock);
            if (ok > 0)
                for (int i = 0; i < 16; i++) j->digest[i] = digest[i];
            j->state.store(ok > 0 ? JOB_DONE : ok < 0 ? JOB_STOPPED : JOB_FAILED,
                           std::memory_order_release);
        }
        p->cvDone.notify_all();
    }
}

// The spill's failures end the run: what it holds is the report itself.
void SpillFailed(Pool* p) {
    p->bWriting = 1;
    log_message(VX_FATAL_SYS,
                "%s %s() l.%d: the report's spill file in %s cannot be written or read",
                VX_WHERE, vx_plat_spill_folder());
}

void FlushSpill(Pool* p) {
    const uint64_t n = p->ullSpillEnd - p->ullSpillFlushed;
    if (n == 0) return;
    if (!vx_plat_spill_write(p->pSpill, p->ullSpillFlushed, p->pSpillBuffer, n)) SpillFailed(p);
    p->ullSpillFlushed = p->ullSpillEnd;
}

// Report bytes, written out, or to the spill while it holds anything.
void Emit(Pool* p, const void* pData, uint64_t ullLength) {
    if (!p->bSpilling) {
        fwrite(pData, 1, ullLength, p->pOut);
        return;
    }
    const auto* pBytes = static_cast<const uint8_t*>(pData);
    while (ullLength > 0) {
        if (p->ullSpillEnd - p->ullSpillFlushed == kSpillBuffer) FlushSpill(p);
        const uint64_t ullRoom = kSpillBuffer - (p->ullSpillEnd - p->ullSpillFlushed);
        const uint64_t n = ullLength < ullRoom ? ullLength : ullRoom;
        memcpy(p->pSpillBuffer + (p->ullSpillEnd - p->ullSpillFlushed), pBytes, n);
        p->ullSpillEnd += n;
        pBytes += n;
        ullLength -= n;
    }
}

// Writes out the spill's bytes up to ullUpTo.
void CopySpill(Pool* p, uint64_t ullUpTo) {
    FlushSpill(p);
    while (p->ullSpillOut < ullUpTo) {
        const uint64_t ullLeft = ullUpTo - p->ullSpillOut;
        const size_t n = ullLeft < kSpillBuffer ? static_cast<size_t>(ullLeft) : kSpillBuffer;
        if (!vx_plat_spill_read(p->pSpill, p->ullSpillOut, p->pSpillBuffer, n)) SpillFailed(p);
        fwrite(p->pSpillBuffer, 1, n, p->pOut);
        p->ullSpillOut += n;
        vx_check_outputs();
    }
}

void WriteSpool(Pool* p, uint64_t ullUpTo) {
    if (ullUpTo > p->ullConsumed) {
        Emit(p, p->pSpoolBytes + p->ullConsumed, ullUpTo - p->ullConsumed);
        p->ullConsumed = ullUpTo;
    }
}

void DigestText(const DigestJob* j, char hex[32]) {
    for (int i = 0; i < 16; i++) {
        hex[2 * i] = "0123456789abcdef"[j->digest[i] >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[j->digest[i] & 15];
    }
}

void FreeJob(Pool* p, DigestJob* j) {
    if (!j->bMessage) p->ullHeldBytes -= j->ullBlockBytes;
    j->~DigestJob();
    VX_FREE(j, VX_FATAL_SYS, "%s %s l. %d: VX_FREE DigestJob", VX_WHERE);
}

// A job that failed in its thread, hashed again here through the stream
// reader, which writes the diagnostics.
int RedoJob(Pool* p, const DigestJob* j, uint8_t digest[16]) {
    Entry entry{};
    entry.pVolume = p->pVol;
    entry.ullBaseRecord = j->ullRecord;
    entry.wAttrCount = static_cast<uint16_t>(j->dwStreams);
    entry.pAttrList = static_cast<Attribute*>(
        VX_CALLOC(j->dwStreams, sizeof(Attribute), VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC Attributes - Base record #" VX_U64, VX_WHERE,
                  j->ullRecord));
    for (uint32_t k = 0; k < j->dwStreams; k++) {
        Attribute* a = &entry.pAttrList[k];
        const PoolStream& s = j->pStreams[k];
        a->dwType = s.dwType;
        a->bResident = s.bResident;
        a->wFlags = s.wFlags;
        a->wCompressionUnit = s.wCompressionUnit;
        a->ullSize = s.ullSize;
        a->ullInitSize = s.ullInitSize;
        a->pStream = s.pResident;
        a->pRunlist = s.pRuns;
        a->ullRunCount = s.ullRunCount;
        // The names ComputeMd5 tells a WOF file's streams apart by.
        if (s.iRole == ROLE_WOF_STORAGE) {
            static const char kWof[] = "WofCompressedData";
            a->wNameLength = sizeof kWof - 1;
            for (uint16_t i = 0; i < a->wNameLength; i++) a->wszName[i] = kWof[i];
        } else if (s.iRole == ROLE_NAMED) {
            a->wNameLength = 1;
            a->wszName[0] = '?';
        }
    }
    DataPlace place{DATA_ON_VOLUME, 0, nullptr};
    if (j->bWof) place = DataPlace{DATA_WOF, j->dwWofAlgorithm, nullptr};
    const int ok = ComputeMd5Placed(&entry, place, digest, nullptr);
    VX_FREE(entry.pAttrList, VX_FATAL_SYS, "%s %s l. %d: VX_FREE Attributes", VX_WHERE);
    return ok;
}

// A held diagnostic, after the report before it.
void WriteMessage(Pool* p, const DigestJob* j) {
    if (VxBeforeMessage != nullptr) VxBeforeMessage();
    fflush(p->pOut);
    fwrite(j->pText, 1, j->ullTextBytes, VxErrorStream);
    fflush(VxErrorStream);
}

// A job its thread could not hash is hashed again here, writing its diagnostics.
void RedoIfFailed(Pool* p, DigestJob* j) {
    if (j->state.load(std::memory_order_acquire) != JOB_FAILED) return;
    const int ok = RedoJob(p, j, j->digest);
    if (!ok && j->ullSeq == p->ullSeq) p->bLastFailed = 1;
}

void WriteDigits(Pool* p, const DigestJob* j) {
    char hex[32];
    DigestText(j, hex);
    fwrite(hex, 1, 32, p->pOut);
}

// The oldest event into the spill: the report up to it, then its digest
// when it is known and clean; else room for the digits, and the event waits
// in the spill's list.  1 when the event is done with.
int SpillEvent(Pool* p, DigestJob* j) {
    Deferred d{j, 0, 0, 0};
    if (j->bMessage) {
        WriteSpool(p, j->ullInsertAt);
        d.ullAt = p->ullSpillEnd;
    } else {
        WriteSpool(p, j->ullRedoAt);
        d.ullAt = p->ullSpillEnd;
        // (Offsets modulo 2^64: the record may have begun before the spill.)
        d.ullLineAt = p->ullSpillEnd - (p->ullConsumed - j->ullLineAt);
        WriteSpool(p, j->ullInsertAt);
        char hex[32] = {};
        const int bKnown = j->state.load(std::memory_order_acquire) == JOB_DONE;
        if (bKnown) DigestText(j, hex);
        d.ullDigitsAt = p->ullSpillEnd;
        Emit(p, hex, 32);
        if (bKnown) return 1;
    }
    p->pDeferred[p->ullDeferTail % kMaxDeferred] = d;
    p->ullDeferTail++;
    return 0;
}

// The digests that came in since they were held back go into the spill.
void SettleDeferred(Pool* p) {
    for (uint64_t k = p->ullDeferHead; k != p->ullDeferTail; k++) {
        Deferred& d = p->pDeferred[k % kMaxDeferred];
        DigestJob* j = d.pJob;
        if (j == nullptr || j->bMessage || j->state.load(std::memory_order_acquire) != JOB_DONE)
            continue;
        char hex[32];
        DigestText(j, hex);
        if (d.ullDigitsAt >= p->ullSpillFlushed) {
            memcpy(p->pSpillBuffer + (d.ullDigitsAt - p->ullSpillFlushed), hex, 32);
        } else {
            // The digits may straddle the buffer's start.
            const uint64_t ullInFile = p->ullSpillFlushed - d.ullDigitsAt;
            const uint64_t n = ullInFile < 32 ? ullInFile : 32;
            if (!vx_plat_spill_write(p->pSpill, d.ullDigitsAt, hex, n)) SpillFailed(p);
            if (n < 32) memcpy(p->pSpillBuffer, hex + n, 32 - n);
        }
        FreeJob(p, j);
        d.pJob = nullptr;
    }
}

// Writes out the spill in order, each event it holds back in its place, as
// long as their digests are known (bWait: waiting for them, until it is
// empty).  When nothing is left in it, the events go straight out again.
void DrainSpill(Pool* p, int bWait) {
    if (!p->bSpilling) return;
    const int bWasWriting = p->bWriting;
    p->bWriting = 1;
    for (; p->ullDeferHead != p->ullDeferTail; p->ullDeferHead++) {
        Deferred& d = p->pDeferred[p->ullDeferHead % kMaxDeferred];
        DigestJob* j = d.pJob;
        if (j == nullptr) continue;
        if (!j->bMessage && j->state.load(std::memory_order_acquire) == JOB_QUEUED) {
            if (!bWait) break;
            std::unique_lock<std::mutex> hold(p->lock);
            p->cvDone.wait(hold, [j] { return j->state.load() != JOB_QUEUED; });
        }
        // After a signal what is held is written out by WriteCompleted.
        if (vx_plat_interrupted() != 0) break;
        CopySpill(p, d.ullAt);
        if (j->bMessage) {
            WriteMessage(p, j);
            p->ullPartialSeq = j->ullSeq + 1;
        } else {
            RedoIfFailed(p, j);
            CopySpill(p, d.ullDigitsAt);
            WriteDigits(p, j);
            p->ullSpillOut += 32;  // the room left for them
        }
        FreeJob(p, j);
        d.pJob = nullptr;
    }
    if (p->ullDeferHead == p->ullDeferTail) {
        CopySpill(p, p->ullSpillEnd);
        p->ullSpillEnd = p->ullSpillFlushed = p->ullSpillOut = 0;
        p->bSpilling = 0;
    }
    p->bWriting = bWasWriting;
}

// Whether the spill can take the oldest event, which waits for a digest
// kSpillAbove or more bytes long, instead of the report waiting for it.
int CanSpill(Pool* p, const DigestJob* j) {
    if (j->bMessage || j->ullDataBytes < kSpillAbove || p->bNoSpill ||
        p->ullDeferTail - p->ullDeferHead >= kMaxDeferred)
        return 0;
    if (p->pSpill == nullptr) {
        p->pSpill = vx_plat_open_spill();
        if (p->pSpill == nullptr) {
            p->bNoSpill = 1;  // the report waits instead, in memory
            return 0;
        }
        p->pSpillBuffer = static_cast<uint8_t*>(
            VX_CALLOC(kSpillBuffer, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC spill", VX_WHERE));
        p->pDeferred = static_cast<Deferred*>(VX_CALLOC(
            kMaxDeferred, sizeof(Deferred), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC spill list",
            VX_WHERE));
    }
    return 1;
}

// Writes out the oldest event: the report up to it, then its digest (made
// again here when its thread could not) or its diagnostic, as they were
// written without the threads.
void WriteEvent(Pool* p, DigestJob* j) {
    p->bWriting = 1;
    // A spill that cannot hold back one more event is written out first.
    if (p->bSpilling && p->ullDeferTail - p->ullDeferHead >= kMaxDeferred) DrainSpill(p, 1);
    if (p->bSpilling) {
        const int bDone = SpillEvent(p, j);
        p->bWriting = 0;
        p->ullHead++;
        if (bDone) FreeJob(p, j);
        return;
    }
    if (j->bMessage) {
        WriteSpool(p, j->ullInsertAt);
        WriteMessage(p, j);
        p->ullPartialSeq = j->ullSeq + 1;
    } else {
        WriteSpool(p, j->ullRedoAt);
        RedoIfFailed(p, j);
        WriteSpool(p, j->ullInsertAt);
        WriteDigits(p, j);
    }
    p->bWriting = 0;
    p->ullHead++;
    FreeJob(p, j);
    vx_check_outputs();
}

// Writes out the events whose digests are known, in order; with bWait, waits
// for the oldest ones until the held output is within half its bounds
// (bAll: until nothing is held).  A long digest is not waited for while the
// spill can take the report after it (but for bAll).
void WriteOut(Pool* p, int bWait, int bAll) {
    // After a signal what is held is written out by WriteCompleted.
    if (vx_plat_interrupted() != 0) return;
    DrainSpill(p, 0);
    int bFlushed = 0;
    for (;;) {
        const uint64_t ullQueued = p->ullTail - p->ullHead;
        if (ullQueued == 0) break;
        DigestJob* j = p->ppRing[p->ullHead % kMaxJobs];
        if (j->state.load(std::memory_order_acquire) == JOB_QUEUED) {
            const bool bOver = bAll || ullQueued >= kMaxJobs / 2 ||
                               p->ullHeldBytes >= kMaxJobBytes / 2 ||
                               p->spoolSize - p->ullConsumed >= kMaxSpoolBytes / 2;
            // (spoolSize is as of the last flush, which a wait follows.)
            if (!bWait || !bOver) break;
            if (p->bSpilling) SettleDeferred(p);
            if (!bAll && CanSpill(p, j)) {
                p->bSpilling = 1;
            } else {
                std::unique_lock<std::mutex> hold(p->lock);
                p->cvDone.wait(hold, [j] { return j->state.load() != JOB_QUEUED; });
            }
        }
        // (A job a signal stopped is never written: the signal came first.)
        if (vx_plat_interrupted() != 0) return;
        if (!bFlushed) fflush(p->pSpool);
        bFlushed = 1;
        WriteEvent(p, j);
    }
    if (p->ullHead == p->ullTail) {
        fflush(p->pSpool);
        WriteSpool(p, p->spoolSize);
    }
    if (bAll) DrainSpill(p, 1);
}

int OpenSpool(FILE** ppSpool, char** ppBytes, size_t* pSize) {
    *ppSpool = vx_plat_open_spool(ppBytes, pSize);
    if (*ppSpool == nullptr) return 0;
    // The report's own buffering is the spool's; a second one would only copy.
    setvbuf(*ppSpool, nullptr, _IOFBF, 1u << 16);
    return 1;
}

// Once most of the spool has been written out, a fresh one takes what is
// left, and the events' offsets follow it: the spool stays near the held
// bytes.
void CompactSpool(Pool* p) {
    if (p->ullConsumed < kCompactAt || p->ullConsumed < p->spoolSize / 2) return;
    fflush(p->pSpool);
    // The stream writes its place and size where it was opened: the Pool's.
    const uint64_t ullShift = p->ullConsumed;
    const uint64_t ullLeft = p->spoolSize - ullShift;
    auto* pLeft = static_cast<char*>(VX_CALLOC(ullLeft + 1, 1, VX_FATAL_SYS,
                                               "%s %s l. %d: VX_CALLOC spool", VX_WHERE));
    for (uint64_t i = 0; i < ullLeft; i++) pLeft[i] = p->pSpoolBytes[ullShift + i];
    vx_plat_close_spool(p->pSpool, &p->pSpoolBytes);
    if (!OpenSpool(&p->pSpool, &p->pSpoolBytes, &p->spoolSize))
        log_message(VX_FATAL_SYS, "%s %s() l.%d: the report's spool cannot be made", VX_WHERE);
    fwrite(pLeft, 1, ullLeft, p->pSpool);
    VX_FREE(pLeft, VX_FATAL_SYS, "%s %s l. %d: VX_FREE spool", VX_WHERE);
    for (uint64_t k = p->ullHead; k != p->ullTail; k++) {
        DigestJob* j = p->ppRing[k % kMaxJobs];
        j->ullInsertAt -= ullShift;
        j->ullLineAt -= ullShift;  // modulo 2^64: it may lie before the spool's start
        if (!j->bMessage) j->ullRedoAt -= ullShift;
    }
    p->ullConsumed = 0;
}

// Callers keep fewer than kMaxJobs events queued, so neither ring overflows.
void Enqueue(Pool* p, DigestJob* j) {
    p->ppRing[p->ullTail % kMaxJobs] = j;
    p->ullTail++;
    if (j->bMessage) return;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->ppWork[p->ullWorkTail % kMaxJobs] = j;
        p->ullWorkTail++;
    }
    p->cvWork.notify_one();
}

// The diagnostics of the main thread follow the report held before them:
// while nothing is being written out, one that does not end the run is
// written to the diagnostics' spool and held in order with the report.
FILE* HoldMessage(int bWriteNow) {
    Pool* p = g_pPool;
    if (p == nullptr || p->bWriting) return nullptr;
    if (bWriteNow || p->pMessages == nullptr) {
        WriteOut(p, 1, 1);
        return nullptr;
    }
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs) WriteOut(p, 1, 0);
    // (After a signal nothing is written out to make room.)
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs) return nullptr;
    fflush(p->pMessages);
    p->ullMessageAt = p->messageSize;
    return p->pMessages;
}

void MessageHeld() {
    Pool* p = g_pPool;
    fflush(p->pMessages);
    const uint64_t ullBytes = p->messageSize - p->ullMessageAt;
    auto* pBlock = static_cast<uint8_t*>(VX_CALLOC(
        sizeof(DigestJob) + ullBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC held message",
        VX_WHERE));
    DigestJob* j = new (pBlock) DigestJob{};
    j->bMessage = 1;
    j->ullSeq = p->ullSeq;
    j->ullLineAt = p->ullRecordAt;
    j->ullInsertAt = static_cast<uint64_t>(ftell(p->pSpool));
    j->pText = reinterpret_cast<char*>(pBlock + sizeof(DigestJob));
    j->ullTextBytes = ullBytes;
    for (uint64_t i = 0; i < ullBytes; i++) j->pText[i] = p->pMessageBytes[p->ullMessageAt + i];
    j->state.store(JOB_DONE, std::memory_order_relaxed);
    Enqueue(p, j);
    if (p->messageSize >= kMessageSpoolBytes) {
        vx_plat_close_spool(p->pMessages, &p->pMessageBytes);
        if (!OpenSpool(&p->pMessages, &p->pMessageBytes, &p->messageSize))
            p->pMessages = nullptr;  // the next ones wait for the report instead
    }
}

void StopWorkers(Pool* p) {
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->bStop = true;
    }
    p->cvWork.notify_all();
    for (unsigned k = 0; k < p->dwWorkers; k++) {
        Worker* w = &p->pWorkers[k];
        if (w->pThread != nullptr) {
            w->pThread->join();
            w->pThread->~thread();
            w->pThread = nullptr;
        }
        vx_plat_md5_free(w->pMd5);
        w->pMd5 = nullptr;
        vx_plat_codecs_free(w->pCodecs);
        w->pCodecs = nullptr;
        if (w->pBuffer != nullptr)
            VX_FREE(w->pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE worker buffer", VX_WHERE);
        w->pBuffer = nullptr;
    }
}

// After a signal, the first job whose digest its thread did not make, in
// the order of the report (in the spill's list: *ppIn its entry); none when
// every digest is known.
DigestJob* FirstStopped(Pool* p, Deferred** ppIn) {
    auto stopped = [](const DigestJob* j) {
        const int state = j->state.load(std::memory_order_acquire);
        return !j->bMessage && state != JOB_DONE && state != JOB_FAILED;
    };
    *ppIn = nullptr;
    for (uint64_t k = p->ullDeferHead; p->bSpilling && k != p->ullDeferTail; k++) {
        Deferred& d = p->pDeferred[k % kMaxDeferred];
        if (d.pJob != nullptr && stopped(d.pJob)) {
            *ppIn = &d;
            return d.pJob;
        }
    }
    for (uint64_t k = p->ullHead; k != p->ullTail; k++)
        if (stopped(p->ppRing[k % kMaxJobs])) return p->ppRing[k % kMaxJobs];
    return nullptr;
}

// After a signal, with the threads stopped: writes out what is held up to
// the first record whose digest was not made, the records before it whole,
// with their digests and diagnostics, as a run to the end writes them.  A
// record part of whose report went out already (before a diagnostic of its
// own) is finished instead, its digest made here.  *pullCut: the record the
// report stops before, UINT64_MAX when nothing was left out.
void WriteCompleted(Pool* p, uint64_t* pullCut) {
    p->bWriting = 1;
    Deferred* pIn = nullptr;
    DigestJob* c = FirstStopped(p, &pIn);
    while (c != nullptr && c->ullSeq + 1 == p->ullPartialSeq) {
        c->state.store(JOB_FAILED, std::memory_order_release);  // made again when written
        c = FirstStopped(p, &pIn);
    }
    const uint64_t ullCutSeq = c != nullptr ? c->ullSeq : UINT64_MAX;
    *pullCut = c != nullptr ? c->ullRecord : UINT64_MAX;
    if (p->bSpilling) {
        for (; p->ullDeferHead != p->ullDeferTail; p->ullDeferHead++) {
            Deferred& d = p->pDeferred[p->ullDeferHead % kMaxDeferred];
            DigestJob* j = d.pJob;
            if (j == nullptr) continue;
            if (j->ullSeq >= ullCutSeq) break;
            CopySpill(p, d.ullAt);
            if (j->bMessage) {
                WriteMessage(p, j);
            } else {
                RedoIfFailed(p, j);
                CopySpill(p, d.ullDigitsAt);
                WriteDigits(p, j);
                p->ullSpillOut += 32;
            }
            FreeJob(p, j);
            d.pJob = nullptr;
        }
        if (pIn != nullptr) {
            if (pIn->ullLineAt <= p->ullSpillEnd) CopySpill(p, pIn->ullLineAt);
            return;
        }
        const auto llBack = static_cast<int64_t>(p->ullConsumed - (c != nullptr ? c->ullLineAt : 0));
        if (c != nullptr && llBack > 0) {
            CopySpill(p, p->ullSpillEnd - static_cast<uint64_t>(llBack));
            return;
        }
        CopySpill(p, p->ullSpillEnd);
        p->bSpilling = 0;
    }
    fflush(p->pSpool);
    for (; p->ullHead != p->ullTail; p->ullHead++) {
        DigestJob* j = p->ppRing[p->ullHead % kMaxJobs];
        if (j->ullSeq >= ullCutSeq) break;
        if (j->bMessage) {
            WriteSpool(p, j->ullInsertAt);
            WriteMessage(p, j);
        } else {
            WriteSpool(p, j->ullRedoAt);
            RedoIfFailed(p, j);
            WriteSpool(p, j->ullInsertAt);
            WriteDigits(p, j);
        }
        FreeJob(p, j);
    }
    if (c == nullptr)
        WriteSpool(p, p->spoolSize);
    else if (static_cast<int64_t>(c->ullLineAt - p->ullConsumed) > 0)
        WriteSpool(p, c->ullLineAt);
}

void FreePool(Pool* p) {
    // What a signal left unwritten.
    for (; p->ullHead != p->ullTail; p->ullHead++) FreeJob(p, p->ppRing[p->ullHead % kMaxJobs]);
    for (; p->pDeferred != nullptr && p->ullDeferHead != p->ullDeferTail; p->ullDeferHead++) {
        Deferred& d = p->pDeferred[p->ullDeferHead % kMaxDeferred];
        if (d.pJob != nullptr) FreeJob(p, d.pJob);
        d.pJob = nullptr;
    }
    if (p->pWorkers != nullptr)
        VX_FREE(p->pWorkers, VX_FATAL_SYS, "%s %s l. %d: VX_FREE workers", VX_WHERE);
    if (p->ppRing != nullptr)
        VX_FREE(p->ppRing, VX_FATAL_SYS, "%s %s l. %d: VX_FREE event ring", VX_WHERE);
    if (p->ppWork != nullptr)
        VX_FREE(p->ppWork, VX_FATAL_SYS, "%s %s l. %d: VX_FREE job ring", VX_WHERE);
    if (p->pZeros != nullptr)
        VX_FREE(const_cast<uint8_t*>(p->pZeros), VX_FATAL_SYS, "%s %s l. %d: VX_FREE zeros",
                VX_WHERE);
    vx_plat_close_spool(p->pSpool, &p->pSpoolBytes);
    vx_plat_close_spool(p->pMessages, &p->pMessageBytes);
    if (p->pSpill != nullptr) fclose(p->pSpill);
    if (p->pSpillBuffer != nullptr)
        VX_FREE(p->pSpillBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE spill", VX_WHERE);
    if (p->pDeferred != nullptr)
        VX_FREE(p->pDeferred, VX_FATAL_SYS, "%s %s l. %d: VX_FREE spill list", VX_WHERE);
    p->~Pool();
    VX_FREE(p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE Pool", VX_WHERE);
}

// The system is told of the bytes a queued file will need as the file is
// queued, so that they arrive while the threads still hash the files before
// it, and reading and hashing overlap on a disk.  Neighbouring files go in
// one call: a file of a few KiB each would cost a call apiece otherwise.
void HintRange(Pool* p, uint64_t ullAt, uint64_t ullLength) {
    if (p->ullHintEnd > p->ullHintAt && ullAt >= p->ullHintAt &&
        ullAt <= p->ullHintEnd + kHintGap && ullAt + ullLength - p->ullHintAt <= kReadChunk) {
        if (ullAt + ullLength > p->ullHintEnd) p->ullHintEnd = ullAt + ullLength;
        return;
    }
    if (p->ullHintEnd > p->ullHintAt)
        vx_plat_read_ahead(p->pDev, p->ullHintAt, p->ullHintEnd - p->ullHintAt);
    p->ullHintAt = ullAt;
    p->ullHintEnd = ullAt + ullLength;
}

// The first kReadChunk bytes of a stream's data; a thread reads ahead of
// itself past them.
void HintStream(Pool* p, const PoolStream* s) {
    const uint64_t c = p->ullCluster;
    uint64_t ullLeft = s->ullSize < kReadChunk ? s->ullSize : kReadChunk;
    for (uint64_t r = 0; r < s->ullRunCount && ullLeft > 0; r++) {
        const Run& run = s->pRuns[r];
        const uint64_t ullRunBytes = run.ullLength < kReadChunk / c + 1 ? run.ullLength * c
                                                                         : kReadChunk + c;
        const uint64_t n = ullRunBytes < ullLeft ? ullRunBytes : ullLeft;
        ullLeft -= n;
        if (run.llLcn == kSparseLcn) continue;
        if (run.llLcn < 0 || static_cast<uint64_t>(run.llLcn) >= p->ullClusters) return;
        HintRange(p, static_cast<uint64_t>(run.llLcn) * c, n);
    }
}

// The threads take the runs one after the other; the stream reader finds a
// VCN's run by the starts kept beside them.  The two agree when each start
// is the sum of the lengths before it; else the file is hashed in line.
bool StartsAddUp(const Attribute* a) {
    if (a->pullRunStarts == nullptr) return true;
    uint64_t ullVcn = 0;
    for (uint64_t r = 0; r < a->ullRunCount; r++) {
        if (a->pullRunStarts[r] != ullVcn) return false;
        ullVcn += a->pRunlist[r].ullLength;
    }
    return true;
}

}  // namespace

int DigestPoolStart(Volume* pVol, FILE* pOut, unsigned dwThreads) {
    if (g_pPool != nullptr || dwThreads < 2) return 0;
    void* pMemory = VX_CALLOC(1, sizeof(Pool), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC Pool",
                              VX_WHERE);
    Pool* p = new (pMemory) Pool{};
    p->pVol = pVol;
    p->pDev = pVol->hVolume;
    p->bReadFree = !vx_plat_concurrent_reads(pVol->hVolume);
    p->ullCluster = pVol->ClusterSize;
    p->ullClusters = pVol->ClusterNumber;
    p->pOut = pOut;
    if (!OpenSpool(&p->pSpool, &p->pSpoolBytes, &p->spoolSize)) {
        FreePool(p);
        return 0;
    }
    if (!OpenSpool(&p->pMessages, &p->pMessageBytes, &p->messageSize)) p->pMessages = nullptr;
    p->pZeros = static_cast<uint8_t*>(
        VX_CALLOC(kZeroBlock, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC zeros", VX_WHERE));
    p->ppRing = static_cast<DigestJob**>(VX_CALLOC(
        kMaxJobs, sizeof(DigestJob*), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC event ring", VX_WHERE));
    p->ppWork = static_cast<DigestJob**>(VX_CALLOC(
        kMaxJobs, sizeof(DigestJob*), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC job ring", VX_WHERE));
    p->pWorkers = static_cast<Worker*>(VX_CALLOC(
        dwThreads, sizeof(Worker), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC workers", VX_WHERE));
    p->dwWorkers = dwThreads;
    int ok = 1;
    for (unsigned k = 0; k < dwThreads && ok; k++) {
        Worker* w = &p->pWorkers[k];
        w->pBuffer = static_cast<uint8_t*>(VX_CALLOC(
            kReadChunk, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC worker buffer", VX_WHERE));
        w->pMd5 = vx_plat_md5_new();
        ok = w->pMd5 != nullptr;
    }
    for (unsigned k = 0; k < dwThreads && ok; k++) {
        Worker* w = &p->pWorkers[k];
        w->pThread = new (w->threadStorage) std::thread(WorkerMain, p, w);
    }
    if (!ok) {
        StopWorkers(p);
        FreePool(p);
        return 0;
    }
    g_pPool = p;
    VxHoldMessage = HoldMessage;
    VxMessageHeld = MessageHeld;
    return 1;
}

FILE* DigestPoolNextRecord(FILE* pOut) {
    Pool* p = g_pPool;
    if (p == nullptr) return pOut;
    p->ullSeq++;
    // What is known is written; past the bounds, the oldest are waited for.
    WriteOut(p, 0, 0);
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs || p->ullHeldBytes >= kMaxJobBytes ||
        static_cast<uint64_t>(ftell(p->pSpool)) - p->ullConsumed >= kMaxSpoolBytes) {
        fflush(p->pSpool);
        WriteOut(p, 1, 0);
    }
    CompactSpool(p);
    // The held report lives in memory: a write to it fails only when memory does.
    uint32_t dwError = 0;
    if (vx_plat_output_failed(p->pSpool, &dwError)) {
        p->bWriting = 1;
        vx_plat_set_last_error(dwError);
        log_message(VX_FATAL_SYS, "%s %s() l.%d: the report held in memory cannot be written",
                    VX_WHERE);
    }
    p->ullRecordAt = static_cast<uint64_t>(ftell(p->pSpool));
    return p->pSpool;
}

DigestJob* DigestPoolPrepare(FILE* stream, const Entry* pEntry) {
    Pool* p = g_pPool;
    if (p == nullptr || stream != p->pSpool) return nullptr;
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    // Files whose reparse point places their data off the volume, and
    // encrypted ones, are hashed in line, which says what their digest is
    // (or why there is none).  A WOF file's content is decoded by a thread.
    const DataPlace place = FindDataPlace(pEntry);
    if (place.iPlace != DATA_ON_VOLUME && place.iPlace != DATA_WOF) return nullptr;
    if (p->bReadFree && place.iPlace != DATA_ON_VOLUME) return nullptr;
    int bStorage = 0;
    uint32_t dwStreams = 0;
    int bNonResident = 0;
    uint64_t ullData = 0;
    uint64_t ullBytes = sizeof(DigestJob);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* a = &pEntry->pAttrList[k];
        if (a->dwType != dwData) continue;
        if ((a->wFlags & kAttrEncrypted) != 0) return nullptr;
        // The storage is read as its runs lie: one stored otherwise is read in line.
        if (place.iPlace == DATA_WOF && IsWofStream(a)) {
            if ((a->wFlags & kAttrCompressionMask) != 0) return nullptr;
            bStorage = 1;
        }
        dwStreams++;
        ullBytes += sizeof(PoolStream);
        if (a->bResident) {
            if ((a->ullSize > 0 && a->pStream == nullptr) || a->ullSize > kMaxOneJob)
                return nullptr;
            ullBytes += (a->ullSize + 7) & ~7ull;  // the runs after it stay aligned
        } else {
            bNonResident = 1;
            if (p->bReadFree)
                for (uint64_t r = 0; r < a->ullRunCount; r++)
                    if (a->pRunlist[r].llLcn != kSparseLcn) return nullptr;
            ullData = a->ullSize > UINT64_MAX - ullData ? UINT64_MAX : ullData + a->ullSize;
            if (a->ullRunCount > kMaxOneJob / sizeof(Run) || !StartsAddUp(a)) return nullptr;
            ullBytes += a->ullRunCount * sizeof(Run);
        }
        if (ullBytes > kMaxOneJob) return nullptr;
    }
    if (!bNonResident) return nullptr;
    if (place.iPlace == DATA_WOF && !bStorage) return nullptr;  // said in line
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs) WriteOut(p, 1, 0);
    if (p->ullHeldBytes + ullBytes > kMaxJobBytes) WriteOut(p, 1, 0);
    if (p->ullHeldBytes + ullBytes > kMaxJobBytes) WriteOut(p, 1, 1);
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs) return nullptr;  // after a signal
    auto* pBlock = static_cast<uint8_t*>(
        VX_CALLOC(ullBytes, 1, VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC DigestJob - Base record #" VX_U64, VX_WHERE,
                  pEntry->ullBaseRecord));
    DigestJob* j = new (pBlock) DigestJob{};
    uint64_t ullUsed = sizeof(DigestJob);
    j->ullRecord = pEntry->ullBaseRecord;
    j->ullSeq = p->ullSeq;
    j->ullLineAt = p->ullRecordAt;
    j->ullBlockBytes = ullBytes;
    j->ullDataBytes = ullData;
    j->dwStreams = dwStreams;
    j->bWof = place.iPlace == DATA_WOF;
    j->dwWofAlgorithm = place.dwAlgorithm;
    j->pStreams = reinterpret_cast<PoolStream*>(pBlock + ullUsed);
    ullUsed += dwStreams * sizeof(PoolStream);
    uint32_t n = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* a = &pEntry->pAttrList[k];
        if (a->dwType != dwData) continue;
        PoolStream* s = &j->pStreams[n++];
        s->dwType = a->dwType;
        s->iRole = a->wNameLength > 0 ? ROLE_NAMED : ROLE_PLAIN;
        if (j->bWof) {
            if (IsWofStream(a)) s->iRole = ROLE_WOF_STORAGE;
            else if (a->wNameLength == 0) s->iRole = ROLE_WOF_CONTENT;
        }
        s->bResident = a->bResident;
        s->wFlags = a->wFlags;
        s->wCompressionUnit = a->wCompressionUnit;
        s->ullSize = a->ullSize;
        s->ullInitSize = a->ullInitSize;
        if (a->bResident) {
            s->pResident = pBlock + ullUsed;
            for (uint64_t i = 0; i < a->ullSize; i++) s->pResident[i] = a->pStream[i];
            ullUsed += (a->ullSize + 7) & ~7ull;
        } else {
            // Runs are 16 bytes and the block's parts before them multiples of 8.
            s->pRuns = a->ullRunCount > 0 ? reinterpret_cast<Run*>(pBlock + ullUsed) : nullptr;
            for (uint64_t i = 0; i < a->ullRunCount; i++) s->pRuns[i] = a->pRunlist[i];
            s->ullRunCount = a->ullRunCount;
            ullUsed += a->ullRunCount * sizeof(Run);
            HintStream(p, s);
        }
    }
    p->ullHeldBytes += ullBytes;
    j->ullRedoAt = static_cast<uint64_t>(ftell(p->pSpool));
    return j;
}

void DigestPoolSubmit(DigestJob* pJob) {
    Pool* p = g_pPool;
    pJob->ullInsertAt = static_cast<uint64_t>(ftell(p->pSpool));
    Enqueue(p, pJob);
}

int DigestPoolStop(uint64_t* pullCut) {
    Pool* p = g_pPool;
    if (p == nullptr) return 0;
    WriteOut(p, 1, 1);
    // A signal, before or while the held report was written out.
    if (vx_plat_interrupted() != 0) {
        StopWorkers(p);
        uint64_t ullCut = UINT64_MAX;
        WriteCompleted(p, &ullCut);
        if (pullCut != nullptr) *pullCut = ullCut;
    }
    fflush(p->pOut);
    VxHoldMessage = nullptr;
    VxMessageHeld = nullptr;
    g_pPool = nullptr;
    StopWorkers(p);
    const int bLastFailed = p->bLastFailed;
    FreePool(p);
    return bLastFailed;
}

#else  // Windows: reads at an offset share the handle's position; no threads.

int DigestPoolStart(Volume*, FILE*, unsigned) { return 0; }
FILE* DigestPoolNextRecord(FILE* pOut) { return pOut; }
DigestJob* DigestPoolPrepare(FILE*, const Entry*) { return nullptr; }
void DigestPoolSubmit(DigestJob*) {}
int DigestPoolStop(uint64_t*) { return 0; }

#endif
