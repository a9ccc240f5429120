// The security fields of the report: the descriptor found in the volume's
// $Secure store by the file's security id, or the file's own
// $SECURITY_DESCRIPTOR, handed to the renderer.
#include <cstring>

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/platform.h"
#include "platform/stream_write.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "security/sd_dump.h"
#include "security/winsid.h"

#define VX_MODULE "info"

namespace {
// What is done with the descriptor found: the report fields, or the facts
// another format writes.
DescriptorRenderer g_pfnRender = DumpBufferSecurity;

// A few dozen descriptors serve a whole volume, so the line's security
// fields of each are rendered once and then written as they came out.  The
// render of a descriptor depends on its bytes alone (the record number
// appears only in diagnostics) when it is the line's own render, no user
// file is being filled and nothing traces; it is kept only once a render
// of it wrote no diagnostic, so every message still comes where it came.
bool KeepsLineText(int lineMode) {
    return lineMode && g_pfnRender == DumpBufferSecurity && WinsidUserStream == nullptr &&
           ReportRemembers();
}

// The descriptor rendered again into memory, kept in the entry and written:
// 1 with *pStatus the render's.  0 when there is no stream over memory
// (nothing was written: the caller renders as before).
int KeepLineText(FILE* stream, SecList* pList, SecInfo* pInfo, uint64_t ullRecord,
                 int* pStatus) {
    pInfo->bLineClean = -1;  // tried once, kept or not
    FILE* pText = nullptr;
    VxTextBuffer* pBuffer = vx_plat_text_buffer_open(&pText);
    if (pBuffer == nullptr) return 0;
    *pStatus = DumpBufferSecurity(pText, ullRecord, pInfo->pDescriptor,
                                  pInfo->dwDescriptorBytes, 1);
    const char* pBytes = nullptr;
    size_t cbBytes = 0;
    vx_plat_text_buffer_bytes(pBuffer, &pBytes, &cbBytes);
    if (cbBytes > 0 && cbBytes < UINT32_MAX &&
        pList->ullCachedBytes + cbBytes <= kMaxCachedDescriptorBytes) {
        pInfo->pLineText = static_cast<char*>(
            VX_CALLOC(cbBytes, 1, VX_FATAL_SYS,
                      "%s %s l. %d: VX_CALLOC pSecInfo->pLineText - Base record #" VX_U64,
                      VX_WHERE, ullRecord));
        memcpy(pInfo->pLineText, pBytes, cbBytes);
        pInfo->dwLineBytes = static_cast<uint32_t>(cbBytes);
        pInfo->lineStatus = *pStatus;
        pList->ullCachedBytes += cbBytes;
    }
    vx_put_bytes(stream, pBytes, cbBytes);
    vx_plat_text_buffer_close(pBuffer);
    return 1;
}

}  // namespace

int VisitSecurityDescriptor(FILE* stream, const Entry* pEntry, DescriptorRenderer pfnRender) {
    g_pfnRender = pfnRender;
    const int s = DumpSecurityFields(stream, pEntry, 1);
    g_pfnRender = DumpBufferSecurity;
    return s;
}

int DumpSecurityFields(FILE* stream, const Entry* pEntry, int lineMode) {
    // A copy of the $MFT without its $SDS copy has no store to look the id up
    // in (said once, as the volume opened): the file's own descriptor serves.
    const Volume* pVol = pEntry->pVolume;
    const bool bStore = pVol->pCopy == nullptr || pVol->pSecureData != nullptr;
    if (pVol->MajorVersion > 2 && pEntry->bSecurityId && bStore) {
        int bRendered = 0;
        const int s = Dump_SDS_Security(stream, pEntry, lineMode, &bRendered);
        if (bRendered) return s;
        log_message(VX_ERROR,
                    "%s %s() l.%d: security id %u not found, trying SD stream - Base record : " VX_U64,
                    VX_MODULE, "DumpFileInfo", __LINE__, pEntry->dwSecurityId,
                    pEntry->ullBaseRecord);
    }
    const Attribute* pAttr =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_SECURITY_DESCRIPTOR), nullptr);
    if (pAttr != nullptr) return Dump_Stream_Security(stream, pEntry, pAttr, lineMode);
    if (lineMode && stream != nullptr) fputs("||||", stream);
    return VX_OK;
}

