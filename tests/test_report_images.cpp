// The reports of real NTFS volumes: the images made by ntfs-3g that ship in
// tests/images and the Windows volumes beside the checkout.  Every in-use
// file is checked field by field against what The Sleuth Kit says of it
// (peer/<volume>.facts.txt), the verbose block of every record against its
// line, and whole reports against tests/images/expected, so that a change of
// any byte shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "security/winsid.h"
#include "support/run_binary.h"

namespace {

struct VolumeCase {
    const char* name;
    bool shared;  // a Windows volume of ../shared/images (else tests/images/NAME.img)
    int exitStatus;  // that of the last record: Windows leaves the MFT's tail unformatted
};

const VolumeCase kVolumes[] = {
    {"sample", false, 0},          {"sect4k", false, 0},     {"clust512", false, 0},
    {"attrlist", false, 0},        {"win10-lastaccess", true, 2}, {"win10-ptrn", true, 2},
    {"win10-2mcluster", true, 2},
};

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        auto end = text.find(sep, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The report without its run header: two lines in line mode, up to the
// first empty line in verbose mode.
std::string Body(const std::string& out, bool verbose) {
    std::string::size_type at = 0;
    if (verbose) {
        at = out.find("\n\n");
        return at == std::string::npos ? "" : out.substr(at + 2);
    }
    for (int k = 0; k < 2 && at != std::string::npos; k++) {
        at = out.find('\n', at);
        if (at != std::string::npos) at++;
    }
    return at == std::string::npos ? "" : out.substr(at);
}

// The image of a volume case, or "" when the shared images are absent.
std::string ImagePath(const VolumeCase& v) {
    if (!v.shared) return SourcePath(std::string("tests/images/") + v.name + ".img");
    return SharedImage(std::string(v.name) + ".raw");
}

RunResult RunReport(const VolumeCase& v, const std::string& image,
                    const std::vector<std::string>& options, const std::string& locale) {
    std::vector<std::string> args = {"-f", image, v.shared ? "--offset=65536" : "--offset=0"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("C");
    return RunVolscanBinary(args, "", {"LC_ALL=" + locale});
}

// One line of the report, split into its fields.
struct ReportLine {
    std::string record, path, md5, links, size, attributes;
    std::string times[4];
    std::string streams;
    std::string security;  // owner, group, counts and ACE fields as written, separators included
    std::string alternates;  // "name|size|" pairs as written
};

// Splits from the left: the path of these volumes holds no "|"; a stream
// name may, so the stream pairs stay one string.
bool ParseLine(const std::string& line, ReportLine* r) {
    std::vector<std::string> f = Split(line, '|');
    if (f.size() < 16) return false;
    r->record = f[0];
    r->path = f[1];
    r->md5 = f[2];
    r->links = f[3];
    r->size = f[4];
    r->attributes = f[5];
    for (int k = 0; k < 4; k++) r->times[k] = f[6 + k];
    r->streams = f[10];
    // Owner, group, the two counts, then a SID and rights pair for each ACE.
    auto count = [](const std::string& field) {
        return !field.empty() && isdigit(static_cast<unsigned char>(field[0])) ? std::stoul(field)
                                                                               : 0ul;
    };
    size_t end = 15 + 2 * (count(f[13]) + count(f[14]));
    if (end > f.size() - 1) return false;
    r->security.clear();
    for (size_t k = 11; k < end; k++) r->security += f[k] + "|";
    r->alternates.clear();
    for (size_t k = end; k + 1 < f.size(); k++) r->alternates += f[k] + "|";
    return true;
}

std::map<std::string, ReportLine> ParseReport(const std::string& body) {
    std::map<std::string, ReportLine> lines;
    for (const std::string& line : Lines(body)) {
        ReportLine r;
        if (line.rfind("MFT Index|", 0) == 0 || !ParseLine(line, &r)) continue;
        lines[r.record] = r;
    }
    return lines;
}

// The codes of the line for the long names of the verbose text, joined by
// ", " there; a name without a code shows as "?name?".
std::string CodesFor(const std::string& names, const std::map<std::string, std::string>& table) {
    std::string codes;
    if (names.empty()) return codes;
    for (const std::string& name : Split(names, ',')) {
        std::string n = name[0] == ' ' ? name.substr(1) : name;
        auto it = table.find(n);
        codes += it == table.end() ? "?" + n + "?" : it->second;
    }
    return codes;
}

// The attribute codes of the line for the long names of the verbose text.
std::string CodesOf(const std::string& names) {
    static const std::map<std::string, std::string> kCodes = {
        {"Read-Only", "Ro"},         {"Hidden", "Hi"},        {"System", "Sy"},
        {"Directory", "Di"},         {"Archive", "Ar"},       {"Encrypted", "En"},
        {"Normal", "No"},            {"Temporary", "Te"},     {"Sparse file", "Sp"},
        {"Reparse point", "Re"},     {"Compressed", "Co"},    {"Offline", "Of"},
        {"Not content indexed", "Ni"},
    };
    return CodesFor(names, kCodes);
}

// The security text of a verbose block, gathered into the fields of the line.
struct VerboseSecurity {
    std::string owner, group, dace = "?", sace = "?";
    std::vector<std::string> aces;  // "SID|rights|"
    std::string pendingSid;

    std::string Line() const {
        std::string line = owner + "|" + group + "|" + dace + "|" + sace + "|";
        for (const std::string& a : aces) line += a;
        return line;
    }
};

// The SID of "User : S-1-5-18 (Well known group) NT AUTHORITY\SYSTEM".
std::string SidOf(const std::string& text) { return text.substr(0, text.find(" (")); }

std::string RightsCodes(const std::string& names) {
    static const std::map<std::string, std::string> kCodes = {
        {"File all access", "Fa"},      {"File generic read", "Fr"},
        {"File generic write", "Fw"},   {"File generic execute", "Fe"},
        {"Standard rights all", "Sa"},  {"File read data", "Rd"},
        {"File write data", "Wd"},      {"File append data", "Ad"},
        {"File read extended area", "Re"}, {"File write extended area", "We"},
        {"File execute", "Ex"},         {"File delete child", "Dc"},
        {"File read atributes", "Ra"},  {"File write attributes", "Wa"},
        {"Delete access", "De"},        {"Read control", "Rc"},
        {"Write access DACL", "Wc"},    {"Write owner", "Wo"},
        {"Synchronize access", "Sy"},   {"Access system security", "As"},
        {"Maximum allowed", "Mx"},      {"Generic read", "Gr"},
        {"Generic write", "Gw"},        {"Generic execute", "Ge"},
        {"Generic all", "Ga"},
    };
    return CodesFor(names, kCodes);
}

// One line of the security text; false when it is not one.
bool SecurityLine(const std::string& line, VerboseSecurity* s) {
    auto after = [&line](const char* label, std::string* value) {
        const std::string l = label;
        if (line.rfind(l, 0) != 0) return false;
        *value = line.substr(l.size());
        return true;
    };
    std::string v;
    if (after("User : ", &v)) {
        s->owner = SidOf(v);
    } else if (after("Group : ", &v)) {
        s->group = SidOf(v);
    } else if (after("Number of DACE : ", &v)) {
        s->dace = v;
    } else if (line == "No DACL") {
        s->dace = "N";
    } else if (after("Number of SACE : ", &v)) {
        s->sace = v;
    } else if (line == "No SACL") {
        s->sace = "N";
    } else if (after("  User : ", &v)) {
        // An ACE of a type without rights text keeps an empty rights field.
        s->pendingSid = SidOf(v);
        s->aces.push_back(s->pendingSid + "||");
    } else if (s->aces.empty()) {
        return false;
    } else if (after("  Allowed ", &v)) {
        s->aces.back() = s->pendingSid + "|+" + RightsCodes(v) + "|";
    } else if (after("  Denied ", &v)) {
        s->aces.back() = s->pendingSid + "|-" + RightsCodes(v) + "|";
    } else if (after("Audit ", &v)) {
        std::string sign;
        if (v.rfind("success ", 0) == 0) {
            sign += "+";
            v = v.substr(8);
        }
        if (v.rfind("failure ", 0) == 0) {
            sign += "-";
            v = v.substr(8);
        }
        s->aces.back() = s->pendingSid + "|" + sign + RightsCodes(v) + "|";
    } else {
        return line.rfind(" Dace #", 0) == 0 || line.rfind(" Sace #", 0) == 0 ||
               line.rfind("  Flags : ", 0) == 0;
    }
    return true;
}

// The verbose blocks, turned into the fields of the line.
std::map<std::string, ReportLine> ParseVerbose(const std::string& body) {
    std::map<std::string, ReportLine> blocks;
    ReportLine r;
    bool bOpen = false;
    static const char* const kTimeLabels[4] = {"Creation time : ", "Last write time : ",
                                               "Attribute modification time : ",
                                               "Last access time : "};
    auto after = [](const std::string& line, const std::string& label, std::string* value) {
        if (line.rfind(label, 0) != 0) return false;
        *value = line.substr(label.size());
        return true;
    };
    std::string pendingName;
    VerboseSecurity sec;
    bool secOpen = false;
    for (const std::string& line : Lines(body)) {
        std::string v;
        if (after(line, "MFT record number : ", &v)) {
            if (bOpen) blocks[r.record] = r;
            r = ReportLine{};
            r.record = v;
            bOpen = true;
            secOpen = false;
        } else if (after(line, "Full path name : ", &v)) {
            r.path = v;
        } else if (after(line, "MD5 hash value : ", &v)) {
            r.md5 = v;
        } else if (after(line, "Number of hard links : ", &v)) {
            r.links = v;
        } else if (line == "Erased file") {
            r.links = "0";
        } else if (after(line, "Data stream size : ", &v)) {
            r.size = v;
        } else if (after(line, "File attributes : ", &v)) {
            r.attributes = CodesOf(v);
        } else if (after(line, "Number of data stream : ", &v)) {
            r.streams = v;
        } else if (line.rfind("Security descriptor flags : ", 0) == 0) {
            sec = VerboseSecurity{};
            secOpen = true;
        } else if (secOpen && SecurityLine(line, &sec)) {
            r.security = sec.Line();
        } else if (line.rfind("Alternate data stream #", 0) == 0) {
            pendingName = line.substr(line.find(" Name: ") + 7);
        } else if (after(line, " Size : ", &v)) {
            r.alternates += pendingName + "|" + v + "|";
        } else {
            for (int k = 0; k < 4; k++)
                if (after(line, kTimeLabels[k], &v)) r.times[k] = v;
        }
    }
    if (bOpen) blocks[r.record] = r;
    return blocks;
}

// Diagnostics with their source line numbers written as N, as the expected
// files hold them: the numbers move with every edit of the code.
std::string MaskLines(const std::string& err) {
    return std::regex_replace(err, std::regex(" l\\.( ?)[0-9]+: "), " l.$1N: ");
}

std::string Expected(const std::string& file) {
    return ReadFile(SourcePath("tests/images/expected/" + file));
}

class VolumeReport : public ::testing::TestWithParam<VolumeCase> {
   protected:
    void SetUp() override {
        image_ = ImagePath(GetParam());
        if (image_.empty()) GTEST_SKIP() << "../shared/images is not beside the checkout";
    }
    std::string image_;
};

// Whole reports, byte for byte, with their diagnostics.
TEST_P(VolumeReport, EqualsTheExpectedReportInEveryMode) {
    const VolumeCase& v = GetParam();
    struct Mode {
        const char* name;
        std::vector<std::string> options;
        const char* locale;
    };
    const Mode modes[] = {
        {"line", {"-m"}, "C.UTF-8"},
        {"verbose", {"-v", "-m", "-8"}, "C"},
        {"utf8", {"-8"}, "C"},
    };
    int compared = 0;
    for (const Mode& m : modes) {
        const std::string path = SourcePath(std::string("tests/images/expected/") + v.name + "." +
                                            m.name + ".txt");
        if (!FileExists(path)) continue;
        SCOPED_TRACE(m.name);
        RunResult r = RunReport(v, image_, m.options, m.locale);
        EXPECT_EQ(r.exitStatus, v.exitStatus);
        EXPECT_EQ(Body(r.out, std::string(m.name) == "verbose"), ReadFile(path));
        EXPECT_EQ(MaskLines(r.err), Expected(std::string(v.name) + "." + m.name + ".err"));
        compared++;
    }
    EXPECT_GE(compared, 1);
}

// The verbose text carries the same facts as the line, record for record.
TEST_P(VolumeReport, VerboseBlocksHoldTheFieldsOfTheLine) {
    const VolumeCase& v = GetParam();
    auto lines = ParseReport(Body(RunReport(v, image_, {"-m", "-8"}, "C").out, false));
    auto blocks = ParseVerbose(Body(RunReport(v, image_, {"-v", "-m", "-8"}, "C").out, true));
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(blocks.size(), lines.size());
    for (const auto& [record, line] : lines) {
        SCOPED_TRACE("record " + record);
        ASSERT_EQ(blocks.count(record), 1u);
        const ReportLine& b = blocks[record];
        EXPECT_EQ(b.path, line.path);
        EXPECT_EQ(b.md5, line.md5);
        EXPECT_EQ(b.links, line.links);
        EXPECT_EQ(b.size, line.size);
        EXPECT_EQ(b.attributes, line.attributes);
        for (int k = 0; k < 4; k++) EXPECT_EQ(b.times[k], line.times[k]);
        EXPECT_EQ(b.streams, line.streams);
        EXPECT_EQ(b.alternates, line.alternates);
        // The verbose text has no security fields where the line has four empty ones.
        EXPECT_EQ(b.security.empty() ? "||||" : b.security, line.security);
    }
}

// The Sleuth Kit names a stream by type and attribute id; the erased
// /Trash/gone-ads.txt of attrlist.img has its stream g60 in an extension
// record under id 8, the id of g05 in the base record, so icat 100-128-8
// delivers g05's bytes twice and its digest covers "gone 05 of 60" in place
// of "gone 60 of 60".  The records' own bytes give the report's digest.
bool PeerMisreadsStreams(const std::string& volume, const std::string& record) {
    return volume == "attrlist" && record == "100";
}

// What The Sleuth Kit says of every in-use file (peer/<volume>.facts.txt)
// and what an independent decoding of its descriptor gives
// (peer/<volume>.security.txt), against the line of the report.
TEST_P(VolumeReport, EveryInUseFileMatchesThePeer) {
    const VolumeCase& v = GetParam();
    const std::string facts = ReadFile(SourcePath(std::string("tests/images/peer/") + v.name +
                                                  ".facts.txt"));
    const std::string security = ReadFile(SourcePath(std::string("tests/images/peer/") + v.name +
                                                     ".security.txt"));
    ASSERT_FALSE(facts.empty());
    ASSERT_FALSE(security.empty());
    std::map<std::string, std::string> expectedSecurity;
    for (const std::string& line : Lines(security)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = Split(line, '\t');
        ASSERT_EQ(f.size(), 3u) << line;
        expectedSecurity[f[0]] = f[2];
    }
    auto report = ParseReport(Body(RunReport(v, image_, {"-m"}, "C.UTF-8").out, false));
    // Erased files (peer/<volume>.erased.txt, where the peer could read
    // them) carry the same facts but a link count of 0; their names may have
    // lost their directories to reused records, and they have no expected
    // security fields.
    const std::string erased = ReadFile(SourcePath(std::string("tests/images/peer/") + v.name +
                                                   ".erased.txt"));
    size_t compared = 0, comparedErased = 0;
    std::vector<std::pair<std::string, bool>> lines;
    for (const std::string& line : Lines(facts)) lines.push_back({line, false});
    for (const std::string& line : Lines(erased)) lines.push_back({line, true});
    for (const auto& [line, bErased] : lines) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = Split(line, '\t');
        ASSERT_EQ(f.size(), 10u) << line;
        SCOPED_TRACE("record " + f[0]);
        ASSERT_EQ(report.count(f[0]), 1u);
        const ReportLine& r = report[f[0]];
        EXPECT_EQ(r.links, bErased ? "0" : f[1]);
        EXPECT_EQ(r.size, f[2] == "-" ? "" : f[2]);
        for (int k = 0; k < 4; k++) EXPECT_EQ(r.times[k], f[3 + k]);
        if (!PeerMisreadsStreams(v.name, f[0])) {
            EXPECT_EQ(r.md5, f[7]);
        }
        // Streams: "name:size[!flag]" joined by "/"; the named ones close the line.
        std::string alternates;
        size_t streams = 0;
        if (f[8] != "-") {
            for (const std::string& st : Split(f[8], '/')) {
                streams++;
                const std::string name = st.substr(0, st.rfind(':'));
                std::string size = st.substr(st.rfind(':') + 1);
                size = size.substr(0, size.find('!'));
                if (!name.empty()) alternates += name + "|" + size + "|";
            }
        }
        EXPECT_EQ(r.streams, std::to_string(streams));
        EXPECT_EQ(r.alternates, alternates);
        // The path is one of the names the peer lists, written from the
        // drive's root with "\"; a directory's ends with "\".
        if (bErased) {
            comparedErased++;
            continue;
        }
        if (f[9] != "-") {
            std::vector<std::string> names;
            for (std::string::size_type at = 0;;) {
                auto next = f[9].find(" // ", at);
                names.push_back(f[9].substr(at, next == std::string::npos ? next : next - at));
                if (next == std::string::npos) break;
                at = next + 4;
            }
            std::string path = r.path;
            if (path.size() > 3 && path.back() == '\\') path.pop_back();
            bool bFound = false;
            for (std::string name : names) {
                for (char& c : name)
                    if (c == '/') c = '\\';
                // Names are written one UTF-16 unit at a time, and the locale
                // has no text for half a surrogate pair: a character beyond
                // U+FFFF is left out of the path, with an error line.
                name = std::regex_replace(name, std::regex("\xF0[\x80-\xBF]{3}"), "");
                if (path == "C:\\" + name || (name == "." && path == "C:\\.")) bFound = true;
            }
            EXPECT_TRUE(bFound) << r.path << " not among " << f[9];
        }
        ASSERT_EQ(expectedSecurity.count(f[0]), 1u);
        EXPECT_EQ(r.security, expectedSecurity[f[0]]);
        compared++;
    }
    EXPECT_GT(compared, 0u);
    RecordProperty("records_compared", static_cast<int>(compared));
    std::printf("%s: %zu in-use and %zu erased records compared with the peer\n", v.name, compared,
                comparedErased);
}

// -u: every SID of the report once, in bucket order, named where the
// account table knows it.
TEST_P(VolumeReport, UserFileHoldsEverySidMetInBucketOrder) {
    const VolumeCase& v = GetParam();
    const std::string dir = MakeTestDir("users");
    RunResult r = RunReport(v, image_, {"-u", dir + "/users.txt"}, "C.UTF-8");
    EXPECT_EQ(r.exitStatus, v.exitStatus);
    std::vector<std::string> lines = Lines(ReadFile(dir + "/users.txt"));
    // The run header's last line is ended by the "\n" before the titles.
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Content|Host Name|OS|UTC Time|Local Time|Output Locale|");
    EXPECT_EQ(lines[1].rfind("users|", 0), 0u);
    EXPECT_EQ(lines[2], "SID|Type|Name");
    std::set<std::string> listed;
    uint32_t lastBucket = 0;
    for (size_t k = 3; k < lines.size(); k++) {
        const std::string sid = lines[k].substr(0, lines[k].find('|'));
        EXPECT_TRUE(listed.insert(sid).second) << sid << " listed twice";
        const uint32_t bucket = SidTextHash(sid.c_str()) % kSidBuckets;
        EXPECT_GE(bucket, lastBucket) << sid;
        lastBucket = bucket;
        if (sid == "S-1-5-18") {
            EXPECT_EQ(lines[k], "S-1-5-18|Well known group|NT AUTHORITY\\SYSTEM");
        }
        if (sid.rfind("S-1-5-21-", 0) == 0) {
            EXPECT_EQ(lines[k], sid + "|") << "no account table entry";
        }
    }
    // Every SID of the in-use files' descriptors; erased files may add more.
    const std::string security = ReadFile(SourcePath(std::string("tests/images/peer/") + v.name +
                                                     ".security.txt"));
    for (const std::string& line : Lines(security)) {
        if (line.empty() || line[0] == '#') continue;
        for (const std::string& field : Split(Split(line, '\t')[2], '|')) {
            if (field.rfind("S-", 0) == 0) {
                EXPECT_EQ(listed.count(field), 1u) << field;
            }
        }
    }
}

// ---------------------------------------------------------- copies of $MFT
//
// What a triage collector takes off a machine: $MFT, $Secure:$SDS and $Boot
// copied into one folder (here by The Sleuth Kit's icat).  volscan on the
// copy reports what it does on the volume, in every mode and format; only
// what lies outside the copy differs: the digests of non-resident streams
// (left empty and counted) and the security fields of files whose own
// descriptor is non-resident (mkntfs's system files, which have no security id).

using ::testing::HasSubstr;
using ::testing::Not;

// The copies in DIR/C, as `icat` extracts them; "" with *pWhy when it cannot.
std::string ExtractCopies(const VolumeCase& v, const std::string& image, std::string* pWhy) {
    if (system("command -v icat > /dev/null && command -v istat > /dev/null") != 0) {
        *pWhy = "no icat/istat (sleuthkit)";
        return "";
    }
    const std::string dir = MakeTestDir(std::string("mft-copy-") + v.name) + "/C";
    const std::string o = v.shared ? " -o 128 '" : " '";
    const std::string list = "mkdir -p '" + dir + "' && istat" + o + image + "' 9 > '" + dir + "/../istat.txt' 2>&1";
    (void)system(list.c_str());
    const std::string istat = ReadFile(dir + "/../istat.txt");
    std::smatch m;
    if (!std::regex_search(istat, m, std::regex("\\$DATA \\(128-([0-9]+)\\)\\s+Name: \\$SDS"))) {
        *pWhy = "istat cannot read " + std::string(v.name) + " (The Sleuth Kit reads no 2 MiB clusters)";
        return "";
    }
    const std::string cmd = "icat" + o + image + "' 0 > '" + dir +
                            "/$MFT' && icat" + o + image + "' 7 > '" + dir + "/$Boot' && icat" +
                            o + image + "' 9-128-" + m[1].str() + " > '" + dir + "/$Secure_$SDS'";
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
    return dir;
}

// The units of a report: its lines, or the blocks of the verbose text.
std::vector<std::string> Units(const std::string& body, bool verbose) {
    if (!verbose) return Lines(body);
    std::vector<std::string> blocks;
    for (std::string::size_type at = 0; at < body.size();) {
        auto end = body.find("\n\n", at);
        if (end == std::string::npos) end = body.size();
        blocks.push_back(body.substr(at, end - at));
        at = end + 2;
    }
    return blocks;
}

// The record a unit reports, whatever the format.
std::string RecordOf(const std::string& unit) {
    static const std::regex kRecord(
        "^(?:([0-9]+)[|,]|\\{\"record\":([0-9]+),|[0-9a-f]*\\|[^|]*\\|([0-9]+)\\||MFT record "
        "number : ([0-9]+))");
    std::smatch m;
    if (!std::regex_search(unit, m, kRecord)) return "";
    for (int k = 1; k <= 4; k++)
        if (m[k].matched) return m[k].str();
    return "";
}

TEST_P(VolumeReport, CopyOfMftReportsAsTheVolume) {
    const VolumeCase& v = GetParam();
    std::string why;
    const std::string dir = ExtractCopies(v, image_, &why);
    if (dir.empty()) GTEST_SKIP() << why;
    const std::string copy = dir + "/$MFT";
    struct Mode {
        std::vector<std::string> options;
        bool verbose;
        int header;  // lines of run header, titles or column names before the records
    };
    const Mode modes[] = {
        {{"-m"}, false, 3},          {{"-v", "-m", "-8"}, true, 0},
        {{"-e", "-n", "-8"}, false, 3}, {{"--format=csv", "-m"}, false, 1},
        {{"--format=jsonl", "-m"}, false, 0}, {{"--format=bodyfile", "-m"}, false, 0},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.options[0]);
        const RunResult vol = RunReport(v, image_, mode.options, "C.UTF-8");
        std::vector<std::string> args = {"-f", copy};
        args.insert(args.end(), mode.options.begin(), mode.options.end());
        args.push_back("C");
        const RunResult cp = RunVolscanBinary(args, "", {"LC_ALL=C.UTF-8"});
        EXPECT_EQ(cp.exitStatus, vol.exitStatus);
        EXPECT_THAT(cp.err, HasSubstr(copy + ": a copy of $MFT, read with $Secure:$SDS from " +
                                      dir + "/$Secure_$SDS and $Boot from " + dir + "/$Boot"));
        // Records whose own descriptor lies outside the copy.
        std::set<std::string> outside;
        static const std::regex kOutside("truncated stream - Size : 0 - Base record/KeyNode offset : ([0-9]+)");
        for (std::sregex_iterator it(cp.err.begin(), cp.err.end(), kOutside), end; it != end; ++it)
            outside.insert((*it)[1].str());
        if (v.shared) { EXPECT_TRUE(outside.empty()); }
        const bool bFormat = mode.options[0].rfind("--format", 0) == 0;
        std::vector<std::string> a = Units(bFormat ? vol.out : Body(vol.out, mode.verbose), mode.verbose);
        std::vector<std::string> b = Units(bFormat ? cp.out : Body(cp.out, mode.verbose), mode.verbose);
        ASSERT_EQ(a.size(), b.size());
        uint64_t left = 0;
        for (size_t k = 0; k < a.size(); k++) {
            if (a[k] == b[k]) continue;
            if (std::regex_replace(a[k], std::regex("[0-9a-f]{32}"), "",
                                   std::regex_constants::format_first_only) == b[k]) {
                left++;
                continue;
            }
            EXPECT_EQ(outside.count(RecordOf(a[k])), 1u) << a[k] << "\n" << b[k];
        }
        // Each digest left out is a file counted in the one diagnostic.
        const std::string count = std::to_string(left) + " files with data outside the copy";
        if (left > 0) { EXPECT_THAT(cp.err, HasSubstr(count)); }
        if (mode.options[0] == "-m") { EXPECT_GT(left, 0u); }
    }
    // Without $SDS: only the security fields differ, said once.
    ASSERT_EQ(remove((dir + "/$Secure_$SDS").c_str()), 0);
    const RunResult cp = RunVolscanBinary({"-f", copy, "-8", "C"}, "", {"LC_ALL=C"});
    EXPECT_THAT(cp.err, HasSubstr("no copy of $Secure:$SDS beside " + copy));
    EXPECT_THAT(cp.err, Not(HasSubstr("security id")));
    auto a = ParseReport(Body(RunReport(v, image_, {"-8"}, "C").out, false));
    auto b = ParseReport(Body(cp.out, false));
    ASSERT_EQ(a.size(), b.size());
    size_t differ = 0;
    for (const auto& [record, x] : a) {
        const ReportLine& y = b[record];
        EXPECT_EQ(std::tie(x.path, x.md5, x.links, x.size, x.attributes, x.streams, x.alternates),
                  std::tie(y.path, y.md5, y.links, y.size, y.attributes, y.streams, y.alternates));
        for (int k = 0; k < 4; k++) EXPECT_EQ(x.times[k], y.times[k]);
        differ += x.security != y.security;
    }
    EXPECT_GT(differ, 0u);
}

INSTANTIATE_TEST_SUITE_P(Volumes, VolumeReport, ::testing::ValuesIn(kVolumes),
                         [](const auto& param) {
                             std::string n = param.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// Compressed and sparse files made through ntfs-3g on three cluster sizes,
// and WOF files of every algorithm (tests/images/make-compressed.sh): the
// digest of every file's data streams equals that of icat's bytes, or of
// libfsntfs's for WOF files (peer/<volume>.md5.txt), hashed on the main
// thread and on two hashing threads alike; a file whose data is not on the
// volume ("-") has no digest and one diagnostic saying why.
TEST(CompressedVolumes, DigestsEqualIcatAndLibfsntfs) {
    for (const char* name : {"compress512", "compress2k", "compress4k", "wof"}) {
        SCOPED_TRACE(name);
        const VolumeCase v{name, false, 0};
        const std::string peer =
            ReadFile(SourcePath(std::string("tests/images/peer/") + name + ".md5.txt"));
        ASSERT_FALSE(peer.empty());
        for (const char* threads : {"--threads=1", "--threads=2"}) {
            const RunResult run = RunReport(v, ImagePath(v), {"-m", threads}, "C.UTF-8");
            EXPECT_EQ(run.err.find("compressed attributes not implemented"), std::string::npos);
            std::map<std::string, std::string> digests;
            for (const std::string& line : Lines(run.out)) {
                std::vector<std::string> f = Split(line, '|');
                if (f.size() > 2) digests[f[0]] = f[2];
            }
            size_t compared = 0;
            for (const std::string& line : Lines(peer)) {
                std::vector<std::string> f = Split(line, '\t');
                if (f.size() < 2) continue;
                EXPECT_EQ(digests[f[0]], f[1] == "-" ? "" : f[1]) << threads << " record " << f[0];
                size_t said = 0;
                const std::string tail = "- Base record #" + f[0];
                for (const std::string& e : Lines(run.err))
                    if (e.find("no digest, ") != std::string::npos && e.size() > tail.size() &&
                        e.compare(e.size() - tail.size(), tail.size(), tail) == 0)
                        said++;
                EXPECT_EQ(f[1] == "-" ? 1u : 0u, said) << "record " << f[0];
                compared++;
            }
            EXPECT_EQ(compared, 14u + 10u * (std::string(name) == "wof"));
        }
        if (std::string(name) == "wof") {
            EXPECT_NE(RunReport(v, ImagePath(v), {"-m", "--format=jsonl", "-i", "86"}, "C.UTF-8")
                          .out.find("\"md5\":\"\",\"md5_unavailable\":\"WIM-backed file"),
                      std::string::npos);
            // Damaged WofCompressedData (istat: record 74's in cluster 768,
            // an LZX chunk; record 79's table in cluster 270): a hashing
            // thread gives the file back to the main thread, which says what
            // it met where --threads=1 does.
            std::string bytes = ReadFile(ImagePath(v));
            ASSERT_GT(bytes.size(), 769u * 4096);
            bytes.replace(768 * 4096 + 100, 8, "garbage!");
            bytes.replace(270 * 4096 + 4, 4, "\xff\xff\xff\x7f");
            const std::string damaged = MakeTestDir("wof-damaged") + "/wof.img";
            FILE* f = fopen(damaged.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
            fclose(f);
            const RunResult one = RunReport(v, damaged, {"-m", "--threads=1"}, "C.UTF-8");
            const RunResult two = RunReport(v, damaged, {"-m", "--threads=2"}, "C.UTF-8");
            EXPECT_EQ(Body(one.out, false), Body(two.out, false));
            EXPECT_EQ(one.err, two.err);
            EXPECT_THAT(two.err, HasSubstr("WOF chunk 0 does not decompress (LZX) to 32768 bytes - "
                                           "Base record #74"));
            EXPECT_THAT(two.err, HasSubstr("WOF chunk table damaged at chunk 1 (0x52b to 0x7fffffff "
                                           "of 0x2d75 bytes) - Base record #79"));
        }
    }
}

}  // namespace

// ------------------------------------------------------------- containers
//
// sample.img put into the containers and partition tables examiners meet,
// by the real tools (tests/images/make-containers.sh): the report of each is
// the raw volume's, byte for byte after the run header, and so are the
// diagnostics but for the source's name.

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The made images' directory, "" when a tool is missing (*pWhy says which).
std::string ContainerDir(std::string* pWhy) {
    static std::string dir, why;
    static bool bMade = false;
    if (!bMade) {
        bMade = true;
        dir = MakeTestDir("containers");
        const std::string cmd = "sh '" + SourcePath("tests/images/make-containers.sh") + "' '" +
                                SourcePath("tests/images/sample.img") + "' '" + dir + "' > '" +
                                dir + "/make.log' 2>&1";
        const int rc = system(cmd.c_str());
        if (rc != 0) {
            why = ReadFile(dir + "/make.log");
            if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 77) why = "make-containers.sh failed: " + why;
            dir.clear();
        }
    }
    *pWhy = why;
    return dir;
}

struct SourceRun {
    int exitStatus;
    std::string body, err;
};

// A run on `path` with `options`, in line (-m) or verbose (-v -m -8) mode;
// the source's name in the diagnostics is written SOURCE, the line that
// names the partition chosen is left out.
SourceRun RunSource(const std::string& path, const std::vector<std::string>& options,
                    bool verbose) {
    std::vector<std::string> args = {"-f", path};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* o : verbose ? std::vector<const char*>{"-v", "-m", "-8"}
                                 : std::vector<const char*>{"-m"})
        args.push_back(o);
    args.push_back("C");
    RunResult r = RunVolscanBinary(args, "", {verbose ? "LC_ALL=C" : "LC_ALL=C.UTF-8"});
    std::string err = MaskLines(r.err);
    err = std::regex_replace(err, std::regex("\nWARNING - volscan PrepareSource\\(\\) l.N: [^\n]*: "
                                             "reading NTFS partition [^\n]*\n\n"),
                             "");
    for (auto at = err.find(path); at != std::string::npos; at = err.find(path))
        err.replace(at, path.size(), "SOURCE");
    return SourceRun{r.exitStatus, Body(r.out, verbose), err};
}

class ContainerTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why;
        dir_ = ContainerDir(&why);
        if (dir_.empty()) {
            ASSERT_THAT(why, Not(HasSubstr("make-containers.sh failed"))) << why;
            GTEST_SKIP() << why;
        }
    }
    std::string dir_;
};

