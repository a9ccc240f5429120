// Counts and sizes a crafted volume can claim: a $MFT far larger than the
// device, attribute lists of thousands of entries, runlists of a million
// runs, an $SDS of a million entries or far larger than its clusters, and
// metadata values of gigabytes.  Each costs time and memory in proportion
// to the bytes really read, or stops with a diagnostic naming what was
// refused.  Every case prints its time and peak memory.
// Designated initializers name only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "diskio/diskio.h"
#include "base/le.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "support/memory_volume.h"
#include "support/ntfs_builder.h"
#include "support/run_binary.h"

namespace {

using namespace ntfsb;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int kTimeoutMs = 60000;
// Below any of the sizes claimed: an allocation of the claim fails.
constexpr uint64_t kAddressLimit = 768ull << 20;

struct Measured {
    BoundedRunResult run;
    std::string err;
    std::string out;
};

// The binary over a built image, with its time and peak memory printed.
Measured RunOn(const std::string& label, const std::vector<uint8_t>& img,
               std::vector<std::string> args = {}) {
    const std::string dir = MakeTestDir("hostile");
    const std::string path = dir + "/volume.img";
    EXPECT_TRUE(WriteBytes(path, img));
    args.insert(args.end(), {"-f", path, "C"});
    Measured m;
    m.run = RunVolscanBounded(args, dir, dir + "/out", dir + "/err", kTimeoutMs,
                              kSanitized ? 0 : kAddressLimit);
    m.err = ReadFile(dir + "/err");
    m.out = ReadFile(dir + "/out");
    printf("[ figures  ] %s: exit %d, signal %d%s, %.2f s, peak %ld KiB\n", label.c_str(),
           m.run.exitStatus, m.run.termSignal, m.run.bTimedOut ? ", timed out" : "",
           m.run.seconds, m.run.maxRssKb);
    unlink(path.c_str());
    return m;
}

// A body run in a child process, for its own time and peak memory: 0 when
// it returned true.
BoundedRunResult InChild(const std::string& label, const std::function<bool()>& body) {
    const auto start = std::chrono::steady_clock::now();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 3);
    BoundedRunResult r;
    int st = 0;
    struct rusage usage {};
    for (int waited = 0;; waited += 5) {
        pid_t done = wait4(pid, &st, WNOHANG, &usage);
        if (done == pid) break;
        if (waited >= kTimeoutMs) {
            r.bTimedOut = true;
            kill(pid, SIGKILL);
            wait4(pid, &st, 0, &usage);
            break;
        }
        usleep(5000);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.termSignal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    r.maxRssKb = usage.ru_maxrss;
    printf("[ figures  ] %s: exit %d, signal %d%s, %.2f s, peak %ld KiB\n", label.c_str(),
           r.exitStatus, r.termSignal, r.bTimedOut ? ", timed out" : "", r.seconds, r.maxRssKb);
    return r;
}

// The image offset of attribute `type` (unnamed or first) in the record at `rec`.
uint64_t FindAttr(const std::vector<uint8_t>& img, uint64_t rec, uint32_t type) {
    uint64_t at = rec + GetU16(img, rec + 0x14);
    while (GetU32(img, at) != type && GetU32(img, at) != kAttrEnd && GetU32(img, at + 4) != 0)
        at += GetU32(img, at + 4);
    return GetU32(img, at) == type ? at : UINT64_MAX;
}

// ------------------------------------------------------ array growth

// Arrays keep their fixed steps while small and double past 64 steps: an
// array of n elements is always large enough, and grew O(64 + log n) times.
TEST(HostileCounts, ArraysGrowByStepsThenByDoubling) {
    for (uint64_t step : {7ull, 10ull, 20ull}) {
        uint64_t capacity = 0, grown = 0;
        std::vector<uint64_t> firstSizes;
        for (uint64_t n = 0; n < 3000000; n++) {
            if (vx_grows(n, step)) {
                ASSERT_EQ(n, capacity) << "grows only when full, step " << step;
                capacity = vx_grown(n, step);
                grown++;
                if (firstSizes.size() < 3) firstSizes.push_back(capacity);
            }
            ASSERT_LT(n, capacity) << "room for element " << n << ", step " << step;
        }
        EXPECT_EQ((std::vector<uint64_t>{step, 2 * step, 3 * step}), firstSizes);
        EXPECT_LE(grown, 64u + 20u) << step;
    }
}

// ------------------------------------------------- $MFT beyond the device

TEST(HostileCounts, MftFarBeyondTheDeviceStopsAtTheDevice) {
    VolumeDesc d;
    VolumeLayout layout;
    std::vector<uint8_t> img = BuildVolume(d, &layout);
    ASSERT_FALSE(img.empty());
    // The boot sector claims 2^40 sectors; record 0's $DATA maps 2^36
    // clusters from the $MFT's first one and holds 2^50 bytes: every
    // bound the walk takes from the volume says "far beyond".
    PutU64(img, 0x28, 1ull << 40);
    const uint64_t rec = RecordOffset(layout, 0);
    const uint64_t at = FindAttr(img, rec, kAttrData);
    ASSERT_NE(UINT64_MAX, at);
    const uint32_t dwPairs = GetU16(img, at + 0x20);
    ASSERT_GE(GetU32(img, at + 4), dwPairs + 8u);
    ASSERT_LT(layout.mftRuns[0].lcn, 128);
    PutU64(img, at + 0x18, (1ull << 36) - 1);  // last VCN
    PutU64(img, at + 0x28, (1ull << 36) * layout.clusterSize);
    PutU64(img, at + 0x30, 1ull << 50);
    PutU64(img, at + 0x38, 1ull << 50);
    // One run: 5 length bytes, 1 offset byte, the end.
    PutBytes(img, at + dwPairs, {0x15, 0, 0, 0, 0, 0x10, uint8_t(layout.mftRuns[0].lcn), 0});
    const Measured m = RunOn("$MFT of 2^50 bytes on a " + std::to_string(img.size() >> 10) +
                                 " KiB device",
                             img);
    EXPECT_FALSE(m.run.bTimedOut);
    EXPECT_EQ(0, m.run.termSignal);
    EXPECT_TRUE(m.run.exitStatus == 0 || m.run.exitStatus == 2) << m.err.substr(0, 2000);
    const std::string clamp = "volume of 0x2000000000 clusters in the boot sector beyond the device (0x" +
                              [&] { char b[32]; snprintf(b, sizeof b, "%zx", img.size()); return std::string(b); }() +
                              " bytes): the clusters past its end are not read";
    EXPECT_NE(std::string::npos, m.err.find(clamp)) << m.err.substr(0, 2000);
    EXPECT_NE(std::string::npos, m.err.find("$MFT data size 0x4000000000000 beyond its runlist"));
    // No record past the device is reported: at most its bytes' worth.
    size_t reports = 0;
    for (size_t pos = m.out.find("MFT record number"); pos != std::string::npos;
         pos = m.out.find("MFT record number", pos + 1))
        reports++;
    const size_t lines = std::count(m.out.begin(), m.out.end(), '\n');
    EXPECT_LE(reports + lines, 2 * img.size() / layout.recordSize + 64) << lines;
}

// ----------------------------------------------- attribute lists

// A file's extension record holding `count` empty resident $DATA attributes.
MftRecord ExtensionWith(uint32_t number, uint64_t base, int count) {
    MftRecord r;
    r.recordNumber = number;
    r.baseRecord = base;
    r.baseSequence = 1;
    for (int k = 0; k < count; k++) AddResident(r, {.type = kAttrData, .value = {}});
    return r;
}

// A base record whose attribute list (non-resident, in the clusters of a
// helper file's data) names the records given, one entry each.
VolumeDesc ListedVolume(uint32_t baseNumber, const std::vector<uint64_t>& named,
                        const std::vector<RecordImage>& extensions, uint64_t minRecords) {
    std::vector<AttrListEntry> entries;
    for (uint64_t r : named) entries.push_back({.type = kAttrData, .record = r, .sequence = 1});
    const std::vector<uint8_t> list = AttributeListValue(entries);
    VolumeDesc d;
    d.minRecordCount = minRecords;
    d.files = {{.name = "list-holder.bin", .data = list, .nonResident = true, .record = 20}};
    VolumeLayout layout;
    EXPECT_FALSE(BuildVolume(d, &layout).empty());
    const StreamLayout& where = layout.files[0].streams[0];
    MftRecord base = BaseRecord(baseNumber, "listed.txt");
    AddNonResident(base, {.type = kAttrAttributeList,
                          .dataSize = list.size(),
                          .runs = {{int64_t(where.lcn), where.clusters}}});
    d.images = extensions;
    d.images.push_back({baseNumber, BuildRecord(base)});
    return d;
}

TEST(HostileCounts, AttributeListOfThousandsOfEntriesNamingOneRecord) {
    // 8000 entries, every one naming extension record 31: it is read once.
    VolumeDesc d = ListedVolume(30, std::vector<uint64_t>(8000, 31),
                                {{31, BuildRecord(ExtensionWith(31, 30, 3))}}, 64);
    const Measured m = RunOn("attribute list of 8000 entries naming one record",
                             BuildVolume(d), {"-v", "-i", "30"});
    EXPECT_FALSE(m.run.bTimedOut);
    EXPECT_EQ(0, m.run.exitStatus) << m.err.substr(0, 2000);
}

TEST(HostileCounts, AttributeListOfThousandsOfExtensionsStopsAtTheAttributeBound) {
    // 2000 extension records of 40 attributes each: 80,000 attributes for
    // one file, more than its count can hold.
    std::vector<uint64_t> named;
    std::vector<RecordImage> extensions;
    for (uint32_t r = 100; r < 2100; r++) {
        named.push_back(r);
        extensions.push_back({r, BuildRecord(ExtensionWith(r, 30, 40))});
    }
    VolumeDesc d = ListedVolume(30, named, extensions, 2200);
    const Measured m = RunOn("attribute list of 2000 extension records, 80,000 attributes",
                             BuildVolume(d), {"-v", "-i", "30"});
    EXPECT_FALSE(m.run.bTimedOut);
    EXPECT_EQ(0, m.run.termSignal);
    EXPECT_TRUE(m.run.exitStatus == 0 || m.run.exitStatus == 2) << m.err.substr(0, 2000);
    // The base record's three attributes and 65,532 of the extensions':
    // the next would wrap the count round to 0.
    EXPECT_NE(std::string::npos,
              m.err.find("more than 65535 attributes, attribute 0x80 not added - Base record #30"))
        << m.err.substr(0, 2000);
    EXPECT_NE(std::string::npos, m.out.find("Number of data stream : 65532\n"))
        << m.out.substr(0, 2000);
}

// --------------------------------------------------------- runlists

// Mapping pairs of `count` one-cluster runs on clusters 1 and 2 in turn.
std::vector<uint8_t> MillionPairs(uint64_t count) {
    std::vector<uint8_t> pairs;
    pairs.reserve(count * 3 + 1);
    for (uint64_t k = 0; k < count; k++) {
        pairs.push_back(0x11);
        pairs.push_back(1);
        pairs.push_back(k == 0 ? 1 : (k % 2 == 1 ? 1 : 0xFF));
    }
    pairs.push_back(0);
    return pairs;
}

TEST(HostileCounts, RunlistOfAMillionRuns) {
    constexpr uint64_t kRuns = 1000000;
    const std::vector<uint8_t> pairs = MillionPairs(kRuns);
    const BoundedRunResult decode = InChild("runlist of a million runs: decoding", [&] {
        Attribute a{};
        a.dwType = 0x80;
        const int ok = ProcessRunlist(&a, pairs.data(), pairs.size(), 0, kRuns - 1);
        const bool good = ok == 1 && a.ullRunCount == kRuns && a.ullNextVcn == kRuns;
        FreeAttribute(&a);
        return good;
    });
    EXPECT_EQ(0, decode.exitStatus);
    // Every cluster read in VCN order, one at a time, as the record walk
    // reads the $MFT.
    const BoundedRunResult walk = InChild("runlist of a million runs: read cluster by cluster", [&] {
        MemoryVolume mv(512, 4);
        Attribute a{};
        a.dwType = 0x80;
        if (ProcessRunlist(&a, pairs.data(), pairs.size(), 0, kRuns - 1) != 1) return false;
        a.ullSize = kRuns * 512;
        uint8_t cluster[512];
        bool good = true;
        for (uint64_t v = 0; v < kRuns && good; v++) {
            uint64_t n = 1;
            good = ReadStreamVcns(&mv.vol, &a, v, &n, cluster) == 1 && n == 1 &&
                   cluster[0] == mv.Cluster(1 + v % 2)[0];
        }
        FreeAttribute(&a);
        return good;
    });
    EXPECT_EQ(0, walk.exitStatus);
    EXPECT_FALSE(walk.bTimedOut);
}

// ----------------------------------------------------------- $SDS

TEST(HostileCounts, SdsOfAMillionEntries) {
    constexpr uint64_t kEntries = 1ull << 20;
    const BoundedRunResult r = InChild("$SDS of a million entries", [&] {
        MemoryVolume mv(4096, kEntries * 32 / 4096);
        for (uint64_t k = 0; k < kEntries; k++) {
            uint8_t* p = mv.bytes.data() + 32 * k;
            memset(p, 0, 32);
            p[4] = uint8_t(k), p[5] = uint8_t(k >> 8), p[6] = uint8_t(k >> 16);  // id
            for (int i = 0; i < 8; i++) p[8 + i] = uint8_t((32 * k) >> (8 * i));  // own offset
            p[16] = 32;                                                              // length
        }
        std::vector<::Run> runs = {{0, kEntries * 32 / 4096}};
        Attribute sds = NonResident(runs, kEntries * 32);
        mv.vol.pSecureData = &sds;
        LoadSecureSDS(&mv.vol);
        const bool good = mv.vol.secList.dwCount == kEntries;
        mv.vol.pSecureData = nullptr;
        return good;
    });
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_FALSE(r.bTimedOut);
}

TEST(HostileCounts, SdsFarLargerThanItsClusters) {
    // 2^40 bytes claimed, mapped by one cluster and then a sparse run.
    const BoundedRunResult r = InChild("$SDS of 2^40 bytes over one cluster", [&] {
        MemoryVolume mv(4096, 4);
        std::vector<::Run> runs = {{1, 1}, {kSparseLcn, (1ull << 28) - 1}};
        Attribute sds = NonResident(runs, 1ull << 40);
        mv.vol.pSecureData = &sds;
        LoadSecureSDS(&mv.vol);
        mv.vol.pSecureData = nullptr;
        return true;
    });
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_FALSE(r.bTimedOut);
}

// A $SDS whose runlist maps every cluster of a 128 MiB volume: its scan
// reads each once, against the same volume's own $SDS.
TEST(HostileCounts, SdsMappingTheWholeVolume) {
    VolumeDesc d;
    d.extraClusters = (128u << 20) / 4096;
    d.sdsNonResident = true;
    d.sds.assign(2 * 4096, 0);
    VolumeLayout layout;
    std::vector<uint8_t> img = BuildVolume(d, &layout);
    ASSERT_FALSE(img.empty());
    const Measured clean = RunOn("volume of 128 MiB, its own $SDS", img);
    const uint64_t at = FindAttr(img, RecordOffset(layout, 9), kAttrData);
    ASSERT_NE(UINT64_MAX, at);
    const uint32_t dwPairs = GetU16(img, at + 0x20);
    ASSERT_GE(GetU32(img, at + 4), dwPairs + 7u);
    const uint64_t clusters = layout.totalClusters;
    PutU64(img, at + 0x18, clusters - 1);
    for (uint32_t f : {0x28u, 0x30u, 0x38u}) PutU64(img, at + f, clusters * layout.clusterSize);
    // One run of 4 length bytes from LCN 0.
    PutBytes(img, at + dwPairs, {0x14, uint8_t(clusters), uint8_t(clusters >> 8),
                                 uint8_t(clusters >> 16), uint8_t(clusters >> 24), 0, 0});
    const Measured m = RunOn("volume of 128 MiB, $SDS mapping all of it", img);
    EXPECT_FALSE(m.run.bTimedOut);
    EXPECT_EQ(0, m.run.termSignal);
    EXPECT_TRUE(m.run.exitStatus == 0 || m.run.exitStatus == 2) << m.err.substr(0, 2000);
    EXPECT_EQ(clean.run.exitStatus, m.run.exitStatus) << m.err.substr(0, 2000);
}

// ----------------------------------------------------- deep directories

// 8000 directories, each the parent of the next: every path is written
// from the nodes of its parents, not by walking them again (compared with
// the same directories side by side under the root).
TEST(HostileCounts, DirectoryChainEightThousandDeep) {
    constexpr uint32_t kDepth = 8000;
    std::string deepest;
    for (bool chain : {false, true}) {
        VolumeDesc d;
        d.buildIndexes = false;
        for (uint32_t k = 0; k < kDepth; k++) {
            // Appended rather than "d" + std::to_string(...): GCC 12 at -O3
            // sees a false overlap in the latter (-Wrestrict).
            std::string name = "d";
            name += std::to_string(k % 10);
            d.files.push_back({.name = name,
                               .parent = chain && k > 0 ? 16u + k - 1 : kRootRecord,
                               .directory = true,
                               .record = 16u + k});
        }
        const Measured m = RunOn(chain ? "8000 directories, each the parent of the next"
                                       : "8000 directories under the root",
                                 BuildVolume(d));
        EXPECT_FALSE(m.run.bTimedOut);
        EXPECT_EQ(0, m.run.exitStatus) << m.err.substr(0, 2000);
        printf("[ figures  ]   report of %zu bytes\n", m.out.size());
        if (!chain) continue;
        std::string line = "\n";
        line += std::to_string(16 + kDepth - 1);
        line += "|";
        const size_t last = m.out.find(line);
        ASSERT_NE(std::string::npos, last);
        deepest = m.out.substr(last + 1, m.out.find('|', m.out.find('|', last + 1) + 1) - last - 1);
    }
    // The deepest directory's path names all 8000 levels.
    EXPECT_EQ(size_t(kDepth), size_t(std::count(deepest.begin(), deepest.end(), '\\')) - 1)
        << deepest.substr(0, 200);
}

// ------------------------------------------- metadata values of gigabytes

TEST(HostileCounts, HugeNonResidentMetadataValuesAreRefused) {
    // Four files, each with one value claiming 0xF0000000 bytes (one
    // cluster mapped): $STANDARD_INFORMATION, $FILE_NAME, a security
    // descriptor, an attribute list.  The volume is larger (8 GiB of
    // holes), so the volume's size does not refuse them.
    const uint64_t kHuge = 0xF0000000ull;
    VolumeDesc d;
    d.minRecordCount = 64;
    d.extraClusters = (8ull << 30) / 4096;
    auto huge = [&](uint32_t type) {
        return NonResidentAttr{.type = type, .dataSize = kHuge, .runs = {{1, 1}}};
    };
    MftRecord si;  // no resident $STANDARD_INFORMATION before it
    si.recordNumber = 40;
    AddNonResident(si, huge(kAttrStandardInformation));
    AddResident(si, {.type = kAttrFileName, .value = FileNameValue({.name = "si.txt"})});
    MftRecord fn;  // the non-resident $FILE_NAME first, as the path walk takes it
    fn.recordNumber = 41;
    AddResident(fn, {.type = kAttrStandardInformation, .value = StandardInformationValue({})});
    AddNonResident(fn, huge(kAttrFileName));
    AddResident(fn, {.type = kAttrFileName, .value = FileNameValue({.name = "fn.txt"})});
    MftRecord sd = BaseRecord(42, "sd.txt");
    AddNonResident(sd, huge(kAttrSecurityDescriptor));
    MftRecord al = BaseRecord(43, "al.txt");
    AddNonResident(al, huge(kAttrAttributeList));
    d.images = {{40, BuildRecord(si)}, {41, BuildRecord(fn)}, {42, BuildRecord(sd)},
                {43, BuildRecord(al)}};
    const std::string dir = MakeTestDir("hostile-values");
    const std::string path = dir + "/volume.img";
    std::string error;
    ASSERT_TRUE(WriteVolume(d, path, nullptr, &error)) << error;
    for (uint64_t n = 40; n <= 43; n++) {
        const BoundedRunResult r = RunVolscanBounded(
            {"-v", "-i", std::to_string(n), "-f", path, "C"}, dir, dir + "/out", dir + "/err",
            kTimeoutMs, kSanitized ? 0 : kAddressLimit);
        const std::string err = ReadFile(dir + "/err");
        printf("[ figures  ] record %d, value of 0xF0000000 bytes: exit %d, %.2f s, peak %ld KiB\n",
               int(n), r.exitStatus, r.seconds, r.maxRssKb);
        EXPECT_EQ(2, r.exitStatus) << n << "\n" << err.substr(0, 2000);
        const std::string refused =
            n == 43 ? "attribute list of 0xf0000000 bytes beyond the 0x40000 bytes an attribute "
                      "list can hold, not read - Base record #43"
                    : "attribute 0x" + std::string(n == 40 ? "10" : n == 41 ? "30" : "50") +
                          " of 0xf0000000 bytes beyond the 0x" +
                          std::string(n == 42 ? "40000" : "10000") +
                          " bytes a value of its type can hold, not read - Base record #" +
                          std::to_string(n);
        EXPECT_NE(std::string::npos, err.find(refused)) << err.substr(0, 2000);
    }
    unlink(path.c_str());
}

// ------------------------------------------------------ copies of $MFT

// The first `records` records of a committed image's $MFT, as a collector
// copies them (its first run holds them all).
std::vector<uint8_t> CopyOfMft(const char* image, uint64_t records) {
    const std::string bytes = ReadFile(SourcePath(std::string("tests/images/") + image));
    const std::vector<uint8_t> boot(bytes.begin(), bytes.begin() + 512);
    const uint64_t cluster = uint64_t{GetU16(boot, 0x0B)} * boot[0x0D];
    const uint64_t at = (uint64_t{GetU32(boot, 0x30)} | uint64_t{GetU32(boot, 0x34)} << 32) * cluster;
    return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + records * 1024);
}

