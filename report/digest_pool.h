// The digests of -m made by a pool of threads while the report goes on:
// each file's data streams are hashed by one thread, different files by
// different threads at once, and the report is held back in memory (the
// spool) until the digests it waits for are known, then written in order.
// Nothing a thread does writes a diagnostic: a file whose streams cannot be
// read cleanly is hashed again on the main thread when its turn to be
// written comes, which writes the diagnostics where and as without threads.
#pragma once

#include <cstdint>
#include <cstdio>

struct Volume;
struct Entry;
struct DigestJob;

// Starts dwThreads hashing threads over the open volume when a spool can be
// made; 1 started, 0 not (the digests are then made on the main thread as
// each line is written).  A source that serves one reader at a time gives
// the threads only the files whose streams are all sparse.
int DigestPoolStart(Volume* pVol, FILE* pOut, unsigned dwThreads);
// Before each record: the stream its report is written to (the spool, or
// pOut when no pool runs).  Writes out what is held when the pool is full.
FILE* DigestPoolNextRecord(FILE* pOut);
// A job for the Entry's data streams, when the pool runs, the report goes
// to its spool and some stream is not resident; none: hash in line.
DigestJob* DigestPoolPrepare(FILE* stream, const Entry* pEntry);
// Hands the job to the threads; its digest is written where the stream now is.
void DigestPoolSubmit(DigestJob* pJob);
// Writes out everything held and stops the threads; 1 when the last
// record's digest could not be made cleanly (its status is then failed).
// After a signal (vx_plat_interrupted), what is held is written out only up
// to the first record whose digest was not made, and *pullCut (when given)
// is that record's number, UINT64_MAX when nothing was left out.
int DigestPoolStop(uint64_t* pullCut);
