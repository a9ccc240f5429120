// The run header: content, host, operating system, clocks and output locale.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/sysheader.h"
#include "base/vx_log.h"
#include "support/run_binary.h"
#include "text/vx_locale.h"

using ::testing::MatchesRegex;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string Header(const char* content, int lineMode) {
    FILE* f = tmpfile();
    DumpSystemInfo(f, content, "", lineMode);
    fflush(f);
    rewind(f);
    std::string s;
    int c;
    while ((c = fgetc(f)) != EOF) s += static_cast<char>(c);
    fclose(f);
    return s;
}

// What the host name becomes in the header: up to the first dot, upper case,
// at most 15 characters.
std::string NetBiosName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name;
    for (const char* p = host; *p && *p != '.' && name.size() < 15; p++)
        name += static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return name;
}

const char kTime[] = "[0-3][0-9]/[01][0-9]/20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}";

class HeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = setlocale(LC_ALL, nullptr);
        setlocale(LC_ALL, "C");
        set_wc_output_function(1);
    }
    void TearDown() override {
        set_wc_output_function(1);
        setlocale(LC_ALL, saved_.c_str());
    }
    std::string saved_;
};

}  // namespace

TEST_F(HeaderTest, LineModeIsColumnNamesThenValues) {
    std::string text = Header("volscan", 1);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(lines[0], "Content|Host Name|OS|UTC Time|Local Time|Output Locale|");
    EXPECT_THAT(lines[1], MatchesRegex("volscan\\|" + NetBiosName() + "\\|Unknown\\|" + kTime +
                                       "\\|" + kTime + "\\|\"C\"\\|"));
    // The header leaves the last line open for its caller.
    EXPECT_NE(text.back(), '\n');
}

TEST_F(HeaderTest, UserFileHeaderNamesItsContent) {
    std::vector<std::string> lines = Lines(Header("users", 1));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("users|" + NetBiosName() + "|", 0), 0u) << lines[1];
}

TEST_F(HeaderTest, VerboseModeIsFiveLabelledLinesAndAnEmptyLine) {
    set_wc_output_function(0);
    std::string text = Header("volscan", 0);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 6u) << text;
    EXPECT_EQ(lines[0], "NetBIOS computer name : " + NetBiosName());
    EXPECT_EQ(lines[1], "Operating system : Unknown");
    EXPECT_THAT(lines[2], MatchesRegex(std::string("UTC time : ") + kTime));
    EXPECT_THAT(lines[3], MatchesRegex(std::string("Local time : ") + kTime));
    EXPECT_EQ(lines[4], "Output locale: \".UTF-8\"");
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(text.find("volscan"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

TEST(ComputerName, NetBiosFormFitsTheCallersBuffer) {
    char name[32];
    memset(name, 'x', sizeof name);
    ASSERT_EQ(vx_plat_computer_name(name, sizeof name), 1);
    EXPECT_EQ(std::string(name), NetBiosName());
    EXPECT_LE(strlen(name), 15u);

    char small[6];
    memset(small, 'x', sizeof small);
    ASSERT_EQ(vx_plat_computer_name(small, 4), 1);
    EXPECT_EQ(std::string(small), NetBiosName().substr(0, 3));
    EXPECT_EQ(small[4], 'x');

    char none[2] = {'x', 'y'};
    EXPECT_EQ(vx_plat_computer_name(none, 0), 1);
    EXPECT_EQ(none[0], 'x');
    EXPECT_EQ(none[1], 'y');
}

TEST(OsName, NamesTheListedWindowsVersions) {
    EXPECT_STREQ(OsName(1, 4, 0), "Win 95");
    EXPECT_STREQ(OsName(1, 4, 10), "Win 98");
    EXPECT_STREQ(OsName(1, 4, 90), "Win Me");
    EXPECT_STREQ(OsName(1, 4, 3), "Unknown");
    EXPECT_STREQ(OsName(2, 3, 51), "Win NT 3.51");
    EXPECT_STREQ(OsName(2, 4, 0), "Win NT 4.0");
    EXPECT_STREQ(OsName(2, 5, 0), "Win 2000");
    EXPECT_STREQ(OsName(2, 5, 1), "Win XP");
    EXPECT_STREQ(OsName(2, 5, 2), "Win 2003");
    EXPECT_STREQ(OsName(2, 6, 1), "Unknown");
    EXPECT_STREQ(OsName(2, 10, 0), "Unknown");
    EXPECT_STREQ(OsName(0, 5, 1), "Unknown");
}

// ------------------------------------------------------------- the run

// Seconds since 1970 of a header time "dd/mm/yyyy hh:mm:ss.mmm", or -1.
long long HeaderSeconds(const std::string& text) {
    struct tm t = {};
    int ms = 0;
    if (sscanf(text.c_str(), "%d/%d/%d %d:%d:%d.%d", &t.tm_mday, &t.tm_mon, &t.tm_year,
               &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
        return -1;
    t.tm_mon -= 1;
    t.tm_year -= 1900;
    return static_cast<long long>(timegm(&t));
}

TEST(HeaderRun, LocalTimeFollowsTheTimeZoneAndUtcIsNow) {
    std::string sample = SourcePath("tests/images/sample.img");
    long long before = time(nullptr);
    RunResult r = RunVolscanBinary({"-f", sample, "e"}, "", {"TZ=XYZ-5:30", "LC_ALL=C"});
    long long after = time(nullptr);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 2u);
    // volscan|host|Unknown|utc|local|"C"|
    std::vector<size_t> bars;
    for (size_t i = 0; i < lines[1].size(); i++)
        if (lines[1][i] == '|') bars.push_back(i);
    ASSERT_EQ(bars.size(), 6u) << lines[1];
    long long utc = HeaderSeconds(lines[1].substr(bars[2] + 1));
    long long local = HeaderSeconds(lines[1].substr(bars[3] + 1));
    EXPECT_GE(utc, before - 1);
    EXPECT_LE(utc, after + 1);
    EXPECT_NEAR(static_cast<double>(local - utc), 5.5 * 3600, 2) << lines[1];
    EXPECT_EQ(lines[1].substr(bars[4] + 1), "\"C\"|");
}

TEST(HeaderRun, LineModeReportIsHeaderClosedByTheDriverThenTitles) {
    std::string sample = SourcePath("tests/images/sample.img");
    RunResult r = RunVolscanBinary({"-f", sample, "e"}, "", {"LC_ALL=C"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadDiagnostics(r.err), "");
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "Content|Host Name|OS|UTC Time|Local Time|Output Locale|");
    EXPECT_EQ(lines[1].rfind("volscan|", 0), 0u);
    EXPECT_EQ(lines[2],
              "MFT Index|FileName|MD5|# Links|Size|Attributes|Creation|Last Write|Attribute "
              "Modification|Last Access|# Data Streams|Owner|Group|# DACE|# SACE|[SID DACE|"
              "Rights|...][SID SACE|Audits|...][Data Stream Name|Size|...]");
    EXPECT_EQ(lines[2].size() + 1, 213u);
}

TEST(HeaderRun, VerboseReportHasLabelledHeaderAndNoTitles) {
    std::string sample = SourcePath("tests/images/sample.img");
    RunResult r = RunVolscanBinary({"-v", "-f", sample, "e"}, "", {"LC_ALL=C"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 7u) << r.out;
    EXPECT_EQ(lines[0], "NetBIOS computer name : " + NetBiosName());
    EXPECT_EQ(lines[1], "Operating system : Unknown");
    EXPECT_EQ(lines[4], "Output locale: \"C\"");
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(r.out.find("MFT Index"), std::string::npos);
}
