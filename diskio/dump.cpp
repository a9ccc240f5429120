// -D dumps of the in-memory form of an Entry with its Attributes and runs.
#include <cstdint>

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "text/vx_locale.h"

void DumpEntry(FILE* stream, const Entry* pEntry) {
    fprintf(stream, "Base record number : " VX_U64 "\n", pEntry->ullBaseRecord);
    fprintf(stream, " Number of hard links : %u\n", pEntry->wLinkCount);
    fprintf(stream, " Number of attributes : %u\n", pEntry->wAttrCount);
    for (unsigned i = 0; i < pEntry->wAttrCount; i++) {
        fprintf(stream, "  Attribute #%u\n", i);
        DumpAttribute(stream, &pEntry->pAttrList[i]);
    }
    fputc('\n', stream);
}

void DumpAttribute(FILE* stream, const Attribute* pAttr) {
    fprintf(stream, "   Type : 0x%x\n", pAttr->dwType);
    fputs(pAttr->bResident ? "   Resident\n" : "   Non-resident\n", stream);
    if (pAttr->wNameLength != 0) {
        fputs("   Name: ", stream);
        vx_fputws(stream, pAttr->wszName);
        fputc('\n', stream);
    }
    fprintf(stream, "   Stream size : 0x" VX_X64 "\n", pAttr->ullSize);
    if (pAttr->wFlags != 0)
        fprintf(stream, "   Compressed stream (Engine : 0x%x)\n", pAttr->wCompressionUnit);
    if (!pAttr->bResident) {
        fprintf(stream, "   # of runs : " VX_U64 "\n", pAttr->ullRunCount);
        fprintf(stream, "   # of clusters : 0x" VX_X64 "\n", pAttr->ullNextVcn);
    }
    for (uint64_t r = 0; r < pAttr->ullRunCount; r++) {
        fprintf(stream, "   Run #" VX_U64 "\n", r);
        fprintf(stream, "    Lcn 0x" VX_X64 ", length 0x" VX_X64 "\n",
                static_cast<uint64_t>(pAttr->pRunlist[r].llLcn), pAttr->pRunlist[r].ullLength);
    }
}
