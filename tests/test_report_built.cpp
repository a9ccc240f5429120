// The report lines of volumes written byte by byte: paths rebuilt through
// reused, non-directory and circular parents, hard links, named streams, MD5
// digests (streams that cannot be read included) and the record selections.
// Designated initializers name only the fields a case sets; the rest keep
// the builder's defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gmock/gmock.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/zero_chain.h"
#include "support/ntfs_builder.h"
#include "support/run_binary.h"

namespace {

using namespace ntfsb;

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kTime = "01/01/2020 00:00:00.0000000";  // kDefaultTime as written

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(i * 7 + i / 251);
    return out;
}

std::string HexOf(const unsigned char digest[16]) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < 16; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string Md5Hex(const std::vector<uint8_t>& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr));
    return HexOf(digest);
}

// The descriptor every built file names (security id 0x100): owner
// S-1-5-18, group S-1-5-32-544, no ACLs; the line's four security fields.
const std::string kSecurity = "S-1-5-18|S-1-5-32-544|N|N|";

// A volume whose $Secure:$SDS holds that descriptor, so that the reports
// carry no diagnostics of their own.
VolumeDesc NewVolume() {
    const std::vector<uint8_t> sd = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                     1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
                                     1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    VolumeDesc d;
    PutU32(d.sds, 4, 0x100);                    // id
    PutU64(d.sds, 8, 0);                        // offset of the entry in the stream
    PutU32(d.sds, 16, uint32_t(20 + sd.size()));  // entry length
    PutBytes(d.sds, 20, sd);
    return d;
}

struct Scanned {
    RunResult run;
    std::string trace;
};

Scanned Scan(const VolumeDesc& d, const std::vector<std::string>& extra,
             const std::vector<std::string>& env = {}) {
    Scanned s;
    std::string dir = MakeTestDir("report");
    std::string img = dir + "/volume.img";
    std::string error;
    EXPECT_TRUE(WriteVolume(d, img, nullptr, &error)) << error;
    std::vector<std::string> args = {"-d", dir + "/trace.txt", "-f", img};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("C");
    s.run = RunVolscanBinary(args, "", env);
    s.trace = ReadFile(dir + "/trace.txt");
    return s;
}

// The report line of record `rec` (without its newline); "" when absent.
std::string LineOf(const std::string& out, uint64_t rec) {
    const std::string prefix = std::to_string(rec) + "|";
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        if (out.compare(at, prefix.size(), prefix) == 0) return out.substr(at, end - at);
        at = end + 1;
    }
    return "";
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    size_t at = 0;
    for (size_t bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
        f.push_back(line.substr(at, bar - at));
    f.push_back(line.substr(at));
    return f;
}

