// CSV, JSON Lines and bodyfile: the facts of one file gathered once, from
// the decoders the line report uses, then written in the chosen format.
#include "report/formats.h"

#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/layout/file_name.h"
#include "platform/stream_write.h"
#include "report/decode.h"
#include "report/info.h"
#include "report/report_internal.h"
#include "security/layout/ace.h"
#include "security/layout/acl.h"
#include "security/sd_decode.h"
#include "security/vx_comment.h"
#include "text/vx_format.h"
#include "text/vx_locale.h"

#define VX_MODULE "formats"

namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;
// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpoch = 116444736000000000ull;

// ------------------------------------------------------ what is kept

// A growing array of `T`, kept from record to record.
template <typename T>
struct Pool {
    T* p;
    uint32_t dwCount;
    uint32_t dwMax;
};

template <typename T>
T* PoolAdd(Pool<T>* pPool, uint32_t dwUnits = 1) {
    if (pPool->dwCount + dwUnits > pPool->dwMax) {
        const uint32_t dwMax = (pPool->dwCount + dwUnits + 63) / 64 * 64;
        pPool->p = static_cast<T*>(VX_REALLOC(pPool->p, dwMax, sizeof(T), VX_FATAL_SYS,
                                              "%s %s l. %d: VX_REALLOC pPool->p", VX_WHERE));
        pPool->dwMax = dwMax;
    }
    T* pAt = pPool->p + pPool->dwCount;
    pPool->dwCount += dwUnits;
    return pAt;
}

// Room for `dwUnits` more past the end, which stays where it is.
template <typename T>
T* PoolReserve(Pool<T>* pPool, uint32_t dwUnits) {
    PoolAdd(pPool, dwUnits);
    pPool->dwCount -= dwUnits;
    return pPool->p + pPool->dwCount;
}

template <typename T>
void PoolFree(Pool<T>* pPool) {
    if (pPool->p != nullptr) VX_FREE(pPool->p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pPool->p", VX_WHERE);
    *pPool = Pool<T>{};
}

// One SID of the descriptor: its text in the text pool, its account.
struct SidFacts {
    uint32_t dwText;  // offset in the text pool; 0-terminated there
    const char* pszAccount;
    const char* pszType;
};

struct AceFacts {
    int bSacl;
    uint8_t bType, bFlags;
    uint32_t dwMask;
    SidFacts sid;
};

struct SecurityFacts {
    int bPresent;  // a descriptor was found
    int bOwner, bGroup;
    SidFacts owner, group;
    int32_t lDace, lSace;  // -1: no ACL, -2: its header lies beyond the buffer
    Pool<AceFacts> aces;
    Pool<char> text;
};

struct Facts {
    Pool<vx_wchar> path;  // the path's names as the line writes them
    int bRootPrefix;      // the path begins with the drive's root
    Pool<vx_wchar> linkPath;  // the path of another name of the file (bodyfile)
    int bStandard;
    StandardFacts standard;
    Pool<FileNameFacts> names;
    int32_t lChosen;  // the name the path ends with, or -1
    uint8_t digest[16];
    // No digest is written: a copy of the $MFT holds none of a data stream,
    // a stream could not be read, or the data is not on the volume (pszNoDigest).
    int bNoDigest;
    const char* pszNoDigest;
    SecurityFacts security;
    int bLookups;  // account names are wanted (JSON)
};

Facts g_facts;

// The path of `pEntry` exactly as the line writes it, without the drive's
// root, which *pbRoot says it began with, appended to `pPath`; built in
// memory by the line's own walk, so a trace or a dump on the way goes where
// it always goes.
int CapturePath(const Entry* pEntry, Pool<vx_wchar>* pPath, int* pbRoot) {
    const vx_wchar* pwsz = nullptr;
    uint32_t dwUnits = 0;
    const int s = GatherFullPath(pEntry, &pwsz, &dwUnits, pbRoot);
    if (dwUnits != 0) memcpy(PoolAdd(pPath, dwUnits), pwsz, dwUnits * sizeof(vx_wchar));
    return s;
}

int GatherPath(const Entry* pEntry) {
    g_facts.path.dwCount = 0;
    return CapturePath(pEntry, &g_facts.path, &g_facts.bRootPrefix);
}

// The name DumpFileName writes: the first Win32 one, else the first.
int GatherNames(const Entry* pEntry) {
    g_facts.names.dwCount = 0;
    g_facts.lChosen = -1;
    const uint32_t dwType = AttrType(pEntry, ATTR_FILE_NAME);
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwType) continue;
        uint64_t ullSize = 0;
        uint8_t* pValue = GetStreamBuffer(pEntry, pAttr, &ullSize);
        FileNameFacts* pName = PoolAdd(&g_facts.names);
        if (!DecodeFileName(pValue, ullSize, pName)) g_facts.names.dwCount--;
        ReleaseStreamBuffer(pAttr, pValue);
    }
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        if (g_facts.lChosen < 0) g_facts.lChosen = static_cast<int32_t>(k);
        if (g_facts.names.p[k].bNamespace & file_name::kWin32) {
            g_facts.lChosen = static_cast<int32_t>(k);
            break;
        }
    }
    return VX_OK;
}

int KeepSid(const uint8_t* pSid, uint64_t avail, SidFacts* pFacts) {
    SidValue value;
    const int bDecoded = DecodeSid(pSid, avail, &value);
    const uint32_t dwRoom = bDecoded ? static_cast<uint32_t>(SidTextRoom(&value)) : 1;
    SecurityFacts* pSec = &g_facts.security;
    pFacts->dwText = pSec->text.dwCount;
    char* pText = PoolAdd(&pSec->text, dwRoom);
    if (bDecoded)
        pSec->text.dwCount = static_cast<uint32_t>(FormatSid(&value, pText) - pSec->text.p) + 1;
    else
        pText[0] = 0;
    pFacts->pszAccount = nullptr;
    pFacts->pszType = nullptr;
    if (!g_facts.bLookups) return VX_OK;
    // The pool may have moved: the text is passed from where it is now.
    const int s = LookupSid(&value, pSec->text.p + pFacts->dwText, &pFacts->pszAccount,
                            &pFacts->pszType);
    return s == VX_FAILED ? VX_FAILED : VX_OK;
}

