// The platform layer on Windows: the Win32 calls the tool was designed
// around, in their ANSI forms, since every path and name the tool handles
// is a narrow string.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/common/device_impl.h"
#include "platform/platform.h"

// ---------------------------------------------------------------- device
//
// Requests go to the handle exactly as they come.  A volume handle refuses a
// read whose offset or length is not a multiple of the sector size; the
// layers above ask for whole clusters, so nothing here buffers or realigns.

static HANDLE HandleOf(const VxDevice* pDev) {
    return reinterpret_cast<HANDLE>(pDev->hSystem);
}

VxDevice* vx_plat_open_device(const char* path, uint64_t ullBaseOffset) {
    // Sharing for write too: a mounted volume is open for writing by the
    // system, and a read-only share would be refused.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    VxDevice* pDev = new (std::nothrow) VxDevice{};
    if (pDev == nullptr) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pDev->kind = VX_DEVICE_SYSTEM;
    pDev->hSystem = reinterpret_cast<intptr_t>(h);
    pDev->ullBase = ullBaseOffset;
    return pDev;
}

int vx_plat_seek(VxDevice* pDev, uint64_t ullOffset) {
    if (pDev->kind != VX_DEVICE_SYSTEM) return vx_mem_seek(pDev, ullOffset);
    uint64_t ullWhere = pDev->ullBase + ullOffset;
    pDev->ullRequestBits |= ullWhere;
    // The file pointer is signed: a position past INT64_MAX (or a sum that
    // wrapped) would become a seek before the start.
    if (ullWhere < ullOffset || ullWhere > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return 0;
    }
    LARGE_INTEGER liWhere;
    liWhere.QuadPart = static_cast<LONGLONG>(ullWhere);
    return SetFilePointerEx(HandleOf(pDev), liWhere, nullptr, FILE_BEGIN) != 0;
}

int vx_plat_read(VxDevice* pDev, void* pBuffer, uint32_t dwLength, uint32_t* pdwRead) {
    if (pDev->kind != VX_DEVICE_SYSTEM) return vx_mem_read(pDev, pBuffer, dwLength, pdwRead);
    *pdwRead = 0;
    pDev->ullReads++;
    pDev->ullRequestBits |= dwLength;
    DWORD dwGot = 0;
    if (!ReadFile(HandleOf(pDev), pBuffer, dwLength, &dwGot, nullptr)) {
        // Some drivers say "end of file" as an error rather than as a read
        // of 0 bytes; to the caller both are the end of the device.
        if (GetLastError() != ERROR_HANDLE_EOF) return 0;
        dwGot = 0;
    }
    *pdwRead = static_cast<uint32_t>(dwGot);
    pDev->ullBytes += dwGot;
    return 1;
}

int vx_plat_close(VxDevice* pDev) {
    int ok = 1;
    DWORD dwError = 0;
    if (pDev->kind == VX_DEVICE_SYSTEM) {
        ok = CloseHandle(HandleOf(pDev)) != 0;
        if (!ok) dwError = GetLastError();
    }
    if (pDev->kind == VX_DEVICE_IMAGE) vx_image_release(pDev);
    delete pDev;
    // Releasing the record must not hide why the handle would not close.
    if (!ok) SetLastError(dwError);
    return ok;
}

int vx_plat_device_size(VxDevice* pDev, uint64_t* pullBytes) {
    *pullBytes = 0;
    uint64_t ullSize = 0;
    if (pDev->kind != VX_DEVICE_SYSTEM) {
        ullSize = pDev->ullMemorySize;
    } else {
        // A file knows its size; a volume or disk handle answers the
        // length query instead (its file size, where given, is 0).
        LARGE_INTEGER liSize;
        GET_LENGTH_INFORMATION length;
        DWORD dwReturned = 0;
        if (GetFileSizeEx(HandleOf(pDev), &liSize) && liSize.QuadPart > 0)
            ullSize = static_cast<uint64_t>(liSize.QuadPart);
        else if (DeviceIoControl(HandleOf(pDev), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                 sizeof length, &dwReturned, nullptr))
            ullSize = static_cast<uint64_t>(length.Length.QuadPart);
        else
            return 0;
    }
    *pullBytes = ullSize > pDev->ullBase ? ullSize - pDev->ullBase : 0;
    return 1;
}

