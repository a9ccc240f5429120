#include "report/info.h"

#include <cstring>

#include "diskio/diskio.h"
#include "base/le.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "security/sd_dump.h"
#include "security/vx_comment.h"
#include "text/vx_format.h"
#include "text/vx_locale.h"

#define VX_MODULE "info"

FILE* InfoDebugStream = nullptr;
int InfoNoSequenceCheck = 0;
uint64_t InfoHashedBytes = 0;

namespace {

constexpr uint64_t kRootRecord = 5;
constexpr uint32_t kDirectoryNameFlag = 0x10000000;
constexpr uint32_t kDirectoryAttribute = 0x10;

// $STANDARD_INFORMATION: the form written before NTFS 3 stops after the
// class id; the security id and what follows came with NTFS 3.
constexpr uint64_t kStandardMinSize = 48;
constexpr uint64_t kStandardFullSize = 72;

// $FILE_NAME: the parent reference, then the fixed part up to the name.
constexpr uint64_t kParentRefSize = 8;
constexpr uint64_t kNameOffset = 0x42;

// A path of 32767 UTF-16 units, the longest Windows can name, holds at most
// 16383 levels of a one-unit name and its "\".  A deeper walk can only come
// from damaged parent references.
constexpr uint32_t kMaxPathDepth = 16384;

uint32_t AttrType(const Entry* pEntry, AttrKind kind) {
    return pEntry->pVolume->AttrTypes[kind];
}

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
};
PathTrail g_trail = {};

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
    // What the entries hold is true for: one volume, one sequence-check
    // setting, one wide-character writer.
    const Volume* pVol;
    const VxDevice* pDevice;
    int bNoSequenceCheck;
    vx_wc_writer pfnWriter;
};
PathMemo g_memo = {};

bool MemoEnabled() { return InfoDebugStream == nullptr && DiskioDebugStream == nullptr; }

void ClearMemo() {
    if (g_memo.pSlots != nullptr)
        for (uint32_t k = 0; k < kMemoSlots; k++) g_memo.pSlots[k].bUsed = 0;
    g_memo.dwEntries = 0;
    g_memo.dwUsedUnits = 0;
}

