// Damaged volumes, as a user meets them: each committed NTFS image changed at
// random in the places a run depends on (the boot sector, $MFT records, the
// $MFT's own runlist, $Secure:$SDS, directory records), a few hundred
// variants of each from fixed seeds, and the real binary run on every one
// with -m -v -u.  A damaged volume costs records and diagnostics, never the
// run: no signal, no hang, exit status 0 or 2, memory bounded, and the image
// left byte for byte as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "diskio/diskio.h"
#include "base/le.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "support/capture.h"
#include "support/ntfs_builder.h"
#include "support/run_binary.h"

#ifndef VOLSCAN_FUZZ_PERCENT
#define VOLSCAN_FUZZ_PERCENT 100
#endif
// The share of the variants of the suite's default run; VOLSCAN_LONG_TESTS=1
// in the environment runs them all.
#ifndef VOLSCAN_QUICK_PERCENT
#define VOLSCAN_QUICK_PERCENT 100
#endif

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// AddressSanitizer reserves terabytes of shadow: no address-space cap, and
// its own allocator and quarantine add to the figure measured.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int VariantsPerImage() {
    const char* pszLong = getenv("VOLSCAN_LONG_TESTS");
    const bool bAll = pszLong != nullptr && strcmp(pszLong, "1") == 0;
    return 200 * VOLSCAN_FUZZ_PERCENT / 100 * (bAll ? 100 : VOLSCAN_QUICK_PERCENT) / 100;
}
// The sanitizers slow a run twenty times and more, on a machine shared
// with other tests: their build waits longer before calling a run hung.
constexpr int kTimeoutMs = kSanitized ? 60000 : 10000;
constexpr uint64_t kAddressLimit = 512ull << 20;
constexpr long kMaxRssKb = kSanitized ? 1536 * 1024 : 512 * 1024;

// The last kind only where the image has such streams: NTFS-compressed
// units and WofCompressedData (the chunk tables in front).
enum Kind { kBoot, kMftRecord, kMftRunlist, kSds, kDirectory, kCompressed, kKinds };
const char* const kKindNames[kKinds] = {"boot sector", "$MFT records", "$MFT runlist",
                                        "$SDS", "directory records", "compressed data"};

struct Span {
    uint64_t offset;
    uint64_t length;
};

// Where each kind of damage goes in one image, learnt from the clean image
// with the tool's own reader.
struct Layout {
    std::vector<Span> spans[kKinds];
};

uint64_t Next(uint64_t& s) {  // splitmix64: the same variants on every machine
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// FNV-1a over 64-bit little-endian words (the images are whole sectors).
uint64_t Checksum(const std::vector<uint8_t>& b) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < b.size(); i += 8) h = (h ^ vx_le64(b.data(), b.size(), i)) * 0x100000001B3ull;
    return (h ^ b.size()) * 0x100000001B3ull;
}

// The image offsets of stream bytes [0, size), run by run, clipped to the image.
void AddStreamSpans(std::vector<Span>& spans, const Attribute* pAttr, uint32_t cluster,
                    uint64_t ullStreamBytes, uint64_t ullImage) {
    if (pAttr == nullptr || pAttr->bResident) return;
    uint64_t ullDone = 0;
    for (uint64_t k = 0; k < pAttr->ullRunCount && ullDone < ullStreamBytes; k++) {
        const Run& run = pAttr->pRunlist[k];
        uint64_t len = std::min(run.ullLength * cluster, ullStreamBytes - ullDone);
        if (run.llLcn >= 0) {
            const uint64_t off = static_cast<uint64_t>(run.llLcn) * cluster;
            if (off < ullImage) spans.push_back({off, std::min(len, ullImage - off)});
        }
        ullDone += len;
    }
}