// "\\.\X:", the device of drive X, whose root is then "X:\".
static int DriveOfDevicePath(const char* path, char* pcDrive) {
    if (strlen(path) != 6 || strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':') return 0;
    char c = path[4];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return 0;
    *pcDrive = c;
    return 1;
}

int vx_plat_query_geometry(const char* pszRootPath, const char* pszFilePath, VxGeometry* pGeom) {
    *pGeom = VxGeometry{};
    char szRoot[4];
    const char* pszQuery = pszRootPath;
    if (pszFilePath != nullptr) {
        char cDrive;
        // An image file has no geometry of its own apart from its boot sector.
        if (!DriveOfDevicePath(pszFilePath, &cDrive)) return 1;
        szRoot[0] = cDrive;
        szRoot[1] = ':';
        szRoot[2] = '\\';
        szRoot[3] = 0;
        pszQuery = szRoot;
    }
    DWORD dwSectorsPerCluster = 0;
    DWORD dwBytesPerSector = 0;
    DWORD dwFreeClusters = 0;
    DWORD dwTotalClusters = 0;
    if (!GetDiskFreeSpaceA(pszQuery, &dwSectorsPerCluster, &dwBytesPerSector, &dwFreeClusters,
                           &dwTotalClusters))
        return 0;
    pGeom->bSectorKnown = 1;
    pGeom->bClusterKnown = 1;
    pGeom->dwBytesPerSector = static_cast<uint32_t>(dwBytesPerSector);
    pGeom->dwSectorsPerCluster = static_cast<uint32_t>(dwSectorsPerCluster);
    return 1;
}

// ------------------------------------------------------------ last error

uint32_t vx_plat_last_error() { return static_cast<uint32_t>(GetLastError()); }
void vx_plat_set_last_error(uint32_t dwError) { SetLastError(static_cast<DWORD>(dwError)); }
// The system's own message for the number (the C library's strerror knows
// errno values, not these), without the line end FormatMessage puts after
// it; "Unknown error" when the system has no text for it.  The text lives
// until the next call.
const char* vx_plat_error_text(uint32_t dwError) {
    static char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, static_cast<DWORD>(dwError), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) n--;
    if (n == 0) return "Unknown error";
    text[n] = '\0';
    return text;
}
uint32_t vx_plat_error_no_memory() { return ERROR_NOT_ENOUGH_MEMORY; }
uint32_t vx_plat_error_io() { return ERROR_READ_FAULT; }

// ------------------------------------------------------------------ heap
//
// HeapAlloc and HeapReAlloc do not set the last error when they fail, so it
// is set here for the diagnostics that follow.

void* vx_plat_heap_alloc(size_t bytes) {
    void* p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

void* vx_plat_heap_realloc(void* pBlock, size_t bytes) {
    // HeapReAlloc has no "no block yet" form.
    if (pBlock == nullptr) return vx_plat_heap_alloc(bytes);
    // HEAP_ZERO_MEMORY zero-fills what growth adds; on failure the old block
    // stays where it was.
    void* p = HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, pBlock, bytes);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

int vx_plat_heap_free(void* pBlock) {
    if (pBlock == nullptr) return 1;
    return HeapFree(GetProcessHeap(), 0, pBlock) != 0;
}

// ----------------------------------------------------------------- files

FILE* vx_plat_create_new_file(const char* path, int* pbExists) {
    *pbExists = 0;
    // CREATE_NEW refuses any existing name; FILE_FLAG_OPEN_REPARSE_POINT
    // keeps a symbolic link (or a junction) in the file's place from being
    // followed, so a link is refused as the existing name it is, even one
    // that points nowhere: an output file is only ever a file made by this
    // run.  Nobody else may write the file while the run writes it.
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        *pbExists = dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    // Text mode: the report's lines end in CR LF as every Windows text file's do.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* pFile = _fdopen(fd, "w");
    if (pFile == nullptr) _close(fd);
    return pFile;
}

FILE* vx_plat_open_standard_output() { return stdout; }

int vx_plat_close_output(FILE* pStream) {
    fflush(pStream);
    uint32_t dwError = 0;
    if (vx_plat_output_failed(pStream, &dwError)) {
        if (pStream != stdout) fclose(pStream);
        SetLastError(dwError);
        return 0;
    }
    if (pStream == stdout) return 1;
    return fclose(pStream) == 0;
}

int vx_plat_output_failed(FILE* pStream, uint32_t* pdwError) {
    if (!ferror(pStream)) return 0;
    // The run-time library keeps the system's code of its last failed call.
    unsigned long dwError = _doserrno;
    if (dwError == 0) dwError = GetLastError();
    *pdwError = dwError != 0 ? static_cast<uint32_t>(dwError) : ERROR_WRITE_FAULT;
    return 1;
}

// -------------------------------------------------------- interruptions
//
// The console's events come on a thread of their own.  Ctrl-C and
// Ctrl-Break are remembered for the run to stop; the console's closing and
// the session's end end the process when the handler returns, so the handler
// waits there (the system allows it a few seconds) for the run to write out
// what it holds.  A second event goes to the system's own handler, which
// ends the process.

namespace {

std::atomic<int> g_interrupt{0};
std::atomic<int> g_bRunOver{0};
int g_bCaught = 0;

BOOL WINAPI OnConsoleEvent(DWORD dwEvent) {
    int signal = 0;
    switch (dwEvent) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: signal = 2; break;
        case CTRL_CLOSE_EVENT: signal = 1; break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: signal = 15; break;
        default: return FALSE;
    }
    int expected = 0;
    if (!g_interrupt.compare_exchange_strong(expected, signal)) return FALSE;
    if (signal != 2)
        for (int waited = 0; waited < 10000 && g_bRunOver.load() == 0; waited += 50) Sleep(50);
    return TRUE;
}

}  // namespace

