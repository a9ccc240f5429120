// BitLocker-encrypted volumes: the keys of the command line and the layer
// that unlocks the volume between the source and the NTFS reader.
#pragma once

#include <cstdint>

struct Volume;
struct VxDevice;

// --password, --recovery-password and --startup-key as given; "-" reads the
// secret when it is needed.  The secrets are copies, wiped at the end.
struct BitLockerRequest {
    char* pszPassword;
    char* pszRecoveryPassword;
    const char* pszStartupKey;  // the .BEK file, or "-"
};

enum BitLockerOption { BDE_PASSWORD = 1, BDE_RECOVERY_PASSWORD, BDE_STARTUP_KEY };

// Keeps an option's value; a secret's text in the argument list is wiped,
// so that the process list no longer shows it.
void TakeBitLockerOption(BitLockerRequest* pReq, int option, char* pszValue);

// When the volume at the source's offset (*ppDev, or the raw source opened
// again) is BitLocker-encrypted, unlocks it: *ppDev becomes the unlocked
// volume.  VX_OK too for a volume that is not encrypted (*ppDev as it was);
// VX_FATAL_STATUS after the diagnostic when no key or a wrong key is given;
// VX_FAILED when the library cannot open the volume or it holds no NTFS.
int UnlockSource(Volume* pVol, BitLockerRequest* pReq, VxDevice** ppDev);

// Wipes and frees the secrets.
void EndBitLockerRequest(BitLockerRequest* pReq);
