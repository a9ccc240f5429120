// MBR and GPT partition tables, read within fixed bounds.
#include "diskio/partition.h"

#include <cstdio>
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/layout/bitlocker_header.h"

#define VX_MODULE "partition"

namespace {

constexpr uint32_t kMbrEntries = 0x1BE;
constexpr uint32_t kMaxSectorSize = 4096;
constexpr uint32_t kGptHeaderMin = 92;

bool IsExtendedType(uint8_t bType) { return bType == 0x05 || bType == 0x0F || bType == 0x85; }

struct Reader {
    DiskReadFn pfnRead;
    void* pContext;
    uint64_t ullDiskBytes;
    uint32_t dwSector;
    const char* pszDisk;
};

// Sector `ullLba` into `p` (dwSector bytes); 0 when it lies past the disk or
// cannot be read.
int ReadSector(const Reader& r, uint64_t ullLba, uint8_t* p) {
    if (ullLba >= r.ullDiskBytes / r.dwSector) return 0;
    return r.pfnRead(r.pContext, ullLba * r.dwSector, p, r.dwSector);
}

Partition* AddPartition(PartitionTable* pTable, const Reader& r) {
    if (pTable->dwCount >= kMaxPartitions) {
        log_message(VX_WARNING,
                    "%s %s() l.%d: more than %u partitions: the rest are not read - Disk : %s",
                    VX_WHERE, kMaxPartitions, r.pszDisk);
        pTable->bDamaged = 1;
        return nullptr;
    }
    Partition* p = &pTable->parts[pTable->dwCount++];
    *p = Partition{};
    return p;
}

// The logical partitions of the extended partition at `ullBase`: each EBR
// holds one (relative to the EBR) and the link to the next (relative to
// the extended partition).  A chain that comes back to an EBR read before,
// leaves the disk or grows past kMaxLogical is cut where it goes wrong.
void ReadLogical(const Reader& r, uint64_t ullBase, uint64_t ullExtSectors,
                 PartitionTable* pTable, uint8_t* pSector) {
    uint64_t visited[kMaxLogical];
    uint32_t dwVisited = 0;
    uint64_t ullEbr = ullBase;
    uint32_t dwNumber = 5;
    for (;;) {
        for (uint32_t k = 0; k < dwVisited; k++) {
            if (visited[k] == ullEbr) {
                log_message(VX_ERROR,
                            "%s %s() l.%d: the extended partition chain loops back to sector "
                            VX_U64 ": the logical partitions after it are not read - Disk : %s",
                            VX_WHERE, ullEbr, r.pszDisk);
                pTable->bDamaged = 1;
                return;
            }
        }
        if (dwVisited == kMaxLogical) {
            log_message(VX_WARNING,
                        "%s %s() l.%d: more than %u logical partitions: the rest are not read - "
                        "Disk : %s",
                        VX_WHERE, kMaxLogical, r.pszDisk);
            pTable->bDamaged = 1;
            return;
        }
        visited[dwVisited++] = ullEbr;
        const uint32_t cb = r.dwSector;
        if (!ReadSector(r, ullEbr, pSector) || vx_le16(pSector, cb, 510) != 0xAA55) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: no extended boot record at sector " VX_U64
                        ": the logical partitions from there on are not read - Disk : %s",
                        VX_WHERE, ullEbr, r.pszDisk);
            pTable->bDamaged = 1;
            return;
        }
        const uint8_t bType = vx_le8(pSector, cb, kMbrEntries + 4);
        const uint32_t dwStart = vx_le32(pSector, cb, kMbrEntries + 8);
        const uint32_t dwCount = vx_le32(pSector, cb, kMbrEntries + 12);
        if (bType != 0 && dwCount != 0) {
            Partition* p = AddPartition(pTable, r);
            if (p == nullptr) return;
            p->dwNumber = dwNumber;
            p->ullFirst = ullEbr + dwStart;
            p->ullSectors = dwCount;
            p->bMbrType = bType;
            p->bLogical = 1;
        }
        dwNumber++;
        const uint8_t bNext = vx_le8(pSector, cb, kMbrEntries + 16 + 4);
        const uint32_t dwNext = vx_le32(pSector, cb, kMbrEntries + 16 + 8);
        if (!IsExtendedType(bNext)) return;
        if (dwNext >= ullExtSectors) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: the extended partition chain leaves the extended "
                        "partition (sector " VX_U64 "): the logical partitions after it are not "
                        "read - Disk : %s",
                        VX_WHERE, ullBase + dwNext, r.pszDisk);
            pTable->bDamaged = 1;
            return;
        }
        ullEbr = ullBase + dwNext;
    }
}

