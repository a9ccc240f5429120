// Test-side NTFS image builder (see ntfs_builder.h).
#include "support/ntfs_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>

namespace ntfsb {
namespace {

// ---------------------------------------------------------------- raw helpers

inline void W8(uint8_t* p, size_t o, uint8_t v) { p[o] = v; }
inline void W16(uint8_t* p, size_t o, uint16_t v) {
    p[o] = uint8_t(v);
    p[o + 1] = uint8_t(v >> 8);
}
inline void W32(uint8_t* p, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[o + i] = uint8_t(v >> (8 * i));
}
inline void W48(uint8_t* p, size_t o, uint64_t v) {
    for (int i = 0; i < 6; ++i) p[o + i] = uint8_t(v >> (8 * i));
}
inline void W64(uint8_t* p, size_t o, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[o + i] = uint8_t(v >> (8 * i));
}
inline uint16_t R16(const uint8_t* p, size_t o) { return uint16_t(p[o] | (p[o + 1] << 8)); }

constexpr size_t Align8(size_t v) { return (v + 7) & ~size_t(7); }
constexpr uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
constexpr bool IsPow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
int Log2(uint64_t v) {
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

void SetError(std::string* error, const std::string& msg) {
    if (error) *error = msg;
}

std::u16string ToUtf16(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t c = uint8_t(s[i]);
        uint32_t cp = 0, minCp = 0;
        size_t len = 0;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
            minCp = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
            minCp = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
            minCp = 0x10000;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            uint8_t cc = uint8_t(s[i + k]);
            if ((cc & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += len;
        if (cp < minCp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

void WriteName(uint8_t* p, size_t o, const std::u16string& name) {
    for (size_t i = 0; i < name.size(); ++i) W16(p, o + 2 * i, uint16_t(name[i]));
}

// The upper-case mapping used for $UpCase and for sorting index entries:
// ASCII and Latin-1 letters; everything else maps to itself.
char16_t UpCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
    if (c == 0xFF) return char16_t(0x178);
    return c;
}

// NTFS name order: upper-cased UTF-16 first, the exact units break ties.
bool NameLess(const std::u16string& a, const std::u16string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = UpCase(a[i]), y = UpCase(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

// ---------------------------------------------------------------- attribute writers

size_t ResidentLen(size_t nameUnits, size_t valueLen) {
    return Align8(Align8(0x18 + 2 * nameUnits) + valueLen);
}

void WriteResidentAt(uint8_t* p, uint32_t type, const std::u16string& name, uint16_t flags,
                     uint16_t id, uint8_t indexed, const uint8_t* v, size_t len) {
    size_t voff = Align8(0x18 + 2 * name.size());
    size_t total = Align8(voff + len);
    std::memset(p, 0, total);
    W32(p, 0x00, type);
    W32(p, 0x04, uint32_t(total));
    W8(p, 0x08, 0);
    W8(p, 0x09, uint8_t(name.size()));
    W16(p, 0x0A, 0x18);
    W16(p, 0x0C, flags);
    W16(p, 0x0E, id);
    W32(p, 0x10, uint32_t(len));
    W16(p, 0x14, uint16_t(voff));
    W8(p, 0x16, indexed);
    WriteName(p, 0x18, name);
    if (len) std::memcpy(p + voff, v, len);
}

struct NrFields {
    uint32_t type = kAttrData;
    std::u16string name;
    uint16_t flags = 0;
    uint16_t id = 0;
    uint64_t lowest = 0, highest = 0;
    uint16_t compressionUnit = 0;
    uint64_t alloc = 0, data = 0, init = 0, compressed = 0;
    bool hasCompressed = false;
};

size_t NonResidentLen(size_t nameUnits, bool hasCompressed, size_t mpLen) {
    size_t nameOff = hasCompressed ? 0x48 : 0x40;
    return Align8(Align8(nameOff + 2 * nameUnits) + mpLen);
}

void WriteNonResidentAt(uint8_t* p, const NrFields& f, const uint8_t* mp, size_t mpLen) {
    size_t nameOff = f.hasCompressed ? 0x48 : 0x40;
    size_t mpOff = Align8(nameOff + 2 * f.name.size());
    size_t total = Align8(mpOff + mpLen);
    std::memset(p, 0, total);
    W32(p, 0x00, f.type);
    W32(p, 0x04, uint32_t(total));
    W8(p, 0x08, 1);
    W8(p, 0x09, uint8_t(f.name.size()));
    W16(p, 0x0A, uint16_t(nameOff));
    W16(p, 0x0C, f.flags);
    W16(p, 0x0E, f.id);
    W64(p, 0x10, f.lowest);
    W64(p, 0x18, f.highest);
    W16(p, 0x20, uint16_t(mpOff));
    W16(p, 0x22, f.compressionUnit);
    W64(p, 0x28, f.alloc);
    W64(p, 0x30, f.data);
    W64(p, 0x38, f.init);
    if (f.hasCompressed) W64(p, 0x40, f.compressed);
    WriteName(p, nameOff, f.name);
    if (mpLen) std::memcpy(p + mpOff, mp, mpLen);
}

// ---------------------------------------------------------------- record header

uint16_t UsaCountOf(const MftRecord& r) {
    return r.usaCount.value_or(uint16_t(r.recordSize / 512 + 1));
}

uint16_t FirstAttrOffsetOf(const MftRecord& r) {
    return r.firstAttrOffset.value_or(uint16_t(Align8(r.usaOffset + 2u * UsaCountOf(r))));
}

// Header fields; `end` is where the attributes stop (the end marker goes there).
void WriteHeader(uint8_t* b, size_t size, const MftRecord& r, size_t end, uint16_t nextId) {
    for (size_t i = 0; i < 4; ++i) b[i] = i < r.signature.size() ? uint8_t(r.signature[i]) : 0;
    W16(b, 0x04, r.usaOffset);
    W16(b, 0x06, UsaCountOf(r));
    W64(b, 0x08, r.lsn);
    W16(b, 0x10, r.sequence);
    W16(b, 0x12, r.linkCount);
    W16(b, 0x14, FirstAttrOffsetOf(r));
    W16(b, 0x16, r.flags);
    size_t inUse = r.endMarker ? Align8(end + 8) : Align8(end);
    W32(b, 0x18, r.bytesInUse.value_or(uint32_t(inUse)));
    W32(b, 0x1C, r.allocatedSize.value_or(r.recordSize));
    W48(b, 0x20, r.baseRecord);
    W16(b, 0x26, r.baseSequence);
    W16(b, 0x28, nextId);
    W16(b, 0x2A, 0);
    W32(b, 0x2C, r.recordNumber);
    if (r.endMarker && end + 8 <= size) {
        W32(b, end, kAttrEnd);
        W32(b, end + 4, 0);
    }
}

// Appends attributes inside a record buffer, keeping 8 bytes for the end marker.
struct RecW {
    uint8_t* b = nullptr;
    size_t size = 0;
    size_t pos = 0;
    uint16_t nextId = 0;
    bool overflow = false;
    bool signedLengths = true;  // run lengths never set their top bit

    uint8_t* Take(size_t n) {
        if (overflow || pos + n + 8 > size) {
            overflow = true;
            return nullptr;
        }
        uint8_t* p = b + pos;
        pos += n;
        return p;
    }
};

uint16_t AddRes(RecW& w, uint32_t type, const std::u16string& name, const uint8_t* v, size_t len,
                uint8_t indexed = 0, uint16_t flags = 0) {
    uint16_t id = w.nextId++;
    if (uint8_t* p = w.Take(ResidentLen(name.size(), len)))
        WriteResidentAt(p, type, name, flags, id, indexed, v, len);
    return id;
}

uint16_t AddRes(RecW& w, uint32_t type, const std::u16string& name,
                const std::vector<uint8_t>& v, uint8_t indexed = 0) {
    return AddRes(w, type, name, v.data(), v.size(), indexed);
}

// A non-resident attribute over `runs`; sizes as given.
uint16_t AddNonRes(RecW& w, uint32_t type, const std::u16string& name, const std::vector<Run>& runs,
                   uint64_t lowest, uint64_t alloc, uint64_t data, uint64_t init) {
    RunlistOptions opt;
    opt.signedLengths = w.signedLengths;
    NrFields f;
    f.type = type;
    f.name = name;
    f.id = w.nextId++;
    f.lowest = lowest;
    f.highest = lowest + RunClusters(runs) - 1;
    f.alloc = alloc;
    f.data = data;
    f.init = init;
    std::vector<uint8_t> mp = EncodeRunlist(runs, opt);
    if (uint8_t* p = w.Take(NonResidentLen(name.size(), false, mp.size())))
        WriteNonResidentAt(p, f, mp.data(), mp.size());
    return f.id;
}

std::vector<Run> OneRun(uint64_t lcn, uint64_t clusters) {
    if (clusters == 0) return {};
    return {Run{int64_t(lcn), clusters}};
}

// ---------------------------------------------------------------- index entries

void AppendIndexEntry(std::vector<uint8_t>& out, uint64_t ref, const uint8_t* key, size_t keyLen,
                      int64_t childVcn, bool last) {
    size_t len = Align8(0x10 + keyLen) + (childVcn >= 0 ? 8 : 0);
    size_t o = out.size();
    out.resize(o + len, 0);
    uint8_t* p = out.data() + o;
    W64(p, 0x00, ref);
    W16(p, 0x08, uint16_t(len));
    W16(p, 0x0A, uint16_t(keyLen));
    W16(p, 0x0C, uint16_t((childVcn >= 0 ? 1 : 0) | (last ? 2 : 0)));
    if (keyLen) std::memcpy(p + 0x10, key, keyLen);
    if (childVcn >= 0) W64(p, len - 8, uint64_t(childVcn));
}

size_t IndexEntryLen(size_t keyLen, bool child) { return Align8(0x10 + keyLen) + (child ? 8 : 0); }

uint8_t IndexBlockField(uint32_t indexRecordSize, uint32_t clusterSize) {
    if (indexRecordSize >= clusterSize) return uint8_t(indexRecordSize / clusterSize);
    return uint8_t(indexRecordSize / 512);
}

// Root value header (0x20 bytes) followed by `entries`.
std::vector<uint8_t> MakeIndexRoot(const std::vector<uint8_t>& entries, bool large,
                                   uint32_t indexRecordSize, uint32_t clusterSize,
                                   uint32_t indexedType, uint32_t collation) {
    std::vector<uint8_t> v(0x20 + entries.size(), 0);
    uint8_t* p = v.data();
    W32(p, 0x00, indexedType);
    W32(p, 0x04, collation);
    W32(p, 0x08, indexRecordSize);
    W8(p, 0x0C, IndexBlockField(indexRecordSize, clusterSize));
    W32(p, 0x10, 0x10);
    W32(p, 0x14, uint32_t(0x10 + entries.size()));
    W32(p, 0x18, uint32_t(0x10 + entries.size()));
    W8(p, 0x1C, large ? 1 : 0);
    if (!entries.empty()) std::memcpy(p + 0x20, entries.data(), entries.size());
    return v;
}

}  // namespace

// ================================================================ public: bytes

void PutU8(std::vector<uint8_t>& b, size_t off, uint8_t v) {
    if (b.size() < off + 1) b.resize(off + 1);
    W8(b.data(), off, v);
}
void PutU16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
    if (b.size() < off + 2) b.resize(off + 2);
    W16(b.data(), off, v);
}
void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    if (b.size() < off + 4) b.resize(off + 4);
    W32(b.data(), off, v);
}
void PutU48(std::vector<uint8_t>& b, size_t off, uint64_t v) {
    if (b.size() < off + 6) b.resize(off + 6);
    W48(b.data(), off, v);
}
void PutU64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
    if (b.size() < off + 8) b.resize(off + 8);
    W64(b.data(), off, v);
}
void PutBytes(std::vector<uint8_t>& b, size_t off, const std::vector<uint8_t>& bytes) {
    if (b.size() < off + bytes.size()) b.resize(off + bytes.size());
    if (!bytes.empty()) std::memcpy(b.data() + off, bytes.data(), bytes.size());
}

uint16_t GetU16(const std::vector<uint8_t>& b, size_t off) {
    return off + 2 <= b.size() ? R16(b.data(), off) : 0;
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t off) {
    if (off + 4 > b.size()) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b[off + i];
    return v;
}
uint64_t GetU64(const std::vector<uint8_t>& b, size_t off) {
    if (off + 8 > b.size()) return 0;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[off + i];
    return v;
}

std::vector<uint8_t> Utf16le(const std::string& utf8) {
    std::u16string u = ToUtf16(utf8);
    std::vector<uint8_t> out(u.size() * 2);
    WriteName(out.data(), 0, u);
    return out;
}

// ================================================================ public: runlists

int SignedByteCount(int64_t v) {
    int n = 1;
    while (n < 8) {
        int64_t hi = (int64_t(1) << (8 * n - 1)) - 1;
        int64_t lo = -hi - 1;
        if (v >= lo && v <= hi) break;
        ++n;
    }
    return n;
}

int UnsignedByteCount(uint64_t v) {
    int n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    return n;
}

std::vector<uint8_t> EncodeRunlist(const std::vector<Run>& runs, const RunlistOptions& opt) {
    std::vector<uint8_t> out;
    out.reserve(runs.size() * 8 + 1);
    int64_t prev = 0;
    for (const Run& r : runs) {
        int lenBytes = opt.signedLengths ? SignedByteCount(int64_t(r.length))
                                         : UnsignedByteCount(r.length);
        if (r.lcn < 0) {
            out.push_back(uint8_t(lenBytes));
            for (int i = 0; i < lenBytes; ++i) out.push_back(uint8_t(r.length >> (8 * i)));
            continue;
        }
        int64_t delta = r.lcn - prev;
        int offBytes = SignedByteCount(delta);
        out.push_back(uint8_t((offBytes << 4) | lenBytes));
        for (int i = 0; i < lenBytes; ++i) out.push_back(uint8_t(r.length >> (8 * i)));
        for (int i = 0; i < offBytes; ++i) out.push_back(uint8_t(uint64_t(delta) >> (8 * i)));
        prev = r.lcn;
    }
    if (opt.terminator) out.push_back(0);
    return out;
}

uint64_t RunClusters(const std::vector<Run>& runs) {
    uint64_t n = 0;
    for (const Run& r : runs) n += r.length;
    return n;
}

// ================================================================ public: attributes

std::vector<uint8_t> EncodeResident(const ResidentAttr& a, uint16_t id) {
    std::u16string name = ToUtf16(a.name);
    std::vector<uint8_t> out(ResidentLen(name.size(), a.value.size()));
    WriteResidentAt(out.data(), a.type, name, a.flags, id, a.indexedFlag, a.value.data(),
                    a.value.size());
    return out;
}

std::vector<uint8_t> EncodeNonResident(const NonResidentAttr& a, uint16_t id) {
    NrFields f;
    f.type = a.type;
    f.name = ToUtf16(a.name);
    f.flags = a.flags;
    f.id = id;
    uint64_t clusters = RunClusters(a.runs);
    f.lowest = a.lowestVcn;
    f.highest = a.highestVcn.value_or(a.lowestVcn + clusters - 1);
    f.compressionUnit = a.compressionUnit;
    f.alloc = a.allocatedSize.value_or(clusters * a.clusterSize);
    f.data = a.dataSize.value_or(f.alloc);
    f.init = a.initializedSize.value_or(f.data);
    f.hasCompressed = a.compressionUnit != 0 || a.compressedSize.has_value();
    f.compressed = a.compressedSize.value_or(f.alloc);
    std::vector<uint8_t> mp =
        a.rawMappingPairs ? *a.rawMappingPairs : EncodeRunlist(a.runs, a.runlistOptions);
    std::vector<uint8_t> out(NonResidentLen(f.name.size(), f.hasCompressed, mp.size()));
    WriteNonResidentAt(out.data(), f, mp.data(), mp.size());
    return out;
}

std::vector<uint8_t> StandardInformationValue(const StandardInfo& si) {
    std::vector<uint8_t> v(si.ntfs3Fields ? 0x48 : 0x30, 0);
    uint8_t* p = v.data();
    W64(p, 0x00, si.created);
    W64(p, 0x08, si.modified);
    W64(p, 0x10, si.mftModified);
    W64(p, 0x18, si.accessed);
    W32(p, 0x20, si.fileAttributes);
    W32(p, 0x24, si.maxVersions);
    W32(p, 0x28, si.version);
    W32(p, 0x2C, si.classId);
    if (si.ntfs3Fields) {
        W32(p, 0x30, si.ownerId);
        W32(p, 0x34, si.securityId);
        W64(p, 0x38, si.quotaCharged);
        W64(p, 0x40, si.usn);
    }
    return v;
}

std::vector<uint8_t> FileNameValue(const FileNameInfo& fn) {
    std::u16string name = ToUtf16(fn.name);
    std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
    uint8_t* p = v.data();
    W64(p, 0x00, FileRef(fn.parentRecord, fn.parentSequence));
    W64(p, 0x08, fn.created);
    W64(p, 0x10, fn.modified);
    W64(p, 0x18, fn.mftModified);
    W64(p, 0x20, fn.accessed);
    W64(p, 0x28, fn.allocatedSize);
    W64(p, 0x30, fn.realSize);
    W32(p, 0x38, fn.flags);
    W32(p, 0x3C, fn.reparseValue);
    W8(p, 0x40, uint8_t(name.size()));
    W8(p, 0x41, fn.nameSpace);
    WriteName(p, 0x42, name);
    return v;
}

std::vector<uint8_t> VolumeInformationValue(uint8_t major, uint8_t minor, uint16_t flags) {
    std::vector<uint8_t> v(12, 0);
    W8(v.data(), 8, major);
    W8(v.data(), 9, minor);
    W16(v.data(), 10, flags);
    return v;
}

std::vector<uint8_t> AttributeListValue(const std::vector<AttrListEntry>& entries) {
    std::vector<uint8_t> out;
    for (const AttrListEntry& e : entries) {
        std::u16string name = ToUtf16(e.name);
        size_t len = Align8(0x1A + 2 * name.size());
        size_t o = out.size();
        out.resize(o + len, 0);
        uint8_t* p = out.data() + o;
        W32(p, 0x00, e.type);
        W16(p, 0x04, e.entryLength.value_or(uint16_t(len)));
        W8(p, 0x06, uint8_t(name.size()));
        W8(p, 0x07, 0x1A);
        W64(p, 0x08, e.startVcn);
        W64(p, 0x10, FileRef(e.record, e.sequence));
        W16(p, 0x18, e.attrId);
        WriteName(p, 0x1A, name);
    }
    return out;
}

std::vector<uint8_t> IndexRootValue(const std::vector<IndexEntryDesc>& entries,
                                    uint32_t indexRecordSize, uint32_t clusterSize,
                                    uint32_t indexedType, uint32_t collation) {
    std::vector<uint8_t> body;
    for (const IndexEntryDesc& e : entries)
        AppendIndexEntry(body, FileRef(e.record, e.sequence), e.key.data(), e.key.size(), -1,
                         false);
    AppendIndexEntry(body, 0, nullptr, 0, -1, true);
    return MakeIndexRoot(body, false, indexRecordSize, clusterSize, indexedType, collation);
}

// ================================================================ public: records

uint16_t AddResident(MftRecord& r, const ResidentAttr& a) {
    uint16_t id = a.id ? *a.id : r.nextAttrId++;
    std::vector<uint8_t> bytes = EncodeResident(a, id);
    r.attributes.insert(r.attributes.end(), bytes.begin(), bytes.end());
    return id;
}

uint16_t AddNonResident(MftRecord& r, const NonResidentAttr& a) {
    uint16_t id = a.id ? *a.id : r.nextAttrId++;
    std::vector<uint8_t> bytes = EncodeNonResident(a, id);
    r.attributes.insert(r.attributes.end(), bytes.begin(), bytes.end());
    return id;
}

void AddRawAttribute(MftRecord& r, const std::vector<uint8_t>& bytes) {
    r.attributes.insert(r.attributes.end(), bytes.begin(), bytes.end());
}

void ApplyFixups(uint8_t* rec, size_t size, uint16_t usaOffset, uint16_t usaCount, uint16_t usn) {
    if (size_t(usaOffset) + 2 > size) return;
    W16(rec, usaOffset, usn);
    for (size_t i = 1; i < usaCount; ++i) {
        size_t slot = usaOffset + 2 * i;
        size_t end = i * 512 - 2;
        if (slot + 2 > size || end + 2 > size) break;
        rec[slot] = rec[end];
        rec[slot + 1] = rec[end + 1];
        W16(rec, end, usn);
    }
}

void ApplyFixups(std::vector<uint8_t>& rec, uint16_t usaOffset, uint16_t usaCount, uint16_t usn) {
    ApplyFixups(rec.data(), rec.size(), usaOffset, usaCount, usn);
}

void CorruptStride(std::vector<uint8_t>& rec, uint16_t usaOffset, size_t stride) {
    size_t end = (stride + 1) * 512 - 2;
    if (end + 2 > rec.size()) return;
    uint16_t usn = GetU16(rec, usaOffset);
    W16(rec.data(), end, uint16_t(usn ^ 0xFFFF));
}

MftRecord BaseRecord(uint32_t number, const std::string& name) {
    MftRecord r;
    r.recordNumber = number;
    ResidentAttr si;
    si.type = kAttrStandardInformation;
    si.value = StandardInformationValue({});
    AddResident(r, si);
    FileNameInfo fn;
    fn.name = name;
    ResidentAttr fnAttr;
    fnAttr.type = kAttrFileName;
    fnAttr.value = FileNameValue(fn);
    AddResident(r, fnAttr);
    return r;
}

std::vector<uint8_t> BuildRecord(const MftRecord& r, std::string* error) {
    size_t size = r.recordSize;
    if (size < 0x30) {
        SetError(error, "record size below 48 bytes");
        return {};
    }
    size_t first = FirstAttrOffsetOf(r);
    size_t end = first + r.attributes.size();
    if (end + (r.endMarker ? 8 : 0) > size) {
        SetError(error, "attributes do not fit in the record");
        return {};
    }
    std::vector<uint8_t> out(size, 0);
    if (!r.attributes.empty()) std::memcpy(out.data() + first, r.attributes.data(), r.attributes.size());
    WriteHeader(out.data(), size, r, end, r.nextAttrId);
    if (r.fixups == Fixups::Apply) ApplyFixups(out, r.usaOffset, UsaCountOf(r), r.usn);
    if (r.corruptStride >= 0) CorruptStride(out, r.usaOffset, size_t(r.corruptStride));
    return out;
}

// ================================================================ public: boot sector

uint8_t EncodeSectorsPerCluster(uint32_t sectorsPerCluster) {
    if (sectorsPerCluster <= 128) return uint8_t(sectorsPerCluster);
    return uint8_t(256 - Log2(sectorsPerCluster));
}

uint8_t EncodeClustersPerRecord(uint32_t recordBytes, uint32_t clusterSize) {
    if (recordBytes >= clusterSize) return uint8_t(recordBytes / clusterSize);
    return uint8_t(256 - Log2(recordBytes));
}

std::vector<uint8_t> BootSectorBytes(const BootSector& b, uint32_t size) {
    std::vector<uint8_t> v(std::max<uint32_t>(size, 512), 0);
    uint8_t* p = v.data();
    p[0] = 0xEB;
    p[1] = 0x52;
    p[2] = 0x90;
    for (size_t i = 0; i < 8; ++i) p[3 + i] = i < b.oemId.size() ? uint8_t(b.oemId[i]) : ' ';
    W16(p, 0x0B, b.bytesPerSector);
    W8(p, 0x0D, b.sectorsPerCluster);
    W8(p, 0x15, b.media);
    W16(p, 0x18, 0x3F);
    W16(p, 0x1A, 0xFF);
    W32(p, 0x24, 0x00800080);
    W64(p, 0x28, b.totalSectors);
    W64(p, 0x30, b.mftLcn);
    W64(p, 0x38, b.mftMirrLcn);
    W8(p, 0x40, b.clustersPerRecord);
    W8(p, 0x44, b.clustersPerIndex);
    W64(p, 0x48, b.serial);
    W16(p, 0x1FE, b.endSignature);
    return v;
}

// ================================================================ volumes

namespace {

enum Kind : uint8_t { kUnused, kSystem, kFile, kImage, kZero, kGarbage, kMftExt };

constexpr uint32_t kSysOwner = 0x80000000u;
constexpr uint64_t kBootBytes = 8192;
constexpr uint64_t kUpcaseBytes = 131072;
constexpr size_t kBitmapResidentMax = 64;
constexpr uint64_t kAttrDefBytes = 2560;

struct AttrDefRow {
    const char* name;
    uint32_t type, flags;
    uint64_t minSize, maxSize;
};
// The NTFS 3.1 attribute definitions (flags: 2 indexable, 0x40 resident, 0x80 may be non-resident).
const AttrDefRow kAttrDefs[] = {
    {"$STANDARD_INFORMATION", 0x10, 0x40, 0x30, 0x48},
    {"$ATTRIBUTE_LIST", 0x20, 0x80, 0, UINT64_MAX},
    {"$FILE_NAME", 0x30, 0x42, 0x44, 0x242},
    {"$OBJECT_ID", 0x40, 0x40, 0, 0x100},
    {"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, UINT64_MAX},
    {"$VOLUME_NAME", 0x60, 0x40, 2, 0x100},
    {"$VOLUME_INFORMATION", 0x70, 0x40, 0x0C, 0x0C},
    {"$DATA", 0x80, 0x00, 0, UINT64_MAX},
    {"$INDEX_ROOT", 0x90, 0x40, 0, UINT64_MAX},
    {"$INDEX_ALLOCATION", 0xA0, 0x80, 0, UINT64_MAX},
    {"$BITMAP", 0xB0, 0x80, 0, UINT64_MAX},
    {"$REPARSE_POINT", 0xC0, 0x80, 0, 0x4000},
    {"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
    {"$EA", 0xE0, 0x00, 0, 0x10000},
    {"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 0x10000},
};

std::vector<uint8_t> AttrDefTable() {
    std::vector<uint8_t> t(kAttrDefBytes, 0);
    size_t o = 0;
    for (const AttrDefRow& r : kAttrDefs) {
        WriteName(t.data(), o, ToUtf16(r.name));
        W32(t.data(), o + 0x80, r.type);
        W32(t.data(), o + 0x88, r.type == kAttrFileName ? 1 : 0);  // collation
        W32(t.data(), o + 0x8C, r.flags);
        W64(t.data(), o + 0x90, r.minSize);
        W64(t.data(), o + 0x98, r.maxSize);
        o += 0xA0;
    }
    return t;
}

const char* const kSystemNames[12] = {"$MFT",    "$MFTMirr", "$LogFile", "$Volume",
                                      "$AttrDef", ".",        "$Bitmap",  "$Boot",
                                      "$BadClus", "$Secure",  "$UpCase",  "$Extend"};

struct ChildRef {
    uint32_t owner;   // index in VolumeDesc::files, or kSysOwner | system record
    uint16_t link;    // 0 = the primary name, k = links[k - 1]
    uint16_t keyLen;  // $FILE_NAME value length
};

struct Item {
    uint32_t entry;   // index in DirIndex::entries
    int64_t child;    // node number, -1 = none
};

struct Node {
    std::vector<Item> items;
    int64_t endChild = -1;
};

struct DirIndex {
    uint64_t record = 0;
    bool inUse = true;
    std::vector<ChildRef> entries;  // sorted
    bool large = false;
    std::vector<Item> rootItems;
    int64_t rootEndChild = -1;
    std::vector<Node> nodes;
    uint64_t iaLcn = 0, iaClusters = 0;
    uint64_t bmBytes = 0;
    bool bmNonResident = false;
    uint64_t bmLcn = 0, bmClusters = 0;
};

struct Plan {
    const VolumeDesc* d = nullptr;
    uint32_t ss = 0, cs = 0, rs = 0, irs = 0;
    uint64_t bootClusters = 0;
    std::vector<Run> mftRuns, mftExt1, mftExt2;
    bool split = false;
    uint64_t recordCount = 0, mftAlloc = 0, mftData = 0;
    uint64_t mirrLcn = 0, mirrClusters = 0;
    uint64_t mftBmLcn = 0, mftBmClusters = 0, mftBmBytes = 0;
    uint64_t upLcn = 0, upClusters = 0;
    uint64_t adLcn = 0, adClusters = 0;
    uint64_t sdsLcn = 0, sdsClusters = 0;
    uint64_t bmLcn = 0, bmClusters = 0, bmBytes = 0;
    uint64_t total = 0, imageBytes = 0;
    uint64_t cursor = 0;
    std::vector<uint8_t> kind;
    std::vector<uint32_t> slot;
    std::vector<FileLayout> files;
    std::vector<int32_t> dirOf;  // per record: index in dirs, -1
    std::vector<DirIndex> dirs;
    std::vector<std::pair<uint64_t, uint64_t>> used;  // in-use cluster extents
    std::vector<size_t> patchOrder;                   // recordPatches sorted by record

    uint64_t Alloc(uint64_t clusters, bool inUse) {
        uint64_t lcn = cursor;
        cursor += clusters;
        if (inUse && clusters) used.push_back({lcn, clusters});
        return lcn;
    }
};

bool HasUnnamedData(const FileDesc& fd) {
    return !fd.directory || !fd.data.empty() || fd.nonResident;
}

uint16_t SysSeq(uint64_t rec) { return rec == 0 ? 1 : uint16_t(rec); }

uint16_t SeqOf(const Plan& p, uint64_t rec) {
    if (rec < kFirstUserRecord) return SysSeq(rec);
    if (rec < p.recordCount && p.kind[rec] == kFile) return p.d->files[p.slot[rec]].sequence;
    return 1;
}

// Index of `name` in a file's stream list ("" first when present).
const StreamLayout* FindStream(const FileLayout& fl, const std::string& name) {
    for (const StreamLayout& s : fl.streams)
        if (s.name == name) return &s;
    return nullptr;
}

std::vector<uint8_t> UserFileName(const Plan& p, uint32_t f, uint16_t link) {
    const FileDesc& fd = p.d->files[f];
    const FileLayout& fl = p.files[f];
    FileNameInfo fn;
    fn.parentRecord = link == 0 ? fd.parent : fd.links[link - 1].parent;
    fn.parentSequence = SeqOf(p, fn.parentRecord);
    const StandardInfo& times = fd.nameTimes ? *fd.nameTimes : fd.info;
    fn.created = times.created;
    fn.modified = times.modified;
    fn.mftModified = times.mftModified;
    fn.accessed = times.accessed;
    if (const StreamLayout* s = FindStream(fl, "")) {
        fn.realSize = s->size;
        fn.allocatedSize = s->nonResident ? s->clusters * p.cs : Align8(s->size);
    }
    fn.flags = fd.info.fileAttributes | (fd.directory ? 0x10000000u : 0u);
    fn.nameSpace = link == 0 ? fd.nameSpace : fd.links[link - 1].nameSpace;
    fn.name = link == 0 ? fd.name : fd.links[link - 1].name;
    return FileNameValue(fn);
}

void SysDataSizes(const Plan& p, uint64_t rec, uint64_t& alloc, uint64_t& real) {
    alloc = real = 0;
    switch (rec) {
        case 0: alloc = p.mftAlloc; real = p.mftData; break;
        case 1: alloc = p.mirrClusters * p.cs; real = 4ull * p.rs; break;
        case 6: alloc = p.bmClusters * p.cs; real = p.bmBytes; break;
        case 7: alloc = real = p.bootClusters * p.cs; break;
        case 10: alloc = p.upClusters * p.cs; real = kUpcaseBytes; break;
        case 4: alloc = p.adClusters * p.cs; real = kAttrDefBytes; break;
        default: break;
    }
}

std::vector<uint8_t> SysFileName(const Plan& p, uint64_t rec) {
    FileNameInfo fn;
    fn.parentRecord = kRootRecord;
    fn.parentSequence = SysSeq(kRootRecord);
    SysDataSizes(p, rec, fn.allocatedSize, fn.realSize);
    fn.flags = 0x06 | ((rec == 5 || rec == 11) ? 0x10000000u : 0u);
    fn.nameSpace = kNameWin32AndDos;
    fn.name = kSystemNames[rec];
    return FileNameValue(fn);
}

std::vector<uint8_t> KeyOf(const Plan& p, const ChildRef& c) {
    if (c.owner & kSysOwner) return SysFileName(p, c.owner & ~kSysOwner);
    return UserFileName(p, c.owner, c.link);
}

uint64_t RefOf(const Plan& p, const ChildRef& c) {
    if (c.owner & kSysOwner) {
        uint64_t rec = c.owner & ~kSysOwner;
        return FileRef(rec, SysSeq(rec));
    }
    return FileRef(p.files[c.owner].record, p.files[c.owner].sequence);
}

uint64_t VcnUnit(const Plan& p) { return p.irs >= p.cs ? p.cs : 512; }

int64_t NodeVcn(const Plan& p, int64_t node) {
    if (node < 0) return -1;
    return node * int64_t(p.irs / VcnUnit(p));
}

std::vector<uint8_t> EntriesBytes(const Plan& p, const DirIndex& di, const std::vector<Item>& items,
                                  int64_t endChild) {
    std::vector<uint8_t> out;
    for (const Item& it : items) {
        const ChildRef& c = di.entries[it.entry];
        std::vector<uint8_t> key = KeyOf(p, c);
        AppendIndexEntry(out, RefOf(p, c), key.data(), key.size(), NodeVcn(p, it.child), false);
    }
    AppendIndexEntry(out, 0, nullptr, 0, NodeVcn(p, endChild), true);
    return out;
}

void EmitIndexAttrs(const Plan& p, RecW& w, const DirIndex& di) {
    static const std::u16string kI30 = u"$I30";
    std::vector<uint8_t> body = EntriesBytes(p, di, di.rootItems, di.rootEndChild);
    AddRes(w, kAttrIndexRoot, kI30,
           MakeIndexRoot(body, di.large, p.irs, p.cs, kAttrFileName, 1));
    if (!di.large) return;
    uint64_t data = di.nodes.size() * uint64_t(p.irs);
    AddNonRes(w, kAttrIndexAllocation, kI30, OneRun(di.iaLcn, di.iaClusters), 0,
              di.iaClusters * p.cs, data, data);
    if (di.bmNonResident) {
        AddNonRes(w, kAttrBitmap, kI30, OneRun(di.bmLcn, di.bmClusters), 0, di.bmClusters * p.cs,
                  di.bmBytes, di.bmBytes);
    } else {
        std::vector<uint8_t> bits(di.bmBytes, 0);
        for (size_t i = 0; i < di.nodes.size(); ++i) bits[i / 8] |= uint8_t(1u << (i % 8));
        AddRes(w, kAttrBitmap, kI30, bits);
    }
}

StandardInfo SysInfo() {
    StandardInfo si;
    si.fileAttributes = 0x06;
    return si;
}

// Writes the attributes of a built record into `w` and fills the header in `h`.
// measureOnly: directories leave out their index (to size their root).
void EmitAttributes(const Plan& p, uint64_t rec, RecW& w, MftRecord& h, bool measureOnly) {
    const VolumeDesc& d = *p.d;
    static const std::u16string kNone;
    Kind k = Kind(p.kind[rec]);
    if (k == kUnused) {
        h.sequence = 0;
        h.linkCount = 0;
        h.flags = 0;
        return;
    }
    if (k == kMftExt) {
        h.sequence = SeqOf(p, rec);
        h.linkCount = 0;
        h.baseRecord = 0;
        h.baseSequence = SysSeq(0);
        AddNonRes(w, kAttrData, kNone, p.mftExt2, RunClusters(p.mftExt1), 0, 0, 0);
        return;
    }
    if (k == kFile) {
        uint32_t f = p.slot[rec];
        const FileDesc& fd = d.files[f];
        const FileLayout& fl = p.files[f];
        uint16_t names = fd.nameSpace == kNameDos ? 0 : 1;
        for (const LinkDesc& l : fd.links) names += l.nameSpace == kNameDos ? 0 : 1;
        h.sequence = fd.sequence;
        h.linkCount = fd.linkCount.value_or(names);
        h.flags = uint16_t((fd.inUse ? kRecordInUse : 0) | (fd.directory ? kRecordDirectory : 0));
        AddRes(w, kAttrStandardInformation, kNone, StandardInformationValue(fd.info));
        for (uint16_t l = 0; l <= fd.links.size(); ++l)
            AddRes(w, kAttrFileName, kNone, UserFileName(p, f, l), 1);
        // Attributes of one type go in name order (readers stop searching early).
        const size_t unnamed = HasUnnamedData(fd) ? 1 : 0;
        std::vector<std::u16string> streamNames(fl.streams.size());
        std::vector<size_t> order(fl.streams.size());
        for (size_t si = 0; si < fl.streams.size(); ++si) {
            streamNames[si] = ToUtf16(fl.streams[si].name);
            order[si] = si;
        }
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return NameLess(streamNames[a], streamNames[b]);
        });
        for (size_t si : order) {
            const StreamLayout& s = fl.streams[si];
            const std::vector<uint8_t>& bytes = si < unnamed ? fd.data : fd.streams[si - unnamed].data;
            const std::u16string& name = streamNames[si];
            if (s.nonResident)
                AddNonRes(w, kAttrData, name, OneRun(s.lcn, s.clusters), 0, s.clusters * p.cs,
                          s.size, s.size);
            else
                AddRes(w, kAttrData, name, bytes);
        }
        if (fd.directory && !measureOnly && p.dirOf[rec] >= 0)
            EmitIndexAttrs(p, w, p.dirs[size_t(p.dirOf[rec])]);
        return;
    }
    // System records 0..15.
    h.sequence = SysSeq(rec);
    h.linkCount = rec < 12 ? 1 : 0;
    h.flags = kRecordInUse | ((rec == 5 || rec == 11) ? kRecordDirectory : 0);
    StandardInfo si = SysInfo();
    if (rec >= 12) {
        AddRes(w, kAttrStandardInformation, kNone, StandardInformationValue(si));
        AddRes(w, kAttrData, kNone, nullptr, 0);
        return;
    }
    std::vector<uint8_t> fn = SysFileName(p, rec);
    if (rec == 0) {
        // Ids are fixed so the attribute list can name them.
        w.nextId = 0;
        std::vector<uint8_t> siv = StandardInformationValue(si);
        if (p.split) {
            std::vector<AttrListEntry> al = {
                {kAttrStandardInformation, {}, "", 0, 0, SysSeq(0), 0},
                {kAttrFileName, {}, "", 0, 0, SysSeq(0), 2},
                {kAttrData, {}, "", 0, 0, SysSeq(0), 3},
                {kAttrData, {}, "", RunClusters(p.mftExt1), d.mftExtensionRecord,
                 SeqOf(p, d.mftExtensionRecord), 0},
                {kAttrBitmap, {}, "", 0, 0, SysSeq(0), 4},
            };
            w.nextId = 0;
            AddRes(w, kAttrStandardInformation, kNone, siv);  // id 0
            AddRes(w, kAttrAttributeList, kNone, AttributeListValue(al));  // id 1
            AddRes(w, kAttrFileName, kNone, fn, 1);  // id 2
            AddNonRes(w, kAttrData, kNone, p.mftExt1, 0, p.mftAlloc, p.mftData, p.mftData);  // 3
        } else {
            AddRes(w, kAttrStandardInformation, kNone, siv);
            AddRes(w, kAttrFileName, kNone, fn, 1);
            AddNonRes(w, kAttrData, kNone, p.mftRuns, 0, p.mftAlloc, p.mftData, p.mftData);
        }
        AddNonRes(w, kAttrBitmap, kNone, OneRun(p.mftBmLcn, p.mftBmClusters), 0,
                  p.mftBmClusters * p.cs, p.mftBmBytes, p.mftBmBytes);
        return;
    }
    AddRes(w, kAttrStandardInformation, kNone, StandardInformationValue(si));
    AddRes(w, kAttrFileName, kNone, fn, 1);
    switch (rec) {
        case 1:
            AddNonRes(w, kAttrData, kNone, OneRun(p.mirrLcn, p.mirrClusters), 0,
                      p.mirrClusters * p.cs, 4ull * p.rs, 4ull * p.rs);
            break;
        case 3: {
            std::vector<uint8_t> label = Utf16le(d.volumeLabel);
            AddRes(w, kAttrVolumeName, kNone, label);
            if (d.volumeInformation)
                AddRes(w, kAttrVolumeInformation, kNone,
                       VolumeInformationValue(d.versionMajor, d.versionMinor));
            AddRes(w, kAttrData, kNone, nullptr, 0);
            break;
        }
        case 5:
        case 11:
            if (!measureOnly && p.dirOf[rec] >= 0) EmitIndexAttrs(p, w, p.dirs[size_t(p.dirOf[rec])]);
            break;
        case 6:
            AddNonRes(w, kAttrData, kNone, OneRun(p.bmLcn, p.bmClusters), 0, p.bmClusters * p.cs,
                      p.bmBytes, p.bmBytes);
            break;
        case 7:
            AddNonRes(w, kAttrData, kNone, OneRun(0, p.bootClusters), 0, p.bootClusters * p.cs,
                      p.bootClusters * p.cs, p.bootClusters * p.cs);
            break;
        case 8:
            AddRes(w, kAttrData, kNone, nullptr, 0);
            AddNonRes(w, kAttrData, u"$Bad", {Run{kSparse, p.total}}, 0, p.total * p.cs,
                      p.total * p.cs, p.total * p.cs);
            break;
        case 9: {
            if (d.sdsNonResident)
                AddNonRes(w, kAttrData, u"$SDS", OneRun(p.sdsLcn, p.sdsClusters), 0,
                          p.sdsClusters * p.cs, d.sds.size(), d.sds.size());
            else
                AddRes(w, kAttrData, u"$SDS", d.sds);
            std::vector<uint8_t> end;
            AppendIndexEntry(end, 0, nullptr, 0, -1, true);
            AddRes(w, kAttrIndexRoot, u"$SDH", MakeIndexRoot(end, false, p.irs, p.cs, 0, 0x12));
            AddRes(w, kAttrIndexRoot, u"$SII", MakeIndexRoot(end, false, p.irs, p.cs, 0, 0x10));
            break;
        }
        case 10:
            AddNonRes(w, kAttrData, kNone, OneRun(p.upLcn, p.upClusters), 0, p.upClusters * p.cs,
                      kUpcaseBytes, kUpcaseBytes);
            break;
        case 4:
            AddNonRes(w, kAttrData, kNone, OneRun(p.adLcn, p.adClusters), 0, p.adClusters * p.cs,
                      kAttrDefBytes, kAttrDefBytes);
            break;
        default:  // 2 $LogFile
            AddRes(w, kAttrData, kNone, nullptr, 0);
            break;
    }
}

MftRecord BaseHeader(const Plan& p, uint64_t rec) {
    MftRecord h;
    h.recordSize = p.rs;
    h.usn = p.d->usn;
    h.recordNumber = uint32_t(rec);
    return h;
}

void ApplyRecordPatches(const Plan& p, uint64_t rec, uint8_t* out, bool before) {
    const auto& patches = p.d->recordPatches;
    auto lo = std::lower_bound(p.patchOrder.begin(), p.patchOrder.end(), rec,
                               [&](size_t i, uint64_t r) { return patches[i].record < r; });
    for (auto it = lo; it != p.patchOrder.end() && patches[*it].record == rec; ++it) {
        const RecordPatch& rp = patches[*it];
        if (rp.beforeFixups != before) continue;
        for (size_t i = 0; i < rp.bytes.size() && rp.offset + i < p.rs; ++i)
            out[rp.offset + i] = rp.bytes[i];
    }
}

uint64_t SplitMix(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One complete record image at `out` (rs bytes). False (with error) on overflow.
bool EmitRecord(const Plan& p, uint64_t rec, uint8_t* out, std::string* error) {
    Kind k = Kind(p.kind[rec]);
    std::memset(out, 0, p.rs);
    if (k == kZero || k == kGarbage || k == kImage || (k == kUnused && !p.d->formatUnusedRecords)) {
        if (k == kGarbage) {
            uint64_t s = rec * 0x2545F4914F6CDD1Dull + 1;
            for (size_t i = 0; i < p.rs; i += 8) {
                uint64_t v = SplitMix(s);
                for (size_t j = 0; j < 8 && i + j < p.rs; ++j) out[i + j] = uint8_t(v >> (8 * j));
            }
        } else if (k == kImage) {
            const std::vector<uint8_t>& img = p.d->images[p.slot[rec]].bytes;
            std::memcpy(out, img.data(), std::min<size_t>(img.size(), p.rs));
        }
        ApplyRecordPatches(p, rec, out, true);
        ApplyRecordPatches(p, rec, out, false);
        return true;
    }
    MftRecord h = BaseHeader(p, rec);
    RecW w;
    w.b = out;
    w.size = p.rs;
    w.pos = FirstAttrOffsetOf(h);
    w.signedLengths = p.d->signedRunLengths;
    EmitAttributes(p, rec, w, h, false);
    if (w.overflow) {
        SetError(error, "record " + std::to_string(rec) + ": attributes do not fit");
        return false;
    }
    WriteHeader(out, p.rs, h, w.pos, w.nextId);
    ApplyRecordPatches(p, rec, out, true);
    ApplyFixups(out, p.rs, h.usaOffset, UsaCountOf(h), h.usn);
    ApplyRecordPatches(p, rec, out, false);
    return true;
}

// Bytes a record uses before its index attributes (incl. the end marker).
size_t MeasureWithoutIndex(const Plan& p, uint64_t rec) {
    std::vector<uint8_t> scratch(p.rs * 2, 0);
    MftRecord h = BaseHeader(p, rec);
    RecW w;
    w.b = scratch.data();
    w.size = scratch.size();
    w.pos = FirstAttrOffsetOf(h);
    w.signedLengths = p.d->signedRunLengths;
    EmitAttributes(p, rec, w, h, true);
    return w.pos + 8;
}

// Builds the B-tree of a directory whose root may hold `rootCap` bytes of
// entries. False when not even an end entry fits.
bool BuildTree(const Plan& p, DirIndex& di, int64_t rootCap) {
    const size_t blockCap = p.irs - Align8(0x28 + 2 * (p.irs / 512 + 1));
    auto itemLen = [&](const Item& it) {
        return IndexEntryLen(di.entries[it.entry].keyLen, it.child >= 0);
    };
    std::vector<Item> cur(di.entries.size());
    for (size_t i = 0; i < cur.size(); ++i) cur[i] = Item{uint32_t(i), -1};
    int64_t curEnd = -1;
    di.nodes.clear();
    for (;;) {
        size_t need = IndexEntryLen(0, curEnd >= 0);
        for (const Item& it : cur) need += itemLen(it);
        if (int64_t(need) <= rootCap) break;
        if (cur.empty() || rootCap < int64_t(IndexEntryLen(0, true))) return false;
        std::vector<Item> up;
        Node n;
        size_t size = IndexEntryLen(0, curEnd >= 0);
        for (const Item& it : cur) {
            size_t len = itemLen(it);
            if (!n.items.empty() && size + len > blockCap) {
                n.endChild = it.child;
                di.nodes.push_back(std::move(n));
                up.push_back(Item{it.entry, int64_t(di.nodes.size() - 1)});
                n = Node{};
                size = IndexEntryLen(0, curEnd >= 0);
                continue;
            }
            n.items.push_back(it);
            size += len;
        }
        n.endChild = curEnd;
        di.nodes.push_back(std::move(n));
        curEnd = int64_t(di.nodes.size() - 1);
        cur = std::move(up);
    }
    di.rootItems = std::move(cur);
    di.rootEndChild = curEnd;
    di.large = !di.nodes.empty();
    return true;
}

std::vector<uint8_t> IndexBlock(const Plan& p, const DirIndex& di, size_t node) {
    std::vector<uint8_t> b(p.irs, 0);
    uint16_t usaCount = uint16_t(p.irs / 512 + 1);
    size_t entriesOff = Align8(0x28 + 2 * usaCount);
    const Node& n = di.nodes[node];
    std::vector<uint8_t> body = EntriesBytes(p, di, n.items, n.endChild);
    std::memcpy(b.data(), "INDX", 4);
    W16(b.data(), 0x04, 0x28);
    W16(b.data(), 0x06, usaCount);
    W64(b.data(), 0x10, uint64_t(NodeVcn(p, int64_t(node))));
    W32(b.data(), 0x18, uint32_t(entriesOff - 0x18));
    W32(b.data(), 0x1C, uint32_t(entriesOff - 0x18 + body.size()));
    W32(b.data(), 0x20, uint32_t(p.irs - 0x18));
    W8(b.data(), 0x24, n.endChild >= 0 ? 1 : 0);
    std::memcpy(b.data() + entriesOff, body.data(), std::min(body.size(), p.irs - entriesOff));
    ApplyFixups(b.data(), b.size(), 0x28, usaCount, p.d->usn);
    return b;
}

bool PlanDirectory(Plan& p, DirIndex& di, std::string* error) {
    // Sort by upper-cased UTF-16 name, as NTFS collates file names.
    std::vector<std::u16string> keys(di.entries.size());
    for (size_t i = 0; i < di.entries.size(); ++i) {
        const ChildRef& c = di.entries[i];
        std::string name = (c.owner & kSysOwner) ? std::string(kSystemNames[c.owner & ~kSysOwner])
                           : c.link == 0 ? p.d->files[c.owner].name
                                         : p.d->files[c.owner].links[c.link - 1].name;
        keys[i] = ToUtf16(name);
    }
    std::vector<uint32_t> order(di.entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return NameLess(keys[a], keys[b]); });
    std::vector<ChildRef> sorted(order.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = di.entries[order[i]];
    di.entries = std::move(sorted);

    const int64_t overhead = int64_t(MeasureWithoutIndex(p, di.record)) + 0x40;
    const int64_t smallCap = int64_t(p.rs) - overhead;
    size_t all = IndexEntryLen(0, false);
    for (const ChildRef& c : di.entries) all += IndexEntryLen(c.keyLen, false);
    if (int64_t(all) <= smallCap) {
        di.rootItems.clear();
        for (size_t i = 0; i < di.entries.size(); ++i) di.rootItems.push_back(Item{uint32_t(i), -1});
        di.large = false;
        return true;
    }
    uint64_t bmBytes = 8;
    for (int round = 0; round < 8; ++round) {
        bool bmNr = bmBytes > kBitmapResidentMax;
        int64_t bmAttr = bmNr ? 0x60 : int64_t(0x20 + bmBytes);
        int64_t cap = smallCap - 0x60 - bmAttr;
        if (!BuildTree(p, di, cap)) {
            SetError(error, "record " + std::to_string(di.record) + ": no room for an index root");
            return false;
        }
        uint64_t actual = Align8(CeilDiv(di.nodes.size(), 8));
        bool actualNr = actual > kBitmapResidentMax;
        if ((actualNr ? 0x60 : int64_t(0x20 + actual)) <= bmAttr) {
            di.bmBytes = actual;
            di.bmNonResident = actualNr;
            uint64_t bytes = di.nodes.size() * uint64_t(p.irs);
            di.iaClusters = CeilDiv(bytes, p.cs);
            di.iaLcn = p.Alloc(di.iaClusters, di.inUse);
            if (di.bmNonResident) {
                di.bmClusters = CeilDiv(di.bmBytes, p.cs);
                di.bmLcn = p.Alloc(di.bmClusters, di.inUse);
            }
            return true;
        }
        bmBytes = actual;
    }
    SetError(error, "record " + std::to_string(di.record) + ": index layout does not settle");
    return false;
}

bool MakePlan(const VolumeDesc& d, Plan& p, std::string* error) {
    p.d = &d;
    const Geometry& g = d.geometry;
    p.ss = g.sectorSize;
    p.cs = g.clusterSize;
    p.rs = g.recordSize;
    p.irs = g.indexRecordSize;
    if (!IsPow2(p.ss) || p.ss < 512 || !IsPow2(p.cs) || p.cs < p.ss || !IsPow2(p.rs) ||
        p.rs < 256 || !IsPow2(p.irs) || p.irs < 512) {
        SetError(error, "bad geometry (sizes must be powers of two, cluster >= sector)");
        return false;
    }
    p.bootClusters = CeilDiv(kBootBytes, p.cs);

    // ---- record numbers
    const uint64_t extRec = d.mftSplitVcn > 0 ? d.mftExtensionRecord : UINT64_MAX;
    uint64_t maxRec = kFirstUserRecord - 1;
    if (extRec != UINT64_MAX) maxRec = std::max(maxRec, extRec);
    std::vector<uint8_t> taken(kFirstUserRecord, 1);
    auto take = [&](uint64_t r) {
        if (taken.size() <= r) taken.resize(r + 1, 0);
        if (taken[r]) return false;
        taken[r] = 1;
        return true;
    };
    for (uint64_t r = 12; r < kFirstUserRecord; ++r)
        if (r != extRec) taken[r] = 0;
    if (extRec != UINT64_MAX) take(extRec);
    p.files.resize(d.files.size());
    for (size_t i = 0; i < d.files.size(); ++i) {
        if (!d.files[i].record) continue;
        uint64_t r = *d.files[i].record;
        if (!take(r)) {
            SetError(error, "file " + std::to_string(i) + ": record " + std::to_string(r) +
                                " is already used");
            return false;
        }
        p.files[i].record = r;
        maxRec = std::max(maxRec, r);
    }
    for (const RecordImage& im : d.images) {  // images may replace system records
        take(im.record);
        maxRec = std::max(maxRec, im.record);
    }
    uint64_t next = kFirstUserRecord;
    for (size_t i = 0; i < d.files.size(); ++i) {
        if (d.files[i].record) continue;
        while (next < taken.size() && taken[next]) ++next;
        take(next);
        p.files[i].record = next;
        maxRec = std::max(maxRec, next);
    }
    for (uint64_t r : d.zeroRecords) maxRec = std::max(maxRec, r);
    for (uint64_t r : d.garbageRecords) maxRec = std::max(maxRec, r);
    uint64_t needRecords = std::max(maxRec + 1, d.minRecordCount);

    // ---- MFT placement
    if (d.mftRuns.empty()) {
        uint64_t lcn = d.mftLcn ? d.mftLcn : p.bootClusters;
        uint64_t clusters = CeilDiv(needRecords * p.rs, p.cs);
        p.mftRuns = {Run{int64_t(lcn), clusters}};
    } else {
        p.mftRuns = d.mftRuns;
    }
    uint64_t mftClusters = RunClusters(p.mftRuns);
    p.mftAlloc = mftClusters * p.cs;
    if (p.mftAlloc < needRecords * p.rs) {
        SetError(error, "the $MFT runs hold fewer records than needed (" +
                            std::to_string(needRecords) + ")");
        return false;
    }
    p.recordCount = p.mftAlloc / p.rs;
    p.mftData = p.recordCount * p.rs;
    uint64_t mftEnd = p.bootClusters;
    for (size_t i = 0; i < p.mftRuns.size(); ++i) {
        const Run& r = p.mftRuns[i];
        if (r.lcn < int64_t(p.bootClusters) || r.length == 0) {
            SetError(error, "bad $MFT run (sparse, empty or over the boot area)");
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            const Run& o = p.mftRuns[j];
            if (r.lcn < o.lcn + int64_t(o.length) && o.lcn < r.lcn + int64_t(r.length)) {
                SetError(error, "overlapping $MFT runs");
                return false;
            }
        }
        mftEnd = std::max(mftEnd, uint64_t(r.lcn) + r.length);
    }
    p.split = d.mftSplitVcn > 0;
    if (p.split) {
        if (d.mftSplitVcn >= mftClusters) {
            SetError(error, "mftSplitVcn beyond the $MFT");
            return false;
        }
        uint64_t vcn = 0;
        for (const Run& r : p.mftRuns) {
            if (vcn + r.length <= d.mftSplitVcn) {
                p.mftExt1.push_back(r);
            } else if (vcn >= d.mftSplitVcn) {
                p.mftExt2.push_back(r);
            } else {
                uint64_t first = d.mftSplitVcn - vcn;
                p.mftExt1.push_back(Run{r.lcn, first});
                p.mftExt2.push_back(Run{r.lcn + int64_t(first), r.length - first});
            }
            vcn += r.length;
        }
    }

    // ---- record kinds
    p.kind.assign(p.recordCount, kUnused);
    p.slot.assign(p.recordCount, 0);
    for (uint64_t r = 0; r < 12; ++r) p.kind[r] = kSystem;
    for (uint64_t r = 12; r < kFirstUserRecord; ++r) p.kind[r] = kSystem;
    if (p.split) p.kind[extRec] = kMftExt;
    for (size_t i = 0; i < d.files.size(); ++i) {
        if (p.files[i].record < kFirstUserRecord && p.kind[p.files[i].record] == kMftExt) {
            SetError(error, "file placed on the $MFT extension record");
            return false;
        }
        p.kind[p.files[i].record] = kFile;
        p.slot[p.files[i].record] = uint32_t(i);
        p.files[i].sequence = d.files[i].sequence;
    }
    for (size_t i = 0; i < d.images.size(); ++i) {
        p.kind[d.images[i].record] = kImage;
        p.slot[d.images[i].record] = uint32_t(i);
    }
    for (uint64_t r : d.zeroRecords) p.kind[r] = kZero;
    for (uint64_t r : d.garbageRecords) p.kind[r] = kGarbage;
    for (size_t i = 0; i < d.files.size(); ++i)
        if (p.kind[p.files[i].record] != kFile || p.slot[p.files[i].record] != i) {
            SetError(error, "file " + std::to_string(i) + " is hidden by an image/zero/garbage record");
            return false;
        }

    p.patchOrder.resize(d.recordPatches.size());
    for (size_t i = 0; i < p.patchOrder.size(); ++i) p.patchOrder[i] = i;
    std::stable_sort(p.patchOrder.begin(), p.patchOrder.end(), [&](size_t a, size_t b) {
        return d.recordPatches[a].record < d.recordPatches[b].record;
    });

    // ---- clusters
    p.used.push_back({0, p.bootClusters});
    for (const Run& r : p.mftRuns) p.used.push_back({uint64_t(r.lcn), r.length});
    p.cursor = mftEnd;
    p.mirrClusters = CeilDiv(4ull * p.rs, p.cs);
    p.mirrLcn = p.Alloc(p.mirrClusters, true);
    p.mftBmBytes = Align8(CeilDiv(p.recordCount, 8));
    p.mftBmClusters = CeilDiv(p.mftBmBytes, p.cs);
    p.mftBmLcn = p.Alloc(p.mftBmClusters, true);
    p.upClusters = CeilDiv(kUpcaseBytes, p.cs);
    p.upLcn = p.Alloc(p.upClusters, true);
    p.adClusters = CeilDiv(kAttrDefBytes, p.cs);
    p.adLcn = p.Alloc(p.adClusters, true);
    if (d.sdsNonResident) {
        p.sdsClusters = CeilDiv(d.sds.size(), p.cs);
        p.sdsLcn = p.Alloc(p.sdsClusters, true);
    }
    for (size_t i = 0; i < d.files.size(); ++i) {
        const FileDesc& fd = d.files[i];
        FileLayout& fl = p.files[i];
        auto addStream = [&](const std::string& name, const std::vector<uint8_t>& data, bool nr) {
            StreamLayout s;
            s.name = name;
            s.nonResident = nr;
            s.size = data.size();
            if (nr) {
                s.clusters = CeilDiv(data.size(), p.cs);
                s.lcn = s.clusters ? p.Alloc(s.clusters, fd.inUse) : 0;
            }
            fl.streams.push_back(s);
        };
        if (HasUnnamedData(fd)) addStream("", fd.data, fd.nonResident);
        for (const StreamDesc& s : fd.streams) addStream(s.name, s.data, s.nonResident);
    }

    // ---- directory indexes
    p.dirOf.assign(p.recordCount, -1);
    if (d.buildIndexes) {
        auto addDir = [&](uint64_t rec, bool inUse) {
            if (p.kind[rec] != kSystem && p.kind[rec] != kFile) return;  // replaced
            p.dirOf[rec] = int32_t(p.dirs.size());
            DirIndex di;
            di.record = rec;
            di.inUse = inUse;
            p.dirs.push_back(std::move(di));
        };
        addDir(kRootRecord, true);
        addDir(11, true);
        for (size_t i = 0; i < d.files.size(); ++i)
            if (d.files[i].directory) addDir(p.files[i].record, d.files[i].inUse);
        auto addChild = [&](uint64_t parent, ChildRef c) {
            if (parent >= p.recordCount || p.dirOf[parent] < 0) return;
            p.dirs[size_t(p.dirOf[parent])].entries.push_back(c);
        };
        for (uint32_t r = 0; r < 12; ++r)
            addChild(kRootRecord,
                     ChildRef{kSysOwner | r, 0,
                              uint16_t(0x42 + 2 * ToUtf16(kSystemNames[r]).size())});
        for (size_t i = 0; i < d.files.size(); ++i) {
            const FileDesc& fd = d.files[i];
            if (!fd.inUse) continue;
            addChild(fd.parent, ChildRef{uint32_t(i), 0, uint16_t(0x42 + 2 * ToUtf16(fd.name).size())});
            for (size_t l = 0; l < fd.links.size(); ++l)
                addChild(fd.links[l].parent,
                         ChildRef{uint32_t(i), uint16_t(l + 1),
                                  uint16_t(0x42 + 2 * ToUtf16(fd.links[l].name).size())});
        }
        for (DirIndex& di : p.dirs)
            if (!PlanDirectory(p, di, error)) return false;
    }

    // ---- $Bitmap last: its size depends on the total
    uint64_t bc = 1;
    for (;;) {
        uint64_t total = std::max(p.cursor + bc + d.extraClusters, d.minTotalClusters);
        uint64_t need = CeilDiv(Align8(CeilDiv(total, 8)), p.cs);
        if (need <= bc) break;
        bc = need;
    }
    p.bmClusters = bc;
    p.bmLcn = p.Alloc(bc, true);
    p.total = std::max(p.cursor + d.extraClusters, d.minTotalClusters);
    p.bmBytes = Align8(CeilDiv(p.total, 8));
    p.imageBytes = p.total * p.cs + p.ss;
    for (const Patch& pt : d.patches)
        if (pt.offset + pt.bytes.size() > p.imageBytes) {
            SetError(error, "patch outside the image");
            return false;
        }
    return true;
}

using Sink = std::function<void(uint64_t offset, const uint8_t* data, size_t len)>;

void FillLayout(const Plan& p, VolumeLayout* layout) {
    if (!layout) return;
    layout->sectorSize = p.ss;
    layout->clusterSize = p.cs;
    layout->recordSize = p.rs;
    layout->totalClusters = p.total;
    layout->imageBytes = p.imageBytes;
    layout->mftRuns = p.mftRuns;
    layout->recordCount = p.recordCount;
    layout->mftMirrLcn = p.mirrLcn;
    layout->files = p.files;
}

// Writes `len` bytes at byte `mftOff` of the $MFT data through its runs.
void WriteMft(const Plan& p, const Sink& sink, uint64_t mftOff, const uint8_t* data, size_t len) {
    uint64_t vcnStart = 0;
    for (const Run& r : p.mftRuns) {
        uint64_t runStart = vcnStart * p.cs, runEnd = (vcnStart + r.length) * p.cs;
        vcnStart += r.length;
        if (len == 0) break;
        if (mftOff >= runEnd || mftOff + len <= runStart) continue;
        uint64_t from = std::max(mftOff, runStart);
        uint64_t to = std::min(mftOff + len, runEnd);
        sink(uint64_t(r.lcn) * p.cs + (from - runStart), data + (from - mftOff), size_t(to - from));
    }
}

bool WriteAll(const Plan& p, const Sink& sink, std::string* error) {
    const VolumeDesc& d = *p.d;
    // Boot sector and its backup after the last cluster.
    BootSector b;
    b.bytesPerSector = uint16_t(p.ss);
    b.sectorsPerCluster = EncodeSectorsPerCluster(p.cs / p.ss);
    b.totalSectors = p.total * (p.cs / p.ss);
    b.mftLcn = uint64_t(p.mftRuns[0].lcn);
    b.mftMirrLcn = p.mirrLcn;
    b.clustersPerRecord = EncodeClustersPerRecord(p.rs, p.cs);
    b.clustersPerIndex = EncodeClustersPerRecord(p.irs, p.cs);
    b.serial = d.serial;
    const BootOverrides& o = d.boot;
    if (o.oemId) b.oemId = *o.oemId;
    if (o.bytesPerSector) b.bytesPerSector = *o.bytesPerSector;
    if (o.sectorsPerCluster) b.sectorsPerCluster = *o.sectorsPerCluster;
    if (o.totalSectors) b.totalSectors = *o.totalSectors;
    if (o.mftLcn) b.mftLcn = *o.mftLcn;
    if (o.mftMirrLcn) b.mftMirrLcn = *o.mftMirrLcn;
    if (o.clustersPerRecord) b.clustersPerRecord = *o.clustersPerRecord;
    if (o.clustersPerIndex) b.clustersPerIndex = *o.clustersPerIndex;
    if (o.serial) b.serial = *o.serial;
    if (o.endSignature) b.endSignature = *o.endSignature;
    std::vector<uint8_t> boot = BootSectorBytes(b, p.ss);
    sink(0, boot.data(), boot.size());
    sink(p.total * p.cs, boot.data(), boot.size());

    // The MFT, in chunks, and its bitmap.
    std::vector<uint8_t> mftBits(p.mftBmBytes, 0);
    const uint64_t chunkRecords = std::max<uint64_t>(1, (4u << 20) / p.rs);
    std::vector<uint8_t> chunk(size_t(chunkRecords * p.rs));
    for (uint64_t first = 0; first < p.recordCount; first += chunkRecords) {
        uint64_t n = std::min(chunkRecords, p.recordCount - first);
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t rec = first + i;
            uint8_t* out = chunk.data() + i * p.rs;
            if (!EmitRecord(p, rec, out, error)) return false;
            Kind k = Kind(p.kind[rec]);
            if (k != kZero && k != kGarbage && (out[0x16] & 1)) mftBits[rec / 8] |= uint8_t(1u << (rec % 8));
        }
        WriteMft(p, sink, first * p.rs, chunk.data(), size_t(n * p.rs));
    }
    sink(p.mftBmLcn * p.cs, mftBits.data(), mftBits.size());

    // $MFTMirr: records 0..3 again.
    std::vector<uint8_t> mirr(size_t(4 * p.rs));
    for (uint64_t r = 0; r < 4; ++r)
        if (!EmitRecord(p, r, mirr.data() + r * p.rs, error)) return false;
    sink(p.mirrLcn * p.cs, mirr.data(), mirr.size());

    // $UpCase.
    std::vector<uint8_t> up(kUpcaseBytes);
    for (uint32_t c = 0; c < 65536; ++c) W16(up.data(), 2 * c, uint16_t(UpCase(char16_t(c))));
    sink(p.upLcn * p.cs, up.data(), up.size());
    std::vector<uint8_t> ad = AttrDefTable();
    sink(p.adLcn * p.cs, ad.data(), ad.size());

    if (d.sdsNonResident && !d.sds.empty()) sink(p.sdsLcn * p.cs, d.sds.data(), d.sds.size());

    // File data.
    for (size_t i = 0; i < d.files.size(); ++i) {
        const FileDesc& fd = d.files[i];
        const FileLayout& fl = p.files[i];
        const size_t unnamed = HasUnnamedData(fd) ? 1 : 0;
        for (size_t si = 0; si < fl.streams.size(); ++si) {
            const StreamLayout& s = fl.streams[si];
            const std::vector<uint8_t>& bytes = si < unnamed ? fd.data : fd.streams[si - unnamed].data;
            if (s.nonResident && s.size) sink(s.lcn * p.cs, bytes.data(), bytes.size());
        }
    }

    // Directory indexes.
    for (const DirIndex& di : p.dirs) {
        if (!di.large) continue;
        for (size_t n = 0; n < di.nodes.size(); ++n) {
            std::vector<uint8_t> blk = IndexBlock(p, di, n);
            sink(di.iaLcn * p.cs + n * uint64_t(p.irs), blk.data(), blk.size());
        }
        if (di.bmNonResident) {
            std::vector<uint8_t> bits(di.bmBytes, 0);
            for (size_t n = 0; n < di.nodes.size(); ++n) bits[n / 8] |= uint8_t(1u << (n % 8));
            sink(di.bmLcn * p.cs, bits.data(), bits.size());
        }
    }

    // $Bitmap.
    std::vector<uint8_t> bits(p.bmBytes, 0);
    for (const auto& [lcn, len] : p.used)
        for (uint64_t c = lcn; c < lcn + len && c < p.total; ++c) bits[c / 8] |= uint8_t(1u << (c % 8));
    sink(p.bmLcn * p.cs, bits.data(), bits.size());

    for (const Patch& pt : d.patches)
        if (!pt.bytes.empty()) sink(pt.offset, pt.bytes.data(), pt.bytes.size());
    return true;
}

}  // namespace

std::vector<uint8_t> BuildVolume(const VolumeDesc& d, VolumeLayout* layout, std::string* error) {
    Plan p;
    if (!MakePlan(d, p, error)) return {};
    std::vector<uint8_t> image(p.imageBytes, 0);
    Sink sink = [&](uint64_t off, const uint8_t* data, size_t len) {
        if (off >= image.size()) return;
        len = size_t(std::min<uint64_t>(len, image.size() - off));
        std::memcpy(image.data() + off, data, len);
    };
    if (!WriteAll(p, sink, error)) return {};
    FillLayout(p, layout);
    return image;
}

bool WriteVolume(const VolumeDesc& d, const std::string& path, VolumeLayout* layout,
                 std::string* error) {
    Plan p;
    if (!MakePlan(d, p, error)) return false;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) {
        SetError(error, "cannot create " + path);
        return false;
    }
    bool ok = true;
    Sink sink = [&](uint64_t off, const uint8_t* data, size_t len) {
        f.seekp(std::streamoff(off));
        f.write(reinterpret_cast<const char*>(data), std::streamsize(len));
        if (!f) ok = false;
    };
    if (!WriteAll(p, sink, error)) return false;
    f.close();
    if (!ok || f.fail()) {
        SetError(error, "write error on " + path);
        return false;
    }
    FillLayout(p, layout);
    return true;
}

uint64_t RecordOffset(const VolumeLayout& layout, uint64_t record) {
    if (record >= layout.recordCount) return UINT64_MAX;
    uint64_t off = record * layout.recordSize, vcnStart = 0;
    for (const Run& r : layout.mftRuns) {
        uint64_t start = vcnStart * layout.clusterSize, end = (vcnStart + r.length) * layout.clusterSize;
        vcnStart += r.length;
        if (off >= start && off < end) {
            if (off + layout.recordSize > end) return UINT64_MAX;
            return uint64_t(r.lcn) * layout.clusterSize + (off - start);
        }
    }
    return UINT64_MAX;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    f.close();
    return !f.fail();
}

}  // namespace ntfsb