int Raise(int status, int s) { return s > status ? s : status; }

// Owner or group, with the renderer's diagnostics.
int GatherOwner(uint64_t record, const uint8_t* sd, uint64_t size, uint32_t dwOffset,
                const char* pszWhat, int* pbFound, SidFacts* pSid) {
    *pbFound = 0;
    if (dwOffset == 0) {
        log_message(VX_ERROR, "%s %s() l.%d: %s not found - Base record/KeyNode offset : " VX_U64,
                    "sd_dump", "DumpBufferSecurity", __LINE__, pszWhat, record);
        return VX_FAILED;
    }
    if (dwOffset >= size) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream, %s missing - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    "sd_dump", "DumpBufferSecurity", __LINE__, pszWhat, size, record);
        return VX_FAILED;
    }
    *pbFound = 1;
    return KeepSid(sd + dwOffset, size - dwOffset, pSid);
}

int GatherAcl(uint64_t record, const uint8_t* sd, uint64_t size, uint32_t dwOffset, int bSacl,
              int32_t* plCount) {
    *plCount = -1;
    if (dwOffset == 0) return VX_OK;
    *plCount = -2;
    // The header up to its ACE count must lie inside.
    if (static_cast<uint64_t>(dwOffset) + acl_layout::kAceCount + 2 > size) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream, %s missing - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    "sd_dump", "DumpBufferSecurity", __LINE__, bSacl ? "SACL" : "DACL", size,
                    record);
        return VX_FAILED;
    }
    const uint8_t* pAcl = sd + dwOffset;
    const uint64_t avail = size - dwOffset;
    const uint16_t wAclSize = vx_le16(pAcl, avail, acl_layout::kSize);
    const uint16_t wCount = vx_le16(pAcl, avail, acl_layout::kAceCount);
    *plCount = wCount;
    if (wAclSize > avail) return VX_OK;
    int status = VX_OK;
    uint64_t ullOffset = acl_layout::kHeaderSize;
    for (uint32_t i = 0; i < wCount; i++) {
        AceValue ace;
        if (!DecodeAce(pAcl, avail, wAclSize, ullOffset, &ace)) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: ACE #%u beyond its ACL - ACE offset : " VX_U64
                        ", ACE size : %u, ACL size : %u",
                        "sd_dump", "DumpAcl", __LINE__, i, ullOffset, ace.wSize, wAclSize);
            return VX_FAILED;
        }
        AceFacts* pAce = PoolAdd(&g_facts.security.aces);
        pAce->bSacl = bSacl;
        pAce->bType = ace.bType;
        pAce->bFlags = ace.bFlags;
        pAce->dwMask = ace.dwMask;
        const uint64_t ullSid = ace.ullSidOffset;
        const int s = KeepSid(pAcl + ullOffset + ullSid,
                              avail - ullOffset >= ullSid ? avail - ullOffset - ullSid : 0,
                              &pAce->sid);
        status = Raise(status, s);
        if (ace.bType > 2) {
            log_message(VX_ERROR, "%s %s() l.%d: unknown type %u", "sd_dump", "DumpAcl", __LINE__,
                        ace.bType);
            status = Raise(status, VX_FAILED);
        }
        ullOffset += ace.wSize;
    }
    return status;
}

// The renderer handed to the security lookup: the descriptor's facts.
int GatherDescriptor(FILE*, uint64_t record, const uint8_t* sd, uint64_t size, int) {
    SecurityFacts* pSec = &g_facts.security;
    DescriptorHeader header;
    if (!DecodeDescriptorHeader(sd, size, &header)) {
        log_message(VX_ERROR,
                    "%s %s() l.%d: truncated stream - Size : " VX_U64
                    " - Base record/KeyNode offset : " VX_U64,
                    "sd_dump", "DumpBufferSecurity", __LINE__, size, record);
        return VX_FAILED;
    }
    pSec->bPresent = 1;
    int status = GatherOwner(record, sd, size, header.dwOwner, "user", &pSec->bOwner, &pSec->owner);
    int s = GatherOwner(record, sd, size, header.dwGroup, "group", &pSec->bGroup, &pSec->group);
    status = Raise(status, s);
    s = GatherAcl(record, sd, size, header.dwDacl, 0, &pSec->lDace);
    status = Raise(status, s);
    s = GatherAcl(record, sd, size, header.dwSacl, 1, &pSec->lSace);
    return Raise(status, s);
}

int GatherSecurity(const Entry* pEntry) {
    SecurityFacts* pSec = &g_facts.security;
    pSec->bPresent = pSec->bOwner = pSec->bGroup = 0;
    pSec->lDace = pSec->lSace = -1;
    pSec->aces.dwCount = 0;
    pSec->text.dwCount = 0;
    return VisitSecurityDescriptor(nullptr, pEntry, GatherDescriptor);
}

int Gather(Entry* pEntry, int md5) {
    int status = VX_OK;
    int s = GatherPath(pEntry);
    status = Raise(status, s);
    g_facts.bNoDigest = md5 && DigestLeftOut(pEntry);
    g_facts.pszNoDigest = nullptr;
    if (md5 && !g_facts.bNoDigest) {
        // A stream that could not be read leaves no digest, rather than that
        // of the bytes that happened to arrive.
        const int ok = ComputeMd5(pEntry, g_facts.digest, &g_facts.pszNoDigest);
        if (!ok) status = VX_FAILED;
        g_facts.bNoDigest = !ok || g_facts.pszNoDigest != nullptr;
    }
    g_facts.bStandard = 0;
    const Attribute* pStandard =
        FindAttribute(pEntry, AttrType(pEntry, ATTR_STANDARD_INFORMATION), nullptr);
    if (pStandard != nullptr) {
        s = ReadStandard(pEntry, pStandard, &g_facts.standard);
        status = Raise(status, s);
        g_facts.bStandard = s == VX_OK;
    }
    s = GatherNames(pEntry);
    s = GatherSecurity(pEntry);
    return Raise(status, s);
}