Layout Learn(const std::vector<uint8_t>& img) {
    Layout lay;
    lay.spans[kBoot].push_back({0x0B, 0x54 - 0x0B});  // the parameter block and its neighbours
    lay.spans[kBoot].push_back({0, 512});
    CapturedStream quiet;
    FILE* pSaved = VxErrorStream;
    VxErrorStream = quiet.pFile;
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "clean image";
    if (OpenVolumeOn(&vol, vx_plat_open_memory(img.data(), img.size(), UINT64_MAX)) != 0) {
        CloseVolume(&vol);
        VxErrorStream = pSaved;
        ADD_FAILURE() << "the clean image does not open: " << quiet.Text();
        return lay;
    }
    const uint32_t cs = vol.ClusterSize, rs = vol.MftRecordSize;
    const uint64_t ullRecords = MftWalkLimit(&vol) / rs;
    for (uint64_t r = 0; r < ullRecords; r++) {
        uint64_t ullRun = 0, ullVcn = r * rs / cs;
        if (!FindRun(vol.pMftData, &ullRun, &ullVcn)) continue;
        const Run& run = vol.pMftData->pRunlist[ullRun];
        const uint64_t inCluster = r * rs % cs;
        if (run.llLcn < 0 || run.ullLength - ullVcn < (inCluster + rs + cs - 1) / cs) continue;
        const uint64_t off = (static_cast<uint64_t>(run.llLcn) + ullVcn) * cs + inCluster;
        if (off + rs > img.size() || memcmp(img.data() + off, "FILE", 4) != 0) continue;
        const uint8_t* p = img.data() + off;
        // The bytes in use: header and attributes, where damage means something.
        const uint32_t dwInUse = std::min<uint32_t>(vx_le32(p, rs, 0x18), rs);
        const Span span = {off, dwInUse > 0x30 ? dwInUse : rs};
        if (r < 64 || (vx_le16(p, rs, 0x16) & 1) != 0) lay.spans[kMftRecord].push_back(span);
        if ((vx_le16(p, rs, 0x16) & 3) == 3) lay.spans[kDirectory].push_back(span);
        if (r >= 64) {
            // The compressed streams of files in use, read with the tool's own reader.
            Entry* pEntry = nullptr;
            if ((vx_le16(p, rs, 0x16) & 1) != 0 && InitEntry(&vol, &pEntry, r, 0) == VX_OK) {
                for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
                    const Attribute* a = &pEntry->pAttrList[k];
                    if (a->dwType != 0x80 ||
                        ((a->wFlags & kAttrCompressionMask) == 0 && !IsWofStream(a)))
                        continue;
                    // A WOF stream's chunk table, then its chunks.
                    if (IsWofStream(a))
                        AddStreamSpans(lay.spans[kCompressed], a, cs,
                                       std::min<uint64_t>(a->ullSize, 64), img.size());
                    AddStreamSpans(lay.spans[kCompressed], a, cs, a->ullSize, img.size());
                }
            }
            if (pEntry != nullptr) FreeEntry(pEntry);
        }
        if (r != 0) continue;
        // Record 0's unnamed $DATA: its VCNs and sizes, and its mapping pairs.
        for (uint32_t a = vx_le16(p, rs, 0x14); vx_fits(dwInUse, a, 16);) {
            const uint32_t dwType = vx_le32(p, rs, a), dwLength = vx_le32(p, rs, a + 4);
            if (dwType == 0xFFFFFFFF || dwLength < 0x18 || dwLength > dwInUse - a) break;
            if (dwType == 0x80 && vx_le8(p, rs, a + 8) != 0 && vx_le8(p, rs, a + 9) == 0) {
                lay.spans[kMftRunlist].push_back({off + a + 0x10, 0x40 - 0x10});
                const uint32_t dwPairs = vx_le16(p, rs, a + 0x20);
                if (dwPairs < dwLength)
                    lay.spans[kMftRunlist].push_back({off + a + dwPairs, dwLength - dwPairs});
            }
            a += dwLength;
        }
    }
    if (vol.pSecureData != nullptr) {
        // The entries lie at the start of $SDS (and their mirror 256 KiB on):
        // most damage goes to the first cluster.
        AddStreamSpans(lay.spans[kSds], vol.pSecureData, cs, cs, img.size());
        AddStreamSpans(lay.spans[kSds], vol.pSecureData, cs, vol.pSecureData->ullSize,
                       img.size());
    }
    CloseVolume(&vol);
    VxErrorStream = pSaved;
    return lay;
}

