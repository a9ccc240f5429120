// The decoder targets: one decoder each, with the least context it needs.
// Every byte of volume a decoder reads lies in read-only memory.
#include <cstdlib>
#include <cstring>
#include <string>

#include "diskio/diskio.h"
#include "diskio/partition.h"
#include "diskio/shadow_catalog.h"
#include "base/le.h"
#include "fuzz/fuzz.h"
#include "fuzz/fuzz_images.h"
#include "fuzz/fuzz_volume.h"
#include "platform/platform.h"
#include "report/info.h"
#include "text/vx_dump.h"
#include "run/source.h"
#include "run/volscan.h"
#include "base/vx_log.h"
#include "security/sd_dump.h"
#include "support/ntfs_builder.h"
#include "text/vx_locale.h"

namespace {

// A read-only block reused from case to case: filled while writable, then
// protected for the run of the decoder.
struct Scratch {
    ReadOnlyImage image;
    uint8_t* Fill(const uint8_t* p, size_t size, size_t room) {
        if (image.pData == nullptr || image.cbMapped < room) {
            image.Release();
            FuzzCheck(image.Allocate(room), "scratch memory");
        } else {
            image.Unprotect();
        }
        memset(image.pData, 0, image.cbMapped);
        if (size > 0) memcpy(image.pData, p, size < room ? size : room);
        image.Protect();
        return image.pData;
    }
};

uint8_t Pattern(size_t i) { return static_cast<uint8_t>(i * 7 + i / 4093); }

// ------------------------------------------------------------ boot sector

// The geometry the boot sector gives must be one every later division and
// loop can live with; then the whole open runs over the sector and what
// follows it.
void FuzzBoot(const uint8_t* pData, size_t size) {
    BootGeometry g{};
    const char* pszWhat = nullptr;
    uint64_t ullValue = 0;
    if (DecodeBootSector(pData, size, &g, &pszWhat, &ullValue)) {
        auto pow2 = [](uint64_t v) { return v != 0 && (v & (v - 1)) == 0; };
        FuzzCheck(pow2(g.dwSectorSize) && g.dwSectorSize >= 256 && g.dwSectorSize <= 4096,
                  "sector size");
        FuzzCheck(pow2(g.dwClusterSize) && g.dwClusterSize >= g.dwSectorSize &&
                      g.dwClusterSize <= 2u * 1024 * 1024,
                  "cluster size");
        FuzzCheck(pow2(g.dwMftRecordSize) && g.dwMftRecordSize >= 256 &&
                      g.dwMftRecordSize <= 65536,
                  "record size");
        FuzzCheck(g.dwMftRecordClusters >= 1, "clusters per record");
        FuzzCheck(static_cast<uint64_t>(g.dwMftRecordClusters) * g.dwClusterSize >=
                      g.dwMftRecordSize,
                  "record clusters hold the record");
    } else {
        FuzzCheck(pszWhat != nullptr && *pszWhat != 0, "a refused boot sector names its field");
    }

    // The input in place of sample.img's boot sector, so that a geometry
    // near the real one finds the real $MFT, and any other some garbage.
    static Scratch scratch;
    const FuzzImage* pImg = FindFuzzImage("sample.img");
    FuzzCheck(pImg != nullptr, "sample.img");
    const size_t kDevice = pImg->bytes.size();
    std::vector<uint8_t> dev(pImg->bytes);
    memcpy(dev.data(), pData, size < 8192 ? size : 8192);
    scratch.Fill(dev.data(), dev.size(), kDevice);
    FuzzOptions opt;
    BeginRunSettings(opt);
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "fuzz-boot";
    VxDevice* pDev = vx_plat_open_memory(scratch.image.pData, kDevice, UINT64_MAX);
    if (OpenVolumeOn(&vol, pDev) == VX_OK) {
        FuzzCheck(vol.ClusterSize != 0 && vol.MftRecordSize != 0, "geometry of an open volume");
        FuzzCheck(vol.pMftData != nullptr, "an open volume has its $MFT data");
    }
    CloseVolume(&vol);
    EndRunSettings(opt);
}

// ---------------------------------------------------- records and reports

// An $MFT of 32 slots: 0 to 15 directories (5 the root), 16 to 31 the
// record of the input, so that parent references, attribute lists and
// extension records of the input all find something to read.
constexpr uint64_t kSlots = 32;
constexpr uint64_t kInputSlot = 16;
constexpr uint64_t kDataClusters = 16;

std::vector<uint8_t> DirectoryRecord(uint64_t n, uint32_t recordSize) {
    ntfsb::MftRecord r;
    r.recordSize = recordSize;
    r.recordNumber = static_cast<uint32_t>(n);
    r.sequence = static_cast<uint16_t>(n == 0 ? 1 : n);
    r.flags = ntfsb::kRecordInUse | ntfsb::kRecordDirectory;
    ntfsb::ResidentAttr si;
    si.type = ntfsb::kAttrStandardInformation;
    si.value = ntfsb::StandardInformationValue({});
    ntfsb::AddResident(r, si);
    ntfsb::FileNameInfo fn;
    fn.name = n == 5 ? "." : "d" + std::to_string(n);
    fn.flags = 0x10000010;
    ntfsb::ResidentAttr fa;
    fa.type = ntfsb::kAttrFileName;
    fa.value = ntfsb::FileNameValue(fn);
    ntfsb::AddResident(r, fa);
    return ntfsb::BuildRecord(r);
}

// The security store of sample.img, read-only.
Scratch g_sds;
uint8_t* SampleSds(uint64_t* pullSize) {
    static bool bMade = false;
    static uint64_t ullSize = 0;
    if (!bMade) {
        const FuzzImage* pImg = FindFuzzImage("sample.img");
        FuzzCheck(pImg != nullptr && !pImg->sds.empty(), "sample.img $SDS");
        g_sds.Fill(pImg->sds.data(), pImg->sds.size(), pImg->sds.size());
        ullSize = pImg->sds.size();
        bMade = true;
    }
    *pullSize = ullSize;
    return g_sds.image.pData;
}

// Lays out the $MFT with `record` in the input slots, then the data
// clusters, in read-only memory.
struct RecordDevice {
    Scratch scratch;
    std::vector<uint8_t> dirs[2];  // 1 KiB and 4 KiB records

