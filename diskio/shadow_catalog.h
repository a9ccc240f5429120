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
    // What is wrong with one of its chains of blocks (the block list, the
    // range list, the bitmaps): it loops, leaves the volume or holds a block
    // that is none; none when they end well.
    const char* pszProblem;
};

struct ShadowCatalog {
    uint32_t dwStores;  // in the catalog's order: the oldest first
    ShadowStoreEntries stores[kMaxShadowStores];
    const char* pszProblem;  // when ReadShadowCatalog returns 0
};

// Reads the catalog of the volume of `ullVolumeBytes` bytes and follows
// each store's chains of blocks to their ends, so that none given to the
// shadow copy library loops.  1 with the stores found (none when the volume
// holds no shadow copy), 0 when the volume header or the catalog cannot be
// read, its chain loops or a block of it is not one (pszProblem says which).
int ReadShadowCatalog(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                      ShadowCatalog* pCatalog);
