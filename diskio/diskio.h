// NTFS volume access: the raw device and its boot sector, MFT records and
// their fixups, attributes and attribute lists, runlists, stream reading and
// the in-memory Entry of one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "diskio/layout/sds_entry.h"
#include "text/vx_locale.h"

struct VxDevice;
struct Volume;

// One run of a non-resident stream.  VCNs are implicit: run k starts where
// runs 0 to k-1 end.
struct Run {
    int64_t llLcn;  // -1: sparse, no clusters on disk
    uint64_t ullLength;
};

constexpr int64_t kSparseLcn = -1;
constexpr uint32_t kMaxNameUnits = 256;

struct Attribute {
    uint32_t dwType;
    int bResident;
    uint16_t wNameLength;
    vx_wchar wszName[kMaxNameUnits];
    uint16_t wFlags;
    uint64_t ullSize;
    uint8_t* pStream;  // resident value copy, ullSize bytes
    int bValueInEntry; // pStream lies in the Entry's value room: not freed alone
    uint16_t wCompressionUnit;
    // Bytes written to the stream (non-resident): those after it read as
    // zeros in a compressed stream.
    uint64_t ullInitSize;
    uint64_t ullRunCount;
    uint64_t ullNextVcn;
    Run* pRunlist;
    // The first VCN of each run, kept beside the Runlist by ProcessRunlist so
    // that FindRun need not add up every run before the one wanted (none:
    // FindRun walks the runs, as for a Runlist made by other means).
    uint64_t* pullRunStarts;
    // The runs from the first whose starts it holds: all of them, or up to
    // the one whose VCNs pass 2^64 (no VCN reaches a run after it).
    uint64_t ullIndexedRuns;
};

// The bytes an Entry keeps for resident values: a 4 KiB record's worth.
constexpr uint32_t kEntryValueRoom = 4096;

struct Entry {
    Volume* pVolume;
    uint64_t ullBaseRecord;
    uint16_t wSequence;
    uint16_t wLinkCount;  // 0 for a record not in use
    uint16_t wFlags;
    uint16_t wAttrCount;
    int bDirectory;
    Attribute* pAttrList;
    // The Attributes pAttrList has room for, kept by RecycleEntry for the
    // next record (0: an array made by other means, or none).
    uint32_t dwAttrRoom;
    // Room for the resident values of its Attributes (kEntryValueRoom bytes),
    // kept with the array, so that most values cost no allocation of their own.
    uint8_t* pValueRoom;
    uint32_t dwValueUsed;
    int bSecurityId;
    uint32_t dwSecurityId;
};

struct SecInfo {
    uint32_t dwId;
    uint32_t dwSize;     // entry length as stored, header included
    uint64_t ullOffset;  // the descriptor's place in $SDS (entry offset + 20)
    // The descriptor's bytes once a read of them wrote no diagnostic (none
    // before that): every later file with the id is served from here.
    uint8_t* pDescriptor;
    uint32_t dwDescriptorBytes;
    // The report line's security fields rendered from pDescriptor, kept
    // once a render of it wrote no diagnostic (bLineClean 1; -1 once tried):
    // later files with the id are given these bytes and status.
    int bLineClean;
    char* pLineText;
    uint32_t dwLineBytes;
    int lineStatus;
};

struct SecList {
    uint32_t dwCount;
    uint32_t dwMaxSize;
    SecInfo* pSecInfo;
    int bSortedById;           // ids never decrease along the list
    uint64_t ullCachedBytes;  // held by the entries' pDescriptor copies
    // The buffer each descriptor is read into, as large as the largest
    // entry: made by the first lookup, freed with the list.
    uint8_t* pBuffer;
    uint32_t dwBufferSize;
    // Ids out of order: the list's indexes sorted by id (then by index), made
    // by LoadSecureSDS for the dwIndexed entries it found, so that a lookup
    // is a search, not a scan.
    uint32_t* pdwById;
    uint32_t dwIndexed;
};

// Bytes of descriptors the list keeps in memory at most.
constexpr uint64_t kMaxCachedDescriptorBytes = 4u << 20;

// Attribute kinds, indexes into Volume::AttrTypes.
enum AttrKind {
    ATTR_STANDARD_INFORMATION = 0,  // 0x10
    ATTR_ATTRIBUTE_LIST = 1,        // 0x20
    ATTR_FILE_NAME = 2,             // 0x30
    ATTR_SECURITY_DESCRIPTOR = 4,   // 0x50
    ATTR_VOLUME_INFORMATION = 6,    // 0x70
    ATTR_DATA = 7,                  // 0x80
    ATTR_REPARSE_POINT = 11,        // 0xC0
};