    const uint8_t* Make(const std::vector<uint8_t>& record, uint32_t rs, size_t* pSize) {
        std::vector<uint8_t>& d = dirs[rs == 4096 ? 1 : 0];
        if (d.empty()) {
            for (uint64_t n = 0; n < kInputSlot; n++) {
                std::vector<uint8_t> one = DirectoryRecord(n, rs);
                FuzzCheck(one.size() == rs, "directory record");
                d.insert(d.end(), one.begin(), one.end());
            }
        }
        std::vector<uint8_t> dev(d);
        for (uint64_t n = kInputSlot; n < kSlots; n++)
            dev.insert(dev.end(), record.begin(), record.end());
        const size_t data = dev.size();
        dev.resize(data + kDataClusters * 4096);
        for (size_t i = data; i < dev.size(); i++) dev[i] = Pattern(i);
        *pSize = dev.size();
        return scratch.Fill(dev.data(), dev.size(), dev.size());
    }
};

void CheckEntry(const Entry* pEntry, uint32_t dwRecordSize) {
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute& a = pEntry->pAttrList[k];
        FuzzCheck(a.wNameLength < kMaxNameUnits && a.wszName[a.wNameLength] == 0,
                  "attribute name ends inside its array");
        if (a.bResident) {
            FuzzCheck(a.ullSize <= dwRecordSize, "resident value inside its record");
            FuzzCheck(a.ullSize == 0 || a.pStream != nullptr, "resident value copied");
        } else {
            FuzzCheck(a.ullRunCount == 0 || a.pRunlist != nullptr, "runs stored");
        }
    }
}

// Input: a flags byte (1: the harness applies the fixups, 2: 4 KiB records,
// 0x10: a volume before NTFS 3), an option byte (FuzzOptionsFrom), then the
// record.  The record is read as base record 16 and reported.
void FuzzRecord(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    const FuzzOptions opt = FuzzOptionsFrom(in.U8());
    const uint32_t rs = (bFlags & 2) ? 4096 : 1024;
    std::vector<uint8_t> record = in.Bytes(rs);
    record.resize(rs, 0);
    if (bFlags & 1) FixupsFor(record.data(), rs);

    static RecordDevice device;
    size_t cbDevice = 0;
    const uint8_t* pDevice = device.Make(record, rs, &cbDevice);
    FuzzVolume fv(pDevice, cbDevice, 4096, cbDevice / 4096, rs);
    fv.SetMft(0, kSlots);
    fv.vol.MajorVersion = (bFlags & 0x10) ? 1 : 3;
    uint64_t ullSds = 0;
    uint8_t* pSds = SampleSds(&ullSds);
    fv.SetResidentSds(pSds, ullSds);
    LoadSecureSDS(&fv.vol);

    BeginRunSettings(opt);
    Entry* pEntry = nullptr;
    int s = InitEntry(&fv.vol, &pEntry, kInputSlot, opt.bErasedOnly);
    if (s == VX_OK) {
        CheckEntry(pEntry, rs);
        if (!(opt.bErasedOnly && pEntry->wLinkCount != 0))
            s = DumpFileInfo(FuzzSink(), pEntry, opt.bMd5, !opt.bVerbose);
        FuzzCheck(s != VX_FATAL_STATUS, "a damaged record is not fatal");
    }
    FreeEntry(pEntry);
    EndRunSettings(opt);
}

// ---------------------------------------------------------------- runlists

