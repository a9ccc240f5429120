// Test-side NTFS image builder: writes MFT records and whole minimal NTFS
// volumes byte by byte, so tests can make any record they need, including
// damaged ones. Independent of the code under test: standard library only.
//
// Every multi-byte field is written with little-endian put helpers; no
// buffer is ever cast to a struct. Nothing throws on purpose: builders that can
// fail return an empty result and fill `error` when it is not null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ntfsb {

// ---------------------------------------------------------------- bytes

// Little-endian writers into a vector; they grow the vector when the field
// would end past its size.
void PutU8(std::vector<uint8_t>& b, size_t off, uint8_t v);
void PutU16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v);
void PutU48(std::vector<uint8_t>& b, size_t off, uint64_t v);  // low 48 bits
void PutU64(std::vector<uint8_t>& b, size_t off, uint64_t v);
void PutBytes(std::vector<uint8_t>& b, size_t off, const std::vector<uint8_t>& bytes);
// Little-endian readers (0 when the field does not fit), for checks in tests.
uint16_t GetU16(const std::vector<uint8_t>& b, size_t off);
uint32_t GetU32(const std::vector<uint8_t>& b, size_t off);
uint64_t GetU64(const std::vector<uint8_t>& b, size_t off);

// UTF-8 to UTF-16LE bytes (invalid UTF-8 bytes become U+FFFD).
std::vector<uint8_t> Utf16le(const std::string& utf8);

// A 64-bit file reference: 48-bit record number, 16-bit sequence on top.
constexpr uint64_t FileRef(uint64_t record, uint16_t sequence) {
    return (record & 0xFFFFFFFFFFFFull) | (uint64_t(sequence) << 48);
}

// ---------------------------------------------------------------- constants

constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrObjectId = 0x40;
constexpr uint32_t kAttrSecurityDescriptor = 0x50;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrVolumeInformation = 0x70;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint32_t kAttrReparsePoint = 0xC0;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

constexpr uint16_t kRecordInUse = 0x0001;      // record header flags (0x16)
constexpr uint16_t kRecordDirectory = 0x0002;

constexpr uint8_t kNamePosix = 0;              // $FILE_NAME namespaces
constexpr uint8_t kNameWin32 = 1;
constexpr uint8_t kNameDos = 2;
constexpr uint8_t kNameWin32AndDos = 3;

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// 2020-01-01 00:00:00 UTC as a FILETIME (100 ns units since 1601).
constexpr uint64_t kDefaultTime = 132223104000000000ull;

// ---------------------------------------------------------------- runlists

// One run of clusters; lcn < 0 (kSparse) is a sparse run (no clusters).
constexpr int64_t kSparse = -1;
struct Run {
    int64_t lcn;
    uint64_t length;
};

struct RunlistOptions {
    bool signedLengths = false;  // true: lengths never set the top bit (ntfs-3g reads them signed)
    bool terminator = true;      // append the 00 byte that ends the mapping pairs
};

// Bytes needed for v as a minimal signed / unsigned little-endian number (>= 1).
int SignedByteCount(int64_t v);
int UnsignedByteCount(uint64_t v);
// NTFS mapping pairs: per run a header byte (offset bytes << 4 | length bytes),
// the length (minimal unsigned), then the LCN delta (minimal signed, relative
// to the previous non-sparse run; absent for a sparse run).
std::vector<uint8_t> EncodeRunlist(const std::vector<Run>& runs, const RunlistOptions& opt = {});
uint64_t RunClusters(const std::vector<Run>& runs);  // sum of the lengths

// ---------------------------------------------------------------- attributes

struct ResidentAttr {
    uint32_t type = kAttrData;
    std::string name;                // UTF-8, written as UTF-16 ("" = unnamed)
    uint16_t flags = 0;              // 0x0C (1 compressed, 0x4000 encrypted, 0x8000 sparse)
    std::optional<uint16_t> id;      // unset: the record's next attribute id
    uint8_t indexedFlag = 0;         // 0x16 (1 for $FILE_NAME on real volumes)
    std::vector<uint8_t> value;
};

struct NonResidentAttr {
    uint32_t type = kAttrData;
    std::string name;
    uint16_t flags = 0;
    std::optional<uint16_t> id;
    uint64_t lowestVcn = 0;
    std::optional<uint64_t> highestVcn;      // unset: lowestVcn + clusters in runs - 1
    uint16_t compressionUnit = 0;            // log2 clusters; != 0 adds the compressed-size field
    uint32_t clusterSize = 4096;             // only used for the default allocated size
    std::optional<uint64_t> allocatedSize;   // unset: clusters in runs * clusterSize
    std::optional<uint64_t> dataSize;        // unset: allocated size
    std::optional<uint64_t> initializedSize; // unset: data size
    std::optional<uint64_t> compressedSize;  // unset: allocated size (written only when needed)
    std::vector<Run> runs;                   // encoded with runlistOptions ...
    std::optional<std::vector<uint8_t>> rawMappingPairs;  // ... unless given raw here
    RunlistOptions runlistOptions;
};

