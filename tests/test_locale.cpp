// Locale selection and the two writers of 16-bit wide characters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/capture.h"

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "base/vx_log.h"
#include "platform/stream_write.h"
#include "support/run_binary.h"
#include "text/vx_format.h"
#include "text/vx_locale.h"

namespace {


std::string Hex(const std::string& bytes) {
    std::string s;
    char cell[4];
    for (unsigned char c : bytes) {
        snprintf(cell, sizeof cell, "%s%02X", s.empty() ? "" : " ", c);
        s += cell;
    }
    return s;
}

// Each test gets a scratch output stream and a scratch error stream, and
// leaves the locale and the writer selection as it found them.
class LocaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLocale_ = setlocale(LC_ALL, nullptr);
        savedErr_ = VxErrorStream;
        out_ = tmpfile();
        err_ = tmpfile();
        ASSERT_TRUE(out_ && err_);
        VxErrorStream = err_;
    }
    void TearDown() override {
        set_wc_output_function(1);
        setlocale(LC_ALL, savedLocale_.c_str());
        VxErrorStream = savedErr_;
        fclose(out_);
        fclose(err_);
    }
    std::string Out() { return Drain(out_); }
    std::string Err() { return Drain(err_); }
    // The bytes one unit gives through `writer`, and the count it returned.
    std::string One(vx_wc_writer writer, vx_wchar wc, int* pCount) {
        FILE* f = tmpfile();
        *pCount = writer(f, wc);
        std::string s = Drain(f);
        fclose(f);
        return s;
    }

    std::string savedLocale_;
    FILE* savedErr_ = nullptr;
    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
};

}  // namespace

TEST_F(LocaleTest, Utf8WriterEncodesEachUnitByItself) {
    struct Case {
        vx_wchar unit;
        const char* hex;
    } cases[] = {
        {0x0041, "41"},       {0x007F, "7F"},       {0x0080, "C2 80"},    {0x00E9, "C3 A9"},
        {0x07FF, "DF BF"},    {0x0800, "E0 A0 80"}, {0x20AC, "E2 82 AC"}, {0x4E2D, "E4 B8 AD"},
        {0xFFFF, "EF BF BF"}, {0xD800, "ED A0 80"}, {0xDFFF, "ED BF BF"}, {0xFEFF, "EF BB BF"},
    };
    for (const Case& c : cases) {
        int count = -1;
        std::string bytes = One(vx_utf8_fputwc, c.unit, &count);
        EXPECT_EQ(Hex(bytes), c.hex) << std::hex << c.unit;
        EXPECT_EQ(count, static_cast<int>(bytes.size())) << std::hex << c.unit;
    }
    EXPECT_EQ(Err(), "");
}

TEST_F(LocaleTest, Utf8ModeWritesSurrogatePairAsTwoSequences) {
    set_wc_output_function(0);
    const vx_wchar name[] = {'a', 0xD83D, 0xDE00, 'b', 0};
    EXPECT_EQ(vx_fputws(out_, name), 8);
    EXPECT_EQ(Hex(Out()), "61 ED A0 BD ED B8 80 62");
    EXPECT_STREQ(vx_getlocale(), ".UTF-8");
}

TEST_F(LocaleTest, FputwsUsesTheSelectedWriterAndStopsAtZero) {
    const vx_wchar name[] = {'D', 0x00E9, 'j', 0, 'X', 0};
    set_wc_output_function(0);
    EXPECT_EQ(vx_fputws(out_, name), 4);
    ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
    set_wc_output_function(1);
    const vx_wchar ascii[] = {'o', 'k', 0};
    EXPECT_EQ(vx_fputws(out_, ascii), 2);
    EXPECT_EQ(Out(), "D\xC3\xA9jok");
    const vx_wchar empty[] = {0};
    EXPECT_EQ(vx_fputws(out_, empty), 0);
    EXPECT_EQ(Out(), "D\xC3\xA9jok");
}

// Names go out in runs of ASCII and unit by unit otherwise: the bytes and
// the count must be those of the writer called for every unit, across runs
// longer than the run buffer and at their edges.
TEST_F(LocaleTest, FputwsWritesWhatEachUnitWouldInRunsOfAnyLength) {
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    std::vector<vx_wchar> name;
    for (int k = 0; k < 700; k++) name.push_back(static_cast<vx_wchar>('a' + k % 26));
    for (size_t at : {0u, 255u, 256u, 257u, 511u, 699u}) name[at] = 0x00E9;
    name[300] = 0x7F;
    name[301] = 0x80;
    name[400] = 0x4E2D;
    name.push_back(0);
    for (int mode : {0, 1}) {
        vx_wc_writer writer = mode == 0 ? vx_utf8_fputwc : vx_locale_fputwc;
        std::string expected;
        int expectedCount = 0;
        for (size_t k = 0; name[k] != 0; k++) {
            int n = 0;
            expected += One(writer, name[k], &n);
            expectedCount += n;
        }
        set_wc_output_function(mode);
        FILE* f = tmpfile();
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(expectedCount, vx_fputws(f, name.data())) << mode;
        EXPECT_EQ(expected, Drain(f)) << mode;
        fclose(f);
    }
    EXPECT_EQ("", Err());
}

