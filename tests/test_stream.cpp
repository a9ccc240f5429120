// Reading streams through their runlists: whole clusters by VCN, byte ranges
// through the cluster buffer, whole streams, and streams in chunks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "diskio/diskio.h"
#include "support/memory_volume.h"

namespace {

constexpr uint32_t kCluster = 4096;

TEST(ReadStreamBytes, HeadMiddleAndTailClusters) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{5, 2}, {9, 2}};  // VCN 0-1 at LCN 5, VCN 2-3 at LCN 9
    Attribute a = NonResident(runs, 4 * kCluster);
    std::vector<uint8_t> out(10000, 0xEE);
    uint64_t count = out.size();
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 1000, &count, out.data()));
    EXPECT_EQ(10000u, count);
    // 3,096 bytes of VCN 0, VCN 1 whole, 2,808 bytes of VCN 2.
    EXPECT_EQ(0, memcmp(out.data(), mv.Cluster(5) + 1000, 3096));
    EXPECT_EQ(0, memcmp(out.data() + 3096, mv.Cluster(6), 4096));
    EXPECT_EQ(0, memcmp(out.data() + 7192, mv.Cluster(9), 2808));
    EXPECT_EQ(3u, mv.DeviceReads());
    EXPECT_EQ("", mv.errors.Text());
}

TEST(ReadStreamBytes, WholeClustersInOneRequestPerRun) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{2, 3}, {10, 1}};
    Attribute a = NonResident(runs, 4 * kCluster);
    std::vector<uint8_t> out(4 * kCluster);
    uint64_t count = out.size();
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(0, memcmp(out.data(), mv.Cluster(2), 3 * kCluster));
    EXPECT_EQ(0, memcmp(out.data() + 3 * kCluster, mv.Cluster(10), kCluster));
    EXPECT_EQ(2u, mv.DeviceReads());
}

TEST(ReadStreamBytes, ResidentRangesAndTheEndOfTheStream) {
    MemoryVolume mv(kCluster, 4);
    uint8_t value[5] = {'h', 'e', 'l', 'l', 'o'};
    Attribute a{};
    a.bResident = 1;
    a.ullSize = 5;
    a.pStream = value;
    char out[8] = {};
    uint64_t count = 8;
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 2, &count, out));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(0, memcmp(out, "llo", 3));
    count = 4;
    EXPECT_EQ(1, ReadStreamBytes(&mv.vol, &a, 5, &count, out));
    EXPECT_EQ(0u, count);
    count = 4;
    EXPECT_EQ(0, ReadStreamBytes(&mv.vol, &a, 6, &count, out));
    EXPECT_EQ(0u, count);
    EXPECT_NE(std::string::npos, mv.errors.Text().find("Offset (0x6) > stream size (0x5)"));
    a.pStream = nullptr;  // keep FreeAttribute away from the stack array
}

