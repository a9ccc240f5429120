#include "security/vx_comment.h"

#include "run/vx_log.h"

#define VX_MODULE "vx_comment"

// Output order: Encrypted follows Archive, as in the help text's list.
const BitName FileAttributeBits[] = {
    {0x1, "Ro", "Read-Only"},
    {0x2, "Hi", "Hidden"},
    {0x4, "Sy", "System"},
    {0x10, "Di", "Directory"},
    {0x20, "Ar", "Archive"},
    {0x4000, "En", "Encrypted"},
    {0x80, "No", "Normal"},
    {0x100, "Te", "Temporary"},
    {0x200, "Sp", "Sparse file"},
    {0x400, "Re", "Reparse point"},
    {0x800, "Co", "Compressed"},
    {0x1000, "Of", "Offline"},
    {0x2000, "Ni", "Not content indexed"},
    {0, nullptr, nullptr},
};

void DumpBits(FILE* stream, uint32_t value, const BitName* table, int lineMode) {
    if (table == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: no reference", VX_WHERE);
        return;
    }
    uint32_t dwShown = 0;
    int bFirst = 1;
    for (const BitName* pRow = table; pRow->dwMask != 0; pRow++) {
        const uint32_t dwMask = pRow->dwMask;
        if ((value & dwMask) != dwMask || (dwShown & dwMask) == dwMask) continue;
        if (lineMode)
            fputs(pRow->pszCode, stream);
        else
            fprintf(stream, bFirst ? "%s" : ", %s", pRow->pszName);
        bFirst = 0;
        dwShown |= dwMask;
    }
    fputs(lineMode ? "|" : "\n", stream);
}
