// Security descriptors in the report: the rights codes, the descriptor and
// ACL walk with its bounds, the $SDS store and its lookup, the fallback on a
// file's own descriptor, the SID naming table and the POSIX account table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/info.h"
#include "base/vx_log.h"
#include "security/sd_dump.h"
#include "security/vx_comment.h"
#include "security/winsid.h"
#include "support/capture.h"
#include "support/memory_volume.h"
#include "support/ntfs_builder.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------ descriptor builder

Bytes Sid(uint64_t authority, std::vector<uint32_t> subs) {
    Bytes b(8);
    b[0] = 1;
    b[1] = static_cast<uint8_t>(subs.size());
    for (int k = 0; k < 6; k++) b[2 + k] = static_cast<uint8_t>(authority >> (8 * (5 - k)));
    for (uint32_t s : subs) ntfsb::PutU32(b, b.size(), s);
    return b;
}
const Bytes kSystem = Sid(5, {18});
const Bytes kAdmins = Sid(5, {32, 544});
const Bytes kEveryone = Sid(1, {0});

Bytes Ace(uint8_t type, uint8_t flags, uint32_t mask, const Bytes& sid) {
    Bytes b{type, flags};
    ntfsb::PutU16(b, 2, static_cast<uint16_t>(8 + sid.size()));
    ntfsb::PutU32(b, 4, mask);
    ntfsb::PutBytes(b, 8, sid);
    return b;
}

// An object ACE: the flags word, then the GUIDs it says are present (bit 0
// the object type, bit 1 the inherited object type), then the SID.
Bytes ObjectAce(uint8_t type, uint32_t objectFlags, const Bytes& sid) {
    Bytes b = Ace(type, 0, 0x1F01FF, Bytes(4));
    ntfsb::PutU32(b, 8, objectFlags);
    for (uint32_t bit : {1u, 2u})
        if (objectFlags & bit) ntfsb::PutBytes(b, b.size(), Bytes(16, 0x55));
    ntfsb::PutBytes(b, b.size(), sid);
    ntfsb::PutU16(b, 2, static_cast<uint16_t>(b.size()));
    return b;
}

Bytes Acl(const std::vector<Bytes>& aces) {
    Bytes b(8);
    b[0] = 2;
    for (const Bytes& a : aces) ntfsb::PutBytes(b, b.size(), a);
    ntfsb::PutU16(b, 2, static_cast<uint16_t>(b.size()));
    ntfsb::PutU16(b, 4, static_cast<uint16_t>(aces.size()));
    return b;
}

// Laid out SACL, DACL, owner, group: the ACLs are not in the order the line
// writes them, and the group is last, where a cut buffer shortens it.
struct Sd {
    Bytes owner = kAdmins, group = kSystem;
    std::optional<Bytes> sacl, dacl;
    Sd Owner(Bytes b) const { Sd s = *this; s.owner = std::move(b); return s; }
    Sd Group(Bytes b) const { Sd s = *this; s.group = std::move(b); return s; }
    Sd Sacl(Bytes b) const { Sd s = *this; s.sacl = std::move(b); return s; }
    Sd Dacl(Bytes b) const { Sd s = *this; s.dacl = std::move(b); return s; }
    Bytes Build() const;
};
Bytes Sd::Build() const {
    const Sd& p = *this;
    Bytes b(20);  // revision, padding, control, then the four offsets
    b[0] = 1;
    ntfsb::PutU16(b, 2, static_cast<uint16_t>(0x8000 | (p.dacl ? 4 : 0) | (p.sacl ? 0x10 : 0)));
    auto place = [&b](const Bytes& part, size_t field) {
        if (part.empty()) return;
        ntfsb::PutU32(b, field, static_cast<uint32_t>(b.size()));
        ntfsb::PutBytes(b, b.size(), part);
    };
    if (p.sacl) place(*p.sacl, 12);
    if (p.dacl) place(*p.dacl, 16);
    place(p.owner, 4);
    place(p.group, 8);
    return b;
}
// The size field of ACE #0 of the DACL.
Bytes WithFirstAceSize(Bytes b, uint16_t size) {
    ntfsb::PutU16(b, ntfsb::GetU32(b, 16) + 8 + 2, size);
    return b;
}

// The error stream of the modules, read back by the test.
struct ErrorCapture {
    CapturedStream errors;
    ErrorCapture() { VxErrorStream = errors.pFile; }
    ~ErrorCapture() { VxErrorStream = stderr; }
};

// Rendered from a heap block of exactly the given size, so that a read past
// it is caught by the address sanitizer.
int Render(const Bytes& sd, int lineMode, std::string* pOut) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[sd.size() + (sd.empty() ? 1 : 0)]);
    std::copy(sd.begin(), sd.end(), exact.get());
    CapturedStream out;
    const int s = DumpBufferSecurity(out.pFile, 70, exact.get(), sd.size(), lineMode);
    *pOut = out.Text();
    return s;
}

// ------------------------------------------------------------ rights codes

