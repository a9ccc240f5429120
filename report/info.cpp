#include "report/info.h"

#include "diskio/diskio.h"
#include "diskio/le.h"
#include "platform/platform.h"
#include "run/vx_log.h"
#include "security/sd_dump.h"
#include "security/vx_comment.h"
#include "text/vx_locale.h"

#define VX_MODULE "info"

FILE* InfoDebugStream = nullptr;
int InfoNoSequenceCheck = 0;

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

// The records of one walk, from the file reported up to the level being read.
struct PathTrail {
    uint64_t* pullRecords;
    uint32_t dwCount;
    uint32_t dwMax;
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

    if (ullParent == kRootRecord) {
        fprintf(stream, "%c:\\", pEntry->pVolume->DriveLetter);
    } else if (OnTrail(pTrail, ullParent) || pTrail->dwCount >= kMaxPathDepth) {
        // Damaged parent references that lead round in a circle (or deeper
        // than any path can go): the path begins below the repeat.
        log_message(VX_ERROR,
                    "%s %s() l.%d: parent directory #" VX_U64
                    " already on the path, walk stopped - Base record #" VX_U64,
                    VX_MODULE, "WalkBack", __LINE__, ullParent, pTrail->pullRecords[0]);
        status = VX_FAILED;
    } else {
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
        }
        if (FreeEntry(pParent) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    }

    int s = DumpFileName(stream, pEntry);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    if (s == VX_FAILED) status = VX_FAILED;
    if (ReleaseStreamBuffer(pName, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    return status;
}

// ------------------------------------------------------------------ MD5

void Md5Update(void*, const uint8_t* pData, uint32_t dwLength) {
    vx_plat_md5_update(pData, dwLength);
}

// ---------------------------------------------------------- the report

// The descriptor buffer of the $SDS lookups: as large as the largest entry,
// made on the first lookup and reused for every file.
uint8_t* g_pDescriptor = nullptr;
uint32_t g_cbDescriptor = 0;

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
    const SecList* pList = &pVol->secList;
    if (g_pDescriptor == nullptr || g_cbDescriptor < pList->dwMaxSize) {
        if (pList->dwMaxSize == 0) return VX_FAILED;
        // One volume is read per run; a list of another volume (in tests)
        // may need more room than the first.
        if (g_pDescriptor != nullptr) FreeInfoBuffers();
        g_cbDescriptor = pList->dwMaxSize;
        g_pDescriptor = static_cast<uint8_t*>(VX_CALLOC(
            pList->dwMaxSize, 1, VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pEntry->pVolume->secList.dwMaxSize - Base record #" VX_U64,
            VX_WHERE, pEntry->ullBaseRecord));
    }
    const SecInfo* pInfo = nullptr;
    for (uint32_t k = 0; k < pList->dwCount && pInfo == nullptr; k++)
        if (pList->pSecInfo[k].dwId == pEntry->dwSecurityId) pInfo = &pList->pSecInfo[k];
    if (pInfo == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: security id %u not found - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    // The entry's length counts its 20-byte header: the descriptor is the
    // rest, and the bytes after it belong to the next entry.
    uint64_t ullCount = pInfo->dwSize >= kSdsHeaderSize ? pInfo->dwSize - kSdsHeaderSize : 0;
    if (pVol->pSecureData == nullptr ||
        !ReadStreamBytes(pVol, pVol->pSecureData, pInfo->ullOffset, &ullCount, g_pDescriptor)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: security id %u not read (" VX_U64 ") - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, ullCount, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    *pbRendered = 1;
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
    if (g_pDescriptor != nullptr)
        VX_FREE(g_pDescriptor, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_pDescriptor", VX_WHERE);
    g_pDescriptor = nullptr;
    g_cbDescriptor = 0;
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

    fprintf(stream, "%02u/%02u/" VX_U64 " %02u:%02u:%02u.%07u", days + 1, month + 1, ullYear,
            s / 3600, (s % 3600) / 60, s % 60, dwFraction);
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
    PathTrail trail{};
    PushTrail(&trail, pEntry->ullBaseRecord);
    const int s = Walk(stream, pEntry, 1, lineMode, &trail);
    VX_FREE(trail.pullRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pullRecords", VX_WHERE);
    if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
    fputs(lineMode ? "|" : "\n", stream);
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int WalkBack(FILE* stream, const Entry* pEntry, int isFirst, int lineMode) {
    PathTrail trail{};
    PushTrail(&trail, pEntry->ullBaseRecord);
    const int s = Walk(stream, pEntry, isFirst, lineMode, &trail);
    VX_FREE(trail.pullRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE trail.pullRecords", VX_WHERE);
    return s;
}

int DumpFileName(FILE* stream, const Entry* pEntry) {
    int status = VX_OK;
    // The longest name, its "\" and the terminator.
    vx_wchar wszName[255 + 2] = {0};
    bool bChosen = false;
    const uint32_t dwType = AttrType(pEntry, ATTR_FILE_NAME);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwType) continue;
        uint64_t ullSize = 0;
        uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
        bool bWin32 = false;
        if (ullSize <= kNameOffset - 1) {
            log_message(VX_ERROR, "%s %s() l.%d: truncated stream - Size : " VX_U64, VX_WHERE,
                        ullSize);
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
                }
            } else {
                bWin32 = false;  // skipped: it does not end the search
            }
        }
        if (ReleaseStreamBuffer(pAttr, pValue) == VX_FATAL_STATUS) return VX_FATAL_STATUS;
        if (bWin32) break;
    }
    if (bChosen) vx_fputws(stream, wszName);
    return status;
}

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
