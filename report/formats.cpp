// CSV, JSON Lines and bodyfile: the facts of one file gathered once, from
// the decoders the line report uses, then written in the chosen format.
#include "report/formats.h"

#include <cstring>

#include "base/le.h"
#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/layout/file_name.h"
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
    Pool<vx_wchar> path;  // the path's names as the line writes them, 0-terminated
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
FILE* g_pScratch = nullptr;  // where the walk's narrow text goes
Pool<vx_wchar>* g_pCapture = nullptr;  // while a path is gathered: its units
vx_wc_writer g_pfnWriter = nullptr;   // the writer chosen for the run

// The wide-character writer of these formats: while a path is gathered the
// units go to it, otherwise to the writer chosen for the run (the debug
// dumps use it).
int CaptureWriter(FILE* stream, vx_wchar wc) {
    if (g_pCapture == nullptr) return g_pfnWriter(stream, wc);
    *PoolAdd(g_pCapture) = wc;
    return 1;
}

// The path of `pEntry` exactly as the line writes it, without the drive's
// root, which *pbRoot says it began with; 0-terminated.
int CapturePath(const Entry* pEntry, Pool<vx_wchar>* pPath, int* pbRoot) {
    pPath->dwCount = 0;
    if (ftell(g_pScratch) > (1 << 20)) rewind(g_pScratch);
    const long before = ftell(g_pScratch);
    g_pCapture = pPath;
    const int s = DumpFullPath(g_pScratch, pEntry, 1);
    g_pCapture = nullptr;
    // The walk writes the drive's root ("C:\") and the field's end ("|").
    *pbRoot = ftell(g_pScratch) - before > 1;
    *PoolAdd(pPath) = 0;
    pPath->dwCount--;
    return s;
}

