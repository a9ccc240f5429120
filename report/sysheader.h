// The run header that opens the report and the user file.
#pragma once

#include <cstdint>
#include <cstdio>

// The operating-system name for a GetVersionEx triple ("Unknown" outside the table).
const char* OsName(uint32_t dwPlatformId, uint32_t dwMajor, uint32_t dwMinor);

void DumpSystemInfo(FILE* stream, const char* content, const char* version, int lineMode);
