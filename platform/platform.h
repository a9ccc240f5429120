// The one interface between volscan and the operating system.
//
// Everything the NTFS logic and the report need of the system goes through
// these functions: the raw device, the geometry the system reports, the last
// error, the heap, new output files, the host name, the version and the
// clocks.  They are shaped like the Windows calls the tool was designed
// around, so every module above this layer is the same on every platform.
// platform/posix and platform/win32 implement it; nothing outside platform/
// includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------- device

// An open source of volume bytes: a raw device, an image file or (for tests
// and fuzzers) a block of memory.  Opaque above this layer.
struct VxDevice;

// Opens `path` read-only; every later offset is relative to `ullBaseOffset`
// (the volume's place inside a whole-disk image).  Returns none and sets the
// last error on failure.  Nothing ever writes through a device.
VxDevice* vx_plat_open_device(const char* path, uint64_t ullBaseOffset);

// A device over `size` bytes that the caller keeps alive until the device is
// closed.  Reads past the end deliver what is there, then 0 bytes, as a file
// does.  Reads touching a byte at or past `ullFailAt` fail with an I/O error
// (UINT64_MAX: never), so tests can play a damaged disk.
VxDevice* vx_plat_open_memory(const uint8_t* pData, uint64_t ullSize, uint64_t ullFailAt);

// Moves the read position to `ullOffset` (from the base offset).  1 done, 0 failed.
int vx_plat_seek(VxDevice* pDev, uint64_t ullOffset);

// Reads up to `dwLength` bytes at the current position.  1 with *pdwRead set
// (0 at the end of the device), 0 on a device error (last error set).
int vx_plat_read(VxDevice* pDev, void* pBuffer, uint32_t dwLength, uint32_t* pdwRead);

// Reads up to `dwLength` bytes at `ullOffset` (from the base offset) without
// moving the read position: safe from several threads at once, beside the
// thread that seeks and reads.  1 with *pdwRead set (0 at the end), 0 on a
// device error.  Where the system cannot read at an offset without moving a
// shared position (Windows), or the device is a container whose library
// keeps one state for its reads, vx_plat_concurrent_reads is 0 and only one
// thread may read.
int vx_plat_read_at(VxDevice* pDev, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                    uint32_t* pdwRead);
int vx_plat_concurrent_reads(const VxDevice* pDev);
// Asks the system to start reading these bytes into its cache, so that a
// later read of them need not wait; a hint only.
void vx_plat_read_ahead(VxDevice* pDev, uint64_t ullOffset, uint64_t ullLength);

// 1 done, 0 failed (last error set).  The device is released in both cases.
int vx_plat_close(VxDevice* pDev);

// The bytes the device holds from its base offset, where the system can
// tell (an image file, a block device, a volume handle, a memory device):
// 1 with *pullBytes set, 0 when the size is not known.
int vx_plat_device_size(VxDevice* pDev, uint64_t* pullBytes);

// Counters kept by every device: read requests made and bytes delivered,
// and every seek position (from the start of the source) and read length
// requested, or-ed together: a Windows volume handle refuses requests that
// are not whole sectors, so the low bits of this word must stay clear.
struct VxDeviceStats {
    uint64_t ullReads;
    uint64_t ullBytes;
    uint64_t ullRequestBits;
};
void vx_plat_device_stats(const VxDevice* pDev, VxDeviceStats* pStats);

// ---------------------------------------------------------------- images

// The evidence containers, recognised by their content: EWF by its first
// bytes, VMDK, VHDX and QCOW2 by theirs, VHD by its footer (last sector) or
// its first sector; a raw file named as the first segment of a split image
// (disk.000, disk.001, disk.aa) whose next segment exists is a split image.
// Anything else is raw, as a device is.
enum VxImageFormat {
    VX_IMAGE_RAW = 0,
    VX_IMAGE_SPLIT,
    VX_IMAGE_EWF,
    VX_IMAGE_VMDK,
    VX_IMAGE_VHD,
    VX_IMAGE_VHDX,
    VX_IMAGE_QCOW,
};

