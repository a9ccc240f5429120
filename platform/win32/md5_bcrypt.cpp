// MD5 through the system's CNG provider.
#include <windows.h>

#include <bcrypt.h>

#include "platform/platform.h"

namespace {
BCRYPT_ALG_HANDLE g_hAlgorithm = nullptr;
BCRYPT_HASH_HANDLE g_hHash = nullptr;

void DestroyHash() {
    if (g_hHash != nullptr) BCryptDestroyHash(g_hHash);
    g_hHash = nullptr;
}
}  // namespace

int vx_plat_md5_init() {
    DestroyHash();
    if (g_hAlgorithm == nullptr &&
        !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&g_hAlgorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
        g_hAlgorithm = nullptr;
        vx_plat_set_last_error(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(g_hAlgorithm, &g_hHash, nullptr, 0, nullptr, 0, 0))) {
        g_hHash = nullptr;
        vx_plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return 1;
}

void vx_plat_md5_update(const void* pData, size_t length) {
    // BCryptHashData takes 32-bit lengths; callers hand over one chunk at a time.
    const UCHAR* p = static_cast<const UCHAR*>(pData);
    while (g_hHash != nullptr && length != 0) {
        ULONG part = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        BCryptHashData(g_hHash, const_cast<UCHAR*>(p), part, 0);
        p += part;
        length -= part;
    }
}

void vx_plat_md5_final(uint8_t digest[16]) {
    if (g_hHash == nullptr || !BCRYPT_SUCCESS(BCryptFinishHash(g_hHash, digest, 16, 0)))
        for (int i = 0; i < 16; i++) digest[i] = 0;
    DestroyHash();
}

// CNG keeps its state to itself: digests start from the beginning.
int vx_plat_md5_resume_current(const uint32_t[4], uint64_t) { return 0; }

void vx_plat_md5_release() {
    DestroyHash();
    if (g_hAlgorithm != nullptr) BCryptCloseAlgorithmProvider(g_hAlgorithm, 0);
    g_hAlgorithm = nullptr;
}

// The hashing threads are not started on Windows (vx_plat_concurrent_reads).
struct VxMd5 {
    int unused;
};
VxMd5* vx_plat_md5_new() {
    vx_plat_set_last_error(ERROR_NOT_SUPPORTED);
    return nullptr;
}
int vx_plat_md5_begin(VxMd5*) { return 0; }
int vx_plat_md5_resume(VxMd5*, const uint32_t[4], uint64_t) { return 0; }
void vx_plat_md5_add(VxMd5*, const void*, size_t) {}
void vx_plat_md5_end(VxMd5*, uint8_t digest[16]) {
    for (int i = 0; i < 16; i++) digest[i] = 0;
}
void vx_plat_md5_free(VxMd5*) {}
