// What the parts of the report share among themselves: the attribute types
// of the Entry's volume, whether results may be remembered, and the security
// fields that the report line writes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "diskio/diskio.h"

inline uint32_t AttrType(const Entry* pEntry, AttrKind kind) {
    return pEntry->pVolume->AttrTypes[kind];
}

// Results are remembered (paths of parents, descriptors read once) only
// when nothing traces: with a debug stream every trace line is written.
bool ReportRemembers();

// The security fields, from the volume's store or else from the file's own
// descriptor; never both, so a line has one set of them.
int DumpSecurityFields(FILE* stream, const Entry* pEntry, int lineMode);

// The descriptor DumpSecurityFields would render (from the store or the
// file's own), with its diagnostics, handed to `pfnRender` in line mode;
// what the fallback writes goes to `stream` (none: nothing is written).
typedef int (*DescriptorRenderer)(FILE* stream, uint64_t record, const uint8_t* sd,
                                  uint64_t size, int lineMode);
int VisitSecurityDescriptor(FILE* stream, const Entry* pEntry, DescriptorRenderer pfnRender);