struct Patch {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

// One variant: one to four patches of one to four bytes, all in spans of
// one kind; a value now and then that decoders treat specially.
std::vector<Patch> Mutate(const std::vector<uint8_t>& clean, const Layout& lay, Kind kind,
                          uint64_t seed) {
    std::vector<Patch> patches;
    const std::vector<Span>& spans = lay.spans[kind];
    const int count = 1 + static_cast<int>(Next(seed) % 4);
    for (int k = 0; k < count; k++) {
        // The first span of a kind is its most telling place: half the patches go there.
        const Span& s = Next(seed) % 2 == 0 ? spans[0] : spans[Next(seed) % spans.size()];
        const uint64_t off = s.offset + Next(seed) % s.length;
        const uint64_t len = std::min<uint64_t>(1 + Next(seed) % 4, clean.size() - off);
        uint64_t v = Next(seed);
        switch (Next(seed) % 8) {
            case 0: v = 0; break;
            case 1: v = ~0ull; break;
            case 2: v = 0x80ull << (8 * (len - 1)); break;  // a sign bit
            case 3: v = clean[off] + 1 - 2 * (Next(seed) % 2); break;  // off by one
            default: break;
        }
        Patch p{off, {}};
        for (uint64_t i = 0; i < len; i++) p.bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        patches.push_back(p);
    }
    return patches;
}

// The patches written into the image in memory and in its file (only the
// bytes that change: the images are megabytes, the patches bytes); with
// `source` the clean image, the same places put back.
bool Apply(std::vector<uint8_t>& img, int fd, const std::vector<Patch>& patches,
           const std::vector<uint8_t>* source) {
    bool ok = true;
    for (const Patch& p : patches) {
        const uint8_t* from = source != nullptr ? source->data() + p.offset : p.bytes.data();
        memcpy(img.data() + p.offset, from, p.bytes.size());
        ok = ok && pwrite(fd, from, p.bytes.size(), static_cast<off_t>(p.offset)) ==
                       static_cast<ssize_t>(p.bytes.size());
    }
    return ok;
}

// The file's bytes into `b`, reusing its pages; false when it cannot be read whole.
bool ReadInto(const std::string& path, std::vector<uint8_t>& b) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    struct stat st {};
    bool ok = fstat(fileno(f), &st) == 0;
    if (ok) {
        b.resize(static_cast<size_t>(st.st_size));
        ok = fread(b.data(), 1, b.size(), f) == b.size();
    }
    fclose(f);
    return ok;
}

std::string WorkDir(const std::string& name) {
    // Hundreds of images of megabytes each: in memory when the system has it.
    struct stat st {};
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
        std::string dir = "/dev/shm/volscan-mutated-" + name + "-" + std::to_string(getpid());
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) == 0 && mkdir(dir.c_str(), 0755) == 0) return dir;
    }
    return MakeTestDir("mutated-" + name);
}

// The diagnostics and the report without its run header (host, clocks).
std::string Outcome(const std::string& outPath, const std::string& errPath) {
    const std::string report = ReadFile(outPath);
    const size_t first = report.find("MFT record number");
    return ReadFile(errPath) + "\f" + (first == std::string::npos ? "" : report.substr(first));
}

class MutatedImage : public ::testing::TestWithParam<const char*> {};

