// Attributes: the attribute records of MFT records turned into the
// Attributes of an Entry, and the attribute list followed to the extension
// records of a file.
#include <cstddef>
#include <cstring>

#include "diskio/diskio.h"
#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/layout/attribute_header.h"
#include "diskio/layout/attribute_list_entry.h"
#include "diskio/layout/record_header.h"

#define VX_MODULE "diskio"

namespace {

constexpr uint16_t kAttrStep = 7;
constexpr uint16_t kMaxAttributes = 0xFFFF;
constexpr uint64_t kRecordStep = 7;
constexpr uint32_t kResidentHeader = resident_attribute::kHeaderSize;
constexpr uint32_t kNonResidentHeader = nonresident_attribute::kHeaderSize;
constexpr uint32_t kListEntryHeader = attribute_list_entry::kHeaderSize;

constexpr uint32_t kNoRecord = 0xFFFFFFFFu;

// The bucket of a record named by an attribute list (a power of two of them).
uint32_t ListBucket(uint64_t ullRecord, uint32_t dwBuckets) {
    return static_cast<uint32_t>((ullRecord * 0x9E3779B97F4A7C15ull) >> 32) & (dwBuckets - 1);
}

bool SameName(const vx_wchar* a, const vx_wchar* b) {
    for (uint32_t i = 0; i < kMaxNameUnits; i++) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
    return true;
}

}  // namespace

int ReadAllAttributes(Entry* pEntry, const uint8_t* pRecord, uint32_t dwRecordSize) {
    uint32_t dwOffset = vx_le16(pRecord, dwRecordSize, record_header::kAttributesOffset);
    uint32_t dwInUse = vx_le32(pRecord, dwRecordSize, record_header::kBytesInUse);
    // Bytes in use beyond the record cannot be; the record bounds the walk.
    if (dwInUse > dwRecordSize) dwInUse = dwRecordSize;
    while (dwOffset < dwInUse) {
        if (!vx_fits(dwInUse, dwOffset, 4)) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: attribute header runs past the bytes in use at offset 0x%x "
                        "- Record #" VX_U64,
                        VX_WHERE, dwOffset, pEntry->ullBaseRecord);
            return 0;
        }
        const uint32_t dwType = vx_le32(pRecord, dwInUse, dwOffset + attribute_header::kType);
        if (DiskioDebugStream != nullptr)
            fprintf(DiskioDebugStream, "ReadAllAttributes : found type 0x%x\n", dwType);
        if (dwType == attribute_header::kEndMarker) break;
        const uint32_t dwLength = vx_le32(pRecord, dwInUse, dwOffset + attribute_header::kLength);
        const uint8_t bNonResident =
            vx_le8(pRecord, dwInUse, dwOffset + attribute_header::kNonResident);
        const uint32_t dwMin = bNonResident ? kNonResidentHeader : kResidentHeader;
        if (dwLength < dwMin || dwLength > dwInUse - dwOffset) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: bad attribute length %u at offset 0x%x (0x%x bytes in use) "
                        "- Record #" VX_U64,
                        VX_WHERE, dwLength, dwOffset, dwInUse, pEntry->ullBaseRecord);
            return 0;
        }
        if (!InitAttribute(pEntry, pRecord + dwOffset, dwLength)) return 0;
        dwOffset += dwLength;
    }
    return 1;
}

