#include "base/vx_log.h"

#include <cstdarg>
#include <cstdlib>

#include "platform/platform.h"

FILE* VxErrorStream = nullptr;
uint64_t VxMessageCount = 0;
void (*VxBeforeMessage)() = nullptr;
FILE* (*VxHoldMessage)(int bWriteNow) = nullptr;
void (*VxMessageHeld)() = nullptr;

void log_release_held() {
    if (VxHoldMessage != nullptr) VxHoldMessage(1);
}

// The format comes from the callers, whose own format attribute checks it.
static int vlog_message(unsigned level, uint32_t dwError, const char* format, va_list args)
    VX_PRINTF(3, 0);

// The words that begin a diagnostic of each level; none for an unknown one.
struct LevelText {
    unsigned level;
    const char* pszName;
    const char* pszTail;  // after the " - ": what a fatal one adds
    bool bSystem;         // with the system's text and code of the last error
};
static const LevelText* FindLevel(unsigned level) {
    static constexpr LevelText kLevels[] = {
        {VX_WARNING_SYS, "WARNING", "", true},        {VX_WARNING, "WARNING", "", false},
        {VX_ERROR_SYS, "ERROR", "", true},            {VX_ERROR, "ERROR", "", false},
        {VX_FATAL_SYS, "FATAL", "Aborting - ", true}, {VX_FATAL, "FATAL", "Aborting - ", false},
    };
    for (const LevelText& t : kLevels)
        if (t.level == level) return &t;
    return nullptr;
}

// "\nWARNING - ", "\nERROR <text> (<code>) - ", ... into text: its length, or
// what snprintf gives when it does not fit.
static int FormatPrefix(char* text, size_t size, const LevelText* t, uint32_t dwError) {
    if (t->bSystem)
        return snprintf(text, size, "\n%s %s (%lu) - %s", t->pszName, vx_plat_error_text(dwError),
                        static_cast<unsigned long>(dwError), t->pszTail);
    return snprintf(text, size, "\n%s - %s", t->pszName, t->pszTail);
}

// The message of a warning or an error formatted in memory and written at
// once; 0 when it does not fit (nothing written then).
static bool WholeMessage(FILE* pErr, const LevelText* t, uint32_t dwError, const char* format,
                         va_list args) VX_PRINTF(4, 0);
static bool WholeMessage(FILE* pErr, const LevelText* t, uint32_t dwError, const char* format,
                         va_list args) {
    char text[2048];
    const int n = FormatPrefix(text, sizeof text, t, dwError);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return false;
    va_list copy;
    va_copy(copy, args);
    const int m = vsnprintf(text + n, sizeof text - static_cast<size_t>(n), format, copy);
    va_end(copy);
    if (m < 0 || static_cast<size_t>(n) + static_cast<size_t>(m) + 2 >= sizeof text) return false;
    size_t cb = static_cast<size_t>(n) + static_cast<size_t>(m);
    text[cb++] = '\n';
    text[cb++] = '\n';
    fwrite(text, 1, cb, pErr);
    fflush(pErr);
    return true;
}
static int vlog_message(unsigned level, uint32_t dwError, const char* format, va_list args) {
    VxMessageCount++;
    if (VxErrorStream == nullptr) VxErrorStream = stderr;
    const bool bEnds = level != VX_WARNING_SYS && level != VX_WARNING && level != VX_ERROR_SYS &&
                       level != VX_ERROR;
    FILE* pErr = VxHoldMessage != nullptr ? VxHoldMessage(bEnds ? 1 : 0) : nullptr;
    if (pErr == nullptr) {
        if (VxBeforeMessage != nullptr) VxBeforeMessage();
        // Report and trace written so far come before the diagnostic when
        // they share a destination.
        fflush(nullptr);
        pErr = VxErrorStream;
    }
    const LevelText* t = FindLevel(level);
    if (t == nullptr) {
        fprintf(pErr, "\nUNKNOWN ERROR %u - Aborting\n", level);
        exit(1);
    }
    // The whole message in one piece when it fits: the standard error stream
    // is unbuffered, and a write for each of its parts cost more than the
    // record that a volume full of warnings reports.  Anything else (a fatal
    // one, no format, a message too long) is written part by part.
    if (level != VX_FATAL_SYS && level != VX_FATAL && format != nullptr &&
        WholeMessage(pErr, t, dwError, format, args)) {
        if (pErr != VxErrorStream && VxMessageHeld != nullptr) VxMessageHeld();
        vx_check_outputs();
        return 0;
    }
    char prefix[2048];
    if (FormatPrefix(prefix, sizeof prefix, t, dwError) > 0) fputs(prefix, pErr);
    if (format == nullptr)
        fputs("UNDEFINED MESSAGE", pErr);
    else
        vfprintf(pErr, format, args);
    fputs("\n\n", pErr);
    fflush(pErr);
    if (pErr != VxErrorStream && VxMessageHeld != nullptr) VxMessageHeld();
    vx_check_outputs();
    // exit closes every stream, so what was written to the report is complete.
    if (level & 0x40) exit(1);
    return 0;
}

