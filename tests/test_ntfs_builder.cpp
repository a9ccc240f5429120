// Checks that the test-side NTFS builder writes real NTFS: byte-level checks
// of the encoders, and whole volumes read back by The Sleuth Kit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/ntfs_builder.h"
#include "support/run_binary.h"

using namespace ntfsb;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
    Bytes out;
    for (int x : v) out.push_back(uint8_t(x));
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = uint8_t(x >> 16);
    }
    return out;
}

struct ToolOut {
    int status = -1;
    std::string out;
};

ToolOut Shell(const std::string& cmd) {
    ToolOut r;
    FILE* f = popen((cmd + " 2>&1").c_str(), "r");
    if (!f) return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.out.append(buf, n);
    r.status = pclose(f);
    return r;
}

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

#define REQUIRE_TSK()                                                                  \
    do {                                                                               \
        if (!HaveTool("fls") || !HaveTool("istat") || !HaveTool("icat") ||            \
            !HaveTool("fsstat") || !HaveTool("blkstat"))                               \
            GTEST_SKIP() << "The Sleuth Kit (fls, istat, icat) is not installed; "    \
                            "apt-get install sleuthkit";                               \
    } while (0)

bool HaveNtfs3g() { return HaveTool("ntfsls") && HaveTool("ntfscat"); }

std::string Q(const std::string& s) { return "'" + s + "'"; }

// Builds `d` into a file under the build tree; fails the test on error.
std::string Build(const VolumeDesc& d, const std::string& name, VolumeLayout* layout = nullptr) {
    std::string path = MakeTestDir("ntfs-builder") + "/" + name + ".img";
    std::string error;
    Bytes img = BuildVolume(d, layout, &error);
    EXPECT_FALSE(img.empty()) << error;
    EXPECT_TRUE(WriteBytes(path, img));
    return path;
}

std::string Fls(const std::string& img) { return Shell("fls -r -p " + Q(img)).out; }
std::string Istat(const std::string& img, const std::string& addr) {
    return Shell("istat " + Q(img) + " " + addr).out;
}
std::string Icat(const std::string& img, const std::string& addr) {
    return Shell("icat " + Q(img) + " " + addr).out;
}

bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Compares tool output with expected bytes without dumping binary on failure.
testing::AssertionResult SameBytes(const std::string& got, const Bytes& want) {
    if (got.size() != want.size())
        return testing::AssertionFailure() << "size " << got.size() << ", expected " << want.size()
                                           << "; starts: " << got.substr(0, 120);
    for (size_t i = 0; i < got.size(); ++i)
        if (uint8_t(got[i]) != want[i])
            return testing::AssertionFailure() << "first difference at byte " << i;
    return testing::AssertionSuccess();
}

// First cluster of a non-resident $DATA as istat lists it (the line after the header).
uint64_t FirstCluster(const std::string& img, const std::string& addr) {
    std::string st = Istat(img, addr);
    size_t at = st.find("Non-Resident");
    if (at == std::string::npos) return 0;
    at = st.find('\n', at);
    return at == std::string::npos ? 0 : std::strtoull(st.c_str() + at + 1, nullptr, 10);
}

FileDesc File(const std::string& name, const Bytes& data, bool nonResident = false) {
    FileDesc f;
    f.name = name;
    f.data = data;
    f.nonResident = nonResident;
    return f;
}

// The usual mix of files used by several volumes below.
void AddMix(VolumeDesc& d) {
    FileDesc dir;
    dir.name = "docs";
    dir.directory = true;
    dir.record = 20;
    d.files.push_back(dir);                                          // 20 docs/
    FileDesc hello = File("hello.txt", Text("Hello, NTFS\n"));
    hello.record = 21;
    hello.links.push_back(LinkDesc{20, "hello-link.txt", kNameWin32AndDos});
    d.files.push_back(hello);                                        // 21 hello.txt
    FileDesc big = File("big.bin", Pattern(10000, 1), true);
    big.parent = 20;
    big.record = 22;
    d.files.push_back(big);                                          // 22 docs/big.bin
    FileDesc ads = File("ads.txt", Text("main"));
    ads.record = 23;
    ads.streams.push_back(StreamDesc{"secret", Text("hidden stream\n"), false});
    ads.streams.push_back(StreamDesc{"bigstream", Pattern(5000, 2), true});
    d.files.push_back(ads);                                          // 23 ads.txt
    FileDesc gone = File("gone.txt", Text("erased bytes\n"));
    gone.record = 24;
    gone.inUse = false;
    gone.sequence = 2;
    d.files.push_back(gone);                                         // 24 gone.txt (erased)
    FileDesc cross = File("cross.bin", Pattern(600, 3));
    cross.record = 25;
    d.files.push_back(cross);                                        // 25 cross.bin (resident)
    FileDesc erasedBig = File("erased-big.bin", Pattern(9000, 4), true);
    erasedBig.record = 26;
    erasedBig.inUse = false;
    d.files.push_back(erasedBig);                                    // 26 erased, non-resident
}