struct Volume {
    char DriveLetter;
    // The source named with -f (none: the drive letter's raw device) and the
    // volume's byte offset inside it.
    const char* pszSourcePath;
    uint64_t ullSourceOffset;
    char szDevicePath[8];  // "\\.\E:"
    char szRootPath[4];    // "E:\"
    const char* pszDevice;  // the path of every "Drive : %s" message
    VxDevice* hVolume;
    uint32_t SectorSize;
    uint32_t ClusterSize;
    uint64_t ClusterNumber;
    uint64_t MftStart;
    uint32_t MftRecordClusters;
    uint32_t MftRecordSize;
    uint32_t AttrTypes[16];
    uint16_t MajorVersion;
    Entry* pMft;
    Entry* pSecure;
    Attribute* pMftData;
    Attribute* pSecureData;
    SecList secList;
    // The record reader's cache of $MFT blocks: made by the first record
    // read, freed when the volume closes.
    struct RecordCache* pRecordCache;
    // What the report keeps of this volume alone (the path memo and the
    // walk's trail): made by the report, freed by CloseVolume through the
    // function it leaves beside it.
    void* pReportState;
    void (*pfnFreeReportState)(void* pState);
    // A copy of the $MFT read in place of the volume (none: the volume
    // itself), with the copies of $Secure:$SDS and $Boot taken beside it
    // (none when there are none), and what OpenVolume made of them.
    const char* pszMftCopy;
    const char* pszSdsCopy;
    const char* pszBootCopy;
    struct MftCopy* pCopy;
};

// Module-wide state of diskio beside the Volume (one volume is open at a time).
extern uint8_t* PClusterBuffer;
extern uint8_t* PProcessStreamBuffer;
extern uint32_t MaxReadSize;
extern uint32_t ProcessChunkSize;
extern FILE* DiskioDebugStream;  // none: no trace
extern int DiskioDumpRecords;    // -D: hex dumps of the boot cluster and every record

// ------------------------------------------------------ volume and device

[[nodiscard]]
int OpenVolume(Volume* pVol);
// The same over a device that is already open (a block of memory, for the
// fuzzers): the system reports no geometry for it, as for an image file.
// The Volume owns the device from then on; CloseVolume closes it.
[[nodiscard]]
int OpenVolumeOn(Volume* pVol, VxDevice* pDev);
int CloseVolume(Volume* pVol);
// 1 read without a device error, 0 otherwise; *pullCount in: clusters
// wanted, out: whole clusters read.
[[nodiscard]]
int ReadClusters(Volume* pVol, uint64_t ullLcn, uint64_t* pullCount, void* pBuffer);

// Geometry from a boot sector, for OpenVolume and its tests.
struct BootGeometry {
    uint32_t dwSectorSize;
    uint32_t dwClusterSize;
    uint64_t ullClusterNumber;
    uint64_t ullMftStart;
    uint32_t dwMftRecordClusters;
    uint32_t dwMftRecordSize;
};
// 1 when the sizes are those of an NTFS volume; 0 with *ppszWhat naming the
// first field that is not (a zero, not a power of two, or out of range).
int DecodeBootSector(const uint8_t* pBoot, size_t length, BootGeometry* pGeom,
                     const char** ppszWhat, uint64_t* pullValue);

// Bytes of the $MFT data stream that the record walk may visit: its size,
// bounded by what its runlist maps (records past the runlist cannot be read).
uint64_t MftWalkLimit(const Volume* pVol);

// ------------------------------------------------------------- runlists

// Appends the runs of one extent (lowest to highest VCN, both inclusive) to
// the Attribute's Runlist; the mapping pairs are the cbPairs bytes up to the
// end of their attribute record.  1 appended, 0 refused or cut short.
[[nodiscard]]
int ProcessRunlist(Attribute* pAttr, const uint8_t* pPairs, size_t cbPairs, uint64_t ullFirstVcn,
                   uint64_t ullLastVcn);
// 1 when a run holds *pullVcn: *pullRun is its index and *pullVcn becomes the
// cluster offset inside it.  0 at or beyond the end of the Runlist.
[[nodiscard]]
int FindRun(const Attribute* pAttr, uint64_t* pullRun, uint64_t* pullVcn);

