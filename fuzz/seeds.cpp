// Seeds: what the clean images hold, in the input form of each target.
#include <cstdio>
#include <cstring>

#include "base/le.h"
#include "diskio/partition.h"
#include "fuzz/fuzz.h"
#include "fuzz/fuzz_images.h"
#include "fuzz/fuzz_volume.h"
#include "support/ntfs_builder.h"

namespace {

using Input = std::vector<uint8_t>;

Input Cat(std::initializer_list<uint8_t> head, const Input& tail) {
    Input out(head);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

void PutLe(Input& v, uint64_t x, int bytes) {
    for (int i = 0; i < bytes; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// Records of an image worth starting from: the system records and a spread
// of the others, in use or not.
std::vector<uint64_t> SomeRecords(const FuzzImage& img) {
    std::vector<uint64_t> out;
    const uint64_t n = img.recordOffsets.size();
    for (uint64_t r = 0; r < n && r < 24; r++) out.push_back(r);
    const uint64_t step = n / 24 + 1;
    for (uint64_t r = 24; r < n; r += step) out.push_back(r);
    return out;
}

std::vector<Input> BootSeeds() {
    std::vector<Input> seeds;
    for (const FuzzImage& img : FuzzImages())
        seeds.emplace_back(img.bytes.begin(), img.bytes.begin() + 512);
    Input fat = FuzzReadFile(FuzzImageDir() + "/fat.img");
    if (fat.size() >= 512) seeds.emplace_back(fat.begin(), fat.begin() + 512);
    ntfsb::BootSector big;  // 2 MiB clusters, 4 KiB records
    big.sectorsPerCluster = 0xF4;
    big.totalSectors = 1u << 21;
    big.mftLcn = 2;
    big.clustersPerRecord = 0xF4;
    seeds.push_back(ntfsb::BootSectorBytes(big));
    ntfsb::BootSector sect4k;  // 4 KiB sectors, one cluster a record
    sect4k.bytesPerSector = 4096;
    sect4k.sectorsPerCluster = 1;
    sect4k.totalSectors = 1024;
    sect4k.mftLcn = 4;
    sect4k.clustersPerRecord = 1;
    seeds.push_back(ntfsb::BootSectorBytes(sect4k, 4096));
    return seeds;
}

std::vector<Input> RecordSeeds() {
    std::vector<Input> seeds;
    static const uint8_t kOptions[] = {0x00, 0x01, 0x02, 0x10, 0x08};
    size_t k = 0;
    for (const FuzzImage& img : FuzzImages()) {
        const uint8_t bSize = img.dwRecordSize == 4096 ? 0x02 : 0x00;
        if (img.dwRecordSize != 1024 && img.dwRecordSize != 4096) continue;
        for (uint64_t r : SomeRecords(img)) {
            Input rec = FuzzRecordBytes(img, r);
            if (rec.empty()) continue;
            const uint8_t bOpt = kOptions[k++ % sizeof kOptions];
            // Most in the record's own terms (the harness makes the fixups),
            // a few as they lie on disk.
            if (k % 5 == 0) {
                seeds.push_back(Cat({bSize, bOpt}, rec));
            } else {
                UndoFixups(rec.data(), static_cast<uint32_t>(rec.size()));
                seeds.push_back(Cat({static_cast<uint8_t>(bSize | 1), bOpt}, rec));
            }
        }
    }
    return seeds;
}

// The mapping pairs of every non-resident attribute of the seed records.
std::vector<Input> RunlistSeeds() {
    std::vector<Input> seeds;
    for (const FuzzImage& img : FuzzImages()) {
        const uint8_t bFlags = img.dwClusterSize == 512 ? 1 : 0;
        for (uint64_t r : SomeRecords(img)) {
            Input rec = FuzzRecordBytes(img, r);
            if (rec.empty()) continue;
            const uint8_t* p = rec.data();
            const size_t n = rec.size();
            UndoFixups(rec.data(), static_cast<uint32_t>(n));
            uint32_t off = vx_le16(p, n, 0x14);
            while (vx_fits(n, off, 16) && vx_le32(p, n, off) != 0xFFFFFFFF) {
                const uint32_t len = vx_le32(p, n, off + 4);
                if (len < 0x18 || len > n - off) break;
                if (vx_le8(p, n, off + 8) != 0 && len >= 0x40) {
                    const uint32_t pairs = vx_le16(p, n, off + 0x20);
                    if (pairs < len) {
                        Input in{bFlags};
                        PutLe(in, vx_le64(p, n, off + 0x30), 4);
                        const uint32_t cb = len - pairs < 255 ? len - pairs : 255;
                        in.push_back(static_cast<uint8_t>(cb));
                        PutLe(in, vx_le64(p, n, off + 0x10), 8);
                        PutLe(in, vx_le64(p, n, off + 0x18), 8);
                        in.insert(in.end(), p + off + pairs, p + off + pairs + cb);
                        seeds.push_back(in);
                    }
                }
                off += len;
            }
        }
    }
    // Two extents of one stream, the second going on where the first ends.
    Input two{0};
    PutLe(two, 3 * 4096, 4);
    two.push_back(4);
    PutLe(two, 0, 8);
    PutLe(two, 1, 8);
    two.insert(two.end(), {0x11, 0x02, 0x05, 0x00});
    two.push_back(5);
    PutLe(two, 2, 8);
    PutLe(two, 2, 8);
    two.insert(two.end(), {0x01, 0x01, 0x00, 0x00, 0x00});
    seeds.push_back(two);
    return seeds;
}

std::vector<Input> AttributeListSeeds() {
    std::vector<Input> seeds;
    const FuzzImage* pImg = FindFuzzImage("attrlist.img");
    if (pImg == nullptr) return seeds;
    for (size_t k = 0; k < pImg->attributeLists.size(); k++)
        seeds.push_back(Cat({static_cast<uint8_t>(k), static_cast<uint8_t>(k % 2 ? 0x02 : 0x00)},
                            pImg->attributeLists[k].value));
    return seeds;
}

std::vector<Input> SdsSeeds() {
    std::vector<Input> seeds;
    uint8_t k = 0;
    for (const FuzzImage& img : FuzzImages()) {
        const size_t n = img.sds.size() < 65536 ? img.sds.size() : 65536;
        const Input sds(img.sds.begin(), img.sds.begin() + static_cast<long>(n));
        const uint8_t bOptions = k % 2 ? 0x01 : 0x80;
        seeds.push_back(Cat({static_cast<uint8_t>(k % 4), bOptions}, sds));
        k++;
    }
    return seeds;
}

std::vector<Input> DescriptorSeeds() {
    std::vector<Input> seeds;
    uint8_t k = 0;
    for (const FuzzImage& img : FuzzImages())
        for (const Input& d : img.descriptorValues)
            seeds.push_back(Cat({static_cast<uint8_t>(k++ % 3 == 0 ? 0x01 : 0x00)}, d));
    return seeds;
}

std::vector<Input> StandardSeeds() {
    std::vector<Input> seeds;
    uint8_t k = 0;
    for (const FuzzImage& img : FuzzImages())
        for (const Input& v : img.standardValues) {
            const uint8_t bOptions = k % 3 == 0 ? 1 : 0;
            seeds.push_back(Cat({static_cast<uint8_t>(k % 4), bOptions}, v));
            k++;
        }
    return seeds;
}

std::vector<Input> FileNameSeeds() {
    std::vector<Input> seeds;
    uint8_t k = 0;
    for (const FuzzImage& img : FuzzImages()) {
        const std::vector<Input>& names = img.fileNameValues;
        for (size_t i = 0; i < names.size(); i++) {
            Input in{static_cast<uint8_t>(k++ % 2 ? 0x01 : 0x00)};
            for (size_t j = i; j < names.size() && j < i + 2; j++) {
                if (names[j].size() > 255) continue;
                in.push_back(static_cast<uint8_t>(names[j].size()));
                in.insert(in.end(), names[j].begin(), names[j].end());
            }
            seeds.push_back(in);
        }
    }
    return seeds;
}

std::vector<Input> TextSeeds() {
    std::vector<Input> seeds;
    for (const FuzzImage& img : FuzzImages())
        for (const Input& fn : img.fileNameValues)
            if (fn.size() > 0x42) seeds.emplace_back(fn.begin() + 0x42, fn.end());
    Input odd;
    for (uint16_t u : {0x41, 0x7F, 0x80, 0x7FF, 0x800, 0xD800, 0xDC00, 0xD83D, 0xDE00, 0xFFFE,
                       0xFFFF, 0xE9, 0x20AC})
        PutLe(odd, u, 2);
    seeds.push_back(odd);
    return seeds;
}

std::vector<Input> NumberSeeds() {
    std::vector<Input> seeds;
    for (const char* psz : {"0", "1", "421", "0x1A5", "0X1a", "0777", "089",
                            "18446744073709551615", "18446744073709551616", "0xFFFFFFFFFFFFFFFF",
                            "65536", "12ab", "-1", ""})
        seeds.emplace_back(psz, psz + strlen(psz));
    return seeds;
}

// The first sectors of disks as sfdisk and sgdisk write them: an MBR with
// a logical partition, and a GPT (protective MBR, header, entries).
std::vector<Input> PartitionSeeds() {
    std::vector<Input> seeds;
    auto put32 = [](Input& d, size_t at, uint32_t v) {
        for (int k = 0; k < 4; k++) d[at + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    auto put64 = [&](Input& d, size_t at, uint64_t v) {
        put32(d, at, static_cast<uint32_t>(v));
        put32(d, at + 4, static_cast<uint32_t>(v >> 32));
    };
    auto entry = [&](Input& d, size_t sector, int n, uint8_t type, uint32_t first, uint32_t count) {
        const size_t at = sector * 512 + 0x1BE + 16 * n;
        d[at + 4] = type;
        put32(d, at + 8, first);
        put32(d, at + 12, count);
        d[sector * 512 + 510] = 0x55;
        d[sector * 512 + 511] = 0xAA;
    };
    Input mbr(64 * 512);
    put64(mbr, 0, 0);  // the disk's size: the input's
    entry(mbr, 0, 0, 0x07, 2, 8);
    entry(mbr, 0, 1, 0x05, 12, 40);
    entry(mbr, 12, 0, 0x83, 2, 4);
    entry(mbr, 12, 1, 0x05, 8, 20);
    entry(mbr, 20, 0, 0x07, 2, 10);
    seeds.push_back(mbr);

    Input gpt(64 * 512);
    entry(gpt, 0, 0, 0xEE, 1, 0xFFFFFFFF);
    memcpy(&gpt[512], "EFI PART", 8);
    put32(gpt, 512 + 8, 0x10000);
    put32(gpt, 512 + 12, 92);
    put64(gpt, 512 + 24, 1);
    put64(gpt, 512 + 32, 63);
    put64(gpt, 512 + 40, 34);
    put64(gpt, 512 + 48, 62);
    put64(gpt, 512 + 72, 2);
    put32(gpt, 512 + 80, 4);
    put32(gpt, 512 + 84, 128);
    static const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                           0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    memcpy(&gpt[1024], kBasicData, 16);
    put64(gpt, 1024 + 32, 40);
    put64(gpt, 1024 + 40, 60);
    put32(gpt, 512 + 88, Crc32(&gpt[1024], 4 * 128));
    put32(gpt, 512 + 16, Crc32(&gpt[512], 92));
    seeds.push_back(gpt);
    return seeds;
}

std::vector<Input> VolumeSeeds() {
    std::vector<Input> seeds;
    static const uint8_t kOptions[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x30, 0x40, 0x80};
    const size_t n = FuzzImages().size();
    for (size_t k = 0; k < n; k++)
        for (uint8_t o : kOptions) seeds.push_back({o, static_cast<uint8_t>(k)});
    return seeds;
}

// The first records of each image's $MFT, one after the other as a copy
// holds them (a record not in one piece as zeros).
std::vector<Input> MftCopySeeds() {
    std::vector<Input> seeds;
    static const uint8_t kOptions[] = {0x00, 0x01, 0x02, 0x04};
    for (const FuzzImage& img : FuzzImages()) {
        Input copy;
        for (uint64_t r = 0; r < img.recordOffsets.size() && r < 96; r++) {
            const uint64_t at = img.recordOffsets[r];
            if (at == UINT64_MAX) copy.insert(copy.end(), img.dwRecordSize, 0);
            else copy.insert(copy.end(), img.bytes.begin() + at, img.bytes.begin() + at + img.dwRecordSize);
        }
        for (uint8_t o : kOptions) seeds.push_back(Cat({o}, copy));
    }
    return seeds;
}

// The header and first metadata block of two BitLocker volumes of
// ../shared/images/bitlocker.tar.xz, when it is there; and one made here,
// a header naming a metadata block that holds its signature alone.
std::vector<Input> BitLockerSeeds() {
    std::vector<Input> seeds;
    Input made(512 + 64, 0);
    memcpy(made.data() + 3, "-FVE-FS-", 8);
    made[0xB1] = 0x10;  // the block at 0x1000
    memcpy(made.data() + 512, "-FVE-FS-", 8);
    made[512 + 10] = 2;
    seeds.push_back(made);
    const std::string tar = std::string(VOLSCAN_SOURCE_DIR) + "/../shared/images/bitlocker.tar.xz";
    for (const char* name : {"bitlk-aes-xts-128", "bitlk-togo-aes-xts-128"}) {
        const std::string cmd = "tar -xOJf '" + tar + "' bitlocker/" + name + ".img 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) continue;
        Input volume(64u << 20);
        const size_t n = fread(volume.data(), 1, volume.size(), p);
        pclose(p);
        if (n < 512) continue;
        const size_t at = memcmp(volume.data() + 3, "MSWIN4.1", 8) == 0 ? 0x1B8 : 0xB0;
        const uint64_t ullBlock = vx_le64(volume.data(), 512, at);
        if (ullBlock == 0 || ullBlock + 65536 > n) continue;
        Input seed(volume.begin(), volume.begin() + 512);
        seed.insert(seed.end(), volume.begin() + static_cast<long>(ullBlock),
                    volume.begin() + static_cast<long>(ullBlock) + 65536);
        seeds.push_back(seed);
    }
    return seeds;
}

}  // namespace

std::vector<std::vector<uint8_t>> FuzzSeeds(const char* pszName) {
    const std::string name = pszName;
    if (name == "boot") return BootSeeds();
    if (name == "record") return RecordSeeds();
    if (name == "runlist") return RunlistSeeds();
    if (name == "attrlist") return AttributeListSeeds();
    if (name == "sds") return SdsSeeds();
    if (name == "descriptor") return DescriptorSeeds();
    if (name == "standard") return StandardSeeds();
    if (name == "filename") return FileNameSeeds();
    if (name == "text") return TextSeeds();
    if (name == "number") return NumberSeeds();
    if (name == "partition") return PartitionSeeds();
    if (name == "volume") return VolumeSeeds();
    if (name == "mftcopy") return MftCopySeeds();
    if (name == "bitlocker") return BitLockerSeeds();
    return {};
}
