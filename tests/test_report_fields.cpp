// The fields of a file's report, byte for byte: times, attribute codes, the
// $STANDARD_INFORMATION block, the name chosen among the $FILE_NAMEs, the MD5
// of the data streams and the whole line and verbose block of one file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "diskio/diskio.h"
#include "report/info.h"
#include "security/vx_comment.h"
#include "support/capture.h"
#include "support/memory_volume.h"
#include "support/ntfs_builder.h"

namespace {

using ::testing::HasSubstr;

constexpr uint64_t kTicksPerDay = 864000000000ull;
constexpr uint32_t kDirName = 0x10000000;

// An Entry in memory with resident attributes decoded by the record reader's
// own InitAttribute, so CleanEntry can release them.
struct FileEntry {
    Entry e{};
    FileEntry(Volume* pVol, uint64_t record) {
        e.pVolume = pVol;
        e.ullBaseRecord = record;
        e.wLinkCount = 1;
    }
    ~FileEntry() { CleanEntry(&e); }
    void Add(uint32_t type, const std::vector<uint8_t>& value, const std::string& name = "") {
        ntfsb::ResidentAttr a;
        a.type = type;
        a.name = name;
        a.value = value;
        const std::vector<uint8_t> bytes = ntfsb::EncodeResident(a, e.wAttrCount);
        ASSERT_EQ(1, InitAttribute(&e, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    void AddData(const std::string& data, const std::string& name = "") {
        Add(ntfsb::kAttrData, std::vector<uint8_t>(data.begin(), data.end()), name);
    }
};

std::vector<uint8_t> Name(uint8_t nameSpace, const std::string& name, uint32_t flags = 0x20) {
    ntfsb::FileNameInfo fn;
    fn.nameSpace = nameSpace;
    fn.name = name;
    fn.flags = flags;
    return ntfsb::FileNameValue(fn);
}

// The name length claims one unit more than the value holds.
std::vector<uint8_t> Overlong(uint8_t nameSpace, const std::string& name) {
    std::vector<uint8_t> v = Name(nameSpace, name);
    v[0x40]++;
    return v;
}

std::string TimeText(uint64_t t) {
    CapturedStream out;
    DumpTime(out.pFile, t);
    return out.Text();
}

// ------------------------------------------------------------------ times

// Reference calendar, deliberately naive: one year or one day at a time.
bool IsLeap(uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
uint64_t MonthDays(uint64_t y, unsigned m) {
    static const uint64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}
std::string Format(uint64_t d, unsigned m, uint64_t y, uint64_t tod) {
    const uint64_t s = tod / 10000000;
    char buf[64];
    snprintf(buf, sizeof buf, "%02" PRIu64 "/%02u/%" PRIu64 " %02" PRIu64 ":%02" PRIu64
             ":%02" PRIu64 ".%07" PRIu64, d, m, y, s / 3600, s / 60 % 60, s % 60, tod % 10000000);
    return buf;
}
std::string NaiveTime(uint64_t t) {
    uint64_t days = t / kTicksPerDay;
    uint64_t y = 1601;
    while (days >= (IsLeap(y) ? 366u : 365u)) days -= IsLeap(y++) ? 366 : 365;
    unsigned m = 1;
    while (days >= MonthDays(y, m)) days -= MonthDays(y, m++);
    return Format(days + 1, m, y, t % kTicksPerDay);
}

TEST(ReportTime, KnownValues) {
    EXPECT_EQ("01/01/1601 00:00:00.0000000", TimeText(0));
    EXPECT_EQ("23/03/2005 10:01:08.1234567", TimeText(127560456681234567ull));
    EXPECT_EQ("01/01/2001 00:00:00.0000000", TimeText(126227808000000000ull));
    EXPECT_EQ("31/12/1601 23:59:59.9999999", TimeText(315359999999999ull));
    EXPECT_EQ("28/05/60056 05:36:10.9551615", TimeText(UINT64_MAX));
    // The same day again (its date is kept from the time before).
    EXPECT_EQ("23/03/2005 10:01:08.1234567", TimeText(127560456681234567ull));
    EXPECT_EQ("23/03/2005 23:59:59.9999999", TimeText(127560959999999999ull));
    EXPECT_EQ("24/03/2005 00:00:00.0000000", TimeText(127560960000000000ull));
}

// Every midnight, and the last tick before it, from 1601 to March 2401: two
// whole 400-year cycles, so every kind of leap day and century end
// (1700, 1800, 1900, 2000, 2100, 2400) is crossed.
TEST(ReportTime, EveryDayBoundaryAgainstADayByDayWalk) {
    uint64_t y = 1601, d = 1, t = 0;
    unsigned m = 1;
    std::string previousLast, first;
    int mismatches = 0;
    auto check = [&](const std::string& want, uint64_t at) {
        const std::string got = TimeText(at);
        if (got != want && mismatches++ == 0) first = "want " + want + " got " + got;
    };
    while (!(y == 2401 && m == 3 && d == 2)) {
        check(Format(d, m, y, 0), t);
        if (t != 0) check(previousLast, t - 1);
        previousLast = Format(d, m, y, kTicksPerDay - 1);
        t += kTicksPerDay;
        if (++d > MonthDays(y, m)) d = 1, m++;
        if (m > 12) m = 1, y++;
    }
    EXPECT_EQ(0, mismatches) << first;
    EXPECT_EQ("01/03/2401 23:59:59.9999999", previousLast);
    EXPECT_EQ("02/03/2401 00:00:00.0000000", TimeText(t));
}

TEST(ReportTime, PseudoRandomValuesAgainstAYearByYearCount) {
    std::mt19937_64 rng(20050323);
    for (int k = 0; k < 3000; k++) {
        // Half over the whole range, half over the years files really carry.
        const uint64_t t = k % 2 ? rng() : rng() % (500 * 366 * kTicksPerDay);
        ASSERT_EQ(NaiveTime(t), TimeText(t)) << "t = " << t;
    }
}

// ------------------------------------------------------------- attribute bits

struct BitsCase {
    uint32_t value;
    int lineMode;
    const char* expected;
};

class ReportBitsTable : public ::testing::TestWithParam<BitsCase> {};

TEST_P(ReportBitsTable, FileAttributes) {
    CapturedStream out;
    DumpBits(out.pFile, GetParam().value, FileAttributeBits, GetParam().lineMode);
    EXPECT_EQ(GetParam().expected, out.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Report, ReportBitsTable,
    // Unknown bits (0x8, 0x40, 0x8000 and up) are not shown.
    ::testing::Values(
        BitsCase{0x30, 1, "DiAr|"}, BitsCase{0x4020, 1, "ArEn|"}, BitsCase{0x8, 1, "|"},
        BitsCase{0x6, 1, "HiSy|"}, BitsCase{0xFFFFFFFF, 1, "RoHiSyDiArEnNoTeSpReCoOfNi|"},
        BitsCase{0x30, 0, "Directory, Archive\n"}, BitsCase{0, 0, "\n"},
        BitsCase{0x7FB7, 0,
                 "Read-Only, Hidden, System, Directory, Archive, Encrypted, Normal, Temporary, "
                 "Sparse file, Reparse point, Compressed, Offline, Not content indexed\n"}));

TEST(ReportBits, CompositeRowsWinOnlyWhenSomeOfTheirBitsAreNew) {
    const BitName composite[] = {{0x3, "Ab", "A and B"}, {0x1, "A", "A only"},
                                 {0x2, "B", "B only"}, {0x4, "C", "C only"}, {0, nullptr, nullptr}};
    const BitName singlesFirst[] = {{0x1, "A", "A"}, {0x3, "Ab", "Ab"}, {0x2, "B", "B"}, {}};
    const BitName allCovered[] = {{0x1, "A", "A"}, {0x2, "B", "B"}, {0x3, "Ab", "Ab"}, {}};
    auto run = [](uint32_t value, const BitName* table, int lineMode) {
        CapturedStream out;
        DumpBits(out.pFile, value, table, lineMode);
        return out.Text();
    };
    EXPECT_EQ("AbC|", run(0x7, composite, 1));
    EXPECT_EQ("A|", run(0x1, composite, 1));
    EXPECT_EQ("BC|", run(0x6, composite, 1));
    EXPECT_EQ("A and B, C only\n", run(0x7, composite, 0));
    EXPECT_EQ("AAb|", run(0x3, singlesFirst, 1));
    EXPECT_EQ("AB|", run(0x3, allCovered, 1));
}

TEST(ReportBits, NullTableIsAnError) {
    CapturedStream out, errors;
    VxErrorStream = errors.pFile;
    DumpBits(out.pFile, 0x20, nullptr, 1);
    VxErrorStream = stderr;
    EXPECT_THAT(errors.Text(), HasSubstr("\nERROR - vx_comment DumpBits() l."));
    EXPECT_THAT(errors.Text(), HasSubstr(": no reference"));
}

// ------------------------------------------------------- standard information

class ReportStandard : public ::testing::Test {
protected:
    MemoryVolume mv{4096, 4};
    FileEntry file{&mv.vol, 42};
    ntfsb::StandardInfo si;
    void SetUp() override {
        mv.vol.MajorVersion = 3;
        si.created = 0;
        si.modified = 127560456681234567ull;
        si.mftModified = 126227808000000000ull;
        si.accessed = 315359999999999ull;
    }
    void Reset() {
        CleanEntry(&file.e);
        file.e.ullBaseRecord = 42;
    }
    // The value (cut to `size` bytes when given) written by DumpStandard.
    std::string Dump(int lineMode, int* pStatus, size_t size = 0) {
        std::vector<uint8_t> v = ntfsb::StandardInformationValue(si);
        if (size != 0) v.resize(size);
        file.Add(ntfsb::kAttrStandardInformation, v);
        CapturedStream out;
        *pStatus = DumpStandard(out.pFile, &file.e, &file.e.pAttrList[0], lineMode);
        return out.Text();
    }
};

constexpr const char* kTimes =
    "01/01/1601 00:00:00.0000000|23/03/2005 10:01:08.1234567|"
    "01/01/2001 00:00:00.0000000|31/12/1601 23:59:59.9999999|";

TEST_F(ReportStandard, LineModeAddsTheDirectoryBitAndRecordsTheSecurityId) {
    file.e.bDirectory = 1;
    si.securityId = 0x1234;
    int status = -1;
    EXPECT_EQ(std::string("DiAr|") + kTimes, Dump(1, &status));
    EXPECT_EQ(VX_OK, status);
    EXPECT_EQ(1, file.e.bSecurityId);
    EXPECT_EQ(0x1234u, file.e.dwSecurityId);
    EXPECT_EQ("", mv.errors.Text());
}

TEST_F(ReportStandard, VerboseOptionalLines) {
    si.fileAttributes = 0x21;
    si.maxVersions = 9;
    si.version = 2;
    si.classId = 7;
    si.ownerId = 11;
    si.securityId = 260;
    si.quotaCharged = 4096;
    si.usn = 0x1122334455ull;
    int status = -1;
    EXPECT_EQ("File attributes : Read-Only, Archive\n"
              "Creation time : 01/01/1601 00:00:00.0000000\n"
              "Last write time : 23/03/2005 10:01:08.1234567\n"
              "Attribute modification time : 01/01/2001 00:00:00.0000000\n"
              "Last access time : 31/12/1601 23:59:59.9999999\n"
              "Version : 2/9\nClass Id : 7\nSecurity Id : 260\nQuota Owner Id : 11\n"
              "Quota charged : 4096\nUpdate Sequence Number : 73588229205\n",
              Dump(0, &status));
    EXPECT_EQ(VX_OK, status);
    EXPECT_EQ(1, file.e.bSecurityId);
    EXPECT_EQ(260u, file.e.dwSecurityId);
    // No versions kept and no quota charged: their lines are left out.
    si = {};
    si.accessed = 315359999999999ull;
    si.classId = 3;
    si.usn = 8;
    Reset();
    EXPECT_THAT(Dump(0, &status),
                ::testing::EndsWith("Last access time : 31/12/1601 23:59:59.9999999\nClass Id : 3\n"
                                    "Security Id : 256\nQuota Owner Id : 0\n"
                                    "Update Sequence Number : 8\n"));
}

// The NTFS 1.x form: nothing past the class id to read.
TEST_F(ReportStandard, Pre2kValueOnVersion3IsAWarningOnly) {
    for (size_t size : {48u, 71u}) {
        SCOPED_TRACE(size);
        Reset();
        int status = -1;
        const std::string text = Dump(0, &status, size);
        EXPECT_EQ(VX_OK, status);
        EXPECT_THAT(text, ::testing::EndsWith("Class Id : 0\n"));
        EXPECT_EQ(0, file.e.bSecurityId);
        EXPECT_THAT(mv.errors.Text(), HasSubstr("\nWARNING - info DumpStandard() l."));
        EXPECT_THAT(mv.errors.Text(), HasSubstr("pre-2k standard stream - Size : " +
                                                std::to_string(size) + " - Base record 42"));
    }
}

TEST_F(ReportStandard, Version2ReadsNoSecurityPart) {
    mv.vol.MajorVersion = 2;
    int status = -1;
    EXPECT_THAT(Dump(0, &status), ::testing::EndsWith("Class Id : 0\n"));
    EXPECT_EQ(VX_OK, status);
    EXPECT_EQ(0, file.e.bSecurityId);
    Reset();
    EXPECT_EQ(std::string("Ar|") + kTimes, Dump(1, &status, 48));
    EXPECT_EQ(0, file.e.bSecurityId);
    EXPECT_EQ("", mv.errors.Text());
}

TEST_F(ReportStandard, TruncatedValueLeavesEmptyFields) {
    int status = -1;
    EXPECT_EQ("|||||", Dump(1, &status, 40));
    EXPECT_EQ(VX_FAILED, status);
    EXPECT_THAT(mv.errors.Text(), HasSubstr("\nERROR - info DumpStandard() l."));
    EXPECT_THAT(mv.errors.Text(), HasSubstr("truncated stream - Size : 40 - Base record 42"));
    Reset();
    EXPECT_EQ("", Dump(0, &status, 47));
    EXPECT_EQ(VX_FAILED, status);
    EXPECT_THAT(mv.errors.Text(), HasSubstr("truncated stream - Size : 47 - Base record 42"));
    EXPECT_EQ(0, file.e.bSecurityId);
}

// ------------------------------------------------------------------ file names

struct NameCase {
    const char* label;
    std::vector<std::vector<uint8_t>> values;  // the $FILE_NAMEs in record order
    const char* expected;
    int status;
};

class ReportFileName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ReportFileName, Choice) {
    MemoryVolume mv(4096, 4);
    FileEntry file(&mv.vol, 30);
    file.AddData("not a name");
    for (const std::vector<uint8_t>& v : GetParam().values) file.Add(ntfsb::kAttrFileName, v);
    CapturedStream out;
    EXPECT_EQ(GetParam().status, DumpFileName(out.pFile, &file.e));
    EXPECT_EQ(GetParam().expected, out.Text());
    if (GetParam().status == VX_FAILED) {
        EXPECT_THAT(mv.errors.Text(), HasSubstr("\nERROR - info DumpFileName() l."));
        EXPECT_THAT(mv.errors.Text(), HasSubstr("truncated stream - Size : 65"));
    } else {
        EXPECT_EQ("", mv.errors.Text());
    }
}

using ntfsb::kNameDos;
using ntfsb::kNamePosix;
using ntfsb::kNameWin32;
using ntfsb::kNameWin32AndDos;

INSTANTIATE_TEST_SUITE_P(
    Report, ReportFileName,
    ::testing::Values(
        NameCase{"None", {}, "", VX_OK},
        NameCase{"Single", {Name(kNameWin32AndDos, "file.txt")}, "file.txt", VX_OK},
        NameCase{"DosThenWin32",
                 {Name(kNameDos, "LONGNA~1.TXT"), Name(kNameWin32, "long name.txt")},
                 "long name.txt", VX_OK},
        NameCase{"PosixThenDos", {Name(kNamePosix, "Posix"), Name(kNameDos, "POSIX~1")}, "Posix",
                 VX_OK},
        NameCase{"PosixThenWin32AndDos", {Name(kNamePosix, "p"), Name(kNameWin32AndDos, "w")},
                 "w", VX_OK},
        NameCase{"FirstWin32EndsTheSearch",
                 {Name(kNameWin32, "first"), Name(kNameWin32AndDos, "second")}, "first", VX_OK},
        NameCase{"Directory", {Name(kNameWin32AndDos, "dir", kDirName | 0x10)}, "dir\\", VX_OK},
        NameCase{"EmptyNameFits", {Name(kNameWin32, "")}, "", VX_OK},
        NameCase{"TruncatedSkipped",
                 {std::vector<uint8_t>(65, 0x41), Name(kNameWin32, "ok")}, "ok", VX_FAILED},
        NameCase{"TruncatedBetween",
                 {Name(kNameDos, "OK~1"), std::vector<uint8_t>(65, 1), Name(kNameWin32, "ok")},
                 "ok", VX_FAILED},
        // A Win32 name that does not fit its value still ends the search.
        NameCase{"OverlongWin32KeepsEarlierName",
                 {Name(kNamePosix, "keep"), Overlong(kNameWin32, "bad"),
                  Name(kNameWin32, "later")},
                 "keep", VX_OK},
        NameCase{"OverlongWin32First", {Overlong(kNameWin32, "bad"), Name(kNameWin32, "later")},
                 "", VX_OK}),
    [](const ::testing::TestParamInfo<NameCase>& p) { return p.param.label; });

// ------------------------------------------------------------------------ MD5

struct Md5Case {
    const char* label;
    std::vector<std::pair<std::string, std::string>> streams;  // (name, data) in record order
    const char* digest;
};

class ReportMd5 : public ::testing::TestWithParam<Md5Case> {};

TEST_P(ReportMd5, OverEveryDataStreamInOrder) {
    MemoryVolume mv(4096, 4);
    FileEntry file(&mv.vol, 31);
    file.Add(ntfsb::kAttrStandardInformation, ntfsb::StandardInformationValue({}));
    for (const auto& [name, data] : GetParam().streams) file.AddData(data, name);
    file.Add(ntfsb::kAttrFileName, Name(kNameWin32, "x"));
    CapturedStream line, verbose;
    EXPECT_EQ(1, DumpMd5(line.pFile, &file.e, 1));
    EXPECT_EQ(1, DumpMd5(verbose.pFile, &file.e, 0));
    EXPECT_EQ(std::string(GetParam().digest) + "|", line.Text());
    EXPECT_EQ("MD5 hash value : " + std::string(GetParam().digest) + "\n", verbose.Text());
}

const std::string kDigits =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

INSTANTIATE_TEST_SUITE_P(
    Report, ReportMd5,
    ::testing::Values(
        Md5Case{"NoData", {}, "d41d8cd98f00b204e9800998ecf8427e"},
        Md5Case{"Abc", {{"", "abc"}}, "900150983cd24fb0d6963f7d28e17f72"},
        Md5Case{"UnnamedAndNamed", {{"", "ab"}, {"s", "c"}}, "900150983cd24fb0d6963f7d28e17f72"},
        Md5Case{"EmptyUnnamedThenNamed", {{"", ""}, {"s", "abc"}},
                "900150983cd24fb0d6963f7d28e17f72"},
        Md5Case{"ThreeStreams", {{"", "message"}, {"a", " "}, {"b", "digest"}},
                "f96b697d7cb7938d525a2f31aaf161d0"},
        // The join falls across a 64-byte block of the hash.
        Md5Case{"AcrossABlock", {{"", kDigits.substr(0, 63)}, {"z", kDigits.substr(63)}},
                "57edf4a22be3c955ac49da2e2107b67a"}),
    [](const ::testing::TestParamInfo<Md5Case>& p) { return p.param.label; });

// ------------------------------------------------------------- the whole report

// Files directly under the root: the path needs no parent record read.  An
// NTFS 2 volume keeps the $Secure store out of the security fields, which
// stay empty: these tests are about the layout around them.
class ReportFileInfo : public ::testing::Test {
protected:
    MemoryVolume mv{4096, 4};
    FileEntry file{&mv.vol, 70};
    void SetUp() override { mv.vol.MajorVersion = 2; }
    // $STANDARD_INFORMATION (unless `attributes` is negative), then the $FILE_NAME.
    void Start(const std::string& name, int64_t attributes = 0x20, uint32_t nameFlags = 0x20) {
        ntfsb::StandardInfo si;
        si.fileAttributes = static_cast<uint32_t>(attributes);
        if (attributes >= 0)
            file.Add(ntfsb::kAttrStandardInformation, ntfsb::StandardInformationValue(si));
        file.Add(ntfsb::kAttrFileName, Name(kNameWin32AndDos, name, nameFlags));
    }
    std::string Report(int lineMode, int md5 = 0) {
        CapturedStream out;
        EXPECT_EQ(VX_OK, DumpFileInfo(out.pFile, &file.e, md5, lineMode));
        EXPECT_EQ("", mv.errors.Text());
        return out.Text();
    }
};

constexpr const char* kSiLine =
    "01/01/2020 00:00:00.0000000|01/01/2020 00:00:00.0000000|"
    "01/01/2020 00:00:00.0000000|01/01/2020 00:00:00.0000000|";
constexpr const char* kSiVerbose =
    "Creation time : 01/01/2020 00:00:00.0000000\n"
    "Last write time : 01/01/2020 00:00:00.0000000\n"
    "Attribute modification time : 01/01/2020 00:00:00.0000000\n"
    "Last access time : 01/01/2020 00:00:00.0000000\n"
    "Class Id : 0\n";

TEST_F(ReportFileInfo, DirectoryWithoutData) {
    file.e.bDirectory = 1;
    Start("dir", 0, kDirName);
    EXPECT_EQ(std::string("70|E:\\dir\\||1||Di|") + kSiLine + "0|||||\n", Report(1));
    EXPECT_EQ(std::string("MFT record number : 70\nFull path name : E:\\dir\\\n"
                          "Number of hard links : 1\nFile attributes : Directory\n") +
                  kSiVerbose + "Number of data stream : 0\n\n",
              Report(0));
}

TEST_F(ReportFileInfo, FileWithMd5) {
    Start("name");
    file.AddData("abc");
    EXPECT_EQ(std::string("70|E:\\name|900150983cd24fb0d6963f7d28e17f72|1|3|Ar|") + kSiLine +
                  "1|||||\n",
              Report(1, 1));
    EXPECT_THAT(Report(0, 1), HasSubstr("Full path name : E:\\name\n"
                                        "MD5 hash value : 900150983cd24fb0d6963f7d28e17f72\n"
                                        "Number of hard links : 1\nData stream size : 3\n"));
}

TEST_F(ReportFileInfo, WithoutStandardInformation) {
    Start("name", -1);
    file.AddData("abc");
    EXPECT_EQ("70|E:\\name||1|3||||||1|||||\n", Report(1));
    EXPECT_EQ("MFT record number : 70\nFull path name : E:\\name\nNumber of hard links : 1\n"
              "Data stream size : 3\nNumber of data stream : 1\n\n",
              Report(0));
}

TEST_F(ReportFileInfo, OnlyANamedStream) {
    Start("name");
    file.AddData("12345", "ads");
    EXPECT_EQ(std::string("70|E:\\name||1|5|Ar|") + kSiLine + "1|||||ads|5|\n", Report(1));
    const std::string text = Report(0);
    EXPECT_THAT(text, HasSubstr("Data stream size : 5\n"));
    EXPECT_THAT(text, ::testing::EndsWith("Number of data stream : 1\n"
                                          "Alternate data stream #0 Name: ads\n Size : 5\n\n"));
}

TEST_F(ReportFileInfo, NamedStreamsInOrderAfterTheUnnamedOne) {
    Start("name");
    file.AddData("1234567");
    file.AddData("thirteen byte", "a|b");
    file.AddData("four", "second");
    EXPECT_EQ(std::string("70|E:\\name||1|7|Ar|") + kSiLine + "3|||||a|b|13|second|4|\n",
              Report(1));
    EXPECT_EQ(std::string("MFT record number : 70\nFull path name : E:\\name\n"
                          "Number of hard links : 1\nData stream size : 7\n"
                          "File attributes : Archive\n") +
                  kSiVerbose +
                  "Number of data stream : 3\n"
                  "Alternate data stream #0 Name: a|b\n Size : 13\n"
                  "Alternate data stream #1 Name: second\n Size : 4\n\n",
              Report(0));
}

TEST_F(ReportFileInfo, ErasedFile) {
    file.e.wLinkCount = 0;
    Start("gone");
    file.AddData("xy");
    EXPECT_EQ(std::string("70|E:\\gone||0|2|Ar|") + kSiLine + "1|||||\n", Report(1));
    EXPECT_THAT(Report(0), HasSubstr("Full path name : E:\\gone\nErased file\nData stream size"));
}

}  // namespace
