// Standard information: the file attribute codes, the four NTFS times and,
// in verbose mode, the other fields of $STANDARD_INFORMATION.
#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "report/decode.h"
#include "report/info.h"
#include "security/vx_comment.h"
#include "text/vx_format.h"
#include "diskio/layout/standard_information.h"

#define VX_MODULE "info"

namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;

}  // namespace

void DumpTime(FILE* stream, uint64_t ullTime) {
    CivilTime t;
    SplitTime(ullTime, &t);
    // "%02u/%02u/%llu %02u:%02u:%02u.%07u", without the cost of printf.
    char text[64];
    char* p = vx_format_u64(text, t.dwDay, 2);
    *p++ = '/';
    p = vx_format_u64(p, t.dwMonth, 2);
    *p++ = '/';
    p = vx_format_u64(p, t.ullYear);
    *p++ = ' ';
    p = vx_format_u64(p, t.dwHour, 2);
    *p++ = ':';
    p = vx_format_u64(p, t.dwMinute, 2);
    *p++ = ':';
    p = vx_format_u64(p, t.dwSecond, 2);
    *p++ = '.';
    p = vx_format_u64(p, t.dwFraction, 7);
    fwrite(text, 1, static_cast<size_t>(p - text), stream);
}

int ReadStandard(Entry* pEntry, const Attribute* pAttr, StandardFacts* pFacts) {
    int status = VX_OK;
    uint64_t ullSize = 0;
    uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
    if (!DecodeStandard(pValue, ullSize, pFacts)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream - Size : " VX_U64 " - Base record " VX_U64,
                    VX_MODULE, "DumpStandard", __LINE__, ullSize, pEntry->ullBaseRecord);
        status = VX_FAILED;
    } else if (pEntry->pVolume->MajorVersion > 2) {
        if (pFacts->bNtfs3Fields) {
            pEntry->dwSecurityId = pFacts->dwSecurityId;
            pEntry->bSecurityId = 1;
        } else {
            log_message(VX_WARNING,
                        "%s %s() l.%d: pre-2k standard stream - Size : " VX_U64
                        " - Base record " VX_U64,
                        VX_MODULE, "DumpStandard", __LINE__, ullSize, pEntry->ullBaseRecord);
        }
    }
    ReleaseStreamBuffer(pAttr, pValue);
    return status;
}

int DumpStandard(FILE* stream, Entry* pEntry, const Attribute* pAttr, int lineMode) {
    StandardFacts facts;
    const int status = ReadStandard(pEntry, pAttr, &facts);
    if (status == VX_FAILED) {
        if (lineMode) fputs("|||||", stream);
        return status;
    }
    uint32_t dwFlags = facts.dwFileAttributes;
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
        DumpTime(stream, facts.ullTimes[k]);
        fputs(lineMode ? "|" : "\n", stream);
    }
    if (lineMode) return status;

    if (facts.dwMaxVersions != 0)
        fprintf(stream, "Version : %u/%u\n", facts.dwVersion, facts.dwMaxVersions);
    fprintf(stream, "Class Id : %u\n", facts.dwClassId);
    if (pEntry->pVolume->MajorVersion > 2 && facts.bNtfs3Fields) {
        fprintf(stream, "Security Id : %u\n", facts.dwSecurityId);
        fprintf(stream, "Quota Owner Id : %u\n", facts.dwOwnerId);
        if (facts.ullQuotaCharged != 0)
            fprintf(stream, "Quota charged : " VX_U64 "\n", facts.ullQuotaCharged);
        fprintf(stream, "Update Sequence Number : " VX_U64 "\n", facts.ullUsn);
    }
    return status;
}
