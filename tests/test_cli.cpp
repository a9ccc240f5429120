// The command line: help, usage errors, the drive operand, the run's files
// and where the debug trace goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run/progress.h"
#include "run/volscan.h"
#include "support/run_binary.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const std::string kProgram = VOLSCAN_BINARY;

const std::string kTitles =
    "MFT Index|FileName|MD5|# Links|Size|Attributes|Creation|Last Write|Attribute Modification|"
    "Last Access|# Data Streams|Owner|Group|# DACE|# SACE|[SID DACE|Rights|...][SID SACE|Audits|"
    "...][Data Stream Name|Size|...]\n";

std::string Usage() {
    return "Usage: " + kProgram +
           " [-v][-m][-h][-e][-n][-i MFT_index][-u user_file][-D][-d debug_file][-x error_file]"
           "[-o output_file][-8] drive_letter\n";
}

std::string Sample() { return SourcePath("tests/images/sample.img"); }

const char kSampleGeometry[] =
    "SectorSize: 0x200, ClusterSize: 0x1000, MftRecordSize: 0x400\n"
    "ClusterNumber: 0x7ff, MftStart: 0x4\n";

std::string Fatal(const std::string& text) { return "\nFATAL - Aborting - " + text + "\n\n"; }

std::string Touch(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    return path;
}

}  // namespace

// ------------------------------------------------------------------ help