// Input: a flags byte (1: 512-byte clusters), the stream size (u32), then
// extents of [pairs length u8][lowest VCN u64][highest VCN u64][pairs].
// The runs are read back through every stream reader over a device of 64
// clusters.
void FuzzRunlist(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    const uint32_t cs = (bFlags & 1) ? 512 : 4096;
    constexpr uint64_t kClusters = 64;
    Attribute a{};
    a.dwType = 0x80;
    a.ullSize = in.U32() % (2 * kClusters * cs + 1);
    for (int extent = 0; extent < 8 && in.Left() > 0; extent++) {
        const size_t cb = in.U8();
        const uint64_t first = in.U64();
        const uint64_t last = in.U64();
        std::vector<uint8_t> pairs = in.Bytes(cb);
        // The pairs end where their attribute record ends: an exact copy.
        auto* pPairs = static_cast<uint8_t*>(malloc(pairs.size() + 1));
        if (!pairs.empty()) memcpy(pPairs, pairs.data(), pairs.size());
        const uint64_t ullBefore = a.ullRunCount;
        (void)ProcessRunlist(&a, pPairs, pairs.size(), first, last);
        free(pPairs);
        FuzzCheck(a.ullRunCount >= ullBefore, "runs are only added");
        FuzzCheck(a.ullRunCount == 0 || a.pRunlist != nullptr, "runs stored");
        FuzzCheck(a.ullRunCount - ullBefore <= pairs.size(), "one header byte at least per run");
    }

    static Scratch scratch;
    std::vector<uint8_t> dev(kClusters * cs);
    for (size_t i = 0; i < dev.size(); i++) dev[i] = Pattern(i);
    const uint8_t* pDevice = scratch.Fill(dev.data(), dev.size(), dev.size());
    FuzzVolume fv(pDevice, dev.size(), cs, kClusters, 1024);
    // Chunks of three clusters: ProcessStream's reads then cross chunk edges
    // inside runs and at their ends.
    ProcessChunkSize = 3 * cs;
    FuzzOptions opt;
    BeginRunSettings(opt);

    std::vector<uint8_t> buffer(4 * cs);
    for (uint64_t vcn = 0; vcn < 2 * kClusters; vcn += 3) {
        uint64_t ullRun = 0, ullIn = vcn;
        if (FindRun(&a, &ullRun, &ullIn))
            FuzzCheck(ullRun < a.ullRunCount && ullIn < a.pRunlist[ullRun].ullLength,
                      "FindRun lands inside a run");
        uint64_t ullCount = 1 + vcn % 4;
        const uint64_t ullAsked = ullCount;
        (void)ReadStreamVcns(&fv.vol, &a, vcn, &ullCount, buffer.data());
        FuzzCheck(ullCount <= ullAsked, "no more clusters than asked");
    }
    for (uint64_t off = 0; off <= a.ullSize + cs; off += cs / 2 + 7) {
        uint64_t ullCount = (off % 3 + 1) * cs;
        const uint64_t ullAsked = ullCount;
        (void)ReadStreamBytes(&fv.vol, &a, off, &ullCount, buffer.data());
        FuzzCheck(ullCount <= ullAsked, "no more bytes than asked");
    }
    Entry e{};
    e.pVolume = &fv.vol;
    uint64_t ullTotal = 0;
    ProcessStream(&e, &a, [](void* pContext, const uint8_t*, uint32_t dwLength) {
        *static_cast<uint64_t*>(pContext) += dwLength;
    }, &ullTotal);
    FuzzCheck(ullTotal <= a.ullSize, "no more stream than its size");
    uint64_t ullSize = 0;
    uint8_t* pBuffer = GetStreamBuffer(&e, &a, &ullSize);
    FuzzCheck(ullSize <= a.ullSize, "buffer no larger than the stream");
    ReleaseStreamBuffer(&a, pBuffer);
    DumpAttribute(FuzzSink(), &a);
    FreeAttribute(&a);
    EndRunSettings(opt);
}

// --------------------------------------------------------- attribute lists

// Input: which base record of attrlist.img (u8, among those that have a
// list), then the list.  The base record is read from the clean image and
// the list followed into its real extension records.
void FuzzAttributeList(const uint8_t* pData, size_t size) {
    const FuzzImage* pImg = FindFuzzImage("attrlist.img");
    FuzzCheck(pImg != nullptr && !pImg->attributeLists.empty(), "attrlist.img lists");
    static Scratch scratch;
    static const uint8_t* pDevice = nullptr;
    if (pDevice == nullptr)
        pDevice = scratch.Fill(pImg->bytes.data(), pImg->bytes.size(), pImg->bytes.size());
    FuzzReader in{pData, size};
    const uint8_t bWhich = in.U8();
    const FuzzOptions opt = FuzzOptionsFrom(in.U8() & 0x0B);  // -v, -m, -n
    std::vector<uint8_t> list = in.Bytes(in.Left());
    const uint64_t ullBase =
        pImg->attributeLists[bWhich % pImg->attributeLists.size()].ullRecord;

    BeginRunSettings(opt);
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "attrlist.img";
    if (OpenVolumeOn(&vol, vx_plat_open_memory(pDevice, pImg->bytes.size(), UINT64_MAX)) ==
        VX_OK) {
        Entry* pEntry = nullptr;
        // The base record alone, as ReadEntry reads it before the list.
        auto* p = static_cast<Entry*>(calloc(1, sizeof(Entry)));
        p->pVolume = &vol;
        pEntry = p;
        if (ReadRecord(pEntry, ullBase, 1, 0) == VX_OK) {
            auto* pList = static_cast<uint8_t*>(malloc(list.size() + 1));
            if (!list.empty()) memcpy(pList, list.data(), list.size());
            const int s = ProcessAttributeList(pEntry, pList, list.size(), 0);
            free(pList);
            FuzzCheck(s != VX_FATAL_STATUS, "a damaged list is not fatal");
            CheckEntry(pEntry, vol.MftRecordSize);
            (void)DumpFileInfo(FuzzSink(), pEntry, opt.bMd5, !opt.bVerbose);
        }
        CleanEntry(pEntry);
        free(p);
    }
    CloseVolume(&vol);
    EndRunSettings(opt);
}

// ---------------------------------------------------------- $Secure:$SDS

