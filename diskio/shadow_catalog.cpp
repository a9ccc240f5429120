// The shadow copy catalog, read entry by entry.
#include "diskio/shadow_catalog.h"

#include <cstring>

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

}  // namespace

int ReadShadowCatalog(DiskReadFn pfnRead, void* pContext, uint64_t ullVolumeBytes,
                      ShadowCatalog* pCatalog) {
    pCatalog->dwStores = 0;
    uint8_t header[shadow_header::kSize];
    if (ullVolumeBytes < shadow_header::kOffset + sizeof header) return 1;
    if (!pfnRead(pContext, shadow_header::kOffset, header, sizeof header)) return 0;
    if (memcmp(header + shadow_header::kIdentifier, kShadowIdentifier, 16) != 0) return 1;
    uint64_t ullBlock = vx_le64(header, sizeof header, shadow_header::kCatalogOffset);
    uint8_t block[shadow_catalog_block::kSize];
    uint64_t visited[kMaxCatalogBlocks];
    for (uint32_t dwBlocks = 0; ullBlock != 0; dwBlocks++) {
        // A chain that loops or runs on past the blocks a catalog has ends here.
        if (dwBlocks == kMaxCatalogBlocks) return 0;
        for (uint32_t k = 0; k < dwBlocks; k++)
            if (visited[k] == ullBlock) return 0;
        visited[dwBlocks] = ullBlock;
        if (ullBlock > ullVolumeBytes || ullVolumeBytes - ullBlock < sizeof block) return 0;
        if (!pfnRead(pContext, ullBlock, block, sizeof block)) return 0;
        if (memcmp(block + shadow_catalog_block::kIdentifier, kShadowIdentifier, 16) != 0 ||
            vx_le32(block, sizeof block, shadow_catalog_block::kRecordType) != 2)
            return 0;
        for (size_t at = shadow_catalog_block::kHeaderSize; at < sizeof block;
             at += shadow_catalog_entry::kSize) {
            const uint64_t ullType = vx_le64(block, sizeof block, at + shadow_catalog_entry::kType);
            if (ullType != 2 && ullType != 3) continue;
            ShadowStoreEntries* pStore =
                StoreOf(pCatalog, block + at + shadow_catalog_entry::kIdentifier);
            if (pStore == nullptr) return 1;
            if (pStore->dwEntries < 2) pStore->ullEntries[pStore->dwEntries++] = ullBlock + at;
        }
        ullBlock = vx_le64(block, sizeof block, shadow_catalog_block::kNextOffset);
    }
    return 1;
}
