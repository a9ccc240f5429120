// volscan_fuzz: runs the fuzz targets without libFuzzer, deterministically.
//
//   volscan_fuzz --list
//   volscan_fuzz TARGET [--runs N] [--quick P] [--seed S] [--case-timeout SEC] [--corpus DIR]
//       every seed of TARGET once, then N inputs mutated from them with the
//       pseudo-random sequence of S: the same cases on every machine.  The
//       seeds are taken from the committed images, and from the files of DIR
//       (the corpus a libFuzzer run grew, fuzz/corpus/TARGET).  --quick P
//       runs P% of the seeds, evenly spread, and the first P% of the N,
//       unless VOLSCAN_LONG_TESTS=1 is in the environment (the test suite's
//       default run)
//   volscan_fuzz TARGET FILE|DIR...
//       replays the inputs in the files (a folder: each file in it)
//   volscan_fuzz --write-seeds TARGET DIR
//       writes the seeds as files, a starting corpus for libFuzzer
//
// Exit status 0 when every case ran through; a failed check, a sanitizer
// report, a fault or a case over its time ends the process at once, with the
// input kept in volscan-fuzz-TARGET-failure.bin.
#include <algorithm>
#include <cinttypes>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/fuzz.h"
#include "fuzz/fuzz_images.h"

namespace {

using Input = std::vector<uint8_t>;

// splitmix64: small, fast and the same everywhere.
struct Rng {
    uint64_t s;
    uint64_t Next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    bool OneIn(uint64_t n) { return Below(n) == 0; }
};

// Values that sit on the edges decoders test: zero, one, the sign bits, all
// ones, and sizes the on-disk structures use.
const uint64_t kInteresting[] = {
    0, 1, 2, 7, 8, 0x10, 0x18, 0x20, 0x40, 0x48, 0x7F, 0x80, 0xFF, 0x100, 0x1FE, 0x200,
    0x3FF, 0x400, 0x1000, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000ull,
    0xFFFFFFF0ull, 0xFFFFFFFFull, 0x100000000ull, 0xFFFFFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull,
    0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull,
};

uint64_t InterestingValue(Rng& rng) {
    uint64_t v = kInteresting[rng.Below(sizeof kInteresting / sizeof kInteresting[0])];
    if (rng.OneIn(4)) v = rng.OneIn(2) ? v + 1 : v - 1;
    return v;
}

void PutLe(Input& v, size_t off, uint64_t x, int bytes) {
    for (int i = 0; i < bytes && off + i < v.size(); i++)
        v[off + i] = static_cast<uint8_t>(x >> (8 * i));
}

// One generic mutation of an input, as byte-level fuzzers make them.
void MutateOnce(Rng& rng, Input& in, const std::vector<Input>& seeds, size_t maxLen) {
    if (in.empty()) {
        in.push_back(static_cast<uint8_t>(rng.Next()));
        return;
    }
    const size_t pos = rng.Below(in.size());
    switch (rng.Below(12)) {
        case 0: in[pos] ^= static_cast<uint8_t>(1u << rng.Below(8)); break;
        case 1: in[pos] = static_cast<uint8_t>(InterestingValue(rng)); break;
        case 2: PutLe(in, pos, InterestingValue(rng), 2); break;
        case 3: PutLe(in, pos, InterestingValue(rng), 4); break;
        case 4: PutLe(in, pos, InterestingValue(rng), 8); break;
        case 5: in[pos] = static_cast<uint8_t>(in[pos] + rng.Below(71) - 35); break;
        case 6: {  // a chunk copied over another place of the input
            const size_t from = rng.Below(in.size());
            const size_t len = 1 + rng.Below(std::min<size_t>(32, in.size() - from));
            const Input chunk(in.begin() + from, in.begin() + from + len);
            for (size_t i = 0; i < len && pos + i < in.size(); i++) in[pos + i] = chunk[i];
            break;
        }
        case 7:
            for (size_t i = 0, n = 1 + rng.Below(8); i < n && pos + i < in.size(); i++)
                in[pos + i] = static_cast<uint8_t>(rng.Next());
            break;
        case 8:
            if (in.size() < maxLen) {
                Input bytes(1 + rng.Below(16));
                for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.Next());
                in.insert(in.begin() + pos, bytes.begin(), bytes.end());
            }
            break;
        case 9:
            in.erase(in.begin() + pos, in.begin() + std::min(in.size(), pos + 1 + rng.Below(16)));
            break;
        case 10: in.resize(pos + 1); break;
        case 11: {  // the head of this input, the tail of another seed
            const Input& other = seeds[rng.Below(seeds.size())];
            if (other.empty()) break;
            const size_t from = rng.Below(other.size());
            in.resize(pos);
            in.insert(in.end(), other.begin() + from, other.end());
            break;
        }
    }
    if (in.size() > maxLen) in.resize(maxLen);
}