void CheckMix(const std::string& img) {
    std::string fls = Fls(img);
    EXPECT_TRUE(Has(fls, "d/d 20-144-")) << fls;
    EXPECT_TRUE(Has(fls, ":\tdocs\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 21-128-3:\thello.txt\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 21-128-3:\tdocs/hello-link.txt\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 22-128-2:\tdocs/big.bin\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 23-128-2:\tads.txt\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 23-128-4:\tads.txt:secret\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 23-128-3:\tads.txt:bigstream\n")) << fls;
    EXPECT_TRUE(Has(fls, "* 24-128-2:\tgone.txt\n")) << fls;
    EXPECT_TRUE(Has(fls, "r/r 4-128-2:\t$AttrDef\n")) << fls;

    EXPECT_EQ(Icat(img, "21"), "Hello, NTFS\n");
    Bytes big = Pattern(10000, 1);
    EXPECT_TRUE(SameBytes(Icat(img, "22"), big));
    EXPECT_EQ(Icat(img, "23-128-4"), "hidden stream\n");
    Bytes bs = Pattern(5000, 2);
    EXPECT_TRUE(SameBytes(Icat(img, "23-128-3"), bs));
    EXPECT_EQ(Icat(img, "24"), "erased bytes\n");

    std::string st = Istat(img, "21");
    EXPECT_TRUE(Has(st, "Allocated File")) << st;
    EXPECT_TRUE(Has(st, "Links: 2")) << st;
    EXPECT_TRUE(Has(st, "Name: hello.txt")) << st;
    EXPECT_TRUE(Has(st, "Name: hello-link.txt")) << st;
    EXPECT_TRUE(Has(st, "Parent MFT Entry: 20")) << st;
    EXPECT_TRUE(Has(st, "Security ID: 256")) << st;
    std::string gone = Istat(img, "24");
    EXPECT_TRUE(Has(gone, "Not Allocated File")) << gone;
    EXPECT_TRUE(Has(gone, "Sequence: 2")) << gone;
    // Resident data across the first stride end (offset 510): fixups undone right.
    Bytes cross = Pattern(600, 3);
    EXPECT_TRUE(SameBytes(Icat(img, "25"), cross));
    // $Bitmap: clusters of a live file are allocated, those of the erased one free.
    uint64_t liveCluster = FirstCluster(img, "22"), freedCluster = FirstCluster(img, "26");
    EXPECT_GT(liveCluster, 0u);
    EXPECT_GT(freedCluster, liveCluster);
    std::string live = Shell("blkstat " + Q(img) + " " + std::to_string(liveCluster)).out;
    EXPECT_TRUE(Has(live, "\nAllocated")) << live;
    std::string freed = Shell("blkstat " + Q(img) + " " + std::to_string(freedCluster)).out;
    EXPECT_TRUE(Has(freed, "Not Allocated")) << freed;
    Bytes er = Pattern(9000, 4);
    EXPECT_TRUE(SameBytes(Icat(img, "26"), er));

    if (!HaveNtfs3g()) return;  // second opinion from ntfs-3g, when installed
    std::string root = Shell("ntfsls -a -s " + Q(img)).out;
    EXPECT_TRUE(Has(root, "hello.txt\n")) << root;
    EXPECT_TRUE(Has(root, "$MFT\n")) << root;
    EXPECT_FALSE(Has(root, "gone.txt")) << root;
    std::string docs = Shell("ntfsls -p /docs " + Q(img)).out;
    EXPECT_TRUE(Has(docs, "big.bin\n")) << docs;
    EXPECT_TRUE(Has(docs, "hello-link.txt\n")) << docs;
    EXPECT_TRUE(SameBytes(Shell("ntfscat " + Q(img) + " /docs/big.bin").out, big));
    EXPECT_EQ(Shell("ntfscat " + Q(img) + " /docs/hello-link.txt").out, "Hello, NTFS\n");
    EXPECT_TRUE(SameBytes(Shell("ntfscat -a 0x80 -n bigstream " + Q(img) + " /ads.txt").out, bs));
    EXPECT_EQ(Shell("ntfscat -a 0x80 -n secret " + Q(img) + " /ads.txt").out, "hidden stream\n");
}

}  // namespace

// ---------------------------------------------------------------- runlists

TEST(NtfsBuilderRunlist, TwoRunsWithNegativeDelta) {
    EXPECT_EQ(EncodeRunlist({{0x5634, 0x18}, {0x5624, 0x30}}),
              B({0x21, 0x18, 0x34, 0x56, 0x11, 0x30, 0xF0, 0x00}));
}