TEST(Help, WritesTheWholeTextOnStandardError) {
    RunResult r = RunVolscanBinary({"-h"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    std::string expected =
        kProgram + ": Dump NTFS files informations\n\n" + Usage() +
        "\nPackage version: \n"
        "\n-h : help\n"
        "-v : verbose mode\n"
        "-m : process md5 hash of the data streams (regular and alternates)\n"
        "-e : process only erased files\n"
        "-n : do not check parent directory sequence number\n"
        "-i : output a single record given its index\n"
        "     this option override the -e option\n"
        "-u : create a table to convert in human readable format SID\n"
        "-d, -D : debug mode, -D dump each MFT record read\n"
        "-x : output error to file instead of stderr\n"
        "-o : results sent to file instead of stdout\n"
        "-8 : output non-ascii characters using UTF-8\n";
    ASSERT_THAT(r.err, StartsWith(expected));
    std::string rest = r.err.substr(expected.size());
    // The lines of the long options (volume source, report format, hashing
    // threads) come right after -8.
    size_t format = rest.find("\nOutput format :\n");
    ASSERT_NE(format, std::string::npos);
    std::string sourceLines = rest.substr(0, format);
    EXPECT_EQ(std::count(sourceLines.begin(), sourceLines.end(), '\n'), 11) << sourceLines;
    EXPECT_THAT(sourceLines, HasSubstr("\n--threads : threads hashing"));
    EXPECT_THAT(sourceLines, StartsWith("-f, --file"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--offset"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--format : report format: line (the default), csv, jsonl or bodyfile\n"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--list-partitions, --partition=N"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--list-snapshots, --snapshot=N"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--snapshot=all : "));
    EXPECT_THAT(sourceLines, HasSubstr("\n--sds : the copy of $Secure:$SDS beside the -f copy of $MFT"));
    EXPECT_THAT(sourceLines, HasSubstr("\n--password, --recovery-password, --startup-key=FILE : "));
    EXPECT_EQ(rest.substr(format),
              "\nOutput format :\n" + kTitles +
                  "\nAll times are UTC according to local computer.\n"
                  "\n  File Attributes :\n"
                  "    Ro : Read-Only, Hi : Hidden, Sy : System, Di : Directory, Ar : Archive,\n"
                  "    En : Encrypted, No : Normal, Te : Temporary, Sp : Sparse file,\n"
                  "    Re : Reparse point, Co : Compressed, Of : Offline, Ni : Not content "
                  "indexed\n"
                  "\n  File/directory/key access :\n"
                  "   - Specific rights :\n"
                  "    Rd : Read data (list directory), Wd : Write data (add file)\n"
                  "    Ad : Append data (add subdirectory), Re : Read extended area\n"
                  "    We : Write extended area, Ex : Execute, Dc : Delete child\n"
                  "    Ra : Read attributes, Wa : Write attributes\n"
                  "   - Standards rights :\n"
                  "    De : Delete, Rc : Read control (owner, group, DACL)\n"
                  "    Wc : Write control DACL, Wo : Write owner\n"
                  "    Sy : Synchronise access\n"
                  "   - Other rights :\n"
                  "    As : Access system security, Mx : Maximum allowed\n"
                  "    Gr : Generic read, Gw : Generic write, Ge : Generic execute\n"
                  "    Ga : Generic all\n"
                  "   - Sum up :\n"
                  "    (Sq : Standard rights required = DeRcWcWo)\n"
                  "    Sa : Standard rights all = SqSy\n"
                  "    Fr : File generic read = RdReRaRcSy\n"
                  "    Fw : File generic write = WdAdWeWaRcSy\n"
                  "    Fe : File generic execute = ExRaRcSy\n"
                  "    Fa : File all access = RdWdAdReWeExDcRaWaSa\n"
                  "\n  Concerning DACE and SACE :\n"
                  "    N means none found, 0 means present but empty\n"
                  "    + : Allowed for DACE, audit success for SACE\n"
                  "    - : Refused for DACE, audit failure for SACE\n");
    EXPECT_EQ(kTitles.size(), 213u);
}

TEST(Help, EndsTheRunBeforeAnyFileOrVolume) {
    std::string dir = MakeTestDir("help-files");
    RunResult r = RunVolscanBinary({"-o", "out.txt", "-x", "err.txt", "-d", "dbg.txt", "-u",
                                    "users.txt", "-D", "-h", "e"},
                                   dir);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith(kProgram + ": Dump NTFS files informations\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("CreateFile")));
    for (const char* f : {"out.txt", "err.txt", "dbg.txt", "users.txt"})
        EXPECT_FALSE(FileExists(dir + "/" + f)) << f;
    RunResult l = RunVolscanBinary({"--help"});
    EXPECT_EQ(l.exitStatus, 0);
    EXPECT_EQ(l.err, r.err);
}

TEST(Version, NamesTheProjectVersionAndEndsTheRun) {
    const std::string dir = MakeTestDir("version");
    RunResult r = RunVolscanBinary({"-o", "out.txt", "--version", "e"}, dir);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_THAT(r.out, MatchesRegex("volscan [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(FileExists(dir + "/out.txt"));
}

TEST(Progress, LineHoldsRecordsPercentRateHashedBytesAndTimeLeft) {
    char line[160];
    ProgressFormat(line, sizeof line, 2500, 10000, 2000, 1, 3u << 20);
    EXPECT_STREQ(line, "2500/10000 records 25%, 1250 rec/s, 3.0 MiB hashed, 0:00:06 left");
    ProgressFormat(line, sizeof line, 0, 10000, 0, 0, 0);
    EXPECT_STREQ(line, "0/10000 records 0%");
    ProgressFormat(line, sizeof line, 9999, 10000, 3600000 * 9999ull, 0, 0);
    EXPECT_STREQ(line, "9999/10000 records 99%, 0 rec/s, 1:00:00 left");
}

// ---------------------------------------------------------- usage errors

TEST(UsageErrors, BadOptionsGiveTheParserMessageAndTheUsageLine) {
    struct Case {
        std::vector<std::string> args;
        const char* parserText;
    } cases[] = {
        {{"-z", "e"}, "'z'"},
        {{"e", "-o"}, "'o'"},
        {{"--bogus", "e"}, "bogus"},
        {{"e", "--index"}, "index"},
        {{"--o=x", "e"}, "ambiguous"},
        {{"--format=xml", "e"}, "volscan : unknown format xml"},
        {{"--format=jsonl", "-v", "e"}, "volscan : -v writes the line format only"},
    };
    for (const Case& c : cases) {
        std::string dir = MakeTestDir("usage");
        RunResult r = RunVolscanBinary(c.args, dir);
        EXPECT_EQ(r.exitStatus, 1) << c.parserText;
        EXPECT_EQ(r.out, "") << c.parserText;
        EXPECT_THAT(r.err, EndsWith(Usage())) << c.parserText;
        std::string parser = r.err.substr(0, r.err.size() - Usage().size());
        EXPECT_THAT(parser, HasSubstr(c.parserText));
        EXPECT_THAT(r.err, Not(HasSubstr("FATAL")));
        EXPECT_FALSE(FileExists(dir + "/x"));
    }
}

TEST(UsageErrors, OperandCountMustBeOne) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-v"}, {"e", "f"}, {"-v", "c", "d", "-m"}}) {
        RunResult r = RunVolscanBinary(args);
        EXPECT_EQ(r.exitStatus, 1) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, Usage() + Fatal(kProgram + " : wrong number of arguments"));
    }
}

TEST(UsageErrors, OperandMustStartWithALetter) {
    RunResult r = RunVolscanBinary({"1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, Fatal(kProgram + " : not a valid drive 1"));
    for (const char* bad : {":e", "@", "[", "`", "{"}) {
        RunResult b = RunVolscanBinary({bad});
        EXPECT_EQ(b.exitStatus, 1) << bad;
        EXPECT_EQ(b.err, Fatal(kProgram + " : not a valid drive " + bad[0])) << bad;
    }
}

// ------------------------------------------------------------ the drive

TEST(DriveOperand, OnlyTheFirstCharacterNamesTheDrive) {
    struct Case {
        const char* operand;
        const char* device;
    } cases[] = {
        {"e", "\\\\.\\E:"},  {"E:\\", "\\\\.\\E:"}, {"ebook", "\\\\.\\E:"},
        {"e:", "\\\\.\\E:"}, {"a", "\\\\.\\A:"},    {"Z", "\\\\.\\Z:"},
    };
    for (const Case& c : cases) {
        std::string dir = MakeTestDir("drive");
        RunResult r = RunVolscanBinary({c.operand}, dir);
        EXPECT_EQ(r.exitStatus, 2) << c.operand;
        EXPECT_THAT(r.err, MatchesRegex("\nERROR [^\n]* \\([0-9]+\\) - diskio OpenVolume\\(\\) "
                                        "l\\.[0-9]+: CreateFile - Drive : [^\n]*\n\n"))
            << c.operand;
        EXPECT_THAT(r.err, EndsWith(std::string("CreateFile - Drive : ") + c.device + "\n\n"))
            << c.operand;
        // The header comes before the volume; the column titles only after a good open.
        EXPECT_THAT(r.out, StartsWith("Content|Host Name|"));
        EXPECT_THAT(r.out, Not(HasSubstr("MFT Index")));
    }
}

// ---------------------------------------------------------- output files

TEST(RunFiles, ExistingFileIsRefusedAndLeftUntouched) {
    struct Case {
        const char* option;
        const char* kind;
    } cases[] = {{"-o", "output"}, {"-u", "user"}, {"-d", "debug"}, {"-x", "error"}};
    for (const Case& c : cases) {
        std::string dir = MakeTestDir("exists");
        std::string path = Touch(dir + "/there.txt", "keep me\n");
        RunResult r = RunVolscanBinary({c.option, path, "-f", Sample(), "e"});
        EXPECT_EQ(r.exitStatus, 1) << c.kind;
        EXPECT_EQ(r.err, path + " already exists\n" +
                             Fatal(kProgram + ": unable to create " + c.kind + " file " + path))
            << c.kind;
        EXPECT_EQ(ReadFile(path), "keep me\n");
        EXPECT_EQ(r.out, "") << c.kind;
    }
}

// A symbolic link in a file's place is refused like the file it names,
// and one that points nowhere is refused too: the run creates nothing
// through it, where its target would be.
TEST(RunFiles, SymbolicLinksAreRefusedAndNothingIsMadeThroughThem) {
    struct Case {
        const char* option;
        const char* kind;
    } cases[] = {{"-o", "output"}, {"-u", "user"}, {"-d", "debug"}, {"-x", "error"}};
    for (const Case& c : cases) {
        for (bool bDangling : {false, true}) {
            SCOPED_TRACE(std::string(c.kind) + (bDangling ? " dangling" : " to a file"));
            std::string dir = MakeTestDir("symlink");
            std::string target = dir + "/target.txt";
            if (!bDangling) Touch(target, "keep me\n");
            std::string link = dir + "/link.txt";
            ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
            RunResult r = RunVolscanBinary({c.option, link, "-f", Sample(), "e"});
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.err, link + " already exists\n" +
                                 Fatal(kProgram + ": unable to create " + c.kind + " file " + link));
            EXPECT_EQ(r.out, "");
            if (bDangling)
                EXPECT_FALSE(FileExists(target)) << "a file was made through the link";
            else
                EXPECT_EQ(ReadFile(target), "keep me\n");
            char buf[4096];
            const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
            EXPECT_EQ(target, std::string(buf, n > 0 ? size_t(n) : 0)) << "the link was replaced";
        }
    }
}

TEST(RunFiles, UncreatableOutputIsReportedOnStderrBeforeTheErrorFile) {
    std::string dir = MakeTestDir("uncreatable");
    std::string out = dir + "/missing/out.txt";
    RunResult r = RunVolscanBinary({"-x", "err.txt", "-o", out, "-f", Sample(), "e"}, dir);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Can't create " + out + "\n" +
                         Fatal(kProgram + ": unable to create output file " + out));
    EXPECT_FALSE(FileExists(dir + "/err.txt"));
}

TEST(RunFiles, FilesCreatedBeforeAFailureStayEmpty) {
    std::string dir = MakeTestDir("partial");
    Touch(dir + "/dbg.txt", "old");
    RunResult r = RunVolscanBinary({"-d", "dbg.txt", "-o", "out.txt", "-u", "users.txt", "-f",
                                    Sample(), "e"},
                                   dir);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_THAT(r.err, HasSubstr("unable to create debug file dbg.txt"));
    EXPECT_TRUE(FileExists(dir + "/out.txt"));
    EXPECT_TRUE(FileExists(dir + "/users.txt"));
    EXPECT_EQ(ReadFile(dir + "/out.txt"), "");
}

TEST(RunFiles, ReportAndDiagnosticsGoToTheirFiles) {
    std::string dir = MakeTestDir("redirect");
    RunResult r = RunVolscanBinary({"-o", "out.txt", "-x", "err.txt", "e"}, dir);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(ReadFile(dir + "/out.txt"), StartsWith("Content|Host Name|"));
    EXPECT_THAT(ReadFile(dir + "/err.txt"), EndsWith("CreateFile - Drive : \\\\.\\E:\n\n"));
}

TEST(RunFiles, LaterOptionOverridesEarlierOne) {
    std::string dir = MakeTestDir("override");
    RunResult r = RunVolscanBinary({"-o", "a.txt", "-f", Sample(), "-o", "b.txt", "e"}, dir);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_FALSE(FileExists(dir + "/a.txt"));
    EXPECT_THAT(ReadFile(dir + "/b.txt"), HasSubstr("\n" + kTitles));
}

// A stream that cannot be written ends the run with one fatal diagnostic
// naming it and the system's reason, status 1, and nothing after it: the
// standard output on /dev/full, the report past the first MiB of a tmpfs
// of 1 MiB, and, once that is full, the -u, -d and -x files (the last one's
// failure is told on the standard error stream).
TEST(RunFiles, AFailedWriteEndsTheRunNamingTheFileAndTheReason) {
    const std::string dir = MakeTestDir("write-fails"), err = dir + "/err";
    const std::string volume = SourcePath("tests/images/attrlist.img");
    const std::string kFull = "\nFATAL No space left on device (28) - Aborting - " + kProgram +
                              ": unable to write ";
    BoundedRunResult r = RunVolscanBounded({"-f", volume, "C"}, "", "/dev/full", err, 60000, 0);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_THAT(ReadFile(err), EndsWith(kFull + "the standard output\n\n"));
    EXPECT_EQ(RunVolscanBounded({"-f", volume, "C"}, "", dir + "/out", "/dev/full", 60000, 0).exitStatus, 1);

    const std::string mnt = dir + "/tmpfs";
    if (system(("mkdir '" + mnt + "' && mount -t tmpfs -o size=1m tmpfs '" + mnt + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mount -t tmpfs is not allowed here (not root, or no CAP_SYS_ADMIN)";
    r = RunVolscanBounded({"-v", "-f", volume, "-o", mnt + "/report.txt", "C"}, "", dir + "/out",
                          err, 60000, 0);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(ReadFile(mnt + "/report.txt").size(), 1u << 20);
    const std::string text = ReadFile(err);
    EXPECT_THAT(text, EndsWith(kFull + "output file " + mnt + "/report.txt\n\n"));
    EXPECT_EQ(text.find("FATAL"), text.rfind("FATAL"));
    EXPECT_NE(system(("cat /dev/zero > '" + mnt + "/filler' 2>/dev/null").c_str()), 0);
    for (const auto& [option, kind] : {std::pair<std::string, std::string>{"-u", "user"}, {"-d", "debug"}, {"-x", "error"}}) {
        const std::string path = mnt + "/" + kind + ".txt";
        r = RunVolscanBounded({option, path, "-f", volume, "C"}, "",
                              dir + "/out", err, 60000, 0);
        EXPECT_EQ(r.exitStatus, 1) << kind;
        EXPECT_THAT(ReadFile(err), EndsWith(kFull + kind + " file " + path + "\n\n")) << kind;
    }
    EXPECT_EQ(system(("umount '" + mnt + "'").c_str()), 0);
}

// ---------------------------------------------------------- long options

TEST(LongOptions, ArgumentsAfterEqualsOrAsNextWordAndPrefixes) {
    std::string dir = MakeTestDir("long");
    RunResult r = RunVolscanBinary(
        {"e", "--out=a.txt", "--output", "b.txt", "--error-out=x.txt", "--file=" + Sample()}, dir);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(FileExists(dir + "/a.txt"));
    EXPECT_THAT(ReadFile(dir + "/b.txt"), HasSubstr("\n" + kTitles));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadDiagnostics(ReadFile(dir + "/x.txt")), "");
    EXPECT_THAT(ReadFile(dir + "/x.txt"), HasSubstr("pre-2k standard stream"));

    RunResult v = RunVolscanBinary({"--verb", "--utf8", "--file", Sample(), "e"});
    EXPECT_EQ(v.exitStatus, 0) << v.err;
    EXPECT_THAT(v.out, StartsWith("NetBIOS computer name : "));
    EXPECT_THAT(v.out, HasSubstr("Output locale: \".UTF-8\"\n\n\n"));
    EXPECT_THAT(v.out, Not(HasSubstr("MFT Index")));

    RunResult d = RunVolscanBinary({"--Dump", "--file", Sample(), "e"});
    EXPECT_THAT(d.err, HasSubstr(kSampleGeometry));
}

// ------------------------------------------------------------ -i numbers

TEST(ParseIndex, NumberForms) {
    EXPECT_EQ(ParseIndex(""), 0u);
    EXPECT_EQ(ParseIndex("abc"), 0u);
    EXPECT_EQ(ParseIndex("12abc"), 12u);
    EXPECT_EQ(ParseIndex("0x1F"), 31u);
    EXPECT_EQ(ParseIndex("0x1f"), 31u);
    EXPECT_EQ(ParseIndex("0xaBg1"), 0xABu);
    EXPECT_EQ(ParseIndex("0X1F"), 0u);
    EXPECT_EQ(ParseIndex("010"), 8u);
    EXPECT_EQ(ParseIndex("019"), 17u);
    EXPECT_EQ(ParseIndex("0"), 0u);
    EXPECT_EQ(ParseIndex("0x"), 0u);
    EXPECT_EQ(ParseIndex("1f"), 1u);
    EXPECT_EQ(ParseIndex("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseIndex("18446744073709551616"), 0u);  // wraps without a check
    EXPECT_EQ(ParseIndex("0xFFFFFFFFFFFFFFFF1"), 0xFFFFFFFFFFFFFFF1u);
}

TEST(IndexOption, WalkReadsOnlyTheRecordNamed) {
    struct Case {
        const char* index;
        int record;
        int unread;  // a record no step of this run has a reason to read
    } cases[] = {{"0x10", 16, 17}, {"010", 8, 10}, {"12abc", 12, 13}, {"abc", 0, 1},
                 {"--index=0x10", 16, 17}};
    for (const Case& c : cases) {
        std::string dir = MakeTestDir("index");
        std::vector<std::string> args = {"-e", "-d", "dbg.txt", "-f", Sample(), "e"};
        args.insert(args.begin(), c.index);
        if (c.index[0] != '-') args.insert(args.begin(), "-i");
        RunResult r = RunVolscanBinary(args, dir);
        // Records 12 and 16 have no name, so their report fails: only the
        // report's diagnostics, and the record's line all the same.
        EXPECT_EQ(ReadDiagnostics(r.err), "") << c.index;
        EXPECT_THAT(r.out, HasSubstr("\n" + kTitles + std::to_string(c.record) + "|")) << c.index;
        std::string trace = ReadFile(dir + "/dbg.txt");
        const std::string looking = "Looking for base record #";
        EXPECT_THAT(trace, HasSubstr(looking + std::to_string(c.record) + "\n")) << c.index;
        EXPECT_THAT(trace, Not(HasSubstr(looking + std::to_string(c.unread) + "\n"))) << c.index;
    }
}

// --------------------------------------------------------- debug stream

TEST(DebugStream, DumpAloneTracesToStandardError) {
    RunResult r = RunVolscanBinary({"-D", "-f", Sample(), "e"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_THAT(r.err, StartsWith("0000: eb 52 90 4e 54 46 53 20  20 20 20 00 02 08 00 00   "
                                  ".R.NTFS    .....\n"));
    // The boot cluster's dump is followed at once by the geometry.
    EXPECT_THAT(r.err, HasSubstr("01f0: 00 00 00 00 00 00 00 00  00 00 00 00 00 00 55 aa   "
                                 "..............U.\n" +
                                 std::string(kSampleGeometry)));
    EXPECT_THAT(r.out, Not(HasSubstr("SectorSize")));
}

TEST(DebugStream, DumpWithDebugFileWritesTheFile) {
    std::string dir = MakeTestDir("debug-file");
    RunResult r = RunVolscanBinary({"-D", "-d", "dbg.txt", "-f", Sample(), "e"}, dir);
    EXPECT_EQ(r.exitStatus, 0);
    // Only the report's own diagnostics, the same as without the debug file.
    EXPECT_EQ(r.err, RunVolscanBinary({"-f", Sample(), "e"}, dir).err);
    std::string trace = ReadFile(dir + "/dbg.txt");
    EXPECT_THAT(trace, StartsWith("0000: eb 52 90 4e"));
    EXPECT_THAT(trace, HasSubstr(std::string("U.\n") + kSampleGeometry));
}

TEST(DebugStream, DebugFileWithoutDumpHasOnlyTheTrace) {
    std::string dir = MakeTestDir("debug-only");
    RunResult r = RunVolscanBinary({"-d", "dbg.txt", "-f", Sample(), "e"}, dir);
    EXPECT_EQ(r.exitStatus, 0);
    std::string trace = ReadFile(dir + "/dbg.txt");
    EXPECT_THAT(trace, StartsWith(kSampleGeometry));
    EXPECT_THAT(trace, Not(HasSubstr("0000: ")));  // hex dumps only with -D
    RunResult quiet = RunVolscanBinary({"-f", Sample(), "e"});
    EXPECT_EQ(r.err, quiet.err);
    EXPECT_EQ(ReadDiagnostics(quiet.err), "");
}

// ------------------------------------------------------- in-process runs

namespace {

int RunInProcess(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return RunVolscan(static_cast<int>(words.size()), argv.data());
}

}  // namespace

// A run ended by -h inside a group of short options must not hand the rest
// of that group, or its place among the words, to the next run.
int HelpThenReport(const std::string& outPath, const std::string& errPath) {
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) return 4;
    std::vector<std::string> first = {"volscan", "-hv"};
    if (RunInProcess(first) != 0) return 5;
    std::vector<std::string> second = {"volscan", "-f", Sample(), "e"};
    return RunInProcess(second) == 0 ? 0 : 6;
}

// Run in a child: a wrong parse ends the process through a fatal diagnostic.
TEST(RunInProcessDeathTest, EachRunParsesOnlyItsOwnCommandLine) {
    std::string dir = MakeTestDir("in-process");
    std::string outPath = dir + "/out.txt", errPath = dir + "/err.txt";
    EXPECT_EXIT(exit(HelpThenReport(outPath, errPath)), ::testing::ExitedWithCode(0), "");
    std::string err = ReadFile(errPath);
    EXPECT_THAT(err, Not(HasSubstr("wrong number of arguments")));
    EXPECT_THAT(ReadFile(outPath), StartsWith("Content|Host Name|OS|"));
}