Input Mutate(Rng& rng, const std::vector<Input>& seeds, size_t maxLen) {
    Input in = seeds[rng.Below(seeds.size())];
    // Mostly a few changes, sometimes many.
    const uint64_t n = rng.OneIn(4) ? 1 + rng.Below(32) : 1 + rng.Below(4);
    for (uint64_t k = 0; k < n; k++) MutateOnce(rng, in, seeds, maxLen);
    // The option bytes at the head choose the switches: change them too.
    if (!in.empty() && rng.OneIn(3)) in[0] = static_cast<uint8_t>(rng.Next());
    if (in.size() > 1 && rng.OneIn(3)) in[1] = static_cast<uint8_t>(rng.Next());
    return in;
}

// A case of the volume target: switches, an image, a few patches aimed
// mostly at the $MFT records, in their own terms or as raw bytes.
Input VolumeCase(Rng& rng) {
    const std::vector<FuzzImage>& images = FuzzImages();
    // attrlist.img's 2072 records take as long to walk as the other three
    // images together, and most are alike: it gets one case in eight.
    size_t k = rng.Below(images.size());
    if (images[k].name == "attrlist.img" && !rng.OneIn(3)) k = rng.Below(images.size() - 1);
    const FuzzImage& img = images[k];
    // -m hashes every stream: a case in eight.
    uint8_t bOptions = static_cast<uint8_t>(rng.Next() & 0xFD);
    if (rng.OneIn(8)) bOptions |= 0x02;
    uint8_t bImage = static_cast<uint8_t>(k);
    Input in{bOptions, 0};
    if (rng.OneIn(10)) {
        bImage |= 0x80;
        const uint64_t r = rng.Below(img.recordOffsets.size() + 8);
        in.push_back(static_cast<uint8_t>(r));
        in.push_back(static_cast<uint8_t>(r >> 8));
    }
    if (rng.OneIn(16)) {
        bImage |= 0x40;
        in.resize(in.size() + 4);
        PutLe(in, in.size() - 4, rng.Below(img.bytes.size()), 4);
    }
    in[1] = bImage;
    const uint64_t patches = 1 + rng.Below(rng.OneIn(5) ? 16 : 4);
    for (uint64_t p = 0; p < patches; p++) {
        uint8_t bRegion;
        const uint64_t pick = rng.Below(100);
        if (pick < 65 && img.mftRegions > 0)
            bRegion = static_cast<uint8_t>(1 + rng.Below(img.mftRegions));
        else if (pick < 75)
            bRegion = 0;
        else if (pick < 88 && img.sdsRegions > 0)
            bRegion = static_cast<uint8_t>(1 + img.mftRegions + rng.Below(img.sdsRegions));
        else
            bRegion = static_cast<uint8_t>(img.regions.size() - 1);
        // Aimed at a record's header and first attributes more often than not.
        uint32_t dwOffset = static_cast<uint32_t>(rng.Next());
        if (bRegion >= 1 && bRegion <= img.mftRegions && rng.OneIn(2))
            dwOffset = static_cast<uint32_t>(rng.Below(1u << 20) * img.dwRecordSize +
                                             rng.Below(0x120));
        const int width = 1 << rng.Below(4);  // 1, 2, 4 or 8 bytes
        uint8_t bOp = static_cast<uint8_t>(width - 1);
        Input bytes(static_cast<size_t>(width));
        const uint64_t kind = rng.Below(3);
        if (kind == 0) {
            bOp |= 0x80;  // bit flips
            bytes.assign(bytes.size(), 0);
            bytes[rng.Below(bytes.size())] = static_cast<uint8_t>(1u << rng.Below(8));
        } else if (kind == 1) {
            PutLe(bytes, 0, InterestingValue(rng), width);
        } else {
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.Next());
        }
        if (bRegion != 0 && rng.Below(10) < 7) bOp |= 0x40;
        in.push_back(bRegion);
        in.resize(in.size() + 4);
        PutLe(in, in.size() - 4, dwOffset, 4);
        in.push_back(bOp);
        in.insert(in.end(), bytes.begin(), bytes.end());
    }
    return in;
}

const char* g_pszTarget = "";

void OnAlarm(int) {
    FuzzCheck(false, "case over its time (an endless walk?)");
}

struct Timing {
    size_t cases = 0;
    double slowest = 0;
    double total = 0;
};

void RunOne(const FuzzTarget& t, const Input& in, unsigned timeout, Timing& timing) {
    // An exact copy, so that the sanitizers see a read one byte past the end.
    auto* p = static_cast<uint8_t*>(malloc(in.size() + 1));
    if (!in.empty()) memcpy(p, in.data(), in.size());
    FuzzBeginCase(t.pszName, p, in.size());
    alarm(timeout);
    const auto start = std::chrono::steady_clock::now();
    t.pfnRun(p, in.size());
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    alarm(0);
    FuzzEndCase();
    free(p);
    timing.cases++;
    timing.total += s;
    timing.slowest = std::max(timing.slowest, s);
}