TEST(NtfsBuilderRunlist, SparseRunHasNoOffset) {
    EXPECT_EQ(EncodeRunlist({{kSparse, 0x10}}), B({0x01, 0x10, 0x00}));
    // The delta after a sparse run is relative to the last real run.
    EXPECT_EQ(EncodeRunlist({{100, 8}, {kSparse, 0x10}, {90, 4}}),
              B({0x11, 0x08, 0x64, 0x01, 0x10, 0x11, 0x04, 0xF6, 0x00}));
}

TEST(NtfsBuilderRunlist, LengthUnsignedDeltaSigned) {
    // Length 0x800000 fits 3 unsigned bytes; the same value as an LCN delta
    // needs a 4th byte, or 00 00 80 would read as negative.
    EXPECT_EQ(EncodeRunlist({{0x800000, 0x800000}}),
              B({0x43, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00}));
    RunlistOptions signedLen;
    signedLen.signedLengths = true;
    signedLen.terminator = false;
    EXPECT_EQ(EncodeRunlist({{0x10, 0x80}}, signedLen), B({0x12, 0x80, 0x00, 0x10}));
    EXPECT_EQ(EncodeRunlist({{0x10, 0x80}}), B({0x11, 0x80, 0x10, 0x00}));
}

TEST(NtfsBuilderRunlist, ZeroLcnKeepsOneOffsetByte) {
    EXPECT_EQ(EncodeRunlist({{0, 16}}), B({0x11, 0x10, 0x00, 0x00}));
}

TEST(NtfsBuilderRunlist, MinimalByteCounts) {
    EXPECT_EQ(SignedByteCount(127), 1);
    EXPECT_EQ(SignedByteCount(128), 2);
    EXPECT_EQ(SignedByteCount(-128), 1);
    EXPECT_EQ(SignedByteCount(-129), 2);
    EXPECT_EQ(SignedByteCount(0x7FFFFF), 3);
    EXPECT_EQ(SignedByteCount(0x800000), 4);
    EXPECT_EQ(UnsignedByteCount(0xFF), 1);
    EXPECT_EQ(UnsignedByteCount(0x100), 2);
    EXPECT_EQ(UnsignedByteCount(0x800000), 3);
    EXPECT_EQ(EncodeRunlist({{1000, 1}, {872, 1}}),
              B({0x21, 0x01, 0xE8, 0x03, 0x11, 0x01, 0x80, 0x00}));
}

// ---------------------------------------------------------------- records and fixups

TEST(NtfsBuilderRecord, HeaderFields) {
    MftRecord r;
    r.sequence = 7;
    r.linkCount = 2;
    r.flags = kRecordInUse | kRecordDirectory;
    r.baseRecord = 0x123456789ABCull;
    r.baseSequence = 0x4321;
    r.recordNumber = 0x11223344;
    r.usn = 0xBEEF;
    r.fixups = Fixups::Skip;
    AddResident(r, ResidentAttr{kAttrData, "", 0, {}, 0, Text("abc")});
    Bytes rec = BuildRecord(r);
    ASSERT_EQ(rec.size(), 1024u);
    EXPECT_EQ(std::string(rec.begin(), rec.begin() + 4), "FILE");
    EXPECT_EQ(GetU16(rec, 0x04), 0x30);
    EXPECT_EQ(GetU16(rec, 0x06), 3);
    EXPECT_EQ(GetU16(rec, 0x10), 7);
    EXPECT_EQ(GetU16(rec, 0x12), 2);
    EXPECT_EQ(GetU16(rec, 0x14), 0x38);
    EXPECT_EQ(GetU16(rec, 0x16), 3);
    // One resident attribute of 0x20 bytes, then the 8-byte end marker.
    EXPECT_EQ(GetU32(rec, 0x18), 0x38u + 0x20u + 8u);
    EXPECT_EQ(GetU32(rec, 0x1C), 1024u);
    EXPECT_EQ(GetU64(rec, 0x20), 0x4321123456789ABCull);
    EXPECT_EQ(GetU16(rec, 0x28), 1);  // next attribute id
    EXPECT_EQ(GetU32(rec, 0x2C), 0x11223344u);
    EXPECT_EQ(GetU32(rec, 0x38), kAttrData);
    EXPECT_EQ(GetU32(rec, 0x3C), 0x20u);
    EXPECT_EQ(GetU32(rec, 0x48), 3u);        // value length
    EXPECT_EQ(GetU16(rec, 0x4C), 0x18);      // value offset
    EXPECT_EQ(rec[0x50], 'a');
    EXPECT_EQ(GetU32(rec, 0x58), kAttrEnd);
    EXPECT_EQ(GetU16(rec, 0x30), 0);         // fixups skipped: no USN written

    MftRecord big;
    big.recordSize = 4096;
    Bytes b4 = BuildRecord(big);
    EXPECT_EQ(GetU16(b4, 0x06), 9);
    EXPECT_EQ(GetU16(b4, 0x14), 0x48);
}

