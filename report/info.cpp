// The report of one file, field after field: the line of pipe-separated
// fields or, with -v, the labelled block.
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "platform/stream_write.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "text/vx_locale.h"

#define VX_MODULE "info"

int DumpFileInfo(FILE* stream, Entry* pEntry, int md5, int lineMode) {
    int status = VX_OK;
    // The line's fields go out without printf: they are written for every file.
    if (lineMode) {
        vx_put_u64(stream, pEntry->ullBaseRecord);
        vx_put_char(stream, '|');
    } else {
        fprintf(stream, "MFT record number : " VX_U64 "\n", pEntry->ullBaseRecord);
    }

    int s = DumpFullPath(stream, pEntry, lineMode);
    if (s == VX_FAILED) status = VX_FAILED;

    if (md5) {
        if (!DumpMd5(stream, pEntry, lineMode)) status = VX_FAILED;
    } else if (lineMode) {
        vx_put_char(stream, '|');
    }

    if (lineMode) {
        vx_put_u64(stream, pEntry->wLinkCount);
        vx_put_char(stream, '|');
    } else if (pEntry->wLinkCount != 0) {
        fprintf(stream, "Number of hard links : %u\n", pEntry->wLinkCount);
    } else {
        fputs("Erased file\n", stream);
    }

    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    const Attribute* pMain = FindAttribute(pEntry, dwData, nullptr);
    if (lineMode) {
        if (pMain != nullptr) vx_put_u64(stream, pMain->ullSize);
        vx_put_char(stream, '|');
    } else if (pMain != nullptr) {
        fprintf(stream, "Data stream size : " VX_U64 "\n", pMain->ullSize);
    }

    const Attribute* pStandard =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_STANDARD_INFORMATION), nullptr);
    if (pStandard != nullptr) {
        s = DumpStandard(stream, pEntry, pStandard, lineMode);
        if (s == VX_FAILED) status = VX_FAILED;
    } else if (lineMode) {
        vx_put_text(stream, "|||||");
    }

    uint32_t dwStreams = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++)
        if (pEntry->pAttrList[k].dwType == dwData) dwStreams++;
    if (lineMode) {
        vx_put_u64(stream, dwStreams);
        vx_put_char(stream, '|');
    } else {
        fprintf(stream, "Number of data stream : %u\n", dwStreams);
    }

    s = DumpSecurityFields(stream, pEntry, lineMode);
    if (s == VX_FAILED) status = VX_FAILED;

    uint32_t dwAlternate = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData || pAttr->wszName[0] == 0) continue;
        if (lineMode) {
            vx_fputws(stream, pAttr->wszName);
            vx_put_char(stream, '|');
            vx_put_u64(stream, pAttr->ullSize);
            vx_put_char(stream, '|');
        } else {
            fprintf(stream, "Alternate data stream #%u Name: ", dwAlternate);
            vx_fputws(stream, pAttr->wszName);
            fprintf(stream, "\n Size : " VX_U64 "\n", pAttr->ullSize);
        }
        dwAlternate++;
    }
    vx_put_char(stream, '\n');
    return status;
}
