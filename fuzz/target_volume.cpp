// The whole tool over a mutated image: one of the committed NTFS images with
// a few patches, opened and walked exactly as a run of volscan opens and
// walks a volume, every report written.  The image lies in read-only memory
// for the whole run: a write to it from anywhere stops the process.
//
// Input:
//   options  u8   FuzzOptionsFrom: -v -m -e -n -d -D -8 -u
//   image    u8   low bits: which image; 0x80: -i with the u16 that follows;
//                 0x40: the device fails from the byte offset (u32, modulo
//                 the image size) that follows
//   patches  until the end, at most 64 of
//            region u8   which span of the image (boot sector, a run of the
//                        $MFT, a run of $SDS, the whole image)
//            offset u32  inside the span, modulo its length
//            op u8       bytes (low nibble + 1); 0x80: exclusive-or them in
//                        rather than overwrite; 0x40: in the record's own
//                        terms, its fixups made good again afterwards
//            bytes
#include <algorithm>
#include <cstring>

#include "diskio/diskio.h"
#include "fuzz/fuzz.h"
#include "fuzz/fuzz_images.h"
#include "fuzz/fuzz_volume.h"
#include "platform/platform.h"
#include "run/volscan.h"
#include "base/vx_log.h"

namespace {

struct WorkImage {
    const FuzzImage* pImage = nullptr;
    ReadOnlyImage work;
    std::vector<FuzzSpan> touched;
    // (image offset, record number) of every record in one piece, by offset.
    std::vector<std::pair<uint64_t, uint64_t>> records;
};

std::vector<WorkImage>& WorkImages() {
    static std::vector<WorkImage> images;
    if (images.empty()) {
        const std::vector<FuzzImage>& all = FuzzImages();
        images.resize(all.size());
        for (size_t k = 0; k < all.size(); k++) {
            WorkImage& w = images[k];
            w.pImage = &all[k];
            FuzzCheck(w.work.Allocate(all[k].bytes.size()), "image memory");
            memcpy(w.work.pData, all[k].bytes.data(), all[k].bytes.size());
            w.work.Protect();
            for (uint64_t r = 0; r < all[k].recordOffsets.size(); r++)
                if (all[k].recordOffsets[r] != UINT64_MAX)
                    w.records.push_back({all[k].recordOffsets[r], r});
            std::sort(w.records.begin(), w.records.end());
        }
    }
    return images;
}

// The image offsets of the records that bytes [off, off + len) touch.
std::vector<uint64_t> RecordsAt(const WorkImage& w, uint64_t off, uint64_t len) {
    std::vector<uint64_t> found;
    const uint64_t rs = w.pImage->dwRecordSize;
    auto it = std::upper_bound(w.records.begin(), w.records.end(),
                               std::make_pair(off, UINT64_MAX));
    if (it != w.records.begin()) --it;
    for (; it != w.records.end() && it->first < off + len; ++it)
        if (it->first + rs > off) found.push_back(it->first);
    return found;
}

void ApplyPatch(WorkImage& w, uint8_t bRegion, uint32_t dwOffset, uint8_t bOp,
                const std::vector<uint8_t>& bytes) {
    const FuzzImage& img = *w.pImage;
    const FuzzSpan& span = img.regions[bRegion % img.regions.size()];
    if (span.ullLength == 0 || bytes.empty()) return;
    const uint64_t off = span.ullOffset + dwOffset % span.ullLength;
    const uint64_t len = std::min<uint64_t>(bytes.size(), img.bytes.size() - off);
    uint8_t* p = w.work.pData;
    const uint32_t rs = img.dwRecordSize;
    std::vector<uint64_t> undone;
    if (bOp & 0x40)
        for (uint64_t r : RecordsAt(w, off, len))
            if (UndoFixups(p + r, rs)) undone.push_back(r);
    for (uint64_t i = 0; i < len; i++)
        p[off + i] = (bOp & 0x80) ? static_cast<uint8_t>(p[off + i] ^ bytes[i]) : bytes[i];
    for (uint64_t r : undone) FixupsFor(p + r, rs);
    w.touched.push_back({off, len});
    for (uint64_t r : undone) w.touched.push_back({r, rs});
}

void Restore(WorkImage& w) {
    for (const FuzzSpan& s : w.touched)
        memcpy(w.work.pData + s.ullOffset, w.pImage->bytes.data() + s.ullOffset, s.ullLength);
    w.touched.clear();
}

}  // namespace

void FuzzVolumeImage(const uint8_t* pData, size_t size) {
    std::vector<WorkImage>& images = WorkImages();
    FuzzReader in{pData, size};
    const FuzzOptions opt = FuzzOptionsFrom(in.U8());
    const uint8_t bImage = in.U8();
    WorkImage& w = images[(bImage & 0x3F) % images.size()];
    RunOptions run{};
    run.lineMode = opt.bVerbose ? 0 : 1;
    run.bMd5 = opt.bMd5;
    run.bErasedOnly = opt.bErasedOnly;
    run.bNoSequenceCheck = opt.bNoSeqCheck;
    run.bDumpRecords = opt.bDump;
    run.bLocaleOutput = opt.bUtf8 ? 0 : 1;
    if (bImage & 0x80) {
        run.bSingleIndex = 1;
        run.ullIndex = in.U16();
        run.bErasedOnly = 0;
    }
    uint64_t ullFailAt = UINT64_MAX;
    if (bImage & 0x40) ullFailAt = in.U32() % w.pImage->bytes.size();

    w.work.Unprotect();
    for (int k = 0; k < 64 && in.Left() > 0; k++) {
        const uint8_t bRegion = in.U8();
        const uint32_t dwOffset = in.U32();
        const uint8_t bOp = in.U8();
        ApplyPatch(w, bRegion, dwOffset, bOp, in.Bytes((bOp & 0x0F) + 1u));
    }
    w.work.Protect();

    BeginRunSettings(opt);
    FILE* pOut = FuzzSink();
    Volume vol{};
    vol.DriveLetter = 'C';
    vol.pszSourcePath = w.pImage->name.c_str();
    int s = OpenVolumeOn(&vol, vx_plat_open_memory(w.work.pData, w.work.cbData, ullFailAt));
    Entry* pEntry = nullptr;
    if (s == VX_OK) {
        if (run.lineMode) fputs(kColumnTitles, pOut);
        s = WalkRecords(&vol, &run, pOut, &pEntry);
    }
    FuzzCheck(s != VX_FATAL_STATUS, "a damaged volume is not fatal");
    FreeEntry(pEntry);
    if (vol.hVolume != nullptr) {
        // A Windows volume handle takes whole sectors only: no request of any
        // run, however damaged the volume, may ask for less.
        VxDeviceStats st{};
        vx_plat_device_stats(vol.hVolume, &st);
        FuzzCheck((st.ullRequestBits & 0xFF) == 0, "every device request is whole sectors");
    }
    CloseVolume(&vol);
    EndRunSettings(opt);

    w.work.Unprotect();
    Restore(w);
    w.work.Protect();
}