// The unlocked writers put bytes where fwrite and fprintf would: into a
// buffer of 8 bytes, so that writes fit it, fill it or pass it.
TEST(StreamWrite, SameBytesAsStdioAcrossASmallBuffer) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    char buffer[8];
    setvbuf(f, buffer, _IOFBF, sizeof buffer);
    std::string want;
    for (uint64_t v : {uint64_t{0}, uint64_t{9}, uint64_t{65535}, uint64_t{4294967296u}, UINT64_MAX}) {
        vx_put_u64(f, v);
        vx_put_char(f, '|');
        want += std::to_string(v) + "|";
    }
    vx_put_text(f, "");
    for (const char* s : {"ab", "cdefgh", "a text longer than the buffer", "x"}) {
        vx_put_text(f, s);
        fputs("/", f);
        want = want + s + "/";
    }
    EXPECT_EQ(want, Drain(f));
    fclose(f);
}

TEST(FormatDigits, AsPrintfWouldWriteThem) {
    for (uint64_t v : {uint64_t{0}, uint64_t{7}, uint64_t{10}, uint64_t{99}, uint64_t{4294967295u},
                       UINT64_MAX}) {
        for (int width : {1, 2, 7, 25}) {
            char text[40];
            char* end = vx_format_u64(text, v, width);
            char want[40];
            snprintf(want, sizeof want, "%0*llu", width, static_cast<unsigned long long>(v));
            EXPECT_EQ(std::string(want), std::string(text, end)) << v << " " << width;
        }
    }
}

TEST_F(LocaleTest, LocaleWriterFollowsTheUtf8Locale) {
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    int count = -1;
    EXPECT_EQ(Hex(One(vx_locale_fputwc, 0x4E2D, &count)), "E4 B8 AD");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Hex(One(vx_locale_fputwc, 0x00E9, &count)), "C3 A9");
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(vx_getlocale(), "C.UTF-8");
    EXPECT_EQ(Err(), "");
}

TEST_F(LocaleTest, CLocaleCannotWriteCjkAndGoesOn) {
    ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
    set_wc_output_function(1);
    EXPECT_STREQ(vx_getlocale(), "C");
    const vx_wchar name[] = {'a', 0x4E2D, 'b', 0};
    EXPECT_EQ(vx_fputws(out_, name), 2);
    EXPECT_EQ(Out(), "ab");
    EXPECT_THAT(Err(), ::testing::MatchesRegex("\nERROR - vx_locale vx_locale_fputwc\\(\\) "
                                              "l\\.[0-9]+: Can't output 0x4e2d to current "
                                              "locale\n\n"));
    // One error line for every occurrence.
    int count = -1;
    EXPECT_EQ(One(vx_locale_fputwc, 0x4E2D, &count), "");
    EXPECT_EQ(count, 0);
    std::string err = Err();
    size_t first = err.find("0x4e2d"), second = err.find("0x4e2d", first + 1);
    EXPECT_NE(second, std::string::npos);
}

TEST_F(LocaleTest, LocaleWriterRefusesLoneSurrogateInUtf8Locale) {
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    int count = -1;
    EXPECT_EQ(One(vx_locale_fputwc, 0xD800, &count), "");
    EXPECT_EQ(count, 0);
    EXPECT_NE(Err().find("Can't output 0xd800 to current locale"), std::string::npos);
}

TEST_F(LocaleTest, SetLocaleFailureWarnsAndKeepsTheLocale) {
    ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(vx_setlocale("xx_NOWHERE.BOGUS"), -1);
    EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C");
    std::string err = Err();
    EXPECT_EQ(err.rfind("\nWARNING - vx_locale vx_setlocale() l.", 0), 0u) << err;
    EXPECT_NE(err.find(": Failed to set locale, using default \"C\"\n\n"), std::string::npos)
        << err;
    EXPECT_EQ(vx_setlocale("C"), 0);
}

TEST(LocaleDeathTest, UnknownOutputModeIsFatal) {
    EXPECT_EXIT(
        {
            VxErrorStream = stderr;
            set_wc_output_function(2);
            exit(0);
        },
        ::testing::ExitedWithCode(1),
        "\nFATAL - Aborting - vx_locale set_wc_output_function\\(\\) l\\.[0-9]+: "
        "Specified locale is unknown\n\n");
}

TEST(Wmemcpy, CopiesExactlyCountUnitsThroughZeros) {
    const vx_wchar src[] = {'a', 0, 'b', 0xD800, 'c'};
    vx_wchar dst[7] = {9, 9, 9, 9, 9, 9, 9};
    vx_wmemcpy(src, dst, 4);
    EXPECT_EQ(std::vector<vx_wchar>(dst, dst + 7),
              (std::vector<vx_wchar>{'a', 0, 'b', 0xD800, 9, 9, 9}));
    vx_wmemcpy(src + 4, dst, 0);
    EXPECT_EQ(dst[0], 'a');
}

TEST(LocaleRun, StartupLocaleComesFromTheEnvironment) {
    std::string sample = SourcePath("tests/images/sample.img");
    RunResult c = RunVolscanBinary({"-f", sample, "e"}, "", {"LC_ALL=C"});
    EXPECT_NE(c.out.find("|\"C\"|\n"), std::string::npos) << c.out;
    RunResult u = RunVolscanBinary({"-8", "-f", sample, "e"}, "", {"LC_ALL=C"});
    EXPECT_NE(u.out.find("|\".UTF-8\"|\n"), std::string::npos) << u.out;
    RunResult bad = RunVolscanBinary({"-f", sample, "e"}, "", {"LC_ALL=xx_NOWHERE.BOGUS"});
    EXPECT_EQ(bad.exitStatus, 0);
    EXPECT_NE(bad.err.find("Failed to set locale, using default \"C\""), std::string::npos)
        << bad.err;
    EXPECT_NE(bad.out.find("|\"C\"|\n"), std::string::npos) << bad.out;
}
