// The hexadecimal and character listing of the debug stream.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "text/vx_dump.h"
#include "base/vx_log.h"
#include "text/vx_locale.h"

namespace {

std::string Dump(const std::vector<uint8_t>& bytes) {
    FILE* f = tmpfile();
    DumpHex(f, bytes.data(), bytes.size());
    fflush(f);
    rewind(f);
    std::string s;
    int c;
    while ((c = fgetc(f)) != EOF) s += static_cast<char>(c);
    fclose(f);
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class DumpHexTest : public ::testing::Test {
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

TEST_F(DumpHexTest, FullLineLayout) {
    std::vector<uint8_t> b(16);
    for (int i = 0; i < 16; i++) b[i] = static_cast<uint8_t>(0x41 + i);
    b[3] = 0x00;
    b[9] = 0x0A;
    EXPECT_EQ(Dump(b),
              "0000: 41 42 43 00 45 46 47 48  49 0a 4b 4c 4d 4e 4f 50   ABC.EFGHI.KLMNOP\n");
}

TEST_F(DumpHexTest, TwentyBytesGiveAPartialSecondLineAlignedWithTheFirst) {
    std::vector<uint8_t> b(20);
    for (int i = 0; i < 20; i++) b[i] = static_cast<uint8_t>(i < 16 ? 0x30 + (i % 10) : 0x61 + i - 16);
    b[17] = 0x00;
    std::string text = Dump(b);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(lines[0],
              "0000: 30 31 32 33 34 35 36 37  38 39 30 31 32 33 34 35   0123456789012345");
    EXPECT_EQ(lines[1], "0010: 61 00 63 64 " + std::string(12 * 3 + 1, ' ') + "  a.cd");
    // The character columns start at the same place.
    EXPECT_EQ(lines[0].size() - 16, lines[1].size() - 4);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(DumpHexTest, NonPrintableBytesAreDots) {
    std::vector<uint8_t> b = {0x00, 0x0A, 0x1F, 0x7F, 0x20, 0x7E, 0xFF, 0x41};
    std::vector<std::string> lines = Lines(Dump(b));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0000: 00 0a 1f 7f 20 7e ff 41  " + std::string(8 * 3, ' ') +
                            "  .... ~.A");
}

TEST_F(DumpHexTest, EmptyBlockWritesNothing) {
    EXPECT_EQ(Dump({}), "");
}

TEST_F(DumpHexTest, OffsetsCountInSixteensPastFourDigits) {
    std::vector<uint8_t> b(0x10010, 0x2E);
    std::vector<std::string> lines = Lines(Dump(b));
    ASSERT_EQ(lines.size(), 0x1001u);
    EXPECT_EQ(lines[1].substr(0, 6), "0010: ");
    EXPECT_EQ(lines[0xFFF].substr(0, 6), "fff0: ");
    EXPECT_EQ(lines[0x1000].substr(0, 7), "10000: ");
}

TEST_F(DumpHexTest, CharacterColumnGoesThroughTheCurrentWriter) {
    std::vector<uint8_t> b = {'N', 'T', 'F', 'S'};
    // A writer that marks every character it is handed.
    wc_output_function = [](FILE* f, vx_wchar wc) {
        fprintf(f, "<%x>", wc);
        return 4;
    };
    EXPECT_EQ(Lines(Dump(b))[0].substr(6 + 16 * 3 + 1 + 2), "<4e><54><46><53>");
}
