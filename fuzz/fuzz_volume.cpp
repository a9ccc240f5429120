#include "fuzz/fuzz_volume.h"

#include <cstring>

#include "base/le.h"
#include "fuzz/fuzz.h"
#include "platform/platform.h"
#include "report/info.h"
#include "base/vx_log.h"
#include "security/sd_dump.h"
#include "security/winsid.h"
#include "text/vx_locale.h"

#define VX_MODULE "fuzz"

FuzzOptions FuzzOptionsFrom(uint8_t bits) {
    FuzzOptions o;
    o.bVerbose = bits & 0x01;
    o.bMd5 = (bits >> 1) & 1;
    o.bErasedOnly = (bits >> 2) & 1;
    o.bNoSeqCheck = (bits >> 3) & 1;
    o.bTrace = (bits >> 4) & 1;
    o.bDump = (bits >> 5) & 1;
    o.bUtf8 = (bits >> 6) & 1;
    o.bSidTable = (bits >> 7) & 1;
    if (o.bVerbose) o.bSidTable = 1;  // as the run driver: -v looks names up
    return o;
}

void BeginRunSettings(const FuzzOptions& opt) {
    FILE* pSink = FuzzSink();
    FILE* pTrace = opt.bTrace || opt.bDump ? pSink : nullptr;
    DiskioDebugStream = pTrace;
    DiskioDumpRecords = opt.bDump;
    InfoDebugStream = pTrace;
    InfoNoSequenceCheck = opt.bNoSeqCheck;
    WinsidDebugStream = pTrace;
    WinsidUserStream = opt.bSidTable ? pSink : nullptr;
    VxErrorStream = pSink;
    set_wc_output_function(opt.bUtf8 ? 0 : 1);
    if (opt.bSidTable) InitSidHash();
}

void EndRunSettings(const FuzzOptions& opt) {
    if (opt.bSidTable) FreeSidHash();
    vx_plat_md5_release();
    FreeSidText();
    DiskioDebugStream = nullptr;
    DiskioDumpRecords = 0;
    InfoDebugStream = nullptr;
    InfoNoSequenceCheck = 0;
    WinsidDebugStream = nullptr;
    WinsidUserStream = nullptr;
    set_wc_output_function(1);
}

FuzzVolume::FuzzVolume(const uint8_t* pDevice, uint64_t cbDevice, uint32_t clusterSize,
                       uint64_t clusters, uint32_t recordSize, uint64_t failAt) {
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "fuzz-image";
    vol.pszDevice = vol.pszSourcePath;
    vol.SectorSize = 512;
    vol.ClusterSize = clusterSize;
    vol.ClusterNumber = clusters;
    vol.MftRecordSize = recordSize;
    vol.MftRecordClusters = recordSize >= clusterSize ? recordSize / clusterSize : 1;
    vol.MajorVersion = 3;
    for (uint32_t k = 0; k < 16; k++) vol.AttrTypes[k] = 0x10 * (k + 1);
    // diskio keeps its buffers beside the one open Volume.
    FuzzCheck(PClusterBuffer == nullptr && PProcessStreamBuffer == nullptr,
              "one volume open at a time");
    vol.hVolume = vx_plat_open_memory(pDevice, cbDevice, failAt);
    FuzzCheck(vol.hVolume != nullptr, "memory device");
    MaxReadSize = 0xFFFFFFFFu - 0xFFFFFFFFu % clusterSize;
    ProcessChunkSize = 0x1000000u - 0x1000000u % clusterSize;
    PClusterBuffer = static_cast<uint8_t*>(VX_CALLOC(1, clusterSize, VX_FATAL, "fuzz volume"));
    PProcessStreamBuffer = nullptr;
}

FuzzVolume::~FuzzVolume() {
    // The $MFT and $Secure data are the harness's own, not Entries' Attributes.
    vol.pMftData = nullptr;
    vol.pSecureData = nullptr;
    CloseVolume(&vol);
}

void FuzzVolume::SetMft(uint64_t lcn, uint64_t records) {
    mftData = Attribute{};
    mftData.dwType = 0x80;
    mftData.ullSize = records * vol.MftRecordSize;
    mftRun.llLcn = static_cast<int64_t>(lcn);
    mftRun.ullLength = (mftData.ullSize + vol.ClusterSize - 1) / vol.ClusterSize;
    mftData.pRunlist = &mftRun;
    mftData.ullRunCount = 1;
    mftData.ullNextVcn = mftRun.ullLength;
    vol.pMftData = &mftData;
}

void FuzzVolume::SetResidentSds(uint8_t* pBytes, uint64_t size) {
    secureData = Attribute{};
    secureData.dwType = 0x80;
    secureData.bResident = 1;
    secureData.ullSize = size;
    secureData.pStream = pBytes;
    vol.pSecureData = &secureData;
}

void FuzzVolume::SetNonResidentSds(uint64_t lcn, uint64_t clusters, uint64_t size) {
    secureData = Attribute{};
    secureData.dwType = 0x80;
    secureData.ullSize = size;
    secureRun.llLcn = static_cast<int64_t>(lcn);
    secureRun.ullLength = clusters;
    secureData.pRunlist = &secureRun;
    secureData.ullRunCount = 1;
    secureData.ullNextVcn = clusters;
    vol.pSecureData = &secureData;
}

namespace {

// The strides of a record that its update sequence array covers, or 0 when
// the array does not lie inside the record.
uint32_t FixupStrides(const uint8_t* pRecord, uint32_t dwRecordSize, uint32_t* pdwUsa) {
    const uint32_t dwUsa = vx_le16(pRecord, dwRecordSize, 4);
    const uint32_t dwCount = vx_le16(pRecord, dwRecordSize, 6);
    if (dwCount < 2 || !vx_fits(dwRecordSize, dwUsa, 2ull * dwCount) ||
        (dwCount - 1) * kFixupStride > dwRecordSize)
        return 0;
    *pdwUsa = dwUsa;
    return dwCount - 1;
}

}  // namespace

bool FixupsFor(uint8_t* pRecord, uint32_t dwRecordSize) {
    uint32_t dwUsa = 0;
    const uint32_t n = FixupStrides(pRecord, dwRecordSize, &dwUsa);
    if (n == 0) return false;
    const uint16_t wUsn = vx_le16(pRecord, dwRecordSize, dwUsa);
    for (uint32_t k = 1; k <= n; k++) {
        const size_t end = k * kFixupStride - 2;
        vx_put16(pRecord, dwRecordSize, dwUsa + 2 * k, vx_le16(pRecord, dwRecordSize, end));
        vx_put16(pRecord, dwRecordSize, end, wUsn);
    }
    return true;
}

bool UndoFixups(uint8_t* pRecord, uint32_t dwRecordSize) {
    uint32_t dwUsa = 0;
    const uint32_t n = FixupStrides(pRecord, dwRecordSize, &dwUsa);
    if (n == 0) return false;
    for (uint32_t k = 1; k <= n; k++)
        vx_put16(pRecord, dwRecordSize, k * kFixupStride - 2,
                 vx_le16(pRecord, dwRecordSize, dwUsa + 2 * k));
    return true;
}