// -------------------------------------------------------------- streams

// Streams of this size or more are refused: they cannot be held in one buffer.
constexpr uint64_t kMaxStreamBuffer = 0x100000000ull;

// The largest value of each kind of metadata read whole into one buffer.
// $STANDARD_INFORMATION, $FILE_NAME and $VOLUME_INFORMATION are always
// resident, so no sound one exceeds a record (64 KiB at most); a security
// descriptor is a header, two SIDs and two ACLs whose sizes are 16-bit
// fields, well inside 256 KiB; an attribute list of 256 KiB names some
// 8000 extents, more than any file reaches.  A larger size is damage and is
// refused before it sizes a buffer; other streams: kMaxStreamBuffer.
constexpr uint64_t kMaxRecordValue = 0x10000;
constexpr uint64_t kMaxDescriptorValue = 0x40000;
constexpr uint64_t kMaxAttributeListValue = 0x40000;
uint64_t MaxValueSize(const Volume* pVol, uint32_t dwType);

[[nodiscard]]
int ReadStreamVcns(Volume* pVol, const Attribute* pAttr, uint64_t ullVcn, uint64_t* pullCount,
                   void* pDest);
[[nodiscard]]
int ReadStreamBytes(Volume* pVol, const Attribute* pAttr, uint64_t ullOffset, uint64_t* pullCount,
                    void* pDest);
// The whole stream in one buffer (the Attribute's own for a resident one);
// none with *pullSize 0 when it cannot be held.
uint8_t* GetStreamBuffer(const Entry* pEntry, const Attribute* pAttr, uint64_t* pullSize);
void ReleaseStreamBuffer(const Attribute* pAttr, uint8_t* pBuffer);
typedef void (*StreamCallback)(void* pContext, const uint8_t* pData, uint32_t dwLength);
int ProcessStream(const Entry* pEntry, const Attribute* pAttr, StreamCallback pfnCallback,
                  void* pContext);
// As ProcessStream, from byte ullStart of the stream (a whole cluster) on.
int ProcessStreamFrom(const Entry* pEntry, const Attribute* pAttr, uint64_t ullStart,
                      StreamCallback pfnCallback, void* pContext);
// The bytes at the start of a stream of ullSize bytes that its runs leave
// sparse, zeros that need no read: those of the sparse runs before the first
// run with clusters, at most ullSize.
uint64_t LeadingSparseBytes(const Run* pRuns, uint64_t ullRunCount, uint64_t ullCluster,
                            uint64_t ullSize);

// -------------------------------------------------------------- records

// NTFS places an update value at the end of every 512 bytes of a record,
// whatever the sector size of the disk.
constexpr uint32_t kFixupStride = 512;

// Signature and update sequence check of one record image, fixups applied in
// place.  1 good, 0 refused.
[[nodiscard]]
int CheckRecord(uint8_t* pRecord, uint32_t dwRecordSize);
// 0 read, 2 refused or unreadable.
[[nodiscard]]
int ReadRecord(Entry* pEntry, uint64_t ullRecord, int isBase, int erasedOnly);
// The record reader keeps the clusters it read last; forget them (the $MFT
// data attribute changed) or release them (the volume closes).
void InvalidateRecordCache(Volume* pVol);
void ReleaseRecordCache(Volume* pVol);

// ------------------------------------------------- compression units

// The attribute flags of a stream's storage.
constexpr uint16_t kAttrCompressionMask = 0x00FF;
constexpr uint16_t kAttrCompressed = 0x0001;  // LZNT1
constexpr uint16_t kAttrEncrypted = 0x4000;
constexpr uint16_t kAttrSparse = 0x8000;
// Windows compresses in units of 16 clusters of at most 4 KiB.
constexpr uint16_t kUnitShift = 4;
constexpr uint32_t kUnitClusters = 1u << kUnitShift;
constexpr uint32_t kMaxCompressedCluster = 4096;
constexpr uint32_t kMaxUnitBytes = kUnitClusters * kMaxCompressedCluster;

// Whole clusters for the unit reader: 1 when all ullCount arrived.
typedef int (*ClusterReadFn)(void* pContext, uint64_t ullLcn, uint64_t ullCount, uint8_t* pOut);

