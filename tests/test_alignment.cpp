// Every request the tool makes of a device is whole sectors: a Windows
// volume handle refuses any other, while an image file (and Wine's volume
// device) accepts them silently.  The device's record of every seek
// position and read length shows it, over whole runs of real volumes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/info.h"
#include "base/vx_log.h"
#include "support/capture.h"
#include "support/run_binary.h"

namespace {

struct AlignmentCase {
    const char* name;
    bool shared;
    uint32_t sectorSize;
    // An image file reports no sector size, so its boot sector is read in
    // 512-byte units before the boot sector names the real one; a volume
    // handle reports it, and that first read is whole sectors too.
    uint32_t alignment;
};

class DeviceRequests : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(DeviceRequests, AreWholeSectorsThroughAWholeReport) {
    const AlignmentCase& c = GetParam();
    const std::string image = c.shared ? SharedImage(std::string(c.name) + ".raw")
                                       : SourcePath(std::string("tests/images/") + c.name + ".img");
    if (image.empty()) GTEST_SKIP() << "../shared/images is not beside the checkout";
    CapturedStream errors;
    CapturedStream report;
    VxErrorStream = errors.pFile;
    Volume vol{};
    vol.DriveLetter = 'E';
    vol.pszSourcePath = image.c_str();
    vol.ullSourceOffset = c.shared ? 65536 : 0;
    ASSERT_EQ(VX_OK, OpenVolume(&vol)) << errors.Text();
    ASSERT_EQ(vol.SectorSize, c.sectorSize);
    // Every record, reported with its digest, so that stream reads are made too.
    Entry* pEntry = nullptr;
    const uint64_t records = MftWalkLimit(&vol) / vol.MftRecordSize;
    for (uint64_t n = 0; n < records; n++) {
        int s = pEntry == nullptr ? InitEntry(&vol, &pEntry, n, 0)
                                  : (CleanEntry(pEntry), ReadEntry(pEntry, n, 0));
        if (s == VX_OK) (void)DumpFileInfo(report.pFile, pEntry, 1, 0);
    }
    VxDeviceStats stats{};
    vx_plat_device_stats(vol.hVolume, &stats);
    const uint64_t ullRecordBytes = records * vol.MftRecordSize;
    FreeEntry(pEntry);
    CloseVolume(&vol);
    vx_plat_md5_release();
    VxErrorStream = stderr;
    // Every record came through the device (in few requests where clusters
    // are large: $SDS is read in blocks, the records a cluster at a time).
    EXPECT_GT(stats.ullReads, 0u);
    EXPECT_GE(stats.ullBytes, ullRecordBytes);
    EXPECT_EQ(0u, stats.ullRequestBits % c.alignment)
        << "request bits 0x" << std::hex << stats.ullRequestBits;
}

INSTANTIATE_TEST_SUITE_P(Volumes, DeviceRequests,
                         ::testing::Values(AlignmentCase{"sample", false, 512, 512},
                                           AlignmentCase{"sect4k", false, 4096, 512},
                                           AlignmentCase{"clust512", false, 512, 512},
                                           AlignmentCase{"attrlist", false, 512, 512},
                                           AlignmentCase{"win10-lastaccess", true, 512, 512},
                                           AlignmentCase{"win10-2mcluster", true, 512, 512}),
                         [](const auto& param) {
                             std::string n = param.param.name;
                             for (char& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

// Everything a run keeps of a volume (record blocks, parent paths, the
// descriptor buffer) goes with it: a second volume opened in the same Volume
// after the first is reported exactly as when it is the only one.
std::string ReportOf(Volume* pVol, const std::string& image) {
    CapturedStream errors;
    CapturedStream report;
    VxErrorStream = errors.pFile;
    *pVol = Volume{};
    pVol->DriveLetter = 'E';
    pVol->pszSourcePath = image.c_str();
    std::string text;
    if (OpenVolume(pVol) == VX_OK) {
        Entry* pEntry = nullptr;
        const uint64_t records = MftWalkLimit(pVol) / pVol->MftRecordSize;
        for (uint64_t n = 0; n < records; n++) {
            int s = pEntry == nullptr ? InitEntry(pVol, &pEntry, n, 0)
                                      : (CleanEntry(pEntry), ReadEntry(pEntry, n, 0));
            if (s == VX_OK) (void)DumpFileInfo(report.pFile, pEntry, 1, 1);
        }
        FreeEntry(pEntry);
        text = report.Text();
    }
    CloseVolume(pVol);
    EXPECT_EQ(nullptr, pVol->pRecordCache);
    EXPECT_EQ(nullptr, pVol->pReportState);
    EXPECT_EQ(nullptr, pVol->secList.pBuffer);
    VxErrorStream = stderr;
    return text + errors.Text();
}

TEST(VolumeState, NothingOfOneVolumeReachesTheNextOpenedInItsPlace) {
    const std::string first = SourcePath("tests/images/sample.img");
    const std::string second = SourcePath("tests/images/clust512.img");
    Volume vol{};
    const std::string alone = ReportOf(&vol, second);
    ASSERT_NE(std::string::npos, alone.find("E:\\"));
    ReportOf(&vol, first);
    EXPECT_EQ(alone, ReportOf(&vol, second));
}

// The record of requests itself: a read of an odd length, or a seek to an
// odd place, shows in its low bits.
TEST(DeviceRequestBits, ShowAnUnalignedSeekOrLength) {
    static const uint8_t bytes[4096] = {0};
    VxDevice* pDev = vx_plat_open_memory(bytes, sizeof bytes, UINT64_MAX);
    ASSERT_NE(pDev, nullptr);
    uint8_t buffer[1024];
    uint32_t got = 0;
    VxDeviceStats stats{};
    ASSERT_TRUE(vx_plat_seek(pDev, 1024) && vx_plat_read(pDev, buffer, 512, &got));
    vx_plat_device_stats(pDev, &stats);
    EXPECT_EQ(0u, stats.ullRequestBits % 512);
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 100, &got));
    vx_plat_device_stats(pDev, &stats);
    EXPECT_NE(0u, stats.ullRequestBits % 512);
    vx_plat_close(pDev);
}

}  // namespace
