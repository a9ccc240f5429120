// A Volume over a block of memory, with the module-wide buffers of the
// volume access set up as OpenVolume leaves them, for tests of the readers
// that sit above the device.
#pragma once

#include <cstdint>
#include <vector>

#include "diskio/diskio.h"
#include "platform/platform.h"
#include "base/vx_log.h"
#include "support/capture.h"

struct MemoryVolume {
    std::vector<uint8_t> bytes;
    Volume vol{};
    CapturedStream errors;

    // `clusters` clusters of `clusterSize` bytes; the device holds
    // `deviceClusters` of them (fewer plays a short device), reads at or past
    // byte `failAt` fail.
    MemoryVolume(uint32_t clusterSize, uint64_t clusters, uint64_t deviceClusters = UINT64_MAX,
                 uint64_t failAt = UINT64_MAX) {
        if (deviceClusters == UINT64_MAX) deviceClusters = clusters;
        bytes.resize(deviceClusters * clusterSize);
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
        vol.DriveLetter = 'E';
        vol.SectorSize = 512;
        vol.ClusterSize = clusterSize;
        vol.ClusterNumber = clusters;
        vol.MftRecordSize = 1024;
        vol.MftRecordClusters = clusterSize >= 1024 ? 1 : 1024 / clusterSize;
        for (uint32_t k = 0; k < 16; k++) vol.AttrTypes[k] = 0x10 * (k + 1);
        vol.hVolume = vx_plat_open_memory(bytes.data(), bytes.size(), failAt);
        MaxReadSize = 0xFFFFFFFFu - 0xFFFFFFFFu % clusterSize;
        ProcessChunkSize = 0x1000000u - 0x1000000u % clusterSize;
        PClusterBuffer = static_cast<uint8_t*>(VX_CALLOC(1, clusterSize, VX_FATAL, "test"));
        PProcessStreamBuffer = nullptr;
        VxErrorStream = errors.pFile;
    }
    ~MemoryVolume() {
        VxErrorStream = stderr;
        CloseVolume(&vol);
    }
    uint64_t DeviceReads() const {
        VxDeviceStats st{};
        vx_plat_device_stats(vol.hVolume, &st);
        return st.ullReads;
    }
    const uint8_t* Cluster(uint64_t lcn) const { return bytes.data() + lcn * vol.ClusterSize; }
};

// A non-resident, unflagged Attribute over the given runs.
inline Attribute NonResident(std::vector<Run>& runs, uint64_t size, uint32_t type = 0x80) {
    Attribute a{};
    a.dwType = type;
    a.bResident = 0;
    a.ullSize = size;
    a.pRunlist = runs.data();
    a.ullRunCount = runs.size();
    for (const Run& r : runs) a.ullNextVcn += r.ullLength;
    return a;
}
