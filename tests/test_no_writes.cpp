// The tool never writes to the volume it reads: the real binary, run in
// every mode on damaged copies of the sample images, opens the image for
// reading only and leaves it as it was, byte for byte, and creates no file
// but the ones it was told to.  The kernel watches the image and its folder
// (inotify) while the binary runs: an open for writing shows as a close
// after writing even when no byte was changed.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/ntfs_builder.h"
#include "support/run_binary.h"

namespace {

struct Watch {
    int fd = -1;
    int image = -1;
    int folder = -1;
    Watch(const std::string& imagePath, const std::string& dir) {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) return;
        image = inotify_add_watch(fd, imagePath.c_str(),
                                  IN_OPEN | IN_ACCESS | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                      IN_CLOSE_NOWRITE | IN_DELETE_SELF | IN_MOVE_SELF);
        folder = inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
    }
    ~Watch() {
        if (fd >= 0) close(fd);
    }
    // Every event so far: (watch, mask, name).
    struct Event {
        int wd;
        uint32_t mask;
        std::string name;
    };
    std::vector<Event> Drain() {
        std::vector<Event> events;
        alignas(struct inotify_event) char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<struct inotify_event*>(p);
                events.push_back({e->wd, e->mask, e->len > 0 ? std::string(e->name) : ""});
                p += sizeof(struct inotify_event) + e->len;
            }
        }
        return events;
    }
};