int GatherPath(const Entry* pEntry) {
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
    return VisitSecurityDescriptor(g_pScratch, pEntry, GatherDescriptor);
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

// ------------------------------------------------------ text

enum TextStyle { kPlain, kCsv, kJson, kBody };

void PutUtf8(FILE* stream, uint32_t cp) {
    char b[4];
    int n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    fwrite(b, 1, static_cast<size_t>(n), stream);
}

bool IsHex(vx_wchar u) {
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// UTF-16 units as UTF-8 with the escapes of the style.  Pairs of surrogates
// make one character; an unpaired one is U+FFFD, or its \u escape in JSON.
// In the bodyfile, `bSlashes` turns "\" into "/".
void PutUnits(FILE* stream, const vx_wchar* pw, uint32_t dwUnits, TextStyle style,
              bool bSlashes = false) {
    for (uint32_t k = 0; k < dwUnits; k++) {
        uint32_t cp = pw[k];
        if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < dwUnits && pw[k + 1] >= 0xDC00 &&
            pw[k + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (pw[k + 1] - 0xDC00);
            k++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (style == kJson) {
                fprintf(stream, "\\u%04x", cp);
                continue;
            }
            cp = 0xFFFD;
        }
        if (style == kJson) {
            if (cp == '"' || cp == '\\') {
                fputc('\\', stream);
            } else if (cp < 0x20) {
                static const char kShort[] = "btn\0fr";  // 8 to 13, but 11
                if (cp >= 8 && cp <= 13 && kShort[cp - 8] != 0)
                    fprintf(stream, "\\%c", kShort[cp - 8]);
                else
                    fprintf(stream, "\\u%04x", cp);
                continue;
            }
        } else if (style == kBody) {
            if (bSlashes && cp == '\\') cp = '/';
            if (cp == '|' || cp < 0x20 || cp == 0x7F ||
                (cp == '%' && k + 2 < dwUnits && IsHex(pw[k + 1]) && IsHex(pw[k + 2]))) {
                fprintf(stream, "%%%02X", cp);
                continue;
            }
        } else if (style == kCsv && cp == '"') {
            fputc('"', stream);
        }
        PutUtf8(stream, cp);
    }
}

uint32_t UnitCount(const vx_wchar* pw) {
    uint32_t n = 0;
    while (pw[n] != 0) n++;
    return n;
}

bool NeedsQuotes(const vx_wchar* pw, uint32_t dwUnits) {
    for (uint32_t k = 0; k < dwUnits; k++)
        if (pw[k] == ',' || pw[k] == '"' || pw[k] == '\r' || pw[k] == '\n') return true;
    return false;
}

// A CSV cell of UTF-16 units, quoted when it must be.
void PutCsvUnits(FILE* stream, const vx_wchar* pw, uint32_t dwUnits) {
    const bool bQuote = NeedsQuotes(pw, dwUnits);
    if (bQuote) fputc('"', stream);
    PutUnits(stream, pw, dwUnits, kCsv);
    if (bQuote) fputc('"', stream);
}

void PutRootPrefix(FILE* stream, const Entry* pEntry, bool bSlash) {
    if (g_facts.bRootPrefix) fprintf(stream, "%c:%c", pEntry->pVolume->DriveLetter, bSlash ? '/' : '\\');
}

// "2020-07-25T12:26:46.8208763Z".
void PutIsoTime(FILE* stream, uint64_t ullTime) {
    CivilTime t;
    SplitTime(ullTime, &t);
    char text[64];
    char* p = vx_format_u64(text, t.ullYear, 4);
    *p++ = '-';
    p = vx_format_u64(p, t.dwMonth, 2);
    *p++ = '-';
    p = vx_format_u64(p, t.dwDay, 2);
    *p++ = 'T';
    p = vx_format_u64(p, t.dwHour, 2);
    *p++ = ':';
    p = vx_format_u64(p, t.dwMinute, 2);
    *p++ = ':';
    p = vx_format_u64(p, t.dwSecond, 2);
    *p++ = '.';
    p = vx_format_u64(p, t.dwFraction, 7);
    *p++ = 'Z';
    fwrite(text, 1, static_cast<size_t>(p - text), stream);
}

// Seconds since 1970 with the seven digits of the fraction; before 1970
// whole seconds (rounded down), and 0 for a time never set.
void PutUnixTime(FILE* stream, uint64_t ullTime) {
    if (ullTime == 0) {
        fputc('0', stream);
    } else if (ullTime >= kUnixEpoch) {
        const uint64_t d = ullTime - kUnixEpoch;
        fprintf(stream, VX_U64 ".%07u", d / 10000000, static_cast<unsigned>(d % 10000000));
    } else {
        const uint64_t d = kUnixEpoch - ullTime;
        fprintf(stream, "-" VX_U64, (d + 9999999) / 10000000);
    }
}

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

const char* Tristate(int v, const char* pszUnknown) {
    return v < 0 ? pszUnknown : v ? "true" : "false";
}

uint32_t Attributes(const Entry* pEntry) {
    uint32_t dwFlags = g_facts.standard.dwFileAttributes;
    if (pEntry->bDirectory) dwFlags |= kDirectoryAttribute;
    return dwFlags;
}

void PutAttributeCodes(FILE* stream, const Entry* pEntry) {
    if (!g_facts.bStandard) return;
    char codes[2 * 16 + 1];
    FormatBitCodes(codes, Attributes(pEntry), FileAttributeBits);
    fputs(codes, stream);
}

// "+Fa", "-WdAd", "+-Fa" (audits of success and failure): the rights as the
// line writes them.
void PutRights(FILE* stream, const AceFacts* pAce) {
    if (pAce->bType == 0) fputc('+', stream);
    if (pAce->bType == 1) fputc('-', stream);
    if (pAce->bType == 2) {
        if (pAce->bFlags & 0x40) fputc('+', stream);
        if (pAce->bFlags & 0x80) fputc('-', stream);
    }
    if (pAce->bType > 2) return;
    char codes[2 * 32 + 1];
    FormatBitCodes(codes, pAce->dwMask, AccessRightsBits);
    fputs(codes, stream);
}

const char* SidText(const SidFacts* pSid) { return g_facts.security.text.p + pSid->dwText; }

const Attribute* MainStream(const Entry* pEntry) {
    return FindAttribute(pEntry, AttrType(pEntry, ATTR_DATA), nullptr);
}

uint64_t AllocatedSize(const Entry* pEntry, const Attribute* pAttr) {
    return pAttr->bResident ? pAttr->ullSize : pAttr->ullNextVcn * pEntry->pVolume->ClusterSize;
}

// ------------------------------------------------------ CSV

const char kCsvHead[] = "record,sequence,in_use,directory,path,name,parent_record,parent_sequence,";
const char kCsvTail[] =
    "links,size,attributes,si_creation,si_write,si_change,si_access,fn_creation,fn_write,"
    "fn_change,fn_access,data_streams,alternate_streams,owner,group,dacl,sacl,security_id,usn,"
    "si_creation_before_fn,si_zero_fractions\n";

void PutCsvAces(FILE* stream, int bSacl) {
    bool bFirst = true;
    for (uint32_t k = 0; k < g_facts.security.aces.dwCount; k++) {
        const AceFacts* pAce = &g_facts.security.aces.p[k];
        if (pAce->bSacl != bSacl) continue;
        if (!bFirst) fputc(';', stream);
        bFirst = false;
        fprintf(stream, "%s:", SidText(&pAce->sid));
        PutRights(stream, pAce);
    }
    fputc(',', stream);
}

void WriteCsv(FILE* stream, const Entry* pEntry, int md5) {
    const FileNameFacts* pName = ChosenName();
    fprintf(stream, VX_U64 ",%u,%s,%s,", pEntry->ullBaseRecord, pEntry->wSequence,
            pEntry->wLinkCount != 0 ? "true" : "false", pEntry->bDirectory ? "true" : "false");
    // The path: the drive's root then the names, one cell.
    const bool bQuote = NeedsQuotes(g_facts.path.p, g_facts.path.dwCount);
    if (bQuote) fputc('"', stream);
    PutRootPrefix(stream, pEntry, false);
    PutUnits(stream, g_facts.path.p, g_facts.path.dwCount, kCsv);
    if (bQuote) fputc('"', stream);
    fputc(',', stream);
    if (pName != nullptr) {
        PutCsvUnits(stream, pName->wszName, UnitCount(pName->wszName));
        fprintf(stream, "," VX_U64 ",%u,", pName->ullParentRecord, pName->wParentSequence);
    } else {
        fputs(",,,", stream);
    }
    if (md5) {
        if (!g_facts.bNoDigest)
            for (uint8_t b : g_facts.digest) fprintf(stream, "%02x", b);
        fputc(',', stream);
    }
    fprintf(stream, "%u,", pEntry->wLinkCount);
    const Attribute* pMain = MainStream(pEntry);
    if (pMain != nullptr) fprintf(stream, VX_U64, pMain->ullSize);
    fputc(',', stream);
    PutAttributeCodes(stream, pEntry);
    fputc(',', stream);
    for (int k = 0; k < 4; k++) {
        if (g_facts.bStandard) PutIsoTime(stream, g_facts.standard.ullTimes[k]);
        fputc(',', stream);
    }
    for (int k = 0; k < 4; k++) {
        if (pName != nullptr) PutIsoTime(stream, pName->ullTimes[k]);
        fputc(',', stream);
    }
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    uint32_t dwStreams = 0;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++)
        if (pEntry->pAttrList[k].dwType == dwData) dwStreams++;
    fprintf(stream, "%u,", dwStreams);
    // "name:size;name:size", quoted as a whole when a name needs it.
    bool bQuoteStreams = false;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType == dwData && NeedsQuotes(pAttr->wszName, UnitCount(pAttr->wszName)))
            bQuoteStreams = true;
    }
    if (bQuoteStreams) fputc('"', stream);
    bool bFirst = true;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData || pAttr->wszName[0] == 0) continue;
        if (!bFirst) fputc(';', stream);
        bFirst = false;
        PutUnits(stream, pAttr->wszName, UnitCount(pAttr->wszName), kCsv);
        fprintf(stream, ":" VX_U64, pAttr->ullSize);
    }
    if (bQuoteStreams) fputc('"', stream);
    fputc(',', stream);
    const SecurityFacts* pSec = &g_facts.security;
    fprintf(stream, "%s,%s,", pSec->bOwner ? SidText(&pSec->owner) : "",
            pSec->bGroup ? SidText(&pSec->group) : "");
    PutCsvAces(stream, 0);
    PutCsvAces(stream, 1);
    if (pEntry->bSecurityId) fprintf(stream, "%u", pEntry->dwSecurityId);
    fputc(',', stream);
    if (g_facts.bStandard && g_facts.standard.bNtfs3Fields) fprintf(stream, VX_U64, g_facts.standard.ullUsn);
    fprintf(stream, ",%s,%s\n", Tristate(SiBeforeFn(), ""), Tristate(SiZeroFractions(), ""));
}

