#include "security/sd_dump.h"

#include <initializer_list>

#include "base/le.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "security/vx_comment.h"
#include "security/winsid.h"
#include "text/vx_format.h"
#include "security/layout/security_descriptor.h"
#include "security/layout/acl.h"
#include "security/layout/ace.h"
#include "security/layout/sid.h"

#define VX_MODULE "sd_dump"

namespace {

// The text of the SID being written: "S-", revision, "-", authority (at most
// 15 digits), then "-" and at most 10 digits for each sub-authority.
char* g_pTextualSid = nullptr;
uint64_t g_cbTextualSid = 0;

constexpr uint64_t kSidHeaderSize = sid_layout::kHeaderSize;
constexpr uint64_t kAceHeaderSize = ace_layout::kSid;  // type, flags, size, access mask
constexpr uint64_t kAclHeaderSize = acl_layout::kHeaderSize;
constexpr uint8_t kMaxLookupSubs = 8;  // the most a system SID can be built with

void EnsureTextRoom(uint64_t cbNeeded) {
    if (g_cbTextualSid >= cbNeeded) return;
    if (g_pTextualSid == nullptr)
        g_pTextualSid = static_cast<char*>(
            VX_CALLOC(cbNeeded, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pTextualSid", VX_WHERE));
    else
        g_pTextualSid = static_cast<char*>(VX_REALLOC(g_pTextualSid, cbNeeded, 1, VX_FATAL_SYS,
                                                      "%s %s l. %d: VX_REALLOC pCopy", VX_WHERE));
    g_cbTextualSid = cbNeeded;
}

// Owner or group: an empty field when the descriptor has none or it lies
// beyond the bytes available.
int DumpOwnerSid(FILE* stream, uint64_t record, const uint8_t* sd, uint64_t size, int lineMode,
                 uint32_t dwOffset, const char* pszWhat, const char* pszLabel) {
    if (dwOffset == 0) {
        log_message(VX_ERROR, "%s %s() l.%d: %s not found - Base record/KeyNode offset : " VX_U64,
                    VX_MODULE, "DumpBufferSecurity", __LINE__, pszWhat, record);
        if (lineMode) fputs("|", stream);
        return VX_FAILED;
    }
    if (dwOffset >= size) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream, %s missing - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    VX_MODULE, "DumpBufferSecurity", __LINE__, pszWhat, size, record);
        if (lineMode) fputs("|", stream);
        return VX_FAILED;
    }
    if (!lineMode) fputs(pszLabel, stream);
    return DumpSid(stream, sd + dwOffset, size - dwOffset, lineMode);
}

int DumpAceCount(FILE* stream, uint64_t record, const uint8_t* sd, uint64_t size, int lineMode,
                 uint32_t dwOffset, const char* pszAcl) {
    if (dwOffset == 0) {
        if (lineMode)
            fputs("N|", stream);
        else
            fprintf(stream, "No %s\n", pszAcl);
        return VX_OK;
    }
    if (static_cast<uint64_t>(dwOffset) + acl_layout::kAceCount + 2 > size) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream, %s missing - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    VX_MODULE, "DumpBufferSecurity", __LINE__, pszAcl, size, record);
        if (lineMode) fputs("|", stream);
        return VX_FAILED;
    }
    const uint16_t wCount = vx_le16(sd, size, dwOffset + acl_layout::kAceCount);
    if (lineMode)
        fprintf(stream, "%u|", wCount);
    else
        fprintf(stream, "Number of %s : %u\n", pszAcl[0] == 'D' ? "DACE" : "SACE", wCount);
    return VX_OK;
}

int Raise(int status, int s) { return s > status ? s : status; }

}  // namespace

