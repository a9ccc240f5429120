// The SID naming table: every SID met in the run with the result of its one
// account lookup, written to the user file (-u) at the end.
#pragma once

#include <cstdint>
#include <cstdio>

struct VxSid;

extern FILE* WinsidDebugStream;  // none: no trace
extern FILE* WinsidUserStream;   // -u: the user file, none without it

constexpr uint32_t kSidBuckets = 300;

void InitSidHash();
// 0 with *ppszComment ("DOMAIN\name") and *ppszType set (either may be
// none or empty after a failed lookup), 2 when the lookup failed now (the
// error is written), 1 fatal.
int GetSidHash(const VxSid* pSid, const char* pszText, const char** ppszComment,
               const char** ppszType);
// Writes the user file, when there is one, and frees the table; returns 0.
int FreeSidHash();
// The classic ELF hash of a SID text; the bucket is its value modulo 300.
uint32_t SidTextHash(const char* pszText);
