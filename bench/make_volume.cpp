// Writes a large NTFS volume for the benchmark: a directory tree 6 to 8
// levels deep with 20 to 50 entries a directory, resident and non-resident
// data, alternate streams, hard links, erased records and a $Secure:$SDS
// with a few dozen descriptors.  Everything comes from one seed, so the same
// arguments always give the same volume.
//
//   make_volume OUTPUT RECORDS [SEED]
//
// RECORDS counts the MFT records of the volume, system records included.
// The volume is written through the test volume builder, as a sparse file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "support/ntfs_builder.h"

using namespace ntfsb;

namespace {

// A small deterministic generator (splitmix64), so that volumes are the
// same on every machine and every standard library.
struct Random {
    uint64_t s;
    uint64_t Next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return Next() % n; }
    uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    bool Percent(double p) { return double(Next() % 1000000) < p * 10000.0; }
};

std::vector<uint8_t> Sid(uint64_t authority, const std::vector<uint32_t>& subs) {
    std::vector<uint8_t> b = {1, uint8_t(subs.size())};
    for (int k = 5; k >= 0; --k) b.push_back(uint8_t(authority >> (8 * k)));
    for (uint32_t s : subs) {
        size_t at = b.size();
        PutU32(b, at, s);
    }
    return b;
}

// ACL of (type, flags, mask, SID) entries; revision 2.
struct Ace {
    uint8_t type;
    uint8_t flags;
    uint32_t mask;
    std::vector<uint8_t> sid;
};
std::vector<uint8_t> Acl(const std::vector<Ace>& aces) {
    std::vector<uint8_t> b(8, 0);
    b[0] = 2;
    for (const Ace& a : aces) {
        size_t at = b.size();
        PutU8(b, at, a.type);
        PutU8(b, at + 1, a.flags);
        PutU16(b, at + 2, uint16_t(8 + a.sid.size()));
        PutU32(b, at + 4, a.mask);
        PutBytes(b, at + 8, a.sid);
    }
    PutU16(b, 2, uint16_t(b.size()));
    PutU16(b, 4, uint16_t(aces.size()));
    return b;
}

// A self-relative descriptor: header, owner, group, SACL (optional), DACL.
std::vector<uint8_t> Descriptor(const std::vector<uint8_t>& owner, const std::vector<uint8_t>& group,
                                const std::vector<uint8_t>* sacl, const std::vector<uint8_t>& dacl) {
    std::vector<uint8_t> b(20, 0);
    b[0] = 1;
    uint16_t control = 0x8004;  // self-relative, DACL present
    if (sacl) control |= 0x0010;
    PutU16(b, 2, control);
    PutU32(b, 4, uint32_t(b.size()));
    PutBytes(b, b.size(), owner);
    PutU32(b, 8, uint32_t(b.size()));
    PutBytes(b, b.size(), group);
    if (sacl) {
        PutU32(b, 12, uint32_t(b.size()));
        PutBytes(b, b.size(), *sacl);
    }
    PutU32(b, 16, uint32_t(b.size()));
    PutBytes(b, b.size(), dacl);
    return b;
}

