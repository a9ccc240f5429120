// Standard information: the file attribute codes, the four NTFS times and,
// in verbose mode, the other fields of $STANDARD_INFORMATION.
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/stream_write.h"
#include "report/decode.h"
#include "report/info.h"
#include "security/vx_comment.h"
#include "text/vx_format.h"
#include "diskio/layout/standard_information.h"

#define VX_MODULE "info"

namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;

// The date of the day last formatted, in each form: the files of a volume
// were mostly written on a few days, and the calendar is the dear part of a
// time.
struct DayText {
    uint64_t ullDay = UINT64_MAX;
    char text[32];
    size_t cbText = 0;
};
thread_local DayText t_lastDay[kTimeForms];

void Format2(char* p, uint32_t value) {
    p[0] = static_cast<char>('0' + value / 10);
    p[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

// "%02u/%02u/%llu %02u:%02u:%02u.%07u" of the time into `text` (64 bytes),
// or "%04llu-%02u-%02uT%02u:%02u:%02u.%07uZ", without the cost of printf;
// returns its length.
size_t FormatNtfsTime(char* text, uint64_t ullTime, TimeForm form) {
    const uint64_t ullSeconds = ullTime / 10000000;
    const uint64_t ullDay = ullSeconds / 86400;
    DayText& day = t_lastDay[form];
    if (day.ullDay != ullDay) {
        CivilTime t;
        SplitTime(ullTime, &t);
        char* p = day.text;
        if (form == kTimeIso) {
            p = vx_format_u64(p, t.ullYear, 4);
            *p++ = '-';
            p = vx_format_u64(p, t.dwMonth, 2);
            *p++ = '-';
            p = vx_format_u64(p, t.dwDay, 2);
            *p++ = 'T';
        } else {
            p = vx_format_u64(p, t.dwDay, 2);
            *p++ = '/';
            p = vx_format_u64(p, t.dwMonth, 2);
            *p++ = '/';
            p = vx_format_u64(p, t.ullYear);
            *p++ = ' ';
        }
        day.cbText = static_cast<size_t>(p - day.text);
        day.ullDay = ullDay;
    }
    memcpy(text, day.text, day.cbText);
    char* p = text + day.cbText;
    const uint32_t s = static_cast<uint32_t>(ullSeconds % 86400);
    Format2(p, s / 3600);
    p[2] = ':';
    Format2(p + 3, s % 3600 / 60);
    p[5] = ':';
    Format2(p + 6, s % 60);
    p[8] = '.';
    p = vx_format_u64(p + 9, static_cast<uint32_t>(ullTime % 10000000), 7);
    if (form == kTimeIso) *p++ = 'Z';
    return static_cast<size_t>(p - text);
}

void DumpTime(FILE* stream, uint64_t ullTime) {
    char text[64];
    vx_put_bytes(stream, text, FormatNtfsTime(text, ullTime, kTimeLine));
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
        if (lineMode) vx_put_text(stream, "|||||");
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
    // The four times are often one: each is formatted once.
    char text[64];
    size_t cbText = 0;
    for (size_t k = 0; k < 4; k++) {
        if (!lineMode) fputs(kTimeLabels[k], stream);
        if (k == 0 || facts.ullTimes[k] != facts.ullTimes[k - 1])
            cbText = FormatNtfsTime(text, facts.ullTimes[k], kTimeLine);
        vx_put_bytes(stream, text, cbText);
        vx_put_char(stream, lineMode ? '|' : '\n');
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