// What reads the compression units of one stream after the other: the
// volume's geometry, its clusters' reader, the decoders and a unit's room
// for the stored clusters, and where in the runs the last unit was found.
struct UnitReader {
    uint64_t ullCluster;
    uint64_t ullClusters;
    ClusterReadFn pfnRead;
    void* pReadContext;
    struct VxCodecs* pCodecs;
    uint8_t* pInput;  // kMaxUnitBytes
    uint64_t ullRun;
    uint64_t ullRunVcn;
};

enum {
    UNIT_OK = 0,
    UNIT_READ_FAILED,  // a cluster read failed (*pullLcn)
    UNIT_NOT_MAPPED,   // clusters of the unit inside the stream missing from the runs
    UNIT_BAD_DATA,     // the stored unit does not decompress, or a run lies off the volume
    UNIT_NO_CODEC,     // this build has no LZNT1 decoder
};

// Whether a compressed stream is laid out as Windows writes it (LZNT1 in
// units of 16 clusters of at most 4 KiB), the only one that is decoded.
int CompressionSupported(uint16_t wFlags, uint16_t wCompressionUnit, uint64_t ullCluster);
// Unit ullUnit of a compressed stream into pOut (kUnitClusters clusters):
// stored whole when its clusters are all on disk, zeros when none is, else
// LZNT1, its tail after the decoded bytes zeros.  ullStreamClusters bounds
// the clusters that must be mapped.  UNIT_OK or what failed.
int ReadCompressionUnit(UnitReader* pReader, const Run* pRuns, uint64_t ullRunCount,
                        uint64_t ullStreamClusters, uint64_t ullUnit, uint8_t* pOut,
                        uint64_t* pullLcn);
// The main thread's decoders, made when first needed (none if they cannot be).
struct VxCodecs* MainThreadCodecs();
// Frees the main thread's unit buffers and decoders (CloseVolume).
void ReleaseUnitReader();
// Set when a stream was not read because this build has no decoder for it
// (the caller clears it first): its content is then unknown, not damaged.
extern int StreamCodecMissing;

// ------------------------------------------- where a file's data is kept

// What a file's reparse point says of its data: on the volume as its
// streams hold it; WOF-compressed (the unnamed stream's content is in the
// WofCompressedData stream); kept elsewhere (a WIM file, the deduplication
// chunk store, a cloud service); or a reparse point too short to tell.
enum { DATA_ON_VOLUME = 0, DATA_WOF = 1, DATA_ELSEWHERE = 2, DATA_BAD_REPARSE = 3 };
struct DataPlace {
    int iPlace;
    uint32_t dwAlgorithm;  // DATA_WOF: 0 XPRESS4K, 1 LZX, 2 XPRESS8K, 3 XPRESS16K
    const char* pszWhy;    // DATA_ELSEWHERE, DATA_BAD_REPARSE: in words
};
DataPlace FindDataPlace(const Entry* pEntry);
// Whether the Attribute is the WofCompressedData stream.
int IsWofStream(const Attribute* pAttr);
// The largest WOF chunk, and the scratch a decoder needs: a chunk as
// stored, the chunk decoded, a window of the chunk table.
constexpr uint32_t kWofMaxChunk = 32 * 1024;
constexpr uint32_t kWofBlockBytes = 2 * kWofMaxChunk + 4096;
// Where a WOF decoder reads WofCompressedData: pfnRead gives ullCount bytes
// from ullOffset of the stream, 1 when all of them are read.  bQuiet: a
// hashing thread's decoder, whose failures the main thread reads again and
// reports (nothing is said, StreamCodecMissing is left alone).
struct WofSource {
    int (*pfnRead)(void* pContext, uint64_t ullOffset, uint64_t ullCount, uint8_t* pOut);
    void* pReadContext;
    struct VxCodecs* pCodecs;
    uint8_t* pBlock;  // kWofBlockBytes
    uint64_t ullRecord;
    int bQuiet;
};
// The ullSize bytes of a WOF file's unnamed stream, decompressed a chunk at
// a time from the ullStored bytes of its WofCompressedData and handed to
// pfnCallback; 1 all of them, 0 on the first fault.
int DecodeWofStream(const WofSource* pSource, uint64_t ullSize, uint64_t ullStored,
                    uint32_t dwAlgorithm, StreamCallback pfnCallback, void* pContext);
// The same on the main thread, read through the stream reader; 0 after a
// diagnostic.
int ProcessWofStream(const Entry* pEntry, const Attribute* pData, const Attribute* pWof,
                     uint32_t dwAlgorithm, StreamCallback pfnCallback, void* pContext);