// ------------------------------------------------------ JSON Lines

void PutJsonTimes(FILE* stream, const uint64_t* pullTimes) {
    static const char* const kNames[4] = {"creation", "write", "change", "access"};
    for (int k = 0; k < 4; k++) {
        fprintf(stream, "\"%s\":\"", kNames[k]);
        PutIsoTime(stream, pullTimes[k]);
        fputs("\",", stream);
    }
}

void PutJsonString(FILE* stream, const char* psz) {
    if (psz == nullptr) {
        fputs("null", stream);
        return;
    }
    // Account names come from the SID table in plain text; escape as JSON.
    fputc('"', stream);
    for (const char* p = psz; *p != 0; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\')
            fprintf(stream, "\\%c", c);
        else if (c < 0x20)
            fprintf(stream, "\\u%04x", c);
        else
            fputc(c, stream);
    }
    fputc('"', stream);
}

void PutJsonSid(FILE* stream, const SidFacts* pSid) {
    fputs("{\"sid\":", stream);
    PutJsonString(stream, SidText(pSid));
    fputs(",\"account\":", stream);
    PutJsonString(stream, pSid->pszAccount != nullptr && pSid->pszAccount[0] != 0 ? pSid->pszAccount : nullptr);
    fputs(",\"account_type\":", stream);
    PutJsonString(stream, pSid->pszType != nullptr && pSid->pszType[0] != 0 ? pSid->pszType : nullptr);
    fputc('}', stream);
}

