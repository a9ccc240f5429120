// The report of one file, field after field: the line of pipe-separated
// fields or, with -v, the labelled block.
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "text/vx_locale.h"

#define VX_MODULE "info"

int DumpFileInfo(FILE* stream, Entry* pEntry, int md5, int lineMode) {
    int status = VX_OK;
    fprintf(stream, lineMode ? VX_U64 "|" : "MFT record number : " VX_U64 "\n",
            pEntry->ullBaseRecord);

    int s = DumpFullPath(stream, pEntry, lineMode);
    if (s == VX_FAILED) status = VX_FAILED;

    if (md5) {
        if (!DumpMd5(stream, pEntry, lineMode)) status = VX_FAILED;
    } else if (lineMode) {
        fputs("|", stream);
    }

    if (pEntry->wLinkCount != 0)
        fprintf(stream, lineMode ? "%u|" : "Number of hard links : %u\n", pEntry->wLinkCount);
    else
        fputs(lineMode ? "0|" : "Erased file\n", stream);

    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    const Attribute* pMain = FindAttribute(pEntry, dwData, nullptr);
    if (pMain != nullptr)
        fprintf(stream, lineMode ? VX_U64 "|" : "Data stream size : " VX_U64 "\n",
                pMain->ullSize);
    else if (lineMode)
        fputs("|", stream);

    const Attribute* pStandard =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_STANDARD_INFORMATION), nullptr);
    if (pStandard != nullptr) {
        s = DumpStandard(stream, pEntry, pStandard, lineMode);
        if (s == VX_FAILED) status = VX_FAILED;
    } else if (lineMode) {
        fputs("|||||", stream);
    }

    uint32_t dwStreams = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++)
        if (pEntry->pAttrList[k].dwType == dwData) dwStreams++;
    fprintf(stream, lineMode ? "%u|" : "Number of data stream : %u\n", dwStreams);

    s = DumpSecurityFields(stream, pEntry, lineMode);
    if (s == VX_FAILED) status = VX_FAILED;

    uint32_t dwAlternate = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData || pAttr->wszName[0] == 0) continue;
        if (lineMode) {
            vx_fputws(stream, pAttr->wszName);
            fprintf(stream, "|" VX_U64 "|", pAttr->ullSize);
        } else {
            fprintf(stream, "Alternate data stream #%u Name: ", dwAlternate);
            vx_fputws(stream, pAttr->wszName);
            fprintf(stream, "\n Size : " VX_U64 "\n", pAttr->ullSize);
        }
        dwAlternate++;
    }
    fputs("\n", stream);
    return status;
}