struct VxImageInfo {
    int format;             // VxImageFormat
    int bSupported;         // this build reads the format
    int bSizeKnown;
    uint64_t ullSize;       // bytes of the disk the container holds
    uint32_t dwSectorSize;  // the container's sector size (512 for a raw file)
    uint32_t dwSegments;    // files read (split and EWF images)
};

// Opens `path` read-only as the container its content says it is, its
// offsets those of the disk it holds counted from `ullBaseOffset`.  A raw
// file or device is opened as vx_plat_open_device opens it.  Returns none
// on failure with pInfo->format set to what was recognised (bSupported 0
// when this build has no reader for it) and vx_plat_image_error() saying
// why; the last error is set too.
VxDevice* vx_plat_open_image(const char* path, uint64_t ullBaseOffset, VxImageInfo* pInfo);

// The last failure of a container in words ("" when none): the library's
// message, or which segment of a split image is missing.
const char* vx_plat_image_error();

// "raw", "split raw", "EWF", "VMDK", "VHD", "VHDX", "QCOW2".
const char* vx_plat_image_format_name(int format);

// Moves the device's base offset: later offsets count from `ullBaseOffset`
// of the source.
void vx_plat_set_base(VxDevice* pDev, uint64_t ullBaseOffset);

// ------------------------------------------------------ shadow copies

// The Volume Shadow Copy stores of an NTFS volume, read through libvshadow
// where the build has it.  A store is a whole earlier state of the volume.
struct VxSnapshotSet;

struct VxSnapshotInfo {
    uint64_t ullCreationTime;  // FILETIME, UTC
    uint8_t identifier[16];    // the store's
    uint8_t copyIdentifier[16];
    uint8_t setIdentifier[16];
    uint64_t ullVolumeSize;
    uint32_t dwAttributeFlags;
};

struct VxByteRange {
    uint64_t ullOffset;
    uint64_t ullLength;
};

// 1 when this build reads shadow copies.
int vx_plat_snapshots_supported();
// Opens the stores of the volume read through `pVolumeDev` (offset 0 its
// first byte; no read past `ullVolumeSize`), which the set takes and closes
// with itself once it is open (a failed open leaves it to the caller).  The dwZeros ranges of pZeros are read as
// zeros (the catalog entries of stores to leave out).  A volume without
// stores gives a set of none.  None on failure, with vx_plat_image_error()
// saying why.
VxSnapshotSet* vx_plat_open_snapshots(VxDevice* pVolumeDev, uint64_t ullVolumeSize,
                                      const VxByteRange* pZeros, uint32_t dwZeros);
uint32_t vx_plat_snapshot_count(const VxSnapshotSet* pSet);
// Store `dwIndex` (0 the oldest): 1 with *pInfo set, 0 (image error set).
int vx_plat_snapshot_info(VxSnapshotSet* pSet, uint32_t dwIndex, VxSnapshotInfo* pInfo);
// A device reading the volume as store `dwIndex` holds it; none (image
// error set) when the store cannot be opened.  Closed before the set.
VxDevice* vx_plat_open_snapshot(VxSnapshotSet* pSet, uint32_t dwIndex);
// A device reading the volume itself through the set's own device, for as
// long as the set is open.
VxDevice* vx_plat_open_snapshot_volume(VxSnapshotSet* pSet);
// Reads of the store devices that failed since the last one was opened, and
// the library's reason for the first.
uint64_t vx_plat_snapshot_read_failures(const VxSnapshotSet* pSet, const char** ppszFirst);
void vx_plat_close_snapshots(VxSnapshotSet* pSet);

// ------------------------------------------------------------ BitLocker

