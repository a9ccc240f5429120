#include "security/sd_dump.h"

#include <initializer_list>

#include "base/le.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "security/vx_comment.h"
#include "security/winsid.h"
#include "text/vx_format.h"

#define VX_MODULE "sd_dump"

namespace {

// The text of the SID being written: "S-", revision, "-", authority (at most
// 15 digits), then "-" and at most 10 digits for each sub-authority.
char* g_pTextualSid = nullptr;
uint64_t g_cbTextualSid = 0;

constexpr uint64_t kSidHeaderSize = 8;
constexpr uint64_t kAceHeaderSize = 8;  // type, flags, size, access mask
constexpr uint64_t kAclHeaderSize = 8;
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
    if (static_cast<uint64_t>(dwOffset) + 6 > size) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream, %s missing - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    VX_MODULE, "DumpBufferSecurity", __LINE__, pszAcl, size, record);
        if (lineMode) fputs("|", stream);
        return VX_FAILED;
    }
    const uint16_t wCount = vx_le16(sd, size, dwOffset + 4);
    if (lineMode)
        fprintf(stream, "%u|", wCount);
    else
        fprintf(stream, "Number of %s : %u\n", pszAcl[0] == 'D' ? "DACE" : "SACE", wCount);
    return VX_OK;
}

int Raise(int status, int s) { return s > status ? s : status; }

// Where an ACE's SID begins.  An object ACE (allowed, denied, audit and
// alarm object ACEs, and their callback forms) holds, after the access mask,
// a flags word and then the object type GUID and the inherited object type
// GUID, each only when its flag says it is present.
uint64_t AceSidOffset(const uint8_t* pAce, uint16_t wAceSize) {
    constexpr uint32_t kObjectTypePresent = 1;
    constexpr uint32_t kInheritedObjectTypePresent = 2;
    constexpr uint64_t kGuidSize = 16;
    const uint8_t bType = pAce[0];
    const bool bObject = (bType >= 5 && bType <= 8) || bType == 11 || bType == 12 ||
                         bType == 15 || bType == 16;
    if (!bObject) return kAceHeaderSize;
    const uint32_t dwObjectFlags = vx_le32(pAce, wAceSize, kAceHeaderSize);
    uint64_t ullSid = kAceHeaderSize + 4;
    if (dwObjectFlags & kObjectTypePresent) ullSid += kGuidSize;
    if (dwObjectFlags & kInheritedObjectTypePresent) ullSid += kGuidSize;
    return ullSid;
}

}  // namespace

int DumpSid(FILE* stream, const uint8_t* sid, uint64_t avail, int lineMode) {
    int status = VX_OK;
    uint8_t bCount = 0;
    uint64_t ullAuthority = 0;
    uint32_t dwSubs[kMaxLookupSubs] = {0};
    bool bComplete = false;
    if (avail >= kSidHeaderSize) {
        const uint8_t bRevision = sid[0];
        bCount = sid[1];
        for (int k = 2; k < 8; k++) ullAuthority = (ullAuthority << 8) | sid[k];
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
        for (; i < bCount && kSidHeaderSize + 4ull * (i + 1) <= avail; i++) {
            const uint32_t dwSub = vx_le32(sid, avail, kSidHeaderSize + 4ull * i);
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
                if (s == VX_FATAL_STATUS) {
                    vx_plat_free_sid(pSid);
                    return VX_FATAL_STATUS;
                }
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
    if (avail < 6) return status;
    const uint16_t wAclSize = vx_le16(acl, avail, 2);
    if (wAclSize > avail) return status;
    const uint16_t wCount = vx_le16(acl, avail, 4);
    uint64_t ullOffset = kAclHeaderSize;
    for (uint32_t i = 0; i < wCount; i++) {
        // Each ACE must lie wholly inside the ACL, and move the walk on.
        const uint16_t wAceSize = vx_le16(acl, avail, ullOffset + 2);
        if (ullOffset + kAceHeaderSize > wAclSize || wAceSize < kAceHeaderSize ||
            ullOffset + wAceSize > wAclSize) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: ACE #%u beyond its ACL - ACE offset : " VX_U64
                        ", ACE size : %u, ACL size : %u",
                        VX_WHERE, i, ullOffset, wAceSize, wAclSize);
            return VX_FAILED;
        }
        const uint8_t* pAce = acl + ullOffset;
        const uint8_t bType = pAce[0];
        const uint8_t bFlags = pAce[1];
        const uint32_t dwMask = vx_le32(pAce, wAceSize, 4);
        if (!lineMode) {
            fprintf(stream, bType == 2 ? " Sace #%u\n" : " Dace #%u\n", i);
            fputs("  User : ", stream);
        }
        const uint64_t ullSid = AceSidOffset(pAce, wAceSize);
        const int s = DumpSid(stream, pAce + ullSid,
                              avail - ullOffset >= ullSid ? avail - ullOffset - ullSid : 0,
                              lineMode);
        if (s == VX_FATAL_STATUS) return VX_FATAL_STATUS;
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
    if (size <= 19) {
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
        DumpBits(stream, vx_le16(sd, size, 2), ControlFlagsBits, lineMode);
    }
    const uint32_t dwOwner = vx_le32(sd, size, 4);
    const uint32_t dwGroup = vx_le32(sd, size, 8);
    const uint32_t dwSacl = vx_le32(sd, size, 12);
    const uint32_t dwDacl = vx_le32(sd, size, 16);

    int s = DumpOwnerSid(stream, record, sd, size, lineMode, dwOwner, "user", "User : ");
    if (s == VX_FATAL_STATUS) return s;
    status = Raise(status, s);
    s = DumpOwnerSid(stream, record, sd, size, lineMode, dwGroup, "group", "Group : ");
    if (s == VX_FATAL_STATUS) return s;
    status = Raise(status, s);
    status = Raise(status, DumpAceCount(stream, record, sd, size, lineMode, dwDacl, "DACL"));
    status = Raise(status, DumpAceCount(stream, record, sd, size, lineMode, dwSacl, "SACL"));

    for (uint32_t dwAcl : {dwDacl, dwSacl}) {
        if (dwAcl == 0 || dwAcl >= size) continue;
        s = DumpAcl(stream, sd + dwAcl, size - dwAcl, lineMode);
        if (s == VX_FATAL_STATUS) return s;
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