std::vector<std::string> FilesIn(const std::string& path) {
    std::vector<std::string> files;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return files;
    if (!S_ISDIR(st.st_mode)) return {path};
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return files;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

int Usage() {
    fprintf(stderr,
            "usage: volscan_fuzz --list\n"
            "       volscan_fuzz TARGET [--runs N] [--quick P] [--seed S] [--case-timeout SEC]\n"
            "                    [--corpus DIR]\n"
            "       volscan_fuzz TARGET FILE|DIR...\n"
            "       volscan_fuzz --write-seeds TARGET DIR\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    if (strcmp(argv[1], "--list") == 0) {
        for (size_t k = 0; k < kFuzzTargetCount; k++)
            printf("%-11s %s\n", kFuzzTargets[k].pszName, kFuzzTargets[k].pszWhat);
        return 0;
    }
    FuzzSetUp();
    if (strcmp(argv[1], "--write-seeds") == 0) {
        if (argc != 4 || FindFuzzTarget(argv[2]) == nullptr) return Usage();
        const std::vector<Input> seeds = FuzzSeeds(argv[2]);
        mkdir(argv[3], 0755);
        for (size_t k = 0; k < seeds.size(); k++) {
            const std::string path = std::string(argv[3]) + "/seed-" + std::to_string(k);
            FILE* f = fopen(path.c_str(), "wb");
            if (f == nullptr) {
                fprintf(stderr, "volscan_fuzz: cannot create %s\n", path.c_str());
                return 2;
            }
            fwrite(seeds[k].data(), 1, seeds[k].size(), f);
            fclose(f);
        }
        printf("%zu seeds of %s written to %s\n", seeds.size(), argv[2], argv[3]);
        return 0;
    }
    const FuzzTarget* pTarget = FindFuzzTarget(argv[1]);
    if (pTarget == nullptr) {
        fprintf(stderr, "volscan_fuzz: no target '%s' (--list names them)\n", argv[1]);
        return 1;
    }
    g_pszTarget = pTarget->pszName;
    uint64_t runs = 1000, seed = 1, quick = 100;
    unsigned timeout = 60;
    std::vector<std::string> paths;
    std::vector<std::string> corpora;
    for (int i = 2; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = strtoull(argv[++i], nullptr, 0);
        else if (a == "--quick" && i + 1 < argc)
            quick = strtoull(argv[++i], nullptr, 0);
        else if (a == "--seed" && i + 1 < argc)
            seed = strtoull(argv[++i], nullptr, 0);
        else if (a == "--case-timeout" && i + 1 < argc)
            timeout = static_cast<unsigned>(strtoul(argv[++i], nullptr, 0));
        else if (a == "--corpus" && i + 1 < argc)
            corpora.push_back(argv[++i]);
        else if (a.rfind("--", 0) == 0)
            return Usage();
        else
            paths.push_back(a);
    }
    if (quick < 100) {
        const char* pszLong = getenv("VOLSCAN_LONG_TESTS");
        if (pszLong != nullptr && strcmp(pszLong, "1") == 0) {
            printf("volscan_fuzz: every seed and all %" PRIu64 " cases (VOLSCAN_LONG_TESTS=1)\n",
                   runs);
            quick = 100;
        } else {
            printf("volscan_fuzz: %" PRIu64 "%% of the seeds and of the %" PRIu64
                   " cases; VOLSCAN_LONG_TESTS=1 runs them all\n", quick, runs);
            runs = runs * quick / 100;
        }
    }
    signal(SIGALRM, OnAlarm);
    Timing timing;
    const auto start = std::chrono::steady_clock::now();
    if (!paths.empty()) {
        for (const std::string& path : paths)
            for (const std::string& file : FilesIn(path)) {
                const Input in = FuzzReadFile(file);
                RunOne(*pTarget, in, timeout, timing);
            }
        if (timing.cases == 0) {
            fprintf(stderr, "volscan_fuzz: no input found in the paths given\n");
            return 1;
        }
    } else {
        std::vector<Input> seeds = FuzzSeeds(pTarget->pszName);
        for (const std::string& dir : corpora)
            for (const std::string& file : FilesIn(dir)) seeds.push_back(FuzzReadFile(file));
        if (seeds.empty()) {
            fprintf(stderr, "volscan_fuzz: no seeds for %s\n", pTarget->pszName);
            return 1;
        }
        // P% of them: seed k where the count k × P / 100 steps up.
        for (size_t k = 0; k < seeds.size(); k++)
            if (quick >= 100 || k * quick / 100 != (k + 1) * quick / 100 || k == 0)
                RunOne(*pTarget, seeds[k], timeout, timing);
        size_t maxLen = 0;
        for (const Input& in : seeds) maxLen = std::max(maxLen, in.size());
        maxLen = maxLen + 64;
        Rng rng{seed * 0x2545F4914F6CDD1Dull + strlen(pTarget->pszName)};
        const bool bVolume = strcmp(pTarget->pszName, "volume") == 0;
        for (uint64_t k = 0; k < runs; k++) {
            const Input in = bVolume ? VolumeCase(rng) : Mutate(rng, seeds, maxLen);
            RunOne(*pTarget, in, timeout, timing);
        }
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("volscan_fuzz: %s: %zu cases in %.1f s (slowest %.3f s)\n", pTarget->pszName,
           timing.cases, s, timing.slowest);
    return 0;
}
