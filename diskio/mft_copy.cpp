// A copy of the $MFT read in place of the volume, as triage collectors take
// it off a live system, with the copies of $Secure:$SDS and $Boot they take
// beside it.
//
// The copy is laid out as a small volume of its own: the $MFT copy from
// cluster 0, then the $SDS copy from the next whole cluster, each padded
// with zeros to a whole cluster.  The $MFT's and $Secure's data streams are
// then read through one run each over that layout, and every other part of
// the reader works as on a volume.  Non-resident streams of other files have
// no clusters here: the report leaves their digests out, and attribute lists
// that are non-resident are replaced by the extension records that name the
// base record in their headers.
#include <algorithm>
#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/layout/attribute_header.h"
#include "diskio/layout/attribute_list_entry.h"
#include "diskio/layout/boot_sector.h"
#include "diskio/layout/file_name.h"
#include "diskio/layout/record_header.h"
#include "platform/platform.h"

#define VX_MODULE "diskio"

namespace {

constexpr uint32_t kMinRecordSize = 256;
constexpr uint32_t kMaxRecordSize = 64 * 1024;
constexpr uint32_t kAttrList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
// The scan for extension records reads the copy in blocks of this size.
constexpr uint32_t kScanBlockBytes = 1u << 20;
// Bytes of the record header the scan looks at: signature to base reference.
constexpr uint32_t kScanHeaderBytes = record_header::kBaseSequence + 2;
// An attribute list of its largest size names no more records than this.
constexpr uint64_t kMaxHolders = kMaxAttributeListValue / attribute_list_entry::kHeaderSize;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// One extension record found by the scan: the base record its header names.
struct Extension {
    uint64_t ullBase;
    uint64_t ullRecord;
};

// An extension record of one file, and the first attribute it holds in the
// order of an attribute list (type, name, lowest VCN).
struct Holder {
    uint64_t ullRecord;
    uint16_t wSequence;
    uint32_t dwType;
    uint16_t wNameLength;
    vx_wchar wszName[kMaxNameUnits];
    uint64_t ullFirstVcn;
};

}  // namespace

struct MftCopy {
    VxDevice* pMftDev;
    VxDevice* pSdsDev;
    uint64_t ullMftBytes;
    uint64_t ullSdsBytes;
    uint64_t ullSdsLcn;       // first cluster of the $SDS copy in the layout ...
    uint64_t ullSdsStart;     // ... and its first byte
    uint64_t ullLayoutBytes;
    int bClusterKnown;        // from a $Boot copy
    Run mftRun;
    Run sdsRun;
    Attribute mftData;
    Attribute sdsData;
    int bCutSaid;
    // The extension records by base record, made by the first list that
    // needs them.
    int bScanned;
    Extension* pExtensions;
    uint64_t ullExtensions;
};

namespace {

// Applies the fixups of a record image without a word: 1 when every stride
// ends in the update value.
bool SilentFixups(uint8_t* p, uint32_t cb) {
    const uint32_t dwUsa = vx_le16(p, cb, record_header::kUsaOffset);
    const uint16_t wCount = vx_le16(p, cb, record_header::kUsaCount);
    if (wCount == 0 || !vx_fits(cb, dwUsa, 2ull * wCount)) return false;
    const uint16_t wUsn = vx_le16(p, cb, dwUsa);
    for (uint32_t k = 1; k < wCount; k++) {
        const uint64_t ullAt = static_cast<uint64_t>(k) * kFixupStride - 2;
        if (ullAt + 2 > cb || vx_le16(p, cb, ullAt) != wUsn) return false;
        vx_put16(p, cb, ullAt, vx_le16(p, cb, dwUsa + 2ull * k));
    }
    return true;
}

// The name of a resident $FILE_NAME attribute at `ullAttr` is "$MFT".
bool NamesMft(const uint8_t* p, uint32_t cb, uint64_t ullAttr, uint32_t dwLength) {
    if (vx_le8(p, cb, ullAttr + attribute_header::kNonResident) != 0) return false;
    const uint64_t ullValue = ullAttr + vx_le16(p, cb, ullAttr + resident_attribute::kValueOffset);
    const uint32_t dwValue = vx_le32(p, cb, ullAttr + resident_attribute::kValueLength);
    if (ullValue + dwValue > ullAttr + dwLength || dwValue < file_name::kName + 8) return false;
    if (vx_le8(p, cb, ullValue + file_name::kNameLength) != 4) return false;
    static const char kName[] = "$MFT";
    for (uint32_t k = 0; k < 4; k++)
        if (vx_le16(p, cb, ullValue + file_name::kName + 2 * k) != static_cast<uint8_t>(kName[k]))
            return false;
    return true;
}

}  // namespace

