// Boot sector decoding, volume open and close, and the cluster reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diskio/diskio.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "support/run_binary.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

// A boot sector with the fields the geometry is read from.
std::vector<uint8_t> Boot(uint16_t bytesPerSector, uint8_t spc, uint8_t recordByte,
                          uint64_t totalSectors = 0x3FFF, uint64_t mftLcn = 4) {
    std::vector<uint8_t> b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    memcpy(&b[3], "NTFS    ", 8);
    b[0x0B] = static_cast<uint8_t>(bytesPerSector);
    b[0x0C] = static_cast<uint8_t>(bytesPerSector >> 8);
    b[0x0D] = spc;
    for (int i = 0; i < 8; i++) {
        b[0x28 + i] = static_cast<uint8_t>(totalSectors >> (8 * i));
        b[0x30 + i] = static_cast<uint8_t>(mftLcn >> (8 * i));
    }
    b[0x40] = recordByte;
    b[0x1FE] = 0x55;
    b[0x1FF] = 0xAA;
    return b;
}

struct Decoded {
    int ok;
    BootGeometry geom;
    std::string what;
    uint64_t value;
};

Decoded Decode(const std::vector<uint8_t>& b) {
    Decoded d{};
    const char* what = "";
    d.ok = DecodeBootSector(b.data(), b.size(), &d.geom, &what, &d.value);
    d.what = what;
    return d;
}


std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = MakeTestDir(name) + "/boot.img";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

}  // namespace

// ------------------------------------------------------- DecodeBootSector

TEST(DecodeBootSector, AcceptedGeometries) {
    struct Case {
        uint16_t sector;
        uint8_t spc, record;
        uint64_t total;
        uint32_t cluster, recordSize, recordClusters;
        uint64_t clusters;
    } cases[] = {
        {512, 8, 0xF6, 0x3FFF, 4096, 1024, 1, 0x7FF},          // total rounded down
        {512, 1, 0x02, 8191, 512, 1024, 2, 8191},              // record byte counts clusters
        {512, 1, 0xF4, 8191, 512, 4096, 8, 8191},              // record spans 8 clusters
        {512, 0xF4, 0xF6, 2095104, 2 << 20, 1024, 1, 511},     // 2^12 sectors: 2 MiB
        {512, 0x80, 0xF6, 1 << 20, 64 << 10, 1024, 1, 8192},   // 0x80 is a plain 128
        {4096, 8, 0xF4, 1023, 32768, 4096, 1, 127},            // 4Kn sectors
    };
    for (const Case& c : cases) {
        Decoded d = Decode(Boot(c.sector, c.spc, c.record, c.total, 0xAA));
        ASSERT_EQ(d.ok, 1) << d.what << " spc 0x" << std::hex << +c.spc;
        EXPECT_EQ(d.geom.dwSectorSize, c.sector);
        EXPECT_EQ(d.geom.dwClusterSize, c.cluster) << std::hex << +c.spc;
        EXPECT_EQ(d.geom.dwMftRecordSize, c.recordSize) << std::hex << +c.record;
        EXPECT_EQ(d.geom.dwMftRecordClusters, c.recordClusters) << std::hex << +c.record;
        EXPECT_EQ(d.geom.ullClusterNumber, c.clusters) << c.total;
        EXPECT_EQ(d.geom.ullMftStart, 0xAAu);
    }
}

