// Standard information: the file attribute codes, the four NTFS times and,
// in verbose mode, the other fields of $STANDARD_INFORMATION.
#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "report/info.h"
#include "security/vx_comment.h"
#include "text/vx_format.h"
#include "diskio/layout/standard_information.h"

#define VX_MODULE "info"

namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;

constexpr uint64_t kStandardMinSize = standard_information::kSizeBeforeNtfs3;
constexpr uint64_t kStandardFullSize = standard_information::kSize;

}  // namespace

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
        uint32_t dwFlags = vx_le32(pValue, ullSize, standard_information::kFileAttributes);
        if (pEntry->bDirectory) dwFlags |= kDirectoryAttribute;
        if (!lineMode) fputs("File attributes : ", stream);
        DumpBits(stream, dwFlags, FileAttributeBits, lineMode);

        static const char* const kTimeLabels[4] = {
            "Creation time : ",
            "Last write time : ",
            "Attribute modification time : ",
            "Last access time : ",
        };
        static constexpr size_t kTimes[4] = {
            standard_information::kCreationTime,
            standard_information::kWriteTime,
            standard_information::kChangeTime,
            standard_information::kAccessTime,
        };
        for (size_t k = 0; k < 4; k++) {
            if (!lineMode) fputs(kTimeLabels[k], stream);
            DumpTime(stream, vx_le64(pValue, ullSize, kTimes[k]));
            fputs(lineMode ? "|" : "\n", stream);
        }

        if (!lineMode) {
            const uint32_t dwMaxVersions =
                vx_le32(pValue, ullSize, standard_information::kMaxVersions);
            if (dwMaxVersions != 0)
                fprintf(stream, "Version : %u/%u\n", vx_le32(pValue, ullSize, standard_information::kVersion),
                        dwMaxVersions);
            fprintf(stream, "Class Id : %u\n",
                    vx_le32(pValue, ullSize, standard_information::kClassId));
        }

        if (pEntry->pVolume->MajorVersion > 2) {
            if (ullSize >= kStandardFullSize) {
                pEntry->dwSecurityId = vx_le32(pValue, ullSize, standard_information::kSecurityId);
                pEntry->bSecurityId = 1;
                if (!lineMode) {
                    fprintf(stream, "Security Id : %u\n", pEntry->dwSecurityId);
                    fprintf(stream, "Quota Owner Id : %u\n",
                            vx_le32(pValue, ullSize, standard_information::kOwnerId));
                    const uint64_t ullQuota =
                        vx_le64(pValue, ullSize, standard_information::kQuotaCharged);
                    if (ullQuota != 0) fprintf(stream, "Quota charged : " VX_U64 "\n", ullQuota);
                    fprintf(stream, "Update Sequence Number : " VX_U64 "\n",
                            vx_le64(pValue, ullSize, standard_information::kUsn));
                }
            } else {
                log_message(VX_WARNING,
                            "%s %s() l.%d: pre-2k standard stream - Size : " VX_U64
                            " - Base record " VX_U64,
                            VX_WHERE, ullSize, pEntry->ullBaseRecord);
            }
        }
    }
    ReleaseStreamBuffer(pAttr, pValue);
    return status;
}
