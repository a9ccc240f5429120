// Volumes for the fuzz targets: a Volume over a block of memory set up as
// OpenVolume leaves one, and the run-wide settings of the report modules.
#pragma once

#include <cstdint>
#include <vector>

#include "diskio/diskio.h"

// Which of the run's switches a case turns on; the bits of an input's
// option byte.
struct FuzzOptions {
    int bVerbose = 0;      // -v
    int bMd5 = 0;          // -m
    int bErasedOnly = 0;   // -e
    int bNoSeqCheck = 0;   // -n
    int bTrace = 0;        // -d
    int bDump = 0;         // -D
    int bUtf8 = 0;         // -8
    int bSidTable = 0;     // -u (and the account lookups of -v)
};
FuzzOptions FuzzOptionsFrom(uint8_t bits);

// Sets the module-wide streams and switches of diskio, info and winsid as
// the run driver does for these options; EndRunSettings puts them back and
// releases what the run kept (SID table and text, descriptor buffer, MD5).
void BeginRunSettings(const FuzzOptions& opt);
void EndRunSettings(const FuzzOptions& opt);

// A Volume of `clusters` clusters over `pDevice` (which outlives it), with
// the geometry given and the module buffers sized as OpenVolume sizes them.
// The $MFT data, when set, is a single run of clusters from LCN `mftLcn`.
struct FuzzVolume {
    Volume vol{};
    Attribute mftData{};
    Run mftRun{};
    Attribute secureData{};
    Run secureRun{};

    FuzzVolume(const uint8_t* pDevice, uint64_t cbDevice, uint32_t clusterSize, uint64_t clusters,
               uint32_t recordSize, uint64_t failAt = UINT64_MAX);
    ~FuzzVolume();
    FuzzVolume(const FuzzVolume&) = delete;
    FuzzVolume& operator=(const FuzzVolume&) = delete;

    // The $MFT data: `records` records from cluster `lcn`.
    void SetMft(uint64_t lcn, uint64_t records);
    // $Secure:$SDS as a resident stream over `pBytes` (kept alive by the
    // caller), or as `clusters` clusters from `lcn` holding `size` bytes.
    void SetResidentSds(uint8_t* pBytes, uint64_t size);
    void SetNonResidentSds(uint64_t lcn, uint64_t clusters, uint64_t size);
};

// Images of 512-byte strides with their update sequence array: `FixupsFor`
// writes the update value at the end of every stride and keeps what it
// covered in the array; `UndoFixups` puts those bytes back.  Both do
// nothing (and return false) when the array does not lie inside the record.
bool FixupsFor(uint8_t* pRecord, uint32_t dwRecordSize);
bool UndoFixups(uint8_t* pRecord, uint32_t dwRecordSize);