TEST(DecodeBootSector, RefusesSizesNtfsCannotHave) {
    struct Case {
        std::vector<uint8_t> boot;
        const char* what;
        uint64_t value;
    } cases[] = {
        {Boot(0, 8, 0xF6), "bytes per sector", 0},
        {Boot(768, 8, 0xF6), "bytes per sector", 768},
        {Boot(128, 8, 0xF6), "bytes per sector", 128},
        {Boot(8192, 1, 0xF6), "bytes per sector", 8192},
        {Boot(512, 0, 0xF6), "sectors per cluster", 0},
        {Boot(512, 3, 0xF6), "sectors per cluster", 3},
        {Boot(512, 0xF3, 0xF6), "sectors per cluster", 0xF3},  // 4 MiB
        {Boot(512, 8, 0x00), "clusters per MFT record", 0},
        {Boot(512, 8, 0x03), "clusters per MFT record", 3},  // 12 KiB
        {Boot(512, 8, 0xE0), "clusters per MFT record", 0xE0},
        {Boot(512, 8, 0x80), "clusters per MFT record", 0x80},
        {Boot(512, 8, 0xF9), "clusters per MFT record", 0xF9},  // 128 bytes
    };
    for (const Case& c : cases) {
        Decoded d = Decode(c.boot);
        EXPECT_EQ(d.ok, 0) << c.what << " " << c.value;
        EXPECT_EQ(d.what, c.what) << c.value;
        EXPECT_EQ(d.value, c.value) << c.what;
    }
}

// Sectors-per-cluster bytes whose power of two is far beyond any cluster
// size: they must be refused, never turned into a cluster of 0 or a shift
// past 63 bits.  Each is decoded in a child so that a fault shows as a failure.
TEST(DecodeBootSectorDeathTest, RefusesHugeClusterExponents) {
    for (int spc : {0xC9, 0xC1, 0xC0, 0xA0, 0x81}) {
        EXPECT_EXIT(
            {
                Decoded d = Decode(Boot(512, static_cast<uint8_t>(spc), 0xF6));
                bool refused = d.ok == 0 && d.what == "sectors per cluster" &&
                               d.value == static_cast<uint64_t>(spc);
                exit(refused ? 0 : 3);
            },
            ::testing::ExitedWithCode(0), "")
            << "sectors per cluster byte 0x" << std::hex << spc;
    }
}

// ------------------------------------------------------------ OpenVolume

namespace {

class VolumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedErr_ = VxErrorStream;
        err_ = tmpfile();
        VxErrorStream = err_;
        savedDebug_ = DiskioDebugStream;
        savedDump_ = DiskioDumpRecords;
        savedMax_ = MaxReadSize;
        DiskioDebugStream = nullptr;
        DiskioDumpRecords = 0;
    }
    void TearDown() override {
        DiskioDebugStream = savedDebug_;
        DiskioDumpRecords = savedDump_;
        MaxReadSize = savedMax_;
        VxErrorStream = savedErr_;
        fclose(err_);
    }
    std::string Err() { return Drain(err_); }

    FILE* err_ = nullptr;
    FILE* savedErr_ = nullptr;
    FILE* savedDebug_ = nullptr;
    int savedDump_ = 0;
    uint32_t savedMax_ = 0;
};

}  // namespace

TEST_F(VolumeTest, OpensCommittedImagesWithTheirGeometry) {
    struct Case {
        const char* image;
        uint32_t sector, cluster, record, recordClusters;
        uint64_t clusters, mft;
    } cases[] = {
        {"sample.img", 512, 4096, 1024, 1, 2047, 4},
        {"clust512.img", 512, 512, 1024, 2, 8191, 32},
        {"sect4k.img", 4096, 4096, 4096, 1, 1023, 4},
    };
    for (const Case& c : cases) {
        std::string path = SourcePath(std::string("tests/images/") + c.image);
        Volume vol{};
        vol.DriveLetter = 'E';
        vol.pszSourcePath = path.c_str();
        ASSERT_EQ(OpenVolume(&vol), 0) << c.image << Err();
        EXPECT_EQ(vol.SectorSize, c.sector) << c.image;
        EXPECT_EQ(vol.ClusterSize, c.cluster) << c.image;
        EXPECT_EQ(vol.MftRecordSize, c.record) << c.image;
        EXPECT_EQ(vol.MftRecordClusters, c.recordClusters) << c.image;
        EXPECT_EQ(vol.ClusterNumber, c.clusters) << c.image;
        EXPECT_EQ(vol.MftStart, c.mft) << c.image;
        EXPECT_STREQ(vol.szDevicePath, "\\\\.\\E:");
        EXPECT_STREQ(vol.szRootPath, "E:\\");
        EXPECT_EQ(ProcessChunkSize, 0x1000000u);
        EXPECT_EQ(MaxReadSize % c.cluster, 0u);
        EXPECT_GT(MaxReadSize, 0xFFFFFFFFu - c.cluster);
        for (int k = 0; k < 16; k++) EXPECT_EQ(vol.AttrTypes[k], 0x10u * (k + 1));
        ASSERT_NE(PClusterBuffer, nullptr);
        memset(PClusterBuffer, 0xCC, c.cluster);  // sized to the volume's clusters
        EXPECT_EQ(CloseVolume(&vol), 0);
        EXPECT_EQ(PClusterBuffer, nullptr);
        EXPECT_EQ(vol.hVolume, nullptr);
    }
    EXPECT_EQ(Err(), "");
}