// ------------------------------------------------------------------ GPT

struct GptHeader {
    uint64_t ullMyLba, ullAlternate, ullEntriesLba;
    uint32_t dwEntries, dwEntrySize, dwEntriesCrc;
};

// The header in sector `ullLba`, checked: 1 good, else 0 with the reason.
int CheckGptHeader(const Reader& r, uint64_t ullLba, uint8_t* pSector, GptHeader* pHeader,
                   const char** ppszWhy) {
    const uint32_t cb = r.dwSector;
    if (!ReadSector(r, ullLba, pSector)) return *ppszWhy = "unreadable", 0;
    if (memcmp(pSector, "EFI PART", 8) != 0) return *ppszWhy = "no signature", 0;
    const uint32_t dwSize = vx_le32(pSector, cb, 12);
    if (dwSize < kGptHeaderMin || dwSize > cb) return *ppszWhy = "header size", 0;
    const uint32_t dwCrc = vx_le32(pSector, cb, 16);
    memset(pSector + 16, 0, 4);  // the CRC covers the header with its own field 0
    if (Crc32(pSector, dwSize) != dwCrc) return *ppszWhy = "header CRC mismatch", 0;
    pHeader->ullMyLba = vx_le64(pSector, cb, 24);
    pHeader->ullAlternate = vx_le64(pSector, cb, 32);
    pHeader->ullEntriesLba = vx_le64(pSector, cb, 72);
    pHeader->dwEntries = vx_le32(pSector, cb, 80);
    pHeader->dwEntrySize = vx_le32(pSector, cb, 84);
    pHeader->dwEntriesCrc = vx_le32(pSector, cb, 88);
    if (pHeader->ullMyLba != ullLba) return *ppszWhy = "header in the wrong sector", 0;
    if (pHeader->dwEntrySize < 128 || pHeader->dwEntrySize % 8 != 0 ||
        pHeader->dwEntrySize > kMaxGptEntryBytes ||
        pHeader->dwEntries > kMaxGptEntryBytes / pHeader->dwEntrySize)
        return *ppszWhy = "entry size or count", 0;
    return 1;
}

// The entry array of a good header into pEntries: 1 when its CRC holds.
int ReadGptEntries(const Reader& r, const GptHeader& h, uint8_t* pEntries, const char** ppszWhy) {
    const uint32_t cb = h.dwEntries * h.dwEntrySize;
    const uint64_t ullSectors = (cb + r.dwSector - 1) / r.dwSector;
    const uint64_t ullDisk = r.ullDiskBytes / r.dwSector;
    if (h.ullEntriesLba >= ullDisk || ullSectors > ullDisk - h.ullEntriesLba)
        return *ppszWhy = "entries past the disk", 0;
    // Whole sectors, as a device handle wants them.
    if (cb > 0 && !r.pfnRead(r.pContext, h.ullEntriesLba * r.dwSector, pEntries,
                             static_cast<uint32_t>(ullSectors * r.dwSector)))
        return *ppszWhy = "entries unreadable", 0;
    if (Crc32(pEntries, cb) != h.dwEntriesCrc) return *ppszWhy = "entry CRC mismatch", 0;
    return 1;
}