TEST_P(MutatedImage, EveryVariantEndsSoundlyWithinBounds) {
    const std::string name = GetParam();
    const std::string bytes = ReadFile(SourcePath("tests/images/" + name + ".img"));
    ASSERT_FALSE(bytes.empty()) << name;
    const std::vector<uint8_t> clean(bytes.begin(), bytes.end());
    const Layout lay = Learn(clean);
    for (int k = 0; k < kCompressed; k++) ASSERT_FALSE(lay.spans[k].empty()) << kKindNames[k];
    // The kinds damage goes to in turn: the compressed data where there is some.
    const int kinds = lay.spans[kCompressed].empty() ? kCompressed : kKinds;

    const std::string dir = WorkDir(name);
    const std::string img = dir + "/volume.img", users = dir + "/users.txt";
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    // Three hashing threads; every fourth variant again on the main thread
    // alone, which must give the same report and diagnostics.
    const std::vector<std::string> args = {"-m", "--threads=3", "-v", "-u", users, "-f", img, "C"};
    std::vector<std::string> serialArgs = args;
    serialArgs[1] = "--threads=1";
    int serialDiffers = 0;
    const uint64_t limit = kSanitized ? 0 : kAddressLimit;
    std::vector<uint8_t> damaged = clean, now;
    ASSERT_TRUE(ntfsb::WriteBytes(img, damaged));
    // What the clean image gives: a variant that gives something else was
    // read where it was damaged.
    const BoundedRunResult base = RunVolscanBounded(args, dir, out, err, kTimeoutMs, limit);
    ASSERT_EQ(0, base.exitStatus) << ReadFile(err);
    const std::string baseOutcome = Outcome(out, err);
    const int fd = open(img.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);

    std::map<int, int> statuses[kKinds];
    int noticed[kKinds] = {};
    int variants = 0, failures = 0;
    long maxRss = base.maxRssKb;
    double seconds = 0, slowest = 0;
    const int kVariantsPerImage = VariantsPerImage();
    for (int v = 0; v < kVariantsPerImage; v++) {
        const Kind kind = static_cast<Kind>(v % kinds);
        const std::vector<Patch> patches =
            Mutate(clean, lay, kind, 0x5EED0000ull + 7919ull * v + clean.size());
        ASSERT_TRUE(Apply(damaged, fd, patches, nullptr));
        const uint64_t sum = Checksum(damaged);
        unlink(users.c_str());
        const BoundedRunResult r = RunVolscanBounded(args, dir, out, err, kTimeoutMs, limit);
        variants++;
        statuses[kind][r.bTimedOut ? -2 : r.termSignal != 0 ? -1 : r.exitStatus]++;
        const std::string outcome = Outcome(out, err);
        if (outcome != baseOutcome) noticed[kind]++;
        if (v % 4 == 0) {
            unlink(users.c_str());
            RunVolscanBounded(serialArgs, dir, out, err, kTimeoutMs, limit);
            if (Outcome(out, err) != outcome && serialDiffers++ < 3) {
                const std::string keep = MakeTestDir("mutated-threads") + "/" + name + "-" +
                                         std::to_string(v) + ".img";
                ntfsb::WriteBytes(keep, damaged);
                ADD_FAILURE() << name << " variant " << v << ": --threads=1 differs; kept as "
                              << keep;
            }
        } else if (v % 8 == 2) {
            // Report and diagnostics in one file, as with 2>&1: the held
            // diagnostics come out between the same report bytes.
            const std::string both = dir + "/both";
            unlink(users.c_str());
            RunVolscanBounded(args, dir, both, both, kTimeoutMs, limit);
            const std::string threaded = Outcome(both, "/dev/null");
            unlink(users.c_str());
            RunVolscanBounded(serialArgs, dir, both, both, kTimeoutMs, limit);
            if (Outcome(both, "/dev/null") != threaded && serialDiffers++ < 3)
                ADD_FAILURE() << name << " variant " << v << ": --threads=1 differs in one file";
        }
        maxRss = std::max(maxRss, r.maxRssKb);
        seconds += r.seconds;
        slowest = std::max(slowest, r.seconds);
        const bool bSame = ReadInto(img, now) && Checksum(now) == sum;
        const bool bGood = !r.bTimedOut && r.termSignal == 0 &&
                           (r.exitStatus == 0 || r.exitStatus == 2) && r.maxRssKb <= kMaxRssKb &&
                           bSame;
        if (!bGood) {
            failures++;
            // The variant is kept for replay beside the test's other files.
            const std::string keep = MakeTestDir("mutated-failure") + "/" + name + "-" +
                                     std::to_string(v) + ".img";
            ntfsb::WriteBytes(keep, damaged);
            ADD_FAILURE() << name << " variant " << v << " (" << kKindNames[kind] << "): exit "
                          << r.exitStatus << ", signal " << r.termSignal << ", timed out "
                          << r.bTimedOut << ", " << r.maxRssKb << " KiB, image unchanged "
                          << bSame << "; kept as " << keep << "\n"
                          << ReadFile(err).substr(0, 1500);
            if (failures >= 5) break;
        }
        ASSERT_TRUE(Apply(damaged, fd, patches, &clean));
        if (!bSame) {
            ASSERT_TRUE(ntfsb::WriteBytes(img, clean));
        }
    }
    close(fd);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, system(cmd.c_str()));

    // The figures, for the record of each run.
    printf("[ figures  ] %s: %d variants, %.1f s in the binary (slowest %.2f s), max RSS %ld KiB "
           "(bound %ld KiB%s)\n",
           name.c_str(), variants, seconds, slowest, maxRss, kMaxRssKb,
           kSanitized ? ", sanitizers" : ", address space capped at 512 MiB");
    int ended2 = 0, noticedAll = 0;
    for (int k = 0; k < kinds; k++) {
        printf("[ figures  ]   %-17s", kKindNames[k]);
        for (const auto& [status, count] : statuses[k]) {
            printf("  %s %d", status == -2   ? "timeout"
                              : status == -1 ? "signal"
                                             : ("exit " + std::to_string(status)).c_str(),
                   count);
            if (status == 2) ended2 += count;
        }
        printf(", report or diagnostics changed in %d\n", noticed[k]);
        noticedAll += noticed[k];
        // Every kind of damage lands where the tool reads.
        if (!statuses[k].empty()) {
            EXPECT_GT(noticed[k], 0) << kKindNames[k];
        }
    }
    EXPECT_EQ(kVariantsPerImage, variants);
    EXPECT_EQ(0, serialDiffers);
    EXPECT_GE(noticedAll, variants / 3);
    // Some damage is read as a warning rather than silently or fatally; a
    // sanitized run's handful of variants may not happen to hold such damage.
    if (variants >= 20) {
        EXPECT_GT(ended2, 0);
    }
}

