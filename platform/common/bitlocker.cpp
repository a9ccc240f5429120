// BitLocker volumes unlocked through libbde.  The library reads the
// encrypted volume through a libbfio handle whose reads are ours (as
// libvshadow does), so the volume may lie in any container or partition;
// the unlocked volume is then an image device like the containers.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/common/device_impl.h"
#include "platform/platform.h"

#if VOLSCAN_HAVE_BDE
#include <libbde.h>

#include "platform/common/bfio_volume.h"

namespace {

struct BdeVolume {
    VolumeIo io;
    libbfio_handle_t* pBfio;
    libbde_volume_t* pVolume;
    bool bOwnsDevice;  // once the unlocked device is made
};

// The library's reason: the first line of its trace says what was wrong
// with the volume, the lines after it only which calls gave up.
void KeepError(libbde_error_t** ppError, const char* pszWhat) {
    char szText[400];
    szText[0] = 0;
    if (*ppError != nullptr && libbde_error_backtrace_sprint(*ppError, szText, sizeof szText) < 0)
        szText[0] = 0;
    if (szText[0] == 0 && *ppError != nullptr &&
        libbde_error_sprint(*ppError, szText, sizeof szText) < 0)
        szText[0] = 0;
    szText[strcspn(szText, "\r\n")] = 0;
    libbde_error_free(ppError);
    char szMessage[480];
    snprintf(szMessage, sizeof szMessage, "%s%s%s", pszWhat,
             pszWhat[0] != 0 && szText[0] != 0 ? ": " : "", szText);
    vx_image_set_error(szMessage);
}

// Closes what is open; the volume's device only with bDevice.
void CloseBde(BdeVolume* pBde, bool bDevice) {
    if (pBde->pVolume != nullptr) {
        libbde_volume_close(pBde->pVolume, nullptr);
        libbde_volume_free(&pBde->pVolume, nullptr);
    }
    if (pBde->pBfio != nullptr) libbfio_handle_free(&pBde->pBfio, nullptr);
    if (bDevice && pBde->io.pDev != nullptr) vx_plat_close(pBde->io.pDev);
    delete pBde;
}

int ReadUnlocked(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                 uint32_t* pdwRead) {
    auto* pBde = static_cast<BdeVolume*>(pContext);
    libbde_error_t* pError = nullptr;
    const ssize_t got = libbde_volume_read_buffer_at_offset(
        pBde->pVolume, pBuffer, dwLength, static_cast<off64_t>(ullOffset), &pError);
    if (got < 0) {
        KeepError(&pError, "");
        *pdwRead = 0;
        vx_plat_set_last_error(vx_plat_error_io());
        return 0;
    }
    *pdwRead = static_cast<uint32_t>(got);
    return 1;
}

void CloseUnlocked(void* pContext) {
    auto* pBde = static_cast<BdeVolume*>(pContext);
    CloseBde(pBde, pBde->bOwnsDevice);
}

uint32_t ProtectorBit(uint16_t wType) {
    switch (wType) {
        case LIBBDE_KEY_PROTECTION_TYPE_PASSWORD: return VX_BDE_PASSWORD;
        case LIBBDE_KEY_PROTECTION_TYPE_RECOVERY_PASSWORD: return VX_BDE_RECOVERY_PASSWORD;
        case LIBBDE_KEY_PROTECTION_TYPE_STARTUP_KEY: return VX_BDE_STARTUP_KEY;
        case LIBBDE_KEY_PROTECTION_TYPE_CLEAR_KEY: return VX_BDE_CLEAR_KEY;
        default: return (wType & LIBBDE_KEY_PROTECTION_TYPE_TPM) != 0 ? VX_BDE_TPM
                                                                      : VX_BDE_OTHER_PROTECTOR;
    }
}

// The identifier and protectors of the open volume, as far as they read.
void Describe(libbde_volume_t* pVolume, VxBitLockerInfo* pInfo) {
    pInfo->bIdentifier =
        libbde_volume_get_volume_identifier(pVolume, pInfo->identifier, 16, nullptr) == 1;
    int nProtectors = 0;
    if (libbde_volume_get_number_of_key_protectors(pVolume, &nProtectors, nullptr) != 1) return;
    // The metadata holds a handful; a damaged one is not walked further.
    for (int k = 0; k < nProtectors && k < 64; k++) {
        libbde_key_protector_t* pProtector = nullptr;
        uint16_t wType = 0;
        if (libbde_volume_get_key_protector(pVolume, k, &pProtector, nullptr) != 1) continue;
        if (libbde_key_protector_get_type(pProtector, &wType, nullptr) == 1)
            pInfo->dwProtectors |= ProtectorBit(wType);
        libbde_key_protector_free(&pProtector, nullptr);
    }
}

// The keys handed to the library: 0 when it refused one (the reason kept).
int GiveKeys(BdeVolume* pBde, const VxBitLockerKeys* pKeys) {
    libbde_error_t* pError = nullptr;
    if (pKeys->pszPassword != nullptr &&
        libbde_volume_set_utf8_password(pBde->pVolume,
                                        reinterpret_cast<const uint8_t*>(pKeys->pszPassword),
                                        strlen(pKeys->pszPassword), &pError) != 1) {
        KeepError(&pError, "the password cannot be used");
        return 0;
    }
    if (pKeys->pszRecoveryPassword != nullptr &&
        libbde_volume_set_utf8_recovery_password(
            pBde->pVolume, reinterpret_cast<const uint8_t*>(pKeys->pszRecoveryPassword),
            strlen(pKeys->pszRecoveryPassword), &pError) != 1) {
        KeepError(&pError, "the recovery password cannot be used");
        return 0;
    }
    if (pKeys->pStartupKey == nullptr) return 1;
    // The .BEK file's bytes are read by us, and handed over as a volume.
    VxDevice* pKeyDev = vx_plat_open_memory(pKeys->pStartupKey, pKeys->cbStartupKey, UINT64_MAX);
    VolumeIo keyIo{pKeyDev, pKeys->cbStartupKey, 0, nullptr, 0};
    libbfio_handle_t* pKeyBfio = nullptr;
    int ok = pKeyDev != nullptr && OpenVolumeIo(&keyIo, &pKeyBfio);
    if (ok && libbde_volume_read_startup_key_file_io_handle(pBde->pVolume, pKeyBfio, &pError) != 1) {
        KeepError(&pError, "the startup key cannot be read");
        ok = 0;
    } else if (!ok) {
        vx_image_set_error("the startup key cannot be read: not enough memory");
    }
    if (pKeyBfio != nullptr) libbfio_handle_free(&pKeyBfio, nullptr);
    if (pKeyDev != nullptr) vx_plat_close(pKeyDev);
    return ok;
}

}  // namespace