void FreeMemo() {
    if (g_memo.pSlots != nullptr)
        VX_FREE(g_memo.pSlots, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_memo.pSlots", VX_WHERE);
    if (g_memo.pwszUnits != nullptr)
        VX_FREE(g_memo.pwszUnits, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_memo.pwszUnits", VX_WHERE);
    g_memo = PathMemo{};
}

// Makes the memo hold entries of this volume and these settings only.
void PrepareMemo(const Volume* pVol) {
    if (g_memo.pSlots == nullptr) {
        g_memo.pSlots = static_cast<MemoSlot*>(VX_CALLOC(
            kMemoSlots, sizeof(MemoSlot), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC g_memo.pSlots",
            VX_WHERE));
        g_memo.pwszUnits = static_cast<vx_wchar*>(VX_CALLOC(
            kMemoUnits, sizeof(vx_wchar), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC g_memo.pwszUnits",
            VX_WHERE));
    }
    if (g_memo.pVol != pVol || g_memo.pDevice != pVol->hVolume ||
        g_memo.bNoSequenceCheck != InfoNoSequenceCheck || g_memo.pfnWriter != wc_output_function) {
        ClearMemo();
        g_memo.pVol = pVol;
        g_memo.pDevice = pVol->hVolume;
        g_memo.bNoSequenceCheck = InfoNoSequenceCheck;
        g_memo.pfnWriter = wc_output_function;
    }
}

uint32_t MemoHash(uint64_t ullRecord, uint16_t wSequence) {
    uint64_t h = (ullRecord * 0x9E3779B97F4A7C15ull) ^ (uint64_t(wSequence) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<uint32_t>(h >> 40) & (kMemoSlots - 1);
}

MemoSlot* FindMemoSlot(uint64_t ullRecord, uint16_t wSequence) {
    if (InfoNoSequenceCheck) wSequence = 0;
    for (uint32_t k = MemoHash(ullRecord, wSequence);; k = (k + 1) & (kMemoSlots - 1)) {
        MemoSlot* pSlot = &g_memo.pSlots[k];
        if (!pSlot->bUsed || (pSlot->ullRecord == ullRecord && pSlot->wSequence == wSequence))
            return pSlot;
    }
}

void StoreMemo(uint64_t ullRecord, uint16_t wSequence, const PathTrail* pTrail) {
    if (pTrail->dwLength > kMemoMaxPath) return;
    if (g_memo.dwEntries >= kMemoMaxEntries || g_memo.dwUsedUnits + pTrail->dwLength + 1 > kMemoUnits)
        ClearMemo();
    MemoSlot* pSlot = FindMemoSlot(ullRecord, wSequence);
    if (pSlot->bUsed) return;
    pSlot->bUsed = 1;
    pSlot->ullRecord = ullRecord;
    pSlot->wSequence = InfoNoSequenceCheck ? 0 : wSequence;
    pSlot->bRoot = pTrail->bRoot ? 1 : 0;
    pSlot->dwStart = g_memo.dwUsedUnits;
    pSlot->dwLength = pTrail->dwLength;
    pSlot->dwNames = pTrail->dwNames;
    for (uint32_t u = 0; u < pTrail->dwLength; u++)
        g_memo.pwszUnits[g_memo.dwUsedUnits++] = pTrail->pwszPath[u];
    g_memo.pwszUnits[g_memo.dwUsedUnits++] = 0;
    g_memo.dwEntries++;
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
    if (ullSize < kParentRefSize) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: WalkBack : corrupted filename stream - Base record #" VX_U64,
                    VX_MODULE, "WalkBack", __LINE__, pEntry->ullBaseRecord);
        if (ReleaseStreamBuffer(pName, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
        return VX_FAILED;
    }
    const uint64_t ullParent = vx_le48(pValue, ullSize, 0);
    const uint16_t wExpected = vx_le16(pValue, ullSize, 6);
    if (InfoDebugStream != nullptr)
        fprintf(InfoDebugStream, "%s: found parent directory #" VX_U64 " (seq %u)\n", "WalkBack",
                ullParent, wExpected);

    if (!isFirst && !pEntry->bDirectory) {
        if (InfoDebugStream != nullptr)
            fprintf(InfoDebugStream, "%s: expected parent #" VX_U64 " is not a directory\n",
                    "WalkBack", pEntry->ullBaseRecord);
        if (ReleaseStreamBuffer(pName, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
        return status;
    }

    const bool bMemo = MemoEnabled();
    const MemoSlot* pKnown = nullptr;
    if (bMemo && ullParent != kRootRecord) {
        PrepareMemo(pEntry->pVolume);
        const MemoSlot* pSlot = FindMemoSlot(ullParent, wExpected);
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
        vx_fputws(stream, g_memo.pwszUnits + pKnown->dwStart);
        pTrail->bRoot = pKnown->bRoot != 0;
        pTrail->dwLength = 0;
        AppendPath(pTrail, g_memo.pwszUnits + pKnown->dwStart, pKnown->dwLength);
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
        if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
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
            if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
            if (s == VX_FAILED) status = VX_FAILED;
            bClean = s == VX_OK;
        }
        if (FreeEntry(pParent) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
        if (bMemo && bClean && status == VX_OK && VxMessageCount == ullMessages)
            StoreMemo(ullParent, wExpected, pTrail);
    }

    int s = WriteFileName(stream, pEntry, pTrail);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    if (s == VX_FAILED) status = VX_FAILED;
    if (ReleaseStreamBuffer(pName, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
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
        if (ullSize <= kNameOffset - 1) {
            log_message(VX_ERROR, "%s %s() l.%d: truncated stream - Size : " VX_U64, VX_MODULE,
                        "DumpFileName", __LINE__, ullSize);
            status = VX_FAILED;
        } else {
            const uint8_t bNamespace = vx_le8(pValue, ullSize, 0x41);
            bWin32 = (bNamespace & 1) != 0;
            if (!bChosen || bWin32) {
                bChosen = true;
                const uint8_t bLength = vx_le8(pValue, ullSize, 0x40);
                if (kNameOffset + 2ull * bLength <= ullSize) {
                    for (uint32_t u = 0; u < bLength; u++)
                        wszName[u] = vx_le16(pValue, ullSize, kNameOffset + 2ull * u);
                    uint32_t end = bLength;
                    if (vx_le32(pValue, ullSize, 0x38) & kDirectoryNameFlag) wszName[end++] = '\\';
                    wszName[end] = 0;
                    dwUnits = end;
                }
            } else {
                bWin32 = false;  // skipped: it does not end the search
            }
        }
        if (ReleaseStreamBuffer(pAttr, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
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

// ------------------------------------------------------------------ MD5

void Md5Update(void*, const uint8_t* pData, uint32_t dwLength) {
    vx_plat_md5_update(pData, dwLength);
    InfoHashedBytes += dwLength;
}

// ---------------------------------------------------------- the report

// The descriptor buffer of the $SDS lookups: as large as the largest entry,
// made on the first lookup and reused for every file.
uint8_t* g_pDescriptor = nullptr;
uint32_t g_cbDescriptor = 0;

void FreeDescriptor() {
    if (g_pDescriptor != nullptr)
        VX_FREE(g_pDescriptor, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_pDescriptor", VX_WHERE);
    g_pDescriptor = nullptr;
    g_cbDescriptor = 0;
}

// The security fields, from the volume's store or else from the file's own
// descriptor; never both, so a line has one set of them.
int DumpSecurityFields(FILE* stream, const Entry* pEntry, int lineMode) {
    if (pEntry->pVolume->MajorVersion > 2 && pEntry->bSecurityId) {
        int bRendered = 0;
        const int s = Dump_SDS_Security(stream, pEntry, lineMode, &bRendered);
        if (bRendered) return s;
        log_message(VX_ERROR,
                    "%s %s() l.%d: security id %u not found, trying SD stream - Base record : " VX_U64,
                    VX_MODULE, "DumpFileInfo", __LINE__, pEntry->dwSecurityId,
                    pEntry->ullBaseRecord);
    }
    const Attribute* pAttr =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_SECURITY_DESCRIPTOR), nullptr);
    if (pAttr != nullptr) return Dump_Stream_Security(stream, pEntry, pAttr, lineMode);
    if (lineMode) fputs("||||", stream);
    return VX_OK;
}

}  // namespace

// -------------------------------------------------------------- security

int Dump_SDS_Security(FILE* stream, const Entry* pEntry, int lineMode, int* pbRendered) {
    *pbRendered = 0;
    Volume* pVol = pEntry->pVolume;
    SecList* pList = &pVol->secList;
    if (g_pDescriptor == nullptr || g_cbDescriptor < pList->dwMaxSize) {
        if (pList->dwMaxSize == 0) return VX_FAILED;
        // One volume is read per run; a list of another volume (in tests)
        // may need more room than the first.
        if (g_pDescriptor != nullptr) FreeDescriptor();
        g_cbDescriptor = pList->dwMaxSize;
        g_pDescriptor = static_cast<uint8_t*>(VX_CALLOC(
            pList->dwMaxSize, 1, VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pEntry->pVolume->secList.dwMaxSize - Base record #" VX_U64,
            VX_WHERE, pEntry->ullBaseRecord));
    }
    SecInfo* pInfo = FindSecureSD(pList, pEntry->dwSecurityId);
    if (pInfo == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: security id %u not found - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    *pbRendered = 1;
    // A few dozen descriptors serve a whole volume: each is read once.  A
    // read that wrote anything, or ran with a trace, is done again for every
    // file so that its messages stay with each of them.
    if (pInfo->pDescriptor != nullptr)
        return DumpBufferSecurity(stream, pEntry->ullBaseRecord, pInfo->pDescriptor,
                                  pInfo->dwDescriptorBytes, lineMode);
    // The entry's length counts its 20-byte header: the descriptor is the
    // rest, and the bytes after it belong to the next entry.
    uint64_t ullCount = pInfo->dwSize >= kSdsHeaderSize ? pInfo->dwSize - kSdsHeaderSize : 0;
    const uint64_t ullMessages = VxMessageCount;
    if (pVol->pSecureData == nullptr ||
        !ReadStreamBytes(pVol, pVol->pSecureData, pInfo->ullOffset, &ullCount, g_pDescriptor)) {
        *pbRendered = 0;
        log_message(VX_ERROR,
                    "%s %s() l.%d: security id %u not read (" VX_U64 ") - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, ullCount, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    if (VxMessageCount == ullMessages && MemoEnabled() && ullCount > 0 &&
        pList->ullCachedBytes + ullCount <= kMaxCachedDescriptorBytes) {
        pInfo->pDescriptor = static_cast<uint8_t*>(
            VX_CALLOC(ullCount, 1, VX_FATAL_SYS,
                      "%s %s l. %d: VX_CALLOC pSecInfo->pDescriptor - Base record #" VX_U64,
                      VX_WHERE, pEntry->ullBaseRecord));
        memcpy(pInfo->pDescriptor, g_pDescriptor, ullCount);
        pInfo->dwDescriptorBytes = static_cast<uint32_t>(ullCount);
        pList->ullCachedBytes += ullCount;
    }
    return DumpBufferSecurity(stream, pEntry->ullBaseRecord, g_pDescriptor, ullCount, lineMode);
}

int Dump_Stream_Security(FILE* stream, const Entry* pEntry, const Attribute* pAttr, int lineMode) {
    uint64_t ullSize = 0;
    uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
    int status = DumpBufferSecurity(stream, pEntry->ullBaseRecord, pValue, ullSize, lineMode);
    if (ReleaseStreamBuffer(pAttr, pValue) == VX_FATAL_STATUS) status = VX_FATAL_STATUS;
    return status;
}

void FreeInfoBuffers() {
    FreeDescriptor();
    FreeMemo();
    if (g_trail.pullRecords != nullptr)
        VX_FREE(g_trail.pullRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pullRecords",
                VX_WHERE);
    if (g_trail.pwszPath != nullptr)
        VX_FREE(g_trail.pwszPath, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pwszPath", VX_WHERE);
    g_trail = PathTrail{};
}

// ------------------------------------------------------ standard information

void DumpTime(FILE* stream, uint64_t ullTime) {
    const uint64_t ullSeconds = ullTime / 10000000;
    const uint32_t dwFraction = static_cast<uint32_t>(ullTime % 10000000);
    uint64_t ullDays = ullSeconds / 86400;
    const uint32_t s = static_cast<uint32_t>(ullSeconds % 86400);

    // The Gregorian calendar repeats every 400 years (146097 days); 1601
    // starts such a cycle, whose centuries hold 36524 days but the last
    // one 36525, and whose four-year groups end with their leap year.
    uint64_t ullYear = 1601 + 400 * (ullDays / 146097);
    uint32_t days = static_cast<uint32_t>(ullDays % 146097);
    uint32_t step = days / 36524 < 3 ? days / 36524 : 3;
    days -= step * 36524;
    ullYear += 100 * step;
    step = days / 1461;
    days -= step * 1461;
    ullYear += 4 * step;
    step = days / 365 < 3 ? days / 365 : 3;
    days -= step * 365;
    ullYear += step;

    static constexpr uint8_t kMonthDays[2][12] = {
        {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    };
    const bool bLeap = (ullYear % 4 == 0 && ullYear % 100 != 0) || ullYear % 400 == 0;
    const uint8_t* pMonths = kMonthDays[bLeap ? 1 : 0];
    uint32_t month = 0;
    while (month < 11 && days >= pMonths[month]) days -= pMonths[month++];

    // "%02u/%02u/%llu %02u:%02u:%02u.%07u", without the cost of printf.
    char text[64];
    char* p = vx_format_u64(text, days + 1, 2);
    *p++ = '/';
    p = vx_format_u64(p, month + 1, 2);
    *p++ = '/';
    p = vx_format_u64(p, ullYear);
    *p++ = ' ';
    p = vx_format_u64(p, s / 3600, 2);
    *p++ = ':';
    p = vx_format_u64(p, (s % 3600) / 60, 2);
    *p++ = ':';
    p = vx_format_u64(p, s % 60, 2);
    *p++ = '.';
    p = vx_format_u64(p, dwFraction, 7);
    fwrite(text, 1, static_cast<size_t>(p - text), stream);
}

int DumpStandard(FILE* stream, Entry* pEntry, const Attribute* pAttr, int lineMode) {
    int status = VX_OK;
    uint64_t ullSize = 0;
    uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
    if (ullSize < kStandardMinSize) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream - Size : " VX_U64 " - Base record " VX_U64,
                    VX_WHERE, ullSize, pEntry->ullBaseRecord);
        status = VX_FAILED;
        if (lineMode) fputs("|||||", stream);
    } else {
        uint32_t dwFlags = vx_le32(pValue, ullSize, 32);
        if (pEntry->bDirectory) dwFlags |= kDirectoryAttribute;
        if (!lineMode) fputs("File attributes : ", stream);
        DumpBits(stream, dwFlags, FileAttributeBits, lineMode);

        static const char* const kTimeLabels[4] = {
            "Creation time : ",
            "Last write time : ",
            "Attribute modification time : ",
            "Last access time : ",
        };
        for (size_t k = 0; k < 4; k++) {
            if (!lineMode) fputs(kTimeLabels[k], stream);
            DumpTime(stream, vx_le64(pValue, ullSize, 8 * k));
            fputs(lineMode ? "|" : "\n", stream);
        }

        if (!lineMode) {
            const uint32_t dwMaxVersions = vx_le32(pValue, ullSize, 36);
            if (dwMaxVersions != 0)
                fprintf(stream, "Version : %u/%u\n", vx_le32(pValue, ullSize, 40), dwMaxVersions);
            fprintf(stream, "Class Id : %u\n", vx_le32(pValue, ullSize, 44));
        }

        if (pEntry->pVolume->MajorVersion > 2) {
            if (ullSize >= kStandardFullSize) {
                pEntry->dwSecurityId = vx_le32(pValue, ullSize, 52);
                pEntry->bSecurityId = 1;
                if (!lineMode) {
                    fprintf(stream, "Security Id : %u\n", pEntry->dwSecurityId);
                    fprintf(stream, "Quota Owner Id : %u\n", vx_le32(pValue, ullSize, 48));
                    const uint64_t ullQuota = vx_le64(pValue, ullSize, 56);
                    if (ullQuota != 0) fprintf(stream, "Quota charged : " VX_U64 "\n", ullQuota);
                    fprintf(stream, "Update Sequence Number : " VX_U64 "\n",
                            vx_le64(pValue, ullSize, 64));
                }
            } else {
                log_message(VX_WARNING,
                            "%s %s() l.%d: pre-2k standard stream - Size : " VX_U64
                            " - Base record " VX_U64,
                            VX_WHERE, ullSize, pEntry->ullBaseRecord);
            }
        }
    }
    if (ReleaseStreamBuffer(pAttr, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    return status;
}

// ----------------------------------------------------------------- paths

int DumpFullPath(FILE* stream, const Entry* pEntry, int lineMode) {
    if (!lineMode) fputs("Full path name : ", stream);
    StartTrail(&g_trail, pEntry->ullBaseRecord);
    const int s = Walk(stream, pEntry, 1, lineMode, &g_trail);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    fputs(lineMode ? "|" : "\n", stream);
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int WalkBack(FILE* stream, const Entry* pEntry, int isFirst, int lineMode) {
    StartTrail(&g_trail, pEntry->ullBaseRecord);
    return Walk(stream, pEntry, isFirst, lineMode, &g_trail);
}

int DumpFileName(FILE* stream, const Entry* pEntry) { return WriteFileName(stream, pEntry, nullptr); }

// ------------------------------------------------------------------- MD5

int DumpMd5(FILE* stream, const Entry* pEntry, int lineMode) {
    int ok = 1;
    if (!vx_plat_md5_init()) log_message(VX_FATAL_SYS, "%s %s() l.%d: MD5 unavailable", VX_WHERE);
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    for (uint16_t k = 0; k < pEntry->wAttrCount && ok; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData) continue;
        ok = ProcessStream(pEntry, pAttr, Md5Update, nullptr);
        if (!ok)
            log_message(VX_ERROR,
                        "%s %s() l.%d: error while processing MD5 - Base record #" VX_U64,
                        VX_WHERE, pEntry->ullBaseRecord);
    }
    uint8_t digest[16];
    vx_plat_md5_final(digest);
    if (!lineMode) fputs("MD5 hash value : ", stream);
    for (uint8_t b : digest) fprintf(stream, "%02x", b);
    fputs(lineMode ? "|" : "\n", stream);
    return ok;
}

// ------------------------------------------------------------ the report

int DumpFileInfo(FILE* stream, Entry* pEntry, int md5, int lineMode) {
    int status = VX_OK;
    fprintf(stream, lineMode ? VX_U64 "|" : "MFT record number : " VX_U64 "\n",
            pEntry->ullBaseRecord);

    int s = DumpFullPath(stream, pEntry, lineMode);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    if (s == VX_FAILED) status = VX_FAILED;

    if (md5) {
        if (!DumpMd5(stream, pEntry, lineMode)) status = VX_FAILED;
    } else if (lineMode) {
        fputs("|", stream);
    }

    if (pEntry->wLinkCount != 0)
        fprintf(stream, lineMode ? "%u|" : "Number of hard links : %u\n", pEntry->wLinkCount);
    else
        fputs(lineMode ? "0|" : "Erased file\n", stream);

    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    const Attribute* pMain = FindAttribute(pEntry, dwData, nullptr);
    if (pMain != nullptr)
        fprintf(stream, lineMode ? VX_U64 "|" : "Data stream size : " VX_U64 "\n",
                pMain->ullSize);
    else if (lineMode)
        fputs("|", stream);

    const Attribute* pStandard =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_STANDARD_INFORMATION), nullptr);
    if (pStandard != nullptr) {
        s = DumpStandard(stream, pEntry, pStandard, lineMode);
        if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
        if (s == VX_FAILED) status = VX_FAILED;
    } else if (lineMode) {
        fputs("|||||", stream);
    }

    uint32_t dwStreams = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++)
        if (pEntry->pAttrList[k].dwType == dwData) dwStreams++;
    fprintf(stream, lineMode ? "%u|" : "Number of data stream : %u\n", dwStreams);

    s = DumpSecurityFields(stream, pEntry, lineMode);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    if (s == VX_FAILED) status = VX_FAILED;

    uint32_t dwAlternate = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData || pAttr->wszName[0] == 0) continue;
        if (lineMode) {
            vx_fputws(stream, pAttr->wszName);
            fprintf(stream, "|" VX_U64 "|", pAttr->ullSize);
        } else {
            fprintf(stream, "Alternate data stream #%u Name: ", dwAlternate);
            vx_fputws(stream, pAttr->wszName);
            fprintf(stream, "\n Size : " VX_U64 "\n", pAttr->ullSize);
        }
        dwAlternate++;
    }
    fputs("\n", stream);
    return status;
}
