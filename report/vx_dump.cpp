#include "report/vx_dump.h"

#include <cctype>
#include <cstdint>

#include "diskio/diskio.h"
#include "run/vx_log.h"
#include "text/vx_locale.h"

void DumpHex(FILE* stream, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t off = 0; off < length; off += 16) {
        fprintf(stream, "%04zx: ", off);
        for (size_t i = 0; i < 16; i++) {
            if (off + i < length)
                fprintf(stream, "%02x ", p[off + i]);
            else
                fputs("   ", stream);
            if (i == 7) fputc(' ', stream);
        }
        fputs("  ", stream);
        for (size_t i = 0; i < 16 && off + i < length; i++) {
            uint8_t b = p[off + i];
            if (isprint(b))
                wc_output_function(stream, b);
            else
                fputc('.', stream);
        }
        fputc('\n', stream);
    }
}

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
