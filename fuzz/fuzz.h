// Fuzz targets: every decoder of volscan fed with bytes that no file system
// wrote.  Each target takes one input, builds the little context its decoder
// needs (a Volume over memory, an Entry, a stream), runs the decoder the way
// the tool runs it, and releases everything again, so that thousands of
// inputs can follow one another in one process.
//
// The same targets serve two drivers: libFuzzer (fuzz/libfuzzer_main.cpp,
// built with clang) and volscan_fuzz (fuzz/driver.cpp), which mutates seeds
// from the committed images with a fixed seed, so that a test run is the same
// on every machine.
//
// A target returns nothing of interest: what it checks, it checks with
// FuzzCheck, which reports the input and aborts.  The sanitizers do the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

typedef void (*FuzzFunction)(const uint8_t* pData, size_t size);

struct FuzzTarget {
    const char* pszName;
    FuzzFunction pfnRun;
    const char* pszWhat;  // one line for --list
};

// Every target, in a fixed order.
extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;
const FuzzTarget* FindFuzzTarget(const char* pszName);

// Seeds of a target: inputs taken from the committed images (records, boot
// sectors, $SDS entries, descriptors...), made the way the target reads them.
std::vector<std::vector<uint8_t>> FuzzSeeds(const char* pszName);

// ------------------------------------------------------------- the setting

// Once per process: the locale, the error and trace streams (a sink, or the
// standard error stream when VOLSCAN_FUZZ_VERBOSE is set), the source folder.
void FuzzSetUp();
// The stream every report, trace and diagnostic of a target goes to.
FILE* FuzzSink();
// Where the committed images are ("<source>/tests/images").
std::string FuzzImageDir();
std::vector<uint8_t> FuzzReadFile(const std::string& path);

// The target and input being run, for the messages of a crash or an exit
// inside the tool.
void FuzzBeginCase(const char* pszTarget, const uint8_t* pData, size_t size);
void FuzzEndCase();

// Stops the process with a message and the input when `ok` is false.
#define FuzzCheck(ok, what) FuzzCheckAt((ok), (what), __FILE__, __LINE__)
void FuzzCheckAt(bool ok, const char* pszWhat, const char* pszFile, int line);

// Little-endian fields of an input, 0 past its end.
struct FuzzReader {
    const uint8_t* p;
    size_t size;
    size_t pos = 0;
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    uint64_t U64();
    size_t Left() const { return pos < size ? size - pos : 0; }
    // Up to `n` bytes from the current position (fewer at the end).
    std::vector<uint8_t> Bytes(size_t n);
};

// ------------------------------------------------- bytes the tool must not write

// A block of memory that is read-only while the tool reads it: a write from
// anywhere in the process stops it with a fault, which is how the fuzzers
// hold the tool to never writing to a volume.
struct ReadOnlyImage {
    uint8_t* pData = nullptr;
    size_t cbData = 0;    // bytes in use
    size_t cbMapped = 0;  // whole pages
    bool Allocate(size_t size);
    void Protect();   // read-only
    void Unprotect(); // writable again (for the next mutation)
    void Release();
};