// A BitLocker volume unlocked through libbde where the build has it.  The
// library reads the encrypted volume through our own reads, so it may lie
// in any container or partition; the unlocked volume is a device of its
// own.
enum VxBitLockerProtector {
    VX_BDE_PASSWORD = 1,
    VX_BDE_RECOVERY_PASSWORD = 2,
    VX_BDE_STARTUP_KEY = 4,
    VX_BDE_TPM = 8,
    VX_BDE_CLEAR_KEY = 16,
    VX_BDE_OTHER_PROTECTOR = 32,
};

// The keys tried, each none when not given.  The caller keeps and wipes them.
struct VxBitLockerKeys {
    const char* pszPassword;
    const char* pszRecoveryPassword;  // 8 groups of 6 digits joined by dashes
    const uint8_t* pStartupKey;       // the bytes of a .BEK file
    size_t cbStartupKey;
};

enum VxBitLockerResult { VX_BDE_UNLOCKED = 0, VX_BDE_LOCKED = 1, VX_BDE_FAILED = 2 };

struct VxBitLockerInfo {
    int bIdentifier;
    uint8_t identifier[16];  // the volume's, as on the disk
    uint32_t dwProtectors;   // VxBitLockerProtector bits
    int result;              // VxBitLockerResult
};

// 1 when this build reads BitLocker volumes.
int vx_plat_bitlocker_supported();
// Unlocks the volume read through `pVolumeDev` (offset 0 its first byte, no
// read past `ullVolumeSize`) with the keys given.  Unlocked: a device
// reading the unlocked volume, which takes pVolumeDev and closes it with
// itself.  Otherwise none, pVolumeDev left to the caller, pInfo->result
// saying whether the keys failed (what pInfo says of the volume is then
// set) or the library could not open the volume, vx_plat_image_error()
// giving its reason.
VxDevice* vx_plat_open_bitlocker(VxDevice* pVolumeDev, uint64_t ullVolumeSize,
                                 const VxBitLockerKeys* pKeys, VxBitLockerInfo* pInfo);

// Reads a secret line (without its line end) into psz: from the terminal
// with the echo off, after `pszPrompt` on it, or from the standard input
// when that is no terminal.  1 done; 0 when it cannot be read (last error
// set) or is longer than cb - 1 bytes (last error 0).  Nothing of it is
// left in a buffer of the C library.
int vx_plat_read_secret(const char* pszPrompt, char* psz, size_t cb);
// The bytes of a small file, "-" the standard input, into p (up to cb
// bytes): 1 with *pcbRead set, 0 when it cannot be read (last error set)
// or holds more than cb bytes (last error 0).
int vx_plat_read_secret_file(const char* path, uint8_t* p, size_t cb, size_t* pcbRead);
// Overwrites cb bytes with zeros in a way the compiler keeps.
void vx_plat_wipe(void* p, size_t cb);

// A device whose reads `pfnRead` makes (volumes put together in memory by
// the tests and the fuzz targets); `ullSize` bytes.  Closing it closes
// nothing of the context.
VxDevice* vx_plat_open_reader(void* pContext,
                              int (*pfnRead)(void* pContext, uint64_t ullOffset, void* pBuffer,
                                             uint32_t dwLength, uint32_t* pdwRead),
                              uint64_t ullSize);

// Geometry the system reports for a volume, independently of its boot sector.
// A flag that stays 0 means the system has no report for that value (an
// image file, a block device that is not mounted).
struct VxGeometry {
    int bSectorKnown;
    int bClusterKnown;
    uint32_t dwBytesPerSector;
    uint32_t dwSectorsPerCluster;
};

// `pszRootPath` is the drive's root ("E:\"), `pszFilePath` the -f path or
// none.  Returns 1 with what is known filled in, 0 when the query itself
// failed (last error set).
int vx_plat_query_geometry(const char* pszRootPath, const char* pszFilePath, VxGeometry* pGeom);

// ------------------------------------------------------------ last error

uint32_t vx_plat_last_error();
void vx_plat_set_last_error(uint32_t dwError);
// The system's text for an error number: strerror on POSIX, FormatMessage on
// Windows.
const char* vx_plat_error_text(uint32_t dwError);
// The error numbers meaning "not enough memory" and "input/output error".
uint32_t vx_plat_error_no_memory();
uint32_t vx_plat_error_io();

