// File names and paths: the name chosen for a file and its full path,
// rebuilt by walking the parent references of $FILE_NAME up to the root,
// with a memo of the parent paths already written.
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
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

// The records of one walk, from the file reported up to the level being
// read, and the wide units the walk has written so far: the levels write
// from the top down, so when the walk of a parent returns, the units hold
// that parent's whole path (bRoot: it began with the drive's root).  The
// arrays are kept from walk to walk.
struct PathTrail {
    uint64_t* pullRecords;
    uint32_t dwCount;
    uint32_t dwMax;
    vx_wchar* pwszPath;
    uint32_t dwLength;
    uint32_t dwPathMax;
    uint32_t dwNames;
    bool bRoot;
    struct PathMemo* pMemo;  // the memo of the same volume
};

bool OnTrail(const PathTrail* pTrail, uint64_t ullRecord) {
    for (uint32_t k = 0; k < pTrail->dwCount; k++)
        if (pTrail->pullRecords[k] == ullRecord) return true;
    return false;
}

void PushTrail(PathTrail* pTrail, uint64_t ullRecord) {
    if (pTrail->dwCount == pTrail->dwMax) {
        pTrail->dwMax += 7;
        pTrail->pullRecords = static_cast<uint64_t*>(VX_REALLOC(
            pTrail->pullRecords, pTrail->dwMax, sizeof(uint64_t), VX_FATAL_SYS,
            "%s %s l. %d: VX_REALLOC pTrail->pullRecords", VX_WHERE));
    }
    pTrail->pullRecords[pTrail->dwCount++] = ullRecord;
}

void StartTrail(PathTrail* pTrail, uint64_t ullRecord) {
    pTrail->dwCount = 0;
    pTrail->dwLength = 0;
    pTrail->dwNames = 0;
    pTrail->bRoot = false;
    PushTrail(pTrail, ullRecord);
}

