// Self-relative security descriptors as report fields: owner, group, the
// DACE and SACE counts, then every ACE with its SID and rights; or, with
// -v, as labelled text with account names.
#pragma once

#include <cstdint>
#include <cstdio>

// Statuses: 0 written, 2 written with a defect that was reported, 1 fatal.
// `size` and `avail` are the bytes that may be read from `sd`, `acl`, `sid`.
[[nodiscard]]
int DumpBufferSecurity(FILE* stream, uint64_t record, const uint8_t* sd, uint64_t size,
                       int lineMode);
[[nodiscard]]
int DumpAcl(FILE* stream, const uint8_t* acl, uint64_t avail, int lineMode);
[[nodiscard]]
int DumpSid(FILE* stream, const uint8_t* sid, uint64_t avail, int lineMode);
// The legend of the rights codes, at the end of the help text.
void PrintLegend(FILE* stream);
// Releases the SID text buffer at the end of the run.
void FreeSidText();
