// Mapping pairs decoded into runs, extents merged in VCN order, and the
// search of the run that holds a VCN.
#include <gtest/gtest.h>

#include <vector>

#include "diskio/diskio.h"
#include "base/vx_log.h"
#include "support/capture.h"

namespace {

struct RunlistTest : ::testing::Test {
    Attribute attr{};
    CapturedStream errors;
    void SetUp() override {
        attr.dwType = 0x80;
        VxErrorStream = errors.pFile;
    }
    void TearDown() override {
        VxErrorStream = stderr;
        FreeAttribute(&attr);
    }
    int Decode(std::vector<uint8_t> pairs, uint64_t first, uint64_t last) {
        return ProcessRunlist(&attr, pairs.data(), pairs.size(), first, last);
    }
    ::Run At(uint64_t i) const { return attr.pRunlist[i]; }
};

TEST_F(RunlistTest, OffsetsAreSignedAndRelativeToThePreviousRun) {
    ASSERT_EQ(1, Decode({0x21, 0x18, 0x34, 0x56, 0x11, 0x30, 0xF0, 0x00}, 0, 0x47));
    ASSERT_EQ(2u, attr.ullRunCount);
    EXPECT_EQ(0x5634, At(0).llLcn);
    EXPECT_EQ(0x18u, At(0).ullLength);
    EXPECT_EQ(0x5624, At(1).llLcn);
    EXPECT_EQ(0x30u, At(1).ullLength);
    EXPECT_EQ(0x48u, attr.ullNextVcn);
    EXPECT_EQ("", errors.Text());
}

TEST_F(RunlistTest, SparseRunKeepsTheLcnOfTheRunBefore) {
    ASSERT_EQ(1, Decode({0x11, 0x04, 0x20, 0x01, 0x10, 0x11, 0x02, 0x10, 0x00}, 0, 0x15));
    ASSERT_EQ(3u, attr.ullRunCount);
    EXPECT_EQ(0x20, At(0).llLcn);
    EXPECT_EQ(kSparseLcn, At(1).llLcn);
    EXPECT_EQ(0x10u, At(1).ullLength);
    EXPECT_EQ(0x30, At(2).llLcn);  // 0x20 + 0x10, not relative to the sparse run
}

TEST_F(RunlistTest, ThreeByteFieldsLengthUnsignedOffsetSigned) {
    // Length 00 00 80 is 8,388,608; a first offset 00 00 80 is -8,388,608.
    ASSERT_EQ(1, Decode({0x33, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80}, 0, 0x7FFFFF));
    ASSERT_EQ(1u, attr.ullRunCount);
    EXPECT_EQ(8388608u, At(0).ullLength);
    EXPECT_EQ(-8388608, At(0).llLcn);
}

TEST_F(RunlistTest, EmptyExtentDecodesNothingButHasAnArray) {
    ASSERT_EQ(1, Decode({0x00}, 0, UINT64_MAX));
    EXPECT_EQ(0u, attr.ullRunCount);
    EXPECT_EQ(0u, attr.ullNextVcn);
    EXPECT_NE(nullptr, attr.pRunlist);
}

TEST_F(RunlistTest, ExtentsInOrderMergeIntoOneRunlist) {
    ASSERT_EQ(1, Decode({0x11, 100, 0x10, 0x00}, 0, 99));
    ASSERT_EQ(1, Decode({0x11, 100, 0x50, 0x00}, 100, 199));
    EXPECT_EQ(200u, attr.ullNextVcn);
    ASSERT_EQ(2u, attr.ullRunCount);
    EXPECT_EQ(0x50, At(1).llLcn);  // a new extent starts again from LCN 0
}

TEST_F(RunlistTest, ExtentOutOfOrderIsRefused) {
    EXPECT_EQ(0, Decode({0x11, 100, 0x50, 0x00}, 100, 199));
    EXPECT_NE(std::string::npos,
              errors.Text().find("missing Vcns - Expected : 0x0 Current 0x64 - Attribute type 0x80"));
    EXPECT_EQ(0u, attr.ullRunCount);
    EXPECT_EQ(1, Decode({0x11, 100, 0x10, 0x00}, 0, 99));
    EXPECT_EQ(100u, attr.ullNextVcn);
    EXPECT_EQ(1u, attr.ullRunCount);
}

TEST_F(RunlistTest, ManyRunsGrowTheArray) {
    std::vector<uint8_t> pairs;
    for (int i = 0; i < 25; i++) pairs.insert(pairs.end(), {0x11, 0x01, 0x02});
    pairs.push_back(0);
    ASSERT_EQ(1, Decode(pairs, 0, 24));
    ASSERT_EQ(25u, attr.ullRunCount);
    for (int i = 0; i < 25; i++) EXPECT_EQ(2 * (i + 1), At(i).llLcn) << "run " << i;
}

TEST_F(RunlistTest, PairsNeverReadPastTheirBytes) {
    // The header claims 8 clusters, the bytes hold one run of 4 and the
    // first byte of another.
    std::vector<uint8_t> pairs = {0x11, 0x04, 0x10, 0x21};
    EXPECT_EQ(0, Decode(pairs, 0, 7));
    EXPECT_NE(std::string::npos, errors.Text().find("mapping pairs run past the attribute record"));
    EXPECT_EQ(1u, attr.ullRunCount);
    EXPECT_EQ(4u, attr.ullNextVcn);  // what the runs cover
}

TEST_F(RunlistTest, ZeroHeaderEndsPairsThatCoverTooFewVcns) {
    // Bytes after the end mark must not be taken for runs.
    EXPECT_EQ(0, Decode({0x11, 0x04, 0x10, 0x00, 0x11, 0x04, 0x99}, 0, 7));
    EXPECT_NE(std::string::npos, errors.Text().find("mapping pairs end before Vcn 0x4"));
    EXPECT_EQ(1u, attr.ullRunCount);
}

TEST_F(RunlistTest, StrangeFieldSizesAreReportedOnStandardError) {
    ::testing::internal::CaptureStderr();
    // Length size 9: no length read; then offset size 9 after a good length.
    int r = Decode({0x09, 0x91, 0x02, 0x11, 0x02, 0x05}, 0, 3);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, r);
    EXPECT_NE(std::string::npos, err.find("FIXME : strange value 9 for run length\n"));
    EXPECT_NE(std::string::npos, err.find("FIXME : strange value 9 for run offset\n"));
    ASSERT_EQ(3u, attr.ullRunCount);
    EXPECT_EQ(0u, At(0).ullLength);
    EXPECT_EQ(2u, At(1).ullLength);
    EXPECT_EQ(0, At(1).llLcn);  // left as the array holds it
    EXPECT_EQ(5, At(2).llLcn);
}

TEST(FindRun, PassesOverEmptyRunsAndStopsAtTheEnd) {
    std::vector<::Run> runs = {{10, 5}, {20, 0}, {30, 3}};
    Attribute a{};
    a.pRunlist = runs.data();
    a.ullRunCount = runs.size();
    uint64_t run = 99, vcn = 5;
    EXPECT_EQ(1, FindRun(&a, &run, &vcn));
    EXPECT_EQ(2u, run);
    EXPECT_EQ(0u, vcn);
    vcn = 7;
    EXPECT_EQ(1, FindRun(&a, &run, &vcn));
    EXPECT_EQ(2u, run);
    EXPECT_EQ(2u, vcn);
    vcn = 8;
    EXPECT_EQ(0, FindRun(&a, &run, &vcn));
    Attribute empty{};
    vcn = 0;
    EXPECT_EQ(0, FindRun(&empty, &run, &vcn));
}

}  // namespace
