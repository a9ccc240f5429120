// The platform layer on Linux and other POSIX systems.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <csignal>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/common/device_impl.h"
#include "platform/platform.h"
#include "platform/posix/posix_errors.h"

// ---------------------------------------------------------------- device

VxDevice* vx_plat_open_device(const char* path, uint64_t ullBaseOffset) {
    int fd = open(path, O_RDONLY | O_CLOEXEC
#ifdef O_LARGEFILE
                            | O_LARGEFILE
#endif
    );
    if (fd < 0) return nullptr;
    VxDevice* pDev = new (std::nothrow) VxDevice{};
    if (pDev == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    pDev->kind = VX_DEVICE_SYSTEM;
    pDev->hSystem = fd;
    pDev->ullBase = ullBaseOffset;
    // Files and block devices take positioned reads: one system call a read
    // instead of a seek and a read.  Anything that cannot seek keeps them.
    // A seek within the source's size cannot fail; one past it is still
    // made, so that it fails where a seek would (block devices, the file
    // system's largest offset) with the same error.
    const off_t end = lseek(fd, 0, SEEK_END);
    pDev->bPositioned = end >= 0 && lseek(fd, 0, SEEK_SET) == 0;
    pDev->ullSystemSize = end >= 0 ? static_cast<uint64_t>(end) : 0;
    return pDev;
}

int vx_plat_seek(VxDevice* pDev, uint64_t ullOffset) {
    if (pDev->kind != VX_DEVICE_SYSTEM) return vx_mem_seek(pDev, ullOffset);
    uint64_t ullWhere = pDev->ullBase + ullOffset;
    pDev->ullRequestBits |= ullWhere;
    if (ullWhere < ullOffset || ullWhere > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return 0;
    }
    if (pDev->bPositioned) {
        if (ullWhere > pDev->ullSystemSize &&
            lseek(static_cast<int>(pDev->hSystem), static_cast<off_t>(ullWhere), SEEK_SET) < 0)
            return 0;
        pDev->ullPosition = ullWhere;
        return 1;
    }
    return lseek(static_cast<int>(pDev->hSystem), static_cast<off_t>(ullWhere), SEEK_SET) >= 0;
}

int vx_plat_read(VxDevice* pDev, void* pBuffer, uint32_t dwLength, uint32_t* pdwRead) {
    if (pDev->kind != VX_DEVICE_SYSTEM) return vx_mem_read(pDev, pBuffer, dwLength, pdwRead);
    *pdwRead = 0;
    pDev->ullReads++;
    pDev->ullRequestBits |= dwLength;
    ssize_t got;
    do {
        got = pDev->bPositioned ? pread(static_cast<int>(pDev->hSystem), pBuffer, dwLength,
                                        static_cast<off_t>(pDev->ullPosition))
                                : read(static_cast<int>(pDev->hSystem), pBuffer, dwLength);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return 0;
    if (pDev->bPositioned) pDev->ullPosition += static_cast<uint64_t>(got);
    *pdwRead = static_cast<uint32_t>(got);
    pDev->ullBytes += static_cast<uint64_t>(got);
    return 1;
}

int vx_plat_read_at(VxDevice* pDev, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                    uint32_t* pdwRead) {
    if (pDev->kind != VX_DEVICE_SYSTEM)
        return vx_mem_read_at(pDev, ullOffset, pBuffer, dwLength, pdwRead);
    *pdwRead = 0;
    uint64_t ullWhere = pDev->ullBase + ullOffset;
    if (!pDev->bPositioned || ullWhere < ullOffset || ullWhere > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return 0;
    }
    pDev->ullReads++;
    pDev->ullRequestBits |= ullWhere | dwLength;
    ssize_t got;
    do {
        got = pread(static_cast<int>(pDev->hSystem), pBuffer, dwLength, static_cast<off_t>(ullWhere));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return 0;
    *pdwRead = static_cast<uint32_t>(got);
    pDev->ullBytes += static_cast<uint64_t>(got);
    return 1;
}

int vx_plat_concurrent_reads(const VxDevice* pDev) {
    return pDev->kind == VX_DEVICE_MEMORY || (pDev->kind == VX_DEVICE_SYSTEM && pDev->bPositioned);
}

void vx_plat_read_ahead(VxDevice* pDev, uint64_t ullOffset, uint64_t ullLength) {
#if defined(POSIX_FADV_WILLNEED)
    uint64_t ullWhere = pDev->ullBase + ullOffset;
    if (pDev->kind != VX_DEVICE_SYSTEM || ullWhere < ullOffset ||
        ullWhere > static_cast<uint64_t>(INT64_MAX) || ullLength > static_cast<uint64_t>(INT64_MAX))
        return;
    posix_fadvise(static_cast<int>(pDev->hSystem), static_cast<off_t>(ullWhere),
                  static_cast<off_t>(ullLength), POSIX_FADV_WILLNEED);
#else
    (void)pDev;
    (void)ullOffset;
    (void)ullLength;
#endif
}

FILE* vx_plat_open_spool(char** ppBytes, size_t* pSize) {
    *ppBytes = nullptr;
    *pSize = 0;
    return open_memstream(ppBytes, pSize);
}

void vx_plat_close_spool(FILE* pSpool, char** ppBytes) {
    if (pSpool != nullptr) fclose(pSpool);  // writes the buffer's last place to *ppBytes
    free(*ppBytes);  // open_memstream's own buffer, from the C heap
    *ppBytes = nullptr;
}

const char* vx_plat_spill_folder() {
    const char* pszDir = getenv("TMPDIR");
    return pszDir == nullptr || *pszDir == '\0' ? "/tmp" : pszDir;
}

FILE* vx_plat_open_spill() {
    const char* pszDir = vx_plat_spill_folder();
    static const char kName[] = "/volscan-spill-XXXXXX";
    const size_t cbDir = strlen(pszDir);
    char* pszPath = static_cast<char*>(malloc(cbDir + sizeof kName));
    if (pszPath == nullptr) return nullptr;
    memcpy(pszPath, pszDir, cbDir);
    memcpy(pszPath + cbDir, kName, sizeof kName);
    const int fd = mkostemp(pszPath, O_CLOEXEC);
    if (fd >= 0) unlink(pszPath);
    free(pszPath);
    if (fd < 0) return nullptr;
    FILE* pSpill = fdopen(fd, "w+b");
    if (pSpill == nullptr) close(fd);
    return pSpill;
}

// The spill's reads and writes go straight to its descriptor at their
// offsets: no stream buffer to keep in step, and a short write is seen at once.
int vx_plat_spill_read(FILE* pSpill, uint64_t ullOffset, void* pData, size_t n) {
    const int fd = fileno(pSpill);
    auto* p = static_cast<char*>(pData);
    while (n > 0) {
        const ssize_t got = pread(fd, p, n, static_cast<off_t>(ullOffset));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = EIO;  // shorter than what was written to it
        if (got <= 0) return 0;
        p += got;
        n -= static_cast<size_t>(got);
        ullOffset += static_cast<uint64_t>(got);
    }
    return 1;
}

int vx_plat_spill_write(FILE* pSpill, uint64_t ullOffset, const void* pData, size_t n) {
    const int fd = fileno(pSpill);
    const auto* p = static_cast<const char*>(pData);
    while (n > 0) {
        const ssize_t put = pwrite(fd, p, n, static_cast<off_t>(ullOffset));
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = ENOSPC;
        if (put <= 0) return 0;
        p += put;
        n -= static_cast<size_t>(put);
        ullOffset += static_cast<uint64_t>(put);
    }
    return 1;
}

unsigned vx_plat_cpu_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

int vx_plat_close(VxDevice* pDev) {
    int ok = 1;
    if (pDev->kind == VX_DEVICE_SYSTEM) ok = close(static_cast<int>(pDev->hSystem)) == 0;
    if (pDev->kind == VX_DEVICE_IMAGE) vx_image_release(pDev);
    delete pDev;
    return ok;
}

int vx_plat_device_size(VxDevice* pDev, uint64_t* pullBytes) {
    *pullBytes = 0;
    uint64_t ullSize = 0;
    if (pDev->kind != VX_DEVICE_SYSTEM) {
        ullSize = pDev->ullMemorySize;
    } else {
        struct stat st {};
        if (fstat(static_cast<int>(pDev->hSystem), &st) != 0) return 0;
        if (S_ISREG(st.st_mode)) {
            ullSize = static_cast<uint64_t>(st.st_size);
#if defined(__linux__)
        } else if (S_ISBLK(st.st_mode)) {
            if (ioctl(static_cast<int>(pDev->hSystem), BLKGETSIZE64, &ullSize) != 0) return 0;
#endif
        } else {
            return 0;
        }
    }
    *pullBytes = ullSize > pDev->ullBase ? ullSize - pDev->ullBase : 0;
    return 1;
}

// The mount point of a block device, from the kernel's table of mounts.
static int FindMountPoint(dev_t device, char* pszDir, size_t size) {
    FILE* pMounts = fopen("/proc/self/mounts", "r");
    if (pMounts == nullptr) return 0;
    char line[4096];
    int found = 0;
    while (!found && fgets(line, sizeof line, pMounts) != nullptr) {
        char source[2048];
        char dir[2048];
        if (sscanf(line, "%2047s %2047s", source, dir) != 2) continue;
        struct stat st;
        if (stat(source, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device &&
            strlen(dir) < size) {
            strcpy(pszDir, dir);
            found = 1;
        }
    }
    fclose(pMounts);
    return found;
}

int vx_plat_query_geometry(const char* pszRootPath, const char* pszFilePath, VxGeometry* pGeom) {
    (void)pszRootPath;  // no drive letters here: only a -f block device has a report
    *pGeom = VxGeometry{};
    if (pszFilePath == nullptr) return 1;
    struct stat st;
    if (stat(pszFilePath, &st) != 0 || !S_ISBLK(st.st_mode)) return 1;
#if defined(__linux__)
    int fd = open(pszFilePath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        int sector = 0;
        if (ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0) {
            pGeom->bSectorKnown = 1;
            pGeom->dwBytesPerSector = static_cast<uint32_t>(sector);
        }
        close(fd);
    }
#endif
    char dir[2048];
    struct statvfs vfs;
    if (pGeom->bSectorKnown && FindMountPoint(st.st_rdev, dir, sizeof dir) &&
        statvfs(dir, &vfs) == 0 && vfs.f_bsize >= pGeom->dwBytesPerSector &&
        vfs.f_bsize % pGeom->dwBytesPerSector == 0) {
        pGeom->bClusterKnown = 1;
        pGeom->dwSectorsPerCluster = static_cast<uint32_t>(vfs.f_bsize / pGeom->dwBytesPerSector);
    }
    return 1;
}

// ------------------------------------------------------------ last error

uint32_t vx_plat_last_error() { return static_cast<uint32_t>(errno); }
void vx_plat_set_last_error(uint32_t dwError) { errno = static_cast<int>(dwError); }
const char* vx_plat_error_text(uint32_t dwError) {
    if (dwError == kErrorNoneMapped)
        return "No mapping between account names and security IDs was done.";
    return strerror(static_cast<int>(dwError));
}
uint32_t vx_plat_error_no_memory() { return ENOMEM; }
uint32_t vx_plat_error_io() { return EIO; }

// ------------------------------------------------------------------ heap
//
// realloc does not know the old size, and growth must zero-fill what it adds,
// so every block carries its size in a header of its own.

namespace {
constexpr size_t kHeader = 16;  // keeps the caller's block 16-byte aligned
}

void* vx_plat_heap_alloc(size_t bytes) {
    if (bytes > SIZE_MAX - kHeader) {
        errno = ENOMEM;
        return nullptr;
    }
    auto* p = static_cast<unsigned char*>(calloc(1, bytes + kHeader));
    if (p == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(p, &bytes, sizeof bytes);
    return p + kHeader;
}

void* vx_plat_heap_realloc(void* pBlock, size_t bytes) {
    if (pBlock == nullptr) return vx_plat_heap_alloc(bytes);
    if (bytes > SIZE_MAX - kHeader) {
        errno = ENOMEM;
        return nullptr;
    }
    auto* pBase = static_cast<unsigned char*>(pBlock) - kHeader;
    size_t old;
    memcpy(&old, pBase, sizeof old);
    auto* p = static_cast<unsigned char*>(realloc(pBase, bytes + kHeader));
    if (p == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (bytes > old) memset(p + kHeader + old, 0, bytes - old);
    memcpy(p, &bytes, sizeof bytes);
    return p + kHeader;
}

int vx_plat_heap_free(void* pBlock) {
    if (pBlock != nullptr) free(static_cast<unsigned char*>(pBlock) - kHeader);
    return 1;
}

// ----------------------------------------------------------------- files

// The run's output streams write through a cookie of their own (glibc),
// so that the reason of a failed write is kept with the stream, not left in
// errno for whatever call comes next to overwrite, and so that nothing more
// reaches the file once a write failed: a report cut short must not go on
// after a gap.  Elsewhere the stream is the system's, and its error flag and
// errno at the time of the check say the same, less exactly.
namespace {

struct OutputCookie {
    int fd;
    int bOwnsFd;
    int error;  // errno of the first failed write, 0 while none failed
    FILE* pStream;
};

// The streams open at once: the report, the -u, -d and -x files.
constexpr int kMaxOutputs = 8;
OutputCookie* g_outputs[kMaxOutputs];

#if defined(__GLIBC__)
ssize_t OutputWrite(void* pCookie, const char* pData, size_t n) {
    auto* c = static_cast<OutputCookie*>(pCookie);
    if (c->error != 0) {
        errno = c->error;
        return -1;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t put = write(c->fd, pData + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            c->error = put < 0 ? errno : EIO;
            errno = c->error;
            return -1;
        }
        done += static_cast<size_t>(put);
    }
    return static_cast<ssize_t>(n);
}

int OutputClose(void* pCookie) {
    auto* c = static_cast<OutputCookie*>(pCookie);
    int r = 0;
    if (c->bOwnsFd && close(c->fd) != 0 && errno != EINTR) r = -1;
    const int error = errno;
    for (OutputCookie*& slot : g_outputs)
        if (slot == c) slot = nullptr;
    delete c;
    errno = error;
    return r;
}
#endif

// A checked stream over fd; none when none can be made (the caller then
// keeps the system's stream).
FILE* OpenOutput(int fd, int bOwnsFd) {
#if defined(__GLIBC__)
    OutputCookie** ppSlot = nullptr;
    for (OutputCookie*& slot : g_outputs)
        if (slot == nullptr) {
            ppSlot = &slot;
            break;
        }
    if (ppSlot == nullptr) return nullptr;
    auto* c = new (std::nothrow) OutputCookie{fd, bOwnsFd, 0, nullptr};
    if (c == nullptr) return nullptr;
    cookie_io_functions_t io{};
    io.write = OutputWrite;
    io.close = OutputClose;
    c->pStream = fopencookie(c, "w", io);
    if (c->pStream == nullptr) {
        delete c;
        return nullptr;
    }
    *ppSlot = c;
    return c->pStream;
#else
    (void)fd;
    (void)bOwnsFd;
    return nullptr;
#endif
}

}  // namespace

FILE* vx_plat_create_new_file(const char* path, int* pbExists) {
    *pbExists = 0;
    // O_EXCL also refuses a symbolic link in the file's place, even one that
    // points nowhere: an output file is only ever a file made by this run.
    // O_NOFOLLOW says the same again, for systems lax about the first.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        *pbExists = errno == EEXIST;
        return nullptr;
    }
    FILE* pFile = OpenOutput(fd, 1);
    if (pFile == nullptr) pFile = fdopen(fd, "w");
    if (pFile == nullptr) close(fd);
    return pFile;
}

FILE* vx_plat_open_standard_output() {
    fflush(stdout);
    FILE* pFile = OpenOutput(fileno(stdout), 0);
    return pFile != nullptr ? pFile : stdout;
}

int vx_plat_close_output(FILE* pStream) {
    if (pStream == stdout) return fflush(stdout) == 0 && !ferror(stdout);
    fflush(pStream);
    uint32_t dwError = 0;
    if (vx_plat_output_failed(pStream, &dwError)) {
        fclose(pStream);
        errno = static_cast<int>(dwError);
        return 0;
    }
    return fclose(pStream) == 0;  // else errno is the close's
}

int vx_plat_output_failed(FILE* pStream, uint32_t* pdwError) {
#if defined(__GLIBC__)
    if (!ferror_unlocked(pStream)) return 0;
#else
    if (!ferror(pStream)) return 0;
#endif
    int error = errno != 0 ? errno : EIO;
    for (const OutputCookie* c : g_outputs)
        if (c != nullptr && c->pStream == pStream && c->error != 0) error = c->error;
    *pdwError = static_cast<uint32_t>(error);
    return 1;
}

// -------------------------------------------------------- interruptions
//
// The handler only records the signal; the walk and the hashing threads look
// at it between records and between blocks.  A second signal takes the
// signal's own action back and raises it again, which ends the process once
// the handler returns.

namespace {

std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_former[3];
int g_bCaught = 0;
// The terminal's settings while a secret is read with its echo off: a
// signal then ends the process at once (nothing has been written yet), and
// the terminal is given its echo back first.
termios g_secretTerminal{};
std::atomic<int> g_bSecretTerminal{0};

void OnInterrupt(int signal) {
    const int error = errno;
    int expected = 0;
    if (g_bSecretTerminal.load() != 0) tcsetattr(STDIN_FILENO, TCSANOW, &g_secretTerminal);
    if (g_bSecretTerminal.load() != 0 || !g_interrupt.compare_exchange_strong(expected, signal)) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(signal, &dfl, nullptr);
        raise(signal);  // delivered, and deadly, once this handler returns
    }
    errno = error;
}

}  // namespace

void vx_plat_catch_interrupts() {
    g_interrupt.store(0);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int s : kInterrupts) sigaddset(&sa.sa_mask, s);
    // Reads and writes go on where they were; the flag is looked at after them.
    sa.sa_flags = SA_RESTART;
    for (int k = 0; k < 3; k++) {
        sigaction(kInterrupts[k], nullptr, &g_former[k]);
        // nohup, or a shell's background job: the signal stays ignored.
        if (g_former[k].sa_handler == SIG_IGN) continue;
        sigaction(kInterrupts[k], &sa, nullptr);
    }
    g_bCaught = 1;
}

int vx_plat_interrupted() { return g_interrupt.load(); }

const char* vx_plat_interrupt_name(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void vx_plat_release_interrupts() {
    if (!g_bCaught) return;
    for (int k = 0; k < 3; k++) sigaction(kInterrupts[k], &g_former[k], nullptr);
    g_bCaught = 0;
}

// ------------------------------------------------------------------ host

int vx_plat_computer_name(char* pszName, size_t size) {
    char host[256];
    if (gethostname(host, sizeof host) != 0) return 0;
    host[sizeof host - 1] = 0;
    if (size == 0) return 1;  // no room even for the terminator
    size_t n = 0;
    while (host[n] != 0 && host[n] != '.' && n < 15 && n + 1 < size) {
        pszName[n] = static_cast<char>(toupper(static_cast<unsigned char>(host[n])));
        n++;
    }
    pszName[n] = 0;
    return 1;
}

int vx_plat_os_version(uint32_t* pdwPlatformId, uint32_t* pdwMajor, uint32_t* pdwMinor) {
    *pdwPlatformId = 0;
    *pdwMajor = 0;
    *pdwMinor = 0;
    return 1;
}

static void FillTime(VxSystemTime* pTime, int local) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    time_t secs = ts.tv_sec;
    if (local)
        localtime_r(&secs, &tmv);
    else
        gmtime_r(&secs, &tmv);
    pTime->wYear = static_cast<uint16_t>(tmv.tm_year + 1900);
    pTime->wMonth = static_cast<uint16_t>(tmv.tm_mon + 1);
    pTime->wDay = static_cast<uint16_t>(tmv.tm_mday);
    pTime->wHour = static_cast<uint16_t>(tmv.tm_hour);
    pTime->wMinute = static_cast<uint16_t>(tmv.tm_min);
    pTime->wSecond = static_cast<uint16_t>(tmv.tm_sec);
    pTime->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

void vx_plat_system_time(VxSystemTime* pTime) { FillTime(pTime, 0); }
void vx_plat_local_time(VxSystemTime* pTime) { FillTime(pTime, 1); }

// -------------------------------------------------------------- terminal

int vx_plat_is_terminal(FILE* pStream) {
    return pStream != nullptr && isatty(fileno(pStream)) ? 1 : 0;
}

struct VxTextBuffer {
    FILE* pStream;
    char* pBytes;
    size_t cbBytes;
};

VxTextBuffer* vx_plat_text_buffer_open(FILE** ppStream) {
    *ppStream = nullptr;
    auto* p = static_cast<VxTextBuffer*>(vx_plat_heap_alloc(sizeof(VxTextBuffer)));
    if (p == nullptr) return nullptr;
    p->pStream = open_memstream(&p->pBytes, &p->cbBytes);
    if (p->pStream == nullptr) {
        vx_plat_heap_free(p);
        return nullptr;
    }
    *ppStream = p->pStream;
    return p;
}

void vx_plat_text_buffer_bytes(VxTextBuffer* pBuffer, const char** ppBytes, size_t* pcbBytes) {
    fflush(pBuffer->pStream);
    *ppBytes = pBuffer->pBytes;
    *pcbBytes = pBuffer->cbBytes;
}

void vx_plat_text_buffer_close(VxTextBuffer* pBuffer) {
    if (pBuffer == nullptr) return;
    fclose(pBuffer->pStream);
    free(pBuffer->pBytes);
    vx_plat_heap_free(pBuffer);
}

uint64_t vx_plat_clock_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

namespace {

// Reads fd up to a line end or its end, a byte at a time so that no
// buffer keeps what follows; the rest of a line too long is read and
// dropped.  1 done, 0 failed (errno set) or too long (errno 0).
int ReadSecretLine(int fd, char* psz, size_t cb) {
    size_t n = 0;
    bool bLong = false;
    for (;;) {
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            vx_plat_wipe(psz, cb);
            return 0;
        }
        if (got == 0 || c == '\n') break;
        if (n + 1 < cb) psz[n++] = c;
        else bLong = true;
        c = 0;
    }
    if (n > 0 && psz[n - 1] == '\r') n--;
    psz[n] = 0;
    if (!bLong) return 1;
    vx_plat_wipe(psz, cb);
    errno = 0;
    return 0;
}

}  // namespace

int vx_plat_read_secret(const char* pszPrompt, char* psz, size_t cb) {
    if (cb == 0) return 0;
    termios saved{};
    const bool bTerminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (bTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        if (write(STDERR_FILENO, pszPrompt, strlen(pszPrompt)) < 0) {
            // The prompt is a courtesy: the secret is read without it.
        }
        g_secretTerminal = saved;
        g_bSecretTerminal.store(1);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const int ok = ReadSecretLine(STDIN_FILENO, psz, cb);
    const int error = errno;
    if (bTerminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        g_bSecretTerminal.store(0);
    }
    errno = error;
    return ok;
}

int vx_plat_read_secret_file(const char* path, uint8_t* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    const bool bStdin = strcmp(path, "-") == 0;
    const int fd = bStdin ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t n = 0;
    int ok = 1;
    for (;;) {
        uint8_t c = 0;
        const ssize_t got = read(fd, n < cb ? p + n : &c, n < cb ? cb - n : 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (n == cb) {
            ok = 0;
            errno = 0;
            break;
        }
        n += static_cast<size_t>(got);
    }
    const int error = errno;
    if (!bStdin) close(fd);
    if (!ok) vx_plat_wipe(p, cb);
    errno = error;
    *pcbRead = ok ? n : 0;
    return ok;
}

void vx_plat_wipe(void* p, size_t cb) { explicit_bzero(p, cb); }