namespace {

struct WatchedOutput {
    FILE* pStream;
    const char* pszProgram;
    const char* pszKind;
    const char* pszName;
};
constexpr int kMaxWatched = 8;
WatchedOutput g_watched[kMaxWatched];
int g_bOutputFailed = 0;

// The fatal diagnostic of a stream that could not be written, with the
// system's reason dwError.  It goes where diagnostics go, unless that is the
// stream that failed: then to the standard error stream, and when that is
// the one, nowhere.
void OutputFailed(const WatchedOutput& w, uint32_t dwError) {
    g_bOutputFailed = 1;
    // What is still held behind the digests is not written out after the
    // failure: the report stops where it stopped.
    VxHoldMessage = nullptr;
    VxMessageHeld = nullptr;
    if (w.pStream == VxErrorStream) {
        if (w.pStream == stderr) exit(1);  // nowhere left to say it
        VxErrorStream = stderr;
    }
    vx_plat_set_last_error(dwError);
    if (w.pszName != nullptr)
        log_message(VX_FATAL_SYS, "%s: unable to write %s file %s", w.pszProgram, w.pszKind,
                    w.pszName);
    else
        log_message(VX_FATAL_SYS, "%s: unable to write %s", w.pszProgram, w.pszKind);
    exit(1);
}

}  // namespace

void vx_watch_output(FILE* pStream, const char* pszProgram, const char* pszKind,
                     const char* pszName) {
    for (WatchedOutput& w : g_watched)
        if (w.pStream == nullptr || w.pStream == pStream) {
            w = WatchedOutput{pStream, pszProgram, pszKind, pszName};
            return;
        }
}

void vx_check_outputs() {
    if (g_bOutputFailed) return;
    for (const WatchedOutput& w : g_watched) {
        uint32_t dwError = 0;
        if (w.pStream != nullptr && vx_plat_output_failed(w.pStream, &dwError))
            OutputFailed(w, dwError);
    }
}

void vx_close_output(FILE* pStream) {
    for (WatchedOutput& w : g_watched) {
        if (w.pStream != pStream) continue;
        const WatchedOutput closed = w;
        w = WatchedOutput{};
        if (pStream == stdout || pStream == stderr) {
            fflush(pStream);
            uint32_t dwError = 0;
            if (!g_bOutputFailed && vx_plat_output_failed(pStream, &dwError))
                OutputFailed(closed, dwError);
            return;
        }
        if (pStream == VxErrorStream) VxErrorStream = stderr;
        if (!vx_plat_close_output(pStream) && !g_bOutputFailed) {
            WatchedOutput gone = closed;
            gone.pStream = nullptr;  // closed: the diagnostic goes elsewhere
            OutputFailed(gone, vx_plat_last_error());
        }
        return;
    }
    if (pStream != stdout && pStream != stderr) fclose(pStream);
}

int log_message(unsigned level, const char* format, ...) {
    // Taken first: flushing the streams may disturb the last error.
    uint32_t dwError = vx_plat_last_error();
    va_list args;
    va_start(args, format);
    int r = vlog_message(level, dwError, format, args);
    va_end(args);
    return r;
}

// The byte count of a wrapper call, or false when count × size needs more than 32 bits.
static bool ByteCount(uint64_t count, uint64_t size, size_t* pBytes) {
    if (size != 0 && count > UINT32_MAX / size) return false;
    *pBytes = static_cast<size_t>(count * size);
    return true;
}

void* vx_calloc(uint64_t count, uint64_t size, unsigned level, const char* format, ...) {
    size_t bytes = 0;
    void* p = nullptr;
    if (ByteCount(count, size, &bytes))
        p = vx_plat_heap_alloc(bytes);
    else
        vx_plat_set_last_error(vx_plat_error_no_memory());
    if (p == nullptr) {
        uint32_t dwError = vx_plat_last_error();
        va_list args;
        va_start(args, format);
        vlog_message(level, dwError, format, args);
        va_end(args);
    }
    return p;
}

void* vx_realloc(void* block, uint64_t count, uint64_t size, unsigned level, const char* format,
                 ...) {
    size_t bytes = 0;
    void* p = nullptr;
    if (ByteCount(count, size, &bytes))
        p = vx_plat_heap_realloc(block, bytes);
    else
        vx_plat_set_last_error(vx_plat_error_no_memory());
    if (p == nullptr) {
        uint32_t dwError = vx_plat_last_error();
        va_list args;
        va_start(args, format);
        vlog_message(level, dwError, format, args);
        va_end(args);
    }
    return p;
}

int vx_free(void* block, unsigned level, const char* format, ...) {
    if (vx_plat_heap_free(block)) return 1;
    uint32_t dwError = vx_plat_last_error();
    va_list args;
    va_start(args, format);
    int r = vlog_message(level, dwError, format, args);
    va_end(args);
    return r;
}
