// The signature and update sequence check of one MFT record image.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "diskio/diskio.h"
#include "base/vx_log.h"
#include "support/capture.h"

namespace {

void Put16(std::vector<uint8_t>& r, size_t off, uint16_t v) {
    r[off] = static_cast<uint8_t>(v);
    r[off + 1] = static_cast<uint8_t>(v >> 8);
}
uint16_t Get16(const std::vector<uint8_t>& r, size_t off) {
    return static_cast<uint16_t>(r[off] | (r[off + 1] << 8));
}

// A record of `size` bytes with an update sequence array of `count` entries
// at 0x30: USN 0x0007, the true sector ends 0xA001, 0xA002, ... and the USN
// written at the end of every 512 bytes it covers.
std::vector<uint8_t> Record(uint32_t size, uint16_t count, uint16_t usaOffset = 0x30) {
    std::vector<uint8_t> r(size, 0x5A);
    memcpy(r.data(), "FILE", 4);
    Put16(r, 4, usaOffset);
    Put16(r, 6, count);
    Put16(r, usaOffset, 0x0007);
    for (uint32_t k = 1; k < count && usaOffset + 2u * k + 2 <= size; k++) {
        Put16(r, usaOffset + 2 * k, static_cast<uint16_t>(0xA000 + k));
        if (k * 512 <= size) Put16(r, k * 512 - 2, 0x0007);
    }
    return r;
}

struct CheckRecordTest : ::testing::Test {
    CapturedStream errors;
    void SetUp() override { VxErrorStream = errors.pFile; }
    void TearDown() override { VxErrorStream = stderr; }
};

TEST_F(CheckRecordTest, CountOfOneFixesNothing) {
    auto r = Record(1024, 1);
    auto before = r;
    EXPECT_EQ(1, CheckRecord(r.data(), 1024));
    EXPECT_EQ(before, r);
}

TEST_F(CheckRecordTest, EverySectorEndGetsItsTrueValue) {
    auto r = Record(1024, 3);
    EXPECT_EQ(1, CheckRecord(r.data(), 1024));
    EXPECT_EQ(0xA001, Get16(r, 510));
    EXPECT_EQ(0xA002, Get16(r, 1022));
    EXPECT_EQ("", errors.Text());
}

TEST_F(CheckRecordTest, FewerValuesThanSectorsLeavesTheRest) {
    auto r = Record(1024, 2);
    Put16(r, 1022, 0x1234);
    EXPECT_EQ(1, CheckRecord(r.data(), 1024));
    EXPECT_EQ(0xA001, Get16(r, 510));
    EXPECT_EQ(0x1234, Get16(r, 1022));
}

TEST_F(CheckRecordTest, FourKilobyteRecordsUseTheFiveHundredTwelveByteStride) {
    // As mkntfs -s 4096 writes them: 4096-byte records with 9 update values.
    auto r = Record(4096, 9);
    EXPECT_EQ(1, CheckRecord(r.data(), 4096));
    for (uint32_t k = 1; k <= 8; k++) EXPECT_EQ(0xA000 + k, Get16(r, k * 512 - 2)) << k;
}

TEST_F(CheckRecordTest, MoreValuesThanTheRecordHoldsIsInconsistent) {
    auto r = Record(512, 3);
    EXPECT_EQ(0, CheckRecord(r.data(), 512));
    EXPECT_NE(std::string::npos,
              errors.Text().find("inconsistent number of update values - Record size : 512 # of "
                                 "update values 2"));
}

TEST_F(CheckRecordTest, CountOfZeroRunsUntilThePositionLeavesTheRecord) {
    auto r = Record(1024, 3);
    Put16(r, 6, 0);
    EXPECT_EQ(0, CheckRecord(r.data(), 1024));
    EXPECT_NE(std::string::npos,
              errors.Text().find("Record size : 1024 # of update values 4294967295"));
}

TEST_F(CheckRecordTest, SectorEndThatDiffersFromTheUsnIsABadSector) {
    auto r = Record(1024, 3);
    Put16(r, 1022, 0x1234);
    EXPECT_EQ(0, CheckRecord(r.data(), 1024));
    EXPECT_NE(std::string::npos,
              errors.Text().find("bad sector - Update value : 7 sector value : 4660"));
}

TEST_F(CheckRecordTest, WrongSignatureIsNotAFileRecord) {
    std::vector<uint8_t> zeros(1024, 0);
    EXPECT_EQ(0, CheckRecord(zeros.data(), 1024));
    auto r = Record(1024, 3);
    memcpy(r.data(), "BAAD", 4);
    EXPECT_EQ(0, CheckRecord(r.data(), 1024));
    std::string text = errors.Text();
    size_t first = text.find("not a file record");
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, text.find("not a file record", first + 1));
}

TEST_F(CheckRecordTest, ArrayOutsideTheRecordIsNeverRead) {
    auto r = Record(1024, 3);
    Put16(r, 4, 0xFFFF);
    EXPECT_EQ(0, CheckRecord(r.data(), 1024));
    EXPECT_NE(std::string::npos, errors.Text().find("update sequence array outside the record"));

    // The USN fits, the values behind it do not.
    auto s = Record(1024, 3, 0x3FC);
    Put16(s, 510, 0x0007);
    EXPECT_EQ(0, CheckRecord(s.data(), 1024));
    EXPECT_NE(std::string::npos, errors.Text().find("update sequence array runs past the record"));
}

}  // namespace
