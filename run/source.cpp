// The -f source: container, partition table and the volume's offset.
#include "run/source.h"

#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/layout/boot_sector.h"
#include "diskio/layout/shadow_catalog.h"
#include "diskio/partition.h"
#include "diskio/shadow_catalog.h"
#include "platform/platform.h"
#include "report/info.h"

#define VX_MODULE "volscan"

int ParseOffset(const char* text, uint64_t* pullValue, int* pbSectors) {
    *pullValue = 0;
    *pbSectors = 0;
    const char* p = text;
    unsigned base = 10;
    if (p[0] == '0' && p[1] == 'x') {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] != 0 && p[1] != 's') {
        base = 8;
        p++;
    }
    uint64_t value = 0;
    int digits = 0;
    for (; *p != 0; p++) {
        unsigned d;
        if (*p >= '0' && *p <= '9') d = static_cast<unsigned>(*p - '0');
        else if (*p >= 'a' && *p <= 'f') d = static_cast<unsigned>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F') d = static_cast<unsigned>(*p - 'A' + 10);
        else break;
        if (d >= base) break;
        if (value > (UINT64_MAX - d) / base) return 0;
        value = value * base + d;
        digits++;
    }
    if (digits == 0) return 0;
    if (*p == 's' && p[1] == 0 && base != 16) {
        *pbSectors = 1;
        p++;
    }
    if (*p != 0) return 0;
    *pullValue = value;
    return 1;
}

