// A volume handed to a libyal library (libvshadow, libbde) through a
// libbfio handle whose reads are ours, so that it may lie in any container
// or partition the source holds.  Private to platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include <libbfio.h>

#include "platform/platform.h"

// The volume as libbfio sees it: a position and the bytes up to the end of
// the volume, no further, so that a block list or a metadata offset
// pointing past it fails instead of reading the next partition.
struct VolumeIo {
    VxDevice* pDev;
    uint64_t ullSize;
    uint64_t ullPosition;
    VxByteRange* pZeros;  // read as zeros: catalog entries of shadow copies left out
    uint32_t dwZeros;
};

// Up to cb bytes at ullOffset of the volume into p: the count read, or -1.
ssize_t ReadVolumeAt(VolumeIo* pIo, uint64_t ullOffset, uint8_t* p, size_t cb);

// A handle reading through pIo, which stays the caller's; 0 when libbfio
// cannot make one.
int OpenVolumeIo(VolumeIo* pIo, libbfio_handle_t** ppHandle);