TEST(ReadStreamVcns, SparseRunReadsZerosWithoutTheDevice) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{kSparseLcn, 3}};
    Attribute a = NonResident(runs, 3 * kCluster);
    std::vector<uint8_t> out(3 * kCluster, 0xEE);
    uint64_t count = 3;
    ASSERT_EQ(1, ReadStreamVcns(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(std::vector<uint8_t>(3 * kCluster, 0), out);
    EXPECT_EQ(0u, mv.DeviceReads());
}

TEST(ReadStreamVcns, ShortDeviceReadReportsWhatArrived) {
    // A run of 10 clusters at LCN 0x500 of which the device holds 4.
    MemoryVolume mv(512, 0x600, 0x504);
    std::vector<::Run> runs = {{0x10, 2}, {0x500, 10}};
    Attribute a = NonResident(runs, 12 * 512);
    std::vector<uint8_t> out(12 * 512);
    uint64_t count = 12;
    EXPECT_EQ(0, ReadStreamVcns(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(6u, count);
    EXPECT_NE(std::string::npos,
              mv.errors.Text().find("(attribute 0x80) only 4 out of 10 clusters read at Lcn 0x500"));
}

TEST(ReadStreamVcns, VcnsPastTheRunlistAreNotFound) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{3, 2}};
    Attribute a = NonResident(runs, 4 * kCluster);
    std::vector<uint8_t> out(4 * kCluster);
    uint64_t count = 4;
    EXPECT_EQ(0, ReadStreamVcns(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_NE(std::string::npos, mv.errors.Text().find("(attribute 0x80) 2 clusters not found in runlist"));
    // Only the clusters that were read count as delivered.
    EXPECT_EQ(2u, count);
}

TEST(ReadStreamVcns, RefusesResidentAndFlaggedStreams) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{3, 2}};
    Attribute a = NonResident(runs, 2 * kCluster);
    std::vector<uint8_t> out(2 * kCluster);
    uint64_t count = 2;
    // Compression units of other than 16 clusters are not decoded.
    a.wFlags = 0x0001;
    a.wCompressionUnit = 2;
    EXPECT_EQ(0, ReadStreamVcns(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(0u, count);
    count = 100;
    EXPECT_EQ(0, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(0u, count);
    Entry e{};
    e.pVolume = &mv.vol;
    uint64_t size = 1;
    uint8_t* p = GetStreamBuffer(&e, &a, &size);
    EXPECT_EQ(0u, size);
    ReleaseStreamBuffer(&a, p);
    a.wFlags = 0;
    a.bResident = 1;
    count = 1;
    EXPECT_EQ(0, ReadStreamVcns(&mv.vol, &a, 0, &count, out.data()));
    std::string text = mv.errors.Text();
    EXPECT_NE(std::string::npos, text.find("compressed attributes not implemented"));
    EXPECT_NE(std::string::npos, text.find("do not apply to resident streams"));
    EXPECT_EQ(0u, mv.DeviceReads());
}

// Units of 16 clusters: stored whole, all sparse, and LZNT1 in the clusters
// before a sparse tail; after the initialized size, zeros; a unit that does
// not decompress is named and ends the read where it begins.
TEST(ReadStreamBytes, CompressionUnitsStoredSparseAndLznt1) {
    MemoryVolume mv(kCluster, 40);
    std::vector<::Run> runs = {{2, 16}, {kSparseLcn, 16}, {20, 1}, {kSparseLcn, 15}};
    Attribute a = NonResident(runs, 48 * kCluster - 100);
    a.wFlags = 0x0001;
    a.wCompressionUnit = 4;
    a.ullInitSize = a.ullSize;
    // One chunk: "abc" then a copy of them, 4,093 bytes long, from 3 back.
    const uint8_t chunk[] = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0xFA, 0x2F};
    // A zero header after the last chunk ends the unit's data.
    memset(&mv.bytes[20 * kCluster], 0, kCluster);
    memcpy(&mv.bytes[20 * kCluster], chunk, sizeof chunk);
    std::vector<uint8_t> out(a.ullSize, 0xEE);
    uint64_t count = out.size();
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data())) << mv.errors.Text();
    EXPECT_EQ(0, memcmp(out.data(), mv.Cluster(2), 16 * kCluster));
    EXPECT_EQ(std::vector<uint8_t>(16 * kCluster, 0),
              std::vector<uint8_t>(out.begin() + 16 * kCluster, out.begin() + 32 * kCluster));
    for (uint32_t i = 0; i < 4096; i++) ASSERT_EQ("abc"[i % 3], out[32 * kCluster + i]) << i;
    EXPECT_EQ(std::vector<uint8_t>(out.size() - 32 * kCluster - 4096, 0),
              std::vector<uint8_t>(out.begin() + 32 * kCluster + 4096, out.end()));
    a.ullInitSize = 100;
    count = 200;
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(0, memcmp(out.data(), mv.Cluster(2), 100));
    EXPECT_EQ(std::vector<uint8_t>(100, 0), std::vector<uint8_t>(out.begin() + 100, out.begin() + 200));
    // A back-reference before the unit's start.
    a.ullInitSize = a.ullSize;
    const uint8_t bad[] = {0x01, 0xB0, 0x01, 0x05, 0x00};
    memcpy(&mv.bytes[20 * kCluster], bad, sizeof bad);
    count = out.size();
    EXPECT_EQ(0, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(32u * kCluster, count);
    EXPECT_NE(std::string::npos,
              mv.errors.Text().find("compression unit at Vcn 0x20 is damaged"));
    EXPECT_EQ(std::string::npos, mv.errors.Text().find("not implemented"));
}

// Streams flagged sparse read as their runs say, as unflagged ones do.
TEST(ReadStreamBytes, SparseFlaggedStreamsReadTheirRuns) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{kSparseLcn, 1}, {3, 1}};
    Attribute a = NonResident(runs, 2 * kCluster);
    a.wFlags = 0x8000;
    std::vector<uint8_t> out(2 * kCluster, 0xEE);
    uint64_t count = out.size();
    ASSERT_EQ(1, ReadStreamBytes(&mv.vol, &a, 0, &count, out.data()));
    EXPECT_EQ(std::vector<uint8_t>(kCluster, 0),
              std::vector<uint8_t>(out.begin(), out.begin() + kCluster));
    EXPECT_EQ(0, memcmp(out.data() + kCluster, mv.Cluster(3), kCluster));
}

