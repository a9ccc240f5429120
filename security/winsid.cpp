#include "security/winsid.h"

#include <cstring>

#include "platform/platform.h"
#include "base/vx_log.h"

#define VX_MODULE "winsid"

FILE* WinsidDebugStream = nullptr;
FILE* WinsidUserStream = nullptr;

namespace {

struct SidSearch {
    char* pTextualSid;
    char* pCommentSid;
    const char* pszType;
    SidSearch* pNext;
    uint32_t dwHash;
};

SidSearch* g_buckets[kSidBuckets];

// The same entries by their whole hash, open addressing over a power of two
// of slots at most half full: a run that meets millions of SIDs finds each
// in a step or two, while the 300 chains keep the user file's order.
SidSearch** g_pIndex = nullptr;
uint32_t g_dwIndexSlots = 0;
uint32_t g_dwIndexed = 0;

SidSearch* FindIndexed(const char* pszText, uint32_t dwHash) {
    if (g_pIndex == nullptr) return nullptr;
    for (uint32_t k = dwHash & (g_dwIndexSlots - 1); g_pIndex[k] != nullptr;
         k = (k + 1) & (g_dwIndexSlots - 1))
        if (g_pIndex[k]->dwHash == dwHash && strcmp(g_pIndex[k]->pTextualSid, pszText) == 0)
            return g_pIndex[k];
    return nullptr;
}

void PlaceIndexed(SidSearch* p) {
    uint32_t k = p->dwHash & (g_dwIndexSlots - 1);
    while (g_pIndex[k] != nullptr) k = (k + 1) & (g_dwIndexSlots - 1);
    g_pIndex[k] = p;
}

void AddIndexed(SidSearch* p) {
    if (2ull * (g_dwIndexed + 1) > g_dwIndexSlots) {
        SidSearch** pOld = g_pIndex;
        const uint32_t dwOld = g_dwIndexSlots;
        g_dwIndexSlots = dwOld == 0 ? 1024 : 2 * dwOld;
        g_pIndex = static_cast<SidSearch**>(VX_CALLOC(
            g_dwIndexSlots, sizeof(SidSearch*), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC g_pIndex",
            VX_WHERE));
        for (uint32_t k = 0; k < dwOld; k++)
            if (pOld[k] != nullptr) PlaceIndexed(pOld[k]);
        if (pOld != nullptr) VX_FREE(pOld, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_pIndex", VX_WHERE);
    }
    PlaceIndexed(p);
    g_dwIndexed++;
}

// Indexed by SID_NAME_USE; the values past the table have no name.
constexpr const char* kSidTypes[] = {
    nullptr, "User", "Group", "Domain", "Alias", "Well known group", "Deleted account",
    "Invalid", "Unknown",
};
const char* const* g_pTypeNames = nullptr;

const char* TypeName(uint32_t dwUse) {
    if (g_pTypeNames == nullptr || dwUse >= sizeof kSidTypes / sizeof kSidTypes[0]) return nullptr;
    return g_pTypeNames[dwUse];
}

}  // namespace

uint32_t SidTextHash(const char* pszText) {
    uint32_t h = 0;
    for (const char* p = pszText; *p != 0; p++) {
        h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        const uint32_t g = h & 0xF0000000u;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

void InitSidHash() {
    for (SidSearch*& pHead : g_buckets) pHead = nullptr;
    if (g_pIndex != nullptr) VX_FREE(g_pIndex, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_pIndex", VX_WHERE);
    g_pIndex = nullptr;
    g_dwIndexSlots = 0;
    g_dwIndexed = 0;
    g_pTypeNames = kSidTypes;
}

int GetSidHash(const VxSid* pSid, const char* pszText, const char** ppszComment,
               const char** ppszType) {
    *ppszComment = nullptr;
    *ppszType = nullptr;
    const uint32_t dwHash = SidTextHash(pszText);
    SidSearch** ppHead = &g_buckets[dwHash % kSidBuckets];
    if (SidSearch* p = FindIndexed(pszText, dwHash); p != nullptr) {
        *ppszComment = p->pCommentSid;
        *ppszType = p->pszType;
        if (WinsidDebugStream != nullptr)
            fprintf(WinsidDebugStream, "GetSidHash : SID %s found in hash\n", pszText);
        return 0;
    }

    auto* pSidSearch = static_cast<SidSearch*>(
        VX_CALLOC(1, sizeof(SidSearch), VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pSidSearch", VX_WHERE));
    pSidSearch->pNext = *ppHead;
    pSidSearch->dwHash = dwHash;
    *ppHead = pSidSearch;
    AddIndexed(pSidSearch);
    const size_t cbText = strlen(pszText) + 1;
    pSidSearch->pTextualSid = static_cast<char*>(
        VX_CALLOC(cbText, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pTextualSid", VX_WHERE));
    memcpy(pSidSearch->pTextualSid, pszText, cbText);

    uint32_t dwNameSize = 0, dwDomainSize = 0, dwUse = 0;
    if (vx_plat_lookup_account_sid(pSid, nullptr, &dwNameSize, nullptr, &dwDomainSize, &dwUse) ||
        vx_plat_last_error() != vx_plat_error_insufficient_buffer()) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: 1st LookupAccountSid", VX_WHERE);
        return VX_FAILED;
    }
    pSidSearch->pCommentSid = static_cast<char*>(
        VX_CALLOC(static_cast<uint64_t>(dwNameSize) + dwDomainSize + 1, 1, VX_FATAL_SYS,
                  "%s %s l. %d: VX_CALLOC pCommentSid", VX_WHERE));
    auto* pName = static_cast<char*>(
        VX_CALLOC(dwNameSize, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pName", VX_WHERE));
    int result = VX_OK;
    uint32_t dwNameRoom = dwNameSize, dwDomainRoom = dwDomainSize;
    if (!vx_plat_lookup_account_sid(pSid, pName, &dwNameRoom, pSidSearch->pCommentSid,
                                    &dwDomainRoom, &dwUse)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: 2nd LookupAccountSid", VX_WHERE);
        // Whatever a failed call left in the buffer is not an account.
        pSidSearch->pCommentSid[0] = 0;
        result = VX_FAILED;
    } else {
        pSidSearch->pszType = TypeName(dwUse);
        // Bounded by the sizes the first call gave, whatever the second wrote.
        const size_t cbRoom = static_cast<size_t>(dwNameSize) + dwDomainSize + 1;
        pName[dwNameSize == 0 ? 0 : dwNameSize - 1] = 0;
        const size_t cbDomain = strnlen(pSidSearch->pCommentSid, cbRoom - 1);
        const size_t cbName = strlen(pName);
        if (cbDomain + 1 + cbName < cbRoom) {
            pSidSearch->pCommentSid[cbDomain] = '\\';
            memcpy(pSidSearch->pCommentSid + cbDomain + 1, pName, cbName + 1);
        }
        if (WinsidDebugStream != nullptr)
            fprintf(WinsidDebugStream, "GeSidHash : add %s=%s\n", pszText, pSidSearch->pCommentSid);
        *ppszComment = pSidSearch->pCommentSid;
        *ppszType = pSidSearch->pszType;
    }
    VX_FREE(pName, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pName", VX_WHERE);
    return result;
}

int FreeSidHash() {
    // The run header before the table is the run driver's to write.
    if (WinsidUserStream != nullptr) fputs("\nSID|Type|Name\n", WinsidUserStream);
    for (SidSearch*& pHead : g_buckets) {
        SidSearch* p = pHead;
        while (p != nullptr) {
            SidSearch* pNext = p->pNext;
            if (WinsidUserStream != nullptr) {
                fprintf(WinsidUserStream, "%s|%s", p->pTextualSid,
                        p->pszType != nullptr ? p->pszType : "");
                if (p->pCommentSid != nullptr) fprintf(WinsidUserStream, "|%s", p->pCommentSid);
                fputs("\n", WinsidUserStream);
            }
            VX_FREE(p->pTextualSid, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pTextualSid", VX_WHERE);
            if (p->pCommentSid != nullptr)
                VX_FREE(p->pCommentSid, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pCommentSid",
                        VX_WHERE);
            VX_FREE(p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pSidSearch", VX_WHERE);
            p = pNext;
        }
        pHead = nullptr;
    }
    if (g_pIndex != nullptr) VX_FREE(g_pIndex, VX_FATAL_SYS, "%s %s l. %d: VX_FREE g_pIndex", VX_WHERE);
    g_pIndex = nullptr;
    g_dwIndexSlots = 0;
    g_dwIndexed = 0;
    return 0;
}
