// Which catalog entries of a volume's shadow copies belong to which store,
// read by us so that a store the shadow copy library cannot open can be
// left out and the stores after it still read.  Bounded: at most
// kMaxCatalogBlocks blocks and kMaxShadowStores stores.
#pragma once

#include <cstdint>

#include "diskio/partition.h"

constexpr uint32_t kMaxCatalogBlocks = 64;
constexpr uint32_t kMaxShadowStores = 512;

struct ShadowStoreEntries {
    uint8_t identifier[16];
    uint64_t ullEntries[2];  // volume offsets of its catalog entries
    uint32_t dwEntries;
};

struct ShadowCatalog {
    uint32_t dwStores;  // in the catalog's order: the oldest first
    ShadowStoreEntries stores[kMaxShadowStores];
};

// Reads the catalog of the volume of `ullVolumeBytes` bytes.  1 with the
// stores found (none when the volume holds no shadow copy), 0 when its
// header or a block of its catalog cannot be read or is not one.
int ReadShadowCatalog(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                      ShadowCatalog* pCatalog);
