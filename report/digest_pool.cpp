// The hashing threads of -m and the spool that keeps the report in order.
#include "report/digest_pool.h"

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/info.h"
#include "report/report_internal.h"

#if !defined(_WIN32)

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#define VX_MODULE "info"

namespace {

// What one thread reads and hashes at a time, and the block of zeros that
// stands for every sparse run.
constexpr uint32_t kReadChunk = 1u << 20;
constexpr uint32_t kZeroBlock = 1u << 18;
// Bounds of what waits in memory: jobs queued, the bytes of their copies of
// the streams' runs and resident values, and the report held in the spool.
constexpr uint32_t kMaxJobs = 1u << 17;
constexpr uint64_t kMaxJobBytes = 12u << 20;
constexpr uint64_t kMaxSpoolBytes = 12u << 20;
// A file whose runs and values alone need more is hashed in line.
constexpr uint64_t kMaxOneJob = 1u << 20;

enum { JOB_QUEUED = 0, JOB_DONE = 1, JOB_FAILED = 2 };

struct PoolStream {
    uint32_t dwType;
    int bResident;
    uint16_t wFlags;
    uint64_t ullSize;
    uint8_t* pResident;  // the value's copy, inside the job's block
    Run* pRuns;          // the runs' copy, inside the job's block
    uint64_t ullRunCount;
};

}  // namespace

struct DigestJob {
    uint64_t ullRecord;
    uint64_t ullSeq;       // the record's place in the walk
    uint64_t ullRedoAt;    // spool offset where the hash of a file began
    uint64_t ullInsertAt;  // spool offset of the 32 hex digits
    uint64_t ullBlockBytes;
    uint32_t dwStreams;
    PoolStream* pStreams;
    int state;  // guarded by the pool's lock
    uint8_t digest[16];
};