const FileNameFacts* ChosenName() {
    return g_facts.lChosen < 0 ? nullptr : &g_facts.names.p[g_facts.lChosen];
}

// ------------------------------------------------------ output
//
// Every byte goes out through the line report's unlocked writers into the
// report's buffer, and no field goes through printf: a run writes a few
// dozen fields for each of a million files.  Each kind of field has its
// writer below; a row is these writers called in the columns' order.

template <size_t N>
void PutLiteral(FILE* stream, const char (&sz)[N]) {
    vx_put_bytes(stream, sz, N - 1);
}

void PutBool(FILE* stream, bool b) {
    if (b)
        PutLiteral(stream, "true");
    else
        PutLiteral(stream, "false");
}

const char kHexLower[] = "0123456789abcdef";

// Nothing when the digest was left out (a copy of the $MFT holds none of
// the data).
void PutDigest(FILE* stream) {
    if (g_facts.bNoDigest) return;
    char text[32];
    for (int k = 0; k < 16; k++) {
        text[2 * k] = kHexLower[g_facts.digest[k] >> 4];
        text[2 * k + 1] = kHexLower[g_facts.digest[k] & 15];
    }
    vx_put_bytes(stream, text, sizeof text);
}

// The text of the last time written, in each form: a file's times are
// mostly one and the same, so each value is formatted once.
struct TimeText {
    bool bValid;
    uint64_t ullTime;
    size_t cbText;
    char text[64];
};
TimeText g_lastTime[2];

// "2020-07-25T12:26:46.8208763Z", by the line's formatter and its days.
void PutIsoTime(FILE* stream, uint64_t ullTime) {
    TimeText& t = g_lastTime[0];
    if (!t.bValid || t.ullTime != ullTime) {
        t.cbText = FormatNtfsTime(t.text, ullTime, kTimeIso);
        t.ullTime = ullTime;
        t.bValid = true;
    }
    vx_put_bytes(stream, t.text, t.cbText);
}

// Seconds since 1970 with the seven digits of the fraction; before 1970
// whole seconds (rounded down), and 0 for a time never set.
void PutUnixTime(FILE* stream, uint64_t ullTime) {
    TimeText& t = g_lastTime[1];
    if (!t.bValid || t.ullTime != ullTime) {
        char* p = t.text;
        if (ullTime == 0) {
            *p++ = '0';
        } else if (ullTime >= kUnixEpoch) {
            const uint64_t d = ullTime - kUnixEpoch;
            p = vx_format_u64(p, d / 10000000);
            *p++ = '.';
            p = vx_format_u64(p, d % 10000000, 7);
        } else {
            const uint64_t d = kUnixEpoch - ullTime;
            *p++ = '-';
            p = vx_format_u64(p, (d + 9999999) / 10000000);
        }
        t.cbText = static_cast<size_t>(p - t.text);
        t.ullTime = ullTime;
        t.bValid = true;
    }
    vx_put_bytes(stream, t.text, t.cbText);
}

// ------------------------------------------------------ text

enum TextStyle { kCsv, kJson, kBody };

Pool<char> g_field;  // the bytes of the text field being written

