// MD5 through OpenSSL's EVP interface, and its low-level interface for a
// digest that starts from a known chain state.
// The low-level MD5 functions are deprecated in OpenSSL 3, but they are the
// only way to set a chain state; where a build of the library leaves them
// out, digests simply start from the beginning.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/opensslconf.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace {
// The algorithm is looked up once: given EVP_md5(), every EVP_DigestInit_ex
// looks it up again, under a lock the hashing threads share, once a file.
EVP_MD* FetchMd5() {
    EVP_MD* pMd = EVP_MD_fetch(nullptr, "MD5", nullptr);
    if (pMd == nullptr) vx_plat_set_last_error(ENOMEM);
    return pMd;
}
}  // namespace

#if defined(OPENSSL_NO_DEPRECATED_3_0)
#define VX_MD5_RESUME 0
#else
#define VX_MD5_RESUME 1
#endif

struct VxMd5 {
    EVP_MD_CTX* pContext;
    EVP_MD* pMd;
#if VX_MD5_RESUME
    // A digest resumed from a chain state goes on in the low-level context
    // until its end; the EVP context is idle meanwhile.
    int bResumed;
    MD5_CTX resumed;
#endif
};

namespace {
// The one digest of the functions without a context of their own.
VxMd5* g_pCurrent = nullptr;
}  // namespace

int vx_plat_md5_init() {
    if (g_pCurrent == nullptr) g_pCurrent = vx_plat_md5_new();
    if (g_pCurrent == nullptr || !vx_plat_md5_begin(g_pCurrent)) {
        vx_plat_set_last_error(ENOMEM);
        return 0;
    }
    return 1;
}

void vx_plat_md5_update(const void* pData, size_t length) {
    if (g_pCurrent != nullptr) vx_plat_md5_add(g_pCurrent, pData, length);
}

void vx_plat_md5_final(uint8_t digest[16]) {
    if (g_pCurrent != nullptr) {
        vx_plat_md5_end(g_pCurrent, digest);
        return;
    }
    for (int i = 0; i < 16; i++) digest[i] = 0;
}

int vx_plat_md5_resume_current(const uint32_t state[4], uint64_t ullBytes) {
    return g_pCurrent != nullptr ? vx_plat_md5_resume(g_pCurrent, state, ullBytes) : 0;
}

void vx_plat_md5_release() {
    vx_plat_md5_free(g_pCurrent);
    g_pCurrent = nullptr;
}

VxMd5* vx_plat_md5_new() {
    EVP_MD* pMd = FetchMd5();
    if (pMd == nullptr) return nullptr;
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    VxMd5* pMd5 = pContext != nullptr ? new (std::nothrow) VxMd5{} : nullptr;
    if (pMd5 != nullptr) {
        pMd5->pContext = pContext;
        pMd5->pMd = pMd;
    }
    if (pMd5 == nullptr) {
        EVP_MD_CTX_free(pContext);
        EVP_MD_free(pMd);
        vx_plat_set_last_error(ENOMEM);
    }
    return pMd5;
}

int vx_plat_md5_begin(VxMd5* pMd5) {
#if VX_MD5_RESUME
    pMd5->bResumed = 0;
#endif
    return EVP_DigestInit_ex(pMd5->pContext, pMd5->pMd, nullptr) == 1 ? 1 : 0;
}

int vx_plat_md5_resume(VxMd5* pMd5, const uint32_t state[4], uint64_t ullBytes) {
#if VX_MD5_RESUME
    // The state stands for whole 64-byte blocks; the count is kept in bits.
    if (ullBytes % 64 != 0 || ullBytes > (UINT64_MAX >> 3)) return 0;
    MD5_CTX* c = &pMd5->resumed;
    if (MD5_Init(c) != 1) return 0;
    c->A = state[0];
    c->B = state[1];
    c->C = state[2];
    c->D = state[3];
    const uint64_t ullBits = ullBytes << 3;
    c->Nl = static_cast<MD5_LONG>(ullBits & 0xFFFFFFFFu);
    c->Nh = static_cast<MD5_LONG>(ullBits >> 32);
    pMd5->bResumed = 1;
    return 1;
#else
    (void)pMd5;
    (void)state;
    (void)ullBytes;
    return 0;
#endif
}

void vx_plat_md5_add(VxMd5* pMd5, const void* pData, size_t length) {
#if VX_MD5_RESUME
    if (pMd5->bResumed) {
        if (length != 0) MD5_Update(&pMd5->resumed, pData, length);
        return;
    }
#endif
    if (length != 0) EVP_DigestUpdate(pMd5->pContext, pData, length);
}

void vx_plat_md5_end(VxMd5* pMd5, uint8_t digest[16]) {
#if VX_MD5_RESUME
    if (pMd5->bResumed) {
        pMd5->bResumed = 0;
        if (MD5_Final(digest, &pMd5->resumed) != 1)
            for (int i = 0; i < 16; i++) digest[i] = 0;
        return;
    }
#endif
    unsigned int size = 16;
    if (EVP_DigestFinal_ex(pMd5->pContext, digest, &size) != 1)
        for (int i = 0; i < 16; i++) digest[i] = 0;
}

void vx_plat_md5_free(VxMd5* pMd5) {
    if (pMd5 == nullptr) return;
    EVP_MD_CTX_free(pMd5->pContext);
    EVP_MD_free(pMd5->pMd);
    delete pMd5;
}