namespace {

struct Worker {
    std::thread* pThread;
    alignas(std::thread) unsigned char threadStorage[sizeof(std::thread)];
    uint8_t* pBuffer;
    VxMd5* pMd5;
};

struct Pool {
    // Read-only while the threads run.
    Volume* pVol;
    VxDevice* pDev;
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
    uint64_t ullHeldBytes;
    uint64_t ullSeq;
    int bLastFailed;
    int bDraining;
    // Under lock: the ring of jobs, oldest first; the threads take them from
    // ullClaim on.
    std::mutex lock;
    std::condition_variable cvWork;
    std::condition_variable cvDone;
    DigestJob** ppRing;
    uint64_t ullHead;
    uint64_t ullClaim;
    uint64_t ullTail;
    bool bStop;
};

Pool* g_pPool = nullptr;

void HashAdd(Worker* w, const void* pData, uint64_t ullLength) {
    vx_plat_md5_add(w->pMd5, pData, static_cast<size_t>(ullLength));
    InfoHashedBytes.fetch_add(ullLength, std::memory_order_relaxed);
}

// The digest of a job's streams, every byte read at its own offset; 0 at
// the first thing that is not a clean read (the main thread does it again).
int HashJob(const Pool* p, Worker* w, const DigestJob* j) {
    if (!vx_plat_md5_begin(w->pMd5)) return 0;
    const uint64_t c = p->ullCluster;
    for (uint32_t k = 0; k < j->dwStreams; k++) {
        const PoolStream& s = j->pStreams[k];
        if (s.bResident) {
            HashAdd(w, s.pResident, s.ullSize);
            continue;
        }
        if (s.wFlags != 0) return 0;
        uint64_t ullLeft = s.ullSize;
        for (uint64_t r = 0; r < s.ullRunCount && ullLeft > 0; r++) {
            const Run& run = s.pRuns[r];
            const uint64_t ullNeed = ullLeft / c + (ullLeft % c != 0 ? 1 : 0);
            const uint64_t ullClusters = run.ullLength < ullNeed ? run.ullLength : ullNeed;
            uint64_t ullBytes = ullClusters * c < ullLeft ? ullClusters * c : ullLeft;
            if (run.llLcn == kSparseLcn) {
                ullLeft -= ullBytes;
                while (ullBytes > 0) {
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
    return 1;
}

void WorkerMain(Pool* p, Worker* w) {
    for (;;) {
        DigestJob* j = nullptr;
        {
            std::unique_lock<std::mutex> hold(p->lock);
            p->cvWork.wait(hold, [p] { return p->bStop || p->ullClaim != p->ullTail; });
            if (p->ullClaim == p->ullTail) return;
            j = p->ppRing[p->ullClaim % kMaxJobs];
            p->ullClaim++;
        }
        uint8_t digest[16];
        const int ok = HashJob(p, w, j);
        if (ok) vx_plat_md5_end(w->pMd5, digest);
        {
            std::lock_guard<std::mutex> hold(p->lock);
            if (ok)
                for (int i = 0; i < 16; i++) j->digest[i] = digest[i];
            j->state = ok ? JOB_DONE : JOB_FAILED;
        }
        p->cvDone.notify_all();
    }
}

void WriteSpool(Pool* p, uint64_t ullUpTo) {
    if (ullUpTo > p->ullConsumed)
        fwrite(p->pSpoolBytes + p->ullConsumed, 1, ullUpTo - p->ullConsumed, p->pOut);
    if (ullUpTo > p->ullConsumed) p->ullConsumed = ullUpTo;
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
        a->ullSize = s.ullSize;
        a->pStream = s.pResident;
        a->pRunlist = s.pRuns;
        a->ullRunCount = s.ullRunCount;
    }
    const int ok = ComputeMd5(&entry, digest);
    VX_FREE(entry.pAttrList, VX_FATAL_SYS, "%s %s l. %d: VX_FREE Attributes", VX_WHERE);
    return ok;
}

// Waits for every job and writes the spool out, digests in their places.
void Drain(Pool* p) {
    if (p->bDraining) return;
    p->bDraining = 1;
    fflush(p->pSpool);
    for (;;) {
        DigestJob* j = nullptr;
        {
            std::unique_lock<std::mutex> hold(p->lock);
            if (p->ullHead == p->ullTail) break;
            j = p->ppRing[p->ullHead % kMaxJobs];
            p->cvDone.wait(hold, [j] { return j->state != JOB_QUEUED; });
            p->ullHead++;
        }
        WriteSpool(p, j->ullRedoAt);
        if (j->state == JOB_FAILED) {
            const int ok = RedoJob(p, j, j->digest);
            if (!ok && j->ullSeq == p->ullSeq) p->bLastFailed = 1;
        }
        WriteSpool(p, j->ullInsertAt);
        for (uint8_t b : j->digest) fprintf(p->pOut, "%02x", b);
        p->ullHeldBytes -= j->ullBlockBytes;
        VX_FREE(j, VX_FATAL_SYS, "%s %s l. %d: VX_FREE DigestJob", VX_WHERE);
    }
    WriteSpool(p, p->spoolSize);
    p->bDraining = 0;
}

void DrainBeforeMessage() {
    if (g_pPool != nullptr) Drain(g_pPool);
}

int OpenSpool(Pool* p) {
    p->pSpool = vx_plat_open_spool(&p->pSpoolBytes, &p->spoolSize);
    p->ullConsumed = 0;
    if (p->pSpool == nullptr) return 0;
    // The report's own buffering is the spool's; a second one would only copy.
    setvbuf(p->pSpool, nullptr, _IOFBF, 1u << 16);
    return 1;
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
        }
        vx_plat_md5_free(w->pMd5);
        if (w->pBuffer != nullptr)
            VX_FREE(w->pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE worker buffer", VX_WHERE);
    }
}

void FreePool(Pool* p) {
    if (p->pWorkers != nullptr)
        VX_FREE(p->pWorkers, VX_FATAL_SYS, "%s %s l. %d: VX_FREE workers", VX_WHERE);
    if (p->ppRing != nullptr)
        VX_FREE(p->ppRing, VX_FATAL_SYS, "%s %s l. %d: VX_FREE job ring", VX_WHERE);
    if (p->pZeros != nullptr)
        VX_FREE(const_cast<uint8_t*>(p->pZeros), VX_FATAL_SYS, "%s %s l. %d: VX_FREE zeros",
                VX_WHERE);
    vx_plat_close_spool(p->pSpool, &p->pSpoolBytes);
    p->~Pool();
    VX_FREE(p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE Pool", VX_WHERE);
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
    if (g_pPool != nullptr || dwThreads < 2 || !vx_plat_concurrent_reads(pVol->hVolume)) return 0;
    void* pMemory = VX_CALLOC(1, sizeof(Pool), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC Pool",
                              VX_WHERE);
    Pool* p = new (pMemory) Pool{};
    p->pVol = pVol;
    p->pDev = pVol->hVolume;
    p->ullCluster = pVol->ClusterSize;
    p->ullClusters = pVol->ClusterNumber;
    p->pOut = pOut;
    if (!OpenSpool(p)) {
        FreePool(p);
        return 0;
    }
    p->pZeros = static_cast<uint8_t*>(
        VX_CALLOC(kZeroBlock, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC zeros", VX_WHERE));
    p->ppRing = static_cast<DigestJob**>(VX_CALLOC(
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
    VxBeforeMessageReport = DrainBeforeMessage;
    return 1;
}

FILE* DigestPoolNextRecord(FILE* pOut) {
    Pool* p = g_pPool;
    if (p == nullptr) return pOut;
    p->ullSeq++;
    const auto ullAt = static_cast<uint64_t>(ftell(p->pSpool));
    if (p->ullTail - p->ullHead + 1 >= kMaxJobs || p->ullHeldBytes >= kMaxJobBytes ||
        ullAt - p->ullConsumed >= kMaxSpoolBytes) {
        Drain(p);
        // Everything was written out: a fresh spool, so that it never grows.
        vx_plat_close_spool(p->pSpool, &p->pSpoolBytes);
        if (!OpenSpool(p))
            log_message(VX_FATAL_SYS, "%s %s() l.%d: the report's spool cannot be made",
                        VX_WHERE);
    }
    return p->pSpool;
}

DigestJob* DigestPoolPrepare(FILE* stream, const Entry* pEntry) {
    Pool* p = g_pPool;
    if (p == nullptr || stream != p->pSpool) return nullptr;
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    uint32_t dwStreams = 0;
    int bNonResident = 0;
    uint64_t ullBytes = sizeof(DigestJob);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* a = &pEntry->pAttrList[k];
        if (a->dwType != dwData) continue;
        dwStreams++;
        ullBytes += sizeof(PoolStream);
        if (a->bResident) {
            if ((a->ullSize > 0 && a->pStream == nullptr) || a->ullSize > kMaxOneJob)
                return nullptr;
            ullBytes += (a->ullSize + 7) & ~7ull;  // the runs after it stay aligned
        } else {
            bNonResident = 1;
            if (a->ullRunCount > kMaxOneJob / sizeof(Run) || !StartsAddUp(a)) return nullptr;
            ullBytes += a->ullRunCount * sizeof(Run);
        }
        if (ullBytes > kMaxOneJob) return nullptr;
    }
    if (!bNonResident) return nullptr;
    if (p->ullHeldBytes + ullBytes > kMaxJobBytes) Drain(p);
    auto* pBlock = static_cast<uint8_t*>(
        VX_CALLOC(ullBytes, 1, VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC DigestJob - Base record #" VX_U64, VX_WHERE,
                  pEntry->ullBaseRecord));
    auto* j = reinterpret_cast<DigestJob*>(pBlock);
    uint64_t ullUsed = sizeof(DigestJob);
    j->ullRecord = pEntry->ullBaseRecord;
    j->ullSeq = p->ullSeq;
    j->ullBlockBytes = ullBytes;
    j->dwStreams = dwStreams;
    j->pStreams = reinterpret_cast<PoolStream*>(pBlock + ullUsed);
    ullUsed += dwStreams * sizeof(PoolStream);
    uint32_t n = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* a = &pEntry->pAttrList[k];
        if (a->dwType != dwData) continue;
        PoolStream* s = &j->pStreams[n++];
        s->dwType = a->dwType;
        s->bResident = a->bResident;
        s->wFlags = a->wFlags;
        s->ullSize = a->ullSize;
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
        }
    }
    p->ullHeldBytes += ullBytes;
    j->ullRedoAt = static_cast<uint64_t>(ftell(p->pSpool));
    return j;
}

void DigestPoolSubmit(DigestJob* pJob) {
    Pool* p = g_pPool;
    pJob->ullInsertAt = static_cast<uint64_t>(ftell(p->pSpool));
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->ppRing[p->ullTail % kMaxJobs] = pJob;
        p->ullTail++;
    }
    p->cvWork.notify_one();
}

int DigestPoolStop() {
    Pool* p = g_pPool;
    if (p == nullptr) return 0;
    Drain(p);
    fflush(p->pOut);
    VxBeforeMessageReport = nullptr;
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
int DigestPoolStop() { return 0; }

#endif
