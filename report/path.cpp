// File names and paths: the name chosen for a file and its full path,
// rebuilt by walking the parent references of $FILE_NAME up to the root,
// with a memo of the parent paths already written.
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/stream_write.h"
#include "report/decode.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "text/vx_locale.h"
#include "diskio/layout/file_name.h"

#define VX_MODULE "info"

FILE* InfoDebugStream = nullptr;
int InfoNoSequenceCheck = 0;

bool ReportRemembers() { return InfoDebugStream == nullptr && DiskioDebugStream == nullptr; }

namespace {

constexpr uint64_t kRootRecord = 5;

// A path of 32767 UTF-16 units, the longest Windows can name, holds at most
// 16383 levels of a one-unit name and its "\".  A deeper walk can only come
// from damaged parent references.
constexpr uint32_t kMaxPathDepth = 16384;

// ------------------------------------------------------------ the path walk

constexpr uint32_t kNoNode = 0xFFFFFFFFu;
// Buckets of the records on the trail: the deepest trail is kMaxPathDepth
// records, so each is met in a step or two.
constexpr uint32_t kTrailBuckets = 1u << 15;

// The records of one walk, from the file reported up to the level being
// read, and the wide units the walk has written so far: the levels write
// from the top down, so when the walk of a parent returns, the units hold
// that parent's whole path (bRoot: it began with the drive's root).  The
// arrays are kept from walk to walk.  The records past the first few are
// also chained by bucket (pdwHeads, pdwBelow), so that whether a record is
// on the trail costs a step, not a pass over a trail thousands deep.
struct PathTrail {
    uint64_t* pullRecords;
    uint32_t* pdwBelow;  // the trail index of the next record of the same bucket
    uint32_t* pdwHeads;  // kTrailBuckets: the highest trail index of each bucket
    uint32_t dwCount;
    uint32_t dwMax;
    vx_wchar* pwszPath;
    uint32_t dwLength;
    uint32_t dwPathMax;
    uint32_t dwNames;
    bool bRoot;
    // What the walk of one level leaves for its caller's memo: the memo
    // node whose path its units begin with (none: they are all its own)
    // and where its own units begin.
    uint32_t dwAboveNode;
    uint32_t dwAboveGeneration;
    uint32_t dwNameStart;
    // The nodes of one remembered path, from the parent up (kept from walk to walk).
    uint32_t* pdwChain;
    uint32_t dwChainMax;
    struct PathMemo* pMemo;  // the memo of the same volume
    // The memo node (+ 1; 0: none) of its generation whose whole path the
    // first dwRecalledUnits units still hold, and when that path is all
    // ASCII its bytes, which both writers write as they are: files of one
    // directory come one after the other, and their parent's path is then
    // written again without being put together and converted each time.
    uint32_t dwRecalledSlot;
    uint32_t dwRecalledGeneration;
    uint32_t dwRecalledUnits;
    bool bRecalledAscii;
    char* pszRecalled;
    uint32_t dwRecalledMax;
};

// The first records of a trail are only looked through, one after the
// other: most trails are a few levels deep, and a bucket touched at random
// for every file cost a cache miss each.  The records below come into the
// buckets.
constexpr uint32_t kScannedTrail = 32;

uint32_t TrailBucket(uint64_t ullRecord) {
    return static_cast<uint32_t>((ullRecord * 0x9E3779B97F4A7C15ull) >> 49) & (kTrailBuckets - 1);
}

bool OnTrail(const PathTrail* pTrail, uint64_t ullRecord) {
    const uint32_t dwScanned = pTrail->dwCount < kScannedTrail ? pTrail->dwCount : kScannedTrail;
    for (uint32_t k = 0; k < dwScanned; k++)
        if (pTrail->pullRecords[k] == ullRecord) return true;
    if (pTrail->dwCount <= kScannedTrail) return false;
    for (uint32_t k = pTrail->pdwHeads[TrailBucket(ullRecord)]; k != kNoNode;
         k = pTrail->pdwBelow[k])
        if (pTrail->pullRecords[k] == ullRecord) return true;
    return false;
}

void PushTrail(PathTrail* pTrail, uint64_t ullRecord) {
    if (pTrail->dwCount >= kScannedTrail && pTrail->pdwHeads == nullptr) {
        pTrail->pdwHeads = static_cast<uint32_t*>(VX_CALLOC(
            kTrailBuckets, sizeof(uint32_t), VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pTrail->pdwHeads", VX_WHERE));
        for (uint32_t b = 0; b < kTrailBuckets; b++) pTrail->pdwHeads[b] = kNoNode;
    }
    if (pTrail->dwCount == pTrail->dwMax) {
        pTrail->dwMax = static_cast<uint32_t>(vx_grown(pTrail->dwMax, 7));
        pTrail->pullRecords = static_cast<uint64_t*>(VX_REALLOC(
            pTrail->pullRecords, pTrail->dwMax, sizeof(uint64_t), VX_FATAL_SYS,
            "%s %s l. %d: VX_REALLOC pTrail->pullRecords", VX_WHERE));
        pTrail->pdwBelow = static_cast<uint32_t*>(VX_REALLOC(
            pTrail->pdwBelow, pTrail->dwMax, sizeof(uint32_t), VX_FATAL_SYS,
            "%s %s l. %d: VX_REALLOC pTrail->pdwBelow", VX_WHERE));
    }
    pTrail->pullRecords[pTrail->dwCount] = ullRecord;
    if (pTrail->dwCount >= kScannedTrail) {
        const uint32_t dwBucket = TrailBucket(ullRecord);
        pTrail->pdwBelow[pTrail->dwCount] = pTrail->pdwHeads[dwBucket];
        pTrail->pdwHeads[dwBucket] = pTrail->dwCount;
    }
    pTrail->dwCount++;
}

// The records leave the trail in the reverse order they came: the last is
// the head of its bucket.
void PopTrail(PathTrail* pTrail) {
    const uint32_t k = --pTrail->dwCount;
    if (k >= kScannedTrail)
        pTrail->pdwHeads[TrailBucket(pTrail->pullRecords[k])] = pTrail->pdwBelow[k];
}

void StartTrail(PathTrail* pTrail, uint64_t ullRecord) {
    while (pTrail->dwCount > 0) PopTrail(pTrail);
    pTrail->dwLength = 0;
    pTrail->dwNames = 0;
    pTrail->bRoot = false;
    PushTrail(pTrail, ullRecord);
}

// Appends units (and keeps the path 0-terminated).
void AppendPath(PathTrail* pTrail, const vx_wchar* pwsz, uint32_t dwUnits) {
    if (pTrail->dwLength < pTrail->dwRecalledUnits) pTrail->dwRecalledSlot = 0;
    if (pTrail->dwLength + dwUnits + 1 > pTrail->dwPathMax) {
        const uint32_t dwMax = (pTrail->dwLength + dwUnits + 1 + 511) / 512 * 512;
        pTrail->pwszPath = static_cast<vx_wchar*>(VX_REALLOC(
            pTrail->pwszPath, dwMax, sizeof(vx_wchar), VX_FATAL_SYS,
            "%s %s l. %d: VX_REALLOC pTrail->pwszPath", VX_WHERE));
        pTrail->dwPathMax = dwMax;
    }
    for (uint32_t u = 0; u < dwUnits; u++) pTrail->pwszPath[pTrail->dwLength++] = pwsz[u];
    pTrail->pwszPath[pTrail->dwLength] = 0;
}

// ------------------------------------------------------- the path memo
//
// Directories are met again and again as parents: a memo keeps the path of
// each parent walked, so that the walk of its next child writes it again
// without reading the records above.  It is keyed by the parent's record
// number and the sequence its child expects (the record alone with -n,
// where the sequence is not checked), and holds exactly the units that the
// parent's walk wrote, which are written again through the current
// wide-character writer.  Only walks that wrote no diagnostic and returned
// 0 are kept: a walk through an unreadable or odd parent runs in full each
// time, so that its messages stay as they are.  With a debug stream there
// is no memo at all, so that every trace line is written.
//
// Each directory is a node: its own units (its name and "\") and the node
// of the path above it, so that a path thousands of levels deep costs its
// own name to keep and its length to write again, never a walk over the
// records above.  A node whose parent's node is gone (the memo started
// again in between) holds its whole path, if that is short.  Its memory is
// bounded: when full, it starts again empty.
constexpr uint32_t kMemoSlots = 1u << 16;                // a power of two
constexpr uint32_t kMemoMaxEntries = kMemoSlots / 4 * 3;
constexpr uint32_t kMemoUnits = 2u * 1024 * 1024;        // 4 MiB of names
constexpr uint32_t kMemoMaxPath = 4096;                  // a whole path kept in one node

struct PathNode {
    uint64_t ullRecord;
    uint16_t wSequence;
    uint8_t bRoot;     // the path begins with the drive's root
    uint32_t dwLink;   // the node whose path comes before the units, or none
    uint32_t dwStart;  // the node's own units in the unit store
    uint32_t dwUnits;
    uint32_t dwNames;  // of the whole path
};

struct PathMemo {
    uint32_t* pdwSlots;  // a node's index + 1; 0: free
    PathNode* pNodes;
    vx_wchar* pwszUnits;
    uint32_t dwEntries;
    uint32_t dwUsedUnits;
    uint32_t dwGeneration;  // counts the starts again: older node indexes are void
    // What the entries hold is true for: one sequence-check setting, one
    // wide-character writer (the memo belongs to one volume).
    int bNoSequenceCheck;
    vx_wc_writer pfnWriter;
};

void ClearMemo(PathMemo* pMemo) {
    if (pMemo->pdwSlots != nullptr) memset(pMemo->pdwSlots, 0, kMemoSlots * sizeof(uint32_t));
    pMemo->dwEntries = 0;
    pMemo->dwUsedUnits = 0;
    pMemo->dwGeneration++;
}

// Makes the memo hold entries of these settings only.
void PrepareMemo(PathMemo* pMemo) {
    if (pMemo->pdwSlots == nullptr) {
        pMemo->pdwSlots = static_cast<uint32_t*>(VX_CALLOC(
            kMemoSlots, sizeof(uint32_t), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pMemo->pdwSlots",
            VX_WHERE));
        pMemo->pNodes = static_cast<PathNode*>(VX_CALLOC(
            kMemoMaxEntries, sizeof(PathNode), VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pMemo->pNodes", VX_WHERE));
        pMemo->pwszUnits = static_cast<vx_wchar*>(VX_CALLOC(
            kMemoUnits, sizeof(vx_wchar), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pMemo->pwszUnits",
            VX_WHERE));
    }
    if (pMemo->bNoSequenceCheck != InfoNoSequenceCheck || pMemo->pfnWriter != wc_output_function) {
        ClearMemo(pMemo);
        pMemo->bNoSequenceCheck = InfoNoSequenceCheck;
        pMemo->pfnWriter = wc_output_function;
    }
}

uint32_t MemoHash(uint64_t ullRecord, uint16_t wSequence) {
    uint64_t h = (ullRecord * 0x9E3779B97F4A7C15ull) ^ (uint64_t(wSequence) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<uint32_t>(h >> 40) & (kMemoSlots - 1);
}

// The slot of the key: the node's index + 1 when it is known, else the free
// slot where it goes.
uint32_t* FindMemoSlot(PathMemo* pMemo, uint64_t ullRecord, uint16_t wSequence) {
    if (InfoNoSequenceCheck) wSequence = 0;
    for (uint32_t k = MemoHash(ullRecord, wSequence);; k = (k + 1) & (kMemoSlots - 1)) {
        uint32_t* pSlot = &pMemo->pdwSlots[k];
        if (*pSlot == 0) return pSlot;
        const PathNode& node = pMemo->pNodes[*pSlot - 1];
        if (node.ullRecord == ullRecord && node.wSequence == wSequence) return pSlot;
    }
}

// Keeps the parent's path that the trail holds, as the walk of the parent
// left it; the index of its node, or none.
uint32_t StoreMemo(PathMemo* pMemo, uint64_t ullRecord, uint16_t wSequence,
                   const PathTrail* pTrail) {
    uint32_t dwLink = pTrail->dwAboveNode;
    if (dwLink != kNoNode && pTrail->dwAboveGeneration != pMemo->dwGeneration) dwLink = kNoNode;
    uint32_t dwFrom = dwLink == kNoNode ? 0 : pTrail->dwNameStart;
    if (pMemo->dwEntries >= kMemoMaxEntries ||
        pMemo->dwUsedUnits + (pTrail->dwLength - dwFrom) + 1 > kMemoUnits) {
        ClearMemo(pMemo);
        dwLink = kNoNode;
        dwFrom = 0;
    }
    if (dwLink == kNoNode && pTrail->dwLength > kMemoMaxPath) return kNoNode;
    uint32_t* pSlot = FindMemoSlot(pMemo, ullRecord, wSequence);
    if (*pSlot != 0) return kNoNode;
    // Nodes of no units are passed over: following the links costs at most
    // one step for each unit written.
    if (dwLink != kNoNode && pMemo->pNodes[dwLink].dwUnits == 0)
        dwLink = pMemo->pNodes[dwLink].dwLink;
    const uint32_t dwIndex = pMemo->dwEntries++;
    PathNode* pNode = &pMemo->pNodes[dwIndex];
    pNode->ullRecord = ullRecord;
    pNode->wSequence = InfoNoSequenceCheck ? 0 : wSequence;
    pNode->bRoot = pTrail->bRoot ? 1 : 0;
    pNode->dwLink = dwLink;
    pNode->dwStart = pMemo->dwUsedUnits;
    pNode->dwUnits = pTrail->dwLength - dwFrom;
    pNode->dwNames = pTrail->dwNames;
    for (uint32_t u = dwFrom; u < pTrail->dwLength; u++)
        pMemo->pwszUnits[pMemo->dwUsedUnits++] = pTrail->pwszPath[u];
    *pSlot = dwIndex + 1;
    return dwIndex;
}

// The trail's units become the node's whole path: its chain of links
// followed up, then their units appended from the top down.  Each link
// leads to a node stored before, so the chain ends.
void RecallMemo(PathTrail* pTrail, const PathMemo* pMemo, uint32_t dwNode) {
    uint32_t dwChain = 0;
    for (uint32_t k = dwNode; k != kNoNode; k = pMemo->pNodes[k].dwLink) {
        if (dwChain == pTrail->dwChainMax) {
            pTrail->dwChainMax = static_cast<uint32_t>(vx_grown(pTrail->dwChainMax, 64));
            pTrail->pdwChain = static_cast<uint32_t*>(VX_REALLOC(
                pTrail->pdwChain, pTrail->dwChainMax, sizeof(uint32_t), VX_FATAL_SYS,
                "%s %s l. %d: VX_REALLOC pTrail->pdwChain", VX_WHERE));
        }
        pTrail->pdwChain[dwChain++] = k;
    }
    pTrail->dwLength = 0;
    AppendPath(pTrail, nullptr, 0);
    while (dwChain > 0) {
        const PathNode& node = pMemo->pNodes[pTrail->pdwChain[--dwChain]];
        AppendPath(pTrail, pMemo->pwszUnits + node.dwStart, node.dwUnits);
    }
}

// Writes the node's whole path and leaves it in the trail's units, as
// RecallMemo and the writing of those units would (no stream: the units only).
void WriteRecalled(FILE* stream, PathTrail* pTrail, const PathMemo* pMemo, uint32_t dwNode) {
    if (pTrail->dwRecalledSlot == dwNode + 1 && pTrail->dwRecalledGeneration == pMemo->dwGeneration) {
        pTrail->dwLength = pTrail->dwRecalledUnits;
        pTrail->pwszPath[pTrail->dwLength] = 0;
        if (stream == nullptr) return;
        if (pTrail->bRecalledAscii)
            vx_put_bytes(stream, pTrail->pszRecalled, pTrail->dwRecalledUnits);
        else
            vx_fputws(stream, pTrail->pwszPath);
        return;
    }
    RecallMemo(pTrail, pMemo, dwNode);
    if (stream == nullptr) return;
    const uint32_t dwUnits = pTrail->dwLength;
    bool bAscii = wc_output_function == vx_locale_fputwc || wc_output_function == vx_utf8_fputwc;
    if (bAscii && dwUnits > pTrail->dwRecalledMax) {
        const uint32_t dwMax = (dwUnits + 511) / 512 * 512;
        pTrail->pszRecalled = static_cast<char*>(VX_REALLOC(
            pTrail->pszRecalled, dwMax, 1, VX_FATAL_SYS,
            "%s %s l. %d: VX_REALLOC pTrail->pszRecalled", VX_WHERE));
        pTrail->dwRecalledMax = dwMax;
    }
    for (uint32_t u = 0; bAscii && u < dwUnits; u++) {
        const vx_wchar w = pTrail->pwszPath[u];
        if (w == 0 || w >= 0x80) bAscii = false;
        else pTrail->pszRecalled[u] = static_cast<char>(w);
    }
    pTrail->dwRecalledSlot = dwNode + 1;
    pTrail->dwRecalledGeneration = pMemo->dwGeneration;
    pTrail->dwRecalledUnits = dwUnits;
    pTrail->bRecalledAscii = bAscii;
    if (bAscii)
        vx_put_bytes(stream, pTrail->pszRecalled, dwUnits);
    else
        vx_fputws(stream, pTrail->pwszPath);
}

// The file's chosen name (see DumpFileName), written and, when a trail is
// given, appended to its path.
int WriteFileName(FILE* stream, const Entry* pEntry, PathTrail* pTrail);

// With no stream, the path is only built in the trail's units.
int Walk(FILE* stream, const Entry* pEntry, int isFirst, int lineMode, PathTrail* pTrail) {
    int status = VX_OK;
    if (InfoDebugStream != nullptr)
        fprintf(InfoDebugStream, "%s: dealing with base record #" VX_U64 "\n", "WalkBack",
                pEntry->ullBaseRecord);
    const Attribute* pName = FindAttribute(pEntry, AttrType(pEntry, ATTR_FILE_NAME), nullptr);
    if (pName == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: unable to find any filename\nBase record #" VX_U64,
                    VX_MODULE, "WalkBack", __LINE__, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    uint64_t ullSize = 0;
    uint8_t* pValue = GetStreamBuffer(pEntry, pName, &ullSize);
    if (ullSize < file_name::kParentRefSize) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: WalkBack : corrupted filename stream - Base record #" VX_U64,
                    VX_MODULE, "WalkBack", __LINE__, pEntry->ullBaseRecord);
        ReleaseStreamBuffer(pName, pValue);
        return VX_FAILED;
    }
    const uint64_t ullParent = vx_le48(pValue, ullSize, file_name::kParentRecord);
    const uint16_t wExpected = vx_le16(pValue, ullSize, file_name::kParentSequence);
    if (InfoDebugStream != nullptr)
        fprintf(InfoDebugStream, "%s: found parent directory #" VX_U64 " (seq %u)\n", "WalkBack",
                ullParent, wExpected);

    if (!isFirst && !pEntry->bDirectory) {
        if (InfoDebugStream != nullptr)
            fprintf(InfoDebugStream, "%s: expected parent #" VX_U64 " is not a directory\n",
                    "WalkBack", pEntry->ullBaseRecord);
        ReleaseStreamBuffer(pName, pValue);
        pTrail->dwAboveNode = kNoNode;
        pTrail->dwNameStart = 0;
        return status;
    }

    const bool bMemo = ReportRemembers();
    PathMemo* pMemo = pTrail->pMemo;
    const PathNode* pKnown = nullptr;
    uint32_t dwKnown = kNoNode;
    if (bMemo && ullParent != kRootRecord) {
        PrepareMemo(pMemo);
        const uint32_t dwSlot = *FindMemoSlot(pMemo, ullParent, wExpected);
        // The walk it stands for went this deep above the parent; here it
        // must stay within the bound too.
        if (dwSlot != 0 && pTrail->dwCount + pMemo->pNodes[dwSlot - 1].dwNames + 2 < kMaxPathDepth) {
            dwKnown = dwSlot - 1;
            pKnown = &pMemo->pNodes[dwKnown];
        }
    }
    // The node of the path written above this level's name.
    uint32_t dwAbove = kNoNode;

    if (ullParent == kRootRecord) {
        const char szRoot[3] = {pEntry->pVolume->DriveLetter, ':', '\\'};
        if (stream != nullptr) vx_put_bytes(stream, szRoot, 3);
        pTrail->bRoot = true;
    } else if (pKnown != nullptr) {
        // The parent's path exactly as its walk wrote it.
        if (pKnown->bRoot && stream != nullptr) {
            const char szRoot[3] = {pEntry->pVolume->DriveLetter, ':', '\\'};
            vx_put_bytes(stream, szRoot, 3);
        }
        WriteRecalled(stream, pTrail, pMemo, dwKnown);
        pTrail->bRoot = pKnown->bRoot != 0;
        pTrail->dwNames = pKnown->dwNames;
        dwAbove = dwKnown;
    } else if (OnTrail(pTrail, ullParent) || pTrail->dwCount >= kMaxPathDepth) {
        // Damaged parent references that lead round in a circle (or deeper
        // than any path can go): the path begins below the repeat.
        log_message(VX_ERROR,
                    "%s %s() l.%d: parent directory #" VX_U64
                    " already on the path, walk stopped - Base record #" VX_U64,
                    VX_MODULE, "WalkBack", __LINE__, ullParent, pTrail->pullRecords[0]);
        status = VX_FAILED;
    } else {
        const uint64_t ullMessages = VxMessageCount;
        bool bClean = false;
        Entry* pParent = nullptr;
        int s = InitEntry(pEntry->pVolume, &pParent, ullParent, 0);
        if (s == VX_FAILED) status = VX_FAILED;
        if (!InfoNoSequenceCheck && pParent->wSequence != wExpected) {
            if (InfoDebugStream != nullptr)
                fprintf(InfoDebugStream,
                        "%s: parent #" VX_U64 ", unexpected sequence %u (expected %u)\n",
                        "WalkBack", ullParent, pParent->wSequence, wExpected);
        } else {
            PushTrail(pTrail, ullParent);
            s = Walk(stream, pParent, 0, lineMode, pTrail);
            PopTrail(pTrail);
            if (s == VX_FAILED) status = VX_FAILED;
            bClean = s == VX_OK;
        }
        FreeEntry(pParent);
        if (bMemo && bClean && status == VX_OK && VxMessageCount == ullMessages)
            dwAbove = StoreMemo(pMemo, ullParent, wExpected, pTrail);
    }
    pTrail->dwAboveNode = dwAbove;
    pTrail->dwAboveGeneration = pMemo->dwGeneration;
    pTrail->dwNameStart = pTrail->dwLength;

    int s = WriteFileName(stream, pEntry, pTrail);
    if (s == VX_FAILED) status = VX_FAILED;
    ReleaseStreamBuffer(pName, pValue);
    return status;
}

int WriteFileName(FILE* stream, const Entry* pEntry, PathTrail* pTrail) {
    int status = VX_OK;
    // The longest name, its "\" and the terminator; every copy into it
    // ends with a terminator, so nothing past one is ever read.
    vx_wchar wszName[255 + 2];
    wszName[0] = 0;
    uint32_t dwUnits = 0;
    bool bChosen = false;
    const uint32_t dwType = AttrType(pEntry, ATTR_FILE_NAME);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwType) continue;
        uint64_t ullSize = 0;
        uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
        bool bWin32 = false;
        FileNameFacts facts;
        if (!DecodeFileName(pValue, ullSize, &facts)) {
            log_message(VX_ERROR, "%s %s() l.%d: truncated stream - Size : " VX_U64, VX_MODULE,
                        "DumpFileName", __LINE__, ullSize);
            status = VX_FAILED;
        } else {
            bWin32 = (facts.bNamespace & file_name::kWin32) != 0;
            if (!bChosen || bWin32) {
                bChosen = true;
                if (facts.bNameInside) {
                    for (uint32_t u = 0; u < facts.bLength; u++) wszName[u] = facts.wszName[u];
                    uint32_t end = facts.bLength;
                    if (facts.dwFlags & file_name::kFlagDirectory) wszName[end++] = '\\';
                    wszName[end] = 0;
                    dwUnits = end;
                }
            } else {
                bWin32 = false;  // skipped: it does not end the search
            }
        }
        ReleaseStreamBuffer(pAttr, pValue);
        if (bWin32) break;
    }
    if (bChosen) {
        if (stream != nullptr) vx_fputws(stream, wszName);
        // The units as written: a name may hold a 0 unit, where writing stops.
        uint32_t dwWritten = 0;
        while (dwWritten < dwUnits && wszName[dwWritten] != 0) dwWritten++;
        if (pTrail != nullptr) {
            AppendPath(pTrail, wszName, dwWritten);
            pTrail->dwNames++;
        }
    }
    return status;
}

// ------------------------------------------------ the volume's path state

// The trail and the memo of one volume: made by its first walk, freed when
// the volume closes.
struct PathState {
    PathTrail trail;
    PathMemo memo;
};

void FreePathState(void* pState) {
    auto* p = static_cast<PathState*>(pState);
    if (p->memo.pdwSlots != nullptr)
        VX_FREE(p->memo.pdwSlots, VX_FATAL_SYS, "%s %s l. %d: VX_FREE memo.pdwSlots", VX_WHERE);
    if (p->memo.pNodes != nullptr)
        VX_FREE(p->memo.pNodes, VX_FATAL_SYS, "%s %s l. %d: VX_FREE memo.pNodes", VX_WHERE);
    if (p->memo.pwszUnits != nullptr)
        VX_FREE(p->memo.pwszUnits, VX_FATAL_SYS, "%s %s l. %d: VX_FREE memo.pwszUnits", VX_WHERE);
    if (p->trail.pullRecords != nullptr)
        VX_FREE(p->trail.pullRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pullRecords",
                VX_WHERE);
    if (p->trail.pdwBelow != nullptr)
        VX_FREE(p->trail.pdwBelow, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pdwBelow", VX_WHERE);
    if (p->trail.pdwHeads != nullptr)
        VX_FREE(p->trail.pdwHeads, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pdwHeads", VX_WHERE);
    if (p->trail.pdwChain != nullptr)
        VX_FREE(p->trail.pdwChain, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pdwChain", VX_WHERE);
    if (p->trail.pszRecalled != nullptr)
        VX_FREE(p->trail.pszRecalled, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pszRecalled",
                VX_WHERE);
    if (p->trail.pwszPath != nullptr)
        VX_FREE(p->trail.pwszPath, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pwszPath", VX_WHERE);
    VX_FREE(p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pPathState", VX_WHERE);
}

// The trail of the volume's walks, started at the record reported.
PathTrail* StartVolumeTrail(Volume* pVol, uint64_t ullRecord) {
    if (pVol->pReportState == nullptr) {
        auto* p = static_cast<PathState*>(
            VX_CALLOC(1, sizeof(PathState), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pPathState",
                      VX_WHERE));
        p->trail.pMemo = &p->memo;
        pVol->pReportState = p;
        pVol->pfnFreeReportState = FreePathState;
    }
    PathTrail* pTrail = &static_cast<PathState*>(pVol->pReportState)->trail;
    StartTrail(pTrail, ullRecord);
    return pTrail;
}

}  // namespace

int DumpFullPath(FILE* stream, const Entry* pEntry, int lineMode) {
    if (!lineMode) fputs("Full path name : ", stream);
    PathTrail* pTrail = StartVolumeTrail(pEntry->pVolume, pEntry->ullBaseRecord);
    const int s = Walk(stream, pEntry, 1, lineMode, pTrail);
    vx_put_char(stream, lineMode ? '|' : '\n');
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int GatherFullPath(const Entry* pEntry, const vx_wchar** ppwszPath, uint32_t* pdwUnits,
                   int* pbRoot) {
    PathTrail* pTrail = StartVolumeTrail(pEntry->pVolume, pEntry->ullBaseRecord);
    const int s = Walk(nullptr, pEntry, 1, 1, pTrail);
    *ppwszPath = pTrail->pwszPath;
    *pdwUnits = pTrail->dwLength;
    *pbRoot = pTrail->bRoot ? 1 : 0;
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int WalkBack(FILE* stream, const Entry* pEntry, int isFirst, int lineMode) {
    return Walk(stream, pEntry, isFirst, lineMode,
                StartVolumeTrail(pEntry->pVolume, pEntry->ullBaseRecord));
}

int DumpFileName(FILE* stream, const Entry* pEntry) { return WriteFileName(stream, pEntry, nullptr); }

