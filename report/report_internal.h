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

// The MD5 of every data stream of the Entry, in the order of its
// Attributes, on the calling thread; 1 when each was hashed to its end
// (else diagnostics said what failed).
int Md5OfStreams(const Entry* pEntry, uint8_t digest[16]);

// The security fields, from the volume's store or else from the file's own
// descriptor; never both, so a line has one set of them.
int DumpSecurityFields(FILE* stream, const Entry* pEntry, int lineMode);