void PutJsonAcl(FILE* stream, int bSacl, int32_t lCount) {
    if (lCount == -1) {
        fputs("null", stream);
        return;
    }
    static const char* const kTypes[3] = {"allowed", "denied", "audit"};
    fputc('[', stream);
    bool bFirst = true;
    for (uint32_t k = 0; k < g_facts.security.aces.dwCount; k++) {
        const AceFacts* pAce = &g_facts.security.aces.p[k];
        if (pAce->bSacl != bSacl) continue;
        if (!bFirst) fputc(',', stream);
        bFirst = false;
        fputs("{\"type\":", stream);
        if (pAce->bType <= 2)
            fprintf(stream, "\"%s\"", kTypes[pAce->bType]);
        else
            fprintf(stream, "%u", pAce->bType);
        fprintf(stream, ",\"flags\":%u,\"mask\":%u,\"rights\":\"", pAce->bFlags, pAce->dwMask);
        PutRights(stream, pAce);
        fputs("\",\"trustee\":", stream);
        PutJsonSid(stream, &pAce->sid);
        fputc('}', stream);
    }
    fputc(']', stream);
}

void WriteJson(FILE* stream, const Entry* pEntry, int md5) {
    static const char* const kNamespaces[4] = {"POSIX", "Win32", "DOS", "Win32 and DOS"};
    const FileNameFacts* pName = ChosenName();
    fprintf(stream, "{\"record\":" VX_U64 ",\"sequence\":%u,\"in_use\":%s,\"directory\":%s,\"path\":\"",
            pEntry->ullBaseRecord, pEntry->wSequence, pEntry->wLinkCount != 0 ? "true" : "false",
            pEntry->bDirectory ? "true" : "false");
    PutRootPrefix(stream, pEntry, false);
    if (g_facts.bRootPrefix) fputc('\\', stream);  // the "\" itself, escaped
    PutUnits(stream, g_facts.path.p, g_facts.path.dwCount, kJson);
    fputs("\",\"name\":", stream);
    if (pName != nullptr) {
        fputc('"', stream);
        PutUnits(stream, pName->wszName, UnitCount(pName->wszName), kJson);
        fputc('"', stream);
    } else {
        fputs("null", stream);
    }
    if (md5) {
        fputs(",\"md5\":\"", stream);
        if (!g_facts.bNoDigest)
            for (uint8_t b : g_facts.digest) fprintf(stream, "%02x", b);
        fputc('"', stream);
        if (g_facts.pszNoDigest != nullptr)
            fprintf(stream, ",\"md5_unavailable\":\"%s\"", g_facts.pszNoDigest);
    }
    fprintf(stream, ",\"links\":%u,\"size\":", pEntry->wLinkCount);
    const Attribute* pMain = MainStream(pEntry);
    if (pMain != nullptr)
        fprintf(stream, VX_U64, pMain->ullSize);
    else
        fputs("null", stream);

    fputs(",\"standard_information\":", stream);
    if (g_facts.bStandard) {
        const StandardFacts& si = g_facts.standard;
        fputs("{\"attributes\":\"", stream);
        PutAttributeCodes(stream, pEntry);
        fprintf(stream, "\",\"file_attributes\":%u,", si.dwFileAttributes);
        PutJsonTimes(stream, si.ullTimes);
        fprintf(stream, "\"max_versions\":%u,\"version\":%u,\"class_id\":%u", si.dwMaxVersions,
                si.dwVersion, si.dwClassId);
        if (si.bNtfs3Fields)
            fprintf(stream,
                    ",\"owner_id\":%u,\"security_id\":%u,\"quota_charged\":" VX_U64
                    ",\"usn\":" VX_U64,
                    si.dwOwnerId, si.dwSecurityId, si.ullQuotaCharged, si.ullUsn);
        fputc('}', stream);
    } else {
        fputs("null", stream);
    }

    fputs(",\"file_names\":[", stream);
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        const FileNameFacts& fn = g_facts.names.p[k];
        if (k != 0) fputc(',', stream);
        fputs("{\"namespace\":", stream);
        if (fn.bNamespace <= 3)
            fprintf(stream, "\"%s\"", kNamespaces[fn.bNamespace]);
        else
            fprintf(stream, "%u", fn.bNamespace);
        fprintf(stream, ",\"chosen\":%s,\"name\":", static_cast<int32_t>(k) == g_facts.lChosen ? "true" : "false");
        if (fn.bNameInside) {
            fputc('"', stream);
            PutUnits(stream, fn.wszName, fn.bLength, kJson);
            fputc('"', stream);
        } else {
            fputs("null", stream);
        }
        fprintf(stream, ",\"parent_record\":" VX_U64 ",\"parent_sequence\":%u,", fn.ullParentRecord,
                fn.wParentSequence);
        PutJsonTimes(stream, fn.ullTimes);
        fprintf(stream, "\"allocated_size\":" VX_U64 ",\"real_size\":" VX_U64 ",\"flags\":%u}",
                fn.ullAllocatedSize, fn.ullRealSize, fn.dwFlags);
    }
    fputs("],\"data_streams\":[", stream);
    const uint32_t dwData = AttrType(pEntry, ATTR_DATA);
    bool bFirst = true;
    for (uint16_t k = 0; k < pEntry->wAttrCount; k++) {
        const Attribute* pAttr = &pEntry->pAttrList[k];
        if (pAttr->dwType != dwData) continue;
        if (!bFirst) fputc(',', stream);
        bFirst = false;
        fputs("{\"name\":\"", stream);
        PutUnits(stream, pAttr->wszName, UnitCount(pAttr->wszName), kJson);
        fprintf(stream, "\",\"size\":" VX_U64 ",\"allocated_size\":", pAttr->ullSize);
        // A copy of the $MFT without $Boot does not tell the cluster size.
        if (pAttr->bResident || CopyClusterKnown(pEntry->pVolume))
            fprintf(stream, VX_U64, AllocatedSize(pEntry, pAttr));
        else
            fputs("null", stream);
        fprintf(stream, ",\"resident\":%s,\"flags\":%u", pAttr->bResident ? "true" : "false",
                pAttr->wFlags);
        // EFS: what the digest covers is the ciphertext.
        fputs((pAttr->wFlags & kAttrEncrypted) != 0 ? ",\"encrypted\":true}" : "}", stream);
    }
    fputs("],\"security\":", stream);
    const SecurityFacts* pSec = &g_facts.security;
    if (pSec->bPresent) {
        fputs("{\"owner\":", stream);
        if (pSec->bOwner)
            PutJsonSid(stream, &pSec->owner);
        else
            fputs("null", stream);
        fputs(",\"group\":", stream);
        if (pSec->bGroup)
            PutJsonSid(stream, &pSec->group);
        else
            fputs("null", stream);
        fputs(",\"dacl\":", stream);
        PutJsonAcl(stream, 0, pSec->lDace);
        fputs(",\"sacl\":", stream);
        PutJsonAcl(stream, 1, pSec->lSace);
        fputc('}', stream);
    } else {
        fputs("null", stream);
    }
    fputs(",\"security_id\":", stream);
    if (pEntry->bSecurityId)
        fprintf(stream, "%u", pEntry->dwSecurityId);
    else
        fputs("null", stream);
    fprintf(stream, ",\"si_creation_before_fn\":%s,\"si_zero_fractions\":%s}\n",
            Tristate(SiBeforeFn(), "null"), Tristate(SiZeroFractions(), "null"));
}

