#include "fuzz/fuzz_images.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "diskio/diskio.h"
#include "base/le.h"
#include "fuzz/fuzz.h"
#include "fuzz/fuzz_volume.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxValuesPerKind = 48;

void Keep(std::vector<std::vector<uint8_t>>& values, std::set<std::vector<uint8_t>>& seen,
          const uint8_t* p, uint64_t size) {
    if (p == nullptr || size == 0 || values.size() >= kMaxValuesPerKind) return;
    std::vector<uint8_t> v(p, p + size);
    if (seen.insert(v).second) values.push_back(std::move(v));
}

// Where the clusters of a run list lie in the image, clipped to it.
void AddRuns(std::vector<FuzzSpan>& regions, const Attribute* pAttr, uint32_t cs, uint64_t size) {
    if (pAttr == nullptr || pAttr->bResident) return;
    for (uint64_t k = 0; k < pAttr->ullRunCount; k++) {
        const Run& run = pAttr->pRunlist[k];
        if (run.llLcn < 0) continue;
        const uint64_t off = static_cast<uint64_t>(run.llLcn) * cs;
        if (off >= size) continue;
        const uint64_t len = std::min<uint64_t>(run.ullLength * cs, size - off);
        regions.push_back({off, len});
    }
}

// Reads the clean image with the tool: its geometry, where each record is,
// and values of every kind the decoder targets take.
void Learn(FuzzImage& img) {
    const std::vector<uint8_t>& b = img.bytes;
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = img.name.c_str();
    VxDevice* pDev = vx_plat_open_memory(b.data(), b.size(), UINT64_MAX);
    if (OpenVolumeOn(&vol, pDev) != 0) {
        fprintf(stderr, "volscan_fuzz: %s cannot be opened\n", img.name.c_str());
        exit(2);
    }
    const uint32_t cs = vol.ClusterSize;
    const uint32_t rs = vol.MftRecordSize;
    img.dwClusterSize = cs;
    img.dwRecordSize = rs;
    img.regions.push_back({0, 512});
    AddRuns(img.regions, vol.pMftData, cs, b.size());
    img.mftRegions = img.regions.size() - 1;
    AddRuns(img.regions, vol.pSecureData, cs, b.size());
    img.sdsRegions = img.regions.size() - 1 - img.mftRegions;
    img.regions.push_back({0, b.size()});

    const uint64_t ullRecords = MftWalkLimit(&vol) / rs;
    for (uint64_t r = 0; r < ullRecords; r++) {
        const uint64_t ullByte = r * rs;
        uint64_t ullRun = 0;
        uint64_t ullVcn = ullByte / cs;
        uint64_t where = UINT64_MAX;
        if (FindRun(vol.pMftData, &ullRun, &ullVcn)) {
            const Run& run = vol.pMftData->pRunlist[ullRun];
            const uint64_t inCluster = ullByte % cs;
            const uint64_t needed = (inCluster + rs + cs - 1) / cs;
            if (run.llLcn >= 0 && run.ullLength - ullVcn >= needed)
                where = (static_cast<uint64_t>(run.llLcn) + ullVcn) * cs + inCluster;
        }
        if (where != UINT64_MAX && where + rs > b.size()) where = UINT64_MAX;
        img.recordOffsets.push_back(where);
    }

    if (vol.pSecureData != nullptr) {
        uint64_t ullSize = 0;
        Entry secure{};
        secure.pVolume = &vol;
        uint8_t* p = GetStreamBuffer(&secure, vol.pSecureData, &ullSize);
        if (p != nullptr) img.sds.assign(p, p + ullSize);
        ReleaseStreamBuffer(vol.pSecureData, p);
    }

    std::set<std::vector<uint8_t>> seen;
    Entry* pEntry = nullptr;
    for (uint64_t r = 0; r < ullRecords; r++) {
        int s = pEntry == nullptr ? InitEntry(&vol, &pEntry, r, 0)
                                  : (CleanEntry(pEntry), ReadEntry(pEntry, r, 0));
        if (s != 0) continue;
        for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
            const Attribute* pAttr = &pEntry->pAttrList[k];
            uint64_t ullSize = 0;
            if (pAttr->dwType != 0x10 && pAttr->dwType != 0x20 && pAttr->dwType != 0x30 &&
                pAttr->dwType != 0x50)
                continue;
            uint8_t* p = GetStreamBuffer(pEntry, pAttr, &ullSize);
            if (pAttr->dwType == 0x10) Keep(img.standardValues, seen, p, ullSize);
            if (pAttr->dwType == 0x30) Keep(img.fileNameValues, seen, p, ullSize);
            if (pAttr->dwType == 0x50) Keep(img.descriptorValues, seen, p, ullSize);
            if (pAttr->dwType == 0x20 && p != nullptr && img.attributeLists.size() < 16)
                img.attributeLists.push_back({r, std::vector<uint8_t>(p, p + ullSize)});
            ReleaseStreamBuffer(pAttr, p);
        }
    }
    FreeEntry(pEntry);
    CloseVolume(&vol);

    // The descriptors of the $SDS entries, found as the store finds them.
    const std::vector<uint8_t>& sds = img.sds;
    for (uint64_t pos = 0; pos + kSdsHeaderSize <= sds.size(); pos += 16) {
        const uint32_t len = vx_le32(sds.data(), sds.size(), pos + 16);
        if (vx_le64(sds.data(), sds.size(), pos + 8) == pos && len > kSdsHeaderSize &&
            len <= sds.size() - pos)
            Keep(img.descriptorValues, seen, sds.data() + pos + kSdsHeaderSize,
                 len - kSdsHeaderSize);
    }
}

std::vector<FuzzImage> LoadImages() {
    FuzzSetUp();
    std::vector<FuzzImage> images;
    for (const char* pszName : {"sample.img", "sect4k.img", "clust512.img", "attrlist.img"}) {
        FuzzImage img;
        img.name = pszName;
        img.bytes = FuzzReadFile(FuzzImageDir() + "/" + pszName);
        if (img.bytes.empty()) {
            fprintf(stderr, "volscan_fuzz: cannot read %s/%s\n", FuzzImageDir().c_str(), pszName);
            exit(2);
        }
        Learn(img);
        images.push_back(std::move(img));
    }
    return images;
}

}  // namespace

const std::vector<FuzzImage>& FuzzImages() {
    static const std::vector<FuzzImage> images = LoadImages();
    return images;
}

const FuzzImage* FindFuzzImage(const std::string& name) {
    for (const FuzzImage& img : FuzzImages())
        if (img.name == name) return &img;
    return nullptr;
}

std::vector<uint8_t> FuzzRecordBytes(const FuzzImage& image, uint64_t n) {
    if (n >= image.recordOffsets.size() || image.recordOffsets[n] == UINT64_MAX) return {};
    const uint8_t* p = image.bytes.data() + image.recordOffsets[n];
    return std::vector<uint8_t>(p, p + image.dwRecordSize);
}