// ----------------------------------------------------------- attributes

[[nodiscard]]
int ReadAllAttributes(Entry* pEntry, const uint8_t* pRecord, uint32_t dwRecordSize);
[[nodiscard]]
int InitAttribute(Entry* pEntry, const uint8_t* pAttrRecord, uint32_t dwLength);
// The first Attribute of the type; with a name (the empty one included), the
// first of the type with that name.
Attribute* FindAttribute(const Entry* pEntry, uint32_t dwType, const vx_wchar* pwszName);
[[nodiscard]]
int ProcessAttributeList(Entry* pEntry, const uint8_t* pList, uint64_t ullListSize,
                         int erasedOnly);
void FreeAttribute(Attribute* pAttr);

// ------------------------------------------------------- $Secure:$SDS

// Each $SDS entry: hash, security id, its own offset, its length, then the
// self-relative descriptor.
constexpr uint32_t kSdsHeaderSize = sds_entry::kHeaderSize;
constexpr uint32_t kSecInfoStep = 20;  // the security list grows by this many records

// Fills the Volume's security list from its $SDS stream; returns 0.
int LoadSecureSDS(Volume* pVol);
// Appends one record: the entry's offset and length field as stored.
int AddSecureSD(Volume* pVol, uint32_t dwId, uint64_t ullOffset, uint32_t dwSize);
// The first entry of the list with the id, or none.
SecInfo* FindSecureSD(const SecList* pList, uint32_t dwId);
// Frees the list and the descriptors it holds.
void FreeSecureSDs(SecList* pList);

// -------------------------------------------------------------- entries

// 0 read, 2 not read (the diagnostics say why).  InitEntry hands the Entry
// back whatever the read gave.
[[nodiscard]]
int InitEntry(Volume* pVol, Entry** ppEntry, uint64_t ullRecord, int erasedOnly);
[[nodiscard]]
int ReadEntry(Entry* pEntry, uint64_t ullRecord, int erasedOnly);
void CleanEntry(Entry* pEntry);
// CleanEntry's work for an Entry that is read again next: its array of
// Attributes is kept (released by CleanEntry or FreeEntry).
void RecycleEntry(Entry* pEntry);
void FreeEntry(Entry* pEntry);

// ------------------------------------------------------ copies of $MFT

// Whether the first bytes of a file (cb of them, a record's worth or the
// whole file) are those of a copy of the $MFT: 0 when they hold no FILE
// record; 1 with *pdwRecordSize set when record 0 is the $MFT's; 1 with
// *ppszWhat naming the field that refuses it (and *pullValue its value) when
// record 0 is a FILE record but no sound one of the $MFT.
int InspectMftCopy(const uint8_t* pBytes, size_t cb, uint32_t* pdwRecordSize,
                   const char** ppszWhat, uint64_t* pullValue);
// OpenVolume's part for a copy: its geometry (records from record 0, the
// cluster and sector sizes from the $Boot copy) and the device that reads
// the $MFT and $SDS copies as the clusters of a volume.  `pDev` is the
// copy's device when it is open already (a block of memory; the Volume
// then owns it), none to open pszMftCopy.
[[nodiscard]]
int OpenMftCopy(Volume* pVol, VxDevice* pDev);
// The $MFT data stream over the copy, sized as the recorded one (`pRecorded`,
// record 0's $DATA) within the whole records the copy holds.
Attribute* CopyMftData(Volume* pVol, const Attribute* pRecorded);
// The $SDS stream over its copy; none (said once) without one.
Attribute* CopySdsData(Volume* pVol);
// 1 when the copy holds fewer records than its $DATA: the records after its
// last whole one were lost.
int CopyCutShort(const Volume* pVol);
// 0 for a copy without $Boot: ClusterSize is then the record size.
int CopyClusterKnown(const Volume* pVol);
// A non-resident attribute list of a copy has no clusters to read: the
// file's extension records are those that name it as their base.
[[nodiscard]]
int GatherExtensionRecords(Entry* pEntry, int erasedOnly);
void CloseMftCopy(Volume* pVol);

// ---------------------------------------------------------- debug dumps

// -D: the in-memory form of an Entry with its Attributes and their runs.
void DumpEntry(FILE* stream, const Entry* pEntry);
void DumpAttribute(FILE* stream, const Attribute* pAttr);
