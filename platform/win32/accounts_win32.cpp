// Account lookup through the system's security authority.
#include <windows.h>

#include "platform/platform.h"

// The system's SID, held behind the layer's own name.
struct VxSid;

int vx_plat_allocate_sid(uint64_t ullAuthority, uint8_t bCount, const uint32_t* pdwSubs,
                         VxSid** ppSid) {
    *ppSid = nullptr;
    if (bCount == 0 || bCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SID_IDENTIFIER_AUTHORITY authority;
    for (int k = 0; k < 6; k++)
        authority.Value[k] = static_cast<BYTE>(ullAuthority >> (8 * (5 - k)));
    DWORD subs[8] = {0};
    for (uint8_t k = 0; k < bCount; k++) subs[k] = pdwSubs[k];
    PSID pSid = nullptr;
    if (!AllocateAndInitializeSid(&authority, bCount, subs[0], subs[1], subs[2], subs[3], subs[4],
                                  subs[5], subs[6], subs[7], &pSid))
        return 0;
    *ppSid = static_cast<VxSid*>(pSid);
    return 1;
}

int vx_plat_is_valid_sid(const VxSid* pSid) {
    return IsValidSid(const_cast<PSID>(static_cast<const void*>(pSid))) ? 1 : 0;
}

void vx_plat_free_sid(VxSid* pSid) {
    if (pSid != nullptr) FreeSid(static_cast<PSID>(pSid));
}

int vx_plat_lookup_account_sid(const VxSid* pSid, char* pszName, uint32_t* pdwNameSize,
                               char* pszDomain, uint32_t* pdwDomainSize, uint32_t* pdwUse) {
    DWORD dwName = *pdwNameSize;
    DWORD dwDomain = *pdwDomainSize;
    SID_NAME_USE use = SidTypeUnknown;
    BOOL ok = LookupAccountSidA(nullptr, const_cast<PSID>(static_cast<const void*>(pSid)),
                                pszName, &dwName, pszDomain, &dwDomain, &use);
    *pdwNameSize = dwName;
    *pdwDomainSize = dwDomain;
    *pdwUse = static_cast<uint32_t>(use);
    return ok ? 1 : 0;
}

uint32_t vx_plat_error_insufficient_buffer() { return ERROR_INSUFFICIENT_BUFFER; }
