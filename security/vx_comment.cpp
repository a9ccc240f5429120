#include "security/vx_comment.h"

#include "base/vx_log.h"

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

const BitName* NextBitRow(uint32_t value, const BitName* pRow, uint32_t* pdwShown) {
    for (; pRow->dwMask != 0; pRow++) {
        const uint32_t dwMask = pRow->dwMask;
        if ((value & dwMask) != dwMask || (*pdwShown & dwMask) == dwMask) continue;
        *pdwShown |= dwMask;
        return pRow;
    }
    return nullptr;
}

char* FormatBitCodes(char* p, uint32_t value, const BitName* table) {
    uint32_t dwShown = 0;
    for (const BitName* pRow = NextBitRow(value, table, &dwShown); pRow != nullptr;
         pRow = NextBitRow(value, pRow + 1, &dwShown))
        for (const char* c = pRow->pszCode; *c != 0; c++) *p++ = *c;
    *p = 0;
    return p;
}

void DumpBits(FILE* stream, uint32_t value, const BitName* table, int lineMode) {
    if (table == nullptr) {
        log_message(VX_ERROR, "%s %s() l.%d: no reference", VX_WHERE);
        return;
    }
    uint32_t dwShown = 0;
    int bFirst = 1;
    for (const BitName* pRow = NextBitRow(value, table, &dwShown); pRow != nullptr;
         pRow = NextBitRow(value, pRow + 1, &dwShown)) {
        if (lineMode)
            fputs(pRow->pszCode, stream);
        else
            fprintf(stream, bFirst ? "%s" : ", %s", pRow->pszName);
        bFirst = 0;
    }
    fputs(lineMode ? "|" : "\n", stream);
}

// Composite rights come first, so that they win over the rights they cover.
const BitName AccessRightsBits[] = {
    {0x001F01FF, "Fa", "File all access"},
    {0x00120089, "Fr", "File generic read"},
    {0x00120116, "Fw", "File generic write"},
    {0x001200A0, "Fe", "File generic execute"},
    {0x001F0000, "Sa", "Standard rights all"},
    {0x00000001, "Rd", "File read data"},
    {0x00000002, "Wd", "File write data"},
    {0x00000004, "Ad", "File append data"},
    {0x00000008, "Re", "File read extended area"},
    {0x00000010, "We", "File write extended area"},
    {0x00000020, "Ex", "File execute"},
    {0x00000040, "Dc", "File delete child"},
    {0x00000080, "Ra", "File read atributes"},
    {0x00000100, "Wa", "File write attributes"},
    {0x00010000, "De", "Delete access"},
    {0x00020000, "Rc", "Read control"},
    {0x00040000, "Wc", "Write access DACL"},
    {0x00080000, "Wo", "Write owner"},
    {0x00100000, "Sy", "Synchronize access"},
    {0x01000000, "As", "Access system security"},
    {0x02000000, "Mx", "Maximum allowed"},
    {0x80000000, "Gr", "Generic read"},
    {0x40000000, "Gw", "Generic write"},
    {0x20000000, "Ge", "Generic execute"},
    {0x10000000, "Ga", "Generic all"},
    {0, nullptr, nullptr},
};

// Only the verbose text names these; the line has no codes for them.
const BitName AceFlagsBits[] = {
    {0x01, "", "Object Inherit"},
    {0x02, "", "Container Inherit"},
    {0x04, "", "No Propagate Inherit"},
    {0x08, "", "Inherit Only"},
    {0x40, "", "Successfull Access"},
    {0x80, "", "Failed Access"},
    {0, nullptr, nullptr},
};

const BitName ControlFlagsBits[] = {
    {0x0001, "", "Defaulted owner"},
    {0x0002, "", "Defaulted group"},
    {0x0004, "", "DACL present"},
    {0x0008, "", "Defaulted DACL"},
    {0x0010, "", "SACL present"},
    {0x0020, "", "Defaulted SACL"},
    {0x0100, "", "DACL auto inherit req"},
    {0x0200, "", "SACL auto inherit req"},
    {0x0400, "", "DACL auto inherited"},
    {0x0800, "", "SACL auto inherited"},
    {0x8000, "", "Self relative SD"},
    {0, nullptr, nullptr},
};