// Whole attribute bytes (header, name, value / mapping pairs, 8-byte aligned).
std::vector<uint8_t> EncodeResident(const ResidentAttr& a, uint16_t id);
std::vector<uint8_t> EncodeNonResident(const NonResidentAttr& a, uint16_t id);

// ---------------------------------------------------------------- attribute values

struct StandardInfo {
    uint64_t created = kDefaultTime, modified = kDefaultTime, mftModified = kDefaultTime,
             accessed = kDefaultTime;
    uint32_t fileAttributes = 0x20;  // archive
    uint32_t maxVersions = 0, version = 0, classId = 0;
    bool ntfs3Fields = true;         // false: the 48-byte NTFS 1.x form
    uint32_t ownerId = 0;
    uint32_t securityId = 0x100;     // at 0x34
    uint64_t quotaCharged = 0, usn = 0;
};
std::vector<uint8_t> StandardInformationValue(const StandardInfo& si);

struct FileNameInfo {
    uint64_t parentRecord = kRootRecord;
    uint16_t parentSequence = 5;
    uint64_t created = kDefaultTime, modified = kDefaultTime, mftModified = kDefaultTime,
             accessed = kDefaultTime;
    uint64_t allocatedSize = 0, realSize = 0;
    uint32_t flags = 0x20;          // file attributes; 0x10000000 = has a $I30 index
    uint32_t reparseValue = 0;
    uint8_t nameSpace = kNameWin32AndDos;
    std::string name;               // UTF-8
};
std::vector<uint8_t> FileNameValue(const FileNameInfo& fn);

// Major at 8, minor at 9, flags at 10.
std::vector<uint8_t> VolumeInformationValue(uint8_t major, uint8_t minor, uint16_t flags = 0);

struct AttrListEntry {
    uint32_t type = kAttrData;
    std::optional<uint16_t> entryLength;  // unset: 0x1A + name, 8-aligned
    std::string name;
    uint64_t startVcn = 0;
    uint64_t record = 0;                  // 48-bit record number ...
    uint16_t sequence = 0;                // ... and its sequence
    uint16_t attrId = 0;
};
std::vector<uint8_t> AttributeListValue(const std::vector<AttrListEntry>& entries);

// One $I30 index entry: the file it names and its $FILE_NAME value as key.
struct IndexEntryDesc {
    uint64_t record = 0;
    uint16_t sequence = 0;
    std::vector<uint8_t> key;
};
// An $INDEX_ROOT value holding all entries (a small index, no subnodes).
std::vector<uint8_t> IndexRootValue(const std::vector<IndexEntryDesc>& entries,
                                    uint32_t indexRecordSize = 4096, uint32_t clusterSize = 4096,
                                    uint32_t indexedType = kAttrFileName, uint32_t collation = 1);

// ---------------------------------------------------------------- records

enum class Fixups { Apply, Skip };

struct MftRecord {
    uint32_t recordSize = 1024;
    std::string signature = "FILE";          // first 4 bytes are used
    uint16_t usaOffset = 0x30;
    std::optional<uint16_t> usaCount;        // unset: recordSize / 512 + 1
    uint16_t usn = 1;
    uint64_t lsn = 0;                        // 0x08
    uint16_t sequence = 1;                   // 0x10
    uint16_t linkCount = 1;                  // 0x12
    std::optional<uint16_t> firstAttrOffset; // 0x14; unset: after the USA, 8-aligned
    uint16_t flags = kRecordInUse;           // 0x16
    std::optional<uint32_t> bytesInUse;      // 0x18; unset: computed
    std::optional<uint32_t> allocatedSize;   // 0x1C; unset: recordSize
    uint64_t baseRecord = 0;                 // 0x20 (48 bits)
    uint16_t baseSequence = 0;               // 0x26
    uint16_t nextAttrId = 0;                 // 0x28; Add* bump it
    uint32_t recordNumber = 0;               // 0x2C
    std::vector<uint8_t> attributes;         // encoded attributes, kept in the order added
    bool endMarker = true;                   // 0xFFFFFFFF after the attributes
    Fixups fixups = Fixups::Apply;
    int corruptStride = -1;                  // >= 0: that stride's check bytes are made wrong
};

// Append an attribute; returns the id used.
uint16_t AddResident(MftRecord& r, const ResidentAttr& a);
uint16_t AddNonResident(MftRecord& r, const NonResidentAttr& a);
void AddRawAttribute(MftRecord& r, const std::vector<uint8_t>& bytes);
// The record image (recordSize bytes); empty when the attributes do not fit.
std::vector<uint8_t> BuildRecord(const MftRecord& r, std::string* error = nullptr);
// A base record holding a $STANDARD_INFORMATION and a $FILE_NAME in the root.
MftRecord BaseRecord(uint32_t number, const std::string& name);

