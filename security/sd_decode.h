// Security descriptors, ACEs and SIDs decoded into plain values, for the
// renderer of the report fields and for the formats that tools load.
#pragma once

#include <cstdint>

struct DescriptorHeader {
    uint16_t wControl;
    uint32_t dwOwner, dwGroup, dwSacl, dwDacl;  // offsets, 0: none
};
// 0 when the buffer cannot hold the header (20 bytes).
int DecodeDescriptorHeader(const uint8_t* sd, uint64_t size, DescriptorHeader* pHeader);

struct SidValue {
    uint8_t bRevision;
    uint8_t bCount;  // sub-authorities the SID says it has
    uint64_t ullAuthority;
    uint32_t dwRead;  // sub-authorities within the bytes available
    uint32_t dwSubs[255];
};
// 0 when fewer than 8 bytes are available.
int DecodeSid(const uint8_t* sid, uint64_t avail, SidValue* pSid);
// Bytes the text of a SID needs, terminator included.
inline uint64_t SidTextRoom(const SidValue* pSid) { return 11ull * pSid->bCount + 22; }
// "S-r-a-s1-s2...", the sub-authorities read; returns the terminator's place.
char* FormatSid(const SidValue* pSid, char* p);
// The account of a complete SID of 1 to 8 sub-authorities through the SID
// naming table: 0 with the names set (either may be none), 2 when the
// lookup failed (reported), 3 when the SID is not looked up, 1 fatal.
int LookupSid(const SidValue* pSid, const char* pszText, const char** ppszComment,
              const char** ppszType);

struct AceValue {
    uint8_t bType;
    uint8_t bFlags;
    uint16_t wSize;
    uint32_t dwMask;
    // Where the SID begins: after the mask, or in an object ACE after its
    // flags and the GUIDs they say are present.
    uint64_t ullSidOffset;
};
// The ACE at `offset` of an ACL of `aclSize` bytes: 0 when it does not lie
// wholly inside the ACL.
int DecodeAce(const uint8_t* acl, uint64_t avail, uint16_t aclSize, uint64_t offset,
              AceValue* pAce);
