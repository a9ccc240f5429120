// Entries: the in-memory form of one file, its base record's header fields
// and all its Attributes, extension records included.
#include "diskio/diskio.h"
#include "text/vx_dump.h"
#include "base/vx_log.h"

#define VX_MODULE "diskio"

namespace {

// Reads the file's attribute list and the extension records it names.
// 0, or 2 when the list itself could not be read.
int ReadAttributeListStep(Entry* pEntry, int erasedOnly) {
    Volume* pVol = pEntry->pVolume;
    const Attribute* pList =
        FindAttribute(pEntry, pVol->AttrTypes[ATTR_ATTRIBUTE_LIST], nullptr);
    if (pList == nullptr || !(pEntry->wLinkCount == 0 || !erasedOnly)) return VX_OK;
    const uint64_t ullMaxList = MaxValueSize(pVol, pList->dwType);
    if (!pList->bResident && pList->ullSize > ullMaxList) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: attribute list of 0x" VX_X64 " bytes beyond the 0x" VX_X64
                    " bytes an attribute list can hold, not read - Base record #" VX_U64,
                    VX_WHERE, pList->ullSize, ullMaxList, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    const uint64_t ullVolumeBytes = pVol->ClusterNumber * pVol->ClusterSize;
    if (pList->ullSize >= kMaxStreamBuffer || (!pList->bResident && pList->ullSize > ullVolumeBytes)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: attribute list too large to be read (0x" VX_X64
                    " bytes) - Base record #" VX_U64,
                    VX_WHERE, pList->ullSize, pEntry->ullBaseRecord);
        log_message(VX_ERROR, "%s %s() l.%d: ReadStreamBytes failure - Base record #" VX_U64,
                    VX_WHERE, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    if (!pList->bResident && pVol->pCopy != nullptr) return GatherExtensionRecords(pEntry, erasedOnly);
    const uint64_t ullSize = pList->ullSize;
    auto* pBuffer = static_cast<uint8_t*>(
        VX_CALLOC(ullSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pBuffer - Base record #" VX_U64,
                  VX_WHERE, pEntry->ullBaseRecord));
    uint64_t ullCount = ullSize;
    int result = VX_OK;
    if (!ReadStreamBytes(pVol, pList, 0, &ullCount, pBuffer)) {
        log_message(VX_ERROR, "%s %s() l.%d: ReadStreamBytes failure - Base record #" VX_U64,
                    VX_WHERE, pEntry->ullBaseRecord);
        result = VX_FAILED;
    } else {
        // Reading extension records adds Attributes and moves the array:
        // nothing of the list Attribute is used after this point.  A list
        // that cannot be followed to its end has said so; the file is read
        // with the Attributes found up to there, as a record whose own
        // attributes run short still is.
        (void)ProcessAttributeList(pEntry, pBuffer, ullSize, erasedOnly);
    }
    VX_FREE(pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pBuffer - Base record #" VX_U64, VX_WHERE,
            pEntry->ullBaseRecord);
    return result;
}

}  // namespace

int InitEntry(Volume* pVol, Entry** ppEntry, uint64_t ullRecord, int erasedOnly) {
    *ppEntry = nullptr;
    auto* pEntry = static_cast<Entry*>(
        VX_CALLOC(1, sizeof(Entry), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC *pEntry - Base record #" VX_U64,
                  VX_WHERE, ullRecord));
    pEntry->pVolume = pVol;
    *ppEntry = pEntry;
    return ReadEntry(pEntry, ullRecord, erasedOnly);
}

int ReadEntry(Entry* pEntry, uint64_t ullRecord, int erasedOnly) {
    pEntry->bSecurityId = 0;
    pEntry->dwSecurityId = 0;
    if (ReadRecord(pEntry, ullRecord, 1, erasedOnly) != VX_OK) {
        CleanEntry(pEntry);
        return VX_FAILED;
    }
    int result = ReadAttributeListStep(pEntry, erasedOnly);
    if (DiskioDebugStream != nullptr) DumpEntry(DiskioDebugStream, pEntry);
    return result;
}

namespace {

void ReleaseAttributes(Entry* pEntry, bool bKeepArray) {
    if (DiskioDebugStream != nullptr)
        fprintf(DiskioDebugStream, "Cleaning entry, base record #" VX_U64 "\n",
                pEntry->ullBaseRecord);
    if (pEntry->pAttrList != nullptr) {
        for (uint16_t i = 0; i < pEntry->wAttrCount; i++)
            FreeAttribute(&pEntry->pAttrList[i]);
        if (!bKeepArray || pEntry->dwAttrRoom == 0) {
            VX_FREE(pEntry->pAttrList, VX_FATAL_SYS,
                    "%s %s l. %d: VX_FREE pAttr - Record #" VX_U64, VX_WHERE,
                    pEntry->ullBaseRecord);
            pEntry->pAttrList = nullptr;
            pEntry->dwAttrRoom = 0;
        }
        pEntry->wAttrCount = 0;
    }
    if (pEntry->pValueRoom != nullptr && pEntry->dwAttrRoom == 0) {
        VX_FREE(pEntry->pValueRoom, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pValueRoom - Record #" VX_U64,
                VX_WHERE, pEntry->ullBaseRecord);
        pEntry->pValueRoom = nullptr;
    }
    pEntry->dwValueUsed = 0;
    pEntry->ullBaseRecord = 0;
}

}  // namespace

void CleanEntry(Entry* pEntry) { ReleaseAttributes(pEntry, false); }

void RecycleEntry(Entry* pEntry) { ReleaseAttributes(pEntry, true); }

void FreeEntry(Entry* pEntry) {
    if (pEntry == nullptr) return;
    CleanEntry(pEntry);
    VX_FREE(pEntry, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pEntry", VX_WHERE);
}