// Copies that are none, damaged or cut: a diagnostic naming what is wrong,
// status 2 where records were lost, and time in proportion to what is read.
TEST(HostileCounts, CopiesOfMftThatAreNoneOrDamaged) {
    const std::vector<uint8_t> copy = CopyOfMft("sample.img", 64);
    auto patched = [&](size_t off, uint32_t v, int width) {
        std::vector<uint8_t> b = copy;
        if (width == 2) PutU16(b, off, static_cast<uint16_t>(v));
        else PutU32(b, off, v);
        return b;
    };
    std::vector<uint8_t> torn = copy;
    torn[40 * 1024 + 510] ^= 0xFF;
    struct Case {
        const char* label;
        std::vector<uint8_t> bytes;
        const char* said;
    };
    const Case cases[] = {
        {"zeros", std::vector<uint8_t>(copy.size()), "drive SOURCE is not NTFS"},
        {"record 5 first", std::vector<uint8_t>(copy.begin() + 5 * 1024, copy.end()),
         "SOURCE is not a copy of $MFT: invalid record 0, which holds no name $MFT"},
        {"record size 0", patched(0x1C, 0, 4), "not a copy of $MFT: invalid record size : 0"},
        {"record size 3", patched(0x1C, 3, 4), "not a copy of $MFT: invalid record size : 3"},
        {"record size 64 KiB", patched(0x1C, 65536, 4),
         "invalid update sequence count for its record size : 3"},
        {"update sequence of 5", patched(0x06, 5, 2),
         "invalid update sequence count for its record size : 5"},
        {"cut mid-record", std::vector<uint8_t>(copy.begin(), copy.end() - 500),
         "the copy of $MFT ends at record 63 of the 421 its $DATA holds (65036 bytes of 431104)"},
        {"torn record 40", torn, "bad sector - Update value"},
    };
    for (const Case& c : cases) {
        Measured m = RunOn(c.label, c.bytes);
        const std::string err = std::regex_replace(m.err, std::regex("/[^ ]*/volume.img"), "SOURCE");
        EXPECT_EQ(m.run.exitStatus, 2) << c.label;
        EXPECT_NE(err.find(c.said), std::string::npos) << c.label << "\n" << err.substr(0, 1500);
        EXPECT_LT(m.run.seconds, 10.0) << c.label;
    }
    // A 100 GiB sparse file: the walk stops at the $MFT's own size.
    const std::string dir = MakeTestDir("hostile-copy");
    ASSERT_TRUE(WriteBytes(dir + "/$MFT", copy));
    ASSERT_EQ(truncate((dir + "/$MFT").c_str(), 100ll << 30), 0);
    const BoundedRunResult r = RunVolscanBounded({"-f", dir + "/$MFT", "C"}, dir, dir + "/out",
                                                 dir + "/err", kTimeoutMs, kSanitized ? 0 : kAddressLimit);
    printf("[ figures  ] sparse copy of 100 GiB: exit %d, %.2f s, peak %ld KiB\n", r.exitStatus,
           r.seconds, r.maxRssKb);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_LT(r.seconds, 10.0);
    EXPECT_EQ(ReadFile(dir + "/out").find("\n64|"), std::string::npos);
    // --list-partitions says what the file is.
    ASSERT_TRUE(WriteBytes(dir + "/$MFT", copy));
    const RunResult list = RunVolscanBinary({"-f", dir + "/$MFT", "--list-partitions"});
    EXPECT_EQ(list.out, dir + "/$MFT: no partition table; a copy of $MFT, records of 1024 bytes\n");
}