char* EncodeUtf8(char* p, uint32_t cp) {
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

// "\u001f": the JSON escape of a unit (lower-case digits).
char* EncodeJsonUnit(char* p, uint32_t u) {
    *p++ = '\\';
    *p++ = 'u';
    for (int shift = 12; shift >= 0; shift -= 4) *p++ = kHexLower[(u >> shift) & 15];
    return p;
}

bool IsHex(vx_wchar u) {
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// UTF-16 units as UTF-8 with the escapes of the style, appended to `pOut`
// in one pass over them.  Pairs of surrogates make one character; an
// unpaired one is U+FFFD, or its \u escape in JSON.  The bodyfile's "\" is
// "/".  Returns whether a CSV cell holding them must be quoted.
template <TextStyle kStyle>
bool EncodeUnits(Pool<char>* pOut, const vx_wchar* pw, uint32_t dwUnits) {
    // 6 bytes a unit at most: "\u" and four digits.
    char* p = PoolReserve(pOut, dwUnits * 6);
    bool bQuote = false;
    for (uint32_t k = 0; k < dwUnits; k++) {
        uint32_t cp = pw[k];
        if (cp < 0x80) {
            if constexpr (kStyle == kJson) {
                if (cp == '"' || cp == '\\') {
                    *p++ = '\\';
                } else if (cp < 0x20) {
                    static const char kShort[] = "btn\0fr";  // 8 to 13, but 11
                    if (cp >= 8 && cp <= 13 && kShort[cp - 8] != 0) {
                        *p++ = '\\';
                        *p++ = kShort[cp - 8];
                    } else {
                        p = EncodeJsonUnit(p, cp);
                    }
                    continue;
                }
            } else if constexpr (kStyle == kBody) {
                if (cp == '\\') cp = '/';
                if (cp == '|' || cp < 0x20 || cp == 0x7F ||
                    (cp == '%' && k + 2 < dwUnits && IsHex(pw[k + 1]) && IsHex(pw[k + 2]))) {
                    static const char kHexUpper[] = "0123456789ABCDEF";
                    *p++ = '%';
                    *p++ = kHexUpper[cp >> 4];
                    *p++ = kHexUpper[cp & 15];
                    continue;
                }
            } else {
                if (cp == '"') *p++ = '"';
                if (cp == '"' || cp == ',' || cp == '\r' || cp == '\n') bQuote = true;
            }
            *p++ = static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp <= 0xDBFF && k + 1 < dwUnits && pw[k + 1] >= 0xDC00 && pw[k + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (pw[k + 1] - 0xDC00);
                k++;
            } else if constexpr (kStyle == kJson) {
                p = EncodeJsonUnit(p, cp);
                continue;
            } else {
                cp = 0xFFFD;
            }
        }
        p = EncodeUtf8(p, cp);
    }
    pOut->dwCount = static_cast<uint32_t>(p - pOut->p);
    return bQuote;
}

uint32_t UnitCount(const vx_wchar* pw) {
    uint32_t n = 0;
    while (pw[n] != 0) n++;
    return n;
}

// Units in the style, as one write.
template <TextStyle kStyle>
void PutUnits(FILE* stream, const vx_wchar* pw, uint32_t dwUnits) {
    g_field.dwCount = 0;
    EncodeUnits<kStyle>(&g_field, pw, dwUnits);
    vx_put_bytes(stream, g_field.p, g_field.dwCount);
}

// The field gathered in g_field as a CSV cell, quoted when it must be.
void PutCsvField(FILE* stream, bool bQuote) {
    if (bQuote) vx_put_char(stream, '"');
    vx_put_bytes(stream, g_field.p, g_field.dwCount);
    if (bQuote) vx_put_char(stream, '"');
}

// A CSV cell of UTF-16 units, quoted when it must be.
void PutCsvUnits(FILE* stream, const vx_wchar* pw, uint32_t dwUnits) {
    g_field.dwCount = 0;
    PutCsvField(stream, EncodeUnits<kCsv>(&g_field, pw, dwUnits));
}

// "C:" and the separator, when the path begins with the drive's root.
void AddRootPrefix(Pool<char>* pOut, const Entry* pEntry, char cSeparator) {
    if (!g_facts.bRootPrefix) return;
    char* p = PoolAdd(pOut, 3);
    p[0] = pEntry->pVolume->DriveLetter;
    p[1] = ':';
    p[2] = cSeparator;
}

// ------------------------------------------------------ common fields

// The derived indicators: 1 true, 0 false, -1 unknown.
int SiBeforeFn() {
    const FileNameFacts* pName = ChosenName();
    if (!g_facts.bStandard || pName == nullptr) return -1;
    return g_facts.standard.ullTimes[0] < pName->ullTimes[0] ? 1 : 0;
}

int SiZeroFractions() {
    if (!g_facts.bStandard) return -1;
    for (uint64_t t : g_facts.standard.ullTimes)
        if (t % 10000000 != 0) return 0;
    return 1;
}

template <size_t N>
void PutTristate(FILE* stream, int v, const char (&szUnknown)[N]) {
    if (v < 0)
        PutLiteral(stream, szUnknown);
    else
        PutBool(stream, v != 0);
}

uint32_t Attributes(const Entry* pEntry) {
    uint32_t dwFlags = g_facts.standard.dwFileAttributes;
    if (pEntry->bDirectory) dwFlags |= kDirectoryAttribute;
    return dwFlags;
}

void PutAttributeCodes(FILE* stream, const Entry* pEntry) {
    if (!g_facts.bStandard) return;
    char codes[2 * 16 + 1];
    const char* pEnd = FormatBitCodes(codes, Attributes(pEntry), FileAttributeBits);
    vx_put_bytes(stream, codes, static_cast<size_t>(pEnd - codes));
}

// "+Fa", "-WdAd", "+-Fa" (audits of success and failure): the rights as the
// line writes them.
void PutRights(FILE* stream, const AceFacts* pAce) {
    char codes[2 + 2 * 32 + 1];
    char* p = codes;
    if (pAce->bType == 0) *p++ = '+';
    if (pAce->bType == 1) *p++ = '-';
    if (pAce->bType == 2) {
        if (pAce->bFlags & 0x40) *p++ = '+';
        if (pAce->bFlags & 0x80) *p++ = '-';
    }
    if (pAce->bType <= 2) p = FormatBitCodes(p, pAce->dwMask, AccessRightsBits);
    vx_put_bytes(stream, codes, static_cast<size_t>(p - codes));
}

const char* SidText(const SidFacts* pSid) { return g_facts.security.text.p + pSid->dwText; }

void PutSidText(FILE* stream, const SidFacts* pSid) { vx_put_text(stream, SidText(pSid)); }

const Attribute* MainStream(const Entry* pEntry) {
    return FindAttribute(pEntry, AttrType(pEntry, ATTR_DATA), nullptr);
}

uint64_t AllocatedSize(const Entry* pEntry, const Attribute* pAttr) {
    return pAttr->bResident ? pAttr->ullSize : pAttr->ullNextVcn * pEntry->pVolume->ClusterSize;
}

uint32_t DataStreamCount(const Entry* pEntry) {
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    uint32_t dwStreams = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++)
        if (pEntry->pAttrList[k].dwType == dwData) dwStreams++;
    return dwStreams;
}

// ------------------------------------------------------ CSV

const char kCsvHead[] = "record,sequence,in_use,directory,path,name,parent_record,parent_sequence,";
const char kCsvTail[] =
    "links,size,attributes,si_creation,si_write,si_change,si_access,fn_creation,fn_write,"
    "fn_change,fn_access,data_streams,alternate_streams,owner,group,dacl,sacl,security_id,usn,"
    "si_creation_before_fn,si_zero_fractions\n";

// The path: the drive's root then the names, one cell.
void PutCsvPath(FILE* stream, const Entry* pEntry) {
    g_field.dwCount = 0;
    AddRootPrefix(&g_field, pEntry, '\\');
    PutCsvField(stream, EncodeUnits<kCsv>(&g_field, g_facts.path.p, g_facts.path.dwCount));
}

// Four times, each followed by its ",", empty when there are none.
void PutCsvTimes(FILE* stream, const uint64_t* pullTimes) {
    for (int k = 0; k < 4; k++) {
        if (pullTimes != nullptr) PutIsoTime(stream, pullTimes[k]);
        vx_put_char(stream, ',');
    }
}

// "name:size;name:size", quoted as a whole when a name needs it.
void PutCsvAlternates(FILE* stream, const Entry* pEntry) {
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    g_field.dwCount = 0;
    bool bQuote = false;
    bool bFirst = true;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData) continue;
        if (pAttr->wszName[0] == 0) continue;
        if (!bFirst) *PoolAdd(&g_field) = ';';
        bFirst = false;
        bQuote |= EncodeUnits<kCsv>(&g_field, pAttr->wszName, UnitCount(pAttr->wszName));
        char* p = PoolReserve(&g_field, 21);
        *p++ = ':';
        g_field.dwCount = static_cast<uint32_t>(vx_format_u64(p, pAttr->ullSize) - g_field.p);
    }
    PutCsvField(stream, bQuote);
}

