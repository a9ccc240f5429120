// The setting shared by every fuzz target: streams, the case being run and
// what is said when it goes wrong, input readers, read-only images.
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz/fuzz.h"
#include "fuzz/fuzz_images.h"
#include "base/vx_log.h"
#include "text/vx_locale.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOLSCAN_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VOLSCAN_FUZZ_ASAN 1
#endif
#ifdef VOLSCAN_FUZZ_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

FILE* g_pSink = nullptr;

struct CurrentCase {
    const char* pszTarget = nullptr;
    const uint8_t* pData = nullptr;
    size_t size = 0;
    bool bActive = false;
};
CurrentCase g_case;

// Says which input was being run and keeps it in a file, so that the case
// can be replayed with `volscan_fuzz TARGET FILE`.
void ReportCase(const char* pszWhy) {
    if (!g_case.bActive) return;
    char name[256];
    snprintf(name, sizeof name, "volscan-fuzz-%s-failure.bin", g_case.pszTarget);
    fprintf(stderr, "\nvolscan_fuzz: %s in target '%s', input of %zu bytes kept in %s\n", pszWhy,
            g_case.pszTarget, g_case.size, name);
    FILE* f = fopen(name, "wb");
    if (f != nullptr) {
        fwrite(g_case.pData, 1, g_case.size, f);
        fclose(f);
    }
    g_case.bActive = false;
}

// A fatal diagnostic of the tool ends the process with exit(1): on a volume
// that is only damaged, that is a fault too.
void AtExit() { ReportCase("exit inside the tool (a fatal diagnostic?)"); }

#ifdef VOLSCAN_FUZZ_ASAN
void OnSanitizerDeath() { ReportCase("sanitizer report"); }
#else
void OnSignal(int sig) {
    ReportCase(sig == SIGSEGV || sig == SIGBUS ? "memory fault (a write to the volume image?)"
                                               : "signal");
    signal(sig, SIG_DFL);
    raise(sig);
}
#endif

}  // namespace

void FuzzSetUp() {
    static bool bDone = false;
    if (bDone) return;
    bDone = true;
    vx_setlocale("C");
    set_wc_output_function(1);
    const char* pszVerbose = getenv("VOLSCAN_FUZZ_VERBOSE");
    g_pSink = pszVerbose != nullptr && *pszVerbose != 0 ? stderr : fopen("/dev/null", "w");
    if (g_pSink == nullptr) g_pSink = stderr;
    VxErrorStream = g_pSink;
    atexit(AtExit);
#ifdef VOLSCAN_FUZZ_ASAN
    __sanitizer_set_death_callback(OnSanitizerDeath);
#else
    signal(SIGSEGV, OnSignal);
    signal(SIGBUS, OnSignal);
    signal(SIGABRT, OnSignal);
    signal(SIGFPE, OnSignal);
#endif
    // Loading reads each image through a Volume of its own, which takes the
    // module buffers of diskio: never while a target has a Volume open.
    FuzzImages();
}

FILE* FuzzSink() { return g_pSink != nullptr ? g_pSink : stderr; }

std::string FuzzImageDir() {
    const char* pszDir = getenv("VOLSCAN_FUZZ_IMAGES");
    if (pszDir != nullptr && *pszDir != 0) return pszDir;
    return std::string(VOLSCAN_SOURCE_DIR) + "/tests/images";
}

std::vector<uint8_t> FuzzReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

void FuzzBeginCase(const char* pszTarget, const uint8_t* pData, size_t size) {
    g_case.pszTarget = pszTarget;
    g_case.pData = pData;
    g_case.size = size;
    g_case.bActive = true;
}

void FuzzEndCase() { g_case.bActive = false; }

void FuzzCheckAt(bool ok, const char* pszWhat, const char* pszFile, int line) {
    if (ok) return;
    fprintf(stderr, "\nvolscan_fuzz: check failed at %s:%d: %s\n", pszFile, line, pszWhat);
    ReportCase("failed check");
    abort();
}

// ----------------------------------------------------------------- reader

uint8_t FuzzReader::U8() { return pos < size ? p[pos++] : (pos++, 0); }

uint16_t FuzzReader::U16() {
    uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
}

uint32_t FuzzReader::U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
}

uint64_t FuzzReader::U64() {
    uint64_t lo = U32();
    return lo | (static_cast<uint64_t>(U32()) << 32);
}

std::vector<uint8_t> FuzzReader::Bytes(size_t n) {
    size_t take = n < Left() ? n : Left();
    std::vector<uint8_t> out(p + pos, p + pos + take);
    pos += n;
    return out;
}

// ------------------------------------------------------- read-only images

bool ReadOnlyImage::Allocate(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    cbData = size;
    cbMapped = (size + page - 1) / page * page;
    if (cbMapped == 0) cbMapped = page;
    void* p = mmap(nullptr, cbMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        pData = nullptr;
        return false;
    }
    pData = static_cast<uint8_t*>(p);
    return true;
}

void ReadOnlyImage::Protect() {
    FuzzCheck(mprotect(pData, cbMapped, PROT_READ) == 0, "mprotect read-only");
}

void ReadOnlyImage::Unprotect() {
    FuzzCheck(mprotect(pData, cbMapped, PROT_READ | PROT_WRITE) == 0, "mprotect writable");
}

void ReadOnlyImage::Release() {
    if (pData != nullptr) munmap(pData, cbMapped);
    pData = nullptr;
    cbData = cbMapped = 0;
}