void ReadGpt(const Reader& r, PartitionTable* pTable, uint8_t* pSector) {
    pTable->scheme = PART_GPT;
    auto* pEntries = static_cast<uint8_t*>(VX_CALLOC(kMaxGptEntryBytes + kMaxSectorSize, 1,
                                                     VX_FATAL_SYS,
                                                     "%s %s l. %d: VX_CALLOC pEntries", VX_WHERE));
    const uint64_t ullLast = r.ullDiskBytes / r.dwSector - 1;
    GptHeader h{};
    const char* pszWhy = "";
    int ok = CheckGptHeader(r, 1, pSector, &h, &pszWhy);
    // The backup is where a good primary says, else in the last sector.
    const uint64_t ullBackup = ok && h.ullAlternate != 0 && h.ullAlternate <= ullLast
                                   ? h.ullAlternate
                                   : ullLast;
    ok = ok && ReadGptEntries(r, h, pEntries, &pszWhy);
    if (!ok) {
        const char* pszBackupWhy = "";
        if (CheckGptHeader(r, ullBackup, pSector, &h, &pszBackupWhy) &&
            ReadGptEntries(r, h, pEntries, &pszBackupWhy)) {
            log_message(VX_WARNING,
                        "%s %s() l.%d: GPT primary header damaged (%s): the backup header at "
                        "sector " VX_U64 " is used - Disk : %s",
                        VX_WHERE, pszWhy, ullBackup, r.pszDisk);
            pTable->bBackupUsed = 1;
            ok = 1;
        } else {
            log_message(VX_ERROR,
                        "%s %s() l.%d: GPT primary header damaged (%s), backup header at sector "
                        VX_U64 " damaged (%s): no partition is read - Disk : %s",
                        VX_WHERE, pszWhy, ullBackup, pszBackupWhy, r.pszDisk);
            pTable->bDamaged = 1;
        }
    }
    for (uint32_t k = 0; ok && k < h.dwEntries; k++) {
        const uint8_t* e = pEntries + static_cast<size_t>(k) * h.dwEntrySize;
        static const uint8_t kZero[16] = {};
        if (memcmp(e, kZero, 16) == 0) continue;
        Partition* p = AddPartition(pTable, r);
        if (p == nullptr) break;
        const uint64_t ullFirst = vx_le64(e, h.dwEntrySize, 32);
        const uint64_t ullEnd = vx_le64(e, h.dwEntrySize, 40);
        p->dwNumber = k + 1;
        p->ullFirst = ullFirst;
        p->ullSectors = ullEnd >= ullFirst ? ullEnd - ullFirst + 1 : 0;
        memcpy(p->typeGuid, e, 16);
    }
    VX_FREE(pEntries, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pEntries", VX_WHERE);
}

}  // namespace

uint32_t Crc32(const uint8_t* p, size_t cb) {
    static uint32_t table[256];
    static bool bReady = false;
    if (!bReady) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        bReady = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < cb; i++) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

