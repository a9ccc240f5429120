// The POSIX device over files and pipes: positioned reads must deliver what
// a seek and a read would, and fail where they would.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; i++) b[i] = static_cast<uint8_t>(i * 13 + i / 251);
    return b;
}

class FileDevice : public ::testing::Test {
protected:
    std::string path;
    std::vector<uint8_t> bytes = Pattern(64 * 1024);
    void SetUp() override {
        char name[] = "/tmp/volscan-device-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path = name;
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        close(fd);
    }
    void TearDown() override { unlink(path.c_str()); }
};

TEST_F(FileDevice, ReadsFollowSeeksAndEachOther) {
    VxDevice* pDev = vx_plat_open_device(path.c_str(), 4096);
    ASSERT_NE(nullptr, pDev);
    uint8_t buffer[8192];
    uint32_t got = 0;
    // Offsets count from the base offset.
    ASSERT_TRUE(vx_plat_seek(pDev, 0));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 512, &got));
    ASSERT_EQ(512u, got);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 4096, 512));
    // A second read goes on where the first ended.
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 512, &got));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 4096 + 512, 512));
    ASSERT_TRUE(vx_plat_seek(pDev, 10000));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 8192, &got));
    ASSERT_EQ(8192u, got);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 14096, 8192));
    // Near the end the read is short, past it empty; neither is a failure.
    ASSERT_TRUE(vx_plat_seek(pDev, bytes.size() - 4096 - 100));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 512, &got));
    EXPECT_EQ(100u, got);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + bytes.size() - 100, 100));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 512, &got));
    EXPECT_EQ(0u, got);
    ASSERT_TRUE(vx_plat_seek(pDev, uint64_t{1} << 40));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 512, &got));
    EXPECT_EQ(0u, got);
    // Where the system refuses the seek (past the file system's largest
    // offset), so does the device.
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const uint64_t where : {uint64_t{1} << 44, uint64_t{1} << 50, uint64_t{1} << 62})
        EXPECT_EQ(lseek(fd, static_cast<off_t>(where + 4096), SEEK_SET) >= 0,
                  vx_plat_seek(pDev, where) == 1)
            << where;
    close(fd);
    EXPECT_FALSE(vx_plat_seek(pDev, UINT64_MAX - 100));
    VxDeviceStats stats{};
    vx_plat_device_stats(pDev, &stats);
    EXPECT_EQ(6u, stats.ullReads);
    EXPECT_EQ(512u + 512 + 8192 + 100, stats.ullBytes);
    EXPECT_TRUE(vx_plat_close(pDev));
}

// A pipe cannot seek: it is read in order, and a seek fails.
TEST(PipeDevice, IsReadInOrder) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const std::vector<uint8_t> bytes = Pattern(3000);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds[1], bytes.data(), bytes.size()));
    close(fds[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    VxDevice* pDev = vx_plat_open_device(path.c_str(), 0);
    close(fds[0]);
    ASSERT_NE(nullptr, pDev);
    uint8_t buffer[2048];
    uint32_t got = 0;
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 2048, &got));
    ASSERT_EQ(2048u, got);
    EXPECT_EQ(0, memcmp(buffer, bytes.data(), 2048));
    EXPECT_FALSE(vx_plat_seek(pDev, 0));
    ASSERT_TRUE(vx_plat_read(pDev, buffer, 2048, &got));
    ASSERT_EQ(952u, got);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 2048, 952));
    EXPECT_TRUE(vx_plat_close(pDev));
}

}  // namespace
