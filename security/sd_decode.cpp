#include "security/sd_decode.h"

#include "base/le.h"
#include "base/vx_log.h"
#include "platform/platform.h"
#include "security/layout/ace.h"
#include "security/layout/security_descriptor.h"
#include "security/layout/sid.h"
#include "security/winsid.h"
#include "text/vx_format.h"

#define VX_MODULE "sd_dump"

namespace {
constexpr uint8_t kMaxLookupSubs = 8;  // the most a system SID can be built with
}

int DecodeDescriptorHeader(const uint8_t* sd, uint64_t size, DescriptorHeader* pHeader) {
    namespace d = descriptor_layout;
    *pHeader = DescriptorHeader{};
    if (size < d::kHeaderSize) return 0;
    pHeader->wControl = vx_le16(sd, size, d::kControl);
    pHeader->dwOwner = vx_le32(sd, size, d::kOwnerOffset);
    pHeader->dwGroup = vx_le32(sd, size, d::kGroupOffset);
    pHeader->dwSacl = vx_le32(sd, size, d::kSaclOffset);
    pHeader->dwDacl = vx_le32(sd, size, d::kDaclOffset);
    return 1;
}

int DecodeSid(const uint8_t* sid, uint64_t avail, SidValue* pSid) {
    namespace s = sid_layout;
    pSid->bRevision = 0;
    pSid->bCount = 0;
    pSid->ullAuthority = 0;
    pSid->dwRead = 0;
    if (avail < s::kHeaderSize) return 0;
    pSid->bRevision = vx_le8(sid, avail, s::kRevision);
    pSid->bCount = vx_le8(sid, avail, s::kSubAuthorityCount);
    for (size_t k = 0; k < s::kIdentifierAuthoritySize; k++)
        pSid->ullAuthority = (pSid->ullAuthority << 8) | sid[s::kIdentifierAuthority + k];
    while (pSid->dwRead < pSid->bCount && s::kSubAuthorities + 4ull * (pSid->dwRead + 1) <= avail) {
        pSid->dwSubs[pSid->dwRead] = vx_le32(sid, avail, s::kSubAuthorities + 4ull * pSid->dwRead);
        pSid->dwRead++;
    }
    return 1;
}

char* FormatSid(const SidValue* pSid, char* p) {
    *p++ = 'S';
    *p++ = '-';
    p = vx_format_u64(p, pSid->bRevision);
    *p++ = '-';
    p = vx_format_u64(p, pSid->ullAuthority);
    for (uint32_t i = 0; i < pSid->dwRead; i++) {
        *p++ = '-';
        p = vx_format_u64(p, pSid->dwSubs[i]);
    }
    *p = 0;
    return p;
}

int LookupSid(const SidValue* pSid, const char* pszText, const char** ppszComment,
              const char** ppszType) {
    *ppszComment = nullptr;
    *ppszType = nullptr;
    // A SID cut short by the end of its buffer is not anybody's: no lookup.
    if (pSid->dwRead != pSid->bCount || pSid->bCount < 1 || pSid->bCount > kMaxLookupSubs)
        return 3;
    VxSid* pBuilt = nullptr;
    if (!vx_plat_allocate_sid(pSid->ullAuthority, pSid->bCount, pSid->dwSubs, &pBuilt)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: AllocateAndInitalizeSid", VX_MODULE, "DumpSid",
                    __LINE__);
        return 3;
    }
    int s = 3;
    if (vx_plat_is_valid_sid(pBuilt)) s = GetSidHash(pBuilt, pszText, ppszComment, ppszType);
    vx_plat_free_sid(pBuilt);
    return s;
}

int DecodeAce(const uint8_t* acl, uint64_t avail, uint16_t aclSize, uint64_t offset,
              AceValue* pAce) {
    namespace a = ace_layout;
    pAce->wSize = vx_le16(acl, avail, offset + a::kSize);
    if (offset + a::kSid > aclSize || pAce->wSize < a::kSid || offset + pAce->wSize > aclSize)
        return 0;
    const uint8_t* p = acl + offset;
    pAce->bType = vx_le8(p, pAce->wSize, a::kType);
    pAce->bFlags = vx_le8(p, pAce->wSize, a::kFlags);
    pAce->dwMask = vx_le32(p, pAce->wSize, a::kMask);
    // Object ACEs (allowed, denied, audit and alarm, and their callback
    // forms; 13 and 14 are plain callback ACEs) hold a flags word and then
    // the object type and inherited object type GUIDs, each only when its
    // flag is set, between the mask and the SID.
    const uint8_t t = pAce->bType;
    const bool bObject = (t >= 5 && t <= 8) || t == 11 || t == 12 || t == 15 || t == 16;
    pAce->ullSidOffset = a::kSid;
    if (bObject) {
        const uint32_t dwObjectFlags = vx_le32(p, pAce->wSize, a::kObjectFlags);
        pAce->ullSidOffset = a::kObjectGuids;
        if (dwObjectFlags & a::kObjectTypePresent) pAce->ullSidOffset += a::kGuidSize;
        if (dwObjectFlags & a::kInheritedObjectTypePresent) pAce->ullSidOffset += a::kGuidSize;
    }
    return 1;
}
