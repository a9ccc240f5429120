// Diagnostics and allocation wrappers used by every module.
//
// Every warning, error and fatal message goes through log_message, in one
// frame; every allocation through VX_CALLOC, VX_REALLOC and VX_FREE, whose
// failure is reported with a message naming the object concerned.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>

// Levels: high nibble the class, low nibble 1 when the last system error is shown.
enum : unsigned {
    VX_WARNING_SYS = 0x11,
    VX_WARNING = 0x12,
    VX_ERROR_SYS = 0x21,
    VX_ERROR = 0x22,
    VX_FATAL_SYS = 0x41,
    VX_FATAL = 0x42,
};

// Statuses of every record-level and report operation.
enum : int { VX_OK = 0, VX_FATAL_STATUS = 1, VX_FAILED = 2 };

// The first three arguments of every "%s %s() l.%d: " format: module, function, line.
// Each source file defines VX_MODULE before using it.
#define VX_WHERE VX_MODULE, __func__, __LINE__

// The error stream: none until the run driver sets it; stderr is then taken.
extern FILE* VxErrorStream;
// Called before every diagnostic is written, when set: the run driver's
// progress line takes itself off the terminal there, so that diagnostics
// read as they do without it.
extern void (*VxBeforeMessage)();

#if defined(__GNUC__)
#define VX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VX_PRINTF(f, a)
#endif

int log_message(unsigned level, const char* format, ...) VX_PRINTF(2, 3);
// Messages written so far, so that a caller can tell whether an operation
// wrote any (the path memo keeps only walks that did not).
extern uint64_t VxMessageCount;
// While the report is held back as digests are made (-m on several
// threads), diagnostics are held in order with it: VxHoldMessage gives the
// stream to write one to in place of the error stream, and VxMessageHeld is
// called once it is written there.  With bWriteNow (a diagnostic that ends
// the run, or text written to stderr without one), everything held is
// written out first and none is returned: the diagnostic is written now.
extern FILE* (*VxHoldMessage)(int bWriteNow);
extern void (*VxMessageHeld)();
// Writes out what is held before text that goes to stderr directly.
void log_release_held();

// The run's output streams (the report, the -u, -d and -x files, the
// standard streams), whose writes are checked: a failed write ends the run
// with one fatal diagnostic naming the stream and the system's reason (no
// space left, an I/O error, a quota), status 1, and nothing more written to
// it.  pszName none: the kind is the whole name ("the standard output").
void vx_watch_output(FILE* pStream, const char* pszProgram, const char* pszKind,
                     const char* pszName);
// Ends the run as above when a write to a watched stream failed.  Cheap:
// called after every record.
void vx_check_outputs();
// Closes a watched stream (the standard streams are only flushed), ending
// the run as above when its last bytes or its close fail.
void vx_close_output(FILE* pStream);

// count × size bytes, zero-filled; none on failure after the diagnostic.
// A product that does not fit in 32 bits fails like an exhausted heap.
void* vx_calloc(uint64_t count, uint64_t size, unsigned level, const char* format, ...)
    VX_PRINTF(4, 5);
void* vx_realloc(void* block, uint64_t count, uint64_t size, unsigned level, const char* format,
                 ...) VX_PRINTF(5, 6);
int vx_free(void* block, unsigned level, const char* format, ...) VX_PRINTF(3, 4);

// Arrays grow by their module's fixed step; past 64 steps they double
// instead, so that a count a damaged volume makes huge costs copying in
// proportion to the count, not to its square.  vx_grows: an array of
// `count` elements (step multiples below the threshold, then the doublings
// of it) is full; vx_grown: the element count to grow it to.
inline bool vx_grows(uint64_t count, uint64_t step) {
    const uint64_t threshold = 64 * step;
    if (count < threshold) return count % step == 0;
    if (count % threshold != 0) return false;
    const uint64_t times = count / threshold;
    return (times & (times - 1)) == 0;
}
inline uint64_t vx_grown(uint64_t count, uint64_t step) {
    return count < 64 * step ? count + step : 2 * count;
}

#define VX_CALLOC(...) vx_calloc(__VA_ARGS__)
#define VX_REALLOC(...) vx_realloc(__VA_ARGS__)
#define VX_FREE(...) vx_free(__VA_ARGS__)

// 64-bit formats of the messages ("%I64u", "%I64x" on the tool's home platform).
#define VX_U64 "%" PRIu64
#define VX_X64 "%" PRIx64