int InitAttribute(Entry* pEntry, const uint8_t* pAttrRecord, uint32_t dwLength) {
    const uint32_t dwType = vx_le32(pAttrRecord, dwLength, attribute_header::kType);
    const int bResident =
        vx_le8(pAttrRecord, dwLength, attribute_header::kNonResident) == 0 ? 1 : 0;
    const uint16_t wNameLength = vx_le8(pAttrRecord, dwLength, attribute_header::kNameLength);
    const uint32_t dwNameOffset = vx_le16(pAttrRecord, dwLength, attribute_header::kNameOffset);
    const uint16_t wFlags = vx_le16(pAttrRecord, dwLength, attribute_header::kFlags);

    // Units up to the terminator only: nothing reads a name beyond it.
    vx_wchar wszName[kMaxNameUnits];
    wszName[0] = 0;
    if (wNameLength != 0) {
        if (!vx_fits(dwLength, dwNameOffset, 2u * wNameLength)) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: attribute 0x%x name (offset 0x%x, %u units) outside its "
                        "record of %u bytes - Base record #" VX_U64,
                        VX_WHERE, dwType, dwNameOffset, wNameLength, dwLength,
                        pEntry->ullBaseRecord);
            return 0;
        }
        // The units are copied byte by byte: the name need not be aligned.
        for (uint16_t i = 0; i < wNameLength; i++)
            wszName[i] = vx_le16(pAttrRecord, dwLength, dwNameOffset + 2u * i);
        wszName[wNameLength] = 0;
    }

    uint32_t dwValueLength = 0, dwValueOffset = 0;
    uint32_t dwPairsOffset = 0;
    if (bResident) {
        dwValueLength = vx_le32(pAttrRecord, dwLength, resident_attribute::kValueLength);
        dwValueOffset = vx_le16(pAttrRecord, dwLength, resident_attribute::kValueOffset);
        if (!vx_fits(dwLength, dwValueOffset, dwValueLength)) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: attribute 0x%x value (offset 0x%x, %u bytes) outside its "
                        "record of %u bytes - Base record #" VX_U64,
                        VX_WHERE, dwType, dwValueOffset, dwValueLength, dwLength,
                        pEntry->ullBaseRecord);
            return 0;
        }
    } else {
        dwPairsOffset = vx_le16(pAttrRecord, dwLength, nonresident_attribute::kPairsOffset);
        if (dwPairsOffset > dwLength) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: attribute 0x%x mapping pairs offset 0x%x outside its "
                        "record of %u bytes - Base record #" VX_U64,
                        VX_WHERE, dwType, dwPairsOffset, dwLength, pEntry->ullBaseRecord);
            return 0;
        }
    }
    // Read for resident values too, where the bytes hold the value's length
    // and offset: only a non-resident Attribute uses them.
    const uint64_t ullFirstVcn = vx_le64(pAttrRecord, dwLength, nonresident_attribute::kFirstVcn);
    const uint64_t ullLastVcn = vx_le64(pAttrRecord, dwLength, nonresident_attribute::kLastVcn);

    if (!bResident) {
        // A further extent of an Attribute of the same type and name; an
        // unnamed extent continues only an unnamed Attribute.
        Attribute* pExisting = FindAttribute(pEntry, dwType, wszName);
        if (pExisting != nullptr && !pExisting->bResident) {
            // Runs refused or cut short have said so: the stream keeps the
            // runs before them, and reads past those fail where they end.
            (void)ProcessRunlist(pExisting, pAttrRecord + dwPairsOffset, dwLength - dwPairsOffset,
                           ullFirstVcn, ullLastVcn);
            return 1;
        }
    }

    if (pEntry->wAttrCount == kMaxAttributes) {
        // The count is 16 bits wide: one more would wrap it to 0 and lose
        // (and leak) every Attribute before.  Only extension records named
        // by a damaged attribute list bring a file this many.
        log_message(VX_ERROR,
                    "%s %s() l.%d: more than %u attributes, attribute 0x%x not added - Base "
                    "record #" VX_U64,
                    VX_WHERE, static_cast<unsigned>(kMaxAttributes), dwType,
                    pEntry->ullBaseRecord);
        return 0;
    }
    // The array keeps its room from file to file (RecycleEntry); it grows
    // in the steps it always grew by.
    if (pEntry->wAttrCount >= pEntry->dwAttrRoom && vx_grows(pEntry->wAttrCount, kAttrStep)) {
        if (pEntry->pAttrList == nullptr)
            pEntry->pAttrList = static_cast<Attribute*>(
                VX_CALLOC(kAttrStep, sizeof(Attribute), VX_FATAL_SYS,
                          "%s %s l. %d: VX_CALLOC pAttrList - Base record #" VX_U64, VX_WHERE,
                          pEntry->ullBaseRecord));
        else
            pEntry->pAttrList = static_cast<Attribute*>(
                VX_REALLOC(pEntry->pAttrList, vx_grown(pEntry->wAttrCount, kAttrStep),
                           sizeof(Attribute), VX_FATAL_SYS,
                           "%s %s l. %d: VX_REALLOC pAttrList - Base record #" VX_U64, VX_WHERE,
                           pEntry->ullBaseRecord));
        pEntry->dwAttrRoom = static_cast<uint32_t>(vx_grown(pEntry->wAttrCount, kAttrStep));
    }
    Attribute* pAttr = &pEntry->pAttrList[pEntry->wAttrCount];
    // Every field zero but the name, which is copied up to its terminator:
    // the 512 bytes of a whole name cost more than the rest of the record.
    constexpr size_t kNameAt = offsetof(Attribute, wszName);
    constexpr size_t kAfterName = kNameAt + sizeof pAttr->wszName;
    memset(pAttr, 0, kNameAt);
    memset(reinterpret_cast<char*>(pAttr) + kAfterName, 0, sizeof *pAttr - kAfterName);
    pAttr->wNameLength = wNameLength;
    pAttr->dwType = dwType;
    memcpy(pAttr->wszName, wszName, (wNameLength + 1u) * sizeof(vx_wchar));
    pAttr->bResident = bResident;
    pAttr->wFlags = wFlags;

    if (DiskioDebugStream != nullptr) {
        fprintf(DiskioDebugStream, "Adding attribute 0x%x, name \"", dwType);
        vx_fputws(DiskioDebugStream, pAttr->wszName);
        fprintf(DiskioDebugStream, "\", to base record #" VX_U64 "\n", pEntry->ullBaseRecord);
    }

    if (bResident) {
        pAttr->ullSize = dwValueLength;
        // Values go in the Entry's room while it lasts (a record's values
        // fit in it; those of extension records may not), the rest alone.
        const uint32_t dwRoomBytes = (dwValueLength + 7u) & ~7u;
        if (pEntry->dwAttrRoom != 0 && pEntry->pValueRoom == nullptr)
            pEntry->pValueRoom = static_cast<uint8_t*>(
                VX_CALLOC(kEntryValueRoom, 1, VX_FATAL_SYS,
                          "%s %s l. %d: VX_CALLOC pValueRoom - Entry #" VX_U64, VX_WHERE,
                          pEntry->ullBaseRecord));
        if (pEntry->pValueRoom != nullptr && dwValueLength <= kEntryValueRoom &&
            dwRoomBytes <= kEntryValueRoom - pEntry->dwValueUsed) {
            pAttr->pStream = pEntry->pValueRoom + pEntry->dwValueUsed;
            pAttr->bValueInEntry = 1;
            pEntry->dwValueUsed += dwRoomBytes;
        } else {
            pAttr->pStream = static_cast<uint8_t*>(VX_CALLOC(
                dwValueLength, 1, VX_FATAL_SYS,
                "%s %s l. %d: VX_CALLOC pStream - Entry #" VX_U64 " attribute type 0x%x",
                VX_WHERE, pEntry->ullBaseRecord, dwType));
        }
        if (dwValueLength > 0) memcpy(pAttr->pStream, pAttrRecord + dwValueOffset, dwValueLength);
    } else {
        pAttr->ullSize = vx_le64(pAttrRecord, dwLength, nonresident_attribute::kDataSize);
        pAttr->wCompressionUnit =
            vx_le16(pAttrRecord, dwLength, nonresident_attribute::kCompressionUnit);
        pAttr->ullInitSize = vx_le64(pAttrRecord, dwLength, nonresident_attribute::kInitializedSize);
    }
    pEntry->wAttrCount++;
    if (!bResident)  // as above: what the runlist refused has been said
        (void)ProcessRunlist(pAttr, pAttrRecord + dwPairsOffset, dwLength - dwPairsOffset,
                             ullFirstVcn, ullLastVcn);
    return 1;
}