int InspectMftCopy(const uint8_t* pBytes, size_t cb, uint32_t* pdwRecordSize,
                   const char** ppszWhy, uint64_t* pullValue) {
    *pdwRecordSize = 0;
    *ppszWhy = nullptr;
    *pullValue = 0;
    if (cb < kMinRecordSize ||
        memcmp(pBytes + record_header::kSignature, "FILE", record_header::kSignatureSize) != 0)
        return 0;
    const uint32_t dwSize = vx_le32(pBytes, cb, record_header::kBytesAllocated);
    if (!IsPowerOfTwo(dwSize) || dwSize < kMinRecordSize || dwSize > kMaxRecordSize) {
        *ppszWhy = "record size";
        *pullValue = dwSize;
        return 1;
    }
    // Every 512 bytes of a record end in the update value: the count of the
    // update sequence is the strides of the record and the value itself.
    const uint16_t wCount = vx_le16(pBytes, cb, record_header::kUsaCount);
    if (wCount != dwSize / kFixupStride + 1) {
        *ppszWhy = "update sequence count for its record size";
        *pullValue = wCount;
        return 1;
    }
    if (dwSize > cb) {
        *ppszWhy = "length, shorter than record 0 of bytes";
        *pullValue = dwSize;
        return 1;
    }
    auto* record = static_cast<uint8_t*>(
        VX_CALLOC(dwSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC record 0", VX_WHERE));
    memcpy(record, pBytes, dwSize);
    const bool bFixed = SilentFixups(record, dwSize);
    const uint64_t ullBase = vx_le48(record, dwSize, record_header::kBaseRecord);
    if (!bFixed || ullBase != 0) {
        *ppszWhy = bFixed ? "record 0, an extension of record" : "update sequence of record 0 (torn), at offset";
        *pullValue = bFixed ? ullBase : vx_le16(record, dwSize, record_header::kUsaOffset);
        VX_FREE(record, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record 0", VX_WHERE);
        return 1;
    }
    // The $MFT's name, or, when an attribute list has taken it to an
    // extension record, the list and the $DATA that maps the records.
    bool bName = false, bOtherName = false, bList = false, bData = false;
    uint64_t ullAttr = vx_le16(record, dwSize, record_header::kAttributesOffset);
    // Each attribute takes 16 bytes at least: the walk ends within the record.
    while (vx_fits(dwSize, ullAttr, 16)) {
        const uint32_t dwType = vx_le32(record, dwSize, ullAttr + attribute_header::kType);
        const uint32_t dwLength = vx_le32(record, dwSize, ullAttr + attribute_header::kLength);
        if (dwType == attribute_header::kEndMarker || dwLength < 16 || dwLength > dwSize - ullAttr)
            break;
        if (dwType == kAttrFileName) {
            if (NamesMft(record, dwSize, ullAttr, dwLength)) bName = true;
            else bOtherName = true;
        }
        bList = bList || dwType == kAttrList;
        bData = bData || (dwType == kAttrData &&
                          vx_le8(record, dwSize, ullAttr + attribute_header::kNonResident) != 0);
        ullAttr += dwLength;
    }
    VX_FREE(record, VX_FATAL_SYS, "%s %s l. %d: VX_FREE record 0", VX_WHERE);
    if (bName || (!bOtherName && bList && bData)) {
        *pdwRecordSize = dwSize;
        return 1;
    }
    *ppszWhy = "record 0, which holds no name $MFT; first attribute at offset";
    *pullValue = vx_le16(pBytes, dwSize, record_header::kAttributesOffset);
    return 1;
}

namespace {

// Reads of the layout: the $MFT copy, zeros to its cluster's end, then the
// $SDS copy and zeros again; what a copy does not deliver (a file shorter
// than when it was opened) reads as zeros too.
int ReadLayout(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
               uint32_t* pdwRead) {
    auto* pCopy = static_cast<MftCopy*>(pContext);
    auto* pOut = static_cast<uint8_t*>(pBuffer);
    *pdwRead = 0;
    if (ullOffset >= pCopy->ullLayoutBytes) return 1;
    if (dwLength > pCopy->ullLayoutBytes - ullOffset)
        dwLength = static_cast<uint32_t>(pCopy->ullLayoutBytes - ullOffset);
    const uint64_t ullSdsStart = pCopy->ullSdsStart;
    uint32_t dwDone = 0;
    while (dwDone < dwLength) {
        const uint64_t ullAt = ullOffset + dwDone;
        const bool bSds = ullAt >= ullSdsStart;
        VxDevice* pDev = bSds ? pCopy->pSdsDev : pCopy->pMftDev;
        const uint64_t ullIn = bSds ? ullAt - ullSdsStart : ullAt;
        const uint64_t ullFile = bSds ? pCopy->ullSdsBytes : pCopy->ullMftBytes;
        const uint64_t ullRegionEnd = bSds ? pCopy->ullLayoutBytes : ullSdsStart;
        uint32_t dwPart = dwLength - dwDone;
        if (ullRegionEnd - ullAt < dwPart) dwPart = static_cast<uint32_t>(ullRegionEnd - ullAt);
        uint32_t dwGot = 0;
        const uint32_t dwAsk =
            ullIn >= ullFile ? 0 : ullFile - ullIn < dwPart ? static_cast<uint32_t>(ullFile - ullIn) : dwPart;
        while (dwGot < dwAsk) {
            uint32_t dwOne = 0;
            if (!vx_plat_read_at(pDev, ullIn + dwGot, pOut + dwDone + dwGot, dwAsk - dwGot, &dwOne))
                return 0;
            if (dwOne == 0) break;
            dwGot += dwOne;
        }
        memset(pOut + dwDone + dwGot, 0, dwPart - dwGot);
        dwDone += dwPart;
    }
    *pdwRead = dwDone;
    return 1;
}

uint64_t FileBytes(VxDevice* pDev) {
    uint64_t ullBytes = 0;
    return vx_plat_device_size(pDev, &ullBytes) ? ullBytes : 0;
}

VxDevice* OpenCopyFile(const char* pszPath, const char* pszWhat) {
    VxDevice* pDev = vx_plat_open_device(pszPath, 0);
    if (pDev == nullptr)
        log_message(VX_ERROR_SYS, "%s %s() l.%d: the copy of %s cannot be opened - File : %s",
                    VX_MODULE, "OpenVolume", __LINE__, pszWhat, pszPath);
    return pDev;
}

// Geometry from the $Boot copy: 1 taken, 0 none or refused (said).
bool BootGeometryOf(Volume* pVol, uint32_t dwRecordSize) {
    if (pVol->pszBootCopy == nullptr) return false;
    VxDevice* pDev = OpenCopyFile(pVol->pszBootCopy, "$Boot");
    if (pDev == nullptr) return false;
    uint8_t boot[boot_sector::kSize];
    uint32_t dwGot = 0;
    const bool bRead = vx_plat_read_at(pDev, 0, boot, sizeof boot, &dwGot) && dwGot == sizeof boot;
    vx_plat_close(pDev);
    BootGeometry geom;
    const char* pszWhat = "";
    uint64_t ullValue = 0;
    if (!bRead || memcmp(boot + boot_sector::kOemId, "NTFS    ", 8) != 0 ||
        !DecodeBootSector(boot, sizeof boot, &geom, &pszWhat, &ullValue)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: %s is not a copy of an NTFS boot sector: the cluster size is "
                    "not known",
                    VX_MODULE, "OpenVolume", __LINE__, pVol->pszBootCopy);
        return false;
    }
    if (geom.dwMftRecordSize != dwRecordSize)
        log_message(VX_WARNING,
                    "%s %s() l.%d: records of %u bytes in %s, of %u bytes in the copy of $MFT: "
                    "the copy's are read",
                    VX_MODULE, "OpenVolume", __LINE__, geom.dwMftRecordSize, pVol->pszBootCopy,
                    dwRecordSize);
    pVol->SectorSize = geom.dwSectorSize;
    pVol->ClusterSize = geom.dwClusterSize;
    return true;
}

void SetRun(Attribute* pAttr, Run* pRun, uint64_t ullLcn, uint64_t ullClusters, uint64_t ullSize) {
    *pAttr = Attribute{};
    pAttr->dwType = kAttrData;
    pRun->llLcn = static_cast<int64_t>(ullLcn);
    pRun->ullLength = ullClusters;
    pAttr->pRunlist = pRun;
    pAttr->ullRunCount = ullClusters > 0 ? 1 : 0;
    pAttr->ullNextVcn = ullClusters;
    pAttr->ullSize = ullSize;
}

}  // namespace

int OpenMftCopy(Volume* pVol, VxDevice* pDev) {
    auto* pCopy = static_cast<MftCopy*>(
        VX_CALLOC(1, sizeof(MftCopy), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pCopy", VX_WHERE));
    pVol->pCopy = pCopy;
    pCopy->pMftDev = pDev != nullptr ? pDev : OpenCopyFile(pVol->pszMftCopy, "$MFT");
    if (pCopy->pMftDev == nullptr) return VX_FAILED;
    pCopy->ullMftBytes = FileBytes(pCopy->pMftDev);
    const uint32_t dwHead =
        pCopy->ullMftBytes < kMaxRecordSize ? static_cast<uint32_t>(pCopy->ullMftBytes)
                                            : kMaxRecordSize;
    auto* pHead = static_cast<uint8_t*>(
        VX_CALLOC(kMaxRecordSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pHead", VX_WHERE));
    uint32_t dwGot = 0;
    if (!vx_plat_read_at(pCopy->pMftDev, 0, pHead, dwHead, &dwGot)) dwGot = 0;
    uint32_t dwRecordSize = 0;
    const char* pszWhy = nullptr;
    uint64_t ullValue = 0;
    const int bFile = InspectMftCopy(pHead, dwGot, &dwRecordSize, &pszWhy, &ullValue);
    VX_FREE(pHead, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pHead", VX_WHERE);
    if (!bFile || pszWhy != nullptr) {
        if (!bFile)
            log_message(VX_ERROR, "%s %s() l.%d: %s is not a copy of $MFT: record 0 is no FILE record",
                        VX_MODULE, "OpenVolume", __LINE__, pVol->pszMftCopy);
        else
            log_message(VX_ERROR, "%s %s() l.%d: %s is not a copy of $MFT: invalid %s : " VX_U64,
                        VX_MODULE, "OpenVolume", __LINE__, pVol->pszMftCopy, pszWhy, ullValue);
        return VX_FAILED;
    }
    pVol->MftRecordSize = dwRecordSize;
    pVol->SectorSize = 512;
    pCopy->bClusterKnown = BootGeometryOf(pVol, dwRecordSize);
    // Without a $Boot copy the layout's unit is the record: only the sizes
    // counted in clusters (allocated sizes) need the real one.
    if (!pCopy->bClusterKnown) pVol->ClusterSize = dwRecordSize;
    const uint64_t ullCluster = pVol->ClusterSize;
    pVol->MftRecordClusters =
        dwRecordSize >= ullCluster ? static_cast<uint32_t>(dwRecordSize / ullCluster) : 1;
    if (pVol->pszSdsCopy != nullptr) {
        pCopy->pSdsDev = OpenCopyFile(pVol->pszSdsCopy, "$Secure:$SDS");
        if (pCopy->pSdsDev == nullptr) return VX_FAILED;
        pCopy->ullSdsBytes = FileBytes(pCopy->pSdsDev);
    }
    const uint64_t ullMftClusters = pCopy->ullMftBytes / ullCluster + (pCopy->ullMftBytes % ullCluster != 0);
    const uint64_t ullSdsClusters = pCopy->ullSdsBytes / ullCluster + (pCopy->ullSdsBytes % ullCluster != 0);
    pCopy->ullSdsLcn = ullMftClusters;
    pCopy->ullSdsStart = ullMftClusters * ullCluster;
    pVol->ClusterNumber = ullMftClusters + ullSdsClusters;
    pVol->MftStart = 0;
    pCopy->ullLayoutBytes = pVol->ClusterNumber * ullCluster;
    SetRun(&pCopy->mftData, &pCopy->mftRun, 0, ullMftClusters,
           pCopy->ullMftBytes - pCopy->ullMftBytes % dwRecordSize);
    SetRun(&pCopy->sdsData, &pCopy->sdsRun, pCopy->ullSdsLcn, ullSdsClusters, pCopy->ullSdsBytes);
    if (!pCopy->bClusterKnown)
        log_message(VX_WARNING,
                    "%s %s() l.%d: no copy of $Boot beside %s: the cluster size is not known, "
                    "the allocated sizes of non-resident streams are left out",
                    VX_MODULE, "OpenVolume", __LINE__, pVol->pszMftCopy);
    pVol->hVolume = vx_plat_open_reader(pCopy, ReadLayout, pCopy->ullLayoutBytes);
    if (pVol->hVolume == nullptr) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: CreateFile - Drive : %s", VX_MODULE, "OpenVolume",
                    __LINE__, pVol->pszDevice);
        return VX_FAILED;
    }
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream,
                "Copy of $MFT: " VX_U64 " bytes, records of %u bytes; $SDS: " VX_U64
                " bytes; ClusterSize: 0x%x%s\n",
                pCopy->ullMftBytes, dwRecordSize, pCopy->ullSdsBytes, pVol->ClusterSize,
                pCopy->bClusterKnown ? "" : " (not known)");
    return VX_OK;
}

Attribute* CopyMftData(Volume* pVol, const Attribute* pRecorded) {
    MftCopy* pCopy = pVol->pCopy;
    Attribute* pData = &pCopy->mftData;
    const uint64_t ullWhole = pCopy->ullMftBytes - pCopy->ullMftBytes % pVol->MftRecordSize;
    // The walk covers what the volume's would: the $MFT's size, within the
    // whole records the copy holds.
    const uint64_t ullWanted = pRecorded != nullptr ? pRecorded->ullSize : ullWhole;
    pData->ullSize = ullWanted < ullWhole ? ullWanted : ullWhole;
    if (ullWanted > ullWhole && !pCopy->bCutSaid) {
        pCopy->bCutSaid = 1;
        log_message(VX_ERROR,
                    "%s %s() l.%d: the copy of $MFT ends at record " VX_U64 " of the " VX_U64
                    " its $DATA holds (" VX_U64 " bytes of " VX_U64 "): the records after it "
                    "are not read - File : %s",
                    VX_WHERE, ullWhole / pVol->MftRecordSize, ullWanted / pVol->MftRecordSize,
                    pCopy->ullMftBytes, ullWanted, pVol->pszMftCopy);
    }
    return pData;
}

Attribute* CopySdsData(Volume* pVol) {
    MftCopy* pCopy = pVol->pCopy;
    if (pCopy->pSdsDev != nullptr) return &pCopy->sdsData;
    log_message(VX_WARNING,
                "%s %s() l.%d: no copy of $Secure:$SDS beside %s: owners, groups and ACEs come "
                "from the files' own security descriptors only",
                VX_WHERE, pVol->pszMftCopy);
    return nullptr;
}

int CopyCutShort(const Volume* pVol) { return pVol->pCopy != nullptr && pVol->pCopy->bCutSaid; }

int CopyClusterKnown(const Volume* pVol) { return pVol->pCopy == nullptr || pVol->pCopy->bClusterKnown; }

void CloseMftCopy(Volume* pVol) {
    MftCopy* pCopy = pVol->pCopy;
    if (pCopy == nullptr) return;
    if (pCopy->pMftDev != nullptr) vx_plat_close(pCopy->pMftDev);
    if (pCopy->pSdsDev != nullptr) vx_plat_close(pCopy->pSdsDev);
    if (pCopy->pExtensions != nullptr)
        VX_FREE(pCopy->pExtensions, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pExtensions", VX_WHERE);
    VX_FREE(pCopy, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pCopy", VX_WHERE);
    pVol->pCopy = nullptr;
}

// ------------------------------------------------------ extension records

namespace {

// Every record of the copy whose header names a base record, by base: one
// pass over the copy, a block at a time.
void ScanExtensions(Volume* pVol) {
    MftCopy* pCopy = pVol->pCopy;
    pCopy->bScanned = 1;
    const uint32_t dwSize = pVol->MftRecordSize;
    const uint64_t ullRecords = pCopy->mftData.ullSize / dwSize;
    const uint32_t dwBlock = kScanBlockBytes - kScanBlockBytes % dwSize;
    auto* pBlock = static_cast<uint8_t*>(
        VX_CALLOC(dwBlock, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC scan block", VX_WHERE));
    uint64_t ullRoom = 0;
    for (uint64_t ullFirst = 0; ullFirst < ullRecords; ullFirst += dwBlock / dwSize) {
        uint32_t dwGot = 0;
        if (!vx_plat_read_at(pCopy->pMftDev, ullFirst * dwSize, pBlock, dwBlock, &dwGot) ||
            dwGot == 0)
            break;
        for (uint32_t dwAt = 0; dwAt + dwSize <= dwGot && ullFirst + dwAt / dwSize < ullRecords;
             dwAt += dwSize) {
            const uint8_t* p = pBlock + dwAt;
            if (memcmp(p, "FILE", 4) != 0) continue;
            const uint64_t ullBase = vx_le48(p, kScanHeaderBytes, record_header::kBaseRecord);
            // A base record names none (0-0); the $MFT's own extensions name record 0.
            if (ullBase == 0 && vx_le16(p, kScanHeaderBytes, record_header::kBaseSequence) == 0)
                continue;
            if (pCopy->ullExtensions == ullRoom) {
                ullRoom = ullRoom == 0 ? 256 : 2 * ullRoom;
                pCopy->pExtensions = static_cast<Extension*>(VX_REALLOC(
                    pCopy->pExtensions, ullRoom, sizeof(Extension), VX_FATAL_SYS,
                    "%s %s l. %d: VX_REALLOC pExtensions", VX_WHERE));
            }
            pCopy->pExtensions[pCopy->ullExtensions++] =
                Extension{ullBase, ullFirst + dwAt / dwSize};
        }
    }
    VX_FREE(pBlock, VX_FATAL_SYS, "%s %s l. %d: VX_FREE scan block", VX_WHERE);
    std::sort(pCopy->pExtensions, pCopy->pExtensions + pCopy->ullExtensions,
              [](const Extension& a, const Extension& b) {
                  return a.ullBase != b.ullBase ? a.ullBase < b.ullBase : a.ullRecord < b.ullRecord;
              });
}

// The holder's first attribute in list order; false when the record is not
// one of this file's (torn, of another generation, or free while the file is
// in use) or holds no attribute.
bool ReadHolder(Volume* pVol, const Entry* pEntry, uint64_t ullRecord, uint8_t* pRecord,
                Holder* pHolder) {
    const uint32_t cb = pVol->MftRecordSize;
    uint32_t dwGot = 0;
    if (!vx_plat_read_at(pVol->pCopy->pMftDev, ullRecord * cb, pRecord, cb, &dwGot) || dwGot < cb ||
        !SilentFixups(pRecord, cb))
        return false;
    const uint16_t wBaseSeq = vx_le16(pRecord, cb, record_header::kBaseSequence);
    const bool bInUse = (vx_le16(pRecord, cb, record_header::kFlags) & record_header::kFlagInUse) != 0;
    if ((pEntry->wFlags & record_header::kFlagInUse) != 0) {
        if (wBaseSeq != pEntry->wSequence || !bInUse) return false;
    } else {
        // An erased file's extensions keep the sequence before its own.
        const uint16_t wNext = static_cast<uint16_t>(wBaseSeq + 1 == 0x10000 ? 1 : wBaseSeq + 1);
        if (wBaseSeq != pEntry->wSequence && !(wBaseSeq != 0 && wNext == pEntry->wSequence))
            return false;
    }
    *pHolder = Holder{};
    pHolder->ullRecord = ullRecord;
    pHolder->wSequence = vx_le16(pRecord, cb, record_header::kSequence);
    bool bAny = false;
    uint64_t ullAttr = vx_le16(pRecord, cb, record_header::kAttributesOffset);
    while (vx_fits(cb, ullAttr, 16)) {
        const uint32_t dwType = vx_le32(pRecord, cb, ullAttr + attribute_header::kType);
        const uint32_t dwLength = vx_le32(pRecord, cb, ullAttr + attribute_header::kLength);
        if (dwType == attribute_header::kEndMarker || dwLength < 16 || dwLength > cb - ullAttr)
            break;
        Holder h{};
        h.dwType = dwType;
        h.wNameLength = vx_le8(pRecord, cb, ullAttr + attribute_header::kNameLength);
        const uint64_t ullName = ullAttr + vx_le16(pRecord, cb, ullAttr + attribute_header::kNameOffset);
        for (uint16_t k = 0; k < h.wNameLength; k++)
            h.wszName[k] = vx_le16(pRecord, cb, ullName + 2ull * k);
        if (vx_le8(pRecord, cb, ullAttr + attribute_header::kNonResident) != 0)
            h.ullFirstVcn = vx_le64(pRecord, cb, ullAttr + nonresident_attribute::kFirstVcn);
        const bool bBefore =
            !bAny || h.dwType < pHolder->dwType ||
            (h.dwType == pHolder->dwType &&
             (std::lexicographical_compare(h.wszName, h.wszName + h.wNameLength, pHolder->wszName,
                                           pHolder->wszName + pHolder->wNameLength) ||
              (std::equal(h.wszName, h.wszName + h.wNameLength, pHolder->wszName,
                          pHolder->wszName + pHolder->wNameLength) &&
               h.ullFirstVcn < pHolder->ullFirstVcn)));
        if (bBefore) {
            h.ullRecord = pHolder->ullRecord;
            h.wSequence = pHolder->wSequence;
            *pHolder = h;
        }
        bAny = true;
        ullAttr += dwLength;
    }
    return bAny;
}

bool HolderBefore(const Holder& a, const Holder& b) {
    if (a.dwType != b.dwType) return a.dwType < b.dwType;
    if (!std::equal(a.wszName, a.wszName + a.wNameLength, b.wszName, b.wszName + b.wNameLength))
        return std::lexicographical_compare(a.wszName, a.wszName + a.wNameLength, b.wszName,
                                            b.wszName + b.wNameLength);
    if (a.ullFirstVcn != b.ullFirstVcn) return a.ullFirstVcn < b.ullFirstVcn;
    return a.ullRecord < b.ullRecord;
}

}  // namespace

int GatherExtensionRecords(Entry* pEntry, int erasedOnly) {
    Volume* pVol = pEntry->pVolume;
    MftCopy* pCopy = pVol->pCopy;
    if (!pCopy->bScanned) ScanExtensions(pVol);
    const Extension key{pEntry->ullBaseRecord, 0};
    const Extension* pEnd = pCopy->pExtensions + pCopy->ullExtensions;
    const Extension* pFirst =
        std::lower_bound(static_cast<const Extension*>(pCopy->pExtensions), pEnd, key, [](const Extension& a, const Extension& b) {
            return a.ullBase < b.ullBase;
        });
    uint64_t ullCount = 0;
    while (pFirst + ullCount < pEnd && pFirst[ullCount].ullBase == pEntry->ullBaseRecord) ullCount++;
    if (ullCount == 0) return VX_OK;
    int status = VX_OK;
    if (ullCount > kMaxHolders) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: " VX_U64 " records of the copy name base record #" VX_U64
                    ", more than an attribute list can: the first " VX_U64 " are read",
                    VX_WHERE, ullCount, pEntry->ullBaseRecord, kMaxHolders);
        ullCount = kMaxHolders;
        status = VX_FAILED;
    }
    auto* pHolders = static_cast<Holder*>(VX_CALLOC(
        ullCount, sizeof(Holder), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pHolders", VX_WHERE));
    auto* pRecord = static_cast<uint8_t*>(VX_CALLOC(
        pVol->MftRecordSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pRecord", VX_WHERE));
    uint64_t ullHeld = 0;
    for (uint64_t k = 0; k < ullCount; k++)
        if (ReadHolder(pVol, pEntry, pFirst[k].ullRecord, pRecord, &pHolders[ullHeld])) ullHeld++;
    VX_FREE(pRecord, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pRecord", VX_WHERE);
    std::sort(pHolders, pHolders + ullHeld, HolderBefore);
    // The list the volume would hold, as far as the reader uses it: each
    // record in the order of the first attribute it holds.
    constexpr uint32_t kEntryBytes = 32;
    auto* pList = static_cast<uint8_t*>(VX_CALLOC(
        ullHeld > 0 ? ullHeld : 1, kEntryBytes, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pList",
        VX_WHERE));
    const size_t cbList = static_cast<size_t>(ullHeld * kEntryBytes);
    for (uint64_t k = 0; k < ullHeld; k++) {
        const size_t at = static_cast<size_t>(k * kEntryBytes);
        const uint64_t ullRef = pHolders[k].ullRecord | static_cast<uint64_t>(pHolders[k].wSequence) << 48;
        vx_put16(pList, cbList, at + attribute_list_entry::kLength, kEntryBytes);
        for (int b = 0; b < 4; b++)
            pList[at + attribute_list_entry::kType + b] = static_cast<uint8_t>(pHolders[k].dwType >> (8 * b));
        for (int b = 0; b < 8; b++) {
            pList[at + attribute_list_entry::kFirstVcn + b] =
                static_cast<uint8_t>(pHolders[k].ullFirstVcn >> (8 * b));
            pList[at + attribute_list_entry::kRecord + b] = static_cast<uint8_t>(ullRef >> (8 * b));
        }
    }
    VX_FREE(pHolders, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pHolders", VX_WHERE);
    if (ullHeld > 0 && ProcessAttributeList(pEntry, pList, cbList, erasedOnly) != VX_OK)
        status = VX_FAILED;
    VX_FREE(pList, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pList", VX_WHERE);
    return status;
}
