// Volume Shadow Copy stores read through libvshadow.  The library reads the
// volume through a libbfio handle whose reads are this file's, so the
// volume may lie in any container or partition the source holds; each store
// is then an image device like the containers.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/common/device_impl.h"
#include "platform/platform.h"

#if VOLSCAN_HAVE_VSHADOW
#include <libvshadow.h>

#include "platform/common/bfio_volume.h"
#endif

#if VOLSCAN_HAVE_VSHADOW

namespace {

void KeepError(libvshadow_error_t** ppError, const char* pszWhat) {
    // The first line of the library's trace says what was wrong with the
    // volume; the lines after it only which calls gave up.
    char szText[400];
    szText[0] = 0;
    if (*ppError != nullptr &&
        libvshadow_error_backtrace_sprint(*ppError, szText, sizeof szText) < 0)
        szText[0] = 0;
    if (szText[0] == 0 && *ppError != nullptr &&
        libvshadow_error_sprint(*ppError, szText, sizeof szText) < 0)
        szText[0] = 0;
    szText[strcspn(szText, "\r\n")] = 0;
    libvshadow_error_free(ppError);
    char szMessage[480];
    snprintf(szMessage, sizeof szMessage, "%s%s%s", pszWhat,
             pszWhat[0] != 0 && szText[0] != 0 ? ": " : "", szText);
    vx_image_set_error(szMessage);
}

}  // namespace

struct VxSnapshotSet {
    VolumeIo io;
    libbfio_handle_t* pBfio;
    libvshadow_volume_t* pVolume;  // none: the volume holds no shadow copies
    uint32_t dwStores;
    uint64_t ullReadFailures;      // of the store devices since the last opened
    char szFirstFailure[480];
};

namespace {

struct StoreReader {
    libvshadow_store_t* pStore;
    VxSnapshotSet* pSet;
};

// The report says which reads failed as it says it of a disk; the set
// keeps the library's reason for the first, to name the snapshot with it.
int ReadStore(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
              uint32_t* pdwRead) {
    auto* pReader = static_cast<StoreReader*>(pContext);
    libvshadow_error_t* pError = nullptr;
    const ssize_t got = libvshadow_store_read_buffer_at_offset(
        pReader->pStore, pBuffer, dwLength, static_cast<off64_t>(ullOffset), &pError);
    if (got < 0) {
        KeepError(&pError, "");
        VxSnapshotSet* pSet = pReader->pSet;
        if (pSet->ullReadFailures++ == 0)
            snprintf(pSet->szFirstFailure, sizeof pSet->szFirstFailure, "%s",
                     vx_plat_image_error());
        *pdwRead = 0;
        vx_plat_set_last_error(vx_plat_error_io());
        return 0;
    }
    *pdwRead = static_cast<uint32_t>(got);
    return 1;
}

void CloseStore(void* pContext) {
    auto* pReader = static_cast<StoreReader*>(pContext);
    libvshadow_store_free(&pReader->pStore, nullptr);
    delete pReader;
}

int ReadLive(void* pContext, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
             uint32_t* pdwRead) {
    const ssize_t got =
        ReadVolumeAt(static_cast<VolumeIo*>(pContext), ullOffset, static_cast<uint8_t*>(pBuffer),
                     dwLength);
    *pdwRead = got > 0 ? static_cast<uint32_t>(got) : 0;
    return got >= 0;
}

// The set's own device stays open; closing the view closes nothing.
void CloseLive(void*) {}

}  // namespace

int vx_plat_snapshots_supported() { return 1; }

namespace {

// A failed open leaves the device to the caller, who may try again.
VxSnapshotSet* FailOpen(VxSnapshotSet* pSet) {
    pSet->io.pDev = nullptr;
    vx_plat_close_snapshots(pSet);
    return nullptr;
}

}  // namespace

VxSnapshotSet* vx_plat_open_snapshots(VxDevice* pVolumeDev, uint64_t ullVolumeSize,
                                      const VxByteRange* pZeros, uint32_t dwZeros) {
    vx_image_set_error("");
    auto* pSet = new (std::nothrow) VxSnapshotSet{};
    auto* pZeroCopy = dwZeros != 0 ? new (std::nothrow) VxByteRange[dwZeros] : nullptr;
    if (pSet == nullptr || (dwZeros != 0 && pZeroCopy == nullptr)) {
        delete pSet;
        delete[] pZeroCopy;
        vx_image_set_error("not enough memory");
        return nullptr;
    }
    if (dwZeros != 0) memcpy(pZeroCopy, pZeros, dwZeros * sizeof(VxByteRange));
    pSet->io = VolumeIo{pVolumeDev, ullVolumeSize, 0, pZeroCopy, dwZeros};
    if (!OpenVolumeIo(&pSet->io, &pSet->pBfio)) {
        vx_image_set_error("libbfio: a handle cannot be made");
        return FailOpen(pSet);
    }
    libvshadow_error_t* pError = nullptr;
    const int bSigned = libvshadow_check_volume_signature_file_io_handle(pSet->pBfio, &pError);
    if (bSigned < 0) {
        KeepError(&pError, "the volume cannot be read");
        return FailOpen(pSet);
    }
    if (bSigned == 0) return pSet;
    int nStores = 0;
    if (libvshadow_volume_initialize(&pSet->pVolume, &pError) != 1 ||
        libvshadow_volume_open_file_io_handle(pSet->pVolume, pSet->pBfio, LIBVSHADOW_OPEN_READ,
                                              &pError) != 1 ||
        libvshadow_volume_get_number_of_stores(pSet->pVolume, &nStores, &pError) != 1 ||
        nStores < 0) {
        KeepError(&pError, "the shadow copy catalog cannot be read");
        return FailOpen(pSet);
    }
    pSet->dwStores = static_cast<uint32_t>(nStores);
    return pSet;
}