Attribute* FindAttribute(const Entry* pEntry, uint32_t dwType, const vx_wchar* pwszName) {
    for (uint16_t i = 0; i < pEntry->wAttrCount; i++) {
        Attribute* pAttr = &pEntry->pAttrList[i];
        if (pAttr->dwType != dwType) continue;
        if (pwszName == nullptr || SameName(pAttr->wszName, pwszName))
            return pAttr;
    }
    return nullptr;
}

int ProcessAttributeList(Entry* pEntry, const uint8_t* pList, uint64_t ullListSize,
                         int erasedOnly) {
    auto* pRecords = static_cast<uint64_t*>(
        VX_CALLOC(kRecordStep, sizeof(uint64_t), VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC pRecords - Base record #" VX_U64, VX_WHERE,
                  pEntry->ullBaseRecord));
    uint64_t ullCount = 0;
    const uint64_t ullBase = pEntry->ullBaseRecord;
    // Each entry takes kListEntryHeader bytes at least: the list names at
    // most this many records, the base record besides.
    const uint64_t ullMaxRecords = ullListSize / kListEntryHeader + 2;
    uint32_t dwBuckets = 1;
    while (dwBuckets < ullMaxRecords && dwBuckets < (1u << 20)) dwBuckets <<= 1;
    auto* pdwHeads = static_cast<uint32_t*>(
        VX_CALLOC(dwBuckets, sizeof(uint32_t), VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC pdwHeads - Base record #" VX_U64, VX_WHERE, ullBase));
    for (uint32_t b = 0; b < dwBuckets; b++) pdwHeads[b] = kNoRecord;
    auto* pdwBelow = static_cast<uint32_t*>(
        VX_CALLOC(ullMaxRecords, sizeof(uint32_t), VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC pdwBelow - Base record #" VX_U64, VX_WHERE, ullBase));
    pdwBelow[0] = kNoRecord;
    pdwHeads[ListBucket(ullBase, dwBuckets)] = 0;
    pRecords[ullCount++] = ullBase;
    int result = VX_OK;
    uint64_t ullOffset = 0;
    const size_t cbList = static_cast<size_t>(ullListSize);
    while (ullOffset < ullListSize) {
        const uint16_t wLength = vx_le16(pList, cbList, ullOffset + attribute_list_entry::kLength);
        if (!vx_fits(cbList, ullOffset, kListEntryHeader) || wLength < kListEntryHeader ||
            wLength > ullListSize - ullOffset) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: bad attribute list entry (length %u at offset 0x" VX_X64
                        ", list of " VX_U64 " bytes) - Base record #" VX_U64,
                        VX_WHERE, wLength, ullOffset, ullListSize, ullBase);
            result = VX_FAILED;
            break;
        }
        const uint64_t ullRecord = vx_le48(pList, cbList, ullOffset + attribute_list_entry::kRecord);
        // Whether the record was read already: its bucket's chain, not a
        // pass over the thousands of records a long list may name.
        const uint32_t dwBucket = ListBucket(ullRecord, dwBuckets);
        bool bSeen = false;
        for (uint32_t i = pdwHeads[dwBucket]; i != kNoRecord && !bSeen; i = pdwBelow[i])
            bSeen = pRecords[i] == ullRecord;
        if (!bSeen) {
            if (vx_grows(ullCount, kRecordStep))
                pRecords = static_cast<uint64_t*>(
                    VX_REALLOC(pRecords, vx_grown(ullCount, kRecordStep), sizeof(uint64_t),
                               VX_FATAL_SYS,
                               "%s %s l. %d: VX_REALLOC Base record #" VX_U64, VX_WHERE, ullBase));
            pdwBelow[ullCount] = pdwHeads[dwBucket];
            pdwHeads[dwBucket] = static_cast<uint32_t>(ullCount);
            pRecords[ullCount++] = ullRecord;
            if (ReadRecord(pEntry, ullRecord, 0, erasedOnly) != VX_OK) {
                result = VX_FAILED;
                break;
            }
        }
        ullOffset += wLength;
    }
    VX_FREE(pRecords, VX_FATAL_SYS, "%s %s l. %d: VX_FREE Base Record #" VX_U64, VX_WHERE,
            ullBase);
    VX_FREE(pdwHeads, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pdwHeads", VX_WHERE);
    VX_FREE(pdwBelow, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pdwBelow", VX_WHERE);
    return result;
}

void FreeAttribute(Attribute* pAttr) {
    if (pAttr == nullptr) return;
    if (pAttr->bValueInEntry) {
        pAttr->pStream = nullptr;
        pAttr->bValueInEntry = 0;
    }
    if (pAttr->pStream != nullptr) {
        VX_FREE(pAttr->pStream, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pStream - Attribute type 0x%x",
                VX_WHERE, pAttr->dwType);
        pAttr->pStream = nullptr;
    }
    if (pAttr->pRunlist != nullptr) {
        VX_FREE(pAttr->pRunlist, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pRunlist -Attribute type 0x%x",
                VX_WHERE, pAttr->dwType);
        pAttr->pRunlist = nullptr;
        pAttr->ullRunCount = 0;
    }
    if (pAttr->pullRunStarts != nullptr) {
        VX_FREE(pAttr->pullRunStarts, VX_FATAL_SYS,
                "%s %s l. %d: VX_FREE pullRunStarts - Attribute type 0x%x", VX_WHERE,
                pAttr->dwType);
        pAttr->pullRunStarts = nullptr;
    }
    pAttr->ullIndexedRuns = 0;
}
