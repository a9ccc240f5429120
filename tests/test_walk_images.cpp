// Whole walks of real NTFS volumes: the images made by ntfs-3g that ship in
// tests/images and the Windows volumes beside the checkout, compared with
// what The Sleuth Kit recorded of them (tests/images/peer).
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

struct Walk {
    RunResult run;
    std::string trace;
    std::vector<uint64_t> visited;  // "Looking for base record" of the walk, after the open
    std::set<uint64_t> refused;     // records whose read failed
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

uint64_t NumberAfter(const std::string& line, const std::string& prefix) {
    return std::stoull(line.substr(line.find(prefix) + prefix.size()));
}

// Runs volscan with a debug trace; the open reads records 0, 3 and 9 before
// the walk, whose first record is the next "Looking for base record #0".
Walk RunWalk(const std::vector<std::string>& source) {
    Walk w;
    std::string dir = MakeTestDir("walk");
    std::vector<std::string> args = {"-d", dir + "/trace.txt"};
    args.insert(args.end(), source.begin(), source.end());
    args.push_back("C");
    w.run = RunVolscanBinary(args);
    w.trace = ReadFile(dir + "/trace.txt");
    bool bWalking = false;
    // The path of each file reads its parents: those reads follow the
    // trace line that names the parent (the root is never read).
    uint64_t ullParent = UINT64_MAX;
    for (const std::string& line : Lines(w.trace)) {
        if (line.rfind("WalkBack: found parent directory #", 0) == 0) {
            ullParent = NumberAfter(line, "#");
            if (ullParent == 5) ullParent = UINT64_MAX;
            continue;
        }
        if (line.rfind("Looking for base record #", 0) != 0) continue;
        uint64_t n = NumberAfter(line, "#");
        if (n == ullParent) {
            ullParent = UINT64_MAX;
            continue;
        }
        if (n == 0 && !w.visited.empty()) bWalking = true;
        if (!bWalking && n == 0 && w.visited.empty()) {
            w.visited.push_back(0);  // the open's second reading of record 0
            continue;
        }
        if (bWalking) w.visited.push_back(n);
    }
    if (!w.visited.empty()) w.visited.erase(w.visited.begin());
    for (const std::string& line : Lines(w.run.err)) {
        for (const char* what : {"CheckRecord failure - Record #", "ReadStreamVcns failure - Record #",
                                 "- Requested record #"})
            if (line.find(what) != std::string::npos) w.refused.insert(NumberAfter(line, "#"));
    }
    return w;
}

std::string Peer(const std::string& name) { return ReadFile(SourcePath("tests/images/peer/" + name)); }

// The $DATA clusters of an istat listing.
std::vector<uint64_t> IstatDataClusters(const std::string& istat) {
    std::vector<uint64_t> clusters;
    bool bIn = false;
    for (const std::string& line : Lines(istat)) {
        if (line.rfind("Type: ", 0) == 0) {
            bIn = line.rfind("Type: $DATA (128-", 0) == 0;
            continue;
        }
        if (!bIn) continue;
        std::istringstream in(line);
        for (uint64_t c; in >> c;) clusters.push_back(c);
    }
    return clusters;
}

// The clusters of the $MFT's unnamed $DATA as the Entry dump of record 0
// read through the $MFT itself shows them (the second dump: the first is of
// the base record alone), and that dump's stream size.
std::vector<uint64_t> TraceMftClusters(const std::string& trace, uint64_t* pSize) {
    std::vector<uint64_t> clusters;
    bool bData = false;
    const std::string mark = "Base record number : 0\n";
    size_t second = trace.find(mark, trace.find(mark) + 1);
    if (second == std::string::npos) return clusters;
    for (const std::string& line : Lines(trace.substr(second))) {
        if (line == "   Type : 0x80") bData = true;
        else if (line.rfind("   Type : ", 0) == 0 && bData) break;
        else if (bData && line.rfind("   Stream size : 0x", 0) == 0)
            *pSize = std::stoull(line.substr(19), nullptr, 16);
        else if (bData && line.rfind("    Lcn 0x", 0) == 0) {
            uint64_t lcn = std::stoull(line.substr(10), nullptr, 16);
            uint64_t length = std::stoull(line.substr(line.find("length 0x") + 9), nullptr, 16);
            for (uint64_t i = 0; i < length; i++) clusters.push_back(lcn + i);
        } else if (bData && line.empty()) break;
    }
    return clusters;
}

struct ImageCase {
    const char* name;
    uint32_t clusterSize;
};

class CommittedImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(CommittedImage, WalksEveryRecordAsThePeerSeesTheMft) {
    const std::string name = GetParam().name;
    const std::string img = SourcePath("tests/images/" + name + ".img");
    if (!FileExists(img)) GTEST_SKIP() << img << " is missing";
    Walk w = RunWalk({"-f", img});
    ASSERT_EQ(0, w.run.exitStatus) << w.run.err;