void PutCsvAces(FILE* stream, int bSacl) {
    bool bFirst = true;
    for (uint32_t k = 0; k < g_facts.security.aces.dwCount; k++) {
        const AceFacts* pAce = &g_facts.security.aces.p[k];
        if (pAce->bSacl != bSacl) continue;
        if (!bFirst) vx_put_char(stream, ';');
        bFirst = false;
        PutSidText(stream, &pAce->sid);
        vx_put_char(stream, ':');
        PutRights(stream, pAce);
    }
    vx_put_char(stream, ',');
}

void WriteCsv(FILE* stream, const Entry* pEntry, int md5) {
    const FileNameFacts* pName = ChosenName();
    vx_put_u64(stream, pEntry->ullBaseRecord);
    vx_put_char(stream, ',');
    vx_put_u64(stream, pEntry->wSequence);
    vx_put_char(stream, ',');
    PutBool(stream, pEntry->wLinkCount != 0);
    vx_put_char(stream, ',');
    PutBool(stream, pEntry->bDirectory);
    vx_put_char(stream, ',');
    PutCsvPath(stream, pEntry);
    vx_put_char(stream, ',');
    if (pName != nullptr) {
        PutCsvUnits(stream, pName->wszName, UnitCount(pName->wszName));
        vx_put_char(stream, ',');
        vx_put_u64(stream, pName->ullParentRecord);
        vx_put_char(stream, ',');
        vx_put_u64(stream, pName->wParentSequence);
        vx_put_char(stream, ',');
    } else {
        PutLiteral(stream, ",,,");
    }
    if (md5) {
        PutDigest(stream);
        vx_put_char(stream, ',');
    }
    vx_put_u64(stream, pEntry->wLinkCount);
    vx_put_char(stream, ',');
    const Attribute* pMain = MainStream(pEntry);
    if (pMain != nullptr) vx_put_u64(stream, pMain->ullSize);
    vx_put_char(stream, ',');
    PutAttributeCodes(stream, pEntry);
    vx_put_char(stream, ',');
    PutCsvTimes(stream, g_facts.bStandard ? g_facts.standard.ullTimes : nullptr);
    PutCsvTimes(stream, pName != nullptr ? pName->ullTimes : nullptr);
    vx_put_u64(stream, DataStreamCount(pEntry));
    vx_put_char(stream, ',');
    PutCsvAlternates(stream, pEntry);
    vx_put_char(stream, ',');
    const SecurityFacts* pSec = &g_facts.security;
    if (pSec->bOwner) PutSidText(stream, &pSec->owner);
    vx_put_char(stream, ',');
    if (pSec->bGroup) PutSidText(stream, &pSec->group);
    vx_put_char(stream, ',');
    PutCsvAces(stream, 0);
    PutCsvAces(stream, 1);
    if (pEntry->bSecurityId) vx_put_u64(stream, pEntry->dwSecurityId);
    vx_put_char(stream, ',');
    if (g_facts.bStandard && g_facts.standard.bNtfs3Fields) vx_put_u64(stream, g_facts.standard.ullUsn);
    vx_put_char(stream, ',');
    PutTristate(stream, SiBeforeFn(), "");
    vx_put_char(stream, ',');
    PutTristate(stream, SiZeroFractions(), "");
    vx_put_char(stream, '\n');
}

// ------------------------------------------------------ JSON Lines

// "name":"text", JSON-escaped, or null.
void PutJsonString(FILE* stream, const vx_wchar* pw, uint32_t dwUnits) {
    g_field.dwCount = 0;
    *PoolAdd(&g_field) = '"';
    EncodeUnits<kJson>(&g_field, pw, dwUnits);
    *PoolAdd(&g_field) = '"';
    vx_put_bytes(stream, g_field.p, g_field.dwCount);
}

void PutJsonTimes(FILE* stream, const uint64_t* pullTimes) {
    PutLiteral(stream, "\"creation\":\"");
    PutIsoTime(stream, pullTimes[0]);
    PutLiteral(stream, "\",\"write\":\"");
    PutIsoTime(stream, pullTimes[1]);
    PutLiteral(stream, "\",\"change\":\"");
    PutIsoTime(stream, pullTimes[2]);
    PutLiteral(stream, "\",\"access\":\"");
    PutIsoTime(stream, pullTimes[3]);
    PutLiteral(stream, "\",");
}