// Input: flags (1: non-resident, 2: 512-byte clusters), options, then the
// $SDS stream.  Every entry the store takes is looked up for a file.
void FuzzSds(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    const FuzzOptions opt = FuzzOptionsFrom(in.U8() & 0xC1);  // -v, -8, -u
    std::vector<uint8_t> sds = in.Bytes(in.Left());
    const uint32_t cs = (bFlags & 2) ? 512 : 4096;
    const uint64_t clusters = (sds.size() + cs - 1) / cs + 1;
    static Scratch scratch;
    uint8_t* pBytes = scratch.Fill(sds.data(), sds.size(), clusters * cs);
    FuzzVolume fv(pBytes, clusters * cs, cs, clusters, 1024);
    if (bFlags & 1)
        fv.SetNonResidentSds(0, clusters, sds.size());
    else
        fv.SetResidentSds(pBytes, sds.size());

    BeginRunSettings(opt);
    LoadSecureSDS(&fv.vol);
    const SecList& list = fv.vol.secList;
    for (uint32_t k = 0; k < list.dwCount; k++) {
        const SecInfo& info = list.pSecInfo[k];
        FuzzCheck(info.dwSize >= kSdsHeaderSize && info.dwSize <= list.dwMaxSize,
                  "entry length kept");
        FuzzCheck(info.ullOffset >= kSdsHeaderSize &&
                      info.ullOffset - kSdsHeaderSize + info.dwSize <= sds.size(),
                  "entry inside the stream");
    }
    for (uint32_t k = 0; k <= list.dwCount && k < 64; k++) {
        Entry e{};
        e.pVolume = &fv.vol;
        e.ullBaseRecord = k;
        e.bSecurityId = 1;
        e.dwSecurityId = k < list.dwCount ? list.pSecInfo[k].dwId : 0xFFFFFFF0u;
        int bRendered = 0;
        const int s = Dump_SDS_Security(FuzzSink(), &e, !opt.bVerbose, &bRendered);
        FuzzCheck(s != VX_FATAL_STATUS, "a damaged store is not fatal");
    }
    EndRunSettings(opt);
}

// ------------------------------------------------- security descriptors

// Input: options, then a self-relative descriptor, also read as one SID and
// as one ACL.
void FuzzDescriptor(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const FuzzOptions opt = FuzzOptionsFrom(in.U8() & 0xC1);
    const std::vector<uint8_t> sd = in.Bytes(in.Left());
    auto* p = static_cast<uint8_t*>(malloc(sd.size() + 1));
    if (!sd.empty()) memcpy(p, sd.data(), sd.size());
    BeginRunSettings(opt);
    FILE* pOut = FuzzSink();
    FuzzCheck(DumpBufferSecurity(pOut, 1, p, sd.size(), !opt.bVerbose) != VX_FATAL_STATUS,
              "descriptor");
    FuzzCheck(DumpSid(pOut, p, sd.size(), !opt.bVerbose) != VX_FATAL_STATUS, "SID");
    FuzzCheck(DumpAcl(pOut, p, sd.size(), !opt.bVerbose) != VX_FATAL_STATUS, "ACL");
    EndRunSettings(opt);
    free(p);
}

// ---------------------------------------------------- standard information

// Input: flags (1: a volume before NTFS 3), options, then the value.
void FuzzStandard(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    const FuzzOptions opt = FuzzOptionsFrom(in.U8() & 0x01);
    std::vector<uint8_t> value = in.Bytes(in.Left());
    static Scratch scratch;
    uint8_t* pValue = scratch.Fill(value.data(), value.size(), value.size() + 1);
    static const uint8_t kDevice[4096] = {0};
    FuzzVolume fv(kDevice, sizeof kDevice, 4096, 1, 1024);
    fv.vol.MajorVersion = (bFlags & 1) ? 1 : 3;
    Attribute a{};
    a.dwType = 0x10;
    a.bResident = 1;
    a.ullSize = value.size();
    a.pStream = pValue;
    Entry e{};
    e.pVolume = &fv.vol;
    e.bDirectory = (bFlags >> 1) & 1;
    BeginRunSettings(opt);
    FuzzCheck(DumpStandard(FuzzSink(), &e, &a, !opt.bVerbose) != VX_FATAL_STATUS, "standard");
    FuzzCheck(e.bSecurityId == (fv.vol.MajorVersion > 2 && value.size() >= 72 ? 1 : 0),
              "security id taken from a whole NTFS 3 value only");
    for (size_t off = 0; off + 8 <= value.size(); off += 8)
        DumpTime(FuzzSink(), vx_le64(value.data(), value.size(), off));
    EndRunSettings(opt);
}

// -------------------------------------------------------- names and paths

// Input: an option byte, then up to 4 $FILE_NAME values, each preceded by
// its length (u8).  They are the names of base record 16 of the directory
// $MFT of the record target; the path is rebuilt through it.
void FuzzFileName(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const FuzzOptions opt = FuzzOptionsFrom(in.U8() & 0x49);  // -v, -n, -8
    ntfsb::MftRecord r;
    r.recordSize = 1024;
    r.recordNumber = kInputSlot;
    r.sequence = 16;
    for (int k = 0; k < 4 && in.Left() > 0; k++) {
        ntfsb::ResidentAttr fa;
        fa.type = ntfsb::kAttrFileName;
        fa.value = in.Bytes(in.U8());
        ntfsb::AddResident(r, fa);
    }
    std::vector<uint8_t> record = ntfsb::BuildRecord(r);
    if (record.empty()) return;  // more than a record holds
    static RecordDevice device;
    size_t cbDevice = 0;
    const uint8_t* pDevice = device.Make(record, 1024, &cbDevice);
    FuzzVolume fv(pDevice, cbDevice, 4096, cbDevice / 4096, 1024);
    fv.SetMft(0, kSlots);
    BeginRunSettings(opt);
    Entry* pEntry = nullptr;
    if (InitEntry(&fv.vol, &pEntry, kInputSlot, 0) == VX_OK) {
        FuzzCheck(DumpFullPath(FuzzSink(), pEntry, !opt.bVerbose) != VX_FATAL_STATUS, "path");
        FuzzCheck(DumpFileName(FuzzSink(), pEntry) != VX_FATAL_STATUS, "name");
    }
    FreeEntry(pEntry);
    EndRunSettings(opt);
}