struct ContainerCase {
    const char* file;
    std::vector<std::string> options;
};

// Every container and table holding the volume reports it as the raw file does.
TEST_F(ContainerTest, EachReportsTheVolumeAsTheRawImage) {
    const ContainerCase cases[] = {
        {"ewf-unc.E01", {}},        {"ewf-disk.E01", {}},  {"split-aa.aa", {}},
        {"split-001.001", {}},      {"vol.vmdk", {}},      {"vol.vpc", {}},
        {"vol.vhdx", {}},           {"vol.qcow2", {}},     {"mbr63.img", {}},
        {"fixed.vpc", {}},          {"stream.vmdk", {}},   {"flat.vmdk", {}},
        {"mbr2048.img", {}},        {"logical.img", {}},   {"gpt.img", {}},
        {"gpt2.vhdx", {"--partition=2"}}, {"two.img", {"--partition=2"}},
        {"gpt-badcrc.img", {}},     {"at128.img", {"--offset=65536"}},
        {"at128.img", {"--offset=128s"}}, {"at128.img", {"--offset=0x10000"}},
        {"loop.img", {"--partition=6"}},
    };
    for (bool verbose : {false, true}) {
        const SourceRun raw = RunSource(SourcePath("tests/images/sample.img"), {}, verbose);
        ASSERT_EQ(raw.exitStatus, 0);
        for (const ContainerCase& c : cases) {
            SCOPED_TRACE(std::string(c.file) + (verbose ? " verbose" : " line"));
            SourceRun r = RunSource(dir_ + "/" + c.file, c.options, verbose);
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(r.body, raw.body);
            // A damaged table is said to be, once, before the volume's diagnostics.
            std::string first;
            if (std::string(c.file) == "gpt-badcrc.img")
                first = "\nWARNING - partition ReadGpt() l.N: GPT primary header damaged (header "
                        "CRC mismatch): the backup header at sector 81919 is used - Disk : "
                        "SOURCE\n\n";
            if (std::string(c.file) == "loop.img")
                first = "\nERROR - partition ReadLogical() l.N: the extended partition chain loops "
                        "back to sector 8192: the logical partitions after it are not read - "
                        "Disk : SOURCE\n\n";
            EXPECT_EQ(r.err, first + raw.err);
        }
    }
}