// Text of the SID table or the SID's own (plain bytes), as a JSON string or
// null.
void PutJsonText(FILE* stream, const char* psz) {
    if (psz == nullptr) {
        PutLiteral(stream, "null");
        return;
    }
    g_field.dwCount = 0;
    const uint32_t dwBytes = static_cast<uint32_t>(strlen(psz));
    char* p = PoolReserve(&g_field, dwBytes * 6 + 2);
    *p++ = '"';
    for (const char* q = psz; *q != 0; q++) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if (c == '"' || c == '\\') {
            *p++ = '\\';
            *p++ = static_cast<char>(c);
        } else if (c < 0x20) {
            p = EncodeJsonUnit(p, c);
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    *p++ = '"';
    vx_put_bytes(stream, g_field.p, static_cast<size_t>(p - g_field.p));
}

const char* NonEmpty(const char* psz) { return psz != nullptr && psz[0] != 0 ? psz : nullptr; }

void PutJsonSid(FILE* stream, const SidFacts* pSid) {
    PutLiteral(stream, "{\"sid\":");
    PutJsonText(stream, SidText(pSid));
    PutLiteral(stream, ",\"account\":");
    PutJsonText(stream, NonEmpty(pSid->pszAccount));
    PutLiteral(stream, ",\"account_type\":");
    PutJsonText(stream, NonEmpty(pSid->pszType));
    vx_put_char(stream, '}');
}

void PutJsonAcl(FILE* stream, int bSacl, int32_t lCount) {
    if (lCount == -1) {
        PutLiteral(stream, "null");
        return;
    }
    static const char* const kTypes[3] = {"\"allowed\"", "\"denied\"", "\"audit\""};
    vx_put_char(stream, '[');
    bool bFirst = true;
    for (uint32_t k = 0; k < g_facts.security.aces.dwCount; k++) {
        const AceFacts* pAce = &g_facts.security.aces.p[k];
        if (pAce->bSacl != bSacl) continue;
        if (!bFirst) vx_put_char(stream, ',');
        bFirst = false;
        PutLiteral(stream, "{\"type\":");
        if (pAce->bType <= 2)
            vx_put_text(stream, kTypes[pAce->bType]);
        else
            vx_put_u64(stream, pAce->bType);
        PutLiteral(stream, ",\"flags\":");
        vx_put_u64(stream, pAce->bFlags);
        PutLiteral(stream, ",\"mask\":");
        vx_put_u64(stream, pAce->dwMask);
        PutLiteral(stream, ",\"rights\":\"");
        PutRights(stream, pAce);
        PutLiteral(stream, "\",\"trustee\":");
        PutJsonSid(stream, &pAce->sid);
        vx_put_char(stream, '}');
    }
    vx_put_char(stream, ']');
}

void PutJsonPath(FILE* stream, const Entry* pEntry) {
    g_field.dwCount = 0;
    *PoolAdd(&g_field) = '"';
    // The root's "\" escaped: "C:\\".
    AddRootPrefix(&g_field, pEntry, '\\');
    if (g_facts.bRootPrefix) *PoolAdd(&g_field) = '\\';
    EncodeUnits<kJson>(&g_field, g_facts.path.p, g_facts.path.dwCount);
    *PoolAdd(&g_field) = '"';
    vx_put_bytes(stream, g_field.p, g_field.dwCount);
}

void PutJsonStandard(FILE* stream, const Entry* pEntry) {
    if (!g_facts.bStandard) {
        PutLiteral(stream, "null");
        return;
    }
    const StandardFacts& si = g_facts.standard;
    PutLiteral(stream, "{\"attributes\":\"");
    PutAttributeCodes(stream, pEntry);
    PutLiteral(stream, "\",\"file_attributes\":");
    vx_put_u64(stream, si.dwFileAttributes);
    vx_put_char(stream, ',');
    PutJsonTimes(stream, si.ullTimes);
    PutLiteral(stream, "\"max_versions\":");
    vx_put_u64(stream, si.dwMaxVersions);
    PutLiteral(stream, ",\"version\":");
    vx_put_u64(stream, si.dwVersion);
    PutLiteral(stream, ",\"class_id\":");
    vx_put_u64(stream, si.dwClassId);
    if (si.bNtfs3Fields) {
        PutLiteral(stream, ",\"owner_id\":");
        vx_put_u64(stream, si.dwOwnerId);
        PutLiteral(stream, ",\"security_id\":");
        vx_put_u64(stream, si.dwSecurityId);
        PutLiteral(stream, ",\"quota_charged\":");
        vx_put_u64(stream, si.ullQuotaCharged);
        PutLiteral(stream, ",\"usn\":");
        vx_put_u64(stream, si.ullUsn);
    }
    vx_put_char(stream, '}');
}

void PutJsonFileName(FILE* stream, uint32_t k) {
    static const char* const kNamespaces[4] = {"\"POSIX\"", "\"Win32\"", "\"DOS\"",
                                               "\"Win32 and DOS\""};
    const FileNameFacts& fn = g_facts.names.p[k];
    PutLiteral(stream, "{\"namespace\":");
    if (fn.bNamespace <= 3)
        vx_put_text(stream, kNamespaces[fn.bNamespace]);
    else
        vx_put_u64(stream, fn.bNamespace);
    PutLiteral(stream, ",\"chosen\":");
    PutBool(stream, static_cast<int32_t>(k) == g_facts.lChosen);
    PutLiteral(stream, ",\"name\":");
    if (fn.bNameInside)
        PutJsonString(stream, fn.wszName, fn.bLength);
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"parent_record\":");
    vx_put_u64(stream, fn.ullParentRecord);
    PutLiteral(stream, ",\"parent_sequence\":");
    vx_put_u64(stream, fn.wParentSequence);
    vx_put_char(stream, ',');
    PutJsonTimes(stream, fn.ullTimes);
    PutLiteral(stream, "\"allocated_size\":");
    vx_put_u64(stream, fn.ullAllocatedSize);
    PutLiteral(stream, ",\"real_size\":");
    vx_put_u64(stream, fn.ullRealSize);
    PutLiteral(stream, ",\"flags\":");
    vx_put_u64(stream, fn.dwFlags);
    vx_put_char(stream, '}');
}