// ------------------------------------------------------ bodyfile

// A path as The Sleuth Kit writes it: "C:/dir/name", a directory without
// its trailing "/".
void PutBodyUnits(FILE* stream, const Entry* pEntry, int bRoot, const vx_wchar* pw,
                  uint32_t dwUnits) {
    if (dwUnits > 0 && pw[dwUnits - 1] == '\\') dwUnits--;
    if (bRoot) fprintf(stream, "%c:/", pEntry->pVolume->DriveLetter);
    PutUnits(stream, pw, dwUnits, kBody, true);
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
        for (uint32_t u = 0; u < dwEnd; u++) *PoolAdd(pDir) = g_facts.path.p[u];
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
    for (uint32_t u = 0; u < pName->bLength; u++) *PoolAdd(pDir) = pName->wszName[u];
    PutBodyUnits(stream, pEntry, bRoot, pDir->p, pDir->dwCount);
    return status;
}

void PutBodyTimes(FILE* stream, const uint64_t* pullTimes) {
    // atime, mtime, ctime (the record's change), crtime.
    static const int kOrder[4] = {3, 1, 2, 0};
    for (int k : kOrder) {
        fputc('|', stream);
        PutUnixTime(stream, pullTimes[k]);
    }
    fputc('\n', stream);
}

