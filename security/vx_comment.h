// Flag words as text: the two-letter codes of the report line or the long
// names of the verbose text, from a table of the tool's own vocabulary.
#pragma once

#include <cstdint>
#include <cstdio>

struct BitName {
    uint32_t dwMask;  // 0 ends a table
    const char* pszCode;
    const char* pszName;
};

extern const BitName FileAttributeBits[];
extern const BitName AccessRightsBits[];  // access masks of ACEs
extern const BitName AceFlagsBits[];      // verbose only
extern const BitName ControlFlagsBits[];  // security descriptor control, verbose only

// Writes the rows of `table` whose every bit `value` holds, unless each of
// those bits was already shown by an earlier row, so a composite row wins
// over the single bits it covers; then "|" (line mode) or "\n".
void DumpBits(FILE* stream, uint32_t value, const BitName* table, int lineMode);
// The row DumpBits writes next from `pRow` on (none at the end of the
// table), adding its mask to the bits shown.
const BitName* NextBitRow(uint32_t value, const BitName* pRow, uint32_t* pdwShown);
// The line-mode codes of `value`, 0-terminated; 2 bytes a row of the table
// and the terminator always suffice.  Returns the terminator's place.
char* FormatBitCodes(char* p, uint32_t value, const BitName* table);