int DumpSid(FILE* stream, const uint8_t* sid, uint64_t avail, int lineMode) {
    int status = VX_OK;
    uint8_t bCount = 0;
    uint64_t ullAuthority = 0;
    uint32_t dwSubs[kMaxLookupSubs] = {0};
    bool bComplete = false;
    if (avail >= kSidHeaderSize) {
        const uint8_t bRevision = vx_le8(sid, avail, sid_layout::kRevision);
        bCount = vx_le8(sid, avail, sid_layout::kSubAuthorityCount);
        for (size_t k = 0; k < sid_layout::kIdentifierAuthoritySize; k++)
            ullAuthority =
                (ullAuthority << 8) | vx_le8(sid, avail, sid_layout::kIdentifierAuthority + k);
        EnsureTextRoom(11ull * bCount + 22);
        // "S-%u-%llu" then "-%u" for each sub-authority; the room made above
        // holds 22 bytes for the head and 11 for each of them.
        char* p = g_pTextualSid;
        *p++ = 'S';
        *p++ = '-';
        p = vx_format_u64(p, bRevision);
        *p++ = '-';
        p = vx_format_u64(p, ullAuthority);
        uint32_t i = 0;
        for (; i < bCount && sid_layout::kSubAuthorities + 4ull * (i + 1) <= avail; i++) {
            const uint32_t dwSub = vx_le32(sid, avail, sid_layout::kSubAuthorities + 4ull * i);
            if (i < kMaxLookupSubs) dwSubs[i] = dwSub;
            *p++ = '-';
            p = vx_format_u64(p, dwSub);
        }
        *p = 0;
        bComplete = i == bCount;
    } else {
        EnsureTextRoom(22);
        g_pTextualSid[0] = 0;
    }
    fputs(g_pTextualSid, stream);

    // A SID cut short by the end of its buffer is not anybody's: no lookup.
    if (bComplete && bCount >= 1 && bCount <= kMaxLookupSubs &&
        (!lineMode || WinsidUserStream != nullptr)) {
        VxSid* pSid = nullptr;
        if (!vx_plat_allocate_sid(ullAuthority, bCount, dwSubs, &pSid)) {
            log_message(VX_ERROR_SYS, "%s %s() l.%d: AllocateAndInitalizeSid", VX_WHERE);
        } else {
            if (vx_plat_is_valid_sid(pSid)) {
                const char* pszComment = nullptr;
                const char* pszType = nullptr;
                const int s = GetSidHash(pSid, g_pTextualSid, &pszComment, &pszType);
                if (s == VX_FAILED)
                    status = VX_FAILED;
                else if (!lineMode)
                    fprintf(stream, " (%s) %s", pszType != nullptr ? pszType : "",
                            pszComment != nullptr ? pszComment : "");
            }
            vx_plat_free_sid(pSid);
        }
    }
    fputs(lineMode ? "|" : "\n", stream);
    return status;
}

int DumpAcl(FILE* stream, const uint8_t* acl, uint64_t avail, int lineMode) {
    int status = VX_OK;
    if (avail < acl_layout::kAceCount + 2) return status;
    const uint16_t wAclSize = vx_le16(acl, avail, acl_layout::kSize);
    if (wAclSize > avail) return status;
    const uint16_t wCount = vx_le16(acl, avail, acl_layout::kAceCount);
    uint64_t ullOffset = kAclHeaderSize;
    for (uint32_t i = 0; i < wCount; i++) {
        // Each ACE must lie wholly inside the ACL, and move the walk on.
        const uint16_t wAceSize = vx_le16(acl, avail, ullOffset + ace_layout::kSize);
        if (ullOffset + kAceHeaderSize > wAclSize || wAceSize < kAceHeaderSize ||
            ullOffset + wAceSize > wAclSize) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: ACE #%u beyond its ACL - ACE offset : " VX_U64
                        ", ACE size : %u, ACL size : %u",
                        VX_WHERE, i, ullOffset, wAceSize, wAclSize);
            return VX_FAILED;
        }
        const uint8_t* pAce = acl + ullOffset;
        const uint8_t bType = vx_le8(pAce, wAceSize, ace_layout::kType);
        const uint8_t bFlags = vx_le8(pAce, wAceSize, ace_layout::kFlags);
        const uint32_t dwMask = vx_le32(pAce, wAceSize, ace_layout::kMask);
        if (!lineMode) {
            fprintf(stream, bType == ace_layout::kTypeSystemAudit ? " Sace #%u\n" : " Dace #%u\n",
                    i);
            fputs("  User : ", stream);
        }
        const int s = DumpSid(stream, pAce + kAceHeaderSize, avail - ullOffset - kAceHeaderSize,
                              lineMode);
        status = Raise(status, s);
        if (!lineMode) {
            fputs("  Flags : ", stream);
            DumpBits(stream, bFlags, AceFlagsBits, lineMode);
        }
        switch (bType) {
            case 0:
                fputs(lineMode ? "+" : "  Allowed ", stream);
                DumpBits(stream, dwMask, AccessRightsBits, lineMode);
                break;
            case 1:
                fputs(lineMode ? "-" : "  Denied ", stream);
                DumpBits(stream, dwMask, AccessRightsBits, lineMode);
                break;
            case 2:
                if (!lineMode) fputs("Audit ", stream);
                if (bFlags & 0x40) fputs(lineMode ? "+" : "success ", stream);
                if (bFlags & 0x80) fputs(lineMode ? "-" : "failure ", stream);
                DumpBits(stream, dwMask, AccessRightsBits, lineMode);
                break;
            default:
                fputs(lineMode ? "|" : "\n", stream);
                log_message(VX_ERROR, "%s %s() l.%d: unknown type %u", VX_WHERE, bType);
                status = Raise(status, VX_FAILED);
                break;
        }
        ullOffset += wAceSize;
    }
    return status;
}