struct BitsCase {
    const char* label;
    const BitName* table;
    uint32_t value;
    const char* line;
    const char* verbose;
};
void PrintTo(const BitsCase& c, std::ostream* os) { *os << c.label; }
class SecurityBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(SecurityBits, LineAndVerbose) {
    for (int lineMode : {1, 0}) {
        CapturedStream out;
        DumpBits(out.pFile, GetParam().value, GetParam().table, lineMode);
        EXPECT_EQ(lineMode ? GetParam().line : GetParam().verbose, out.Text());
    }
}

INSTANTIATE_TEST_SUITE_P(
    SecurityTables, SecurityBits,
    ::testing::Values(
        BitsCase{"FileAll", AccessRightsBits, 0x001F01FF, "Fa|", "File all access\n"},
        BitsCase{"ReadWriteExecuteDelete", AccessRightsBits, 0x001301BF, "FrFwFeDe|",
                 "File generic read, File generic write, File generic execute, Delete access\n"},
        BitsCase{"ReadExecute", AccessRightsBits, 0x001200A9, "FrFe|",
                 "File generic read, File generic execute\n"},
        BitsCase{"SingleWrites", AccessRightsBits, 0x00000116, "WdAdWeWa|",
                 "File write data, File append data, File write extended area, "
                 "File write attributes\n"},
        BitsCase{"StandardWithoutSync", AccessRightsBits, 0x000F0000, "DeRcWcWo|",
                 "Delete access, Read control, Write access DACL, Write owner\n"},
        BitsCase{"None", AccessRightsBits, 0, "|", "\n"},
        BitsCase{"AceFlags", AceFlagsBits, 0xC3, "|",
                 "Object Inherit, Container Inherit, Successfull Access, Failed Access\n"},
        BitsCase{"Control", ControlFlagsBits, 0x8004, "|", "DACL present, Self relative SD\n"}),
    [](const ::testing::TestParamInfo<BitsCase>& p) { return std::string(p.param.label); });

TEST(SecurityLegend, TwentyFiveLinesInTwoBlocks) {
    CapturedStream out;
    PrintLegend(out.pFile);
    const std::string text = out.Text();
    EXPECT_EQ(27, std::count(text.begin(), text.end(), '\n'));
    size_t empty = 0;
    for (size_t k = 0; k < text.size(); k++)
        if (text[k] == '\n' && (k == 0 || text[k - 1] == '\n')) empty++;
    EXPECT_EQ(2u, empty);
    EXPECT_EQ(0u, text.find("\n  File/directory/key access :\n"));
    EXPECT_THAT(text, HasSubstr("    Fa : File all access = RdWdAdReWeExDcRaWaSa\n"));
    const std::string last = "    - : Refused for DACE, audit failure for SACE\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(last, text.substr(text.size() - last.size()));
}

// ------------------------------------------------------------- line mode

constexpr int kAnyStatus = -1;
constexpr const char* kAnyError = "?";
struct LineCase {
    std::string label;
    Bytes sd;
    std::string line;
    int status;
    std::string error;  // "": none may be written
};