int Dump_SDS_Security(FILE* stream, const Entry* pEntry, int lineMode, int* pbRendered) {
    *pbRendered = 0;
    Volume* pVol = pEntry->pVolume;
    SecList* pList = &pVol->secList;
    if (pList->pBuffer == nullptr || pList->dwBufferSize < pList->dwMaxSize) {
        if (pList->dwMaxSize == 0) return VX_FAILED;
        // Entries added after the first lookup (in tests) may need more room.
        if (pList->pBuffer != nullptr)
            VX_FREE(pList->pBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE secList.pBuffer", VX_WHERE);
        pList->dwBufferSize = pList->dwMaxSize;
        pList->pBuffer = static_cast<uint8_t*>(VX_CALLOC(
            pList->dwMaxSize, 1, VX_FATAL_SYS,
            "%s %s l. %d: VX_CALLOC pEntry->pVolume->secList.dwMaxSize - Base record #" VX_U64,
            VX_WHERE, pEntry->ullBaseRecord));
    }
    SecInfo* pInfo = FindSecureSD(pList, pEntry->dwSecurityId);
    if (pInfo == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: security id %u not found - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    *pbRendered = 1;
    // A few dozen descriptors serve a whole volume: each is read once.  A
    // read that wrote anything, or ran with a trace, is done again for every
    // file so that its messages stay with each of them.
    if (pInfo->pDescriptor != nullptr) {
        const bool bKeeps = KeepsLineText(lineMode);
        if (bKeeps && pInfo->pLineText != nullptr) {
            vx_put_bytes(stream, pInfo->pLineText, pInfo->dwLineBytes);
            return pInfo->lineStatus;
        }
        int s = VX_OK;
        if (bKeeps && pInfo->bLineClean == 1 &&
            KeepLineText(stream, pList, pInfo, pEntry->ullBaseRecord, &s))
            return s;
        const uint64_t ullRendered = VxMessageCount;
        s = g_pfnRender(stream, pEntry->ullBaseRecord, pInfo->pDescriptor,
                        pInfo->dwDescriptorBytes, lineMode);
        if (bKeeps && VxMessageCount == ullRendered && pInfo->bLineClean == 0)
            pInfo->bLineClean = 1;
        return s;
    }
    // The entry's length counts its 20-byte header: the descriptor is the
    // rest, and the bytes after it belong to the next entry.
    uint64_t ullCount = pInfo->dwSize >= kSdsHeaderSize ? pInfo->dwSize - kSdsHeaderSize : 0;
    const uint64_t ullMessages = VxMessageCount;
    if (pVol->pSecureData == nullptr ||
        !ReadStreamBytes(pVol, pVol->pSecureData, pInfo->ullOffset, &ullCount, pList->pBuffer)) {
        *pbRendered = 0;
        log_message(VX_ERROR,
                    "%s %s() l.%d: security id %u not read (" VX_U64 ") - Base record : " VX_U64,
                    VX_WHERE, pEntry->dwSecurityId, ullCount, pEntry->ullBaseRecord);
        return VX_FAILED;
    }
    if (VxMessageCount == ullMessages && ReportRemembers() && ullCount > 0 &&
        pList->ullCachedBytes + ullCount <= kMaxCachedDescriptorBytes) {
        pInfo->pDescriptor = static_cast<uint8_t*>(
            VX_CALLOC(ullCount, 1, VX_FATAL_SYS,
                      "%s %s l. %d: VX_CALLOC pSecInfo->pDescriptor - Base record #" VX_U64,
                      VX_WHERE, pEntry->ullBaseRecord));
        memcpy(pInfo->pDescriptor, pList->pBuffer, ullCount);
        pInfo->dwDescriptorBytes = static_cast<uint32_t>(ullCount);
        pList->ullCachedBytes += ullCount;
    }
    const uint64_t ullRendered = VxMessageCount;
    const int s = g_pfnRender(stream, pEntry->ullBaseRecord, pList->pBuffer, ullCount, lineMode);
    if (pInfo->pDescriptor != nullptr && KeepsLineText(lineMode) && VxMessageCount == ullRendered)
        pInfo->bLineClean = 1;
    return s;
}

int Dump_Stream_Security(FILE* stream, const Entry* pEntry, const Attribute* pAttr, int lineMode) {
    uint64_t ullSize = 0;
    uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
    int status = g_pfnRender(stream, pEntry->ullBaseRecord, pValue, ullSize, lineMode);
    ReleaseStreamBuffer(pAttr, pValue);
    return status;
}