// Lines of the report that begin with a record number.
size_t RecordLines(const std::string& out) {
    size_t n = 0;
    for (size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
        if (out[at] >= '0' && out[at] <= '9') n++;
        if (out.find('\n', at) == std::string::npos) break;
    }
    return n;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Offset inside record `rec` of the nth attribute of `type`, read back from
// the volume the builder makes of `d`; *valueOffset gets its resident value's.
uint32_t AttrOffset(const VolumeDesc& d, uint64_t rec, uint32_t type, int nth,
                    uint32_t* valueOffset = nullptr) {
    VolumeLayout layout;
    std::vector<uint8_t> img = BuildVolume(d, &layout);
    const uint64_t base = RecordOffset(layout, rec);
    if (img.empty() || base == UINT64_MAX) return 0;
    for (uint64_t at = base + GetU16(img, base + 0x14); GetU32(img, at) != kAttrEnd;
         at += GetU32(img, at + 4)) {
        if (GetU32(img, at + 4) == 0) break;
        if (GetU32(img, at) == type && nth-- == 0) {
            if (valueOffset) *valueOffset = uint32_t(at - base) + GetU16(img, at + 0x14);
            return uint32_t(at - base);
        }
    }
    return 0;
}

FileDesc Dir(const std::string& name, uint64_t record, uint64_t parent = kRootRecord) {
    FileDesc f;
    f.name = name;
    f.directory = true;
    f.record = record;
    f.parent = parent;
    return f;
}

FileDesc File(const std::string& name, uint64_t record, uint64_t parent, const std::string& data) {
    FileDesc f;
    f.name = name;
    f.record = record;
    f.parent = parent;
    f.data = Bytes(data);
    return f;
}

// A record image holding SI, a $FILE_NAME in the root and the given streams
// in this order (records the volume builder would name-sort).
RecordImage ImageWithStreams(uint32_t number, const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& streams) {
    MftRecord r = BaseRecord(number, name);
    for (const auto& [streamName, value] : streams)
        AddResident(r, {.type = kAttrData, .name = streamName, .value = Bytes(value)});
    return {number, BuildRecord(r)};
}

// ------------------------------------------------------------------ paths

TEST(ReportBuilt, ReusedParentEndsThePathUnlessSequencesAreIgnored) {
    VolumeDesc d = NewVolume();
    FileDesc reused = Dir("NewDir", 21, 20);
    reused.sequence = 2;  // the record of old.txt's directory, since reused
    FileDesc old = File("old.txt", 22, 21, "old");
    old.inUse = false;
    d.files = {Dir("Top", 20), reused, old};
    uint32_t value = 0;
    ASSERT_NE(0u, AttrOffset(d, 22, kAttrFileName, 0, &value));
    // The builder writes the parent's current sequence; old.txt still names the old one.
    d.recordPatches = {{.record = 22, .offset = value + 6, .bytes = {1, 0}}};

    Scanned s = Scan(d, {"-i", "22"});
    std::vector<std::string> f = Fields(LineOf(s.run.out, 22));
    ASSERT_GE(f.size(), 12u) << s.run.out;
    EXPECT_EQ("old.txt", f[1]);
    EXPECT_EQ("0", f[3]);
    EXPECT_EQ("3", f[4]);
    EXPECT_EQ(0, s.run.exitStatus);
    EXPECT_EQ("", s.run.err);
    EXPECT_NE(std::string::npos, s.trace.find("WalkBack: parent #21, unexpected sequence 2 (expected 1)"))
        << s.trace;

    Scanned n = Scan(d, {"-n", "-i", "22"});
    EXPECT_EQ("C:\\Top\\NewDir\\old.txt", Fields(LineOf(n.run.out, 22))[1]);
    EXPECT_EQ(0, n.run.exitStatus);
    EXPECT_EQ(std::string::npos, n.trace.find("unexpected sequence"));
}

TEST(ReportBuilt, ParentThatIsNotADirectoryEndsThePath) {
    VolumeDesc d = NewVolume();
    d.files = {File("plain.txt", 20, kRootRecord, "p"), Dir("Sub", 21, 20),
               File("leaf.txt", 22, 21, "leaf")};
    Scanned s = Scan(d, {"-i", "22"});
    EXPECT_EQ("22|Sub\\leaf.txt||1|4|Ar|" + kTime + "|" + kTime + "|" + kTime + "|" + kTime + "|1|" + kSecurity,
              LineOf(s.run.out, 22));
    EXPECT_EQ(0, s.run.exitStatus);
    EXPECT_EQ("", s.run.err);
    EXPECT_NE(std::string::npos, s.trace.find("WalkBack: expected parent #20 is not a directory"));
}

TEST(ReportBuilt, CircularParentsStopTheWalkWithAnError) {
    VolumeDesc d = NewVolume();
    d.files = {Dir("A", 20, 21), Dir("B", 21, 20), File("f.txt", 22, 20, "f")};
    for (const char* noCheck : {"", "-n"}) {
        std::vector<std::string> args = {"-i", "22"};
        if (*noCheck) args.push_back(noCheck);
        Scanned s = Scan(d, args);
        SCOPED_TRACE(noCheck);
        std::vector<std::string> f = Fields(LineOf(s.run.out, 22));
        ASSERT_GE(f.size(), 12u) << s.run.out;
        EXPECT_EQ("B\\A\\f.txt", f[1]);
        EXPECT_EQ("1", f[3]);
        EXPECT_EQ("1", f[10]);  // the line goes on after the failed walk
        EXPECT_EQ(2, s.run.exitStatus);
        EXPECT_EQ(1u, Count(s.run.err, "ERROR"));
        EXPECT_NE(std::string::npos,
                  s.run.err.find("parent directory #20 already on the path, walk stopped - Base record #22"))
            << s.run.err;
    }
    // The whole walk ends, each member of the circle bounded by itself.
    Scanned all = Scan(d, {});
    EXPECT_EQ("B\\A\\", Fields(LineOf(all.run.out, 20))[1]);
    EXPECT_EQ("A\\B\\", Fields(LineOf(all.run.out, 21))[1]);
    EXPECT_EQ("B\\A\\f.txt", Fields(LineOf(all.run.out, 22))[1]);
    EXPECT_EQ(3u, Count(all.run.err, "already on the path"));
}

// Parent references can chain deeper than any path Windows can name: the
// walk, one call a level, stops at its bound with an error instead of
// running the stack out, and the path begins below the cut.
TEST(ReportBuilt, ParentsDeeperThanAnyPathStopTheWalkAtItsBound) {
    constexpr uint64_t kLevels = 16400;
    VolumeDesc d = NewVolume();
    for (uint64_t k = 0; k < kLevels; k++)
        d.files.push_back(Dir("d", 16 + k, k == 0 ? kRootRecord : 16 + k - 1));
    const uint64_t deepest = 16 + kLevels - 1;
    d.files.push_back(File("f.txt", deepest + 1, deepest, "deep"));
    for (const char* mode : {"", "-v"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args = {"-i", std::to_string(deepest + 1)};
        if (*mode) args.push_back(mode);
        Scanned s = Scan(d, args);
        ASSERT_EQ(2, s.run.exitStatus) << s.run.err.substr(0, 2000);
        EXPECT_EQ(1u, Count(s.run.err, "already on the path, walk stopped"))
            << s.run.err.substr(0, 2000);
        // 16384 records on the trail: the file and 16383 directories, of
        // which the topmost begins the path (no drive: the root is not reached).
        const std::string path = *mode ? s.run.out.substr(s.run.out.find("Full path name : ") + 17)
                                       : Fields(LineOf(s.run.out, deepest + 1))[1];
        EXPECT_EQ(0u, path.rfind("d\\d\\", 0)) << path.substr(0, 40);
        EXPECT_EQ(16383u, Count(path.substr(0, path.find("f.txt")), "d\\"));
        EXPECT_NE(std::string::npos, path.find("\\f.txt"));
    }
}

TEST(ReportBuilt, HardLinksTakeDirectoriesFromTheFirstNameAndTheWin32NameLast) {
    VolumeDesc d = NewVolume();
    FileDesc posix = File("a.txt", 22, 20, "linked");
    posix.nameSpace = kNamePosix;
    posix.links = {{.parent = 21, .name = "b.txt", .nameSpace = kNameWin32},
                   {.parent = 21, .name = "B~1.TXT", .nameSpace = kNameDos}};
    FileDesc both = File("first.txt", 23, 20, "x");
    both.links = {{.parent = 21, .name = "second.txt"}};
    FileDesc counted = File("many.txt", 24, 21, "y");
    counted.linkCount = 7;  // the header's count, whatever names the record holds
    d.files = {Dir("Docs", 20), Dir("Other", 21), posix, both, counted};
    Scanned s = Scan(d, {});
    std::vector<std::string> p = Fields(LineOf(s.run.out, 22));
    ASSERT_GE(p.size(), 12u) << s.run.out;
    EXPECT_EQ("C:\\Docs\\b.txt", p[1]);
    EXPECT_EQ("2", p[3]);  // the DOS name is no link of its own
    std::vector<std::string> b = Fields(LineOf(s.run.out, 23));
    ASSERT_GE(b.size(), 12u);
    EXPECT_EQ("C:\\Docs\\first.txt", b[1]);
    EXPECT_EQ("2", b[3]);
    EXPECT_EQ("7", Fields(LineOf(s.run.out, 24))[3]);
    EXPECT_EQ("C:\\Docs\\", Fields(LineOf(s.run.out, 20))[1]);
    EXPECT_EQ("5|C:\\.\\|", LineOf(s.run.out, 5).substr(0, 8));
}

// ---------------------------------------------------------------- streams

TEST(ReportBuilt, NamedStreamsAreListedInAttributeOrder) {
    VolumeDesc d = NewVolume();
    d.images = {ImageWithStreams(20, "only.bin", {{"only", "12345"}}),
                ImageWithStreams(21, "pipes.txt", {{"", "main"}, {"z|1", "zz"}, {"a|2", "aaa"}})};
    Scanned s = Scan(d, {});
    const std::string times = kTime + "|" + kTime + "|" + kTime + "|" + kTime;
    // No unnamed stream: the size is the named one's, and it is still an alternate stream.
    EXPECT_EQ("20|C:\\only.bin||1|5|Ar|" + times + "|1|" + kSecurity + "only|5|", LineOf(s.run.out, 20));
    EXPECT_EQ("21|C:\\pipes.txt||1|4|Ar|" + times + "|3|" + kSecurity + "z|1|2|a|2|3|", LineOf(s.run.out, 21));
    Scanned v = Scan(d, {"-v", "-i", "21"});
    EXPECT_NE(std::string::npos, v.run.out.find("Data stream size : 4\n")) << v.run.out;
    EXPECT_NE(std::string::npos, v.run.out.find("Number of data stream : 3\n")) << v.run.out;
    EXPECT_NE(std::string::npos, v.run.out.find("No SACL\nAlternate data stream #0 Name: z|1\n Size : 2\n"
                                                "Alternate data stream #1 Name: a|2\n Size : 3\n\n"))
        << v.run.out;
}

// ------------------------------------------------------------------- MD5

TEST(ReportBuilt, Md5CoversEveryDataStreamInAttributeOrder) {
    VolumeDesc d = NewVolume();
    FileDesc big = File("big.bin", 21, kRootRecord, "");
    big.data = Pattern(10000);
    big.nonResident = true;
    FileDesc mixed = File("mixed.bin", 22, kRootRecord, "");
    mixed.data = Pattern(6000);
    mixed.nonResident = true;
    mixed.streams = {{.name = "zz", .data = Bytes("tail")},
                     {.name = "aa", .data = Pattern(5000), .nonResident = true}};
    d.files = {File("small.txt", 20, kRootRecord, "hello"), big, mixed, Dir("Folder", 23)};
    Scanned s = Scan(d, {"-m"});
    EXPECT_EQ("5d41402abc4b2a76b9719d911017c592", Fields(LineOf(s.run.out, 20))[2]);
    EXPECT_EQ(Md5Hex(Pattern(10000)), Fields(LineOf(s.run.out, 21))[2]);
    // The record holds "", "aa", "zz" in that order.
    std::vector<uint8_t> all = Pattern(6000);
    std::vector<uint8_t> aa = Pattern(5000);
    all.insert(all.end(), aa.begin(), aa.end());
    all.insert(all.end(), {'t', 'a', 'i', 'l'});
    std::vector<std::string> m = Fields(LineOf(s.run.out, 22));
    ASSERT_GE(m.size(), 16u) << s.run.out;
    EXPECT_EQ(Md5Hex(all), m[2]);
    EXPECT_EQ("6000", m[4]);
    EXPECT_EQ("3", m[10]);
    EXPECT_EQ(kEmptyMd5, Fields(LineOf(s.run.out, 23))[2]);
    EXPECT_EQ(std::string::npos, s.run.err.find("MD5")) << s.run.err;
    // Without -m the field is there, empty.
    Scanned plain = Scan(d, {"-i", "20"});
    EXPECT_EQ("", Fields(LineOf(plain.run.out, 20))[2]);
}

TEST(ReportBuilt, Md5OfAStreamThatCannotBeReadFailsTheRecordOnly) {
    VolumeDesc d = NewVolume();
    FileDesc compressed = File("packed.bin", 20, kRootRecord, "");
    compressed.data = Pattern(9000);
    compressed.nonResident = true;
    compressed.info.modified = kDefaultTime + 10000000;  // one second on: the columns are told apart
    FileDesc sparse = File("holes.bin", 21, kRootRecord, "abc");
    sparse.streams = {{.name = "s", .data = Pattern(5000), .nonResident = true}};
    d.files = {compressed, sparse};
    const uint32_t packedAt = AttrOffset(d, 20, kAttrData, 0);
    const uint32_t holesAt = AttrOffset(d, 21, kAttrData, 1);
    ASSERT_NE(0u, packedAt);
    ASSERT_NE(0u, holesAt);
    d.recordPatches = {{.record = 20, .offset = packedAt + 0x0C, .bytes = {0x01, 0x00}},
                       {.record = 21, .offset = holesAt + 0x0C, .bytes = {0x01, 0x00}}};

    Scanned c = Scan(d, {"-m", "-i", "20"});
    EXPECT_EQ("20|C:\\packed.bin|" + kEmptyMd5 + "|1|9000|Ar|" + kTime +
                  "|01/01/2020 00:00:01.0000000|" + kTime + "|" + kTime + "|1|" + kSecurity,
              LineOf(c.run.out, 20));
    EXPECT_EQ(2, c.run.exitStatus);
    EXPECT_EQ(1u, Count(c.run.err, "error while processing MD5 - Base record #20")) << c.run.err;

    // What came before the refused stream (compressed in units of one
    // cluster, which Windows never writes) is in the digest.
    Scanned h = Scan(d, {"-m", "-i", "21"});
    std::vector<std::string> f = Fields(LineOf(h.run.out, 21));
    ASSERT_EQ(18u, f.size()) << h.run.out;
    EXPECT_EQ(Md5Hex(Bytes("abc")), f[2]);
    EXPECT_EQ("1", f[3]);
    EXPECT_EQ("3", f[4]);
    EXPECT_EQ(kTime, f[9]);
    EXPECT_EQ("2", f[10]);
    EXPECT_EQ("s", f[15]);
    EXPECT_EQ("5000", f[16]);
    EXPECT_EQ(2, h.run.exitStatus);
    EXPECT_EQ(1u, Count(h.run.err, "error while processing MD5 - Base record #21")) << h.run.err;
    // The formats give no digest for what could not be read.
    EXPECT_EQ(0u, Count(Scan(d, {"--format=csv", "-m", "-i", "21"}).run.out, Md5Hex(Bytes("abc"))));
    EXPECT_EQ(1u, Count(Scan(d, {"--format=jsonl", "-m", "-i", "21"}).run.out, "\"md5\":\"\","));

    // Without -m nothing reads the streams.
    Scanned plain = Scan(d, {"-i", "21"});
    EXPECT_EQ(0, plain.run.exitStatus);
    EXPECT_EQ("", plain.run.err);
}

// EFS streams: no plaintext without the user's keys, so the digest is of the
// stored ciphertext (what icat gives), with one warning for the file, on the
// hashing threads' run too; JSON Lines marks each encrypted stream.
TEST(ReportBuilt, EncryptedStreamsAreDigestedAsStored) {
    VolumeDesc d = NewVolume();
    FileDesc f = File("secret.efs", 20, kRootRecord, "");
    f.data = Pattern(9000);
    f.nonResident = true;
    f.streams = {{.name = "s", .data = Pattern(5000), .nonResident = true}};
    d.files = {f};
    const uint32_t at0 = AttrOffset(d, 20, kAttrData, 0), at1 = AttrOffset(d, 20, kAttrData, 1);
    ASSERT_NE(0u, at0);
    ASSERT_NE(0u, at1);
    d.recordPatches = {{.record = 20, .offset = at0 + 0x0C, .bytes = {0x00, 0x40}},
                       {.record = 20, .offset = at1 + 0x0C, .bytes = {0x00, 0x40}}};
    std::vector<uint8_t> both = Pattern(9000);
    const std::vector<uint8_t> tail = Pattern(5000);
    both.insert(both.end(), tail.begin(), tail.end());
    for (const char* threads : {"--threads=1", "--threads=2"}) {
        Scanned c = Scan(d, {"-m", threads});
        EXPECT_EQ(Md5Hex(both), Fields(LineOf(c.run.out, 20))[2]);
        EXPECT_EQ(1u, Count(c.run.err, "encrypted (EFS) stream, the digest is of its stored "
                                       "ciphertext - Base record #20"));
    }
    EXPECT_EQ(2u, Count(Scan(d, {"--format=jsonl", "-m", "-i", "20"}).run.out, "\"encrypted\":true}"));
}

// $BadClus:$Bad of a 300 MiB volume is 300 MiB of zeros, whose digest takes
// a while; the report of the 20000 files after it outgrows what the threads
// may hold in memory, so it goes on through the spill file, and with
// TMPDIR naming no folder (no spill) it waits in memory.  Files whose
// streams a thread refuses (compressed: hashed again on the main thread)
// and files whose security id is unknown (a diagnostic, held in order) lie
// among them.  Report and diagnostics come out as on one thread.
TEST(ReportBuilt, ALongDigestHoldsTheReportInOrderWhateverTheThreads) {
    VolumeDesc d = NewVolume();
    d.minTotalClusters = (300u << 20) / 4096;
    for (uint64_t k = 0; k < 20000; k++) {
        // Long names: the report outgrows the memory bounds sooner.
        FileDesc f = File(std::to_string(k) + std::string(150, 'n'), 16 + k, kRootRecord, "x");
        if (k % 3 == 0) {
            f.data = Pattern(5000 + k % 97);
            f.nonResident = true;
        }
        if (k % 4001 == 7) f.info.securityId = 0x999;
        d.files.push_back(f);
    }
    // Names of as many digits put $DATA at the same place in their records:
    // found once, on a volume of one such file.
    VolumeDesc small = NewVolume();
    small.files = {d.files[3000]};
    small.files[0].record = 16;
    const uint32_t at = AttrOffset(small, 16, kAttrData, 0);
    ASSERT_NE(0u, at);
    for (uint64_t k : {3000u, 6000u, 9000u})
        d.recordPatches.push_back({.record = 16 + k, .offset = at + 0x0C, .bytes = {0x01, 0x00}});
    const std::string dir = MakeTestDir("long-digest");
    const std::string img = dir + "/volume.img";
    std::string error;
    ASSERT_TRUE(WriteVolume(d, img, nullptr, &error)) << error;
    // All but the run header's line, whose clock readings differ.
    auto masked = [](const std::string& out) { return out.substr(out.find('\n', out.find('\n') + 1)); };
    const RunResult one = RunVolscanBinary({"-m", "--threads=1", "-f", img, "C"});
    EXPECT_EQ(3u, Count(one.err, "error while processing MD5")) << one.err;
    EXPECT_EQ(5u, Count(one.err, "security id 2457 not found, trying")) << one.err;
    for (const std::string& tmp : {std::string(), "TMPDIR=" + dir + "/none"}) {
        const RunResult two = RunVolscanBinary({"-m", "--threads=2", "-f", img, "C"}, "",
                                               tmp.empty() ? std::vector<std::string>{}
                                                           : std::vector<std::string>{tmp});
        EXPECT_EQ(one.exitStatus, two.exitStatus) << tmp;
        EXPECT_TRUE(masked(one.out) == masked(two.out)) << tmp;
        EXPECT_EQ(one.err, two.err) << tmp;
    }
}

// Whether the process holds the report's spill file open.
bool Spilling(int pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    bool found = false;
    for (dirent* e; dir != nullptr && !found && (e = readdir(dir)) != nullptr;) {
        char target[512] = {};
        found = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
                strstr(target, "volscan-spill") != nullptr;
    }
    if (dir != nullptr) closedir(dir);
    return found;
}

// A -m run stopped while the sparse $BadClus:$Bad of a volume of 1 GiB is
// hashed, by SIGTERM after its first progress and by SIGINT once the
// report of the files after it goes on into the spill (or half a second in): the
// report ends at a line, each line the one the whole run writes, one
// diagnostic names the signal and
// the record the report stops before, the progress line is cleared and the
// status is 128 + the signal.  A second signal ends the process at once,
// even when the first finds it waiting to write to a pipe nobody reads.
TEST(ReportBuilt, ASignalEndsTheHeldReportWithTheLastWholeRecord) {
    VolumeDesc d = NewVolume();
    // Just under a GiB: hashed, not taken from the table of whole GiB of zeros.
    d.minTotalClusters = (1u << 30) / 4096 - 64;
    for (uint64_t k = 0; k < 20000; k++) {
        FileDesc f = File(std::to_string(k) + std::string(200, 'n'), 16 + k, kRootRecord, "x");
        if (k % 3 == 0) {
            f.data = Pattern(5000 + k % 97);
            f.nonResident = true;
        }
        d.files.push_back(f);
    }
    const std::string dir = MakeTestDir("signal"), img = dir + "/volume.img";
    std::string error;
    ASSERT_TRUE(WriteVolume(d, img, nullptr, &error)) << error;
    auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            out.push_back(text.substr(at, end - at));
        return out;
    };
    const std::vector<std::string> whole =
        lines(RunVolscanBinary({"-m", "--threads=2", "-f", img, "C"}).out);
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string out = dir + "/report" + std::to_string(sig), err = out + ".err";
        bool sent = false;
        const BoundedRunResult r = RunVolscanBounded(
            {"-m", "--threads=2", "--progress", "-o", out, "-f", img, "C"}, "", dir + "/stdout", err,
            120000, 0, [&](int pid, int waited) {
                // SIGINT once the report goes on into the spill, SIGTERM at the
                // first progress; either half a second in, where the machine
                // hashes the stream before it comes to that (a GiB takes more).
                if (!sent && (waited > 500 || (sig == SIGINT ? Spilling(pid)
                                                              : ReadFile(err).find(" records ") !=
                                                                    std::string::npos)))
                    sent = kill(pid, sig) == 0;
            });
        EXPECT_EQ(128 + sig, r.exitStatus) << sig;
        const std::string report = ReadFile(out), text = ReadFile(err);
        ASSERT_FALSE(report.empty());
        EXPECT_EQ('\n', report.back());
        const std::vector<std::string> got = lines(report);
        ASSERT_LE(got.size(), whole.size());
        for (size_t k = 0; k < got.size(); k++)  // but the clocks of the run header
            EXPECT_TRUE(k == 1 || whole[k] == got[k]) << k << ": " << got[k];
        const std::string kSays = std::string("interrupted by ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT");
        const size_t at = text.find(kSays);
        ASSERT_NE(std::string::npos, at) << text;
        EXPECT_EQ(at, text.rfind("interrupted by"));
        // The line was cleared before it, and nothing follows it.
        EXPECT_EQ(text.find_last_of('\r'), text.rfind("\r", at));
        const std::string told = text.substr(at);
        EXPECT_TRUE(told.size() > 2 && told.substr(told.size() - 2) == "\n\n") << told;
        // Every record before the one named is there (the lines after the titles).
        uint64_t stop = UINT64_MAX;
        if (told.find("before record #") != std::string::npos)
            stop = std::stoull(told.substr(told.find('#') + 1));
        size_t want = 0;
        while (want < whole.size() && !whole[want].starts_with("MFT Index|")) want++;
        for (want++; want < whole.size() && std::stoull(whole[want]) < stop;) want++;
        EXPECT_EQ(want, got.size()) << told;
    }
#if !defined(__SANITIZE_THREAD__)
    // (ThreadSanitizer holds a signal back until the call it comes in
    // returns, and a write to a full pipe never returns.)
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A pipe already full: the run's first write waits there, for good.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(filler, 0);
    const std::vector<char> junk(1u << 16, 'j');
    while (write(filler, junk.data(), junk.size()) > 0) {
    }
    int signals = 0, firstAt = 0;
    const std::string fifoErr = dir + "/fifo.err";
    const BoundedRunResult r = RunVolscanBounded(
        {"-v", "-m", "--threads=2", "--progress", "-f", img, "C"}, "", fifo, fifoErr, 120000, 0,
        [&](int pid, int waited) {
            // The first at the first progress or, where the walk ended before
            // its first draw and the report is already waiting at the pipe,
            // a third of a second in.
            if (signals == 0 &&
                (ReadFile(fifoErr).find(" records ") != std::string::npos || waited > 300) &&
                kill(pid, SIGTERM) == 0) {
                signals = 1;
                firstAt = waited;
            } else if (signals == 1 && waited >= firstAt + 500 && kill(pid, SIGTERM) == 0) {
                signals = 2;
            }
        });
    close(reader);
    close(filler);
    EXPECT_EQ(SIGTERM, r.termSignal);
    EXPECT_EQ(2, signals);
#endif
}