TEST(NtfsBuilderRecord, FixupsSaveStrideEnds) {
    MftRecord r;
    r.recordSize = 4096;
    r.usn = 0x1234;
    AddResident(r, ResidentAttr{kAttrData, "", 0, {}, 0, Pattern(3000, 9)});
    Bytes rec = BuildRecord(r);
    ASSERT_EQ(rec.size(), 4096u);
    MftRecord plain = r;
    plain.fixups = Fixups::Skip;
    Bytes raw = BuildRecord(plain);
    EXPECT_EQ(GetU16(rec, 0x30), 0x1234);
    for (size_t i = 1; i <= 8; ++i) {
        size_t end = i * 512 - 2;
        EXPECT_EQ(GetU16(rec, end), 0x1234) << "stride " << i;
        EXPECT_EQ(GetU16(rec, 0x30 + 2 * i), GetU16(raw, end)) << "stride " << i;
        EXPECT_NE(GetU16(raw, end), 0x1234) << "stride " << i;
    }
    // Everything else is unchanged.
    for (size_t i = 0x48; i < 4096; ++i) {
        if (i % 512 < 510) {
            ASSERT_EQ(rec[i], raw[i]) << i;
        }
    }

    MftRecord bad = r;
    bad.corruptStride = 2;
    Bytes broken = BuildRecord(bad);
    EXPECT_NE(GetU16(broken, 3 * 512 - 2), 0x1234);
    EXPECT_EQ(GetU16(broken, 2 * 512 - 2), 0x1234);
    EXPECT_EQ(GetU16(broken, 4 * 512 - 2), 0x1234);
}

TEST(NtfsBuilderRecord, FixupsOnSmallRecordsAndBigSectors) {
    // 256-byte record: count 1, no stride end inside; only the USN is written.
    MftRecord small;
    small.recordSize = 256;
    Bytes s = BuildRecord(small);
    ASSERT_EQ(s.size(), 256u);
    EXPECT_EQ(GetU16(s, 0x06), 1);
    EXPECT_EQ(GetU16(s, 0x30), 1);
    // 1024 bytes: 512-byte strides whatever the sector size, usn at 510 and 1022.
    Bytes rec(1024, 0);
    rec[510] = 0x11;
    rec[511] = 0x22;
    rec[1022] = 0x33;
    rec[1023] = 0x44;
    ApplyFixups(rec, 0x30, 3, 0xA5A5);
    EXPECT_EQ(GetU16(rec, 0x30), 0xA5A5);
    EXPECT_EQ(GetU16(rec, 0x32), 0x2211);
    EXPECT_EQ(GetU16(rec, 0x34), 0x4433);
    EXPECT_EQ(GetU16(rec, 510), 0xA5A5);
    EXPECT_EQ(GetU16(rec, 1022), 0xA5A5);
}

TEST(NtfsBuilderRecord, AttributesLayout) {
    NonResidentAttr nr;
    nr.name = "ab";
    nr.runs = {{0x20, 3}};
    nr.clusterSize = 4096;
    nr.dataSize = 10000;
    Bytes a = EncodeNonResident(nr, 5);
    EXPECT_EQ(a[8], 1);
    EXPECT_EQ(a[9], 2);                       // name length
    EXPECT_EQ(GetU16(a, 0x0A), 0x40);         // name offset
    EXPECT_EQ(GetU16(a, 0x0E), 5);
    EXPECT_EQ(GetU64(a, 0x18), 2u);           // highest VCN
    EXPECT_EQ(GetU16(a, 0x20), 0x48);         // mapping pairs after the name
    EXPECT_EQ(GetU64(a, 0x28), 3u * 4096);
    EXPECT_EQ(GetU64(a, 0x30), 10000u);
    EXPECT_EQ(GetU64(a, 0x38), 10000u);
    EXPECT_EQ(GetU16(a, 0x40), u'a');
    EXPECT_EQ(a[0x48], 0x11);
    EXPECT_EQ(a[0x49], 0x03);
    EXPECT_EQ(a[0x4A], 0x20);
    EXPECT_EQ(GetU32(a, 4), uint32_t(a.size()));
    EXPECT_EQ(a.size() % 8, 0u);

    nr.compressionUnit = 4;
    Bytes c = EncodeNonResident(nr, 0);
    EXPECT_EQ(GetU16(c, 0x0A), 0x48);
    EXPECT_EQ(GetU16(c, 0x22), 4);
    EXPECT_EQ(GetU64(c, 0x40), 3u * 4096);    // compressed size

    Bytes fn = FileNameValue(FileNameInfo{20, 3, 1, 2, 3, 4, 4096, 100, 0x20, 0, kNameWin32, "é.txt"});
    EXPECT_EQ(GetU64(fn, 0), FileRef(20, 3));
    EXPECT_EQ(GetU64(fn, 0x28), 4096u);
    EXPECT_EQ(GetU64(fn, 0x30), 100u);
    EXPECT_EQ(fn[0x40], 5);
    EXPECT_EQ(fn[0x41], kNameWin32);
    EXPECT_EQ(GetU16(fn, 0x42), 0xE9);

    StandardInfo si;
    si.securityId = 0x105;
    Bytes siv = StandardInformationValue(si);
    EXPECT_EQ(siv.size(), 0x48u);
    EXPECT_EQ(GetU32(siv, 0x34), 0x105u);
    si.ntfs3Fields = false;
    EXPECT_EQ(StandardInformationValue(si).size(), 0x30u);

    Bytes vi = VolumeInformationValue(3, 1);
    EXPECT_EQ(vi[8], 3);
    EXPECT_EQ(vi[9], 1);

    Bytes al = AttributeListValue({{kAttrData, {}, "", 0x40, 0x1234567890ull, 7, 3},
                                   {kAttrData, uint16_t(0x28), "x", 0, 1, 1, 0}});
    EXPECT_EQ(GetU32(al, 0), kAttrData);
    EXPECT_EQ(GetU16(al, 4), 0x20);
    EXPECT_EQ(GetU64(al, 8), 0x40u);
    EXPECT_EQ(GetU64(al, 0x10), FileRef(0x1234567890ull, 7));
    EXPECT_EQ(GetU16(al, 0x18), 3);
    EXPECT_EQ(GetU16(al, 0x20 + 4), 0x28);
    EXPECT_EQ(al[0x20 + 6], 1);
    EXPECT_EQ(al[0x20 + 7], 0x1A);
}

