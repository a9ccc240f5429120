// Whole walks of volumes written byte by byte: records that ntfs-3g does not
// make (attribute lists on demand, extension records of other files, damaged
// fixups and attributes), and the bounds of the walk.
// Designated initializers name only the fields a case sets; the rest keep
// the builder's defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/ntfs_builder.h"
#include "support/run_binary.h"

namespace {

using namespace ntfsb;

struct Walked {
    RunResult run;
    std::string trace;
    VolumeLayout layout;
};

Walked BuildAndWalk(const VolumeDesc& d, std::vector<std::string> extra = {}) {
    Walked w;
    std::string dir = MakeTestDir("built");
    std::string img = dir + "/volume.img";
    std::string error;
    EXPECT_TRUE(WriteVolume(d, img, &w.layout, &error)) << error;
    std::vector<std::string> args = {"-d", dir + "/trace.txt", "-f", img};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("C");
    w.run = RunVolscanBinary(args);
    w.trace = ReadFile(dir + "/trace.txt");
    return w;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// The Entry dump that follows the walk's reading of base record n.
std::string DumpOf(const std::string& trace, uint64_t n) {
    std::string look = "\nLooking for base record #" + std::to_string(n) + "\n";
    size_t at = trace.rfind(look);
    if (at == std::string::npos) return "";
    size_t dump = trace.find("Base record number : " + std::to_string(n) + "\n", at);
    if (dump == std::string::npos) return "";
    size_t end = trace.find("\n\n", dump);
    return trace.substr(dump, end == std::string::npos ? std::string::npos : end + 1 - dump);
}


MftRecord ExtensionOf(uint32_t number, uint64_t base, uint16_t baseSequence) {
    MftRecord r;
    r.recordNumber = number;
    r.baseRecord = base;
    r.baseSequence = baseSequence;
    return r;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(BuiltVolume, AttributeListReadsEachExtensionRecordOnce) {
    MftRecord base = BaseRecord(30, "listed.txt");
    AddResident(base, {.type = kAttrAttributeList,
                       .value = AttributeListValue({{.type = kAttrStandardInformation, .record = 30, .sequence = 1},
                                                    {.type = kAttrFileName, .record = 30, .sequence = 1},
                                                    {.type = kAttrData, .record = 31, .sequence = 1},
                                                    {.type = kAttrData, .name = "s1", .record = 31, .sequence = 1},
                                                    {.type = kAttrData, .name = "s2", .record = 31, .sequence = 1}})});
    MftRecord ext = ExtensionOf(31, 30, 1);
    AddResident(ext, {.type = kAttrData, .value = Bytes("abc")});
    AddResident(ext, {.type = kAttrData, .name = "s1", .value = Bytes("one")});
    AddResident(ext, {.type = kAttrData, .name = "s2", .value = Bytes("two")});
    VolumeDesc d;
    d.minRecordCount = 64;  // the walk ends on an unused record, not on 31
    d.images = {{30, BuildRecord(base)}, {31, BuildRecord(ext)}};
    Walked w = BuildAndWalk(d);
    // Nothing goes wrong but the walk's own visit of record 31 (below).
    EXPECT_EQ(1u, Count(ReadDiagnostics(w.run.err), "\n\n")) << w.run.err;
    EXPECT_EQ(1u, Count(w.trace, "Looking for extended record #31\n"));
    std::string dump = DumpOf(w.trace, 30);
    EXPECT_NE(std::string::npos, dump.find(" Number of attributes : 6\n")) << dump;
    EXPECT_NE(std::string::npos, dump.find("   Name: s2\n")) << dump;
    // Record 31 walked as a base record of its own is refused.
    EXPECT_NE(std::string::npos,
              w.run.err.find("not a base record (base #30) - Requested record #31"));
    EXPECT_NE(std::string::npos, w.trace.find("Extended record detected\n"));
}

TEST(BuiltVolume, ExtensionRecordOfAnotherFileEndsTheListWalk) {
    MftRecord base = BaseRecord(32, "mixed.txt");
    AddResident(base, {.type = kAttrAttributeList,
                       .value = AttributeListValue({{.type = kAttrData, .record = 33, .sequence = 1},
                                                    {.type = kAttrData, .name = "x", .record = 34, .sequence = 1}})});
    MftRecord stranger = ExtensionOf(33, 40, 1);
    AddResident(stranger, {.type = kAttrData, .value = Bytes("not mine")});
    MftRecord ext = ExtensionOf(34, 32, 1);
    AddResident(ext, {.type = kAttrData, .name = "x", .value = Bytes("x")});
    VolumeDesc d;
    d.images = {{32, BuildRecord(base)}, {33, BuildRecord(stranger)}, {34, BuildRecord(ext)}};
    Walked w = BuildAndWalk(d);
    EXPECT_NE(std::string::npos,
              w.run.err.find("wrong parent file reference 40-1 (32-1 expected) - Requested record #33"))
        << w.run.err;
    // The file is still delivered, with its base record's attributes only.
    std::string dump = DumpOf(w.trace, 32);
    EXPECT_NE(std::string::npos, dump.find(" Number of attributes : 3\n")) << dump;
    EXPECT_EQ(0u, Count(w.trace, "Looking for extended record #34\n"));
}

TEST(BuiltVolume, ErasedRecordKeepsAllItsAttributes) {
    VolumeDesc d;
    FileDesc f;
    f.name = "gone.txt";
    f.inUse = false;
    f.data = Bytes("deleted data");
    f.streams = {{.name = "ads", .data = Bytes("stream")}};
    f.record = 40;
    d.files = {f};
    Walked w = BuildAndWalk(d);
    EXPECT_EQ("", ReadDiagnostics(w.run.err));
    std::string dump = DumpOf(w.trace, 40);
    EXPECT_NE(std::string::npos, dump.find(" Number of hard links : 0\n")) << dump;
    EXPECT_NE(std::string::npos, dump.find(" Number of attributes : 4\n")) << dump;
    EXPECT_NE(std::string::npos, dump.find("   Name: ads\n")) << dump;

    // In an erased-only run a record in use keeps only its header.
    Walked e = BuildAndWalk(d, {"-e"});
    EXPECT_NE(std::string::npos, DumpOf(e.trace, 5).find(" Number of attributes : 0\n"));
    EXPECT_NE(std::string::npos, DumpOf(e.trace, 40).find(" Number of attributes : 4\n"));
}

TEST(BuiltVolume, FailedFixupsCostOnlyThatRecordAndTheLastDecidesTheStatus) {
    VolumeDesc d;
    d.minRecordCount = 64;
    MftRecord bad = BaseRecord(40, "bad.txt");
    bad.corruptStride = 1;
    // The last record is a file whose report succeeds.
    MftRecord last = BaseRecord(63, "last.txt");
    d.images = {{40, BuildRecord(bad)}, {63, BuildRecord(last)}};
    Walked w = BuildAndWalk(d);
    ASSERT_EQ(64u, w.layout.recordCount);
    EXPECT_NE(std::string::npos, w.run.err.find("bad sector - Update value : 1 sector value :"));
    EXPECT_NE(std::string::npos, w.run.err.find("CheckRecord failure - Record #40"));
    EXPECT_NE(std::string::npos, w.trace.find("Looking for base record #63\n"));
    EXPECT_EQ(0, w.run.exitStatus) << w.run.err;

    last.corruptStride = 0;
    d.images[1] = {63, BuildRecord(last)};
    Walked l = BuildAndWalk(d);
    EXPECT_NE(std::string::npos, l.run.err.find("CheckRecord failure - Record #63"));
    EXPECT_EQ(2, l.run.exitStatus);
}

TEST(BuiltVolume, DamagedAttributeRecordsStopTheirRecordOnly) {
    VolumeDesc d;
    d.minRecordCount = 64;
    MftRecord zero = BaseRecord(41, "zero-length.txt");
    std::vector<uint8_t> raw(24, 0);
    PutU32(raw, 0, kAttrData);  // length 0: would never advance
    AddRawAttribute(zero, raw);
    MftRecord past = BaseRecord(42, "value-outside.txt");
    std::vector<uint8_t> value = EncodeResident({.type = kAttrData, .value = Bytes("abcd")}, 3);
    PutU32(value, 0x10, 0x10000);  // value length beyond the attribute record
    AddRawAttribute(past, value);
    MftRecord pairs = BaseRecord(43, "pairs-outside.txt");
    NonResidentAttr nr;
    nr.runs = {{100, 4}};
    nr.highestVcn = 1000;  // more VCNs than the mapping pairs hold
    AddNonResident(pairs, nr);
    d.images = {{41, BuildRecord(zero)}, {42, BuildRecord(past)}, {43, BuildRecord(pairs)}};
    Walked w = BuildAndWalk(d, {"-i", "41"});
    EXPECT_NE(std::string::npos, w.run.err.find("bad attribute length 0")) << w.run.err;
    EXPECT_EQ(2, w.run.exitStatus);
    Walked v = BuildAndWalk(d, {"-i", "42"});
    EXPECT_NE(std::string::npos, v.run.err.find("value (offset 0x18, 65536 bytes) outside")) << v.run.err;
    Walked p = BuildAndWalk(d, {"-i", "43"});
    EXPECT_NE(std::string::npos, p.run.err.find("mapping pairs end before Vcn 0x4")) << p.run.err;
    EXPECT_EQ(0, p.run.exitStatus);  // the record itself is read, its runlist is short
    Walked all = BuildAndWalk(d);
    EXPECT_NE(std::string::npos, all.trace.find("Looking for base record #63\n"));
}

TEST(BuiltVolume, MftWithAnAttributeListWalksToItsLastRecord) {
    VolumeDesc d;
    d.minRecordCount = 200;
    d.mftRuns = {{40, 20}, {80, 30}};  // 50 clusters, 200 records of 1 KiB
    d.mftSplitVcn = 20;
    Walked w = BuildAndWalk(d);
    ASSERT_EQ(200u, w.layout.recordCount);
    // Record 15, the $MFT's extension, is refused only as a base record of its own.
    const std::string reads = ReadDiagnostics(w.run.err);
    EXPECT_EQ(1u, Count(reads, "\n\n")) << reads;
    EXPECT_NE(std::string::npos, reads.find("not a base record (base #0) - Requested record #15"));
    size_t open = w.trace.find("Looking for extended record #15\n");
    EXPECT_LT(open, w.trace.find("Looking for base record #3\n"));
    EXPECT_NE(std::string::npos, w.trace.find("Looking for base record #199\n"));
    EXPECT_EQ(std::string::npos, w.trace.find("Looking for base record #200\n"));
    EXPECT_EQ(std::string::npos, w.run.err.find("not found in runlist")) << w.run.err;
}

TEST(BuiltVolume, MftSizeBeyondTheVolumeBoundsTheWalk) {
    VolumeDesc d;
    VolumeLayout layout;
    std::vector<uint8_t> img = BuildVolume(d, &layout);
    ASSERT_FALSE(img.empty());
    // The data size of record 0's $DATA: 2^50 bytes, far beyond the volume.
    const uint64_t rec = RecordOffset(layout, 0);
    uint64_t at = rec + GetU16(img, rec + 0x14);
    while (GetU32(img, at) != kAttrData && GetU32(img, at) != kAttrEnd) at += GetU32(img, at + 4);
    ASSERT_EQ(kAttrData, GetU32(img, at));
    PutU64(img, at + 0x30, 1ull << 50);
    std::string dir = MakeTestDir("huge-mft");
    ASSERT_TRUE(WriteBytes(dir + "/volume.img", img));
    RunResult r = RunVolscanBinary({"-d", dir + "/trace.txt", "-f", dir + "/volume.img", "C"});
    EXPECT_NE(std::string::npos, r.err.find("$MFT data size 0x4000000000000 beyond its runlist"));
    std::string trace = ReadFile(dir + "/trace.txt");
    const std::string last = "Looking for base record #" + std::to_string(layout.recordCount - 1) + "\n";
    const std::string past = "Looking for base record #" + std::to_string(layout.recordCount) + "\n";
    EXPECT_NE(std::string::npos, trace.find(last));
    EXPECT_EQ(std::string::npos, trace.find(past));
}

TEST(BuiltVolume, VersionFromVolumeInformation) {
    VolumeDesc d;
    d.volumeInformation = false;
    Walked w = BuildAndWalk(d);
    EXPECT_NE(std::string::npos,
              w.run.err.find("InitVolume : attribute 0x70 from base record 3 not found, setting "
                             "MajorVersion=1"));
    EXPECT_NE(std::string::npos, w.trace.find("Filesystem major version : 1\n"));
    EXPECT_EQ(1u, Count(w.trace, "Looking for base record #9\n"));  // the walk's, not the open's
    EXPECT_EQ(1u, Count(ReadDiagnostics(w.run.err), "\n\n")) << w.run.err;  // that warning alone

    VolumeDesc old;
    old.versionMajor = 1;
    old.versionMinor = 2;
    Walked o = BuildAndWalk(old);
    EXPECT_NE(std::string::npos, o.trace.find("Filesystem major version : 1\n"));
    EXPECT_EQ(1u, Count(o.trace, "Looking for base record #9\n"));
    EXPECT_EQ("", ReadDiagnostics(o.run.err));

    VolumeDesc v3;
    Walked n = BuildAndWalk(v3);
    EXPECT_NE(std::string::npos, n.trace.find("Filesystem major version : 3\n"));
    EXPECT_EQ(2u, Count(n.trace, "Looking for base record #9\n"));
}

TEST(BuiltVolume, FourKilobyteSectorsAndRecords) {
    VolumeDesc d;
    d.geometry.sectorSize = 4096;
    d.geometry.recordSize = 4096;
    FileDesc f;
    f.name = "big-record.txt";
    f.data = Bytes("in a 4 KiB record");
    d.files = {f};
    Walked w = BuildAndWalk(d);
    EXPECT_EQ("", ReadDiagnostics(w.run.err));
    EXPECT_NE(std::string::npos, w.trace.find("SectorSize: 0x1000, ClusterSize: 0x1000, MftRecordSize: 0x1000"));
}

// Memory stays flat as the record count grows: the walk keeps one Entry.
TEST(BuiltVolume, MemoryIsFlatOverAHundredThousandRecords) {
    long rss[2] = {0, 0};
    std::string errs[2];
    const uint64_t counts[2] = {10000, 100000};
    for (int i = 0; i < 2; i++) {
        VolumeDesc d;
        d.minRecordCount = counts[i];
        std::string dir = MakeTestDir("flat");
        std::string img = dir + "/volume.img";
        VolumeLayout layout;
        std::string error;
        ASSERT_TRUE(WriteVolume(d, img, &layout, &error)) << error;
        // Under AddressSanitizer freed blocks wait in a quarantine that
        // grows with the frees; without it the peak is the tool's own.  The
        // report and its diagnostics go to files: a forked child starts with
        // this process's pages, which must stay small for the figure to be
        // the tool's.
        RunResult r = RunVolscanBinary({"-o", dir + "/out.txt", "-x", dir + "/err.txt", "-f", img, "C"},
                                       "", {"ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=0"});
        // 2: the last record, never used, has no name to report.
        ASSERT_TRUE(r.exitStatus == 0 || r.exitStatus == 2) << r.exitStatus;
        rss[i] = r.maxRssKb;
        errs[i] = dir + "/err.txt";
        unlink(img.c_str());
    }
    for (const std::string& err : errs) EXPECT_EQ("", ReadDiagnostics(ReadFile(err)).substr(0, 2000));
    EXPECT_LT(rss[1], rss[0] + 8192) << "peak KiB at 10,000 records " << rss[0] << ", at 100,000 " << rss[1];
}

}  // namespace

// Paths of many files below the same directories are rebuilt from what the
// walk of their parent wrote, except while a trace is written: the reports
// and diagnostics must be the same either way, with -n too.  Among the
// files: one below a record that is not a file (its walk writes a message
// for every file below it), one below a circle of directories, and one
// whose parent's path is at the walk's depth bound.
TEST(BuiltVolume, ParentPathsRebuiltOrRemembered) {
    VolumeDesc d;
    d.minRecordCount = 128;
    auto add = [&](uint64_t record, const std::string& name, uint64_t parent, bool dir) {
        FileDesc f;
        f.record = record;
        f.name = name;
        f.parent = parent;
        f.directory = dir;
        d.files.push_back(f);
    };
    add(40, "d", kRootRecord, true);
    add(41, "e", 40, true);
    for (uint64_t k = 42; k < 48; k++) add(k, "f" + std::to_string(k) + ".txt", 41, false);
    d.garbageRecords = {55};
    for (uint64_t k = 51; k < 54; k++) add(k, "lost" + std::to_string(k), 55, false);
    add(60, "c1", 61, true);
    add(61, "c2", 60, true);
    add(62, "in-circle", 61, false);
    add(63, "g", 41, true);
    add(64, "after-g", 63, false);
    add(65, "f65", 41, false);
    std::string dir = MakeTestDir("memo");
    std::string img = dir + "/volume.img";
    VolumeLayout layout;
    std::string error;
    ASSERT_TRUE(WriteVolume(d, img, &layout, &error)) << error;
    for (const std::vector<std::string>& mode : std::vector<std::vector<std::string>>{{}, {"-n"}, {"-v"}}) {
        std::vector<std::string> plain = mode;
        plain.insert(plain.end(), {"-f", img, "C"});
        std::vector<std::string> traced = mode;
        traced.insert(traced.end(), {"-d", dir + "/trace.txt", "-f", img, "C"});
        unlink((dir + "/trace.txt").c_str());
        const RunResult a = RunVolscanBinary(plain);
        const RunResult b = RunVolscanBinary(traced);
        // From record 0 on: the run header has the clock.
        auto body = [](const std::string& s) {
            size_t at = s.find("\n0|");
            if (at == std::string::npos) at = s.find("\nMFT record number : 0\n");
            return at == std::string::npos ? std::string("no record 0") : s.substr(at);
        };
        EXPECT_EQ(b.exitStatus, a.exitStatus);
        EXPECT_EQ(body(b.out), body(a.out)) << (mode.empty() ? "" : mode[0]);
        EXPECT_EQ(ReadDiagnostics(b.err), ReadDiagnostics(a.err));
        if (!mode.empty() && mode[0] == "-v") continue;
        EXPECT_NE(std::string::npos, a.out.find("\n47|C:\\d\\e\\f47.txt|")) << a.out;
        EXPECT_NE(std::string::npos, a.out.find("\n64|C:\\d\\e\\g\\after-g|")) << a.out;
        // One message for each file below record 55 (and the walk's own
        // visit of it), none remembered.
        EXPECT_EQ(4u, Count(a.err, "CheckRecord failure - Record #55")) << a.err;
        EXPECT_EQ(3u, Count(a.err, "already on the path")) << a.err;
    }
}

// The record reader keeps blocks of the $MFT: with 512-byte clusters and
// fragments of odd lengths, records straddle fragments and blocks, parents
// lie in later fragments than their files.  Every record must come out
// whole and right.
TEST(BuiltVolume, FragmentedMftOfSmallClustersReadThroughItsBlocks) {
    VolumeDesc d;
    d.geometry.clusterSize = 512;
    d.geometry.indexRecordSize = 4096;
    d.mftRuns = {{2000, 3}, {1000, 5}, {1600, 7}, {1200, 1}, {1400, 9}, {1800, 31}};
    FileDesc top;
    top.name = "top";
    top.directory = true;
    top.record = 27;
    d.files.push_back(top);
    for (uint64_t k = 16; k < 27; k++) {
        FileDesc f;
        f.record = k;
        f.name = "file" + std::to_string(k);
        f.parent = 27;
        f.data = std::vector<uint8_t>(k, static_cast<uint8_t>('a' + k % 26));
        d.files.push_back(f);
    }
    std::string dir = MakeTestDir("fragments");
    std::string img = dir + "/volume.img";
    VolumeLayout layout;
    std::string error;
    ASSERT_TRUE(WriteVolume(d, img, &layout, &error)) << error;
    ASSERT_EQ(28u, layout.recordCount);
    const RunResult r = RunVolscanBinary({"-m", "-f", img, "C"});
    EXPECT_EQ(0, r.exitStatus) << r.err;
    for (uint64_t k = 16; k < 27; k++)
        EXPECT_NE(std::string::npos,
                  r.out.find("\n" + std::to_string(k) + "|C:\\top\\file" + std::to_string(k) + "|"))
            << k << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\n27|C:\\top\\|")) << r.out;

    // Record 1 is the last cluster of the first fragment and the first of
    // the second; record 7 ends in the fragment of one cluster.
    EXPECT_NE(std::string::npos, r.out.find("\n1|C:\\$MFTMirr|")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\n7|C:\\$Boot|")) << r.out;
}