// ----------------------------------------------------------------- text

// Input: UTF-16LE units.  Each writer must say how many bytes it wrote, and
// the UTF-8 writer writes each unit on its own in 1 to 3 bytes.
void FuzzText(const uint8_t* pData, size_t size) {
    std::vector<vx_wchar> units;
    for (size_t i = 0; i + 1 < size; i += 2)
        units.push_back(static_cast<vx_wchar>(pData[i] | (pData[i + 1] << 8)));
    units.push_back(0);
    size_t cbExpected = 0;
    for (vx_wchar u : units) {
        if (u == 0) break;
        cbExpected += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    }
    for (int mode = 0; mode < 2; mode++) {
        char* pBuffer = nullptr;
        size_t cbBuffer = 0;
        FILE* f = open_memstream(&pBuffer, &cbBuffer);
        FuzzCheck(f != nullptr, "memory stream");
        set_wc_output_function(mode);
        const int n = vx_fputws(f, units.data());
        fclose(f);
        FuzzCheck(n >= 0 && static_cast<size_t>(n) == cbBuffer, "bytes written as counted");
        if (mode == 0) FuzzCheck(cbBuffer == cbExpected, "UTF-8: 1 to 3 bytes a unit");
        free(pBuffer);
    }
    set_wc_output_function(1);
    DumpHex(FuzzSink(), pData, size);
}

// ------------------------------------------------------- command-line numbers

// Input: the text of a -i or --offset value.  Plain decimal and 0x
// hexadecimal numbers that fit in 64 bits must read as strtoull reads them.
void FuzzNumber(const uint8_t* pData, size_t size) {
    std::string text(reinterpret_cast<const char*>(pData), size);
    text = text.substr(0, text.find('\0'));
    const uint64_t v = ParseIndex(text.c_str());
    auto all = [&](size_t from, const char* pszDigits) {
        return text.size() > from && text.find_first_not_of(pszDigits, from) == std::string::npos;
    };
    if (text.size() <= 19 && text[0] != '0' && all(0, "0123456789"))
        FuzzCheck(v == strtoull(text.c_str(), nullptr, 10), "decimal number");
    if (text.size() <= 18 && text.rfind("0x", 0) == 0 && all(2, "0123456789abcdefABCDEF"))
        FuzzCheck(v == strtoull(text.c_str() + 2, nullptr, 16), "hexadecimal number");
    if (text.size() <= 22 && text[0] == '0' && all(1, "01234567"))
        FuzzCheck(v == strtoull(text.c_str(), nullptr, 8), "octal number");
    // --offset takes the same numbers, whole, with an optional `s`.
    uint64_t ullOffset = 0;
    int bSectors = 0;
    const bool bTaken = ParseOffset(text.c_str(), &ullOffset, &bSectors) != 0;
    const std::string digits = bSectors ? text.substr(0, text.size() - 1) : text;
    if (bTaken && digits.size() <= 18)
        FuzzCheck(ullOffset == ParseIndex(digits.c_str()), "--offset as -i");
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEFxs") != std::string::npos)
        FuzzCheck(!bTaken, "--offset refuses other characters");
}

// ------------------------------------------------------- partition tables

// Input: the first sectors of a disk; the rest of the disk (as large as
// the input's first 8 bytes say, up to 2^40 bytes) reads as zeros, so that a
// table may point anywhere.  Every partition listed lies inside the disk or
// is marked; nothing is read past the input's pages.
struct PartitionDisk {
    const uint8_t* pData;
    size_t size;
    uint64_t ullReads;
};

int ReadPartitionDisk(void* pContext, uint64_t ullOffset, void* p, uint32_t cb) {
    auto* pDisk = static_cast<PartitionDisk*>(pContext);
    FuzzCheck(++pDisk->ullReads <= 4 * kMaxPartitions + 16, "reads bounded by the partitions");
    memset(p, 0, cb);
    if (ullOffset < pDisk->size) {
        const size_t n = pDisk->size - ullOffset < cb ? pDisk->size - ullOffset : cb;
        memcpy(p, pDisk->pData + ullOffset, n);
    }
    return 1;
}

void FuzzPartition(const uint8_t* pData, size_t size) {
    static Scratch scratch;
    const size_t room = 64 * 1024;
    const uint8_t* pDisk = scratch.Fill(pData, size, room);
    uint64_t ullDisk = vx_le64(pData, size, 0) & ((1ull << 40) - 1);
    if (ullDisk < room) ullDisk = room;
    for (uint32_t dwSector : {512u, 4096u}) {
        PartitionDisk disk{pDisk, size < room ? size : room, 0};
        static PartitionTable table;
        if (!ReadPartitionTable(ReadPartitionDisk, &disk, ullDisk, dwSector, "fuzz", &table))
            continue;
        FuzzCheck(table.dwCount <= kMaxPartitions, "partition count");
        for (uint32_t k = 0; k < table.dwCount; k++) {
            const Partition& part = table.parts[k];
            FuzzCheck(part.bProblem || (part.ullFirst < table.ullDiskSectors &&
                                        part.ullSectors <= table.ullDiskSectors - part.ullFirst),
                      "a partition is inside the disk or marked");
            char szType[64];
            PartitionTypeText(&part, table.scheme, szType, sizeof szType);
            FuzzCheck(strlen(szType) < sizeof szType, "type text");
        }
    }
}