// Damaged containers and tables, and volumes named wrongly: a message
// that says what is wrong, and the status.
TEST_F(ContainerTest, DamageAndWrongChoicesAreNamed) {
    struct Case {
        const char* file;
        std::vector<std::string> options;
        int status;
        const char* message;
    } cases[] = {
        {"ewf-trunc.E01", {}, 2, "EWF image SOURCE cannot be read: its segment files are trunc"},
        {"split-gap.aa", {}, 2, "split raw image SOURCE cannot be read: segment "},
        {"overlap.img", {}, 2, "partitions 1 and 2 overlap - Disk : SOURCE"},
        {"past.img", {}, 2, "partition 2 (sectors 80000 to 96383) is not inside the disk"},
        {"loop.img", {}, 2, "the extended partition chain loops back to sector 8192"},
        {"two.img", {}, 2, "and several NTFS partitions: choose one with --partition=N"},
        {"two.img", {"--partition=3"}, 2, "partition 3 is not in the table"},
        {"logical.img", {"--partition=2"}, 2, "partition 2 is an extended partition"},
        {"at128.img", {"--offset=128x"}, 1, "--offset=128x is not a number of bytes"},
        {"at128.img", {"--offset="}, 1, "--offset= is not a number of bytes"},
        {"at128.img", {"--offset=8454144"}, 1, "--offset=8454144 is past the end of SOURCE"},
        {"at128.img", {"--offset=16512s"}, 1, "is past the end of SOURCE (8454144 bytes)"},
        {"at128.img", {"--partition=0"}, 1, "--partition=0 is not a partition number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + (c.options.empty() ? "" : " " + c.options[0]));
        SourceRun r = RunSource(dir_ + "/" + c.file, c.options, false);
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_THAT(r.err, HasSubstr(c.message));
        if (c.status == 2 && std::string(c.file) != "ewf-trunc.E01" &&
            std::string(c.file) != "split-gap.aa") {
            EXPECT_THAT(r.err, HasSubstr("Sectors  NTFS  Type\n")) << "the partitions are listed";
        }
    }
}

// --list-partitions lists what The Sleuth Kit's mmls lists: the same first
// sectors and lengths (mmls's table and unallocated lines and extended
// containers left out).
TEST_F(ContainerTest, ListedPartitionsAreThoseOfMmls) {
    if (system("command -v mmls > /dev/null") != 0) GTEST_SKIP() << "no mmls (sleuthkit)";
    for (const char* file : {"mbr63.img", "mbr2048.img", "logical.img", "gpt.img",
                             "gpt-rand.img", "gpt-badcrc.img"}) {
        SCOPED_TRACE(file);
        const std::string path = dir_ + "/" + file;
        RunResult ours = RunVolscanBinary({"-f", path, "--list-partitions"});
        EXPECT_EQ(ours.exitStatus, 0);
        std::set<std::string> listed, peer;
        std::smatch m;
        for (const std::string& line : Lines(ours.out))
            if (std::regex_match(line, m, std::regex(" *[0-9]+ +([0-9]+) +([0-9]+)  (yes|no) .*")))
                listed.insert(m[1].str() + " " + m[2].str());
        const std::string dir = MakeTestDir("mmls");
        // "002:  000:000   0000000063   0000016446   0000016384   NTFS / exFAT (0x07)"
        static const std::regex kMmlsLine("[0-9]+: +[0-9:]+ +0*([0-9]+) +[0-9]+ +0*([0-9]+) .*");
        ASSERT_EQ(system(("mmls '" + path + "' > '" + dir + "/mmls.txt'").c_str()), 0);
        for (const std::string& line : Lines(ReadFile(dir + "/mmls.txt")))
            if (std::regex_match(line, m, kMmlsLine) && line.find("Extended") == std::string::npos)
                peer.insert(m[1].str() + " " + m[2].str());
        EXPECT_FALSE(listed.empty());
        EXPECT_EQ(listed, peer);
    }
}

// vsstest.qcow2 (an NTFS volume with two shadow copies) converted to raw
// once; "" when it or qemu-img is missing (*pWhy says which).
std::string VssRaw(std::string* pWhy) {
    static std::string raw, why;
    static bool bMade = false;
    if (!bMade) {
        bMade = true;
        const std::string qcow = SourcePath("../shared/images/vsstest.qcow2");
        if (!FileExists(qcow))
            why = "no ../shared/images/vsstest.qcow2 beside the checkout";
        else if (system("command -v qemu-img > /dev/null") != 0)
            why = "no qemu-img (qemu-utils)";
        else if (raw = MakeTestDir("vsstest") + "/vsstest.raw";
                 system(("qemu-img convert -O raw '" + qcow + "' '" + raw + "'").c_str()) != 0)
            why = "qemu-img convert failed", raw.clear();
    }
    *pWhy = why;
    return raw;
}

class ShadowTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why;
        raw_ = VssRaw(&why);
        if (raw_.empty()) GTEST_SKIP() << why;
        qcow_ = SourcePath("../shared/images/vsstest.qcow2");
    }
    std::string raw_, qcow_;
};