TEST(NtfsBuilderRecord, OverflowIsAnError) {
    MftRecord r;
    AddResident(r, ResidentAttr{kAttrData, "", 0, {}, 0, Bytes(1000, 1)});
    std::string error;
    EXPECT_TRUE(BuildRecord(r, &error).empty());
    EXPECT_FALSE(error.empty());
}

// ---------------------------------------------------------------- boot sector

TEST(NtfsBuilderBoot, FieldEncodings) {
    EXPECT_EQ(EncodeSectorsPerCluster(8), 8);
    EXPECT_EQ(EncodeSectorsPerCluster(128), 128);
    EXPECT_EQ(EncodeSectorsPerCluster(256), 0xF8);
    EXPECT_EQ(EncodeSectorsPerCluster(4096), 0xF4);
    EXPECT_EQ(EncodeClustersPerRecord(1024, 4096), 0xF6);
    EXPECT_EQ(EncodeClustersPerRecord(4096, 512), 8);
    EXPECT_EQ(EncodeClustersPerRecord(1024, 1024), 1);

    VolumeDesc d;
    d.geometry.clusterSize = 2u << 20;
    d.extraClusters = 0;
    VolumeLayout l;
    Bytes img = BuildVolume(d, &l);
    ASSERT_FALSE(img.empty());
    EXPECT_EQ(std::string(img.begin() + 3, img.begin() + 11), "NTFS    ");
    EXPECT_EQ(GetU16(img, 0x0B), 512);
    EXPECT_EQ(img[0x0D], 0xF4);
    EXPECT_EQ(img[0x40], 0xF6);
    EXPECT_EQ(GetU64(img, 0x28), l.totalClusters * 4096);
    EXPECT_EQ(img[510], 0x55);
    EXPECT_EQ(img[511], 0xAA);
    EXPECT_EQ(GetU64(img, 0x30), uint64_t(l.mftRuns[0].lcn));
    // The backup sector after the last cluster.
    EXPECT_EQ(img.size(), l.totalClusters * (2u << 20) + 512);
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 512, img.end() - 512));

    d.boot.oemId = "XXXXXXXX";
    d.boot.endSignature = 0;
    d.boot.clustersPerRecord = 0x7F;
    Bytes bad = BuildVolume(d);
    EXPECT_EQ(bad[3], 'X');
    EXPECT_EQ(bad[510], 0);
    EXPECT_EQ(bad[0x40], 0x7F);
}

// ---------------------------------------------------------------- volumes, byte level

