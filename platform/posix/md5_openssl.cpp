// MD5 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace {
EVP_MD_CTX* g_pContext = nullptr;
EVP_MD* g_pMd5 = nullptr;

// The algorithm is looked up once: given EVP_md5(), every EVP_DigestInit_ex
// looks it up again, under a lock the hashing threads share, once a file.
EVP_MD* FetchMd5() {
    EVP_MD* pMd = EVP_MD_fetch(nullptr, "MD5", nullptr);
    if (pMd == nullptr) vx_plat_set_last_error(ENOMEM);
    return pMd;
}
}  // namespace

int vx_plat_md5_init() {
    if (g_pContext == nullptr) g_pContext = EVP_MD_CTX_new();
    if (g_pMd5 == nullptr) g_pMd5 = FetchMd5();
    if (g_pContext == nullptr || g_pMd5 == nullptr ||
        EVP_DigestInit_ex(g_pContext, g_pMd5, nullptr) != 1) {
        vx_plat_set_last_error(ENOMEM);
        return 0;
    }
    return 1;
}

void vx_plat_md5_update(const void* pData, size_t length) {
    if (g_pContext != nullptr && length != 0) EVP_DigestUpdate(g_pContext, pData, length);
}

void vx_plat_md5_final(uint8_t digest[16]) {
    unsigned int size = 16;
    if (g_pContext == nullptr || EVP_DigestFinal_ex(g_pContext, digest, &size) != 1)
        for (int i = 0; i < 16; i++) digest[i] = 0;
}

void vx_plat_md5_release() {
    if (g_pContext != nullptr) EVP_MD_CTX_free(g_pContext);
    EVP_MD_free(g_pMd5);
    g_pContext = nullptr;
    g_pMd5 = nullptr;
}

struct VxMd5 {
    EVP_MD_CTX* pContext;
    EVP_MD* pMd;
};

VxMd5* vx_plat_md5_new() {
    EVP_MD* pMd = FetchMd5();
    if (pMd == nullptr) return nullptr;
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    VxMd5* pMd5 = pContext != nullptr ? new (std::nothrow) VxMd5{pContext, pMd} : nullptr;
    if (pMd5 == nullptr) {
        EVP_MD_CTX_free(pContext);
        EVP_MD_free(pMd);
        vx_plat_set_last_error(ENOMEM);
    }
    return pMd5;
}

int vx_plat_md5_begin(VxMd5* pMd5) {
    return EVP_DigestInit_ex(pMd5->pContext, pMd5->pMd, nullptr) == 1 ? 1 : 0;
}

void vx_plat_md5_add(VxMd5* pMd5, const void* pData, size_t length) {
    if (length != 0) EVP_DigestUpdate(pMd5->pContext, pData, length);
}

void vx_plat_md5_end(VxMd5* pMd5, uint8_t digest[16]) {
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
