// One fuzz target as a libFuzzer binary (clang, -DVOLSCAN_LIBFUZZER=ON):
// VOLSCAN_FUZZ_TARGET names the target at compile time.
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    static const FuzzTarget* pTarget = FindFuzzTarget(VOLSCAN_FUZZ_TARGET);
    FuzzBeginCase(pTarget->pszName, pData, size);
    pTarget->pfnRun(pData, size);
    FuzzEndCase();
    return 0;
}