namespace {

int DeviceRead(void* pContext, uint64_t ullOffset, void* p, uint32_t cb) {
    auto* pDev = static_cast<VxDevice*>(pContext);
    if (!vx_plat_seek(pDev, ullOffset)) return 0;
    uint32_t dwDone = 0;
    while (dwDone < cb) {
        uint32_t dwGot = 0;
        if (!vx_plat_read(pDev, static_cast<uint8_t*>(p) + dwDone, cb - dwDone, &dwGot) ||
            dwGot == 0)
            return 0;
        dwDone += dwGot;
    }
    return 1;
}

void GuidText(const uint8_t* p, char* psz, size_t cb);

// The table, a line a partition, into `pszText` (cb bytes).
void ListPartitions(const PartitionTable* pTable, char* pszText, size_t cb) {
    size_t used = static_cast<size_t>(
        snprintf(pszText, cb, "  #        First      Sectors  NTFS  Type\n"));
    for (uint32_t k = 0; k < pTable->dwCount && used < cb; k++) {
        const Partition* p = &pTable->parts[k];
        char szType[64];
        PartitionTypeText(p, pTable->scheme, szType, sizeof szType);
        const char* pszNtfs = p->bProblem ? "bad" : p->bExtended ? "-" : p->bNtfs ? "yes" : "no";
        // An encrypted volume is named by its identifier, as BitLocker lists it.
        char szBitLocker[64] = "";
        if (p->bBitLocker && !p->bProblem) {
            char szId[40] = "";
            if (p->bBitLockerId) GuidText(p->bitLockerId, szId, sizeof szId);
            snprintf(szBitLocker, sizeof szBitLocker, ", BitLocker%s%s", szId[0] ? " " : "", szId);
        }
        int n = snprintf(pszText + used, cb - used, "%3u %12llu %12llu  %-4s  %s%s\n",
                         p->dwNumber, static_cast<unsigned long long>(p->ullFirst),
                         static_cast<unsigned long long>(p->ullSectors), pszNtfs, szType,
                         szBitLocker);
        if (n > 0) used += static_cast<size_t>(n);
    }
}

constexpr size_t kListBytes = 128 * (kMaxPartitions + 2);
// The first bytes of a file read to tell a copy of the $MFT: its largest record.
constexpr size_t kCopyHeadBytes = 64 * 1024;

void TableTitle(const char* pszPath, const PartitionTable* pTable, char* psz, size_t cb) {
    snprintf(psz, cb, "%s: %s partition table, %u-byte sectors, %llu sectors%s", pszPath,
             pTable->scheme == PART_GPT ? "GPT" : "MBR", pTable->dwSectorSize,
             static_cast<unsigned long long>(pTable->ullDiskSectors),
             pTable->bBackupUsed ? " (backup GPT header)" : "");
}

// ------------------------------------------------------ copies of $MFT

// What collectors name the copies of $Secure:$SDS and $Boot beside the $MFT's.
const char* const kSdsNames[] = {"$Secure_$SDS", "$Secure:$SDS", "%24Secure%3A%24SDS"};
const char* const kBootNames[] = {"$Boot", "%24Boot"};
constexpr size_t kPathRoom = 4096;
char g_szSdsCopy[kPathRoom];
char g_szBootCopy[kPathRoom];

// The first of `names` that can be opened in the folder of `pszPath`, into
// pszOut; none when there is none.
const char* FindBeside(const char* pszPath, const char* const* names, size_t count, char* pszOut) {
    size_t dir = 0;
    for (size_t k = 0; pszPath[k] != 0; k++)
        if (pszPath[k] == '/' || pszPath[k] == '\\') dir = k + 1;
    for (size_t k = 0; k < count; k++) {
        const int n = snprintf(pszOut, kPathRoom, "%.*s%s", static_cast<int>(dir), pszPath, names[k]);
        if (n < 0 || static_cast<size_t>(n) >= kPathRoom) continue;
        VxDevice* pDev = vx_plat_open_device(pszOut, 0);
        if (pDev == nullptr) continue;
        vx_plat_close(pDev);
        return pszOut;
    }
    return nullptr;
}

// A file whose first record is a FILE record: a copy of the $MFT, or the
// diagnostic of why it is none.  VX_OK with *pbDone after the listing line.
int PrepareMftCopy(const SourceRequest* pReq, FILE* pOut, const uint8_t* pHead, size_t cbHead,
                   Volume* pVol, int* pbDone) {
    const char* pszPath = pReq->pszPath;
    uint32_t dwRecordSize = 0;
    const char* pszWhat = nullptr;
    uint64_t ullValue = 0;
    (void)InspectMftCopy(pHead, cbHead, &dwRecordSize, &pszWhat, &ullValue);
    if (pReq->bListPartitions) {
        if (pszWhat == nullptr)
            fprintf(pOut, "%s: no partition table; a copy of $MFT, records of %u bytes\n", pszPath,
                    dwRecordSize);
        else
            fprintf(pOut, "%s: no partition table; a FILE record begins it, but no copy of $MFT "
                    "(invalid %s : %llu)\n", pszPath, pszWhat, static_cast<unsigned long long>(ullValue));
        *pbDone = 1;
        return VX_OK;
    }
    // OpenVolume says what is wrong with a record 0 that is not the $MFT's.
    pVol->pszMftCopy = pszPath;
    pVol->pszSdsCopy = pReq->pszSdsPath != nullptr
                           ? pReq->pszSdsPath
                           : FindBeside(pszPath, kSdsNames, 3, g_szSdsCopy);
    pVol->pszBootCopy = FindBeside(pszPath, kBootNames, 2, g_szBootCopy);
    if (pszWhat == nullptr)
        log_message(VX_WARNING, "%s %s() l.%d: %s: a copy of $MFT, read with %s%s and %s%s",
                    VX_WHERE, pszPath,
                    pVol->pszSdsCopy != nullptr ? "$Secure:$SDS from " : "no copy of $Secure:$SDS",
                    pVol->pszSdsCopy != nullptr ? pVol->pszSdsCopy : "",
                    pVol->pszBootCopy != nullptr ? "$Boot from " : "no copy of $Boot",
                    pVol->pszBootCopy != nullptr ? pVol->pszBootCopy : "");
    return VX_OK;
}

}  // namespace

