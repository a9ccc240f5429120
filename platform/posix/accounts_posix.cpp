// Account lookup without a Windows security authority: the well-known SIDs,
// which name the same account on every Windows system, with the domain,
// name and SID_NAME_USE that Windows gives them.  Every other SID (the
// accounts of one machine or domain) fails as an unmapped SID does there.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_errors.h"

struct VxSid {
    uint64_t ullAuthority;
    uint8_t bCount;
    uint32_t dwSubs[8];
};

namespace {

// SID_NAME_USE values.
enum : uint32_t { kUser = 1, kGroup = 2, kDomain = 3, kAlias = 4, kWellKnown = 5, kLabel = 10 };

struct WellKnownAccount {
    const char* pszSid;
    const char* pszDomain;
    const char* pszName;
    uint32_t dwUse;
};

constexpr WellKnownAccount kAccounts[] = {
    {"S-1-0-0", "", "NULL SID", kWellKnown},
    {"S-1-1-0", "", "Everyone", kWellKnown},
    {"S-1-2-0", "", "LOCAL", kWellKnown},
    {"S-1-2-1", "", "CONSOLE LOGON", kWellKnown},
    {"S-1-3-0", "", "CREATOR OWNER", kWellKnown},
    {"S-1-3-1", "", "CREATOR GROUP", kWellKnown},
    {"S-1-3-2", "", "CREATOR OWNER SERVER", kWellKnown},
    {"S-1-3-3", "", "CREATOR GROUP SERVER", kWellKnown},
    {"S-1-3-4", "", "OWNER RIGHTS", kWellKnown},
    {"S-1-5-1", "NT AUTHORITY", "DIALUP", kWellKnown},
    {"S-1-5-2", "NT AUTHORITY", "NETWORK", kWellKnown},
    {"S-1-5-3", "NT AUTHORITY", "BATCH", kWellKnown},
    {"S-1-5-4", "NT AUTHORITY", "INTERACTIVE", kWellKnown},
    {"S-1-5-6", "NT AUTHORITY", "SERVICE", kWellKnown},
    {"S-1-5-7", "NT AUTHORITY", "ANONYMOUS LOGON", kWellKnown},
    {"S-1-5-8", "NT AUTHORITY", "PROXY", kWellKnown},
    {"S-1-5-9", "NT AUTHORITY", "ENTERPRISE DOMAIN CONTROLLERS", kWellKnown},
    {"S-1-5-10", "NT AUTHORITY", "SELF", kWellKnown},
    {"S-1-5-11", "NT AUTHORITY", "Authenticated Users", kWellKnown},
    {"S-1-5-12", "NT AUTHORITY", "RESTRICTED", kWellKnown},
    {"S-1-5-13", "NT AUTHORITY", "TERMINAL SERVER USER", kWellKnown},
    {"S-1-5-14", "NT AUTHORITY", "REMOTE INTERACTIVE LOGON", kWellKnown},
    {"S-1-5-15", "NT AUTHORITY", "This Organization", kWellKnown},
    {"S-1-5-17", "NT AUTHORITY", "IUSR", kWellKnown},
    {"S-1-5-18", "NT AUTHORITY", "SYSTEM", kWellKnown},
    {"S-1-5-19", "NT AUTHORITY", "LOCAL SERVICE", kWellKnown},
    {"S-1-5-20", "NT AUTHORITY", "NETWORK SERVICE", kWellKnown},
    {"S-1-5-32", "BUILTIN", "BUILTIN", kDomain},
    {"S-1-5-32-544", "BUILTIN", "Administrators", kAlias},
    {"S-1-5-32-545", "BUILTIN", "Users", kAlias},
    {"S-1-5-32-546", "BUILTIN", "Guests", kAlias},
    {"S-1-5-32-547", "BUILTIN", "Power Users", kAlias},
    {"S-1-5-32-548", "BUILTIN", "Account Operators", kAlias},
    {"S-1-5-32-549", "BUILTIN", "Server Operators", kAlias},
    {"S-1-5-32-550", "BUILTIN", "Print Operators", kAlias},
    {"S-1-5-32-551", "BUILTIN", "Backup Operators", kAlias},
    {"S-1-5-32-552", "BUILTIN", "Replicator", kAlias},
    {"S-1-5-32-554", "BUILTIN", "Pre-Windows 2000 Compatible Access", kAlias},
    {"S-1-5-32-555", "BUILTIN", "Remote Desktop Users", kAlias},
    {"S-1-5-32-556", "BUILTIN", "Network Configuration Operators", kAlias},
    {"S-1-5-32-558", "BUILTIN", "Performance Monitor Users", kAlias},
    {"S-1-5-32-559", "BUILTIN", "Performance Log Users", kAlias},
    {"S-1-5-32-560", "BUILTIN", "Windows Authorization Access Group", kAlias},
    {"S-1-5-32-561", "BUILTIN", "Terminal Server License Servers", kAlias},
    {"S-1-5-32-562", "BUILTIN", "Distributed COM Users", kAlias},
    {"S-1-5-32-568", "BUILTIN", "IIS_IUSRS", kAlias},
    {"S-1-5-32-569", "BUILTIN", "Cryptographic Operators", kAlias},
    {"S-1-5-32-573", "BUILTIN", "Event Log Readers", kAlias},
    {"S-1-5-32-574", "BUILTIN", "Certificate Service DCOM Access", kAlias},
    {"S-1-5-32-575", "BUILTIN", "RDS Remote Access Servers", kAlias},
    {"S-1-5-32-576", "BUILTIN", "RDS Endpoint Servers", kAlias},
    {"S-1-5-32-577", "BUILTIN", "RDS Management Servers", kAlias},
    {"S-1-5-32-578", "BUILTIN", "Hyper-V Administrators", kAlias},
    {"S-1-5-32-579", "BUILTIN", "Access Control Assistance Operators", kAlias},
    {"S-1-5-32-580", "BUILTIN", "Remote Management Users", kAlias},
    {"S-1-5-64-10", "NT AUTHORITY", "NTLM Authentication", kWellKnown},
    {"S-1-5-64-14", "NT AUTHORITY", "SChannel Authentication", kWellKnown},
    {"S-1-5-64-21", "NT AUTHORITY", "Digest Authentication", kWellKnown},
    {"S-1-5-80-0", "NT SERVICE", "ALL SERVICES", kWellKnown},
    {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "NT SERVICE",
     "TrustedInstaller", kWellKnown},
    {"S-1-5-83-0", "NT VIRTUAL MACHINE", "Virtual Machines", kWellKnown},
    {"S-1-5-113", "NT AUTHORITY", "Local account", kWellKnown},
    {"S-1-5-114", "NT AUTHORITY", "Local account and member of Administrators group",
     kWellKnown},
    {"S-1-5-1000", "NT AUTHORITY", "Other Organization", kWellKnown},
    {"S-1-15-2-1", "APPLICATION PACKAGE AUTHORITY", "ALL APPLICATION PACKAGES", kWellKnown},
    {"S-1-15-2-2", "APPLICATION PACKAGE AUTHORITY", "ALL RESTRICTED APPLICATION PACKAGES",
     kWellKnown},
    {"S-1-16-0", "Mandatory Label", "Untrusted Mandatory Level", kLabel},
    {"S-1-16-4096", "Mandatory Label", "Low Mandatory Level", kLabel},
    {"S-1-16-8192", "Mandatory Label", "Medium Mandatory Level", kLabel},
    {"S-1-16-8448", "Mandatory Label", "Medium Plus Mandatory Level", kLabel},
    {"S-1-16-12288", "Mandatory Label", "High Mandatory Level", kLabel},
    {"S-1-16-16384", "Mandatory Label", "System Mandatory Level", kLabel},
    {"S-1-16-20480", "Mandatory Label", "Protected Process Mandatory Level", kLabel},
    {"S-1-16-28672", "Mandatory Label", "Secure Process Mandatory Level", kLabel},
};

// Copies `text` when it fits in *pdwSize bytes; the size needed comes back either way.
bool Deliver(const char* text, char* pBuffer, uint32_t* pdwSize) {
    const uint32_t dwNeeded = static_cast<uint32_t>(strlen(text) + 1);
    const bool bFits = pBuffer != nullptr && *pdwSize >= dwNeeded;
    if (bFits) memcpy(pBuffer, text, dwNeeded);
    *pdwSize = dwNeeded;
    return bFits;
}

}  // namespace