std::vector<LineCase> LineCases() {
    const std::string base = "S-1-5-32-544|S-1-5-18|";
    const Bytes fa = Ace(0, 0, 0x001F01FF, kSystem);
    Bytes ownerPastEnd = Sd().Build();
    ntfsb::PutU32(ownerPastEnd, 4, static_cast<uint32_t>(ownerPastEnd.size()));
    Bytes daclCut = Sd().Build();
    ntfsb::PutU32(daclCut, 16, static_cast<uint32_t>(daclCut.size() - 5));
    Bytes aclTooBig = Sd().Dacl(Acl({fa})).Build();
    ntfsb::PutU16(aclTooBig, ntfsb::GetU32(aclTooBig, 16) + 2, 0x400);
    Bytes groupCut = Sd().Owner(kSystem).Group(Sid(5, {80, 0})).Build();
    groupCut.resize(groupCut.size() - 4);
    return {
        {"Size19", Bytes(19), "||||", 2, "truncated stream - Size : 19"},
        {"NoOwner", Sd().Owner(Bytes()).Build(), "|S-1-5-18|N|N|", 2, "user not found"},
        {"OwnerPastEnd", ownerPastEnd, "|S-1-5-18|N|N|", 2, "truncated stream, user missing"},
        {"NoAcls", Sd().Build(), base + "N|N|", 0, ""},
        {"EmptyDacl", Sd().Dacl(Acl({})).Build(), base + "0|N|", 0, ""},
        {"Allowed", Sd().Dacl(Acl({fa})).Build(), base + "1|N|S-1-5-18|+Fa|", 0, ""},
        {"Denied", Sd().Dacl(Acl({Ace(1, 0, 0x116, kEveryone)})).Build(),
         base + "1|N|S-1-1-0|-WdAdWeWa|", 0, ""},
        {"AuditFailure", Sd().Sacl(Acl({Ace(2, 0x83, 0x1F01FF, kSystem)})).Build(),
         base + "N|1|S-1-5-18|-Fa|", 0, ""},
        {"AuditBoth", Sd().Sacl(Acl({Ace(2, 0xC0, 0x1F01FF, kSystem)})).Build(),
         base + "N|1|S-1-5-18|+-Fa|", 0, ""},
        {"DaclBeforeSacl",
         Sd().Sacl(Acl({Ace(2, 0x80, 0x1F01FF, kSystem)}))
             .Dacl(Acl({Ace(0, 0, 0x1200A9, kEveryone)}))
             .Build(),
         base + "1|1|S-1-1-0|+FrFe|S-1-5-18|-Fa|", 0, ""},
        // A reported defect: status 2, as for every other error line.
        {"UnknownType", Sd().Dacl(Acl({Ace(3, 0, 0x1F01FF, kEveryone)})).Build(),
         base + "1|N|S-1-1-0||", 2, "unknown type 3"},
        // Object ACEs: the SID follows the flags and the GUIDs present.
        {"ObjectAceNoGuid", Sd().Dacl(Acl({ObjectAce(5, 0, kEveryone)})).Build(),
         base + "1|N|S-1-1-0||", 2, "unknown type 5"},
        {"ObjectAceBothGuids", Sd().Dacl(Acl({ObjectAce(6, 3, kAdmins)})).Build(),
         base + "1|N|S-1-5-32-544||", 2, "unknown type 6"},
        {"ObjectAceInheritedGuid", Sd().Sacl(Acl({ObjectAce(7, 2, kSystem)})).Build(),
         base + "N|1|S-1-5-18||", 2, "unknown type 7"},
        {"CallbackObjectAceTypeGuid", Sd().Dacl(Acl({ObjectAce(11, 1, kEveryone)})).Build(),
         base + "1|N|S-1-1-0||", 2, "unknown type 11"},
        {"CallbackAceIsNoObjectAce", Sd().Sacl(Acl({Ace(13, 0, 0x1F01FF, kSystem)})).Build(),
         base + "N|1|S-1-5-18||", 2, "unknown type 13"},
        {"AuthorityOnly", Sd().Owner(Sid(5, {})).Build(), "S-1-5|S-1-5-18|N|N|", 0, ""},
        {"Authority2Pow40", Sd().Owner(Sid(1ull << 40, {})).Build(),
         "S-1-1099511627776|S-1-5-18|N|N|", 0, ""},
        {"NineSubs", Sd().Owner(Sid(5, {21, 1, 2, 3, 4, 5, 6, 7, 8})).Build(),
         "S-1-5-21-1-2-3-4-5-6-7-8|S-1-5-18|N|N|", 0, ""},
        {"DaclMissing", daclCut, base + "|N|", 2, "truncated stream, DACL missing"},
        // The walk must end on an ACE that cannot move it on or leaves its ACL.
        {"AceSizeZero", WithFirstAceSize(Sd().Dacl(Acl({fa, fa, fa})).Build(), 0),
         base + "3|N|", 2, "ACE #0 beyond its ACL"},
        {"AceSizeBelowHeader", WithFirstAceSize(Sd().Dacl(Acl({fa, fa})).Build(), 4),
         base + "2|N|", 2, "ACE #0 beyond its ACL"},
        {"SecondAcePastAcl",
         [&] {
             Bytes b = Sd().Dacl(Acl({fa, fa})).Build();
             ntfsb::PutU16(b, ntfsb::GetU32(b, 16) + 8 + fa.size() + 2,
                           static_cast<uint16_t>(fa.size() + 4));
             return b;
         }(),
         base + "2|N|S-1-5-18|+Fa|", 2, "ACE #1 beyond its ACL"},
        {"AclSizePastBuffer", aclTooBig, base + "1|N|", kAnyStatus, kAnyError},
        {"SidCutShort", groupCut, "S-1-5-18|S-1-5-80|N|N|", kAnyStatus, kAnyError},
    };
}

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class SecurityLine : public ::testing::TestWithParam<LineCase>, public ErrorCapture {};

TEST_P(SecurityLine, Fields) {
    std::string line;
    const int s = Render(GetParam().sd, 1, &line);
    EXPECT_EQ(GetParam().line, line);
    if (GetParam().status != kAnyStatus) {
        EXPECT_EQ(GetParam().status, s);
    }
    const std::string err = errors.Text();
    if (GetParam().error.empty()) {
        EXPECT_EQ("", err);
    } else if (GetParam().error != kAnyError) {
        EXPECT_THAT(err, HasSubstr(GetParam().error));
    }
}

INSTANTIATE_TEST_SUITE_P(SecurityDescriptors, SecurityLine, ::testing::ValuesIn(LineCases()),
                         [](const ::testing::TestParamInfo<LineCase>& p) { return p.param.label; });

// ---------------------------------------------------------- verbose mode

class SecurityVerbose : public ::testing::Test, public ErrorCapture {
protected:
    CapturedStream debug;
    void SetUp() override { InitSidHash(); }
    void TearDown() override {
        WinsidDebugStream = nullptr;
        FreeSidHash();
    }
};