// splitmix64, so that every run damages the images the same way.
uint64_t Next(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Patches of one to four bytes in the first records of the $MFT, mostly in
// their headers and first attributes, and one in the boot sector now and
// then.
std::vector<uint8_t> Damage(std::vector<uint8_t> img, uint64_t seed) {
    const uint32_t sector = ntfsb::GetU16(img, 0x0B);
    const uint32_t cluster = sector * img[0x0D];
    const uint64_t mft = ntfsb::GetU64(img, 0x30) * cluster;
    const int8_t rec = static_cast<int8_t>(img[0x40]);
    const uint64_t recordSize = rec < 0 ? 1ull << -rec : uint64_t(rec) * cluster;
    for (int k = 0; k < 12; k++) {
        uint64_t off;
        if (Next(seed) % 16 == 0)
            off = 0x0B + Next(seed) % 0x40;
        else
            off = mft + (Next(seed) % 64) * recordSize + Next(seed) % 0x180;
        const uint64_t v = Next(seed);
        for (uint64_t i = 0, n = 1 + Next(seed) % 4; i < n && off + i < img.size(); i++)
            img[off + i] = uint8_t(v >> (8 * i));
    }
    return img;
}

struct FileState {
    off_t size;
    struct timespec mtime;
    struct timespec ctime;
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return {st.st_size, st.st_mtim, st.st_ctim};
}

bool Same(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The watch itself: an open for writing, without a byte written, and a new
// file in the folder are seen.
TEST(NoWrites, TheWatchSeesAnOpenForWritingAndANewFile) {
    const std::string dir = MakeTestDir("nowrites-watch");
    const std::string img = dir + "/volume.img";
    ASSERT_TRUE(ntfsb::WriteBytes(img, std::vector<uint8_t>(4096, 0)));
    Watch watch(img, dir);
    ASSERT_GE(watch.fd, 0);
    FILE* f = fopen(img.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    fclose(f);
    ASSERT_TRUE(ntfsb::WriteBytes(dir + "/other.txt", {1}));
    bool bCloseWrite = false, bCreate = false;
    for (const Watch::Event& e : watch.Drain()) {
        if (e.wd == watch.image && (e.mask & IN_CLOSE_WRITE)) bCloseWrite = true;
        if (e.wd == watch.folder && (e.mask & IN_CREATE) && e.name == "other.txt") bCreate = true;
    }
    EXPECT_TRUE(bCloseWrite);
    EXPECT_TRUE(bCreate);
}

TEST(NoWrites, DamagedImagesAreOnlyReadInEveryMode) {
    const char* kImages[] = {"sample.img", "sect4k.img", "clust512.img", "attrlist.img"};
    // Together every switch: the report in both forms, digests, dumps, the
    // debug trace, the SID table and every output file.
    const std::vector<std::vector<std::string>> kModes = {
        {"-m", "-v", "-u", "u.txt", "-x", "x.txt", "-o", "o.txt"},
        {"-D", "-d", "d.txt", "-e", "-n", "-8"},
        {"--snapshot=all", "-m", "-o", "o.txt"},
    };
    int runs = 0;
    int complained = 0;  // runs that found the damage
    for (const char* name : kImages) {
        const std::vector<uint8_t> clean = [&] {
            std::string bytes = ReadFile(SourcePath(std::string("tests/images/") + name));
            return std::vector<uint8_t>(bytes.begin(), bytes.end());
        }();
        ASSERT_FALSE(clean.empty()) << name;
        for (uint64_t seed = 1; seed <= 3; seed++) {
            const std::vector<uint8_t> damaged = Damage(clean, seed * 7919 + clean.size());
            for (const std::vector<std::string>& mode : kModes) {
                SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed) + " " + mode[0]);
                const std::string dir = MakeTestDir("nowrites");
                const std::string img = dir + "/volume.img";
                ASSERT_TRUE(ntfsb::WriteBytes(img, damaged));
                const FileState before = StateOf(img);
                Watch watch(img, dir);
                ASSERT_GE(watch.fd, 0) << strerror(errno);
                ASSERT_GE(watch.image, 0);
                ASSERT_GE(watch.folder, 0);

                std::vector<std::string> args;
                std::set<std::string> named;
                for (size_t i = 0; i < mode.size(); i++) {
                    const bool bFile = i > 0 && (mode[i - 1] == "-u" || mode[i - 1] == "-x" ||
                                                 mode[i - 1] == "-o" || mode[i - 1] == "-d");
                    args.push_back(bFile ? dir + "/" + mode[i] : mode[i]);
                    if (bFile) named.insert(mode[i]);
                }
                args.insert(args.end(), {"-f", img, "C"});
                const RunResult r = RunVolscanBinary(args, dir);
                runs++;
                const std::string diagnostics =
                    named.count("x.txt") ? ReadFile(dir + "/x.txt") : r.err;
                if (diagnostics.find("ERROR") != std::string::npos) complained++;
                // 0, or 2 when the last record or the volume failed; never a
                // fatal end or a signal on a volume that is only damaged.
                EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 2)
                    << "exit " << r.exitStatus << "\n" << r.err.substr(0, 2000);

                bool bRead = false;
                for (const Watch::Event& e : watch.Drain()) {
                    if (e.wd == watch.image) {
                        EXPECT_EQ(0u, e.mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                                                IN_DELETE_SELF | IN_MOVE_SELF))
                            << "image event 0x" << std::hex << e.mask;
                        if (e.mask & IN_CLOSE_NOWRITE) bRead = true;
                    } else if (e.wd == watch.folder) {
                        EXPECT_EQ(0u, e.mask & IN_DELETE) << e.name;
                        if (e.mask & (IN_CREATE | IN_MOVED_TO)) {
                            EXPECT_TRUE(named.count(e.name)) << "file made: " << e.name;
                        }
                    }
                }
                EXPECT_TRUE(bRead) << "the image was opened and closed for reading";
                const FileState after = StateOf(img);
                EXPECT_EQ(before.size, after.size);
                EXPECT_TRUE(Same(before.mtime, after.mtime));
                EXPECT_TRUE(Same(before.ctime, after.ctime));
                const std::string now = ReadFile(img);
                EXPECT_TRUE(now.size() == damaged.size() &&
                            memcmp(now.data(), damaged.data(), damaged.size()) == 0)
                    << "image bytes changed";
            }
        }
    }
    EXPECT_EQ(36, runs);
    EXPECT_GE(complained, 27) << "the damage must be where the tool reads";
}

}  // namespace