// A digest that begins with zeros starts from the table's chain state for
// their whole GiB: the same digest as hashing them, on one thread and on
// the pool, for $BadClus:$Bad of a volume of 2 GiB and a little more.
TEST(ReportBuilt, LeadingZerosOfAGibAndMoreTakeTheTablesState) {
    // The table's entries, checked against the library's own digest.
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestInit_ex(ctx, EVP_md5(), nullptr));
    const std::vector<uint8_t> zeros(1u << 20);
    auto digestOf = [](EVP_MD_CTX* from, size_t extra) {
        EVP_MD_CTX* c = EVP_MD_CTX_new();
        EVP_MD_CTX_copy_ex(c, from);
        const std::vector<uint8_t> z(extra);
        EVP_DigestUpdate(c, z.data(), z.size());
        unsigned char out[16];
        unsigned int n = 0;
        EVP_DigestFinal_ex(c, out, &n);
        EVP_MD_CTX_free(c);
        return HexOf(out);
    };
    auto skipped = [](uint64_t ullZeros, size_t extra, uint64_t* pSkipped) {
        VxMd5* m = vx_plat_md5_new();
        vx_plat_md5_begin(m);
        *pSkipped = SkipLeadingZerosMd5(m, ullZeros);
        const std::vector<uint8_t> z(ullZeros - *pSkipped + extra);
        vx_plat_md5_add(m, z.data(), z.size());
        uint8_t out[16];
        vx_plat_md5_end(m, out);
        vx_plat_md5_free(m);
        return HexOf(out);
    };
    uint64_t ullSkipped = 0;
    for (int gib = 1; gib <= 2; gib++) {
        for (int k = 0; k < 1024; k++) EVP_DigestUpdate(ctx, zeros.data(), zeros.size());
        EXPECT_EQ(digestOf(ctx, 0), skipped(uint64_t(gib) << 30, 0, &ullSkipped)) << gib;
        EXPECT_EQ(uint64_t(gib) << 30, ullSkipped);
        EXPECT_EQ(digestOf(ctx, 100), skipped((uint64_t(gib) << 30) + 77, 23, &ullSkipped)) << gib;
        EXPECT_EQ(uint64_t(gib) << 30, ullSkipped);
    }
    // Too few zeros for a step: the digest starts from the beginning.
    EXPECT_EQ(0u, SkipLeadingZerosMd5(nullptr, (1u << 30) - 1));

    // $BadClus:$Bad, a sparse stream as long as the volume.
    VolumeDesc d = NewVolume();
    d.minTotalClusters = ((2ull << 30) + (5u << 12)) / 4096;
    d.files = {File("small.txt", 20, kRootRecord, "hello")};
    const std::string dir = MakeTestDir("zero-chain");
    const std::string img = dir + "/volume.img";
    std::string error;
    ASSERT_TRUE(WriteVolume(d, img, nullptr, &error)) << error;
    const RunResult plain = RunVolscanBinary({"-i", "8", "-f", img, "C"});
    const std::vector<std::string> f = Fields(LineOf(plain.out, 8));
    ASSERT_GE(f.size(), 17u) << plain.out;
    ASSERT_EQ("$Bad", f[15]);
    const uint64_t ullBad = std::stoull(f[16]);
    ASSERT_GT(ullBad, 2ull << 30);
    for (uint64_t done = 2ull << 30; done < ullBad; done += zeros.size())
        EVP_DigestUpdate(ctx, zeros.data(), std::min<uint64_t>(zeros.size(), ullBad - done));
    const std::string hex = digestOf(ctx, 0);
    EVP_MD_CTX_free(ctx);
    for (const char* threads : {"--threads=1", "--threads=2"}) {
        const RunResult r = RunVolscanBinary({"-m", threads, "--device-stats", "-i", "8", "-f", img, "C"});
        EXPECT_EQ(hex, Fields(LineOf(r.out, 8))[2]) << threads;
        EXPECT_EQ(1u, Count(r.err, "leading zeros skipped 2147483648\n")) << threads << r.err;
    }
}

