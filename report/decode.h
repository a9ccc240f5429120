// The values of $STANDARD_INFORMATION and $FILE_NAME decoded into plain
// facts, once, for every writer of the report: the line, the verbose block
// and the formats that tools load.
#pragma once

#include <cstdint>

#include "text/vx_locale.h"

struct StandardFacts {
    uint64_t ullTimes[4];  // creation, last write, attribute modification, last access
    uint32_t dwFileAttributes;
    uint32_t dwMaxVersions;
    uint32_t dwVersion;
    uint32_t dwClassId;
    int bNtfs3Fields;  // the value is long enough for the fields below
    uint32_t dwOwnerId;
    uint32_t dwSecurityId;
    uint64_t ullQuotaCharged;
    uint64_t ullUsn;
};

// 0 when the value is shorter than the form written before NTFS 3 (nothing
// is decoded then), 1 otherwise.
int DecodeStandard(const uint8_t* pValue, uint64_t ullSize, StandardFacts* pFacts);

struct FileNameFacts {
    uint64_t ullParentRecord;
    uint16_t wParentSequence;
    uint64_t ullTimes[4];  // same order as StandardFacts
    uint64_t ullAllocatedSize;
    uint64_t ullRealSize;
    uint32_t dwFlags;
    uint8_t bNamespace;
    uint8_t bLength;    // UTF-16 units as stored
    int bNameInside;    // the name lies within the value
    vx_wchar wszName[256];  // bLength units and a 0, when bNameInside; else empty
};

// 0 when the value cannot hold a name (65 bytes or less; nothing decoded),
// 1 otherwise.
int DecodeFileName(const uint8_t* pValue, uint64_t ullSize, FileNameFacts* pFacts);

// An NTFS time (100 ns units since 1601, UTC) split into its calendar fields.
struct CivilTime {
    uint64_t ullYear;
    uint32_t dwMonth;  // 1 to 12
    uint32_t dwDay;    // 1 to 31
    uint32_t dwHour, dwMinute, dwSecond;
    uint32_t dwFraction;  // 100 ns units, 0 to 9999999
};
void SplitTime(uint64_t ullTime, CivilTime* pTime);
