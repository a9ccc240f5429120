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
    const char* pszSdsPath;  // --sds: the copy of $Secure:$SDS beside a copy of $MFT
};

// Opens the source and finds the volume in it.  A file that is a copy of the
// $MFT (record 0 the $MFT's) is read as the volume: pVol->pszMftCopy is then
// set, with the copies of $Secure:$SDS and $Boot found beside it.  Returns VX_OK with
// pVol->ullSourceOffset set and *ppDev the container device to read (none
// for a raw file or device, which OpenVolume opens itself); VX_FAILED after
// the diagnostic; or, with --list-partitions, VX_OK and *pbDone set once the
// list is written to `pOut`.  Usage errors (an offset past the end) end the
// run with status 1.
int PrepareSource(const char* program, const SourceRequest* pReq, FILE* pOut, Volume* pVol,
                  VxDevice** ppDev, int* pbDone);

struct VxSnapshotSet;

// --list-snapshots and --snapshot=N|all.
struct SnapshotRequest {
    int bList;
    int bAll;
    uint32_t dwNumber;  // 1 the oldest; 0 none
};

// Reads --snapshot's value: "all" or a number from 1.  0 when it is neither.
int ParseSnapshot(const char* text, SnapshotRequest* pReq);

// The shadow copies of the volume, numbered from 1, the oldest.  When the
// library cannot open the stores, the oldest are left out one after the
// other until it can: an older snapshot is read through the newer stores,
// so once one cannot be read, neither can any before it.
struct Snapshots {
    VxSnapshotSet* pSet;
    uint32_t dwCount;    // every store of the catalog
    uint32_t dwLeftOut;  // the oldest, which cannot be read
    char szWhy[480];     // why the newest of them cannot
};

// Opens the shadow copies of the volume PrepareSource found, over *ppDev
// (the container's device, which they take) or the raw source opened again
// at its offset.  For --snapshot=N, *ppDev becomes the device of that
// snapshot; for --snapshot=all, the volume itself read through the set (or
// none for a raw source, which OpenVolume opens as always).  VX_FAILED
// after the diagnostic: with --snapshot=all, *ppDev is then still the
// volume's device (none for a raw source), to report the volume itself.
int OpenSnapshots(const Volume* pVol, const SnapshotRequest* pReq, VxDevice** ppDev,
                  Snapshots* pSnaps);
void CloseSnapshots(Snapshots* pSnaps);
// The --list-snapshots table, a line a store; VX_FAILED when one cannot be
// read (the others are listed).
int ListSnapshots(FILE* pOut, const Volume* pVol, Snapshots* pSnaps);
// Writes the line that begins snapshot dwNumber's report and returns the
// device it is read through; none after the diagnostic.
VxDevice* BeginSnapshot(FILE* pOut, const Volume* pVol, Snapshots* pSnaps, uint32_t dwNumber);
// After a snapshot's report: VX_FAILED, after a diagnostic naming it, when
// some of its blocks could not be read.
int EndSnapshot(const Volume* pVol, Snapshots* pSnaps, uint32_t dwNumber);