// ------------------------------------------------------- shadow copies

// Input: the first bytes of a 1 GiB volume, the rest zeros
// (fuzz/make-shadow-seed.py makes one with a shadow copy in them).  The
// catalog is read by us and by libvshadow, then each store (a few at
// most) read where its first blocks and its end lie.
constexpr uint64_t kShadowVolumeBytes = 1ull << 30;

int ReadShadowVolume(void* pContext, uint64_t ullOffset, void* p, uint32_t cb, uint32_t* pdwRead) {
    auto* pDisk = static_cast<PartitionDisk*>(pContext);
    pDisk->ullReads++;
    *pdwRead = 0;
    if (ullOffset >= kShadowVolumeBytes) return 1;
    if (cb > kShadowVolumeBytes - ullOffset) cb = static_cast<uint32_t>(kShadowVolumeBytes - ullOffset);
    memset(p, 0, cb);
    if (ullOffset < pDisk->size) {
        const size_t n = pDisk->size - ullOffset < cb ? pDisk->size - ullOffset : cb;
        memcpy(p, pDisk->pData + ullOffset, n);
    }
    *pdwRead = cb;
    return 1;
}

int ReadShadowCatalogBytes(void* pContext, uint64_t ullOffset, void* p, uint32_t cb) {
    uint32_t dwRead = 0;
    return ReadShadowVolume(pContext, ullOffset, p, cb, &dwRead) && dwRead == cb;
}

void FuzzShadow(const uint8_t* pData, size_t size) {
    static Scratch scratch;
    const size_t room = 256 * 1024;
    PartitionDisk disk{scratch.Fill(pData, size, room), size < room ? size : room, 0};
    static ShadowCatalog catalog;
    // As the run does: the library is only handed catalogs whose chains end.
    if (!ReadShadowCatalog(ReadShadowCatalogBytes, &disk, kShadowVolumeBytes, &catalog)) {
        FuzzCheck(catalog.pszProblem != nullptr, "a damaged catalog says why");
        return;
    }
    FuzzCheck(catalog.dwStores <= kMaxShadowStores, "store count");
    for (uint32_t k = 0; k < catalog.dwStores; k++) {
        for (uint32_t e = 0; e < catalog.stores[k].dwEntries; e++)
            FuzzCheck(catalog.stores[k].ullEntries[e] < kShadowVolumeBytes, "entry inside");
        if (catalog.stores[k].pszProblem != nullptr) return;
    }
    VxDevice* pDev = vx_plat_open_reader(&disk, ReadShadowVolume, kShadowVolumeBytes);
    FuzzCheck(pDev != nullptr, "reader device");
    VxSnapshotSet* pSet = vx_plat_open_snapshots(pDev, kShadowVolumeBytes, nullptr, 0);
    if (pSet == nullptr) {
        (void)vx_plat_close(pDev);
        return;
    }
    static uint8_t buffer[64 * 1024];
    const uint32_t dwStores = vx_plat_snapshot_count(pSet);
    for (uint32_t k = 0; k < dwStores && k < 4; k++) {
        VxSnapshotInfo info{};
        (void)vx_plat_snapshot_info(pSet, k, &info);
        VxDevice* pStore = vx_plat_open_snapshot(pSet, k);
        if (pStore == nullptr) continue;
        uint64_t ullSize = 0;
        (void)vx_plat_device_size(pStore, &ullSize);
        for (uint64_t ullAt : {uint64_t{0}, uint64_t{0x4000}, ullSize > sizeof buffer ? ullSize - sizeof buffer : 0}) {
            uint32_t dwRead = 0;
            if (vx_plat_seek(pStore, ullAt) && vx_plat_read(pStore, buffer, sizeof buffer, &dwRead))
                FuzzCheck(dwRead <= sizeof buffer, "store read length");
        }
        (void)vx_plat_close(pStore);
    }
    vx_plat_close_snapshots(pSet);
}

// ------------------------------------------------------------- BitLocker

// Input: a volume header sector, then up to 64 KiB of FVE metadata that
// lies at each of the three offsets the header names (those inside a
// 100 MiB volume; the rest reads as zeros).  libbde opens it through our
// reads, and a volume that unlocks (a clear key) is read at its start and
// its end.  No password is given: the library stretches one with a million
// SHA-256 rounds, a second a case; the image tests unlock with each kind.
constexpr uint64_t kBdeVolumeBytes = 100ull << 20;
constexpr size_t kBdeMetadataBytes = 64 * 1024;

struct BdeInput {
    const uint8_t* pData;
    size_t size;
    uint64_t ullBlocks[3];
};