TEST(NtfsBuilderVolume, RecordsAndPatches) {
    VolumeDesc d;
    d.files.push_back(File("a.txt", Text("aaa")));
    FileDesc second = File("b.txt", Text("bbb"));
    second.record = 30;
    d.files.push_back(second);
    d.zeroRecords = {12};
    d.garbageRecords = {40};
    MftRecord custom;
    custom.signature = "BAAD";
    custom.recordNumber = 41;
    d.images.push_back(RecordImage{41, BuildRecord(custom)});
    d.recordPatches.push_back(RecordPatch{16, 0x12, B({9, 0}), true});
    d.patches.push_back(Patch{7, B({0x77})});
    VolumeLayout l;
    std::string error;
    Bytes img = BuildVolume(d, &l, &error);
    ASSERT_FALSE(img.empty()) << error;
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[0].record, 16u);
    EXPECT_EQ(l.files[1].record, 30u);
    auto rec = [&](uint64_t n) {
        uint64_t off = RecordOffset(l, n);
        return Bytes(img.begin() + long(off), img.begin() + long(off + 1024));
    };
    Bytes r16 = rec(16);
    EXPECT_EQ(std::string(r16.begin(), r16.begin() + 4), "FILE");
    EXPECT_EQ(GetU16(r16, 0x12), 9);  // patched link count
    EXPECT_EQ(GetU32(r16, 0x2C), 16u);
    EXPECT_EQ(GetU16(r16, 510), 1);   // fixups still applied after the patch
    Bytes r12 = rec(12);
    EXPECT_EQ(r12, Bytes(1024, 0));
    Bytes r40 = rec(40);
    EXPECT_NE(r40, Bytes(1024, 0));
    Bytes r41 = rec(41);
    EXPECT_EQ(std::string(r41.begin(), r41.begin() + 4), "BAAD");
    Bytes r17 = rec(17);  // unused: formatted, not in use
    EXPECT_EQ(std::string(r17.begin(), r17.begin() + 4), "FILE");
    EXPECT_EQ(GetU16(r17, 0x16), 0);
    EXPECT_EQ(img[7], 0x77);
    // The mirror holds records 0..3.
    uint64_t m = l.mftMirrLcn * l.clusterSize;
    EXPECT_TRUE(std::equal(img.begin() + long(m), img.begin() + long(m + 4096),
                           img.begin() + long(RecordOffset(l, 0))));
}

TEST(NtfsBuilderVolume, ErrorsAreReported) {
    VolumeDesc d;
    d.files.push_back(File("huge.txt", Bytes(2000, 1)));  // resident, does not fit
    std::string error;
    EXPECT_TRUE(BuildVolume(d, nullptr, &error).empty());
    EXPECT_TRUE(Has(error, "do not fit")) << error;

    VolumeDesc g;
    g.geometry.clusterSize = 3000;
    EXPECT_TRUE(BuildVolume(g, nullptr, &error).empty());

    VolumeDesc dup;
    FileDesc a = File("a", {});
    a.record = 20;
    dup.files = {a, a};
    EXPECT_TRUE(BuildVolume(dup, nullptr, &error).empty());
    EXPECT_TRUE(Has(error, "already used")) << error;
}

// ---------------------------------------------------------------- volumes read by TSK

TEST(NtfsBuilderTsk, Sectors512Clusters4k) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.volumeLabel = "BUILDER";
    AddMix(d);
    std::string img = Build(d, "s512-c4k");
    CheckMix(img);
    std::string fs = Shell("fsstat " + Q(img)).out;
    EXPECT_TRUE(Has(fs, "Volume Name: BUILDER")) << fs;
    EXPECT_TRUE(Has(fs, "Version: Windows XP")) << fs;
    EXPECT_TRUE(Has(fs, "Cluster Size: 4096")) << fs;
}

TEST(NtfsBuilderTsk, Sectors4kClusters4k) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.geometry.sectorSize = 4096;
    AddMix(d);
    std::string img = Build(d, "s4k-c4k");
    CheckMix(img);
    std::string fs = Shell("fsstat " + Q(img)).out;
    EXPECT_TRUE(Has(fs, "Sector Size: 4096")) << fs;
}

TEST(NtfsBuilderTsk, Clusters512) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.geometry.clusterSize = 512;
    AddMix(d);
    std::string img = Build(d, "c512");
    CheckMix(img);
    std::string fs = Shell("fsstat " + Q(img)).out;
    EXPECT_TRUE(Has(fs, "Cluster Size: 512")) << fs;
}

TEST(NtfsBuilderTsk, Records4k) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.geometry.recordSize = 4096;
    AddMix(d);
    std::string img = Build(d, "r4k");
    CheckMix(img);
}

TEST(NtfsBuilderTsk, FragmentedMft) {
    REQUIRE_TSK();
    VolumeDesc d;
    // 4 records per cluster: 40 records in three fragments, out of order.
    d.mftRuns = {{2, 4}, {30, 3}, {12, 3}};
    AddMix(d);
    FileDesc late = File("late.txt", Text("in the third fragment\n"));
    late.record = 37;
    d.files.push_back(late);
    VolumeLayout l;
    std::string img = Build(d, "fragmented", &l);
    EXPECT_EQ(l.recordCount, 40u);
    EXPECT_EQ(RecordOffset(l, 37), (14u * 4096) + 1024u);
    CheckMix(img);
    EXPECT_EQ(Icat(img, "37"), "in the third fragment\n");
    std::string st = Istat(img, "0");
    EXPECT_TRUE(Has(st, "2 3 4 5 30 31 32 12 \n13 14 \n")) << st;
}