TEST_F(VolumeTest, MissingDeviceFailsAtCreateFileAndCloseReleasesNothing) {
    Volume vol{};
    vol.DriveLetter = 'Q';
    vol.pszSourcePath = "/nonexistent/volscan/disk.img";
    DiskioDebugStream = tmpfile();
    EXPECT_EQ(OpenVolume(&vol), 2);
    EXPECT_EQ(vol.hVolume, nullptr);
    EXPECT_EQ(PClusterBuffer, nullptr);
    EXPECT_THAT(Err(), MatchesRegex(std::string("\nERROR ") + strerror(ENOENT) +
                                    " \\(2\\) - diskio OpenVolume\\(\\) l\\.[0-9]+: CreateFile - "
                                    "Drive : /nonexistent/volscan/disk.img\n\n"));
    EXPECT_EQ(Drain(DiskioDebugStream), "");  // no geometry line before the cluster read
    EXPECT_EQ(CloseVolume(&vol), 0);
    fclose(DiskioDebugStream);
}

TEST_F(VolumeTest, RefusedBootSectorStillTracesTheGeometry) {
    std::string path = WriteImage("geom-zero-sector", Boot(0, 8, 0xF6));
    Volume vol{};
    vol.DriveLetter = 'E';
    vol.pszSourcePath = path.c_str();
    DiskioDebugStream = tmpfile();
    EXPECT_EQ(OpenVolume(&vol), 2);
    EXPECT_THAT(Err(), MatchesRegex("\nERROR - diskio OpenVolume\\(\\) l\\.[0-9]+: drive " + path +
                                    " is not NTFS - invalid bytes per sector : 0\n\n"));
    EXPECT_EQ(Drain(DiskioDebugStream),
              "SectorSize: 0x0, ClusterSize: 0x200, MftRecordSize: 0x0\n"
              "ClusterNumber: 0x1, MftStart: 0x0\n");
    EXPECT_EQ(CloseVolume(&vol), 0);
    EXPECT_EQ(PClusterBuffer, nullptr);
    fclose(DiskioDebugStream);
}

// ---------------------------------------------------------- ReadClusters

namespace {

// A volume of `clusters` clusters of 4096 bytes held in memory; byte i of
// the volume holds the value i * 7 + i / 4096.
class ReadClustersTest : public VolumeTest {
protected:
    void Open(uint64_t clusters, uint64_t failAt = UINT64_MAX) {
        data_.resize(clusters * 4096);
        for (size_t i = 0; i < data_.size(); i++)
            data_[i] = static_cast<uint8_t>(i * 7 + i / 4096);
        vol_ = Volume{};
        vol_.ClusterSize = 4096;
        vol_.ClusterNumber = clusters;
        vol_.hVolume = vx_plat_open_memory(data_.data(), data_.size(), failAt);
        ASSERT_NE(vol_.hVolume, nullptr);
        MaxReadSize = 0xFFFFF000u;
    }
    void TearDown() override {
        if (vol_.hVolume != nullptr) vx_plat_close(vol_.hVolume);
        VolumeTest::TearDown();
    }
    VxDeviceStats Stats() {
        VxDeviceStats s{};
        vx_plat_device_stats(vol_.hVolume, &s);
        return s;
    }
    std::vector<uint8_t> data_;
    Volume vol_{};
};

}  // namespace