// NTFS fixups over 512-byte strides (whatever the sector size): the last two
// bytes of each stride go to the update sequence array, the USN takes their
// place. Strides or array slots past the buffer are skipped.
void ApplyFixups(uint8_t* rec, size_t size, uint16_t usaOffset, uint16_t usaCount, uint16_t usn);
void ApplyFixups(std::vector<uint8_t>& rec, uint16_t usaOffset, uint16_t usaCount, uint16_t usn);
// Makes stride `stride`'s last two bytes differ from the USN at usaOffset.
void CorruptStride(std::vector<uint8_t>& rec, uint16_t usaOffset, size_t stride);

// ---------------------------------------------------------------- boot sector

// Sectors/cluster byte (0x0D): the count itself up to 128, else 256 - log2(count).
uint8_t EncodeSectorsPerCluster(uint32_t sectorsPerCluster);
// Clusters per MFT / index record byte (0x40 / 0x44): clusters when the record
// is at least a cluster, else -log2(bytes).
uint8_t EncodeClustersPerRecord(uint32_t recordBytes, uint32_t clusterSize);

struct BootSector {
    std::string oemId = "NTFS    ";       // 8 bytes at 3
    uint16_t bytesPerSector = 512;        // 0x0B
    uint8_t sectorsPerCluster = 8;        // 0x0D (raw byte)
    uint8_t media = 0xF8;                 // 0x15
    uint64_t totalSectors = 0;            // 0x28
    uint64_t mftLcn = 0;                  // 0x30
    uint64_t mftMirrLcn = 0;              // 0x38
    uint8_t clustersPerRecord = 0xF6;     // 0x40 (raw byte, signed)
    uint8_t clustersPerIndex = 1;         // 0x44 (raw byte, signed)
    uint64_t serial = 0x0123456789ABCDEFull;  // 0x48
    uint16_t endSignature = 0xAA55;       // 510 (bytes 55 AA)
};
// `size` bytes (at least 512) with the fields above.
std::vector<uint8_t> BootSectorBytes(const BootSector& b, uint32_t size = 512);

// ---------------------------------------------------------------- volumes

struct Geometry {
    uint32_t sectorSize = 512;        // 512 .. 4096
    uint32_t clusterSize = 4096;      // sectorSize .. 2 MiB, power of two
    uint32_t recordSize = 1024;       // 1024 or 4096 (any power of two >= 256)
    uint32_t indexRecordSize = 4096;
};

// Overrides of the boot sector fields the builder computes.
struct BootOverrides {
    std::optional<std::string> oemId;
    std::optional<uint16_t> bytesPerSector;
    std::optional<uint8_t> sectorsPerCluster;
    std::optional<uint64_t> totalSectors;
    std::optional<uint64_t> mftLcn, mftMirrLcn;
    std::optional<uint8_t> clustersPerRecord, clustersPerIndex;
    std::optional<uint64_t> serial;
    std::optional<uint16_t> endSignature;
};

struct StreamDesc {
    std::string name;                 // "" = the unnamed $DATA
    std::vector<uint8_t> data;
    bool nonResident = false;
};

struct LinkDesc {                     // one more $FILE_NAME (hard link or DOS name)
    uint64_t parent = kRootRecord;
    std::string name;
    uint8_t nameSpace = kNameWin32AndDos;
};

// A user file or directory, turned into one MFT record by the volume builder.
struct FileDesc {
    std::string name;
    uint64_t parent = kRootRecord;
    uint8_t nameSpace = kNameWin32AndDos;
    bool directory = false;           // flags 3 and a $I30 index of its children
    bool inUse = true;                // false: erased (flag clear, no index entry, clusters free)
    std::vector<uint8_t> data;        // unnamed $DATA (files always get one; dirs only if set)
    bool nonResident = false;
    std::vector<StreamDesc> streams;  // named $DATA streams (written in NTFS name order)
    std::vector<LinkDesc> links;      // extra $FILE_NAMEs
    std::optional<uint64_t> record;   // unset: the lowest free number from 16 up
    uint16_t sequence = 1;
    std::optional<uint16_t> linkCount;  // unset: names not in the DOS namespace
    StandardInfo info;
    std::optional<StandardInfo> nameTimes;  // the $FILE_NAMEs' four times; unset: info's
};

// A whole record image placed as given (no fixups applied on top).
struct RecordImage {
    uint64_t record = 0;
    std::vector<uint8_t> bytes;       // up to recordSize bytes; the rest is zero
};