void PutJsonDataStream(FILE* stream, const Entry* pEntry, const Attribute* pAttr) {
    PutLiteral(stream, "{\"name\":");
    PutJsonString(stream, pAttr->wszName, UnitCount(pAttr->wszName));
    PutLiteral(stream, ",\"size\":");
    vx_put_u64(stream, pAttr->ullSize);
    PutLiteral(stream, ",\"allocated_size\":");
    // A copy of the $MFT without $Boot does not tell the cluster size.
    if (pAttr->bResident || CopyClusterKnown(pEntry->pVolume))
        vx_put_u64(stream, AllocatedSize(pEntry, pAttr));
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"resident\":");
    PutBool(stream, pAttr->bResident);
    PutLiteral(stream, ",\"flags\":");
    vx_put_u64(stream, pAttr->wFlags);
    // EFS: what the digest covers is the ciphertext.
    if ((pAttr->wFlags & kAttrEncrypted) != 0) PutLiteral(stream, ",\"encrypted\":true");
    vx_put_char(stream, '}');
}

void PutJsonSecurity(FILE* stream) {
    const SecurityFacts* pSec = &g_facts.security;
    if (!pSec->bPresent) {
        PutLiteral(stream, "null");
        return;
    }
    PutLiteral(stream, "{\"owner\":");
    if (pSec->bOwner)
        PutJsonSid(stream, &pSec->owner);
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"group\":");
    if (pSec->bGroup)
        PutJsonSid(stream, &pSec->group);
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"dacl\":");
    PutJsonAcl(stream, 0, pSec->lDace);
    PutLiteral(stream, ",\"sacl\":");
    PutJsonAcl(stream, 1, pSec->lSace);
    vx_put_char(stream, '}');
}

void WriteJson(FILE* stream, const Entry* pEntry, int md5) {
    const FileNameFacts* pName = ChosenName();
    PutLiteral(stream, "{\"record\":");
    vx_put_u64(stream, pEntry->ullBaseRecord);
    PutLiteral(stream, ",\"sequence\":");
    vx_put_u64(stream, pEntry->wSequence);
    PutLiteral(stream, ",\"in_use\":");
    PutBool(stream, pEntry->wLinkCount != 0);
    PutLiteral(stream, ",\"directory\":");
    PutBool(stream, pEntry->bDirectory);
    PutLiteral(stream, ",\"path\":");
    PutJsonPath(stream, pEntry);
    PutLiteral(stream, ",\"name\":");
    if (pName != nullptr)
        PutJsonString(stream, pName->wszName, UnitCount(pName->wszName));
    else
        PutLiteral(stream, "null");
    if (md5) {
        PutLiteral(stream, ",\"md5\":\"");
        PutDigest(stream);
        vx_put_char(stream, '"');
        // The reasons are texts of our own, with nothing JSON must escape.
        if (g_facts.pszNoDigest != nullptr) {
            PutLiteral(stream, ",\"md5_unavailable\":\"");
            vx_put_text(stream, g_facts.pszNoDigest);
            vx_put_char(stream, '"');
        }
    }
    PutLiteral(stream, ",\"links\":");
    vx_put_u64(stream, pEntry->wLinkCount);
    PutLiteral(stream, ",\"size\":");
    const Attribute* pMain = MainStream(pEntry);
    if (pMain != nullptr)
        vx_put_u64(stream, pMain->ullSize);
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"standard_information\":");
    PutJsonStandard(stream, pEntry);
    PutLiteral(stream, ",\"file_names\":[");
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        if (k != 0) vx_put_char(stream, ',');
        PutJsonFileName(stream, k);
    }
    PutLiteral(stream, "],\"data_streams\":[");
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    bool bFirst = true;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData) continue;
        if (!bFirst) vx_put_char(stream, ',');
        bFirst = false;
        PutJsonDataStream(stream, pEntry, pAttr);
    }
    PutLiteral(stream, "],\"security\":");
    PutJsonSecurity(stream);
    PutLiteral(stream, ",\"security_id\":");
    if (pEntry->bSecurityId)
        vx_put_u64(stream, pEntry->dwSecurityId);
    else
        PutLiteral(stream, "null");
    PutLiteral(stream, ",\"si_creation_before_fn\":");
    PutTristate(stream, SiBeforeFn(), "null");
    PutLiteral(stream, ",\"si_zero_fractions\":");
    PutTristate(stream, SiZeroFractions(), "null");
    PutLiteral(stream, "}\n");
}

// ------------------------------------------------------ bodyfile

// A path as The Sleuth Kit writes it: "C:/dir/name", a directory without
// its trailing "/".
void PutBodyUnits(FILE* stream, const Entry* pEntry, int bRoot, const vx_wchar* pw,
                  uint32_t dwUnits) {
    if (dwUnits > 0 && pw[dwUnits - 1] == '\\') dwUnits--;
    g_field.dwCount = 0;
    if (bRoot) {
        char* p = PoolAdd(&g_field, 3);
        p[0] = pEntry->pVolume->DriveLetter;
        p[1] = ':';
        p[2] = '/';
    }
    EncodeUnits<kBody>(&g_field, pw, dwUnits);
    vx_put_bytes(stream, g_field.p, g_field.dwCount);
}

void PutBodyPath(FILE* stream, const Entry* pEntry) {
    PutBodyUnits(stream, pEntry, g_facts.bRootPrefix, g_facts.path.p, g_facts.path.dwCount);
}