TEST_F(ReadClustersTest, ReadsWholeRunInOneRequest) {
    Open(16);
    std::vector<uint8_t> buf(4 * 4096, 0);
    uint64_t count = 4;
    EXPECT_EQ(ReadClusters(&vol_, 3, &count, buf.data()), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data_.begin() + 3 * 4096));
    EXPECT_EQ(Stats().ullReads, 1u);
    EXPECT_EQ(Err(), "");
}

TEST_F(ReadClustersTest, SplitsRequestsAtMaxReadSize) {
    Open(16);
    MaxReadSize = 2 * 4096;
    std::vector<uint8_t> buf(5 * 4096, 0);
    uint64_t count = 5;
    EXPECT_EQ(ReadClusters(&vol_, 0, &count, buf.data()), 1);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Stats().ullReads, 3u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data_.begin()));
}

TEST_F(ReadClustersTest, FirstClusterAtTheEndIsRefusedWithoutReading) {
    Open(8);
    std::vector<uint8_t> buf(4096, 0);
    uint64_t count = 1;
    EXPECT_EQ(ReadClusters(&vol_, 8, &count, buf.data()), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stats().ullReads, 0u);
    EXPECT_THAT(Err(), MatchesRegex("\nERROR - diskio ReadClusters\\(\\) l\\.[0-9]+: "
                                    "offset beyond end of volume\n\n"));
}

TEST_F(ReadClustersTest, RunPastTheEndDeliversWhatTheDeviceHas) {
    Open(8);
    std::vector<uint8_t> buf(3 * 4096, 0xEE);
    uint64_t count = 3;
    EXPECT_EQ(ReadClusters(&vol_, 7, &count, buf.data()), 1);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, data_.begin() + 7 * 4096));
    EXPECT_GE(Stats().ullReads, 1u);
    EXPECT_EQ(Err(), "");
}

TEST_F(ReadClustersTest, CountZeroReadsNothing) {
    Open(8);
    uint8_t guard = 0x5A;
    uint64_t count = 0;
    EXPECT_EQ(ReadClusters(&vol_, 2, &count, &guard), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(guard, 0x5A);
    EXPECT_EQ(Stats().ullBytes, 0u);
    EXPECT_EQ(Err(), "");
}

TEST_F(ReadClustersTest, DeviceErrorReportsTheNumbersAndWholeClustersRead) {
    Open(16, 3 * 4096 + 100);  // a bad byte inside cluster 3
    MaxReadSize = 4096;
    std::vector<uint8_t> buf(6 * 4096, 0);
    uint64_t count = 6;
    EXPECT_EQ(ReadClusters(&vol_, 1, &count, buf.data()), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2 * 4096, data_.begin() + 4096));
    EXPECT_THAT(Err(), MatchesRegex(std::string("\nERROR ") + strerror(EIO) +
                                    " \\(5\\) - diskio ReadClusters\\(\\) l\\.[0-9]+: ReadFile for "
                                    "4096 bytes failed - Already read bytes : 8192, remaining : "
                                    "16384\n\n"));
}