// A QCOW2 file of another tool chain reports as its raw conversion.
TEST_F(ShadowTest, VssQcow2ReportsAsItsRawConversion) {
    for (bool verbose : {false, true}) {
        SourceRun a = RunSource(raw_, {}, verbose), b = RunSource(qcow_, {}, verbose);
        EXPECT_EQ(b.exitStatus, a.exitStatus);
        EXPECT_FALSE(b.body.empty());
        EXPECT_EQ(b.body, a.body);
        EXPECT_EQ(b.err, a.err);
    }
}

// --list-snapshots lists what libvshadow's vshadowinfo prints of the raw copy.
TEST_F(ShadowTest, ListedSnapshotsAreThoseOfVshadowinfo) {
    if (system("command -v vshadowinfo > /dev/null") != 0)
        GTEST_SKIP() << "no vshadowinfo (libvshadow-utils)";
    const std::string dir = MakeTestDir("vshadowinfo");
    ASSERT_EQ(system(("vshadowinfo '" + raw_ + "' > '" + dir + "/info.txt'").c_str()), 0);
    // "Creation time : Dec 03, 2013 06:35:09.736378700 UTC" as the report writes it.
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::string> peer;
    std::map<std::string, std::string> f;
    std::smatch m;
    auto flush = [&] {
        if (!f.empty())
            peer.push_back(f["time"] + "  " + f["Identifier"] + "  " + f["Shadow copy ID"] + "  " +
                           f["Shadow copy set ID"] + "  " + f["size"] + "  " + f["Attribute flags"]);
        f.clear();
    };
    for (const std::string& line : Lines(ReadFile(dir + "/info.txt"))) {
        if (line.rfind("Store: ", 0) == 0) flush();
        if (!std::regex_match(line, m, std::regex("\t([A-Za-z ]+?)\t+: (.*)"))) continue;
        f[m[1]] = m[2];
        std::smatch t;
        const std::string value = m[2];
        if (m[1] == "Creation time" &&
            std::regex_match(value, t, std::regex("(...) (..), (....) (..:..:..)\\.(.......).. UTC"))) {
            const int month = int(std::find(kMonths, kMonths + 12, t[1].str()) - kMonths) + 1;
            char sz[16];
            snprintf(sz, sizeof sz, "%02d", month);
            f["time"] = t[2].str() + "/" + sz + "/" + t[3].str() + " " + t[4].str() + "." + t[5].str();
        }
        if (m[1] == "Volume size" && std::regex_search(value, t, std::regex("\\(([0-9]+) bytes")))
            f["size"] = std::string(11 - std::min<size_t>(11, t[1].length()), ' ') + t[1].str();
    }
    flush();
    // And as partition 1 of an MBR disk: the stores are found at the volume's offset.
    std::vector<std::string> sources = {raw_, qcow_};
    const std::string disk = dir + "/disk.img";
    if (system(("truncate -s 1075838976 '" + disk + "' && echo 'start=2048, type=7' | sfdisk -q '" +
                disk + "' && dd if='" + raw_ + "' of='" + disk +
                "' bs=1M seek=1 conv=sparse,notrunc status=none").c_str()) == 0)
        sources.push_back(disk);
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        RunResult ours = RunVolscanBinary({"-f", source, "--list-snapshots"});
        EXPECT_EQ(ours.exitStatus, 0);
        std::vector<std::string> listed;
        for (const std::string& line : Lines(ours.out))
            if (std::regex_match(line, m, std::regex(" *[0-9]+  (.*)"))) listed.push_back(m[1]);
        EXPECT_EQ(peer.size(), 2u);
        EXPECT_EQ(listed, peer);
    }
    RunResult none = RunVolscanBinary({"-f", SourcePath("tests/images/sample.img"), "--list-snapshots"});
    EXPECT_EQ(none.exitStatus, 0);
    EXPECT_THAT(none.out, HasSubstr("sample.img: no shadow copies on this volume\n"));
}