TEST(ReadStreamVcns, ZeroClustersSucceedWithoutReading) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{3, 2}};
    Attribute a = NonResident(runs, 2 * kCluster);
    uint64_t count = 0;
    EXPECT_EQ(1, ReadStreamVcns(&mv.vol, &a, 0, &count, nullptr));
    count = 0;
    EXPECT_EQ(1, ReadStreamBytes(&mv.vol, &a, 10, &count, nullptr));
    EXPECT_EQ(0u, mv.DeviceReads());
}

TEST(GetStreamBuffer, WholeStreamAndItsRelease) {
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{7, 2}};
    Attribute a = NonResident(runs, 5000);
    Entry e{};
    e.pVolume = &mv.vol;
    uint64_t size = 0;
    uint8_t* p = GetStreamBuffer(&e, &a, &size);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(5000u, size);
    EXPECT_EQ(0, memcmp(p, mv.Cluster(7), 5000));
    ReleaseStreamBuffer(&a, p);

    // A stream that cannot be held in one buffer is refused, not cut.
    a.ullSize = kMaxStreamBuffer;
    EXPECT_EQ(nullptr, GetStreamBuffer(&e, &a, &size));
    EXPECT_EQ(0u, size);
    EXPECT_NE(std::string::npos, mv.errors.Text().find("stream too large to be read"));
}

struct Chunks {
    std::vector<uint32_t> lengths;
    uint64_t nonZero = 0;
};
void Collect(void* pContext, const uint8_t* pData, uint32_t dwLength) {
    auto* c = static_cast<Chunks*>(pContext);
    c->lengths.push_back(dwLength);
    for (uint32_t i = 0; i < dwLength; i++) c->nonZero += pData[i] != 0;
}

TEST(ProcessStream, SparseChunksComeFromZerosAndOthersInSixteenMebibyteChunks) {
    MemoryVolume mv(kCluster, 16);
    Entry e{};
    e.pVolume = &mv.vol;
    // 40 MiB of sparse runs: zeros without a read, in pieces.
    std::vector<::Run> sparse = {{kSparseLcn, 20 * 256}, {kSparseLcn, 20 * 256}};
    Attribute a = NonResident(sparse, 40u << 20);
    Chunks c;
    EXPECT_EQ(1, ProcessStream(&e, &a, Collect, &c));
    uint64_t total = 0;
    for (uint32_t n : c.lengths) total += n;
    EXPECT_EQ(40ull << 20, total);
    EXPECT_EQ(0u, c.nonZero);
    EXPECT_EQ(0u, mv.DeviceReads());
    // A chunk with one data cluster in it is read whole; the sparse chunk
    // after it is not.
    std::vector<::Run> mixed = {{kSparseLcn, 4095}, {3, 1}, {kSparseLcn, 4096}};
    Attribute m = NonResident(mixed, 32u << 20);
    memset(mv.bytes.data() + 3 * kCluster, 0xAB, kCluster);
    Chunks d;
    EXPECT_EQ(1, ProcessStream(&e, &m, Collect, &d));
    ASSERT_FALSE(d.lengths.empty());
    EXPECT_EQ(16u << 20, d.lengths[0]);
    EXPECT_EQ(kCluster, d.nonZero);
    EXPECT_EQ(1u, mv.DeviceReads());
    // Sparse runs that end before the stream does: the chunk is read, and
    // the clusters the runlist lacks are reported as before.
    std::vector<::Run> shortRuns = {{kSparseLcn, 2}};
    Attribute t = NonResident(shortRuns, 3 * kCluster);
    Chunks f;
    EXPECT_EQ(0, ProcessStream(&e, &t, Collect, &f));
    EXPECT_EQ(std::vector<uint32_t>{2 * kCluster}, f.lengths);
    EXPECT_NE(std::string::npos, mv.errors.Text().find("clusters not found in runlist"));
}