TEST(NtfsBuilderTsk, MftWithAttributeList) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.mftRuns = {{2, 6}, {40, 4}};
    d.mftSplitVcn = 5;  // the second extent starts inside the first run
    AddMix(d);
    FileDesc far = File("far.txt", Text("beyond the split\n"));
    far.record = 35;
    d.files.push_back(far);
    std::string img = Build(d, "attrlist");
    std::string st = Istat(img, "0");
    EXPECT_TRUE(Has(st, "$ATTRIBUTE_LIST (32-1)")) << st;
    EXPECT_TRUE(Has(st, "2 3 4 5 6 7 40 41 \n42 43 \n")) << st;
    CheckMix(img);
    EXPECT_EQ(Icat(img, "35"), "beyond the split\n");
}

TEST(NtfsBuilderTsk, LargeDirectoryIndex) {
    REQUIRE_TSK();
    VolumeDesc d;
    FileDesc dir;
    dir.name = "many";
    dir.directory = true;
    dir.record = 16;
    d.files.push_back(dir);
    for (int i = 0; i < 600; ++i) {
        FileDesc f = File("file-" + std::to_string(i) + ".txt", Text(std::to_string(i)));
        f.parent = 16;
        d.files.push_back(f);
    }
    std::string img = Build(d, "bigdir");
    std::string fls = Fls(img);
    int count = 0;
    for (size_t pos = 0; (pos = fls.find("many/file-", pos)) != std::string::npos; ++pos) ++count;
    EXPECT_EQ(count, 600) << fls.substr(0, 2000);
    EXPECT_TRUE(Has(fls, "r/r 17-128-2:\tmany/file-0.txt\n"));
    EXPECT_TRUE(Has(fls, "r/r 616-128-2:\tmany/file-599.txt\n"));
    std::string st = Istat(img, "16");
    EXPECT_TRUE(Has(st, "$INDEX_ALLOCATION")) << st;
}

TEST(NtfsBuilderTsk, SecureStreamResidentAndNot) {
    REQUIRE_TSK();
    for (bool nonResident : {false, true}) {
        VolumeDesc d;
        d.sds = Pattern(nonResident ? 9000 : 300, 5);
        d.sdsNonResident = nonResident;
        std::string img = Build(d, nonResident ? "sds-nr" : "sds-res");
        EXPECT_TRUE(SameBytes(Icat(img, "9-128-2"), d.sds));
        std::string st = Istat(img, "9");
        EXPECT_TRUE(Has(st, std::string("$DATA (128-2)   Name: $SDS   ") +
                                (nonResident ? "Non-Resident" : "Resident")))
            << st;
    }
}

TEST(NtfsBuilderTsk, RecordImageAndBrokenFixups) {
    REQUIRE_TSK();
    // A record from the record-level API, placed as is.
    MftRecord r;
    r.recordNumber = 30;
    r.sequence = 4;
    AddResident(r, ResidentAttr{kAttrStandardInformation, "", 0, {}, 0,
                                StandardInformationValue(StandardInfo{})});
    FileNameInfo fn;
    fn.name = "from-image.txt";
    fn.realSize = 11;
    AddResident(r, ResidentAttr{kAttrFileName, "", 0, {}, 1, FileNameValue(fn)});
    AddResident(r, ResidentAttr{kAttrData, "", 0, {}, 0, Text("image data\n")});
    VolumeDesc d;
    d.images.push_back(RecordImage{30, BuildRecord(r)});
    MftRecord broken = r;
    broken.recordNumber = 31;
    broken.corruptStride = 0;
    d.images.push_back(RecordImage{31, BuildRecord(broken)});
    // A built file whose second stride check is spoilt after the fixups.
    FileDesc f = File("spoilt.txt", Text("x"));
    f.record = 32;
    d.files.push_back(f);
    d.recordPatches.push_back(RecordPatch{32, 1022, B({0xEE, 0xEE}), false});
    std::string img = Build(d, "images");
    EXPECT_EQ(Icat(img, "30"), "image data\n");
    std::string st = Istat(img, "30");
    EXPECT_TRUE(Has(st, "Name: from-image.txt")) << st;
    EXPECT_TRUE(Has(st, "Sequence: 4")) << st;
    ToolOut bad = Shell("istat " + Q(img) + " 31");
    EXPECT_NE(bad.status, 0) << bad.out;
    EXPECT_TRUE(Has(bad.out, "Incorrect update sequence value")) << bad.out;
    ToolOut spoilt = Shell("istat " + Q(img) + " 32");
    EXPECT_NE(spoilt.status, 0) << spoilt.out;
}