// ------------------------------------------------------------------ heap

// Zero-filled block of `bytes` bytes (0 allowed); none on failure, last error set.
void* vx_plat_heap_alloc(size_t bytes);
// Resizes; bytes added beyond the old size are zero.  none on failure, the
// old block then still valid.
void* vx_plat_heap_realloc(void* pBlock, size_t bytes);
// 1 released, 0 failed.
int vx_plat_heap_free(void* pBlock);

// ----------------------------------------------------------------- files

// Creates `path` new for writing (exclusive: an existing file or a symbolic
// link in its place is refused) and opens a text stream on it.  On failure
// returns none with *pbExists set when the path already existed.  The
// stream's writes are checked as vx_plat_output_failed says.
FILE* vx_plat_create_new_file(const char* path, int* pbExists);
// A stream writing to the standard output whose writes are checked the same
// way (the standard output itself where the system has no such stream).
FILE* vx_plat_open_standard_output();
// Closes a stream of the two functions above (the standard output's
// descriptor stays open): 1 done, 0 when its last bytes or the close failed
// (last error set).
int vx_plat_close_output(FILE* pStream);
// 1 when a write to the stream failed, with *pdwError the system's reason
// (ENOSPC, EIO, EDQUOT...).  Once one has failed, the streams made above
// take nothing more: what follows the failure is not written.
int vx_plat_output_failed(FILE* pStream, uint32_t* pdwError);

// -------------------------------------------------------- interruptions

// From vx_plat_catch_interrupts on, SIGINT, SIGTERM and SIGHUP (on Windows
// Ctrl-C and Ctrl-Break as SIGINT, the console's closing as SIGHUP, the
// session's end as SIGTERM) no longer end the process: the first one is
// remembered, for the run to stop and write out what it holds; a second one
// ends the process at once, as it would have without the first.  A signal
// the process was started ignoring stays ignored.
void vx_plat_catch_interrupts();
// The number of the first signal caught (2, 15, 1), 0 when none; safe from
// any thread.
int vx_plat_interrupted();
// "SIGINT", "SIGTERM", "SIGHUP" (on Windows the event's name).
const char* vx_plat_interrupt_name(int signal);
// Gives the signals their former handling back; the run is over.
void vx_plat_release_interrupts();

// ------------------------------------------------------------------ host

// The NetBIOS form of the computer name, at most 15 characters.  1 done, 0
// failed (last error set).
int vx_plat_computer_name(char* pszName, size_t size);

// Platform id, major and minor version as GetVersionEx reports them; a
// platform outside the Windows family reports platform id 0.  1 done, 0 failed.
int vx_plat_os_version(uint32_t* pdwPlatformId, uint32_t* pdwMajor, uint32_t* pdwMinor);

struct VxSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
void vx_plat_system_time(VxSystemTime* pTime);  // UTC
void vx_plat_local_time(VxSystemTime* pTime);

// ------------------------------------------------------------- terminal

// 1 when the stream is a terminal (a console on Windows), 0 for a file, a
// pipe or none.
int vx_plat_is_terminal(FILE* pStream);
// Milliseconds from an arbitrary start; never goes back.
uint64_t vx_plat_clock_ms();

// ---------------------------------------------------------- text buffers

// A stream whose bytes stay in memory (no file is made), for text rendered
// once and written again many times.  None where the system has no such
// stream (Windows) or on failure: the caller then renders every time.
struct VxTextBuffer;
VxTextBuffer* vx_plat_text_buffer_open(FILE** ppStream);
// The bytes written to the stream so far; valid until the next write or the close.
void vx_plat_text_buffer_bytes(VxTextBuffer* pBuffer, const char** ppBytes, size_t* pcbBytes);
void vx_plat_text_buffer_close(VxTextBuffer* pBuffer);

