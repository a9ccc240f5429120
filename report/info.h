// The report of one file: the line of pipe-separated fields or, with -v, the
// labelled block; its standard information and times, its full path rebuilt
// from the parent references, and the MD5 of its data streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "text/vx_locale.h"

struct Entry;
struct Attribute;
struct DataPlace;

// Module-wide settings of the report, written by the run driver before the
// volume is opened and only read afterwards.
extern FILE* InfoDebugStream;     // none: no trace of the path walk
extern int InfoNoSequenceCheck;   // -n: parents are taken without the sequence check
// Bytes given to MD5 so far (-m), for the progress line; the hashing
// threads count theirs too.
extern std::atomic<uint64_t> InfoHashedBytes;

// Statuses: 0 written, 2 written as far as the data allowed (an error line
// says what was wrong), 1 fatal.
[[nodiscard]]
int DumpFileInfo(FILE* stream, Entry* pEntry, int md5, int lineMode);

// Fields 6 to 10 (attribute codes and the four times) from the file's
// $STANDARD_INFORMATION; records its security id in the Entry.
[[nodiscard]]
int DumpStandard(FILE* stream, Entry* pEntry, const Attribute* pAttr, int lineMode);
// Decodes the file's $STANDARD_INFORMATION for every writer, with the
// diagnostics of a short value, and records its security id in the Entry.
struct StandardFacts;
int ReadStandard(Entry* pEntry, const Attribute* pAttr, StandardFacts* pFacts);
// "dd/mm/yyyy hh:mm:ss.fffffff" of an NTFS time (100 ns units since 1601, UTC).
void DumpTime(FILE* stream, uint64_t ullTime);
// The text of an NTFS time into `text` (64 bytes), as the line writes it or
// as ISO 8601 writes it ("2020-07-25T12:26:46.8208763Z"); its length.
enum TimeForm : int { kTimeLine = 0, kTimeIso, kTimeForms };
size_t FormatNtfsTime(char* text, uint64_t ullTime, TimeForm form);

[[nodiscard]]
int DumpFullPath(FILE* stream, const Entry* pEntry, int lineMode);
// The same path built in memory and not written: its UTF-16 units without
// the drive's root ("C:\"), which *pbRoot says it begins with, valid until
// the next walk of the volume; the diagnostics and status of DumpFullPath.
[[nodiscard]]
int GatherFullPath(const Entry* pEntry, const vx_wchar** ppwszPath, uint32_t* pdwUnits,
                   int* pbRoot);
[[nodiscard]]
int WalkBack(FILE* stream, const Entry* pEntry, int isFirst, int lineMode);
[[nodiscard]]
int DumpFileName(FILE* stream, const Entry* pEntry);

// 1 when every data stream was hashed to its end, 0 otherwise.  With
// ppszNoDigest, when the data cannot be digested at all (it is not on the
// volume, or the reparse point that would place it is damaged), that reason:
// the digest is then no digest of the file.
[[nodiscard]]
int ComputeMd5(const Entry* pEntry, uint8_t digest[16], const char** ppszNoDigest = nullptr);
// The same for a file whose data place is known (a hashing thread's job,
// which holds the file's data streams alone).
[[nodiscard]]
int ComputeMd5Placed(const Entry* pEntry, const DataPlace& place, uint8_t digest[16],
                     const char** ppszNoDigest);
int DumpMd5(FILE* stream, const Entry* pEntry, int lineMode);
// 1 when the Entry is read from a copy of the $MFT and a data stream of it
// lies outside the copy (non-resident): its digest is left out, and counted
// in InfoDigestsLeftOut.
int DigestLeftOut(const Entry* pEntry);
extern std::atomic<uint64_t> InfoDigestsLeftOut;

// The security fields from the volume's $Secure store for the Entry's
// security id.  *pbRendered is 0 when the descriptor could not be obtained
// (nothing is written then, and the caller falls back on the file's own
// descriptor), 1 when it was handed to the renderer, whose status is returned.
[[nodiscard]]
int Dump_SDS_Security(FILE* stream, const Entry* pEntry, int lineMode, int* pbRendered);
// The security fields from the file's own $SECURITY_DESCRIPTOR.
[[nodiscard]]
int Dump_Stream_Security(FILE* stream, const Entry* pEntry, const Attribute* pAttr, int lineMode);