TEST_F(ReadClustersTest, FailedSeekIsReportedWithTheOffset) {
    std::string path = SourcePath("tests/images/sample.img");
    vol_ = Volume{};
    vol_.ClusterSize = 4096;
    vol_.ClusterNumber = 100;
    // A base offset that puts cluster 1 past the largest file position.
    vol_.hVolume = vx_plat_open_device(path.c_str(), 0x7FFFFFFFFFFFF000ull);
    ASSERT_NE(vol_.hVolume, nullptr);
    MaxReadSize = 0xFFFFF000u;
    std::vector<uint8_t> buf(4096);
    uint64_t count = 1;
    EXPECT_EQ(ReadClusters(&vol_, 2, &count, buf.data()), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_THAT(Err(), HasSubstr("diskio ReadClusters() l."));
    EXPECT_THAT(Err(), HasSubstr(": SetFilePointer - Offset : 0x2000\n\n"));
    EXPECT_EQ(Err().rfind("\nERROR ", 0), 0u);
}

// -------------------------------------------------------------- the run

TEST(GeometryRun, TwoMibClusterWindowsVolumeOpens) {
    std::string image = SharedImage("win10-2mcluster.raw");
    if (image.empty()) GTEST_SKIP() << "../shared/images/win10-2mcluster.raw.gz is not there";
    // Record 0 alone: the open and one report show the geometry at work.
    RunResult r = RunVolscanBinary({"-D", "-i", "0", "-f", image, "--offset=65536", "e"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("SectorSize: 0x200, ClusterSize: 0x200000, MftRecordSize: 0x400\n"
                                 "ClusterNumber: 0x"));
    EXPECT_THAT(r.err, HasSubstr("0000: eb 52 90 4e 54 46 53 20  20 20 20 00 02 f4"));
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\nMFT Index|FileName|"));
    // The offset takes the number forms of -i, or sectors; nothing may follow.
    for (const char* offset : {"0x10000", "0200000", "128s"}) {
        RunResult o = RunVolscanBinary({"-i", "0", "-f", image, "--offset", offset, "e"});
        EXPECT_EQ(o.exitStatus, 0) << offset << o.err;
    }
    for (const char* offset : {"0X10000", "65536kib"}) {
        RunResult wrong = RunVolscanBinary({"-f", image, "--offset", offset, "e"});
        EXPECT_EQ(wrong.exitStatus, 1) << offset;
        EXPECT_THAT(wrong.err, HasSubstr("is not a number of bytes (65536, 0x10000) or of sectors"));
    }
}

TEST(GeometryRun, FatVolumeIsNotNtfs) {
    std::string fat = SourcePath("tests/images/fat.img");
    if (!FileExists(fat)) {
        std::vector<uint8_t> b(1024, 0);
        const uint8_t head[] = {0xEB, 0x3C, 0x90, 'm', 'k', 'f', 's', '.', 'f', 'a', 't', 0,
                                0x02, 0x04, 0x01, 0x00};
        memcpy(b.data(), head, sizeof head);
        fat = WriteImage("fat-boot", b);
    }
    RunResult r = RunVolscanBinary({"-f", fat, "e"}, "", {"LC_ALL=C"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_THAT(r.err, MatchesRegex("\nERROR - diskio OpenVolume\\(\\) l\\.[0-9]+: drive " + fat +
                                    " is not NTFS\n\n"));
    EXPECT_THAT(r.out, MatchesRegex("Content\\|Host Name\\|OS\\|UTC Time\\|Local Time\\|Output "
                                    "Locale\\|\nvolscan\\|[^\n]*\\|\"C\"\\|\n"));

    RunResult d = RunVolscanBinary({"-D", "-f", fat, "e"});
    EXPECT_EQ(d.exitStatus, 2);
    size_t error = d.err.find("is not NTFS\n\n");
    size_t dump = d.err.find("0000: eb 3c 90 6d 6b 66 73 2e  66 61 74 00 02 04 01 00   "
                             ".<.mkfs.fat.....\n");
    size_t trace = d.err.find("SectorSize: 0x0, ClusterSize: 0x200, MftRecordSize: 0x0\n"
                              "ClusterNumber: 0x1, MftStart: 0x0\n");
    ASSERT_NE(error, std::string::npos) << d.err;
    ASSERT_NE(dump, std::string::npos) << d.err;
    ASSERT_NE(trace, std::string::npos) << d.err;
    EXPECT_LT(error, dump);
    EXPECT_LT(dump, trace);
    EXPECT_THAT(d.err, HasSubstr("\n01f0: "));  // the whole 512-byte provisional cluster
    EXPECT_EQ(d.err.find("\n0200: "), std::string::npos);
}
