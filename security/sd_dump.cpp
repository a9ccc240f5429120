#include "security/sd_dump.h"

#include <initializer_list>

#include "base/le.h"
#include "base/vx_log.h"
#include "security/sd_decode.h"
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

constexpr uint64_t kAclHeaderSize = acl_layout::kHeaderSize;

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
    SidValue value;
    if (DecodeSid(sid, avail, &value)) {
        EnsureTextRoom(SidTextRoom(&value));
        FormatSid(&value, g_pTextualSid);
    } else {
        EnsureTextRoom(22);
        g_pTextualSid[0] = 0;
    }
    fputs(g_pTextualSid, stream);

    if (!lineMode || WinsidUserStream != nullptr) {
        const char* pszComment = nullptr;
        const char* pszType = nullptr;
        const int s = LookupSid(&value, g_pTextualSid, &pszComment, &pszType);
        if (s == VX_FAILED)
            status = VX_FAILED;
        else if (s == VX_OK && !lineMode)
            fprintf(stream, " (%s) %s", pszType != nullptr ? pszType : "",
                    pszComment != nullptr ? pszComment : "");
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
        AceValue ace;
        if (!DecodeAce(acl, avail, wAclSize, ullOffset, &ace)) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: ACE #%u beyond its ACL - ACE offset : " VX_U64
                        ", ACE size : %u, ACL size : %u",
                        VX_WHERE, i, ullOffset, ace.wSize, wAclSize);
            return VX_FAILED;
        }
        const uint16_t wAceSize = ace.wSize;
        const uint8_t* pAce = acl + ullOffset;
        const uint8_t bType = ace.bType;
        const uint8_t bFlags = ace.bFlags;
        const uint32_t dwMask = ace.dwMask;
        if (!lineMode) {
            fprintf(stream, bType == ace_layout::kTypeSystemAudit ? " Sace #%u\n" : " Dace #%u\n",
                    i);
            fputs("  User : ", stream);
        }
        const uint64_t ullSid = ace.ullSidOffset;
        const int s = DumpSid(stream, pAce + ullSid,
                              avail - ullOffset >= ullSid ? avail - ullOffset - ullSid : 0,
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