uint32_t vx_plat_snapshot_count(const VxSnapshotSet* pSet) { return pSet->dwStores; }

namespace {

libvshadow_store_t* OpenStore(VxSnapshotSet* pSet, uint32_t dwIndex) {
    libvshadow_store_t* pStore = nullptr;
    libvshadow_error_t* pError = nullptr;
    if (dwIndex >= pSet->dwStores ||
        libvshadow_volume_get_store(pSet->pVolume, static_cast<int>(dwIndex), &pStore,
                                    &pError) != 1) {
        KeepError(&pError, "the store cannot be opened");
        return nullptr;
    }
    return pStore;
}

}  // namespace

int vx_plat_snapshot_info(VxSnapshotSet* pSet, uint32_t dwIndex, VxSnapshotInfo* pInfo) {
    *pInfo = VxSnapshotInfo{};
    libvshadow_store_t* pStore = OpenStore(pSet, dwIndex);
    if (pStore == nullptr) return 0;
    libvshadow_error_t* pError = nullptr;
    size64_t size = 0;
    const int ok =
        libvshadow_store_get_creation_time(pStore, &pInfo->ullCreationTime, &pError) == 1 &&
        libvshadow_store_get_identifier(pStore, pInfo->identifier, 16, &pError) == 1 &&
        libvshadow_store_get_copy_identifier(pStore, pInfo->copyIdentifier, 16, &pError) == 1 &&
        libvshadow_store_get_copy_set_identifier(pStore, pInfo->setIdentifier, 16, &pError) ==
            1 &&
        libvshadow_store_get_volume_size(pStore, &size, &pError) == 1 &&
        libvshadow_store_get_attribute_flags(pStore, &pInfo->dwAttributeFlags, &pError) == 1;
    pInfo->ullVolumeSize = size;
    if (!ok) KeepError(&pError, "the store's catalog entry cannot be read");
    libvshadow_store_free(&pStore, nullptr);
    return ok;
}

VxDevice* vx_plat_open_snapshot(VxSnapshotSet* pSet, uint32_t dwIndex) {
    libvshadow_store_t* pStore = OpenStore(pSet, dwIndex);
    if (pStore == nullptr) return nullptr;
    libvshadow_error_t* pError = nullptr;
    size64_t size = 0;
    if (libvshadow_store_get_size(pStore, &size, &pError) != 1) {
        KeepError(&pError, "the store's size cannot be read");
        libvshadow_store_free(&pStore, nullptr);
        return nullptr;
    }
    auto* pReader = new (std::nothrow) StoreReader{pStore, pSet};
    if (pReader == nullptr) {
        libvshadow_store_free(&pStore, nullptr);
        vx_image_set_error("not enough memory");
        return nullptr;
    }
    pSet->ullReadFailures = 0;
    pSet->szFirstFailure[0] = 0;
    return vx_image_device(VxImageBackend{pReader, ReadStore, CloseStore}, size, 0);
}

uint64_t vx_plat_snapshot_read_failures(const VxSnapshotSet* pSet, const char** ppszFirst) {
    *ppszFirst = pSet->szFirstFailure;
    return pSet->ullReadFailures;
}

VxDevice* vx_plat_open_snapshot_volume(VxSnapshotSet* pSet) {
    return vx_image_device(VxImageBackend{&pSet->io, ReadLive, CloseLive}, pSet->io.ullSize, 0);
}

void vx_plat_close_snapshots(VxSnapshotSet* pSet) {
    if (pSet == nullptr) return;
    if (pSet->pVolume != nullptr) {
        libvshadow_volume_close(pSet->pVolume, nullptr);
        libvshadow_volume_free(&pSet->pVolume, nullptr);
    }
    if (pSet->pBfio != nullptr) libbfio_handle_free(&pSet->pBfio, nullptr);
    if (pSet->io.pDev != nullptr) vx_plat_close(pSet->io.pDev);
    delete[] pSet->io.pZeros;
    delete pSet;
}

#else  // no libvshadow in this build

struct VxSnapshotSet {
    uint32_t dwStores;
};

int vx_plat_snapshots_supported() { return 0; }

VxSnapshotSet* vx_plat_open_snapshots(VxDevice*, uint64_t, const VxByteRange*, uint32_t) {
    vx_image_set_error("this build has no shadow copy support");
    return nullptr;
}

uint32_t vx_plat_snapshot_count(const VxSnapshotSet* pSet) { return pSet->dwStores; }

int vx_plat_snapshot_info(VxSnapshotSet*, uint32_t, VxSnapshotInfo* pInfo) {
    *pInfo = VxSnapshotInfo{};
    return 0;
}

VxDevice* vx_plat_open_snapshot(VxSnapshotSet*, uint32_t) { return nullptr; }

VxDevice* vx_plat_open_snapshot_volume(VxSnapshotSet*) { return nullptr; }

uint64_t vx_plat_snapshot_read_failures(const VxSnapshotSet*, const char** ppszFirst) {
    *ppszFirst = "";
    return 0;
}

void vx_plat_close_snapshots(VxSnapshotSet* pSet) { delete pSet; }

#endif