int ReadBdeVolume(void* pContext, uint64_t ullOffset, void* p, uint32_t cb, uint32_t* pdwRead) {
    const auto* pIn = static_cast<const BdeInput*>(pContext);
    *pdwRead = 0;
    if (ullOffset >= kBdeVolumeBytes) return 1;
    if (cb > kBdeVolumeBytes - ullOffset) cb = static_cast<uint32_t>(kBdeVolumeBytes - ullOffset);
    memset(p, 0, cb);
    auto put = [&](uint64_t ullAt, const uint8_t* pBytes, size_t n) {
        const uint64_t ullFrom = ullAt > ullOffset ? ullAt : ullOffset;
        const uint64_t ullTo = ullAt + n < ullOffset + cb ? ullAt + n : ullOffset + cb;
        if (ullFrom < ullTo)
            memcpy(static_cast<uint8_t*>(p) + (ullFrom - ullOffset), pBytes + (ullFrom - ullAt),
                   ullTo - ullFrom);
    };
    const size_t cbHeader = pIn->size < 512 ? pIn->size : 512;
    put(0, pIn->pData, cbHeader);
    for (uint64_t ullBlock : pIn->ullBlocks)
        if (ullBlock != 0 && ullBlock < kBdeVolumeBytes - kBdeMetadataBytes)
            put(ullBlock, pIn->pData + cbHeader, pIn->size - cbHeader);
    *pdwRead = cb;
    return 1;
}

void FuzzBitLocker(const uint8_t* pData, size_t size) {
    static Scratch scratch;
    const size_t room = 512 + kBdeMetadataBytes;
    BdeInput in{scratch.Fill(pData, size, room), size < room ? size : room, {}};
    const size_t at = in.size >= 512 && memcmp(in.pData + 3, "MSWIN4.1", 8) == 0 ? 0x1B8 : 0xB0;
    for (int k = 0; k < 3 && in.size >= 512; k++) in.ullBlocks[k] = vx_le64(in.pData, 512, at + 8 * k);
    VxDevice* pDev = vx_plat_open_reader(&in, ReadBdeVolume, kBdeVolumeBytes);
    FuzzCheck(pDev != nullptr, "reader device");
    const VxBitLockerKeys keys{};
    VxBitLockerInfo info{};
    VxDevice* pUnlocked = vx_plat_open_bitlocker(pDev, kBdeVolumeBytes, &keys, &info);
    FuzzCheck(info.result >= VX_BDE_UNLOCKED && info.result <= VX_BDE_FAILED, "result");
    FuzzCheck((pUnlocked != nullptr) == (info.result == VX_BDE_UNLOCKED), "device when unlocked");
    if (pUnlocked == nullptr) {
        (void)vx_plat_close(pDev);
        return;
    }
    static uint8_t buffer[16 * 1024];
    uint64_t ullSize = 0;
    (void)vx_plat_device_size(pUnlocked, &ullSize);
    for (uint64_t ullAt : {uint64_t{0}, ullSize > sizeof buffer ? ullSize - sizeof buffer : 0}) {
        uint32_t dwRead = 0;
        if (vx_plat_seek(pUnlocked, ullAt) && vx_plat_read(pUnlocked, buffer, sizeof buffer, &dwRead))
            FuzzCheck(dwRead <= sizeof buffer, "unlocked read length");
    }
    (void)vx_plat_close(pUnlocked);  // and the encrypted volume's device with it
}

}  // namespace

// Compression units: a flag byte (cluster size; bit 2: a unit of other
// than 16 clusters), the stream's size and initialized size, the clusters
// stored of its two units, then their bytes: read whole, in pieces and through
// ProcessStream, as a compressed stream.
void FuzzLznt1(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    static const uint32_t kSizes[4] = {512, 1024, 2048, 4096};
    const uint32_t cs = kSizes[bFlags & 3];
    constexpr uint64_t kClusters = 32;
    Attribute a{};
    a.dwType = 0x80;
    a.wFlags = 0x0001;
    a.wCompressionUnit = (bFlags & 4) ? 3 : 4;
    a.ullSize = in.U32() % (2 * 16 * cs + cs);
    a.ullInitSize = in.U32() % (a.ullSize + 1);
    const uint64_t n1 = in.U8() % 17, n2 = in.U8() % 17;
    std::vector<Run> runs;
    if (n1 > 0) runs.push_back({0, n1});
    if (n1 < 16) runs.push_back({kSparseLcn, 16 - n1});
    if (n2 > 0) runs.push_back({16, n2});
    if (n2 < 16) runs.push_back({kSparseLcn, 16 - n2});
    a.pRunlist = runs.data();
    a.ullRunCount = runs.size();
    std::vector<uint8_t> dev(kClusters * cs, 0);
    const std::vector<uint8_t> rest = in.Bytes(in.Left());
    // An input that ends here leaves no bytes, and memcpy takes no null source.
    if (!rest.empty())
        memcpy(dev.data(), rest.data(), rest.size() < dev.size() ? rest.size() : dev.size());
    static Scratch scratch;
    const uint8_t* pDevice = scratch.Fill(dev.data(), dev.size(), dev.size());
    FuzzVolume fv(pDevice, dev.size(), cs, kClusters, 1024);
    FuzzOptions opt;
    BeginRunSettings(opt);
    std::vector<uint8_t> buffer(3 * 16 * cs);
    for (uint64_t off = 0; off <= a.ullSize; off += 16 * cs / 3 + 1) {
        uint64_t ullCount = a.ullSize - off;
        (void)ReadStreamBytes(&fv.vol, &a, off, &ullCount, buffer.data());
        FuzzCheck(ullCount <= a.ullSize - off, "no more bytes than asked");
    }
    Entry e{};
    e.pVolume = &fv.vol;
    uint64_t ullTotal = 0;
    ProcessStream(&e, &a, [](void* pContext, const uint8_t*, uint32_t dwLength) {
        *static_cast<uint64_t*>(pContext) += dwLength;
    }, &ullTotal);
    FuzzCheck(ullTotal <= a.ullSize, "no more stream than its size");
    a.pRunlist = nullptr;
    EndRunSettings(opt);
}