struct Patch {                        // bytes written at an absolute image offset, last
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

struct RecordPatch {                  // bytes written inside one MFT record
    uint64_t record = 0;
    uint32_t offset = 0;
    std::vector<uint8_t> bytes;
    bool beforeFixups = true;         // built records only; images, zero and garbage: raw
};

// A whole minimal NTFS volume. Layout: boot sector at LCN 0 (its backup in the
// sector after the last cluster), the $MFT, then $MFTMirr, the $MFT bitmap,
// $UpCase, $AttrDef, a non-resident $SDS, file data and directory indexes in
// that order, $Bitmap last. System records: 0 $MFT (SI, FN, $DATA, $BITMAP),
// 1 $MFTMirr, 2 $LogFile (empty), 3 $Volume ($VOLUME_NAME, $VOLUME_INFORMATION),
// 4 $AttrDef, 5 root ".", 6 $Bitmap, 7 $Boot, 8 $BadClus (with a sparse $Bad),
// 9 $Secure ($SDS, empty $SDH/$SII roots), 10 $UpCase, 11 $Extend, 12..15 in use
// with SI and an empty $DATA only. Sequence numbers: 1 for $MFT, else the record
// number. Attribute ids in a built record count up from 0 in record order (SI,
// each FN, the unnamed $DATA, named streams, the index).
struct VolumeDesc {
    Geometry geometry;
    uint64_t mftLcn = 0;              // 0: right after the boot area
    std::vector<Run> mftRuns;         // explicit $MFT placement (sets the MFT size); empty: one run
    uint64_t mftSplitVcn = 0;         // > 0: $MFT $DATA from this VCN on lives in an extension
                                      // record, listed by an $ATTRIBUTE_LIST in record 0
    uint64_t mftExtensionRecord = 15; // must lie inside the first extent for readers to find it
    uint64_t minRecordCount = 0;      // the MFT holds at least this many records
    bool formatUnusedRecords = true;  // unused records: empty "FILE" records (false: zeros)
    bool volumeInformation = true;    // false: $Volume without $VOLUME_INFORMATION
    uint8_t versionMajor = 3, versionMinor = 1;
    std::string volumeLabel;
    std::vector<uint8_t> sds;         // $Secure:$SDS contents
    bool sdsNonResident = false;
    bool buildIndexes = true;         // $I30 indexes for the root, $Extend and directories
    bool signedRunLengths = true;     // run lengths as Windows and ntfs-3g write them (a length
                                      // byte never has its top bit set); false: minimal unsigned
    std::vector<FileDesc> files;
    std::vector<RecordImage> images;  // may replace system records too (not files)
    std::vector<uint64_t> zeroRecords;     // left all zero (any record but a file's)
    std::vector<uint64_t> garbageRecords;  // pseudo-random bytes, the same on every build
    uint64_t extraClusters = 16;      // free clusters at the end
    uint64_t minTotalClusters = 0;
    uint16_t usn = 1;                 // USN of every built record
    uint64_t serial = 0x0123456789ABCDEFull;
    BootOverrides boot;
    std::vector<RecordPatch> recordPatches;
    std::vector<Patch> patches;
};

struct StreamLayout {
    std::string name;                 // "" = unnamed $DATA
    bool nonResident = false;
    uint64_t lcn = 0;                 // first cluster (non-resident, size > 0)
    uint64_t clusters = 0;
    uint64_t size = 0;
};

struct FileLayout {
    uint64_t record = 0;
    uint16_t sequence = 0;
    std::vector<StreamLayout> streams;  // the unnamed $DATA (when present), then FileDesc::streams
                                        // in the given order (the record holds them name-sorted)
};

struct VolumeLayout {
    uint32_t sectorSize = 0, clusterSize = 0, recordSize = 0;
    uint64_t totalClusters = 0;       // clusters of the file system
    uint64_t imageBytes = 0;          // totalClusters * clusterSize + one sector (backup boot)
    std::vector<Run> mftRuns;
    uint64_t recordCount = 0;
    uint64_t mftMirrLcn = 0;
    std::vector<FileLayout> files;    // parallel to VolumeDesc::files
};

// The volume image in memory; empty on error.
std::vector<uint8_t> BuildVolume(const VolumeDesc& d, VolumeLayout* layout = nullptr,
                                 std::string* error = nullptr);
// The same image streamed to `path` (for big volumes: memory is the plan, not
// the image; unwritten areas are holes in the file).
bool WriteVolume(const VolumeDesc& d, const std::string& path, VolumeLayout* layout = nullptr,
                 std::string* error = nullptr);
// Byte offset of MFT record `record` in the image (through the $MFT runs);
// UINT64_MAX when outside the MFT or split across two runs.
uint64_t RecordOffset(const VolumeLayout& layout, uint64_t record);
// Writes bytes to a file; false on error.
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace ntfsb