    // Record count: the $MFT data size over the record size, as recorded.
    std::string counts = Peer(name + ".counts.txt");
    size_t at = counts.find(") ", counts.find("MFT records"));
    ASSERT_NE(std::string::npos, at) << counts;
    const uint64_t records = std::stoull(counts.substr(at + 2));
    ASSERT_EQ(records, w.visited.size());
    for (uint64_t i = 0; i < records; i++) ASSERT_EQ(i, w.visited[i]);

    // The $MFT runs: the clusters that hold its data are those istat lists.
    uint64_t size = 0;
    std::vector<uint64_t> ours = TraceMftClusters(w.trace, &size);
    std::vector<uint64_t> peer = IstatDataClusters(Peer(name + ".istat-0.txt"));
    const uint64_t used = (size + GetParam().clusterSize - 1) / GetParam().clusterSize;
    ASSERT_GE(ours.size(), used);
    ASSERT_GE(peer.size(), used);
    ours.resize(used);
    peer.resize(used);
    EXPECT_EQ(peer, ours);

    // ntfs-3g writes NTFS 3.1 ("Windows XP").
    EXPECT_NE(std::string::npos, Peer(name + ".fsstat.txt").find("Version: Windows XP"));
    EXPECT_NE(std::string::npos, w.trace.find("Filesystem major version : 3\n"));

    // A $MFT spread over extension records is read through its attribute list.
    if (Peer(name + ".istat-0.txt").find("$ATTRIBUTE_LIST") != std::string::npos) {
        size_t open = w.trace.find("Looking for base record #0");
        size_t walk = w.trace.find("Looking for base record #3");
        size_t ext = w.trace.find("Looking for extended record #", open);
        EXPECT_LT(ext, walk) << "the $MFT's extension record is read while the volume opens";
    }
}

INSTANTIATE_TEST_SUITE_P(Images, CommittedImage,
                         ::testing::Values(ImageCase{"sample", 4096}, ImageCase{"sect4k", 4096},
                                           ImageCase{"clust512", 512},
                                           ImageCase{"attrlist", 4096}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(CommittedImage, FourKilobyteSectorRecordsPassTheirFixups) {
    const std::string img = SourcePath("tests/images/sect4k.img");
    if (!FileExists(img)) GTEST_SKIP() << img << " is missing";
    Walk w = RunWalk({"-f", img});
    EXPECT_EQ(std::string::npos, w.run.err.find("inconsistent number of update values")) << w.run.err;
    EXPECT_TRUE(w.refused.empty());
}

// Records read and refused on the Windows volumes; The Sleuth Kit's ils -e
// lists exactly the readable ones (0-15, 24-43 and 0-15, 24-44).
struct WindowsCase {
    const char* name;
    uint64_t lastReadable;
};

class WindowsImage : public ::testing::TestWithParam<WindowsCase> {};

TEST_P(WindowsImage, ReadsTheRecordsThePeerReads) {
    std::string img = SharedImage(std::string(GetParam().name) + ".raw");
    if (img.empty()) GTEST_SKIP() << "../shared/images is not beside the checkout";
    Walk w = RunWalk({"-f", img, "--offset=65536"});
    ASSERT_EQ(256u, w.visited.size());  // $MFT data of 256 KiB, 1 KiB records
    std::set<uint64_t> readable;
    for (uint64_t n = 0; n < 256; n++)
        if (!w.refused.count(n)) readable.insert(n);
    std::set<uint64_t> expected;
    for (uint64_t n = 0; n <= 15; n++) expected.insert(n);
    for (uint64_t n = 24; n <= GetParam().lastReadable; n++) expected.insert(n);
    EXPECT_EQ(expected, readable);
    // The last record is one that was never used: the run ends with its failure.
    EXPECT_EQ(2, w.run.exitStatus);
    EXPECT_NE(std::string::npos, w.trace.find("Filesystem major version : 3\n"));
}

INSTANTIATE_TEST_SUITE_P(Shared, WindowsImage,
                         ::testing::Values(WindowsCase{"win10-lastaccess", 43},
                                           WindowsCase{"win10-ptrn", 44}),
                         [](const auto& param) {
                             std::string s = param.param.name;
                             for (char& c : s)
                                 if (c == '-') c = '_';
                             return s;
                         });

TEST(WindowsImage, TwoMebibyteClustersWalkToTheLastRecord) {
    std::string img = SharedImage("win10-2mcluster.raw");
    if (img.empty()) GTEST_SKIP() << "../shared/images is not beside the checkout";
    Walk w = RunWalk({"-f", img, "--offset=65536"});
    // Its last records are formatted but were never used: they have no name
    // for the report, but every one of them is read.
    EXPECT_EQ("", ReadDiagnostics(w.run.err));
    uint64_t size = 0;
    TraceMftClusters(w.trace, &size);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(size / 1024, w.visited.size());
}

}  // namespace