// A WOF file: the algorithm (any byte), the unnamed stream's size (bit 7 of
// the flag byte: up to 2^40), then its WofCompressedData stream, chunk table
// and chunks, as a resident value; decompressed as -m does.
void FuzzWof(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const uint8_t bFlags = in.U8();
    const uint32_t dwAlgorithm = in.U8() % 6;
    const uint64_t ullSize = (bFlags & 0x80) ? in.U64() % (1ull << 40) : in.U32() % (1u << 20);
    std::vector<uint8_t> stored = in.Bytes(in.Left());
    static Scratch scratch;
    std::vector<uint8_t> dev(16 * 4096, 0);
    const uint8_t* pDevice = scratch.Fill(dev.data(), dev.size(), dev.size());
    FuzzVolume fv(pDevice, dev.size(), 4096, 16, 1024);
    FuzzOptions opt;
    BeginRunSettings(opt);
    Attribute data{}, wof{};
    data.dwType = wof.dwType = 0x80;
    data.bResident = 0;
    data.ullSize = ullSize;
    wof.bResident = 1;
    wof.ullSize = stored.size();
    wof.pStream = stored.data();
    Entry e{};
    e.pVolume = &fv.vol;
    uint64_t ullTotal = 0;
    if (dwAlgorithm <= 3)
        (void)ProcessWofStream(&e, &data, &wof, dwAlgorithm, [](void* pContext, const uint8_t*,
                                                                uint32_t dwLength) {
            *static_cast<uint64_t*>(pContext) += dwLength;
        }, &ullTotal);
    FuzzCheck(ullTotal <= ullSize, "no more stream than its size");
    FuzzCheck(ullTotal <= 8 * 32768 * (stored.size() + 1), "no more chunks than the stream holds");
    EndRunSettings(opt);
}

// ------------------------------------------------------------- mftcopy
//
// A copy of the $MFT as a collector takes it, read as a run reads one: its
// geometry from record 0, every record walked and reported, the extension
// records of non-resident attribute lists gathered by their base reference.
//
// Input:
//   options  u8   FuzzOptionsFrom: -v -m -e -n -d -D -8 -u
//   copy          the rest: the copy's bytes
void FuzzMftCopy(const uint8_t* pData, size_t size) {
    FuzzReader in{pData, size};
    const FuzzOptions opt = FuzzOptionsFrom(in.U8());
    const std::vector<uint8_t> copy = in.Bytes(in.Left());
    RunOptions run{};
    run.lineMode = opt.bVerbose ? 0 : 1;
    run.bMd5 = opt.bMd5;
    run.bErasedOnly = opt.bErasedOnly;
    run.bNoSequenceCheck = opt.bNoSeqCheck;
    run.bDumpRecords = opt.bDump;
    run.bLocaleOutput = opt.bUtf8 ? 0 : 1;
    BeginRunSettings(opt);
    FILE* pOut = FuzzSink();
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "$MFT";
    vol.pszMftCopy = "$MFT";
    int s = OpenVolumeOn(&vol, vx_plat_open_memory(copy.data(), copy.size(), UINT64_MAX));
    Entry* pEntry = nullptr;
    if (s == VX_OK) {
        if (run.lineMode) fputs(kColumnTitles, pOut);
        s = WalkRecords(&vol, &run, pOut, &pEntry);
    }
    FuzzCheck(s != VX_FATAL_STATUS, "a damaged copy is not fatal");
    FreeEntry(pEntry);
    CloseVolume(&vol);
    EndRunSettings(opt);
}

void FuzzVolumeImage(const uint8_t* pData, size_t size);  // fuzz/target_volume.cpp

const FuzzTarget kFuzzTargets[] = {
    {"boot", FuzzBoot, "boot sector geometry, then the volume open over it"},
    {"record", FuzzRecord, "one MFT record: fixups, attributes, the report of the file"},
    {"runlist", FuzzRunlist, "mapping pairs of extents, then every stream reader over them"},
    {"attrlist", FuzzAttributeList, "an attribute list followed into attrlist.img's records"},
    {"sds", FuzzSds, "a $Secure:$SDS stream and the lookup of each of its entries"},
    {"descriptor", FuzzDescriptor, "a security descriptor, a SID and an ACL"},
    {"standard", FuzzStandard, "$STANDARD_INFORMATION and its times"},
    {"filename", FuzzFileName, "$FILE_NAME values and the path walk through them"},
    {"text", FuzzText, "UTF-16 names through both writers, and the hex dump"},
    {"number", FuzzNumber, "the numbers of -i and --offset"},
    {"partition", FuzzPartition, "MBR and GPT partition tables, extended chains, GPT backups"},
    {"shadow", FuzzShadow, "a shadow copy catalog and stores, read by us and by libvshadow"},
    {"bitlocker", FuzzBitLocker, "BitLocker metadata opened and unlocked by libbde over our reads"},
    {"lznt1", FuzzLznt1, "NTFS compression units: stored, sparse and LZNT1, read as -m reads them"},
    {"wof", FuzzWof, "a WOF file's chunk table and XPRESS or LZX chunks, decompressed as -m does"},
    {"volume", FuzzVolumeImage, "a whole committed image with patches, walked as a run"},
    {"mftcopy", FuzzMftCopy, "a copy of the $MFT as collectors take it, walked as a run"},
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];

const FuzzTarget* FindFuzzTarget(const char* pszName) {
    for (const FuzzTarget& t : kFuzzTargets)
        if (strcmp(t.pszName, pszName) == 0) return &t;
    return nullptr;
}