// A FUSE mount of libvshadow's vshadowmount, unmounted at the end.
struct VshadowMount {
    std::string dir;
    bool mounted = false;
    explicit VshadowMount(const std::string& raw) : dir(MakeTestDir("vshadowmount")) {
        mounted = system(("vshadowmount '" + raw + "' '" + dir + "' > /dev/null 2>&1").c_str()) == 0 &&
                  FileExists(dir + "/vss1");
    }
    ~VshadowMount() {
        if (mounted) (void)system(("fusermount -u '" + dir + "' 2>/dev/null || fusermount3 -u '" + dir + "' 2>/dev/null || umount '" + dir + "'").c_str());
    }
};

// The allocated names The Sleuth Kit's fls lists, by record: "dir/file".
std::map<std::string, std::set<std::string>> FlsNames(const std::string& image) {
    const std::string out = MakeTestDir("fls") + "/fls.txt";
    std::map<std::string, std::set<std::string>> names;
    if (system(("fls -r -p '" + image + "' > '" + out + "'").c_str()) != 0) return names;
    std::smatch m;
    // "r/r 35-128-1:	syslog", "r/r 9-128-8:	$Secure:$SDS"; deleted names carry a "*".
    for (const std::string& line : Lines(ReadFile(out)))
        if (std::regex_match(line, m, std::regex("[^ ]+ ([0-9]+)-[0-9]+-[0-9]+:\t([^:]*)(:.*)?")))
            names[m[1]].insert(m[2]);
    return names;
}

