// The chain states of MD5 after every whole GiB of zero bytes, made once by
// tools/zerochain.cpp and compiled in.
#include "report/zero_chain.h"

#include "platform/platform.h"

std::atomic<uint64_t> InfoSkippedZeroBytes{0};
std::atomic<uint64_t> InfoLargestDigest{0};

void NoteDigestBytes(uint64_t ullHashed) {
    uint64_t ullSeen = InfoLargestDigest.load(std::memory_order_relaxed);
    while (ullHashed > ullSeen &&
           !InfoLargestDigest.compare_exchange_weak(ullSeen, ullHashed, std::memory_order_relaxed)) {
    }
}

namespace {

// Entry k - 1: A, B, C and D after k GiB of zeros from MD5's initial state.
constexpr uint32_t kZeroChainMd5[][4] = {
#include "report/zero_chain_md5.inc"
};
constexpr uint64_t kZeroChainMd5Entries = sizeof kZeroChainMd5 / sizeof kZeroChainMd5[0];

}  // namespace

uint64_t ZeroChainMd5Bytes() { return kZeroChainMd5Entries * kZeroChainStep; }

uint64_t SkipLeadingZerosMd5(VxMd5* pMd5, uint64_t ullZeros) {
    uint64_t ullSteps = ullZeros / kZeroChainStep;
    if (ullSteps == 0) return 0;
    if (ullSteps > kZeroChainMd5Entries) ullSteps = kZeroChainMd5Entries;
    const uint32_t* pState = kZeroChainMd5[ullSteps - 1];
    const uint64_t ullBytes = ullSteps * kZeroChainStep;
    // A library that cannot take a chain state hashes the zeros as before.
    const int ok = pMd5 != nullptr ? vx_plat_md5_resume(pMd5, pState, ullBytes)
                                   : vx_plat_md5_resume_current(pState, ullBytes);
    if (!ok) return 0;
    InfoSkippedZeroBytes.fetch_add(ullBytes, std::memory_order_relaxed);
    return ullBytes;
}