// ------------------------------------------------------------------- MD5

// One MD5 digest (RFC 1321) at a time, from the system's cryptographic
// library (OpenSSL's libcrypto on POSIX, CNG on Windows).  The context is
// kept between digests, so hashing many small files costs no setup each.
// 1 started, 0 when the library failed (last error set).
int vx_plat_md5_init();
void vx_plat_md5_update(const void* pData, size_t length);
// The 16 digest bytes of everything given since the last init.
void vx_plat_md5_final(uint8_t digest[16]);
// Releases the context at the end of the run.
void vx_plat_md5_release();
// The digest since the last init taken on from a chain state (A, B, C, D)
// reached after ullBytes bytes (a multiple of 64), as if they had been
// given: 1, or 0 where the library cannot set a state (nothing changed).
int vx_plat_md5_resume_current(const uint32_t state[4], uint64_t ullBytes);

// Digests of their own, one per thread that hashes beside the others.
struct VxMd5;
VxMd5* vx_plat_md5_new();  // none when the library failed
int vx_plat_md5_begin(VxMd5* pMd5);
// As vx_plat_md5_resume_current, for a digest begun and given nothing yet.
int vx_plat_md5_resume(VxMd5* pMd5, const uint32_t state[4], uint64_t ullBytes);
void vx_plat_md5_add(VxMd5* pMd5, const void* pData, size_t length);
void vx_plat_md5_end(VxMd5* pMd5, uint8_t digest[16]);
void vx_plat_md5_free(VxMd5* pMd5);

// ----------------------------------------------------------------- spool

// A stream whose bytes gather in memory (open_memstream): the report of
// files whose digests are still being made.  After fflush, *ppBytes and
// *pSize give what was written.  None where the system has no such stream.
FILE* vx_plat_open_spool(char** ppBytes, size_t* pSize);
// Closes the stream and releases its bytes (*ppBytes, the pointer given to
// vx_plat_open_spool: closing the stream may move them); *ppBytes is then none.
void vx_plat_close_spool(FILE* pSpool, char** ppBytes);
// A temporary file for the report held past the spool's bounds: made in
// $TMPDIR (else /tmp), removed from its folder at once so that nothing is
// left behind, open for reading and writing.  None where it cannot be made.
FILE* vx_plat_open_spill();
// The folder the spill is made in, for the diagnostic of a spill that
// cannot be written.
const char* vx_plat_spill_folder();
// Bytes of the stream at byte ullOffset: 1 when all n were read or written.
int vx_plat_spill_read(FILE* pSpill, uint64_t ullOffset, void* pData, size_t n);
int vx_plat_spill_write(FILE* pSpill, uint64_t ullOffset, const void* pData, size_t n);
// The cores the system offers (at least 1).
unsigned vx_plat_cpu_count();

// -------------------------------------------------------------- accounts

// A SID in the system's form, made from an identifier authority (48 bits)
// and 1 to 8 sub-authorities, as AllocateAndInitializeSid makes it.
struct VxSid;
// 1 with *ppSid set, 0 failed (last error set).
int vx_plat_allocate_sid(uint64_t ullAuthority, uint8_t bCount, const uint32_t* pdwSubs,
                         VxSid** ppSid);
int vx_plat_is_valid_sid(const VxSid* pSid);
void vx_plat_free_sid(VxSid* pSid);
// LookupAccountSid on the local system: the account name and its domain
// (each 0-terminated) and the SID_NAME_USE value.  The sizes are in and
// out, in bytes with the terminator: a buffer too small (or none) fails
// with the error vx_plat_error_insufficient_buffer() and the sizes needed.
// 1 found, 0 failed (last error set).
int vx_plat_lookup_account_sid(const VxSid* pSid, char* pszName, uint32_t* pdwNameSize,
                               char* pszDomain, uint32_t* pdwDomainSize, uint32_t* pdwUse);
uint32_t vx_plat_error_insufficient_buffer();
