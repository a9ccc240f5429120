// Digests that begin with a run of zeros: the chain state after every whole
// GiB of zero bytes is the same for every volume, so a digest takes it from
// a table instead of hashing those bytes (a volume's $BadClus:$Bad is a
// stream of zeros as long as the volume).
#pragma once

#include <atomic>
#include <cstdint>

struct VxMd5;

constexpr uint64_t kZeroChainStep = 1ull << 30;

// Bytes of leading zeros the table covers, at most: its entries times a GiB.
uint64_t ZeroChainMd5Bytes();

// A digest that nothing has been given yet (pMd5 none: the current digest of
// vx_plat_md5_init) and whose next ullZeros bytes are zeros: moved past the
// largest whole number of GiB of them that the table holds.  The bytes it
// moved past (0: none, the digest goes on from its start).
uint64_t SkipLeadingZerosMd5(VxMd5* pMd5, uint64_t ullZeros);

// Zero bytes that digests moved past rather than hashed, for --device-stats.
extern std::atomic<uint64_t> InfoSkippedZeroBytes;
// The most bytes one file's digest hashed (leading zeros skipped not counted).
extern std::atomic<uint64_t> InfoLargestDigest;
void NoteDigestBytes(uint64_t ullHashed);
