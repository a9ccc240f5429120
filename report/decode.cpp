#include "report/decode.h"

#include "base/le.h"
#include "diskio/layout/file_name.h"
#include "diskio/layout/standard_information.h"

int DecodeStandard(const uint8_t* pValue, uint64_t ullSize, StandardFacts* pFacts) {
    namespace si = standard_information;
    *pFacts = StandardFacts{};
    if (ullSize < si::kSizeBeforeNtfs3) return 0;
    const size_t kTimes[4] = {si::kCreationTime, si::kWriteTime, si::kChangeTime,
                              si::kAccessTime};
    for (int k = 0; k < 4; k++) pFacts->ullTimes[k] = vx_le64(pValue, ullSize, kTimes[k]);
    pFacts->dwFileAttributes = vx_le32(pValue, ullSize, si::kFileAttributes);
    pFacts->dwMaxVersions = vx_le32(pValue, ullSize, si::kMaxVersions);
    pFacts->dwVersion = vx_le32(pValue, ullSize, si::kVersion);
    pFacts->dwClassId = vx_le32(pValue, ullSize, si::kClassId);
    if (ullSize >= si::kSize) {
        pFacts->bNtfs3Fields = 1;
        pFacts->dwOwnerId = vx_le32(pValue, ullSize, si::kOwnerId);
        pFacts->dwSecurityId = vx_le32(pValue, ullSize, si::kSecurityId);
        pFacts->ullQuotaCharged = vx_le64(pValue, ullSize, si::kQuotaCharged);
        pFacts->ullUsn = vx_le64(pValue, ullSize, si::kUsn);
    }
    return 1;
}

int DecodeFileName(const uint8_t* pValue, uint64_t ullSize, FileNameFacts* pFacts) {
    namespace fn = file_name;
    pFacts->wszName[0] = 0;
    if (ullSize <= fn::kName - 1) return 0;
    pFacts->ullParentRecord = vx_le48(pValue, ullSize, fn::kParentRecord);
    pFacts->wParentSequence = vx_le16(pValue, ullSize, fn::kParentSequence);
    const size_t kTimes[4] = {fn::kCreationTime, fn::kWriteTime, fn::kChangeTime,
                              fn::kAccessTime};
    for (int k = 0; k < 4; k++) pFacts->ullTimes[k] = vx_le64(pValue, ullSize, kTimes[k]);
    pFacts->ullAllocatedSize = vx_le64(pValue, ullSize, fn::kAllocatedSize);
    pFacts->ullRealSize = vx_le64(pValue, ullSize, fn::kRealSize);
    pFacts->dwFlags = vx_le32(pValue, ullSize, fn::kFlags);
    pFacts->bNamespace = vx_le8(pValue, ullSize, fn::kNamespace);
    pFacts->bLength = vx_le8(pValue, ullSize, fn::kNameLength);
    pFacts->bNameInside = fn::kName + 2ull * pFacts->bLength <= ullSize;
    if (pFacts->bNameInside) {
        for (uint32_t u = 0; u < pFacts->bLength; u++)
            pFacts->wszName[u] = vx_le16(pValue, ullSize, fn::kName + 2ull * u);
        pFacts->wszName[pFacts->bLength] = 0;
    }
    return 1;
}

void SplitTime(uint64_t ullTime, CivilTime* pTime) {
    const uint64_t ullSeconds = ullTime / 10000000;
    pTime->dwFraction = static_cast<uint32_t>(ullTime % 10000000);
    const uint64_t ullDays = ullSeconds / 86400;
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
    pTime->ullYear = ullYear;
    pTime->dwMonth = month + 1;
    pTime->dwDay = days + 1;
    pTime->dwHour = s / 3600;
    pTime->dwMinute = (s % 3600) / 60;
    pTime->dwSecond = s % 60;
}
