// The committed NTFS images as fuzzing material: their bytes and where their
// metadata lies, learnt once by reading each clean image with the tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FuzzSpan {
    uint64_t ullOffset;  // in the image
    uint64_t ullLength;
};

struct FuzzImage {
    std::string name;
    std::vector<uint8_t> bytes;
    uint32_t dwClusterSize = 0;
    uint32_t dwRecordSize = 0;
    // Image offset of each MFT record, UINT64_MAX for one that is not in
    // one piece (split between two runs) or not mapped.
    std::vector<uint64_t> recordOffsets;
    // The boot sector, the $MFT data runs, the $Secure:$SDS runs, and last
    // the whole image: where the mutations of an image go.
    std::vector<FuzzSpan> regions;
    size_t mftRegions = 0;  // regions[1 .. mftRegions]
    size_t sdsRegions = 0;  // the next ones
    // Values of the clean image, seeds of the decoder targets.
    std::vector<std::vector<uint8_t>> standardValues;     // $STANDARD_INFORMATION
    std::vector<std::vector<uint8_t>> descriptorValues;   // $SECURITY_DESCRIPTOR and $SDS entries
    std::vector<std::vector<uint8_t>> fileNameValues;     // $FILE_NAME
    std::vector<uint8_t> sds;                             // $Secure:$SDS
    struct ListSeed {
        uint64_t ullRecord;
        std::vector<uint8_t> value;
    };
    std::vector<ListSeed> attributeLists;                 // $ATTRIBUTE_LIST and its base record
};

// The NTFS images of tests/images (fat.img is not one), loaded on first use.
// The process stops with a message when they cannot be read.
const std::vector<FuzzImage>& FuzzImages();
// The one named ("sample.img"), or none.
const FuzzImage* FindFuzzImage(const std::string& name);
// The record image of record `n` from the clean image, as on disk (fixups
// applied); empty when it is not in one piece.
std::vector<uint8_t> FuzzRecordBytes(const FuzzImage& image, uint64_t n);