TEST(ProcessStream, ResidentOnceEmptyNonResidentNever) {
    MemoryVolume mv(kCluster, 16);
    Entry e{};
    e.pVolume = &mv.vol;
    Attribute r{};
    r.bResident = 1;
    Chunks c;
    EXPECT_EQ(1, ProcessStream(&e, &r, Collect, &c));
    EXPECT_EQ(std::vector<uint32_t>{0}, c.lengths);
    std::vector<::Run> runs;
    Attribute n = NonResident(runs, 0);
    Chunks d;
    EXPECT_EQ(1, ProcessStream(&e, &n, Collect, &d));
    EXPECT_TRUE(d.lengths.empty());
}

TEST(ProcessStream, ChunkCutShortIsPassedOnAndTheWalkFails) {
    // 3 clusters of data, the runlist maps 2 of them.
    MemoryVolume mv(kCluster, 16);
    std::vector<::Run> runs = {{4, 2}};
    Attribute a = NonResident(runs, 3 * kCluster);
    Entry e{};
    e.pVolume = &mv.vol;
    Chunks c;
    EXPECT_EQ(0, ProcessStream(&e, &a, Collect, &c));
    EXPECT_EQ(std::vector<uint32_t>{2 * kCluster}, c.lengths);
}

}  // namespace

namespace {

// A WOF file's WofCompressedData as a resident value: chunk table, then the
// chunks; what ProcessWofStream delivers and says.
struct WofCase {
    uint64_t ullSize;
    std::vector<uint8_t> stored;
    const char* pszSaid;  // none: read cleanly
};

TEST(ProcessWofStream, ChunkTablesAndChunksFromBytes) {
    std::vector<uint8_t> raw(4 + 8192);
    for (size_t i = 4; i < raw.size(); i++) raw[i] = static_cast<uint8_t>(i * 13 + i / 7);
    auto withTable = [&raw](uint32_t dwEnd) {
        std::vector<uint8_t> v = raw;
        for (int k = 0; k < 4; k++) v[k] = static_cast<uint8_t>(dwEnd >> (8 * k));
        return v;
    };
    std::vector<uint8_t> garbage = withTable(100);
    garbage.resize(4 + 100 + 4096);
    const WofCase cases[] = {
        {8192, withTable(4096), nullptr},  // two chunks stored as they are
        {8192, withTable(0), "WOF chunk table damaged at chunk 0"},
        {8192, withTable(9000), "WOF chunk table damaged at chunk 0"},
        {8192, garbage, "WOF chunk 0 does not decompress (XPRESS) to 4096 bytes"},
        {1ull << 40, withTable(4096), "cannot hold the 0x10000000 chunks"},
    };
    for (const WofCase& c : cases) {
        MemoryVolume mv(kCluster, 4);
        Attribute data = {}, wof = {};
        data.ullSize = c.ullSize;
        wof.bResident = 1;
        wof.ullSize = c.stored.size();
        std::vector<uint8_t> stored = c.stored;
        wof.pStream = stored.data();
        Entry e{};
        e.pVolume = &mv.vol;
        std::vector<uint8_t> out;
        const int ok = ProcessWofStream(&e, &data, &wof, 0, [](void* p, const uint8_t* pData,
                                                               uint32_t n) {
            static_cast<std::vector<uint8_t>*>(p)->insert(
                static_cast<std::vector<uint8_t>*>(p)->end(), pData, pData + n);
        }, &out);
        EXPECT_EQ(c.pszSaid == nullptr, ok == 1) << mv.errors.Text();
        if (c.pszSaid == nullptr)
            EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 4, raw.end()), out);
        else
            EXPECT_NE(std::string::npos, mv.errors.Text().find(c.pszSaid)) << mv.errors.Text();
        wof.pStream = nullptr;
    }
}

}  // namespace