// ------------------------------------------------------- record selection

TEST(ReportBuilt, ErasedOnlySingleRecordVerboseAndUtf8Names) {
    VolumeDesc d = NewVolume();
    FileDesc gone = File("gone.txt", 21, 23, "bye");
    gone.inUse = false;
    d.files = {File("kept.txt", 20, kRootRecord, "hi"), gone, File("caf\xc3\xa9.txt", 22, kRootRecord, "c"),
               Dir("Keep", 23)};

    // The parents of an erased file are read in full, in use or not.
    Scanned e = Scan(d, {"-e"});
    EXPECT_EQ("21|C:\\Keep\\gone.txt||0|3|Ar|", LineOf(e.run.out, 21).substr(0, 28));
    for (uint64_t inUse : {0, 5, 11, 20, 22, 23}) EXPECT_EQ("", LineOf(e.run.out, inUse)) << inUse;

    Scanned one = Scan(d, {"-i", "20"});
    EXPECT_EQ(1u, RecordLines(one.run.out)) << one.run.out;
    EXPECT_EQ("20|C:\\kept.txt||1|2|", LineOf(one.run.out, 20).substr(0, 20));
    EXPECT_EQ(0, one.run.exitStatus);
    // -i overrides -e: a record in use is still reported.
    Scanned both = Scan(d, {"-e", "-i", "0x14"});
    EXPECT_EQ(1u, RecordLines(both.run.out));
    EXPECT_NE("", LineOf(both.run.out, 20));

    Scanned v = Scan(d, {"-v", "-i", "21"});
    EXPECT_NE(std::string::npos, v.run.out.find("MFT record number : 21\nFull path name : C:\\Keep\\gone.txt\n"
                                                "Erased file\nData stream size : 3\n"))
        << v.run.out;
    EXPECT_EQ(std::string::npos, v.run.out.find("Number of hard links"));
    Scanned kept = Scan(d, {"-v", "-i", "20"});
    EXPECT_NE(std::string::npos, kept.run.out.find("\nNumber of hard links : 1\n"));
    EXPECT_EQ(std::string::npos, kept.run.out.find("Erased file"));

    Scanned u = Scan(d, {"-8", "-i", "22"}, {"LC_ALL=C"});
    EXPECT_EQ("C:\\caf\xc3\xa9.txt", Fields(LineOf(u.run.out, 22))[1]);
    Scanned c = Scan(d, {"-i", "22"}, {"LC_ALL=C"});
    EXPECT_EQ(std::string::npos, c.run.out.find("caf\xc3\xa9")) << "the C locale has no UTF-8";
}