int vx_plat_allocate_sid(uint64_t ullAuthority, uint8_t bCount, const uint32_t* pdwSubs,
                         VxSid** ppSid) {
    *ppSid = nullptr;
    if (bCount == 0 || bCount > 8 || ullAuthority >= (1ull << 48)) {
        errno = EINVAL;
        return 0;
    }
    VxSid* pSid = new (std::nothrow) VxSid{};
    if (pSid == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    pSid->ullAuthority = ullAuthority;
    pSid->bCount = bCount;
    for (uint8_t k = 0; k < bCount; k++) pSid->dwSubs[k] = pdwSubs[k];
    *ppSid = pSid;
    return 1;
}

int vx_plat_is_valid_sid(const VxSid* pSid) {
    return pSid != nullptr && pSid->bCount >= 1 && pSid->bCount <= 8;
}

void vx_plat_free_sid(VxSid* pSid) { delete pSid; }

int vx_plat_lookup_account_sid(const VxSid* pSid, char* pszName, uint32_t* pdwNameSize,
                               char* pszDomain, uint32_t* pdwDomainSize, uint32_t* pdwUse) {
    char text[16 * 11 + 24];
    int used = snprintf(text, sizeof text, "S-1-%llu",
                        static_cast<unsigned long long>(pSid->ullAuthority));
    for (uint8_t k = 0; k < pSid->bCount && used > 0; k++)
        used += snprintf(text + used, sizeof text - static_cast<size_t>(used), "-%u",
                         pSid->dwSubs[k]);
    for (const WellKnownAccount& a : kAccounts) {
        if (strcmp(a.pszSid, text) != 0) continue;
        const bool bName = Deliver(a.pszName, pszName, pdwNameSize);
        const bool bDomain = Deliver(a.pszDomain, pszDomain, pdwDomainSize);
        if (!bName || !bDomain) {
            errno = ENOBUFS;
            return 0;
        }
        *pdwUse = a.dwUse;
        return 1;
    }
    errno = static_cast<int>(kErrorNoneMapped);
    return 0;
}

uint32_t vx_plat_error_insufficient_buffer() { return ENOBUFS; }