// Each snapshot reports as the same bytes do exposed as a plain volume by
// vshadowmount, with the paths fls finds there; --snapshot=all is the
// volume's report and then each snapshot's after its own line.
TEST_F(ShadowTest, EachSnapshotReportsAsVshadowmountExposesIt) {
    if (system("command -v vshadowmount > /dev/null") != 0)
        GTEST_SKIP() << "no vshadowmount (libvshadow-utils)";
    VshadowMount mount(raw_);
    if (!mount.mounted) GTEST_SKIP() << "vshadowmount cannot mount here (no FUSE)";
    const bool bFls = system("command -v fls > /dev/null") == 0;
    std::string all = RunSource(qcow_, {}, false).body;
    for (int n : {1, 2}) {
        SCOPED_TRACE("snapshot " + std::to_string(n));
        const std::string exposed = mount.dir + "/vss" + std::to_string(n);
        for (bool verbose : {false, true}) {
            SourceRun ours = RunSource(qcow_, {"--snapshot=" + std::to_string(n)}, verbose);
            SourceRun peer = RunSource(exposed, {}, verbose);
            EXPECT_EQ(ours.exitStatus, peer.exitStatus);
            EXPECT_GT(ours.body.size(), 10000u);
            EXPECT_TRUE(ours.body == peer.body);
            EXPECT_TRUE(ours.err == peer.err);
            if (verbose) continue;
            all += "Snapshot " + std::to_string(n) + " of 2, created ";
            all += ours.body;
            if (!bFls) continue;
            const auto names = FlsNames(exposed);
            size_t matched = 0;
            for (const std::string& line : Lines(ours.body)) {
                const auto f = Split(line, '|');
                if (f.size() < 4 || f[1].rfind("C:\\", 0) != 0 || f[3] == "0" || f[0] == "5") continue;
                std::string path = f[1].substr(3);
                if (!path.empty() && path.back() == '\\') path.pop_back();
                std::replace(path.begin(), path.end(), '\\', '/');
                const auto it = names.find(f[0]);
                ASSERT_NE(it, names.end()) << line;
                EXPECT_EQ(it->second.count(path), 1u) << line;
                matched++;
            }
            EXPECT_GT(matched, 20u);
        }
    }
    RunResult r = RunVolscanBinary({"-f", qcow_, "--snapshot=all", "-m", "C"}, "", {"LC_ALL=C.UTF-8"});
    // The snapshot lines' times and identifiers are vshadowinfo's (above).
    const std::string body =
        std::regex_replace(Body(r.out, false), std::regex("(Snapshot . of 2, created )[^\n]*\n"), "$1");
    EXPECT_TRUE(body == all);
}

// Damaged stores: a diagnostic naming the snapshot, status 2, and the
// snapshots that do not depend on the damaged store still reported.
TEST_F(ShadowTest, DamagedStoresAreNamedAndTheOthersReported) {
    // vsstest's catalog (at 0x6e30000) lists store 1 in entries 1 and 2 (its
    // header at 0x31560000, its block list at 0x31564000), store 2 after them.
    struct Case {
        const char* name;
        uint64_t ullAt;
        std::string bytes;
        std::vector<std::string> options;
        const char* message;
        int reported;  // snapshots reported by --snapshot=all
    } cases[] = {
        {"store header", 0x31560000, std::string(16, '\xff'), {"--snapshot=all"},
         "snapshot 1 of 2 cannot be read: the shadow copy catalog cannot be read: "
         "libvshadow_store_block_read_header_data: invalid store block list header identifier.\n",
         1},
        {"store header, snapshot 1", 0x31560000, std::string(16, '\xff'), {"--snapshot=1"},
         "snapshot 1 of 2 cannot be read: the shadow copy catalog", 0},
        {"block list looping", 0x31564000 + 0x28, std::string("\0\x40\x56\x31\0\0\0\0", 8),
         {"--snapshot=all"}, "snapshot 1 of 2 cannot be read: its chains of blocks loop\n", 1},
        {"catalog looping", 0x6e30000 + 0x28, std::string("\0\0\xe3\x06\0\0\0\0", 8),
         {"--snapshot=all"},
         "the shadow copies cannot be read: the shadow copy catalog is damaged: its catalog's "
         "blocks loop\n", 0},
        {"catalog header", 0x6e30000, std::string(16, '\0'), {"--snapshot=all"},
         "the shadow copies cannot be read: the shadow copy catalog is damaged: a block of its "
         "catalog cannot be read or is none\n", 0},
        {"block list past the volume", 0x6e30000 + 2 * 128 + 8,
         std::string("\0\0\xff\xff\xff\x7f\0\0", 8), {"--snapshot=all"},
         "snapshot 1 of 2 cannot be read: a block of its chains lies outside the volume\n", 1},
        {"block descriptor past the volume", 0x31564000 + 128 + 16,
         std::string("\0\0\xff\xff\xff\x7f\0\0", 8), {"--snapshot=1"},
         "snapshot 1 of 2: 1 reads of its blocks failed, the first: "
         "libvshadow_store_descriptor_read_buffer: unable to read buffer from file IO handle.\n",
         1},
    };
    const std::string dir = MakeTestDir("vssdamage");
    // The volume itself is reported as before, but for the digests of the
    // shadow copy files patched.
    const std::regex kDigest("(\n[0-9]+\\|[^|\n]*\\|)[0-9a-f]{32}");
    const std::string volume = std::regex_replace(RunSource(raw_, {}, false).body, kDigest, "$1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = dir + "/copy.raw";
        ASSERT_EQ(system(("cp --sparse=always '" + raw_ + "' '" + copy + "'").c_str()), 0);
        FILE* f = fopen(copy.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseek(f, static_cast<long>(c.ullAt), SEEK_SET), 0);
        ASSERT_EQ(fwrite(c.bytes.data(), 1, c.bytes.size(), f), c.bytes.size());
        fclose(f);
        SourceRun r = RunSource(copy, c.options, false);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_THAT(r.err, HasSubstr("SOURCE: " + std::string(c.message)));
        const auto at = r.body.find("\nSnapshot ");
        const std::string live = at == std::string::npos ? r.body : r.body.substr(0, at + 1);
        const bool bAll = c.options[0] == "--snapshot=all";
        if (bAll) {
            EXPECT_TRUE(std::regex_replace(live, kDigest, "$1") == volume);
        }
        // Each snapshot whose volume opens has its column titles after its line.
        int reported = 0;
        for (auto p = r.body.find("\nMFT Index|"); p != std::string::npos;
             p = r.body.find("\nMFT Index|", p + 1))
            reported++;
        if (bAll) {
            EXPECT_EQ(reported, c.reported);
        }
    }
}