void vx_plat_catch_interrupts() {
    g_interrupt.store(0);
    g_bRunOver.store(0);
    g_bCaught = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) ? 1 : 0;
}

int vx_plat_interrupted() { return g_interrupt.load(); }

const char* vx_plat_interrupt_name(int signal) {
    switch (signal) {
        case 2: return "Ctrl-C";
        case 1: return "the console's closing";
        case 15: return "the session's end";
        default: return "a console event";
    }
}

void vx_plat_release_interrupts() {
    g_bRunOver.store(1);
    if (g_bCaught) SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_bCaught = 0;
}

// ------------------------------------------------------------------ host

int vx_plat_computer_name(char* pszName, size_t size) {
    char szName[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD dwSize = sizeof szName;
    if (!GetComputerNameA(szName, &dwSize)) return 0;
    szName[sizeof szName - 1] = 0;
    if (size == 0) return 1;
    size_t n = strlen(szName);
    if (n > size - 1) n = size - 1;
    memcpy(pszName, szName, n);
    pszName[n] = 0;
    return 1;
}

int vx_plat_os_version(uint32_t* pdwPlatformId, uint32_t* pdwMajor, uint32_t* pdwMinor) {
    *pdwPlatformId = 0;
    *pdwMajor = 0;
    *pdwMinor = 0;
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;  // 148: the plain form, not the Ex one
    // GetVersionEx is deprecated, but its answer is what the report's
    // operating-system line is named from.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    BOOL ok = GetVersionExA(&info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (!ok) return 0;
    *pdwPlatformId = static_cast<uint32_t>(info.dwPlatformId);
    *pdwMajor = static_cast<uint32_t>(info.dwMajorVersion);
    *pdwMinor = static_cast<uint32_t>(info.dwMinorVersion);
    return 1;
}

static void CopyTime(VxSystemTime* pTime, const SYSTEMTIME& st) {
    pTime->wYear = st.wYear;
    pTime->wMonth = st.wMonth;
    pTime->wDay = st.wDay;
    pTime->wHour = st.wHour;
    pTime->wMinute = st.wMinute;
    pTime->wSecond = st.wSecond;
    pTime->wMilliseconds = st.wMilliseconds;
}

void vx_plat_system_time(VxSystemTime* pTime) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    CopyTime(pTime, st);
}

void vx_plat_local_time(VxSystemTime* pTime) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    CopyTime(pTime, st);
}

// Reads at an offset move the handle's one file position here, so the
// hashing threads are not started (vx_plat_concurrent_reads is 0) and this
// is a seek and a read by the one reader.
int vx_plat_read_at(VxDevice* pDev, uint64_t ullOffset, void* pBuffer, uint32_t dwLength,
                    uint32_t* pdwRead) {
    if (pDev->kind != VX_DEVICE_SYSTEM)
        return vx_mem_read_at(pDev, ullOffset, pBuffer, dwLength, pdwRead);
    *pdwRead = 0;
    if (!vx_plat_seek(pDev, ullOffset)) return 0;
    return vx_plat_read(pDev, pBuffer, dwLength, pdwRead);
}