void PutBodyMd5(FILE* stream, int md5) {
    if (md5) {
        if (!g_facts.bNoDigest)
            for (uint8_t b : g_facts.digest) fprintf(stream, "%02x", b);
    } else
        fputc('0', stream);
    fputc('|', stream);
}

int WriteBody(FILE* stream, const Entry* pEntry, int md5) {
    int status = VX_OK;
    const char* pszMode = pEntry->bDirectory ? "d/drwxrwxrwx" : "r/rrwxrwxrwx";
    const Attribute* pMain = MainStream(pEntry);
    const uint64_t ullSize = pMain != nullptr ? pMain->ullSize : 0;
    const uint32_t dwUid = g_facts.bStandard ? g_facts.standard.dwOwnerId : 0;
    PutBodyMd5(stream, md5);
    PutBodyPath(stream, pEntry);
    fprintf(stream, "|" VX_U64 "|%s|%u|0|" VX_U64, pEntry->ullBaseRecord, pszMode, dwUid, ullSize);
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
        fprintf(stream, "|" VX_U64 "|%s|%u|0|" VX_U64, pEntry->ullBaseRecord, pszMode, dwUid, ullSize);
        PutBodyTimes(stream, pullTimes);
    }
    for (uint32_t k = 0; k < g_facts.names.dwCount; k++) {
        const FileNameFacts& fn = g_facts.names.p[k];
        fputs("0|", stream);
        const int s = PutLinkPath(stream, pEntry, &fn);
        status = Raise(status, s);
        fprintf(stream, " ($FILE_NAME)|" VX_U64 "|%s|%u|0|" VX_U64, pEntry->ullBaseRecord, pszMode,
                dwUid, fn.ullRealSize);
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
    g_pScratch = tmpfile();
    if (g_pScratch == nullptr) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: no scratch stream", VX_WHERE);
        return VX_FATAL_STATUS;
    }
    g_facts.bLookups = format == kFormatJsonl;
    g_pfnWriter = wc_output_function;
    wc_output_function = CaptureWriter;
    if (format == kFormatCsv) {
        fputs(kCsvHead, stream);
        if (md5) fputs("md5,", stream);
        fputs(kCsvTail, stream);
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
    if (g_pfnWriter != nullptr) wc_output_function = g_pfnWriter;
    PoolFree(&g_facts.names);
    PoolFree(&g_facts.security.aces);
    PoolFree(&g_facts.security.text);
    if (g_pScratch != nullptr) fclose(g_pScratch);
    g_pScratch = nullptr;
}