// ../shared/images/bitlocker.tar.xz unpacked once into the build tree: its
// folder, or "" with *pWhy saying why.
std::string BitLockerDir(std::string* pWhy) {
    static std::string dir, why;
    static bool bMade = false;
    if (!bMade) {
        bMade = true;
        const std::string tar = SourcePath("../shared/images/bitlocker.tar.xz");
        if (!FileExists(tar))
            why = "no ../shared/images/bitlocker.tar.xz beside the checkout";
        else if (dir = MakeTestDir("bitlocker");
                 system(("tar -xJf '" + tar + "' -C '" + dir + "'").c_str()) != 0)
            why = "bitlocker.tar.xz cannot be unpacked (tar, xz)", dir.clear();
        else
            dir += "/bitlocker";
    }
    *pWhy = why;
    return dir;
}

// images.conf: for each volume, its keys and identifiers ("PW", "RP", "GUID").
std::map<std::string, std::map<std::string, std::string>> BitLockerConf(const std::string& dir) {
    std::map<std::string, std::map<std::string, std::string>> conf;
    std::string section;
    std::smatch m;
    for (const std::string& line : Lines(ReadFile(dir + "/images.conf"))) {
        if (std::regex_match(line, m, std::regex("\\[(.*)\\]"))) section = m[1];
        else if (std::regex_match(line, m, std::regex("([A-Z_0-9]+) = ?(.*)"))) conf[section][m[1]] = m[2];
    }
    return conf;
}

// A FUSE mount of libbde's bdemount, unmounted at the end.
struct BdeMount {
    std::string dir;
    bool mounted = false;
    BdeMount(const std::string& image, const std::string& keyOption) : dir(MakeTestDir("bdemount")) {
        mounted = system(("bdemount " + keyOption + " '" + image + "' '" + dir + "' > /dev/null 2>&1").c_str()) == 0 &&
                  FileExists(dir + "/bde1");
    }
    ~BdeMount() {
        if (mounted) (void)system(("fusermount -u '" + dir + "' 2>/dev/null || fusermount3 -u '" + dir + "' 2>/dev/null || umount '" + dir + "'").c_str());
    }
};

// The report modes compared: line and verbose with -m, and each format.
const std::vector<std::vector<std::string>> kBitLockerModes = {
    {"-m"}, {"-v", "-m", "-8"}, {"--format=csv", "-m"}, {"--format=jsonl", "-m"},
    {"--format=bodyfile", "-m"}};

// A run with the source's path in the diagnostics written SOURCE and
// the report without its run header (the formats have none).
SourceRun RunBitLocker(const std::string& path, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"-f", path};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("C");
    RunResult r = RunVolscanBinary(args, "", {"LC_ALL=C.UTF-8"});
    std::string err = MaskLines(r.err);
    for (auto at = err.find(path); at != std::string::npos; at = err.find(path))
        err.replace(at, path.size(), "SOURCE");
    const bool bFormat = std::find_if(options.begin(), options.end(), [](const std::string& o) {
                             return o.rfind("--format=", 0) == 0;
                         }) != options.end();
    const bool bVerbose = std::find(options.begin(), options.end(), "-v") != options.end();
    return SourceRun{r.exitStatus, bFormat ? r.out : Body(r.out, bVerbose), err};
}

class BitLockerTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why;
        dir_ = BitLockerDir(&why);
        if (dir_.empty()) GTEST_SKIP() << why;
        conf_ = BitLockerConf(dir_);
    }
    std::string dir_;
    std::map<std::string, std::map<std::string, std::string>> conf_;
};

// Each volume unlocked with each of its protectors reports as the volume
// libbde's bdemount decrypts, in every mode and format; BitLocker To Go
// unlocks to FAT, which is named.
TEST_F(BitLockerTest, EachProtectorReportsAsBdemountDecrypts) {
    if (system("command -v bdemount > /dev/null") != 0) GTEST_SKIP() << "no bdemount (libbde-utils)";
    const std::string bek = dir_ + "/4381F759-C4F8-4DE0-BB61-FC33A831BDA5.BEK";
    ASSERT_EQ(conf_.size(), 5u);
    int compared = 0;
    for (const auto& [name, keys] : conf_) {
        SCOPED_TRACE(name);
        const std::string image = dir_ + "/" + name + ".img";
        std::vector<std::string> protectors = {"--recovery-password=" + keys.at("RP")};
        if (!keys.at("PW").empty()) protectors.push_back("--password=" + keys.at("PW"));
        if (keys.count("SK_VMK_GUID")) protectors.push_back("--startup-key=" + bek);
        // Without the dashes too.
        protectors.push_back("--recovery-password=" + std::regex_replace(keys.at("RP"), std::regex("-"), ""));
        if (name.find("togo") != std::string::npos) {
            for (const std::string& key : protectors) {
                SourceRun r = RunBitLocker(image, {key, "-m"});
                EXPECT_EQ(r.exitStatus, 2);
                EXPECT_THAT(r.err, HasSubstr("drive SOURCE is not NTFS: the BitLocker volume "
                                             "unlocked holds another file system (FAT: BitLocker To Go)"));
            }
            continue;
        }
        BdeMount mount(image, "-r " + keys.at("RP"));
        if (!mount.mounted) GTEST_SKIP() << "bdemount cannot mount here (no FUSE)";
        const std::string plain = mount.dir + "/bde1";
        for (const auto& mode : kBitLockerModes) {
            SCOPED_TRACE(mode[0]);
            SourceRun peer = RunBitLocker(plain, mode);
            EXPECT_THAT(peer.body, HasSubstr("$MFT"));
            for (const std::string& key : protectors) {
                SCOPED_TRACE(key);
                std::vector<std::string> options = mode;
                options.insert(options.begin(), key);
                SourceRun ours = RunBitLocker(image, options);
                EXPECT_EQ(ours.exitStatus, peer.exitStatus);
                EXPECT_TRUE(ours.body == peer.body);
                EXPECT_EQ(ours.err, peer.err);
                compared++;
            }
        }
    }
    EXPECT_EQ(compared, 5 * 4 * 3);  // modes × volumes of NTFS × protectors and forms
}

// No key, wrong keys and a secret read from the standard input: the
// message and status, and the secret in none of the files the run writes.
TEST_F(BitLockerTest, KeysThatDoNotUnlockAreNamedAndNoSecretIsWritten) {
    const auto& keys = conf_.at("bitlk-aes-xts-128");
    const std::string image = dir_ + "/bitlk-aes-xts-128.img";
    const std::string id = " (identifier " + keys.at("GUID") + ")";
    const std::string rp = keys.at("RP");
    std::string wrongDigits = rp;
    wrongDigits.replace(0, 6, "000011");
    struct Case {
        std::vector<std::string> options;
        std::string input;  // the standard input
        int status;
        std::string message;
        std::string secret;
    } cases[] = {
        {{}, "", 1,
         "SOURCE is a BitLocker-encrypted volume" + id + " protected by a password and a recovery "
         "password: unlock it with one of --password=TEXT --recovery-password=48-DIGITS",
         ""},
        {{"--password=Wrong-Secret-1"}, "", 1,
         "the password does not unlock the BitLocker volume SOURCE" + id, "Wrong-Secret-1"},
        {{"--recovery-password=" + wrongDigits}, "", 1,
         "the recovery password does not unlock the BitLocker volume SOURCE" + id, wrongDigits},
        {{"--recovery-password=" + rp.substr(1)}, "", 1,
         "SOURCE: the recovery password given is not one: 48 digits", rp.substr(8)},
        {{"--startup-key=" + dir_ + "/4381F759-C4F8-4DE0-BB61-FC33A831BDA5.BEK"}, "", 1,
         "the startup key does not unlock the BitLocker volume SOURCE" + id, ""},
        {{"--password=-"}, "Wrong-Secret-2\n", 1, "the password does not unlock", "Wrong-Secret-2"},
        {{"--password=-"}, keys.at("PW") + "\n", 2, "", keys.at("PW")},
        {{"--recovery-password=-"}, rp + "\n", 2, "", rp.substr(14, 20)},
        {{"--password=" + keys.at("PW")}, "", 2, "", keys.at("PW")},
    };
    SourceRun plain = RunBitLocker(image, {"--password=" + keys.at("PW"), "-m"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "no key" : c.options[0] + " " + c.input);
        const std::string dir = MakeTestDir("bitlocker-keys");
        std::string cmd = std::string("printf '%s' '") + c.input + "' | '" VOLSCAN_BINARY "' -f '" +
                          image + "' -m -D -o " + dir + "/out -x " + dir + "/err -d " + dir +
                          "/debug -u " + dir + "/users";
        for (const std::string& o : c.options) cmd += " '" + o + "'";
        cmd += " C > " + dir + "/stdout 2> " + dir + "/stderr";
        const int rc = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(rc));
        EXPECT_EQ(WEXITSTATUS(rc), c.status);
        std::string err = MaskLines(ReadFile(dir + "/err"));
        for (auto at = err.find(image); at != std::string::npos; at = err.find(image))
            err.replace(at, image.size(), "SOURCE");
        EXPECT_THAT(err, HasSubstr(c.message));
        if (c.status == 2) {
            EXPECT_TRUE(Body(ReadFile(dir + "/out"), false) == plain.body);
        }
        for (const char* file : {"out", "err", "debug", "users", "stdout", "stderr"}) {
            if (c.secret.empty()) break;
            EXPECT_EQ(ReadFile(dir + "/" + file).find(c.secret), std::string::npos) << file;
        }
    }
}