int ReadPartitionTable(DiskReadFn pfnRead, void* pContext, uint64_t ullDiskBytes,
                       uint32_t dwSectorSize, const char* pszDisk, PartitionTable* pTable) {
    *pTable = PartitionTable{};
    if (dwSectorSize < 512 || dwSectorSize > kMaxSectorSize ||
        (dwSectorSize & (dwSectorSize - 1)) != 0 || ullDiskBytes / dwSectorSize < 2)
        return 0;
    pTable->dwSectorSize = dwSectorSize;
    pTable->ullDiskSectors = ullDiskBytes / dwSectorSize;
    const Reader r{pfnRead, pContext, ullDiskBytes, dwSectorSize, pszDisk};
    uint8_t sector[kMaxSectorSize];
    const uint32_t cb = dwSectorSize;
    if (!ReadSector(r, 0, sector) || vx_le16(sector, cb, 510) != 0xAA55) return 0;
    // A boot sector's code is no table: every entry must have a boot flag
    // of 0 or 0x80, and one at least a type and a size.
    int bAny = 0, bGpt = 0;
    for (uint32_t k = 0; k < 4; k++) {
        const uint32_t at = kMbrEntries + 16 * k;
        const uint8_t bFlag = vx_le8(sector, cb, at);
        if (bFlag != 0 && bFlag != 0x80) return 0;
        if (vx_le8(sector, cb, at + 4) != 0 && vx_le32(sector, cb, at + 12) != 0) bAny = 1;
        if (vx_le8(sector, cb, at + 4) == 0xEE) bGpt = 1;
    }
    if (!bAny) return 0;
    if (bGpt) {
        // A disk of 4096-byte sectors read as 512: its GPT header is at byte 4096.
        uint8_t sig[8];
        if (dwSectorSize == 512 && ullDiskBytes / 4096 >= 2 &&
            !(pfnRead(pContext, 512, sig, 8) && memcmp(sig, "EFI PART", 8) == 0) &&
            pfnRead(pContext, 4096, sig, 8) && memcmp(sig, "EFI PART", 8) == 0) {
            pTable->dwSectorSize = 4096;
            pTable->ullDiskSectors = ullDiskBytes / 4096;
            ReadGpt(Reader{pfnRead, pContext, ullDiskBytes, 4096, pszDisk}, pTable, sector);
        } else {
            ReadGpt(r, pTable, sector);
        }
    } else {
        pTable->scheme = PART_MBR;
        uint8_t primaries[64];
        memcpy(primaries, sector + kMbrEntries, sizeof primaries);
        for (uint32_t k = 0; k < 4; k++) {
            const uint8_t bType = vx_le8(primaries, 64, 16 * k + 4);
            const uint32_t dwStart = vx_le32(primaries, 64, 16 * k + 8);
            const uint32_t dwCount = vx_le32(primaries, 64, 16 * k + 12);
            if (bType == 0 || dwCount == 0) continue;
            Partition* p = AddPartition(pTable, r);
            if (p == nullptr) break;
            p->dwNumber = k + 1;
            p->ullFirst = dwStart;
            p->ullSectors = dwCount;
            p->bMbrType = bType;
            p->bExtended = IsExtendedType(bType);
        }
        // Only the first extended partition holds logical ones.
        const uint32_t dwPrimaries = pTable->dwCount;
        for (uint32_t k = 0; k < dwPrimaries; k++) {
            if (!pTable->parts[k].bExtended) continue;
            ReadLogical(r, pTable->parts[k].ullFirst, pTable->parts[k].ullSectors, pTable, sector);
            break;
        }
    }
    // Partitions that reach past the disk or overlap another are never read.
    for (uint32_t k = 0; k < pTable->dwCount; k++) {
        Partition* p = &pTable->parts[k];
        if (p->ullFirst >= pTable->ullDiskSectors ||
            p->ullSectors > pTable->ullDiskSectors - p->ullFirst || p->ullSectors == 0) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: partition %u (sectors " VX_U64 " to " VX_U64
                        ") is not inside the disk (" VX_U64 " sectors) - Disk : %s",
                        VX_WHERE, p->dwNumber, p->ullFirst, p->ullFirst + p->ullSectors - 1,
                        pTable->ullDiskSectors, pszDisk);
            p->bProblem = 1;
            pTable->bDamaged = 1;
        }
    }
    for (uint32_t k = 0; k < pTable->dwCount; k++) {
        Partition* a = &pTable->parts[k];
        for (uint32_t j = k + 1; j < pTable->dwCount; j++) {
            Partition* b = &pTable->parts[j];
            // A logical partition lies inside its extended one.
            if (a->bExtended || b->bExtended) continue;
            if (a->ullFirst < b->ullFirst + b->ullSectors &&
                b->ullFirst < a->ullFirst + a->ullSectors && a->ullSectors && b->ullSectors) {
                log_message(VX_ERROR,
                            "%s %s() l.%d: partitions %u and %u overlap - Disk : %s", VX_WHERE,
                            a->dwNumber, b->dwNumber, pszDisk);
                a->bProblem = b->bProblem = 1;
                pTable->bDamaged = 1;
            }
        }
    }
    for (uint32_t k = 0; k < pTable->dwCount; k++) {
        Partition* p = &pTable->parts[k];
        if (p->bProblem || p->bExtended) continue;
        const Reader rt{pfnRead, pContext, ullDiskBytes, pTable->dwSectorSize, pszDisk};
        const int bRead = ReadSector(rt, p->ullFirst, sector);
        p->bNtfs = bRead && memcmp(sector + 3, "NTFS    ", 8) == 0;
        p->bBitLocker = bRead && IsBitLockerHeader(sector, pTable->dwSectorSize);
        if (p->bBitLocker)
            p->bBitLockerId = ReadBitLockerIdentifier(
                pfnRead, pContext, p->ullFirst * pTable->dwSectorSize,
                p->ullSectors * pTable->dwSectorSize, sector, p->bitLockerId);
    }
    return 1;
}