// $SDS: `count` descriptors with ids from 0x100, each entry on a 16-byte boundary.
std::vector<uint8_t> SecureStream(Random& rnd, uint32_t count) {
    const std::vector<std::vector<uint8_t>> sids = {
        Sid(1, {0}),                           // Everyone
        Sid(5, {18}),                          // SYSTEM
        Sid(5, {32, 544}),                     // Administrators
        Sid(5, {32, 545}),                     // Users
        Sid(5, {11}),                          // Authenticated Users
        Sid(3, {0}),                           // Creator Owner
        Sid(5, {21, 1004336348, 1177238915, 682003330, 1001}),
        Sid(5, {21, 1004336348, 1177238915, 682003330, 1002}),
        Sid(5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}),
    };
    const uint32_t masks[] = {0x001F01FF, 0x001200A9, 0x001301BF, 0x00120089, 0x10000000,
                              0xA0000000, 0x00100000, 0x000F003F};
    std::vector<uint8_t> sds;
    for (uint32_t k = 0; k < count; ++k) {
        std::vector<Ace> aces;
        const uint64_t n = rnd.Between(1, 6);
        for (uint64_t a = 0; a < n; ++a)
            aces.push_back(Ace{uint8_t(rnd.Percent(10) ? 1 : 0), uint8_t(rnd.Below(4) == 0 ? 0x13 : 0),
                               masks[rnd.Below(8)], sids[rnd.Below(sids.size())]});
        std::vector<uint8_t> dacl = Acl(aces);
        std::vector<uint8_t> sacl = Acl({Ace{2, 0xC0, 0x000D0116, sids[0]}});
        std::vector<uint8_t> sd = Descriptor(sids[rnd.Below(sids.size())], sids[rnd.Below(3)],
                                             k % 7 == 3 ? &sacl : nullptr, dacl);
        const size_t pos = (sds.size() + 15) & ~size_t{15};
        PutU32(sds, pos, uint32_t(rnd.Next()));  // hash: not checked by readers of the stream
        PutU32(sds, pos + 4, 0x100 + k);
        PutU64(sds, pos + 8, pos);
        PutU32(sds, pos + 16, uint32_t(20 + sd.size()));
        PutBytes(sds, pos + 20, sd);
    }
    sds.resize((sds.size() + 15) & ~size_t{15});
    return sds;
}