// The path of another name of the file: its own directory's path and its
// own name, as fls writes each link.  The chosen name's path when the
// directory cannot be walked.
int PutLinkPath(FILE* stream, const Entry* pEntry, const FileNameFacts* pName) {
    const FileNameFacts* pChosen = ChosenName();
    if (pName == pChosen || !pName->bNameInside) {
        PutBodyPath(stream, pEntry);
        return VX_OK;
    }
    int status = VX_OK;
    Pool<vx_wchar>* pDir = &g_facts.linkPath;
    pDir->dwCount = 0;
    int bRoot = g_facts.bRootPrefix;
    if (pName->ullParentRecord == pChosen->ullParentRecord &&
        pName->wParentSequence == pChosen->wParentSequence) {
        // The same directory: the chosen path up to its last name.
        uint32_t dwEnd = g_facts.path.dwCount;
        if (dwEnd > 0 && g_facts.path.p[dwEnd - 1] == '\\') dwEnd--;
        while (dwEnd > 0 && g_facts.path.p[dwEnd - 1] != '\\') dwEnd--;
        if (dwEnd != 0) memcpy(PoolAdd(pDir, dwEnd), g_facts.path.p, dwEnd * sizeof(vx_wchar));
    } else if (pName->ullParentRecord == 5) {
        bRoot = 1;
    } else {
        Entry* pParent = nullptr;
        int s = InitEntry(pEntry->pVolume, &pParent, pName->ullParentRecord, 0);
        status = Raise(status, s);
        if (InfoNoSequenceCheck || pParent->wSequence == pName->wParentSequence) {
            s = CapturePath(pParent, pDir, &bRoot);
            status = Raise(status, s);
        } else {
            bRoot = 0;
        }
        FreeEntry(pParent);
    }
    if (pName->bLength != 0)
        memcpy(PoolAdd(pDir, pName->bLength), pName->wszName, pName->bLength * sizeof(vx_wchar));
    PutBodyUnits(stream, pEntry, bRoot, pDir->p, pDir->dwCount);
    return status;
}

// "|atime|mtime|ctime|crtime\n": the record's change is the ctime.
void PutBodyTimes(FILE* stream, const uint64_t* pullTimes) {
    static const int kOrder[4] = {3, 1, 2, 0};
    for (int k : kOrder) {
        vx_put_char(stream, '|');
        PutUnixTime(stream, pullTimes[k]);
    }
    vx_put_char(stream, '\n');
}

void PutBodyMd5(FILE* stream, int md5) {
    if (md5)
        PutDigest(stream);
    else
        vx_put_char(stream, '0');
    vx_put_char(stream, '|');
}

// "|inode|mode|uid|gid|size" after the name.
void PutBodyInode(FILE* stream, const Entry* pEntry, uint32_t dwUid, uint64_t ullSize) {
    vx_put_char(stream, '|');
    vx_put_u64(stream, pEntry->ullBaseRecord);
    if (pEntry->bDirectory)
        PutLiteral(stream, "|d/drwxrwxrwx|");
    else
        PutLiteral(stream, "|r/rrwxrwxrwx|");
    vx_put_u64(stream, dwUid);
    PutLiteral(stream, "|0|");
    vx_put_u64(stream, ullSize);
}

int WriteBody(FILE* stream, const Entry* pEntry, int md5) {
    int status = VX_OK;
    const Attribute* pMain = MainStream(pEntry);
    const uint64_t ullSize = pMain != nullptr ? pMain->ullSize : 0;
    const uint32_t dwUid = g_facts.bStandard ? g_facts.standard.dwOwnerId : 0;
    PutBodyMd5(stream, md5);
    PutBodyPath(stream, pEntry);
    PutBodyInode(stream, pEntry, dwUid, ullSize);
    static const uint64_t kNoTimes[4] = {0, 0, 0, 0};
    const uint64_t* pullTimes = g_facts.bStandard ? g_facts.standard.ullTimes : kNoTimes;
    PutBodyTimes(stream, pullTimes);
    // A hard link's path has the standard information too, as fls lists
    // each link; DOS names are not links of their own.
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        const FileNameFacts& fn = g_facts.names.p[k];
        if (static_cast<int32_t>(k) == g_facts.lChosen || fn.bNamespace == file_name::kDos ||
            !fn.bNameInside)
            continue;
        PutBodyMd5(stream, md5);
        const int s = PutLinkPath(stream, pEntry, &fn);
        status = Raise(status, s);
        PutBodyInode(stream, pEntry, dwUid, ullSize);
        PutBodyTimes(stream, pullTimes);
    }
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        const FileNameFacts& fn = g_facts.names.p[k];
        PutLiteral(stream, "0|");
        const int s = PutLinkPath(stream, pEntry, &fn);
        status = Raise(status, s);
        PutLiteral(stream, " ($FILE_NAME)");
        PutBodyInode(stream, pEntry, dwUid, fn.ullRealSize);
        PutBodyTimes(stream, fn.ullTimes);
    }
    return status;
}

}  // namespace

int ParseReportFormat(const char* pszName) {
    static const char* const kNames[] = {"line", "csv", "jsonl", "bodyfile"};
    for (int k = 0; k < 4; k++)
        if (strcmp(pszName, kNames[k]) == 0) return k;
    return -1;
}

int BeginFormattedReport(FILE* stream, int format, int md5) {
    g_facts.bLookups = format == kFormatJsonl;
    if (format == kFormatCsv) {
        PutLiteral(stream, kCsvHead);
        if (md5) PutLiteral(stream, "md5,");
        PutLiteral(stream, kCsvTail);
    }
    return VX_OK;
}

int DumpFileFormatted(FILE* stream, Entry* pEntry, int md5, int format) {
    const int status = Gather(pEntry, md5);
    if (format == kFormatCsv)
        WriteCsv(stream, pEntry, md5);
    else if (format == kFormatJsonl)
        WriteJson(stream, pEntry, md5);
    else
        return Raise(status, WriteBody(stream, pEntry, md5));
    return status;
}

void EndFormattedReport() {
    PoolFree(&g_facts.path);
    PoolFree(&g_facts.linkPath);
    PoolFree(&g_facts.names);
    PoolFree(&g_facts.security.aces);
    PoolFree(&g_facts.security.text);
    PoolFree(&g_field);
    g_lastTime[0].bValid = g_lastTime[1].bValid = false;
}
