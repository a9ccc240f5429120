// The shadow copy catalog, read entry by entry, and the chains of blocks
// each store's entries begin.
#include "diskio/shadow_catalog.h"

#include <cstring>
#include <initializer_list>

#include "base/le.h"
#include "diskio/layout/shadow_catalog.h"

namespace {

ShadowStoreEntries* StoreOf(ShadowCatalog* pCatalog, const uint8_t* pIdentifier) {
    for (uint32_t k = 0; k < pCatalog->dwStores; k++)
        if (memcmp(pCatalog->stores[k].identifier, pIdentifier, 16) == 0)
            return &pCatalog->stores[k];
    if (pCatalog->dwStores == kMaxShadowStores) return nullptr;
    ShadowStoreEntries* pStore = &pCatalog->stores[pCatalog->dwStores++];
    *pStore = ShadowStoreEntries{};
    memcpy(pStore->identifier, pIdentifier, 16);
    return pStore;
}

// Follows a chain of blocks from `ullFirst` to its end.  A loop is found
// with Brent's method: the block saved at each power of two of the steps
// is met again within twice the chain's length, with no memory of the
// blocks passed.  None when it ends well, else what is wrong.
const char* FollowChain(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                        uint64_t ullFirst) {
    uint8_t header[shadow_block::kHeaderSize];
    uint64_t ullSaved = ullFirst, ullPower = 1, ullLength = 0;
    for (uint64_t ullBlock = ullFirst; ullBlock != 0;) {
        if (ullBlock > ullVolumeBytes || ullVolumeBytes - ullBlock < shadow_block::kSize)
            return "a block of its chains lies outside the volume";
        if (!pfnRead(pContext, ullBlock, header, sizeof header))
            return "a block of its chains cannot be read";
        if (memcmp(header + shadow_block::kIdentifier, kShadowIdentifier, 16) != 0)
            return "a block of its chains is not one";
        const uint64_t ullNext = vx_le64(header, sizeof header, shadow_block::kNextOffset);
        if (ullNext != 0 && ullNext == ullSaved) return "its chains of blocks loop";
        if (++ullLength == ullPower) {
            ullSaved = ullNext;
            ullPower *= 2;
            ullLength = 0;
        }
        ullBlock = ullNext;
    }
    return nullptr;
}

void CheckStoreChains(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                      const uint8_t* pEntry, size_t cbEntry, ShadowStoreEntries* pStore) {
    for (size_t at : {shadow_catalog_entry::kBlockList, shadow_catalog_entry::kRangeList,
                      shadow_catalog_entry::kBitmap, shadow_catalog_entry::kPreviousBitmap}) {
        const uint64_t ullFirst = vx_le64(pEntry, cbEntry, at);
        const char* pszProblem = FollowChain(pfnRead, pContext, ullVolumeBytes, ullFirst);
        if (pszProblem != nullptr && pStore->pszProblem == nullptr) pStore->pszProblem = pszProblem;
    }
}

}  // namespace

int ReadShadowCatalog(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                      ShadowCatalog* pCatalog) {
    pCatalog->dwStores = 0;
    pCatalog->pszProblem = nullptr;
    uint8_t header[shadow_header::kSize];
    if (ullVolumeBytes < shadow_header::kOffset + sizeof header) return 1;
    if (!pfnRead(pContext, shadow_header::kOffset, header, sizeof header)) {
        pCatalog->pszProblem = "its volume header cannot be read";
        return 0;
    }
    if (memcmp(header + shadow_header::kIdentifier, kShadowIdentifier, 16) != 0) return 1;
    uint64_t ullBlock = vx_le64(header, sizeof header, shadow_header::kCatalogOffset);
    uint8_t block[shadow_catalog_block::kSize];
    uint64_t visited[kMaxCatalogBlocks];
    for (uint32_t dwBlocks = 0; ullBlock != 0; dwBlocks++) {
        // A chain that loops or runs on past the blocks a catalog has ends here.
        bool bLoops = dwBlocks == kMaxCatalogBlocks;
        for (uint32_t k = 0; k < dwBlocks && !bLoops; k++) bLoops = visited[k] == ullBlock;
        if (bLoops) {
            pCatalog->pszProblem = "its catalog's blocks loop";
            return 0;
        }
        visited[dwBlocks] = ullBlock;
        if (ullBlock > ullVolumeBytes || ullVolumeBytes - ullBlock < sizeof block) {
            pCatalog->pszProblem = "a block of its catalog lies outside the volume";
            return 0;
        }
        if (!pfnRead(pContext, ullBlock, block, sizeof block) ||
            memcmp(block + shadow_catalog_block::kIdentifier, kShadowIdentifier, 16) != 0 ||
            vx_le32(block, sizeof block, shadow_catalog_block::kRecordType) != 2) {
            pCatalog->pszProblem = "a block of its catalog cannot be read or is none";
            return 0;
        }
        for (size_t at = shadow_catalog_block::kHeaderSize; at < sizeof block;
             at += shadow_catalog_entry::kSize) {
            const uint64_t ullType = vx_le64(block, sizeof block, at + shadow_catalog_entry::kType);
            if (ullType != 2 && ullType != 3) continue;
            ShadowStoreEntries* pStore =
                StoreOf(pCatalog, block + at + shadow_catalog_entry::kIdentifier);
            if (pStore == nullptr) return 1;
            if (pStore->dwEntries < 2) pStore->ullEntries[pStore->dwEntries++] = ullBlock + at;
            if (ullType == 3)
                CheckStoreChains(pfnRead, pContext, ullVolumeBytes, block + at,
                                 shadow_catalog_entry::kSize, pStore);
        }
        ullBlock = vx_le64(block, sizeof block, shadow_catalog_block::kNextOffset);
    }
    return 1;
}