TEST_F(SecurityVerbose, LabelledBlockWithAccountNames) {
    std::string text;
    const Bytes dacl = Acl({Ace(0, 0, 0x1F01FF, kSystem), Ace(1, 3, 0x116, kEveryone)});
    EXPECT_EQ(0, Render(Sd().Dacl(dacl).Build(), 0, &text));
    EXPECT_EQ("Security descriptor flags : DACL present, Self relative SD\n"
              "User : S-1-5-32-544 (Alias) BUILTIN\\Administrators\n"
              "Group : S-1-5-18 (Well known group) NT AUTHORITY\\SYSTEM\n"
              "Number of DACE : 2\n"
              "No SACL\n"
              " Dace #0\n  User : S-1-5-18 (Well known group) NT AUTHORITY\\SYSTEM\n"
              "  Flags : \n  Allowed File all access\n"
              " Dace #1\n  User : S-1-1-0 (Well known group) \\Everyone\n"
              "  Flags : Object Inherit, Container Inherit\n"
              "  Denied File write data, File append data, File write extended area, "
              "File write attributes\n",
              text);
    EXPECT_EQ("", errors.Text());
}

TEST_F(SecurityVerbose, AuditAceAndNoDacl) {
    std::string text;
    Render(Sd().Sacl(Acl({Ace(2, 0x80, 0x1F01FF, kSystem)})).Build(), 0, &text);
    EXPECT_THAT(text, HasSubstr("No DACL\nNumber of SACE : 1\n Sace #0\n"));
    EXPECT_THAT(text, HasSubstr("Audit failure File all access\n"));
}

// Nine sub-authorities are more than a system SID holds: never looked up.
TEST_F(SecurityVerbose, NineSubsAreNotLookedUp) {
    WinsidDebugStream = debug.pFile;
    std::string text;
    Render(Sd().Owner(Sid(5, {21, 1, 2, 3, 4, 5, 6, 7, 8})).Build(), 0, &text);
    EXPECT_THAT(text, HasSubstr("User : S-1-5-21-1-2-3-4-5-6-7-8\nGroup : "));
    EXPECT_THAT(debug.Text(), Not(HasSubstr("S-1-5-21-1-2-3-4-5-6-7-8")));
    EXPECT_EQ("", errors.Text());
}

// The lookup failed: the SID without a name, and the defect in the status.
TEST_F(SecurityVerbose, UnmappedOwnerIsWrittenWithoutName) {
    std::string text;
    EXPECT_EQ(2, Render(Sd().Owner(Sid(5, {21, 1, 2, 3, 1001})).Build(), 0, &text));
    EXPECT_THAT(text, HasSubstr("User : S-1-5-21-1-2-3-1001\nGroup : "));
    EXPECT_THAT(errors.Text(), HasSubstr("1st LookupAccountSid"));
}

// S-1-5-80-0, the SID with its lost sub-authority read as 0, is an account:
// its lookup would show a name; a lookup of S-1-5-80 would fail with an error.
TEST_F(SecurityVerbose, SidCutShortIsNotLookedUp) {
    WinsidDebugStream = debug.pFile;
    Bytes sd = Sd().Owner(kSystem).Group(Sid(5, {80, 0})).Build();
    sd.resize(sd.size() - 4);
    std::string text;
    Render(sd, 0, &text);
    EXPECT_THAT(text, HasSubstr("Group : S-1-5-80\n"));
    EXPECT_THAT(debug.Text(), Not(HasSubstr("S-1-5-80")));
    EXPECT_EQ("", errors.Text());
}

// The line names no account, so it costs no lookup unless a user file is written.
TEST_F(SecurityVerbose, LineModeLooksUpOnlyForTheUserFile) {
    WinsidDebugStream = debug.pFile;
    std::string line;
    Render(Sd().Build(), 1, &line);
    EXPECT_EQ("", debug.Text());
    CapturedStream users;
    WinsidUserStream = users.pFile;
    Render(Sd().Build(), 1, &line);
    WinsidUserStream = nullptr;
    EXPECT_EQ("S-1-5-32-544|S-1-5-18|N|N|", line);
    EXPECT_THAT(debug.Text(), HasSubstr("GeSidHash : add S-1-5-32-544=BUILTIN\\Administrators\n"));
}

// ------------------------------------------------------------- $SDS store