// Two kinds of damage that cost time rather than records: every file
// record made a directory and the child of the one before (a chain as deep
// as the image has files), and $Secure:$SDS mapped onto the whole volume.
// Each run's time is printed beside the clean image's.
TEST_P(MutatedImage, DeepChainAndWholeVolumeSdsCostTheirBytes) {
    const std::string name = GetParam();
    const std::string bytes = ReadFile(SourcePath("tests/images/" + name + ".img"));
    ASSERT_FALSE(bytes.empty()) << name;
    const std::vector<uint8_t> clean(bytes.begin(), bytes.end());
    std::vector<uint8_t> chain = clean, sds = clean;
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = "clean image";
    CapturedStream quiet;
    FILE* pSaved = VxErrorStream;
    VxErrorStream = quiet.pFile;
    ASSERT_EQ(0, OpenVolumeOn(&vol, vx_plat_open_memory(clean.data(), clean.size(), UINT64_MAX)));
    const uint32_t cs = vol.ClusterSize, rs = vol.MftRecordSize;
    uint64_t ullPrevious = 0, ullLinks = 0;
    for (uint64_t r = 0; r < MftWalkLimit(&vol) / rs; r++) {
        uint64_t ullRun = 0, ullVcn = r * rs / cs;
        if (!FindRun(vol.pMftData, &ullRun, &ullVcn)) continue;
        const ::Run& run = vol.pMftData->pRunlist[ullRun];
        if (run.llLcn < 0 || run.ullLength - ullVcn < (r * rs % cs + rs + cs - 1) / cs) continue;
        const uint64_t off = (static_cast<uint64_t>(run.llLcn) + ullVcn) * cs + r * rs % cs;
        if (off + rs > clean.size() || memcmp(clean.data() + off, "FILE", 4) != 0) continue;
        const uint8_t* p = clean.data() + off;
        const uint32_t dwInUse = std::min<uint32_t>(vx_le32(p, rs, 0x18), rs);
        const bool bFile = r >= 16 && (vx_le16(p, rs, 0x16) & 1) != 0 && vx_le64(p, rs, 0x20) == 0;
        for (uint32_t a = vx_le16(p, rs, 0x14); vx_fits(dwInUse, a, 0x18);) {
            const uint32_t dwType = vx_le32(p, rs, a), dwLength = vx_le32(p, rs, a + 4);
            if (dwType == 0xFFFFFFFF || dwLength < 0x18 || dwLength > dwInUse - a) break;
            const uint32_t dwValue = a + vx_le16(p, rs, a + 0x14);
            // The parent reference, clear of the update sequence's places.
            if (bFile && ullPrevious != 0 && dwType == 0x30 && vx_le8(p, rs, a + 8) == 0 &&
                dwValue % 512 < 512 - 2 - 8) {
                for (int i = 0; i < 8; i++) chain[off + dwValue + i] = uint8_t(ullPrevious >> (8 * i));
                ullLinks++;
            }
            // $Secure's $SDS: one run over every cluster of the volume.
            const uint32_t dwPairs = vx_le16(p, rs, a + 0x20);
            if (r == 9 && dwType == 0x80 && vx_le8(p, rs, a + 8) != 0 && vx_le8(p, rs, a + 9) != 0 &&
                dwPairs + 7 <= dwLength && (off + a) % 512 < 512 - 2 - 0x40) {
                const uint64_t n = vol.ClusterNumber, size = n * cs;
                for (int i = 0; i < 8; i++) {
                    sds[off + a + 0x18 + i] = uint8_t((n - 1) >> (8 * i));
                    for (uint32_t f : {0x28u, 0x30u, 0x38u}) sds[off + a + f + i] = uint8_t(size >> (8 * i));
                }
                const uint8_t pairs[7] = {0x14, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16),
                                          uint8_t(n >> 24), 0, 0};
                memcpy(sds.data() + off + a + dwPairs, pairs, sizeof pairs);
            }
            a += dwLength;
        }
        if (bFile) {
            chain[off + 0x16] |= 2;  // a directory, so that the walk goes on through it
            ullPrevious = r | uint64_t(vx_le16(p, rs, 0x10)) << 48;
        }
    }
    CloseVolume(&vol);
    VxErrorStream = pSaved;
    EXPECT_GT(ullLinks, 0u);
    EXPECT_NE(clean, sds) << "no $SDS to map";

    const std::string dir = WorkDir(name + "-cost");
    const std::string img = dir + "/volume.img", out = dir + "/stdout", err = dir + "/stderr";
    const std::vector<std::string> args = {"-m", "-v", "-f", img, "C"};
    for (const auto& [label, image] : {std::pair<const char*, const std::vector<uint8_t>*>{"clean", &clean},
                                       {"directory chain", &chain},
                                       {"$SDS over the volume", &sds}}) {
        ASSERT_TRUE(ntfsb::WriteBytes(img, *image));
        const BoundedRunResult r = RunVolscanBounded(args, dir, out, err, kTimeoutMs,
                                                     kSanitized ? 0 : kAddressLimit);
        printf("[ figures  ] %s, %s: exit %d, %.2f s, max RSS %ld KiB, report of %zu bytes\n",
               name.c_str(), label, r.exitStatus, r.seconds, r.maxRssKb, ReadFile(out).size());
        EXPECT_FALSE(r.bTimedOut) << label;
        EXPECT_EQ(0, r.termSignal) << label;
        EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 2) << label << "\n"
                                                            << ReadFile(err).substr(0, 1500);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, system(cmd.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Images, MutatedImage,
                         ::testing::Values("sample", "sect4k", "clust512", "attrlist",
                                           "compress4k", "wof"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
