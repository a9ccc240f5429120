// The BitLocker layer: a volume whose header says it is encrypted is
// unlocked with the keys given and read through libbde from then on.  No
// secret is ever written: messages name the kind of key, never its text.
#include "run/bitlocker.h"

#include <cstdio>
#include <cstring>

#include "base/vx_log.h"
#include "diskio/diskio.h"
#include "diskio/partition.h"
#include "platform/platform.h"

#define VX_MODULE "volscan"

namespace {

// A password or a recovery password read from the terminal: ample room,
// and a longer line is refused rather than cut.
constexpr size_t kSecretBytes = 1024;
// A .BEK file is a few hundred bytes.
constexpr size_t kStartupKeyBytes = 64 * 1024;
constexpr size_t kRecoveryDigits = 48;

char* CopySecret(const char* psz) {
    const size_t cb = strlen(psz) + 1;
    auto* p = static_cast<char*>(
        VX_CALLOC(cb, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC secret", VX_WHERE));
    memcpy(p, psz, cb);
    return p;
}

void FreeSecret(char** ppsz) {
    if (*ppsz == nullptr) return;
    vx_plat_wipe(*ppsz, strlen(*ppsz));
    VX_FREE(*ppsz, VX_FATAL_SYS, "%s %s l. %d: VX_FREE secret", VX_WHERE);
    *ppsz = nullptr;
}

const char* SourceName(const Volume* pVol, char* pszDrive, size_t cb) {
    if (pVol->pszSourcePath != nullptr) return pVol->pszSourcePath;
    snprintf(pszDrive, cb, "\\\\.\\%c:", pVol->DriveLetter);
    return pszDrive;
}

int ReadDevice(void* pContext, uint64_t ullOffset, void* p, uint32_t cb) {
    auto* pDev = static_cast<VxDevice*>(pContext);
    uint32_t dwDone = 0;
    while (dwDone < cb) {
        uint32_t dwGot = 0;
        if (!vx_plat_read_at(pDev, ullOffset + dwDone, static_cast<uint8_t*>(p) + dwDone,
                             cb - dwDone, &dwGot) ||
            dwGot == 0)
            return 0;
        dwDone += dwGot;
    }
    return 1;
}

// The recovery password in the form the library takes, 8 groups of 6
// digits joined by dashes, from 48 digits with or without them; each group
// is a multiple of 11 below 11 × 65536.  0 when it is not one.
int NormaliseRecoveryPassword(const char* psz, char* pszOut) {
    size_t digits = 0;
    uint32_t dwGroup = 0;
    const bool bDashed = strlen(psz) == kRecoveryDigits + 7;
    for (size_t k = 0; psz[k] != 0; k++) {
        if (bDashed && k % 7 == 6) {
            if (psz[k] != '-') return 0;
            continue;
        }
        if (psz[k] < '0' || psz[k] > '9' || digits == kRecoveryDigits) return 0;
        dwGroup = dwGroup * 10 + static_cast<uint32_t>(psz[k] - '0');
        pszOut[digits / 6 * 7 + digits % 6] = psz[k];
        digits++;
        if (digits % 6 == 0) {
            if (dwGroup % 11 != 0 || dwGroup / 11 > 0xFFFF) return 0;
            dwGroup = 0;
            if (digits < kRecoveryDigits) pszOut[digits / 6 * 7 - 1] = '-';
        }
    }
    pszOut[kRecoveryDigits + 7] = 0;
    return digits == kRecoveryDigits;
}

// "the password", "the password and the recovery password", ...
void KeysGiven(const BitLockerRequest* pReq, char* psz, size_t cb, int* pnKeys) {
    const char* names[3];
    int n = 0;
    if (pReq->pszPassword != nullptr) names[n++] = "the password";
    if (pReq->pszRecoveryPassword != nullptr) names[n++] = "the recovery password";
    if (pReq->pszStartupKey != nullptr) names[n++] = "the startup key";
    psz[0] = 0;
    for (int k = 0; k < n; k++)
        snprintf(psz + strlen(psz), cb - strlen(psz), "%s%s", k == 0 ? "" : " and ", names[k]);
    *pnKeys = n;
}

// "a password, a recovery password and a TPM"
void ProtectorText(uint32_t dwProtectors, char* psz, size_t cb) {
    static const struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {{VX_BDE_PASSWORD, "a password"},
                  {VX_BDE_RECOVERY_PASSWORD, "a recovery password"},
                  {VX_BDE_STARTUP_KEY, "a startup key"},
                  {VX_BDE_TPM, "a TPM"},
                  {VX_BDE_CLEAR_KEY, "a clear key"},
                  {VX_BDE_OTHER_PROTECTOR, "a protector of another kind"}};
    int n = 0, total = 0;
    for (const auto& p : kNames) total += (dwProtectors & p.bit) != 0;
    psz[0] = 0;
    for (const auto& p : kNames) {
        if ((dwProtectors & p.bit) == 0) continue;
        n++;
        snprintf(psz + strlen(psz), cb - strlen(psz), "%s%s",
                 n == 1 ? "" : n == total ? " and " : ", ", p.name);
    }
    if (total == 0) snprintf(psz, cb, "no protector that reads");
}

void Identity(const VxBitLockerInfo& info, char* psz, size_t cb) {
    const uint8_t* p = info.identifier;
    if (!info.bIdentifier) {
        snprintf(psz, cb, "%s", "");
        return;
    }
    snprintf(psz, cb,
             " (identifier %02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x)",
             p[3], p[2], p[1], p[0], p[5], p[4], p[7], p[6], p[8], p[9], p[10], p[11], p[12], p[13],
             p[14], p[15]);
}

// The secrets of "-" read now, the recovery password checked and put in
// its form, the .BEK file read: VX_OK, or VX_FATAL_STATUS after a
// diagnostic.
int ReadKeys(const char* pszName, BitLockerRequest* pReq, uint8_t* pStartupKey,
             size_t* pcbStartupKey) {
    struct {
        char** ppsz;
        const char* pszOption;
        const char* pszPrompt;
    } secrets[] = {{&pReq->pszPassword, "--password", "BitLocker password: "},
                   {&pReq->pszRecoveryPassword, "--recovery-password", "BitLocker recovery password: "}};
    for (auto& s : secrets) {
        if (*s.ppsz == nullptr || strcmp(*s.ppsz, "-") != 0) continue;
        char* pszRead = static_cast<char*>(
            VX_CALLOC(kSecretBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC secret", VX_WHERE));
        if (!vx_plat_read_secret(s.pszPrompt, pszRead, kSecretBytes)) {
            const uint32_t dwError = vx_plat_last_error();
            VX_FREE(pszRead, VX_FATAL_SYS, "%s %s l. %d: VX_FREE secret", VX_WHERE);
            if (dwError != 0)
                log_message(VX_ERROR_SYS, "%s %s() l.%d: %s=-: the secret cannot be read", VX_WHERE,
                            s.pszOption);
            else
                log_message(VX_ERROR, "%s %s() l.%d: %s=-: the line read is longer than %u bytes",
                            VX_WHERE, s.pszOption, static_cast<unsigned>(kSecretBytes - 1));
            return VX_FATAL_STATUS;
        }
        FreeSecret(s.ppsz);
        *s.ppsz = pszRead;
    }
    if (pReq->pszRecoveryPassword != nullptr) {
        char szForm[kRecoveryDigits + 8];
        const int ok = NormaliseRecoveryPassword(pReq->pszRecoveryPassword, szForm);
        FreeSecret(&pReq->pszRecoveryPassword);
        if (ok) pReq->pszRecoveryPassword = CopySecret(szForm);
        vx_plat_wipe(szForm, sizeof szForm);
        if (!ok) {
            log_message(VX_ERROR,
                        "%s %s() l.%d: %s: the recovery password given is not one: 48 digits, in "
                        "8 groups of 6 with or without dashes, each group a multiple of 11",
                        VX_WHERE, pszName);
            return VX_FATAL_STATUS;
        }
    }
    if (pReq->pszStartupKey != nullptr &&
        !vx_plat_read_secret_file(pReq->pszStartupKey, pStartupKey, kStartupKeyBytes,
                                  pcbStartupKey)) {
        if (vx_plat_last_error() != 0)
            log_message(VX_ERROR_SYS, "%s %s() l.%d: the startup key %s cannot be read", VX_WHERE,
                        pReq->pszStartupKey);
        else
            log_message(VX_ERROR, "%s %s() l.%d: the startup key %s is larger than a .BEK file",
                        VX_WHERE, pReq->pszStartupKey);
        return VX_FATAL_STATUS;
    }
    return VX_OK;
}

// The unlocked volume is NTFS, or the usual message naming BitLocker.
int CheckUnlocked(const char* pszName, VxDevice* pDev) {
    uint8_t boot[512];
    if (!ReadDevice(pDev, 0, boot, sizeof boot)) {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: the unlocked BitLocker volume %s cannot be read",
                    VX_WHERE, pszName);
        return VX_FAILED;
    }
    if (memcmp(boot + 3, "NTFS    ", 8) == 0) return VX_OK;
    log_message(VX_ERROR,
                "%s %s() l.%d: drive %s is not NTFS: the BitLocker volume unlocked holds "
                "another file system%s",
                VX_WHERE, pszName,
                memcmp(boot + 0x52, "FAT32   ", 8) == 0 || memcmp(boot + 0x36, "FAT", 3) == 0
                    ? " (FAT: BitLocker To Go)"
                    : "");
    return VX_FAILED;
}

}  // namespace

void TakeBitLockerOption(BitLockerRequest* pReq, int option, char* pszValue) {
    if (option == BDE_STARTUP_KEY) {
        pReq->pszStartupKey = pszValue;
        return;
    }
    char** ppsz = option == BDE_PASSWORD ? &pReq->pszPassword : &pReq->pszRecoveryPassword;
    FreeSecret(ppsz);
    *ppsz = CopySecret(pszValue);
    if (strcmp(pszValue, "-") != 0) vx_plat_wipe(pszValue, strlen(pszValue));
}

void EndBitLockerRequest(BitLockerRequest* pReq) {
    FreeSecret(&pReq->pszPassword);
    FreeSecret(&pReq->pszRecoveryPassword);
}

int UnlockSource(Volume* pVol, BitLockerRequest* pReq, VxDevice** ppDev) {
    char szDrive[16];
    const char* pszName = SourceName(pVol, szDrive, sizeof szDrive);
    const bool bKeys = pReq->pszPassword != nullptr || pReq->pszRecoveryPassword != nullptr ||
                       pReq->pszStartupKey != nullptr;
    VxDevice* pDev = *ppDev;
    const bool bOpened = pDev == nullptr;
    // A raw source that cannot be opened is named by the open of the volume.
    if (bOpened) pDev = vx_plat_open_device(pszName, pVol->ullSourceOffset);
    if (pDev == nullptr) return VX_OK;
    uint8_t header[512];
    if (!ReadDevice(pDev, 0, header, sizeof header) || !IsBitLockerHeader(header, sizeof header)) {
        if (bOpened) vx_plat_close(pDev);
        if (bKeys)
            log_message(VX_WARNING, "%s %s() l.%d: %s is not BitLocker-encrypted: the key given is "
                        "not used", VX_WHERE, pszName);
        return VX_OK;
    }
    uint64_t ullSize = 0;
    // A source of unknown size (a pipe) is read as far as it goes.
    if (!vx_plat_device_size(pDev, &ullSize) || ullSize > static_cast<uint64_t>(INT64_MAX))
        ullSize = static_cast<uint64_t>(INT64_MAX);
    auto* pStartupKey = static_cast<uint8_t*>(VX_CALLOC(
        kStartupKeyBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pStartupKey", VX_WHERE));
    size_t cbStartupKey = 0;
    int status = VX_OK;
    VxDevice* pUnlocked = nullptr;
    if (!vx_plat_bitlocker_supported()) {
        log_message(VX_ERROR, "%s %s() l.%d: %s is BitLocker-encrypted; this build has no "
                    "BitLocker support", VX_WHERE, pszName);
        status = VX_FAILED;
    } else if (bKeys) {
        status = ReadKeys(pszName, pReq, pStartupKey, &cbStartupKey);
    }
    VxBitLockerInfo info{};
    if (status == VX_OK) {
        const VxBitLockerKeys keys{pReq->pszPassword, pReq->pszRecoveryPassword,
                                   pReq->pszStartupKey != nullptr ? pStartupKey : nullptr,
                                   cbStartupKey};
        pUnlocked = vx_plat_open_bitlocker(pDev, ullSize, &keys, &info);
    }
    vx_plat_wipe(pStartupKey, kStartupKeyBytes);
    VX_FREE(pStartupKey, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pStartupKey", VX_WHERE);
    char szId[64], szProtectors[160], szKeys[96];
    int nKeys = 0;
    KeysGiven(pReq, szKeys, sizeof szKeys, &nKeys);
    EndBitLockerRequest(pReq);
    Identity(info, szId, sizeof szId);
    ProtectorText(info.dwProtectors, szProtectors, sizeof szProtectors);
    if (status == VX_OK && info.result == VX_BDE_FAILED) {
        log_message(VX_ERROR, "%s %s() l.%d: the BitLocker volume %s cannot be opened: %s",
                    VX_WHERE, pszName, vx_plat_image_error());
        status = VX_FAILED;
    } else if (status == VX_OK && info.result == VX_BDE_LOCKED && !bKeys) {
        const uint32_t p = info.dwProtectors;
        char szOptions[160] = "";
        if (p & VX_BDE_PASSWORD) strcat(szOptions, " --password=TEXT");
        if (p & VX_BDE_RECOVERY_PASSWORD) strcat(szOptions, " --recovery-password=48-DIGITS");
        if (p & VX_BDE_STARTUP_KEY) strcat(szOptions, " --startup-key=FILE.BEK");
        log_message(VX_ERROR,
                    "%s %s() l.%d: %s is a BitLocker-encrypted volume%s protected by %s: %s%s%s",
                    VX_WHERE, pszName, szId, szProtectors,
                    szOptions[0] != 0 ? "unlock it with one of" : "none of them can be given here",
                    szOptions, szOptions[0] != 0 ? " (the value - reads it from the terminal)" : "");
        status = VX_FATAL_STATUS;
    } else if (status == VX_OK && info.result == VX_BDE_LOCKED) {
        const char* pszWhy = vx_plat_image_error();
        log_message(VX_ERROR, "%s %s() l.%d: %s %s not unlock the BitLocker volume %s%s, protected "
                    "by %s%s%s",
                    VX_WHERE, szKeys, nKeys > 1 ? "do" : "does", pszName, szId, szProtectors,
                    pszWhy[0] != 0 ? ": " : "", pszWhy);
        status = VX_FATAL_STATUS;
    }
    if (status == VX_OK) status = CheckUnlocked(pszName, pUnlocked);
    if (status != VX_OK) {
        // The unlocked device closes the source's with itself.
        vx_plat_close(pUnlocked != nullptr ? pUnlocked : pDev);
        *ppDev = nullptr;
        return status;
    }
    *ppDev = pUnlocked;
    return VX_OK;
}