// The copy of bitlk-aes-xts-128 that make-bitlocker.sh fills, once: its
// folder, or "" with *pWhy saying why.
std::string FilledBitLocker(const std::string& dir, const std::string& password, std::string* pWhy) {
    static std::string out, why;
    static bool bMade = false;
    if (!bMade) {
        bMade = true;
        out = MakeTestDir("bitlocker-filled");
        const std::string cmd = "sh '" + SourcePath("tests/images/make-bitlocker.sh") + "' '" + dir +
                                "/bitlk-aes-xts-128.img' '" + password + "' '" + out + "' > '" +
                                out + "/make.log' 2>&1";
        const int rc = system(cmd.c_str());
        if (rc != 0) {
            why = ReadFile(out + "/make.log");
            if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 77) why = "make-bitlocker.sh failed: " + why;
            out.clear();
        }
    }
    *pWhy = why;
    return out;
}

// A volume of real files encrypted by dislocker: the report of every mode
// is bdemount's, the digests md5sum's on the ntfs-3g mount; as partition 2
// of a GPT disk in EWF and VHDX, it is listed, chosen and reported alike.
TEST_F(BitLockerTest, FilledVolumeReportsAsBdemountDecryptsInEveryContainer) {
    if (system("command -v bdemount > /dev/null") != 0) GTEST_SKIP() << "no bdemount (libbde-utils)";
    const auto& keys = conf_.at("bitlk-aes-xts-128");
    std::string why;
    const std::string dir = FilledBitLocker(dir_, keys.at("PW"), &why);
    if (dir.empty()) {
        ASSERT_THAT(why, Not(HasSubstr("make-bitlocker.sh failed"))) << why;
        GTEST_SKIP() << why;
    }
    const std::string filled = dir + "/filled.img";
    BdeMount mount(filled, "-p " + keys.at("PW"));
    if (!mount.mounted) GTEST_SKIP() << "bdemount cannot mount here (no FUSE)";
    const std::string password = "--password=" + keys.at("PW");
    for (const auto& mode : kBitLockerModes) {
        SCOPED_TRACE(mode[0]);
        std::vector<std::string> options = mode;
        options.insert(options.begin(), password);
        SourceRun ours = RunBitLocker(filled, options), peer = RunBitLocker(mount.dir + "/bde1", mode);
        EXPECT_EQ(ours.exitStatus, peer.exitStatus);
        EXPECT_GT(ours.body.size(), 40000u);
        EXPECT_TRUE(ours.body == peer.body);
        EXPECT_EQ(ours.err, peer.err);
    }
    SourceRun plain = RunBitLocker(filled, {password, "-m"});
    std::map<std::string, std::string> digests;  // "dir0/file1.bin" → MD5 of the line
    for (const auto& [record, line] : ParseReport(plain.body)) {
        if (line.path.rfind("C:\\", 0) != 0) continue;
        std::string path = line.path.substr(3);
        std::replace(path.begin(), path.end(), '\\', '/');
        if (line.links != "0") digests[path] = line.md5;
    }
    size_t matched = 0;
    std::smatch m;
    for (const std::string& line : Lines(ReadFile(dir + "/md5sums.txt"))) {
        // The line's digest of a file with alternate streams covers them too.
        if (!std::regex_match(line, m, std::regex("([0-9a-f]{32})  (.*)")) ||
            m[2] == "dir1/file1.bin" || m[2] == "dir2/file2.bin")
            continue;
        EXPECT_EQ(digests[m[2]], m[1].str()) << line;
        matched++;
    }
    EXPECT_EQ(matched, 259u);
    EXPECT_THAT(plain.body, HasSubstr("|ads|19|"));
    for (const char* container : {"gpt.E01", "gpt.vhdx"}) {
        SCOPED_TRACE(container);
        const std::string disk = dir + "/" + container;
        RunResult list = RunVolscanBinary({"-f", disk, "--list-partitions"});
        EXPECT_EQ(list.exitStatus, 0);
        EXPECT_THAT(list.out, HasSubstr("\n  2         4096       204800  no    Basic data, BitLocker " +
                                        keys.at("GUID") + "\n"));
        for (const std::vector<std::string>& choice :
             {std::vector<std::string>{}, std::vector<std::string>{"--partition=2"}}) {
            std::vector<std::string> options = choice;
            options.insert(options.end(), {password, "-m"});
            SourceRun r = RunBitLocker(disk, options);
            EXPECT_EQ(r.exitStatus, plain.exitStatus);
            EXPECT_TRUE(r.body == plain.body);
            const std::string chosen = "\nWARNING - volscan PrepareSource() l.N: SOURCE: reading "
                                       "BitLocker partition 2 (first sector 4096, 204800 sectors)\n\n";
            EXPECT_EQ(r.err, (choice.empty() ? chosen : "") + plain.err);
        }
    }
    // Shadow copies are looked for inside the unlocked volume.
    RunResult snaps = RunVolscanBinary({"-f", filled, password, "--list-snapshots"});
    EXPECT_EQ(snaps.exitStatus, 0);
    EXPECT_EQ(snaps.out, filled + ": no shadow copies on this volume\n");
}

// Damaged FVE metadata, offsets past the volume and a volume cut short of
// what it claims: the library's reason, status 2, within a bounded time.
TEST_F(BitLockerTest, DamagedMetadataIsNamed) {
    const std::string ff(8, '\xff'), past("\xff\xff\xff\xff\xff\xff\0\0", 8);
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, std::string>> patches;
        uint64_t ullCut;  // the copy's length, 0: whole
        const char* message;
    } cases[] = {
        {"first copy", {{0x2195000, "XXXXXXXX"}}, 0, "invalid metadata block signature"},
        {"second copy", {{0x2C1D000, "XXXXXXXX"}}, 0, "invalid metadata block signature"},
        {"third copy", {{0x373A000, "XXXXXXXX"}}, 0, "invalid metadata block signature"},
        {"every copy",
         {{0x2195000, "XXXXXXXX"}, {0x2C1D000, "XXXXXXXX"}, {0x373A000, "XXXXXXXX"}},
         0, "invalid metadata block signature"},
        {"offsets past the volume", {{0xB0, past}, {0xB8, past}, {0xC0, past}}, 0,
         "unable to read FVE metadata block"},
        {"header size", {{0x2195040, ff}, {0x2C1D040, ff}, {0x373A040, ff}}, 0, ": libbde_"},
        {"volume cut short", {}, 40u << 20, "unable to read FVE metadata block"},
    };
    const std::string dir = MakeTestDir("bitlocker-damage");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = dir + "/copy.img";
        ASSERT_EQ(system(("cp --sparse=always '" + dir_ + "/bitlk-aes-xts-128.img' '" + copy + "'").c_str()), 0);
        if (c.ullCut != 0) {
            ASSERT_EQ(truncate(copy.c_str(), static_cast<off_t>(c.ullCut)), 0);
        }
        FILE* f = fopen(copy.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        for (const auto& [at, bytes] : c.patches) {
            ASSERT_EQ(fseek(f, static_cast<long>(at), SEEK_SET), 0);
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        fclose(f);
        BoundedRunResult r = RunVolscanBounded({"-f", copy, "--password=anaconda", "-m", "C"}, dir,
                                               dir + "/out", dir + "/err", 60000, 0);
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_THAT(ReadFile(dir + "/err"),
                    HasSubstr("the BitLocker volume " + copy + " cannot be opened: "));
        EXPECT_THAT(ReadFile(dir + "/err"), HasSubstr(c.message));
    }
}

}  // namespace