int DumpBufferSecurity(FILE* stream, uint64_t record, const uint8_t* sd, uint64_t size,
                       int lineMode) {
    if (size < descriptor_layout::kHeaderSize) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    VX_WHERE, size, record);
        if (lineMode) fputs("||||", stream);
        return VX_FAILED;
    }
    int status = VX_OK;
    if (!lineMode) {
        fputs("Security descriptor flags : ", stream);
        DumpBits(stream, vx_le16(sd, size, descriptor_layout::kControl), ControlFlagsBits,
                 lineMode);
    }
    const uint32_t dwOwner = vx_le32(sd, size, descriptor_layout::kOwnerOffset);
    const uint32_t dwGroup = vx_le32(sd, size, descriptor_layout::kGroupOffset);
    const uint32_t dwSacl = vx_le32(sd, size, descriptor_layout::kSaclOffset);
    const uint32_t dwDacl = vx_le32(sd, size, descriptor_layout::kDaclOffset);

    int s = DumpOwnerSid(stream, record, sd, size, lineMode, dwOwner, "user", "User : ");
    status = Raise(status, s);
    s = DumpOwnerSid(stream, record, sd, size, lineMode, dwGroup, "group", "Group : ");
    status = Raise(status, s);
    status = Raise(status, DumpAceCount(stream, record, sd, size, lineMode, dwDacl, "DACL"));
    status = Raise(status, DumpAceCount(stream, record, sd, size, lineMode, dwSacl, "SACL"));

    for (uint32_t dwAcl : {dwDacl, dwSacl}) {
        if (dwAcl == 0 || dwAcl >= size) continue;
        s = DumpAcl(stream, sd + dwAcl, size - dwAcl, lineMode);
        status = Raise(status, s);
    }
    return status;
}

void FreeSidText() {
    if (g_pTextualSid != nullptr)
        VX_FREE(g_pTextualSid, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pTextualSid", VX_WHERE);
    g_pTextualSid = nullptr;
    g_cbTextualSid = 0;
}

void PrintLegend(FILE* stream) {
    fputs("\n  File/directory/key access :\n"
          "   - Specific rights :\n"
          "    Rd : Read data (list directory), Wd : Write data (add file)\n"
          "    Ad : Append data (add subdirectory), Re : Read extended area\n"
          "    We : Write extended area, Ex : Execute, Dc : Delete child\n"
          "    Ra : Read attributes, Wa : Write attributes\n"
          "   - Standards rights :\n"
          "    De : Delete, Rc : Read control (owner, group, DACL)\n"
          "    Wc : Write control DACL, Wo : Write owner\n"
          "    Sy : Synchronise access\n"
          "   - Other rights :\n"
          "    As : Access system security, Mx : Maximum allowed\n"
          "    Gr : Generic read, Gw : Generic write, Ge : Generic execute\n"
          "    Ga : Generic all\n"
          "   - Sum up :\n"
          "    (Sq : Standard rights required = DeRcWcWo)\n"
          "    Sa : Standard rights all = SqSy\n"
          "    Fr : File generic read = RdReRaRcSy\n"
          "    Fw : File generic write = WdAdWeWaRcSy\n"
          "    Fe : File generic execute = ExRaRcSy\n"
          "    Fa : File all access = RdWdAdReWeExDcRaWaSa\n"
          "\n  Concerning DACE and SACE :\n"
          "    N means none found, 0 means present but empty\n"
          "    + : Allowed for DACE, audit success for SACE\n"
          "    - : Refused for DACE, audit failure for SACE\n",
          stream);
}
