// The -f source: container, partition table and the volume's offset.
#include "run/source.h"

#include <cstring>

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/partition.h"
#include "platform/platform.h"

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

// The table, a line a partition, into `pszText` (cb bytes).
void ListPartitions(const PartitionTable* pTable, char* pszText, size_t cb) {
    size_t used = static_cast<size_t>(
        snprintf(pszText, cb, "  #        First      Sectors  NTFS  Type\n"));
    for (uint32_t k = 0; k < pTable->dwCount && used < cb; k++) {
        const Partition* p = &pTable->parts[k];
        char szType[64];
        PartitionTypeText(p, pTable->scheme, szType, sizeof szType);
        const char* pszNtfs = p->bProblem ? "bad" : p->bExtended ? "-" : p->bNtfs ? "yes" : "no";
        int n = snprintf(pszText + used, cb - used, "%3u %12llu %12llu  %-4s  %s\n", p->dwNumber,
                         static_cast<unsigned long long>(p->ullFirst),
                         static_cast<unsigned long long>(p->ullSectors), pszNtfs, szType);
        if (n > 0) used += static_cast<size_t>(n);
    }
}

constexpr size_t kListBytes = 128 * (kMaxPartitions + 2);

void TableTitle(const char* pszPath, const PartitionTable* pTable, char* psz, size_t cb) {
    snprintf(psz, cb, "%s: %s partition table, %u-byte sectors, %llu sectors%s", pszPath,
             pTable->scheme == PART_GPT ? "GPT" : "MBR", pTable->dwSectorSize,
             static_cast<unsigned long long>(pTable->ullDiskSectors),
             pTable->bBackupUsed ? " (backup GPT header)" : "");
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
    if (!pReq->bOffset || bChoose) {
        bNtfsAtZero =
            DeviceRead(pDev, 0, boot, sizeof boot) && memcmp(boot + 3, "NTFS    ", 8) == 0;
    }
    if ((bChoose || (!pReq->bOffset && !bNtfsAtZero)) && info.bSizeKnown) {
        auto* pTable = static_cast<PartitionTable*>(VX_CALLOC(
            1, sizeof(PartitionTable), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pTable", VX_WHERE));
        auto* pszList = static_cast<char*>(VX_CALLOC(
            1, kListBytes, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pszList", VX_WHERE));
        char szTitle[600];
        const int bTable = ReadPartitionTable(DeviceRead, pDev, info.ullSize, info.dwSectorSize,
                                              pszPath, pTable);
        if (bTable) {
            TableTitle(pszPath, pTable, szTitle, sizeof szTitle);
            ListPartitions(pTable, pszList, kListBytes);
        }
        uint32_t dwNtfs = 0;
        const Partition* pNtfs = nullptr;
        for (uint32_t k = 0; k < pTable->dwCount; k++) {
            if (pTable->parts[k].bNtfs && !pTable->parts[k].bProblem) {
                dwNtfs++;
                pNtfs = &pTable->parts[k];
            }
        }
        if (pReq->bListPartitions) {
            if (bTable)
                fprintf(pOut, "%s\n%s", szTitle, pszList);
            else
                fprintf(pOut, "%s: no partition table%s\n", pszPath,
                        bNtfsAtZero ? "; an NTFS volume begins at offset 0" : "");
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
                        "%s %s() l.%d: %s: reading NTFS partition %u (first sector %llu, %llu "
                        "sectors)",
                        VX_WHERE, pszPath, pNtfs->dwNumber,
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