std::vector<uint8_t> Content(Random& rnd, size_t size) {
    std::vector<uint8_t> b(size);
    uint64_t v = rnd.Next();
    for (size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) v = v * 6364136223846793005ull + 1442695040888963407ull;
        b[i] = uint8_t(v >> (8 * (i % 8)));
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUTPUT RECORDS [SEED]\n", argv[0]);
        return 1;
    }
    const std::string path = argv[1];
    const uint64_t records = strtoull(argv[2], nullptr, 10);
    Random rnd{argc > 3 ? strtoull(argv[3], nullptr, 10) : 7};
    if (records < 1000) {
        fprintf(stderr, "%s: at least 1000 records\n", argv[0]);
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();

    VolumeDesc d;
    const uint32_t descriptors = 40;
    d.sds = SecureStream(rnd, descriptors);
    d.sdsNonResident = true;
    d.volumeLabel = "bench";
    const uint64_t files = records - kFirstUserRecord;

    // The tree, breadth first: each directory gets 20 to 50 entries, of
    // which a share are directories, chosen so that the levels reach about
    // seven deep whatever the size.  Records are handed out in a shuffled
    // order, so that parents and children do not sit side by side as they
    // would in a freshly copied tree.
    std::vector<uint64_t> recordOf(files);
    for (uint64_t i = 0; i < files; ++i) recordOf[i] = kFirstUserRecord + i;
    for (uint64_t i = files; i > 1; --i) std::swap(recordOf[i - 1], recordOf[rnd.Below(i)]);

    const double dirsWanted = std::max(1.0, double(files) / 35.0);
    const double branching = std::max(1.5, std::pow(dirsWanted, 1.0 / 6.5));
    const double dirShare = std::min(0.9, branching / 35.0);
    struct Dir {
        uint64_t record;
        uint32_t depth;
    };
    std::deque<Dir> queue = {Dir{kRootRecord, 0}};
    std::vector<uint64_t> allDirs = {kRootRecord};
    d.files.reserve(files);
    uint32_t maxDepth = 0;
    uint64_t nonResident = 0, streams = 0, links = 0, erased = 0, dirs = 0;
    uint64_t dataBytes = 0;
    while (d.files.size() < files) {
        Dir parent;
        if (!queue.empty()) {
            parent = queue.front();
            queue.pop_front();
        } else {
            // The tree ran dry before the records did: open another level
            // below some directory already made.
            const uint64_t pick = allDirs[rnd.Below(allDirs.size())];
            parent = Dir{pick, 1};
        }
        const uint64_t entries = rnd.Between(20, 50);
        for (uint64_t e = 0; e < entries && d.files.size() < files; ++e) {
            const size_t i = d.files.size();
            FileDesc f;
            f.record = recordOf[i];
            f.parent = parent.record;
            f.info.securityId = 0x100 + uint32_t(rnd.Below(descriptors));
            f.info.created = kDefaultTime + rnd.Below(1ull << 50);
            f.info.modified = f.info.created + rnd.Below(1ull << 40);
            f.info.mftModified = f.info.modified;
            f.info.accessed = f.info.modified + rnd.Below(1ull << 36);
            const bool dir = parent.depth + 1 < 8 && rnd.Percent(dirShare * 100.0);
            if (dir) {
                f.directory = true;
                f.info.fileAttributes = 0x10;
                f.name = "dir" + std::to_string(i);
                queue.push_back(Dir{*f.record, parent.depth + 1});
                allDirs.push_back(*f.record);
                dirs++;
            } else {
                f.name = "file" + std::to_string(i) + (rnd.Percent(50) ? ".txt" : ".dat");
                if (rnd.Percent(15)) {
                    f.nonResident = true;
                    f.data = Content(rnd, size_t(rnd.Between(1, 6 * 4096)));
                    nonResident++;
                } else {
                    f.data = Content(rnd, size_t(rnd.Below(600)));
                }
                dataBytes += f.data.size();
                if (rnd.Percent(2)) {
                    f.streams.push_back(StreamDesc{"Zone.Identifier", Content(rnd, 26), false});
                    streams++;
                }
                if (rnd.Percent(1) && allDirs.size() > 1) {
                    f.links.push_back(LinkDesc{allDirs[rnd.Below(allDirs.size())],
                                               "link" + std::to_string(i), kNameWin32AndDos});
                    links++;
                }
                if (rnd.Percent(3)) {
                    // Erased: the record is free again and the name is gone
                    // from the directory.
                    f.inUse = false;
                    f.sequence = 2;
                    f.links.clear();
                    erased++;
                }
            }
            if (!f.directory && !f.nonResident) {
                // A resident value must leave room in the 1 KiB record for
                // the other attributes: header 56, $STANDARD_INFORMATION
                // 96, each $FILE_NAME 90 and its name, each stream 24 and its
                // name, the end marker, all rounded to 8; a few bytes spare.
                auto round8 = [](size_t n) { return (n + 7) & ~size_t{7}; };
                size_t used = 56 + 96 + round8(90 + 2 * f.name.size()) + 24 + 8 + 16;
                for (const LinkDesc& l : f.links) used += round8(90 + 2 * l.name.size());
                for (const StreamDesc& st : f.streams)
                    used += round8(24 + 2 * st.name.size()) + round8(st.data.size());
                const size_t room = 1024 > used ? (1024 - used) & ~size_t{7} : 0;
                if (f.data.size() > room) {
                    dataBytes -= f.data.size() - room;
                    f.data.resize(room);
                }
            }
            maxDepth = std::max(maxDepth, parent.depth + 1);
            d.files.push_back(std::move(f));
        }
    }
    // Some erased files name a parent whose record now holds a plain file,
    // as when a directory's record is reused by a file: their path stops
    // below it.
    std::vector<uint64_t> erasedRecords;
    for (const FileDesc& f : d.files)
        if (!f.inUse) erasedRecords.push_back(*f.record);
    for (FileDesc& f : d.files)
        if (!f.inUse && !erasedRecords.empty() && rnd.Percent(20))
            f.parent = erasedRecords[rnd.Below(erasedRecords.size())];

    std::string error;
    VolumeLayout layout;
    if (!WriteVolume(d, path, &layout, &error)) {
        fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("%s: %llu records (%llu files, %llu directories, depth %u), %llu non-resident, "
           "%llu alternate streams, %llu hard links, %llu erased, %u descriptors, "
           "%llu data bytes, %llu-byte image, $MFT at LCN %lld, %.1f s\n",
           path.c_str(), (unsigned long long)layout.recordCount,
           (unsigned long long)(files - dirs), (unsigned long long)dirs, maxDepth,
           (unsigned long long)nonResident, (unsigned long long)streams,
           (unsigned long long)links, (unsigned long long)erased, descriptors,
           (unsigned long long)dataBytes, (unsigned long long)layout.imageBytes,
           (long long)layout.mftRuns[0].lcn, seconds);
    return 0;
}