struct RawEntry {
    uint64_t pos;
    uint32_t id, length;
    std::optional<uint64_t> self;  // unset: pos
    uint32_t hash;
    RawEntry(uint64_t p, uint32_t i, uint32_t l, std::optional<uint64_t> s = std::nullopt,
             uint32_t h = 0)
        : pos(p), id(i), length(l), self(s), hash(h) {}
};
Bytes SdsStream(size_t size, const std::vector<RawEntry>& entries) {
    Bytes b(size);
    for (const RawEntry& e : entries) {
        ntfsb::PutU32(b, e.pos, e.hash);
        ntfsb::PutU32(b, e.pos + 4, e.id);
        ntfsb::PutU64(b, e.pos + 8, e.self.value_or(e.pos));
        ntfsb::PutU32(b, e.pos + 16, e.length);
    }
    b.resize(size);
    return b;
}
// Whole entries, one after the other on 16-byte boundaries.
Bytes SdsOf(const std::vector<std::pair<uint32_t, Bytes>>& sds) {
    Bytes b;
    for (const auto& [id, sd] : sds) {
        const size_t pos = (b.size() + 15) & ~size_t{15};
        ntfsb::PutU32(b, pos + 4, id);
        ntfsb::PutU64(b, pos + 8, pos);
        ntfsb::PutU32(b, pos + 16, static_cast<uint32_t>(20 + sd.size()));
        ntfsb::PutBytes(b, pos + 20, sd);
    }
    return b;
}

using Rec = std::tuple<uint32_t, uint32_t, uint64_t>;  // id, length field, offset + 20

class SdsStore : public ::testing::Test {
protected:
    MemoryVolume mv{4096, 4};
    Attribute sds{};
    Bytes stream;
    void TearDown() override { DiskioDebugStream = nullptr; }
    void Load(Bytes s) {
        stream = std::move(s);
        sds.bResident = 1;
        stream.shrink_to_fit();
        sds.pStream = stream.data();
        sds.ullSize = stream.size();
        mv.vol.pSecureData = &sds;
        EXPECT_EQ(0, LoadSecureSDS(&mv.vol));
    }
    std::vector<Rec> List() const {
        std::vector<Rec> v;
        for (uint32_t k = 0; k < mv.vol.secList.dwCount; k++) {
            const SecInfo& i = mv.vol.secList.pSecInfo[k];
            v.emplace_back(i.dwId, i.dwSize, i.ullOffset);
        }
        return v;
    }
};

struct LayoutCase {
    const char* label;
    Bytes stream;
    std::vector<Rec> list;
    uint32_t maxSize;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.label; }
class SdsLayout : public SdsStore, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(SdsLayout, Entries) {
    Load(GetParam().stream);
    EXPECT_EQ(GetParam().list, List());
    EXPECT_EQ(GetParam().maxSize, mv.vol.secList.dwMaxSize);
}

INSTANTIATE_TEST_SUITE_P(
    SdsStreams, SdsLayout,
    ::testing::Values(
        // Skipping by its length would step over the entry at 0x20.
        LayoutCase{"NotAtItsOwnOffset", SdsStream(0x60, {{0, 1, 0x30, 0x999}, {0x20, 2, 0x20}}),
                   {{2, 0x20, 0x34}}, 0x20},
        // The entry at 0x10 begins on the length field of the one at 0.
        LayoutCase{"LengthBelowHeaderThenHeaderOnly",
                   SdsStream(0x60, {{0, 1, 19}, {0x10, 2, 20, std::nullopt, 19}, {0x30, 3, 0x20}}),
                   {{2, 20, 0x24}, {3, 0x20, 0x44}}, 0x20},
        // Rounded down, the walk would take the decoy at 0x80 and miss 0x90.
        LayoutCase{"RoundedUpTo16",
                   SdsStream(0xC0, {{0, 1, 0x85}, {0x80, 99, 0x20}, {0x90, 2, 0x20, {}, 0x20}}),
                   {{1, 0x85, 20}, {2, 0x20, 0xA4}}, 0x85},
        LayoutCase{"ShortTail", SdsStream(0x20 + 19, {{0, 1, 0x20}, {0x20, 2, 20}}),
                   {{1, 0x20, 20}}, 0x20},
        LayoutCase{"LengthPastTheStream", SdsStream(0x60, {{0, 1, 0x1000}, {0x20, 2, 0x20}}),
                   {{2, 0x20, 0x34}}, 0x20}),
    [](const ::testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.label); });

TEST_F(SdsStore, ListGrowsPastTwoSteps) {
    std::vector<RawEntry> entries;
    for (uint32_t k = 0; k < 41; k++) entries.push_back({0x30ull * k, 100 + k, 0x28 + k % 5});
    Load(SdsStream(0x30 * 41, entries));
    ASSERT_EQ(41u, mv.vol.secList.dwCount);
    for (uint32_t k = 0; k < 41; k++) {
        EXPECT_EQ(Rec(100 + k, 0x28 + k % 5, 0x30ull * k + 20), List()[k]) << k;
    }
    EXPECT_EQ(0x2Cu, mv.vol.secList.dwMaxSize);
}

TEST_F(SdsStore, DebugLineShowsTheEntryOffset) {
    CapturedStream debug;
    DiskioDebugStream = debug.pFile;
    Load(SdsStream(0x70, {{0x40, 7, 0x30}}));
    EXPECT_EQ("Added to pVol->secList : Id 7, size 48, offset 64\n", debug.Text());
}

// ------------------------------------------------------------- SDS lookup