TEST(NtfsBuilderTsk, DosNameAndVersion30) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.versionMinor = 0;
    FileDesc f = File("Long File Name.txt", Text("long\n"));
    f.nameSpace = kNameWin32;
    f.links.push_back(LinkDesc{kRootRecord, "LONGFI~1.TXT", kNameDos});
    d.files.push_back(f);
    std::string img = Build(d, "dosname");
    std::string st = Istat(img, "16");
    EXPECT_TRUE(Has(st, "Name: Long File Name.txt")) << st;
    EXPECT_TRUE(Has(st, "Name: LONGFI~1.TXT")) << st;
    EXPECT_TRUE(Has(st, "Links: 1")) << st;  // the DOS name is no extra link
    EXPECT_TRUE(Has(Fls(img), ":\tLong File Name.txt\n"));
    EXPECT_TRUE(Has(Shell("fsstat " + Q(img)).out, "Version: Windows 2000"));
}

TEST(NtfsBuilderTsk, UnsignedRunLengths) {
    REQUIRE_TSK();
    // 128 clusters: one length byte 0x80 when unsigned, 80 00 when kept signed.
    for (bool signedLengths : {true, false}) {
        VolumeDesc d;
        d.signedRunLengths = signedLengths;
        FileDesc f = File("c128.bin", Pattern(128 * 4096, 6), true);
        d.files.push_back(f);
        VolumeLayout l;
        std::string img = Build(d, signedLengths ? "len-signed" : "len-unsigned", &l);
        EXPECT_TRUE(SameBytes(Icat(img, "16"), f.data));
        Bytes all = Text(Shell("cat " + Q(img)).out);
        uint64_t off = RecordOffset(l, 16);
        Bytes rec(all.begin() + long(off), all.begin() + long(off + 1024));
        // The $DATA attribute follows SI (0x60) and FN (0x18 + 0x58) at 0x38.
        size_t data = 0x38 + 0x60 + 0x70;
        ASSERT_EQ(GetU32(rec, data), kAttrData);
        size_t mp = data + GetU16(rec, data + 0x20);
        if (signedLengths) {
            EXPECT_EQ(rec[mp], 0x12);  // 2 length bytes, 1 LCN byte
            EXPECT_EQ(rec[mp + 1], 0x80);
            EXPECT_EQ(rec[mp + 2], 0x00);
        } else {
            EXPECT_EQ(rec[mp], 0x11);
            EXPECT_EQ(rec[mp + 1], 0x80);
        }
    }
}

TEST(NtfsBuilderNtfs3g, ClustersAbove64k) {
    // TSK 4.11 does not open clusters above 64 KiB; ntfs-3g does.
    if (!HaveNtfs3g()) GTEST_SKIP() << "ntfs-3g tools (ntfsls, ntfscat) are not installed";
    for (uint32_t cs : {128u << 10, 2u << 20}) {
        VolumeDesc d;
        d.geometry.clusterSize = cs;
        d.extraClusters = 1;
        FileDesc f = File("data.bin", Pattern(300000, 7), true);
        d.files.push_back(f);
        d.files.push_back(File("note.txt", Text("note\n")));
        std::string img = Build(d, "big-cluster-" + std::to_string(cs));
        std::string ls = Shell("ntfsls " + Q(img)).out;
        EXPECT_TRUE(Has(ls, "data.bin\n")) << ls;
        EXPECT_TRUE(Has(ls, "note.txt\n")) << ls;
        EXPECT_TRUE(SameBytes(Shell("ntfscat " + Q(img) + " /data.bin").out, f.data));
        std::string info = Shell("ntfsinfo -m " + Q(img)).out;
        EXPECT_TRUE(Has(info, "Cluster Size: " + std::to_string(cs))) << info;
    }
}

TEST(NtfsBuilderTsk, NoVolumeInformation) {
    REQUIRE_TSK();
    VolumeDesc d;
    d.volumeInformation = false;
    std::string img = Build(d, "novolinfo");
    ToolOut r = Shell("fsstat " + Q(img));
    EXPECT_NE(r.status, 0) << r.out;
}

TEST(NtfsBuilderScale, HundredThousandRecordsStreamed) {
    VolumeDesc d;
    d.files.reserve(100000);
    for (int i = 0; i < 100000; ++i) {
        // Appended, not "f" + std::to_string(i): GCC 12 at -O3 inlines that
        // operator+ into a copy it wrongly takes for an overlap (-Wrestrict).
        std::string name(1, 'f');
        name += std::to_string(i);
        d.files.push_back(File(name, Text("x")));
    }
    std::string path = MakeTestDir("ntfs-builder") + "/scale.img";
    VolumeLayout l;
    std::string error;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteVolume(d, path, &l, &error)) << error;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 60.0);
    std::printf("100000 records written in %.2f s\n", secs);
    EXPECT_GE(l.recordCount, 100016u);
    if (HaveTool("istat")) {
        std::string st = Istat(path, "100015");
        EXPECT_TRUE(Has(st, "Name: f99999")) << st;
    }
    std::remove(path.c_str());
}