// Appends units (and keeps the path 0-terminated).
void AppendPath(PathTrail* pTrail, const vx_wchar* pwsz, uint32_t dwUnits) {
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
// is no memo at all, so that every trace line is written.  Its memory is
// bounded: when full, it starts again empty.
constexpr uint32_t kMemoSlots = 1u << 16;                // a power of two
constexpr uint32_t kMemoMaxEntries = kMemoSlots / 4 * 3;
constexpr uint32_t kMemoUnits = 2u * 1024 * 1024;        // 4 MiB of names
constexpr uint32_t kMemoMaxPath = 4096;                  // longer paths are not kept

struct MemoSlot {
    uint64_t ullRecord;
    uint16_t wSequence;
    uint8_t bUsed;
    uint8_t bRoot;
    uint32_t dwStart;  // in the unit store; 0-terminated there
    uint32_t dwLength;
    uint32_t dwNames;
};

struct PathMemo {
    MemoSlot* pSlots;
    vx_wchar* pwszUnits;
    uint32_t dwEntries;
    uint32_t dwUsedUnits;
    // What the entries hold is true for: one sequence-check setting, one
    // wide-character writer (the memo belongs to one volume).
    int bNoSequenceCheck;
    vx_wc_writer pfnWriter;
};

void ClearMemo(PathMemo* pMemo) {
    if (pMemo->pSlots != nullptr)
        for (uint32_t k = 0; k < kMemoSlots; k++) pMemo->pSlots[k].bUsed = 0;
    pMemo->dwEntries = 0;
    pMemo->dwUsedUnits = 0;
}

// Makes the memo hold entries of these settings only.
void PrepareMemo(PathMemo* pMemo) {
    if (pMemo->pSlots == nullptr) {
        pMemo->pSlots = static_cast<MemoSlot*>(VX_CALLOC(
            kMemoSlots, sizeof(MemoSlot), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pMemo->pSlots",
            VX_WHERE));
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

MemoSlot* FindMemoSlot(PathMemo* pMemo, uint64_t ullRecord, uint16_t wSequence) {
    if (InfoNoSequenceCheck) wSequence = 0;
    for (uint32_t k = MemoHash(ullRecord, wSequence);; k = (k + 1) & (kMemoSlots - 1)) {
        MemoSlot* pSlot = &pMemo->pSlots[k];
        if (!pSlot->bUsed || (pSlot->ullRecord == ullRecord && pSlot->wSequence == wSequence))
            return pSlot;
    }
}

void StoreMemo(PathMemo* pMemo, uint64_t ullRecord, uint16_t wSequence,
               const PathTrail* pTrail) {
    if (pTrail->dwLength > kMemoMaxPath) return;
    if (pMemo->dwEntries >= kMemoMaxEntries ||
        pMemo->dwUsedUnits + pTrail->dwLength + 1 > kMemoUnits)
        ClearMemo(pMemo);
    MemoSlot* pSlot = FindMemoSlot(pMemo, ullRecord, wSequence);
    if (pSlot->bUsed) return;
    pSlot->bUsed = 1;
    pSlot->ullRecord = ullRecord;
    pSlot->wSequence = InfoNoSequenceCheck ? 0 : wSequence;
    pSlot->bRoot = pTrail->bRoot ? 1 : 0;
    pSlot->dwStart = pMemo->dwUsedUnits;
    pSlot->dwLength = pTrail->dwLength;
    pSlot->dwNames = pTrail->dwNames;
    for (uint32_t u = 0; u < pTrail->dwLength; u++)
        pMemo->pwszUnits[pMemo->dwUsedUnits++] = pTrail->pwszPath[u];
    pMemo->pwszUnits[pMemo->dwUsedUnits++] = 0;
    pMemo->dwEntries++;
}

// The file's chosen name (see DumpFileName), written and, when a trail is
// given, appended to its path.
int WriteFileName(FILE* stream, const Entry* pEntry, PathTrail* pTrail);

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
        return status;
    }

    const bool bMemo = ReportRemembers();
    PathMemo* pMemo = pTrail->pMemo;
    const MemoSlot* pKnown = nullptr;
    if (bMemo && ullParent != kRootRecord) {
        PrepareMemo(pMemo);
        const MemoSlot* pSlot = FindMemoSlot(pMemo, ullParent, wExpected);
        // The walk it stands for went this deep above the parent; here it
        // must stay within the bound too.
        if (pSlot->bUsed && pTrail->dwCount + pSlot->dwNames + 2 < kMaxPathDepth) pKnown = pSlot;
    }

    if (ullParent == kRootRecord) {
        fprintf(stream, "%c:\\", pEntry->pVolume->DriveLetter);
        pTrail->bRoot = true;
    } else if (pKnown != nullptr) {
        // The parent's path exactly as its walk wrote it.
        if (pKnown->bRoot) fprintf(stream, "%c:\\", pEntry->pVolume->DriveLetter);
        vx_fputws(stream, pMemo->pwszUnits + pKnown->dwStart);
        pTrail->bRoot = pKnown->bRoot != 0;
        pTrail->dwLength = 0;
        AppendPath(pTrail, pMemo->pwszUnits + pKnown->dwStart, pKnown->dwLength);
        pTrail->dwNames = pKnown->dwNames;
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
            pTrail->dwCount--;
            if (s == VX_FAILED) status = VX_FAILED;
            bClean = s == VX_OK;
        }
        FreeEntry(pParent);
        if (bMemo && bClean && status == VX_OK && VxMessageCount == ullMessages)
            StoreMemo(pMemo, ullParent, wExpected, pTrail);
    }

    int s = WriteFileName(stream, pEntry, pTrail);
    if (s == VX_FAILED) status = VX_FAILED;
    ReleaseStreamBuffer(pName, pValue);
    return status;
}

int WriteFileName(FILE* stream, const Entry* pEntry, PathTrail* pTrail) {
    int status = VX_OK;
    // The longest name, its "\" and the terminator.
    vx_wchar wszName[255 + 2] = {0};
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
        vx_fputws(stream, wszName);
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
    if (p->memo.pSlots != nullptr)
        VX_FREE(p->memo.pSlots, VX_FATAL_SYS, "%s %s l. %d: VX_FREE memo.pSlots", VX_WHERE);
    if (p->memo.pwszUnits != nullptr)
        VX_FREE(p->memo.pwszUnits, VX_FATAL_SYS, "%s %s l. %d: VX_FREE memo.pwszUnits", VX_WHERE);
    if (p->trail.pullRecords != nullptr)
        VX_FREE(p->trail.pullRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pullRecords",
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
    fputs(lineMode ? "|" : "\n", stream);
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int WalkBack(FILE* stream, const Entry* pEntry, int isFirst, int lineMode) {
    return Walk(stream, pEntry, isFirst, lineMode,
                StartVolumeTrail(pEntry->pVolume, pEntry->ullBaseRecord));
}

int DumpFileName(FILE* stream, const Entry* pEntry) { return WriteFileName(stream, pEntry, nullptr); }

