// Partition tables of a whole-disk image: MBR (primary, extended and
// logical partitions) and GPT (protective MBR, header and entry CRCs, the
// backup header when the primary is damaged).  Every read is bounded: a
// fixed number of partitions, extended chains that loop are cut, the GPT
// entry array is at most kMaxGptEntryBytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kMaxPartitions = 132;  // 4 primary + 128 logical, or 128+ GPT entries
constexpr uint32_t kMaxLogical = 128;
constexpr uint32_t kMaxGptEntryBytes = 1u << 20;

enum PartitionScheme { PART_NONE = 0, PART_MBR = 1, PART_GPT = 2 };

struct Partition {
    uint32_t dwNumber;    // MBR: slot 1-4, logical 5 on; GPT: entry index + 1
    uint64_t ullFirst;    // first sector
    uint64_t ullSectors;  // sector count
    uint8_t bMbrType;     // MBR type byte (0 on GPT)
    uint8_t typeGuid[16]; // GPT partition type, as on the disk
    int bExtended;        // an MBR extended partition: it holds the logical ones
    int bLogical;
    int bNtfs;            // begins with an NTFS boot sector
    int bBitLocker;       // begins with a BitLocker volume header
    int bBitLockerId;     // ... whose identifier reads
    uint8_t bitLockerId[16];
    int bProblem;         // overlaps another or reaches past the disk: never read
};

struct PartitionTable {
    int scheme;             // PartitionScheme
    uint32_t dwSectorSize;
    uint64_t ullDiskSectors;
    int bBackupUsed;        // GPT: read through the backup header
    int bDamaged;           // a problem was reported
    uint32_t dwCount;
    Partition parts[kMaxPartitions];
};

// Reads `cb` bytes at byte `ullOffset` of the disk into `p`: 1 when all of
// them were read.
typedef int (*DiskReadFn)(void* pContext, uint64_t ullOffset, void* p, uint32_t cb);

// Reads the partition table of a disk of `ullDiskBytes` bytes and sectors of
// `dwSectorSize` bytes.  1 when a table was found (its scheme set, even
// when damaged), 0 when the disk holds none.  Problems are reported with
// `pszDisk` named.
int ReadPartitionTable(DiskReadFn pfnRead, void* pContext, uint64_t ullDiskBytes,
                       uint32_t dwSectorSize, const char* pszDisk, PartitionTable* pTable);

// 1 when the sector (cb bytes, at least 512) is the header of a
// BitLocker-encrypted volume: "-FVE-FS-", or BitLocker To Go's FAT header
// with the BitLocker identifier.
int IsBitLockerHeader(const uint8_t* pSector, size_t cb);

// The identifier of the BitLocker volume of `ullVolumeBytes` bytes at byte
// `ullVolume` of the disk, whose header is pSector: from the first of its
// FVE metadata blocks that lies inside it and reads.  1 with id set.
int ReadBitLockerIdentifier(DiskReadFn pfnRead, void* pContext, uint64_t ullVolume,
                            uint64_t ullVolumeBytes, const uint8_t* pSector, uint8_t id[16]);

// The partition's type in a few words: "0x07 NTFS/exFAT", "Basic data", or
// the type GUID.
void PartitionTypeText(const Partition* pPart, int scheme, char* pszText, size_t cb);

// CRC-32 (IEEE 802.3, as GPT and zlib compute it).
uint32_t Crc32(const uint8_t* p, size_t cb);