// A file whose $FILE_NAME times are not its standard-information times (as
// after a tool set the latter), named with every character the formats must
// escape: "," "\"" "|" a newline, a tab, a non-ASCII letter, U+1D11E and,
// last, an unpaired surrogate.
TEST(ReportBuilt, FormatsShowFileNameTimesAndEscapeNames) {
    VolumeDesc d = NewVolume();
    FileDesc f;
    f.name = "q,\"|\n\t\xC3\xA9\xF0\x9D\x84\x9EZ";
    f.record = 40;
    f.data = {'a', 'b', 'c'};
    f.info.created = f.info.modified = f.info.mftModified = f.info.accessed = 132000000000000000ull;
    StandardInfo later = f.info;
    later.created = later.modified = later.mftModified = later.accessed = 132400000001234567ull;
    f.nameTimes = later;
    d.files.push_back(f);
    uint32_t value = 0;
    ASSERT_NE(AttrOffset(d, 40, kAttrFileName, 0, &value), 0u);
    d.recordPatches.push_back({40, value + 0x42 + 2 * 9, {0x00, 0xD8}});  // "Z" becomes D800

    const std::string kSi = "2019-04-17T18:40:00.0000000Z", kFn = "2020-07-23T17:46:40.1234567Z";
    const std::string kCsvName = "\"q,\"\"|\n\t\xC3\xA9\xF0\x9D\x84\x9E\xEF\xBF\xBD\"";
    Scanned csv = Scan(d, {"--format=csv", "-i", "40"});
    EXPECT_EQ(csv.run.err, "");
    EXPECT_THAT(csv.run.out, testing::HasSubstr(",\"C:\\q,\"\"|\n\t\xC3\xA9\xF0\x9D\x84\x9E\xEF\xBF\xBD\"," +
                                                kCsvName + ",5,5,"));
    EXPECT_THAT(csv.run.out, testing::HasSubstr(kSi + "," + kSi + "," + kSi + "," + kSi + "," + kFn +
                                                "," + kFn + "," + kFn + "," + kFn + ",1,,"));
    EXPECT_THAT(csv.run.out, testing::EndsWith(",true,true\n"));

    Scanned json = Scan(d, {"--format=jsonl", "-i", "40"});
    EXPECT_THAT(json.run.out,
                testing::HasSubstr("\"name\":\"q,\\\"|\\n\\t\xC3\xA9\xF0\x9D\x84\x9E\\ud800\""));
    EXPECT_THAT(json.run.out, testing::HasSubstr("\"creation\":\"" + kFn + "\""));
    EXPECT_THAT(json.run.out,
                testing::HasSubstr("\"si_creation_before_fn\":true,\"si_zero_fractions\":true}\n"));

    Scanned body = Scan(d, {"--format=bodyfile", "-i", "40"});
    const std::string kBodyName = "C:/q,\"%7C%0A%09\xC3\xA9\xF0\x9D\x84\x9E\xEF\xBF\xBD";
    EXPECT_THAT(body.run.out, testing::HasSubstr("0|" + kBodyName + "|40|r/rrwxrwxrwx|0|0|3|"
                                                 "1555526400.0000000|1555526400.0000000|"
                                                 "1555526400.0000000|1555526400.0000000\n"));
    EXPECT_THAT(body.run.out, testing::HasSubstr(kBodyName + " ($FILE_NAME)|40|r/rrwxrwxrwx|0|0|3|"
                                                 "1595526400.1234567|1595526400.1234567|"
                                                 "1595526400.1234567|1595526400.1234567\n"));
    // The line report of the same record is what it always was.
    Scanned line = Scan(d, {"-i", "40"});
    EXPECT_THAT(line.run.out, testing::HasSubstr("|17/04/2019 18:40:00.0000000|"));
    EXPECT_EQ(Scan(d, {"--format=csv", "-v"}).run.exitStatus, 1);
}

}  // namespace
