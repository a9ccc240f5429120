// The -f source as examiners hold it: the container it is, the partition
// table of the disk inside, and the volume's place in it (--offset,
// --partition or the one NTFS partition there is).
#pragma once

#include <cstdint>
#include <cstdio>

struct Volume;
struct VxDevice;

// Reads an --offset value: a number of bytes (decimal, 0x hexadecimal or
// 0 octal) or, with the suffix `s`, of sectors.  0 when the text is empty,
// holds any other character or does not fit in 64 bits.
int ParseOffset(const char* text, uint64_t* pullValue, int* pbSectors);

struct SourceRequest {
    const char* pszPath;     // -f
    int bOffset;             // --offset given
    uint64_t ullOffset;
    int bOffsetSectors;      // ... in sectors
    const char* pszOffsetText;
    uint32_t dwPartition;    // --partition=N (0: none)
    int bListPartitions;     // --list-partitions
};

// Opens the source and finds the volume in it.  Returns VX_OK with
// pVol->ullSourceOffset set and *ppDev the container device to read (none
// for a raw file or device, which OpenVolume opens itself); VX_FAILED after
// the diagnostic; or, with --list-partitions, VX_OK and *pbDone set once the
// list is written to `pOut`.  Usage errors (an offset past the end) end the
// run with status 1.
int PrepareSource(const char* program, const SourceRequest* pReq, FILE* pOut, Volume* pVol,
                  VxDevice** ppDev, int* pbDone);