int vx_plat_concurrent_reads(const VxDevice*) { return 0; }

void vx_plat_read_ahead(VxDevice*, uint64_t, uint64_t) {}

FILE* vx_plat_open_spool(char** ppBytes, size_t* pSize) {
    *ppBytes = nullptr;
    *pSize = 0;
    return nullptr;
}

void vx_plat_close_spool(FILE*, char**) {}

// The Windows build hashes on the main thread alone: nothing is held.
FILE* vx_plat_open_spill() { return nullptr; }
const char* vx_plat_spill_folder() { return ""; }
int vx_plat_spill_read(FILE*, uint64_t, void*, size_t) { return 0; }
int vx_plat_spill_write(FILE*, uint64_t, const void*, size_t) { return 0; }

unsigned vx_plat_cpu_count() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

// -------------------------------------------------------------- terminal

int vx_plat_is_terminal(FILE* pStream) {
    if (pStream == nullptr) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    DWORD dwMode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &dwMode) ? 1 : 0;
}

uint64_t vx_plat_clock_ms() { return GetTickCount64(); }

// ---------------------------------------------------------- text buffers

// The C library here has no stream over memory: text is rendered every time.
VxTextBuffer* vx_plat_text_buffer_open(FILE** ppStream) {
    *ppStream = nullptr;
    return nullptr;
}

void vx_plat_text_buffer_bytes(VxTextBuffer*, const char** ppBytes, size_t* pcbBytes) {
    *ppBytes = nullptr;
    *pcbBytes = 0;
}

void vx_plat_text_buffer_close(VxTextBuffer*) {}

// ------------------------------------------------------------- secrets

namespace {

// Reads h up to a line end or its end, a byte at a time; the rest of a line
// too long is read and dropped.  1 done, 0 failed or too long (error 0).
int ReadSecretLine(HANDLE h, char* psz, size_t cb) {
    size_t n = 0;
    bool bLong = false;
    for (;;) {
        char c = 0;
        DWORD dwGot = 0;
        if (!ReadFile(h, &c, 1, &dwGot, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            SecureZeroMemory(psz, cb);
            return 0;
        }
        if (dwGot == 0 || c == '\n') break;
        if (n + 1 < cb) psz[n++] = c;
        else bLong = true;
    }
    if (n > 0 && psz[n - 1] == '\r') n--;
    psz[n] = 0;
    if (!bLong) return 1;
    SecureZeroMemory(psz, cb);
    SetLastError(0);
    return 0;
}

}  // namespace

int vx_plat_read_secret(const char* pszPrompt, char* psz, size_t cb) {
    if (cb == 0) return 0;
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    const bool bConsole = h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &dwMode);
    if (bConsole) {
        DWORD dwWritten = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), pszPrompt, static_cast<DWORD>(strlen(pszPrompt)),
                  &dwWritten, nullptr);
        SetConsoleMode(h, dwMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    const int ok = ReadSecretLine(h, psz, cb);
    const DWORD dwError = GetLastError();
    if (bConsole) {
        SetConsoleMode(h, dwMode);
        DWORD dwWritten = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &dwWritten, nullptr);
    }
    SetLastError(dwError);
    return ok;
}

int vx_plat_read_secret_file(const char* path, uint8_t* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    const bool bStdin = strcmp(path, "-") == 0;
    HANDLE h = bStdin ? GetStdHandle(STD_INPUT_HANDLE)
                      : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    size_t n = 0;
    int ok = 1;
    for (;;) {
        uint8_t c = 0;
        DWORD dwGot = 0;
        if (!ReadFile(h, n < cb ? p + n : &c, n < cb ? static_cast<DWORD>(cb - n) : 1, &dwGot,
                      nullptr)) {
            ok = GetLastError() == ERROR_BROKEN_PIPE;
            break;
        }
        if (dwGot == 0) break;
        if (n == cb) {
            ok = 0;
            SetLastError(0);
            break;
        }
        n += dwGot;
    }
    const DWORD dwError = GetLastError();
    if (!bStdin) CloseHandle(h);
    if (!ok) SecureZeroMemory(p, cb);
    SetLastError(ok ? 0 : dwError);
    *pcbRead = ok ? n : 0;
    return ok;
}

void vx_plat_wipe(void* p, size_t cb) { SecureZeroMemory(p, cb); }