int vx_plat_bitlocker_supported() { return 1; }

VxDevice* vx_plat_open_bitlocker(VxDevice* pVolumeDev, uint64_t ullVolumeSize,
                                 const VxBitLockerKeys* pKeys, VxBitLockerInfo* pInfo) {
    *pInfo = VxBitLockerInfo{};
    pInfo->result = VX_BDE_FAILED;
    vx_image_set_error("");
    auto* pBde = new (std::nothrow) BdeVolume{};
    if (pBde == nullptr) {
        vx_image_set_error("not enough memory");
        return nullptr;
    }
    pBde->io = VolumeIo{pVolumeDev, ullVolumeSize, 0, nullptr, 0};
    libbde_error_t* pError = nullptr;
    if (!OpenVolumeIo(&pBde->io, &pBde->pBfio)) {
        vx_image_set_error("libbfio: a handle cannot be made");
        CloseBde(pBde, false);
        return nullptr;
    }
    if (libbde_volume_initialize(&pBde->pVolume, &pError) != 1) {
        KeepError(&pError, "");
        CloseBde(pBde, false);
        return nullptr;
    }
    const bool bKeys = pKeys->pszPassword != nullptr || pKeys->pszRecoveryPassword != nullptr ||
                       pKeys->pStartupKey != nullptr;
    int opened = -1;
    if (!GiveKeys(pBde, pKeys)) {
        pInfo->result = VX_BDE_LOCKED;
    } else {
        opened = libbde_volume_open_file_io_handle(pBde->pVolume, pBde->pBfio, LIBBDE_OPEN_READ,
                                                   &pError);
        if (opened < 0) KeepError(&pError, "");
        // 0: no key given unlocks the volume.
        if (opened == 0) pInfo->result = VX_BDE_LOCKED;
    }
    if (opened != 1 && bKeys) {
        // The library gives up on a key that fits no protector (a startup
        // key of another volume) as on damaged metadata: opened again
        // without the keys, the volume tells which it was, and what it is.
        char szWhy[480];
        snprintf(szWhy, sizeof szWhy, "%s", vx_plat_image_error());
        libbde_volume_free(&pBde->pVolume, nullptr);
        // A volume whose key is kept in the clear (protection suspended)
        // opens so, whatever key was given.
        CloseBde(pBde, false);
        const VxBitLockerKeys none{};
        VxDevice* pDev = vx_plat_open_bitlocker(pVolumeDev, ullVolumeSize, &none, pInfo);
        if (pInfo->result == VX_BDE_LOCKED) vx_image_set_error(szWhy);
        return pDev;
    }
    if (opened == 0) Describe(pBde->pVolume, pInfo);
    if (opened != 1) {
        CloseBde(pBde, false);
        return nullptr;
    }
    Describe(pBde->pVolume, pInfo);
    const int bLocked = libbde_volume_is_locked(pBde->pVolume, &pError);
    size64_t size = 0;
    if (bLocked == 1) {
        pInfo->result = VX_BDE_LOCKED;
        CloseBde(pBde, false);
        return nullptr;
    }
    if (bLocked != 0 || libbde_volume_get_size(pBde->pVolume, &size, &pError) != 1) {
        KeepError(&pError, "");
        CloseBde(pBde, false);
        return nullptr;
    }
    // Without memory for the device the volume's stays the caller's.
    VxDevice* pDev = vx_image_device(VxImageBackend{pBde, ReadUnlocked, CloseUnlocked}, size, 0);
    if (pDev == nullptr) return nullptr;
    pBde->bOwnsDevice = true;
    pInfo->result = VX_BDE_UNLOCKED;
    return pDev;
}

#else  // no libbde in this build

int vx_plat_bitlocker_supported() { return 0; }

VxDevice* vx_plat_open_bitlocker(VxDevice*, uint64_t, const VxBitLockerKeys*,
                                 VxBitLockerInfo* pInfo) {
    *pInfo = VxBitLockerInfo{};
    pInfo->result = VX_BDE_FAILED;
    vx_image_set_error("this build has no BitLocker support");
    return nullptr;
}

#endif