// Extension records whose base reference names themselves, each other in a
// loop, or a record past the end: none is taken for another file's, and the
// file they left keeps what its other records hold.
TEST(HostileCounts, CopyOfMftWithExtensionsNamingThemselvesOrNothing) {
    std::vector<uint8_t> copy = CopyOfMft("attrlist.img", 100);
    PutU48(copy, 71 * 1024 + 0x20, 71);
    PutU48(copy, 72 * 1024 + 0x20, 73);
    PutU48(copy, 73 * 1024 + 0x20, 72);
    PutU48(copy, 74 * 1024 + 0x20, 1ull << 40);
    Measured m = RunOn("extensions in a loop", copy, {"--format=bodyfile", "-i", "70"});
    EXPECT_LT(m.run.seconds, 10.0);
    const Measured whole =
        RunOn("extensions whole", CopyOfMft("attrlist.img", 100), {"--format=bodyfile", "-i", "70"});
    auto lines = [](const std::string& out) { return std::count(out.begin(), out.end(), '\n'); };
    // Each extension record of record 70 holds eight of its 200 names, each
    // a line of its own and one of its $FILE_NAME times.
    EXPECT_EQ(lines(m.out) + 4 * 8 * 2, lines(whole.out));
    for (uint64_t r : {71, 72, 73, 74}) {
        m = RunOn("extension as base", copy, {"-i", std::to_string(r)});
        EXPECT_NE(m.err.find("not a base record"), std::string::npos) << r;
    }
}

}  // namespace