class SdsLookup : public SdsStore {
protected:
    Entry e{};
    void SetUp() override {
        SdsStore::SetUp();
        e.pVolume = &mv.vol;
        e.ullBaseRecord = 70;
        e.bSecurityId = 1;
        e.dwSecurityId = 7;
    }
    std::string Lookup(int status, int rendered) {
        CapturedStream out;
        int bRendered = 1 - rendered;
        EXPECT_EQ(status, Dump_SDS_Security(out.pFile, &e, 1, &bRendered));
        EXPECT_EQ(rendered, bRendered);
        return out.Text();
    }
};

TEST_F(SdsLookup, EmptyListIsSilent) {
    EXPECT_EQ("", Lookup(2, 0));
    EXPECT_EQ("", mv.errors.Text());
}

TEST_F(SdsLookup, MissingIdIsAnError) {
    Load(SdsOf({{9, Sd().Build()}}));
    EXPECT_EQ("", Lookup(2, 0));
    EXPECT_THAT(mv.errors.Text(), HasSubstr("security id 7 not found - Base record : 70"));
}

TEST_F(SdsLookup, FirstOfTwoEntriesWithTheId) {
    Load(SdsOf({{7, Sd().Owner(kSystem).Build()}, {7, Sd().Owner(kEveryone).Build()}}));
    EXPECT_EQ("S-1-5-18|S-1-5-18|N|N|", Lookup(0, 1));
}

// Ids out of order are looked up by a scan, in order by a search; both
// find the first entry of an id that is there twice.
TEST_F(SdsLookup, FirstOfEqualIdsInAnyOrder) {
    struct Case {
        std::vector<uint32_t> ids;
        int sorted;
    };
    for (const Case& c : {Case{{3, 5, 7, 7, 7, 9}, 1}, Case{{9, 7, 3, 7}, 0}, Case{{7}, 1}}) {
        std::vector<RawEntry> entries;
        for (size_t k = 0; k < c.ids.size(); k++) entries.push_back({0x30 * k, c.ids[k], 0x28});
        FreeSecureSDs(&mv.vol.secList);
        Load(SdsStream(0x30 * c.ids.size(), entries));
        EXPECT_EQ(c.sorted, mv.vol.secList.bSortedById);
        const size_t first = std::find(c.ids.begin(), c.ids.end(), 7u) - c.ids.begin();
        EXPECT_EQ(&mv.vol.secList.pSecInfo[first], FindSecureSD(&mv.vol.secList, 7));
        EXPECT_EQ(nullptr, FindSecureSD(&mv.vol.secList, 4));
        EXPECT_EQ(nullptr, FindSecureSD(&mv.vol.secList, 10));
    }
}

// $SDS on the device: clusters 1 and 2, the second unreadable.
class SdsOnDevice : public ::testing::Test {
protected:
    MemoryVolume mv{4096, 4, 4, 2 * 4096};
    std::vector<::Run> runs{{1, 2}};
    Attribute sds{};
    Entry e{};
    void SetUp() override {
        e.pVolume = &mv.vol;
        e.ullBaseRecord = 70;
        e.bSecurityId = 1;
        e.dwSecurityId = 7;
    }
    void TearDown() override { DiskioDebugStream = nullptr; }
    void Load(const Bytes& s) {
        std::copy(s.begin(), s.end(), mv.bytes.begin() + 4096);
        sds = NonResident(runs, s.size());
        mv.vol.pSecureData = &sds;
        EXPECT_EQ(0, LoadSecureSDS(&mv.vol));
    }
    std::string Lookup() {
        CapturedStream out;
        int bRendered = 0;
        (void)Dump_SDS_Security(out.pFile, &e, 1, &bRendered);
        return out.Text();
    }
};

// Every file of a volume names one of a few descriptors: the device is read
// for the first of them only, and each file shows the same fields.
TEST_F(SdsOnDevice, DescriptorIsReadOnceForAllItsFiles) {
    Bytes s = SdsOf({{7, Sd().Owner(kEveryone).Group(kSystem).Build()}});
    Load(s);
    const std::string first = Lookup();
    const uint64_t reads = mv.DeviceReads();
    EXPECT_EQ("S-1-1-0|S-1-5-18|N|N|", first);
    for (int k = 0; k < 3; k++) EXPECT_EQ(first, Lookup());
    EXPECT_EQ(reads, mv.DeviceReads());
    EXPECT_EQ("", mv.errors.Text());
}

// A read that fails, or one made with a trace, is made again for every file,
// so that each file gets its own messages.
TEST_F(SdsOnDevice, FailedOrTracedReadIsMadeForEveryFile) {
    Load(SdsStream(0x1100, {{0xFE0, 7, 0x60}}));
    ASSERT_EQ(1u, mv.vol.secList.dwCount);
    Lookup();
    Lookup();
    const std::string errors = mv.errors.Text();
    const std::string what = "security id 7 not read";
    ASSERT_NE(std::string::npos, errors.find(what));
    EXPECT_NE(std::string::npos, errors.find(what, errors.find(what) + 1)) << errors;

    FreeSecureSDs(&mv.vol.secList);
    Load(SdsOf({{7, Sd().Build()}}));
    CapturedStream debug;
    DiskioDebugStream = debug.pFile;
    const uint64_t before = mv.DeviceReads();
    Lookup();
    const uint64_t once = mv.DeviceReads() - before;
    Lookup();
    EXPECT_GT(once, 0u);
    EXPECT_EQ(2 * once, mv.DeviceReads() - before);
}