namespace {

// BitLocker's own GUID, 4967d63b-2e29-4ad8-8399-f6a339e3d001, as on the disk.
const uint8_t kBitLockerGuid[16] = {0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a,
                                    0x83, 0x99, 0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01};

}  // namespace

int IsBitLockerHeader(const uint8_t* pSector, size_t cb) {
    if (cb < bitlocker_header::kSize) return 0;
    if (memcmp(pSector + bitlocker_header::kSignature, "-FVE-FS-", 8) == 0) return 1;
    return memcmp(pSector + bitlocker_header::kToGoOemId, "MSWIN4.1", 8) == 0 &&
           memcmp(pSector + bitlocker_header::kToGoIdentifier, kBitLockerGuid, 16) == 0;
}

int ReadBitLockerIdentifier(DiskReadFn pfnRead, void* pContext, uint64_t ullVolume,
                            uint64_t ullVolumeBytes, const uint8_t* pSector, uint8_t id[16]) {
    const size_t at = memcmp(pSector + bitlocker_header::kSignature, "-FVE-FS-", 8) == 0
                          ? bitlocker_header::kMetadata
                          : bitlocker_header::kToGoMetadata;
    for (size_t k = 0; k < 3; k++) {
        const uint64_t ullBlock = vx_le64(pSector, bitlocker_header::kSize, at + 8 * k);
        uint8_t block[fve_block::kRead];
        if (ullBlock == 0 || ullBlock >= ullVolumeBytes ||
            ullVolumeBytes - ullBlock < sizeof block || ullVolume > UINT64_MAX - ullBlock ||
            !pfnRead(pContext, ullVolume + ullBlock, block, sizeof block))
            continue;
        if (memcmp(block + fve_block::kSignature, "-FVE-FS-", 8) != 0 ||
            vx_le16(block, sizeof block, fve_block::kVersion) != 2)
            continue;
        memcpy(id, block + fve_block::kVolumeIdentifier, 16);
        return 1;
    }
    return 0;
}

void PartitionTypeText(const Partition* pPart, int scheme, char* pszText, size_t cb) {
    if (scheme == PART_MBR) {
        static const struct {
            uint8_t bType;
            const char* pszName;
        } kMbrTypes[] = {
            {0x01, "FAT12"},        {0x04, "FAT16"},          {0x05, "extended"},
            {0x06, "FAT16"},        {0x07, "NTFS/exFAT"},     {0x0B, "FAT32"},
            {0x0C, "FAT32 (LBA)"},  {0x0E, "FAT16 (LBA)"},    {0x0F, "extended (LBA)"},
            {0x11, "hidden FAT12"}, {0x17, "hidden NTFS"},    {0x27, "Windows recovery"},
            {0x82, "Linux swap"},   {0x83, "Linux"},          {0x85, "Linux extended"},
            {0x8E, "Linux LVM"},    {0xEE, "GPT protective"}, {0xEF, "EFI system"},
        };
        const char* pszName = "";
        for (const auto& t : kMbrTypes)
            if (t.bType == pPart->bMbrType) pszName = t.pszName;
        snprintf(pszText, cb, "0x%02x%s%s", pPart->bMbrType, *pszName ? " " : "", pszName);
        return;
    }
    const uint8_t* g = pPart->typeGuid;
    char szGuid[40];
    snprintf(szGuid, sizeof szGuid,
             "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", vx_le32(g, 16, 0),
             vx_le16(g, 16, 4), vx_le16(g, 16, 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14],
             g[15]);
    static const struct {
        const char* pszGuid;
        const char* pszName;
    } kGptTypes[] = {
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data"},
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
        {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
        {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
        {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
        {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    };
    for (const auto& t : kGptTypes) {
        if (strcmp(t.pszGuid, szGuid) == 0) {
            snprintf(pszText, cb, "%s", t.pszName);
            return;
        }
    }
    snprintf(pszText, cb, "%s", szGuid);
}