int PrepareSource(const char* program, const SourceRequest* pReq, FILE* pOut, Volume* pVol,
                  VxDevice** ppDev, int* pbDone) {
    *ppDev = nullptr;
    *pbDone = 0;
    pVol->ullSourceOffset = pReq->ullOffset;
    if (pReq->pszPath == nullptr) return VX_OK;
    const char* pszPath = pReq->pszPath;
    VxImageInfo info{};
    VxDevice* pDev = vx_plat_open_image(pszPath, 0, &info);
    if (pDev == nullptr) {
        if (!info.bSupported) {
            const char* pszName = vx_plat_image_format_name(info.format);
            log_message(VX_ERROR, "%s %s() l.%d: %s is %s %s image; this build has no %s support",
                        VX_WHERE, pszPath, pszName[0] == 'E' ? "an" : "a", pszName, pszName);
            return VX_FAILED;
        }
        if (info.format != VX_IMAGE_RAW) {
            log_message(VX_ERROR, "%s %s() l.%d: %s image %s cannot be read: %s", VX_WHERE,
                        vx_plat_image_format_name(info.format), pszPath, vx_plat_image_error());
            return VX_FAILED;
        }
        // The open of the volume says why the file cannot be read, as always.
        return VX_OK;
    }
    const bool bRaw = info.format == VX_IMAGE_RAW;
    int status = VX_OK;
    uint64_t ullOffset = pReq->ullOffset;
    if (pReq->bOffset) {
        const bool bSectors = pReq->bOffsetSectors != 0;
        if (bSectors && ullOffset > UINT64_MAX / info.dwSectorSize) ullOffset = UINT64_MAX;
        else if (bSectors) ullOffset *= info.dwSectorSize;
        if (info.bSizeKnown && ullOffset >= info.ullSize) {
            vx_plat_close(pDev);
            log_message(VX_FATAL, "%s : --offset=%s is past the end of %s (%llu bytes)", program,
                        pReq->pszOffsetText, pszPath,
                        static_cast<unsigned long long>(info.ullSize));
        }
    }
    const bool bChoose = pReq->dwPartition != 0 || pReq->bListPartitions;
    uint8_t boot[512];
    bool bNtfsAtZero = false;
    bool bBitLockerAtZero = false;
    if (!pReq->bOffset || bChoose) {
        const bool bRead = DeviceRead(pDev, 0, boot, sizeof boot);
        bNtfsAtZero = bRead && memcmp(boot + 3, "NTFS    ", 8) == 0;
        // BitLocker To Go's header holds its metadata offsets where an MBR
        // has its partitions: it is no partition table.
        bBitLockerAtZero = bRead && IsBitLockerHeader(boot, sizeof boot);
        bNtfsAtZero = bNtfsAtZero || bBitLockerAtZero;
    }
    // A copy of the $MFT, as triage collectors take it, begins with the
    // FILE record of the $MFT itself.
    if (bRaw && ullOffset == 0 && pReq->dwPartition == 0 && !bNtfsAtZero && info.bSizeKnown &&
        info.ullSize >= 4 && DeviceRead(pDev, 0, boot, 4) && memcmp(boot, "FILE", 4) == 0) {
        const size_t cbHead = info.ullSize < kCopyHeadBytes ? static_cast<size_t>(info.ullSize)
                                                           : kCopyHeadBytes;
        auto* pHead = static_cast<uint8_t*>(VX_CALLOC(
            1, kCopyHeadBytes, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pHead", VX_WHERE));
        if (DeviceRead(pDev, 0, pHead, static_cast<uint32_t>(cbHead)))
            status = PrepareMftCopy(pReq, pOut, pHead, cbHead, pVol, pbDone);
        VX_FREE(pHead, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pHead", VX_WHERE);
        if (pVol->pszMftCopy != nullptr || *pbDone) {
            vx_plat_close(pDev);
            return status;
        }
    }
    if (pReq->pszSdsPath != nullptr) {
        vx_plat_close(pDev);
        log_message(VX_FATAL, "%s : --sds=%s is read with a copy of $MFT; %s is none", program,
                    pReq->pszSdsPath, pszPath);
    }
    if ((bChoose || (!pReq->bOffset && !bNtfsAtZero)) && info.bSizeKnown) {
        auto* pTable = static_cast<PartitionTable*>(VX_CALLOC(
            1, sizeof(PartitionTable), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pTable", VX_WHERE));
        auto* pszList = static_cast<char*>(VX_CALLOC(
            1, kListBytes, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pszList", VX_WHERE));
        char szTitle[600];
        const int bTable =
            !bBitLockerAtZero && ReadPartitionTable(DeviceRead, pDev, info.ullSize,
                                                    info.dwSectorSize, pszPath, pTable);
        if (bTable) {
            TableTitle(pszPath, pTable, szTitle, sizeof szTitle);
            ListPartitions(pTable, pszList, kListBytes);
        }
        uint32_t dwNtfs = 0;
        const Partition* pNtfs = nullptr;
        for (uint32_t k = 0; k < pTable->dwCount; k++) {
            if ((pTable->parts[k].bNtfs || pTable->parts[k].bBitLocker) &&
                !pTable->parts[k].bProblem) {
                dwNtfs++;
                pNtfs = &pTable->parts[k];
            }
        }
        if (pReq->bListPartitions) {
            if (bTable)
                fprintf(pOut, "%s\n%s", szTitle, pszList);
            else
                fprintf(pOut, "%s: no partition table%s\n", pszPath,
                        bBitLockerAtZero ? "; a BitLocker volume begins at offset 0"
                        : bNtfsAtZero    ? "; an NTFS volume begins at offset 0"
                                         : "");
            *pbDone = 1;
            if (pTable->bDamaged) status = VX_FAILED;
        } else if (pReq->dwPartition != 0) {
            const Partition* pPart = nullptr;
            for (uint32_t k = 0; k < pTable->dwCount; k++)
                if (pTable->parts[k].dwNumber == pReq->dwPartition) pPart = &pTable->parts[k];
            if (!bTable) {
                log_message(VX_ERROR, "%s %s() l.%d: %s holds no partition table", VX_WHERE,
                            pszPath);
                status = VX_FAILED;
            } else if (pPart == nullptr || pPart->bProblem || pPart->bExtended) {
                log_message(VX_ERROR, "%s %s() l.%d: %s: partition %u %s\n%s\n%s", VX_WHERE,
                            pszPath, pReq->dwPartition,
                            pPart == nullptr      ? "is not in the table"
                            : pPart->bExtended    ? "is an extended partition, no volume"
                                                  : "is not inside the disk or overlaps another",
                            szTitle, pszList);
                status = VX_FAILED;
            } else {
                ullOffset = pPart->ullFirst * pTable->dwSectorSize;
            }
        } else if (bTable && !pTable->bDamaged && dwNtfs == 1) {
            ullOffset = pNtfs->ullFirst * pTable->dwSectorSize;
            log_message(VX_WARNING,
                        "%s %s() l.%d: %s: reading %s partition %u (first sector %llu, %llu "
                        "sectors)",
                        VX_WHERE, pszPath, pNtfs->bNtfs ? "NTFS" : "BitLocker", pNtfs->dwNumber,
                        static_cast<unsigned long long>(pNtfs->ullFirst),
                        static_cast<unsigned long long>(pNtfs->ullSectors));
        } else if (bTable) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: %s holds no NTFS volume at offset 0 and %s: choose "
                        "one with --partition=N or --offset=SECTORs\n%s\n%s",
                        VX_WHERE, pszPath,
                        pTable->bDamaged ? "a damaged partition table"
                        : dwNtfs == 0    ? "no NTFS partition"
                                         : "several NTFS partitions",
                        szTitle, pszList);
            status = VX_FAILED;
        }
        VX_FREE(pszList, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pszList", VX_WHERE);
        VX_FREE(pTable, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pTable", VX_WHERE);
    } else if (pReq->bListPartitions) {
        // A source that cannot tell its size (a pipe) is read from its start only.
        fprintf(pOut, "%s: no partition table read (the size of the source is not known)\n",
                pszPath);
        *pbDone = 1;
    }
    pVol->ullSourceOffset = ullOffset;
    if (*pbDone || status != VX_OK || bRaw) {
        // A raw file or device is opened again by the volume, as it always was.
        vx_plat_close(pDev);
        return status;
    }
    vx_plat_set_base(pDev, ullOffset);
    *ppDev = pDev;
    return VX_OK;
}

// ------------------------------------------------------ shadow copies

int ParseSnapshot(const char* text, SnapshotRequest* pReq) {
    if (strcmp(text, "all") == 0) {
        pReq->bAll = 1;
        return 1;
    }
    uint64_t ullNumber = 0;
    int bSectors = 0;
    if (!ParseOffset(text, &ullNumber, &bSectors) || bSectors || ullNumber == 0 ||
        ullNumber > 0xFFFFFFFFu)
        return 0;
    pReq->dwNumber = static_cast<uint32_t>(ullNumber);
    return 1;
}

namespace {

// What the -f source or the drive is called in messages.
const char* SourceName(const Volume* pVol, char* pszDrive, size_t cb) {
    if (pVol->pszSourcePath != nullptr) return pVol->pszSourcePath;
    snprintf(pszDrive, cb, "\\\\.\\%c:", pVol->DriveLetter);
    return pszDrive;
}

// The bytes of the volume: its sectors and the backup boot sector after
// them, as its boot sector counts them, within what the device holds.  A
// device whose first sector is no NTFS boot sector is taken whole (the
// open of the volume then says what is wrong with it).
uint64_t VolumeBytes(VxDevice* pDev) {
    uint64_t ullDevice = 0;
    if (!vx_plat_device_size(pDev, &ullDevice)) ullDevice = UINT64_MAX;
    uint8_t boot[boot_sector::kSize];
    if (!DeviceRead(pDev, 0, boot, sizeof boot) || memcmp(boot + boot_sector::kOemId, "NTFS    ", 8) != 0)
        return ullDevice;
    const uint64_t ullSector = vx_le16(boot, sizeof boot, boot_sector::kBytesPerSector);
    const uint64_t ullSectors = vx_le64(boot, sizeof boot, boot_sector::kTotalSectors);
    if (ullSector == 0 || ullSectors >= UINT64_MAX / ullSector - 1) return ullDevice;
    const uint64_t ullBytes = (ullSectors + 1) * ullSector;
    return ullBytes < ullDevice ? ullBytes : ullDevice;
}

// A GUID as Windows writes it: the first three fields little-endian.
void GuidText(const uint8_t* p, char* psz, size_t cb) {
    snprintf(psz, cb, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", p[3],
             p[2], p[1], p[0], p[5], p[4], p[7], p[6], p[8], p[9], p[10], p[11], p[12], p[13],
             p[14], p[15]);
}

}  // namespace

namespace {

// Our own reading of the catalog comes first: it follows every chain of
// blocks to its end, so that the library is never handed one that loops.
int OpenStores(VxDevice* pDev, Snapshots* pSnaps) {
    const uint64_t ullBytes = VolumeBytes(pDev);
    auto* pCatalog = static_cast<ShadowCatalog*>(VX_CALLOC(
        1, sizeof(ShadowCatalog), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pCatalog", VX_WHERE));
    auto* pZeros = static_cast<VxByteRange*>(
        VX_CALLOC(2 * kMaxShadowStores, sizeof(VxByteRange), VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC pZeros", VX_WHERE));
    if (!ReadShadowCatalog(DeviceRead, pDev, ullBytes, pCatalog)) {
        snprintf(pSnaps->szWhy, sizeof pSnaps->szWhy, "the shadow copy catalog is damaged: %s",
                 pCatalog->pszProblem);
    } else {
        // A store whose chains are damaged is left out, with the older ones.
        uint32_t dwFirst = 0;
        for (uint32_t k = 0; k < pCatalog->dwStores; k++) {
            if (pCatalog->stores[k].pszProblem == nullptr) continue;
            dwFirst = k + 1;
            snprintf(pSnaps->szWhy, sizeof pSnaps->szWhy, "%s", pCatalog->stores[k].pszProblem);
        }
        // Then, while the library cannot open the stores, the oldest of
        // them is left out too.
        uint32_t dwZeros = 0;
        for (uint32_t j = 0; j <= dwFirst || (j < pCatalog->dwStores && pSnaps->pSet == nullptr);
             j++) {
            if (j > 0) {
                const ShadowStoreEntries& left = pCatalog->stores[j - 1];
                for (uint32_t e = 0; e < left.dwEntries; e++)
                    pZeros[dwZeros++] = VxByteRange{left.ullEntries[e], shadow_catalog_entry::kSize};
            }
            if (j < dwFirst) continue;
            pSnaps->pSet = vx_plat_open_snapshots(pDev, ullBytes, pZeros, dwZeros);
            if (pSnaps->pSet != nullptr) {
                pSnaps->dwLeftOut = j;
                pSnaps->dwCount = j + vx_plat_snapshot_count(pSnaps->pSet);
            } else {
                // What the library says of the store after those left out.
                snprintf(pSnaps->szWhy, sizeof pSnaps->szWhy, "%s", vx_plat_image_error());
            }
        }
    }
    VX_FREE(pZeros, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pZeros", VX_WHERE);
    VX_FREE(pCatalog, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pCatalog", VX_WHERE);
    return pSnaps->pSet != nullptr;
}

// The diagnostic of a snapshot that cannot be read because it was left out.
void LeftOut(const char* pszName, const Snapshots* pSnaps, uint32_t dwNumber) {
    if (dwNumber == pSnaps->dwLeftOut)
        log_message(VX_ERROR, "%s %s() l.%d: %s: snapshot %u of %u cannot be read: %s", VX_WHERE,
                    pszName, dwNumber, pSnaps->dwCount, pSnaps->szWhy);
    else
        log_message(VX_ERROR,
                    "%s %s() l.%d: %s: snapshot %u of %u cannot be read: it is read through "
                    "snapshot %u, which cannot",
                    VX_WHERE, pszName, dwNumber, pSnaps->dwCount, pSnaps->dwLeftOut);
}

}  // namespace

int OpenSnapshots(const Volume* pVol, const SnapshotRequest* pReq, VxDevice** ppDev,
                  Snapshots* pSnaps) {
    *pSnaps = Snapshots{};
    char szDrive[16];
    const char* pszName = SourceName(pVol, szDrive, sizeof szDrive);
    if (!vx_plat_snapshots_supported()) {
        log_message(VX_ERROR, "%s %s() l.%d: %s: this build has no shadow copy support", VX_WHERE,
                    pszName);
        return VX_FAILED;
    }
    VxDevice* pDev = *ppDev;
    const bool bRaw = pDev == nullptr;
    *ppDev = nullptr;
    if (bRaw) pDev = vx_plat_open_device(pszName, pVol->ullSourceOffset);
    if (pDev == nullptr) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: CreateFile - Drive : %s", VX_WHERE, pszName);
        return VX_FAILED;
    }
    if (!OpenStores(pDev, pSnaps)) {
        log_message(VX_ERROR, "%s %s() l.%d: %s: the shadow copies cannot be read: %s", VX_WHERE,
                    pszName, pSnaps->szWhy);
        // With --snapshot=all the volume itself is still reported.
        if (pReq->bAll && !bRaw) *ppDev = pDev;
        else vx_plat_close(pDev);
        return VX_FAILED;
    }
    const uint32_t dwNumber = pReq->dwNumber;
    if (dwNumber != 0) {
        if (dwNumber > pSnaps->dwCount) {
            log_message(VX_ERROR, "%s %s() l.%d: %s: snapshot %u is not on the volume (it holds %u)",
                        VX_WHERE, pszName, dwNumber, pSnaps->dwCount);
            return VX_FAILED;
        }
        if (dwNumber <= pSnaps->dwLeftOut) {
            LeftOut(pszName, pSnaps, dwNumber);
            return VX_FAILED;
        }
        *ppDev = vx_plat_open_snapshot(pSnaps->pSet, dwNumber - 1 - pSnaps->dwLeftOut);
        if (*ppDev == nullptr) {
            log_message(VX_ERROR, "%s %s() l.%d: %s: snapshot %u of %u cannot be read: %s",
                        VX_WHERE, pszName, dwNumber, pSnaps->dwCount, vx_plat_image_error());
            return VX_FAILED;
        }
    } else if (pReq->bAll && !bRaw) {
        *ppDev = vx_plat_open_snapshot_volume(pSnaps->pSet);
        if (*ppDev == nullptr) {
            log_message(VX_ERROR, "%s %s() l.%d: %s: %s", VX_WHERE, pszName, vx_plat_image_error());
            return VX_FAILED;
        }
    }
    return VX_OK;
}

void CloseSnapshots(Snapshots* pSnaps) {
    if (pSnaps->pSet != nullptr) vx_plat_close_snapshots(pSnaps->pSet);
    *pSnaps = Snapshots{};
}

int ListSnapshots(FILE* pOut, const Volume* pVol, Snapshots* pSnaps) {
    char szDrive[16];
    const char* pszName = SourceName(pVol, szDrive, sizeof szDrive);
    const uint32_t dwCount = pSnaps->dwCount;
    if (dwCount == 0) {
        fprintf(pOut, "%s: no shadow copies on this volume\n", pszName);
        return VX_OK;
    }
    fprintf(pOut, "%s: %u shadow cop%s\n", pszName, dwCount, dwCount == 1 ? "y" : "ies");
    fputs("  #  Created (UTC)                Identifier                            Shadow copy  "
          "                         Shadow copy set                       Volume size  Flags\n",
          pOut);
    int status = VX_OK;
    for (uint32_t n = 1; n <= dwCount; n++) {
        VxSnapshotInfo info{};
        if (n <= pSnaps->dwLeftOut) {
            fprintf(pOut, "%3u  cannot be read\n", n);
            LeftOut(pszName, pSnaps, n);
            status = VX_FAILED;
            continue;
        }
        if (!vx_plat_snapshot_info(pSnaps->pSet, n - 1 - pSnaps->dwLeftOut, &info)) {
            fprintf(pOut, "%3u  cannot be read\n", n);
            log_message(VX_ERROR, "%s %s() l.%d: %s: snapshot %u of %u: %s", VX_WHERE, pszName, n,
                        dwCount, vx_plat_image_error());
            status = VX_FAILED;
            continue;
        }
        char szId[40], szCopy[40], szSet[40];
        GuidText(info.identifier, szId, sizeof szId);
        GuidText(info.copyIdentifier, szCopy, sizeof szCopy);
        GuidText(info.setIdentifier, szSet, sizeof szSet);
        fprintf(pOut, "%3u  ", n);
        DumpTime(pOut, info.ullCreationTime);
        fprintf(pOut, "  %s  %s  %s  %11llu  0x%08x\n", szId, szCopy, szSet,
                static_cast<unsigned long long>(info.ullVolumeSize), info.dwAttributeFlags);
    }
    return status;
}

VxDevice* BeginSnapshot(FILE* pOut, const Volume* pVol, Snapshots* pSnaps, uint32_t dwNumber) {
    char szDrive[16];
    const char* pszName = SourceName(pVol, szDrive, sizeof szDrive);
    const bool bLeftOut = dwNumber <= pSnaps->dwLeftOut;
    const uint32_t dwIndex = dwNumber - 1 - (bLeftOut ? 0 : pSnaps->dwLeftOut);
    VxSnapshotInfo info{};
    const int bInfo = !bLeftOut && vx_plat_snapshot_info(pSnaps->pSet, dwIndex, &info);
    // One line of its own before the snapshot's records, beginning with a
    // word where a record line begins with its number, so that a reader of
    // the line report can tell which volume a line belongs to, or skip it.
    fprintf(pOut, "Snapshot %u of %u", dwNumber, pSnaps->dwCount);
    if (bInfo) {
        char szId[40];
        GuidText(info.identifier, szId, sizeof szId);
        fputs(", created ", pOut);
        DumpTime(pOut, info.ullCreationTime);
        fprintf(pOut, ", identifier %s", szId);
    }
    fputs("\n", pOut);
    if (bLeftOut) {
        LeftOut(pszName, pSnaps, dwNumber);
        return nullptr;
    }
    VxDevice* pDev = bInfo ? vx_plat_open_snapshot(pSnaps->pSet, dwIndex) : nullptr;
    if (pDev == nullptr)
        log_message(VX_ERROR, "%s %s() l.%d: %s: snapshot %u of %u cannot be read: %s", VX_WHERE,
                    pszName, dwNumber, pSnaps->dwCount, vx_plat_image_error());
    return pDev;
}

int EndSnapshot(const Volume* pVol, Snapshots* pSnaps, uint32_t dwNumber) {
    const char* pszFirst = nullptr;
    const uint64_t ullFailed = vx_plat_snapshot_read_failures(pSnaps->pSet, &pszFirst);
    if (ullFailed == 0) return VX_OK;
    char szDrive[16];
    log_message(VX_ERROR,
                "%s %s() l.%d: %s: snapshot %u of %u: " VX_U64 " reads of its blocks failed, the "
                "first: %s",
                VX_WHERE, SourceName(pVol, szDrive, sizeof szDrive), dwNumber, pSnaps->dwCount,
                ullFailed, pszFirst);
    return VX_FAILED;
}