// The descriptor is the entry less its header: an owner offset at its end
// must not reach into the bytes that follow the entry.
TEST_F(SdsLookup, DescriptorEndsWithItsEntry) {
    Bytes header(20);
    ntfsb::PutU32(header, 4, 20);
    Bytes s = SdsOf({{7, header}, {8, Sd().Build()}});
    ntfsb::PutBytes(s, 0x28, Sid(5, {}));  // in the padding after entry #7
    Load(s);
    EXPECT_EQ("||N|N|", Lookup(2, 1));
    EXPECT_THAT(mv.errors.Text(), HasSubstr("truncated stream, user missing - Size : 20"));
}

// The whole line: one set of security fields, from the store or the file.
class SecurityFileInfo : public SdsLookup {
protected:
    void SetUp() override {
        SdsLookup::SetUp();
        mv.vol.MajorVersion = 3;
        e.wLinkCount = 1;
        ntfsb::FileNameInfo fn;
        fn.name = "name";
        Add(ntfsb::kAttrFileName, ntfsb::FileNameValue(fn));
    }
    void TearDown() override {
        CleanEntry(&e);
        SdsLookup::TearDown();
    }
    void Add(uint32_t type, const Bytes& value) {
        ntfsb::ResidentAttr a;
        a.type = type;
        a.value = value;
        const Bytes bytes = ntfsb::EncodeResident(a, e.wAttrCount);
        ASSERT_EQ(1, InitAttribute(&e, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    std::string Line() {
        CapturedStream out;
        (void)DumpFileInfo(out.pFile, &e, 0, 1);
        return out.Text();
    }
};

TEST_F(SecurityFileInfo, StoreWinsOverTheFileDescriptor) {
    Load(SdsOf({{7, Sd().Owner(kEveryone).Group(kEveryone).Build()}}));
    Add(ntfsb::kAttrSecurityDescriptor, Sd().Build());
    EXPECT_EQ("70|E:\\name||1|||||||0|S-1-1-0|S-1-1-0|N|N|\n", Line());
    EXPECT_EQ("", mv.errors.Text());
}

TEST_F(SecurityFileInfo, MissingIdFallsBackOnTheFileDescriptor) {
    Load(SdsOf({{9, Sd().Owner(kEveryone).Build()}}));
    Add(ntfsb::kAttrSecurityDescriptor, Sd().Build());
    EXPECT_EQ("70|E:\\name||1|||||||0|S-1-5-32-544|S-1-5-18|N|N|\n", Line());
    EXPECT_THAT(mv.errors.Text(),
                HasSubstr("security id 7 not found, trying SD stream - Base record : 70"));
}

TEST_F(SecurityFileInfo, MissingIdWithoutFileDescriptorLeavesEmptyFields) {
    Load(SdsOf({{9, Sd().Build()}}));
    EXPECT_EQ("70|E:\\name||1|||||||0|||||\n", Line());
    EXPECT_THAT(mv.errors.Text(), HasSubstr("security id 7 not found, trying SD stream"));
}

// -------------------------------------------------------------- SID table

class SidTable : public ::testing::Test, public ErrorCapture {
protected:
    void SetUp() override { InitSidHash(); }
    void TearDown() override {
        WinsidDebugStream = nullptr;
        WinsidUserStream = nullptr;
        FreeSidHash();
    }
    const char* comment = "x";  // what the last GetSidHash gave
    const char* type = "x";
    int Meet(uint64_t authority, std::vector<uint32_t> subs, const char* text) {
        VxSid* pSid = nullptr;
        EXPECT_EQ(1, vx_plat_allocate_sid(authority, static_cast<uint8_t>(subs.size()),
                                          subs.data(), &pSid));
        const int s = GetSidHash(pSid, text, &comment, &type);
        vx_plat_free_sid(pSid);
        return s;
    }
};

TEST(SidHash, ClassicElfHash) {
    // Values from a separate implementation of the hash.
    EXPECT_EQ(0u, SidTextHash(""));
    EXPECT_EQ(65u, SidTextHash("A"));
    EXPECT_EQ(4228392u, SidTextHash("S-1-5-18"));
    EXPECT_EQ(192u, SidTextHash("S-1-5-18") % kSidBuckets);
    EXPECT_EQ(18403668u, SidTextHash("S-1-5-80-956008885-3418522649-1831038044-1853292631-"
                                     "2271478464"));
    EXPECT_EQ(90192904u, SidTextHash("S-1-\xE9x"));  // a char above 0x7F adds as negative
}

TEST_F(SidTable, UserFileInBucketOrderLatestFirst) {
    // S-1-5-20 and S-1-2-0 share bucket 200; S-1-5-18 is in 192, S-1-1-0 in 244.
    Meet(5, {20}, "S-1-5-20");
    Meet(2, {0}, "S-1-2-0");
    Meet(5, {18}, "S-1-5-18");
    Meet(1, {0}, "S-1-1-0");
    Meet(5, {21, 1, 2, 3, 1001}, "S-1-5-21-1-2-3-1001");
    CapturedStream users;
    WinsidUserStream = users.pFile;
    EXPECT_EQ(0, FreeSidHash());
    WinsidUserStream = nullptr;
    const std::string text = users.Text();
    // The run header before it is the run driver's (test_cli).
    const size_t body = text.find("\nSID|Type|Name\n");
    ASSERT_EQ(0u, body);
    EXPECT_EQ("S-1-5-18|Well known group|NT AUTHORITY\\SYSTEM\n"
              "S-1-2-0|Well known group|\\LOCAL\n"
              "S-1-5-20|Well known group|NT AUTHORITY\\NETWORK SERVICE\n"
              "S-1-1-0|Well known group|\\Everyone\n"
              "S-1-5-21-1-2-3-1001|\n",
              text.substr(body + strlen("\nSID|Type|Name\n")));
}

TEST_F(SidTable, UnmappedSidFailsOnceThenIsKnownEmpty) {
    EXPECT_EQ(2, Meet(5, {21, 1, 2, 3, 1001}, "S-1-5-21-1-2-3-1001"));
    const std::string err = errors.Text();
    EXPECT_THAT(err, HasSubstr("ERROR No mapping between account names and security IDs was "
                               "done. (1332) - "));
    EXPECT_THAT(err, HasSubstr("1st LookupAccountSid"));
    EXPECT_EQ(0, Meet(5, {21, 1, 2, 3, 1001}, "S-1-5-21-1-2-3-1001"));
    EXPECT_TRUE(comment == nullptr || comment[0] == 0);
    EXPECT_TRUE(type == nullptr || type[0] == 0);
    EXPECT_EQ(err, errors.Text());
}

TEST_F(SidTable, KnownSidLookedUpOnce) {
    CapturedStream debug;
    WinsidDebugStream = debug.pFile;
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(0, Meet(5, {18}, "S-1-5-18"));
        EXPECT_STREQ("NT AUTHORITY\\SYSTEM", comment);
        EXPECT_STREQ("Well known group", type);
    }
    EXPECT_EQ("GeSidHash : add S-1-5-18=NT AUTHORITY\\SYSTEM\n"
              "GetSidHash : SID S-1-5-18 found in hash\n"
              "GetSidHash : SID S-1-5-18 found in hash\n",
              debug.Text());
}

// ------------------------------------------------------ POSIX accounts

struct AccountCase {
    const char* label;
    uint64_t authority;
    std::vector<uint32_t> subs;
    const char* domain;
    const char* name;
    uint32_t use;
};
void PrintTo(const AccountCase& c, std::ostream* os) { *os << c.label; }
class SidAccounts : public ::testing::TestWithParam<AccountCase> {};

TEST_P(SidAccounts, TwoCallLookup) {
    const AccountCase& c = GetParam();
    VxSid* pSid = nullptr;
    ASSERT_EQ(1, vx_plat_allocate_sid(c.authority, static_cast<uint8_t>(c.subs.size()),
                                      c.subs.data(), &pSid));
    uint32_t nameSize = 0, domainSize = 0, use = 0;
    EXPECT_EQ(0, vx_plat_lookup_account_sid(pSid, nullptr, &nameSize, nullptr, &domainSize, &use));
    EXPECT_EQ(vx_plat_error_insufficient_buffer(), vx_plat_last_error());
    EXPECT_EQ(strlen(c.name) + 1, nameSize);
    EXPECT_EQ(strlen(c.domain) + 1, domainSize);
    std::vector<char> name(nameSize, 'x'), domain(domainSize, 'x');
    EXPECT_EQ(1, vx_plat_lookup_account_sid(pSid, name.data(), &nameSize, domain.data(),
                                            &domainSize, &use));
    EXPECT_STREQ(c.name, name.data());
    EXPECT_STREQ(c.domain, domain.data());
    EXPECT_EQ(c.use, use);
    vx_plat_free_sid(pSid);
}

INSTANTIATE_TEST_SUITE_P(
    SidWellKnown, SidAccounts,
    ::testing::Values(
        AccountCase{"Administrators", 5, {32, 544}, "BUILTIN", "Administrators", 4},
        AccountCase{"Everyone", 1, {0}, "", "Everyone", 5},
        AccountCase{"System", 5, {18}, "NT AUTHORITY", "SYSTEM", 5},
        AccountCase{"TrustedInstaller", 5,
                    {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u},
                    "NT SERVICE", "TrustedInstaller", 5}),
    [](const ::testing::TestParamInfo<AccountCase>& p) { return std::string(p.param.label); });

}  // namespace
