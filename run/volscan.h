// The command line and the run driver.
#pragma once

#include <cstdint>
#include <cstdio>

struct RunOptions {
    int lineMode;        // -v turns it off
    int bMd5;            // -m
    int bErasedOnly;     // -e
    int bNoSequenceCheck;  // -n
    int bSingleIndex;    // -i
    uint64_t ullIndex;
    int bDumpRecords;    // -D
    int bLocaleOutput;   // -8 turns it off
    const char* pszOutputFile;  // -o
    const char* pszUserFile;    // -u
    const char* pszDebugFile;   // -d
    const char* pszErrorFile;   // -x
    const char* pszSourceFile;  // -f: device or image file read in place of the drive
    uint64_t ullSourceOffset;   // --offset
    int format;                 // --format: a ReportFormat
    int bDeviceStats;           // --device-stats (benchmarks; not in the help)
    int progressMode;           // --progress 1, --no-progress 0, -1: when stderr is a terminal
    unsigned dwThreads;         // --threads: threads hashing for -m (1: the main thread)
};

// Reads -i and --offset values: decimal, 0x hexadecimal or 0 octal; the
// first character that is not a digit of the base ends the number.
uint64_t ParseIndex(const char* text);

void PrintUsage(const char* program);
void PrintHelp(const char* program);
// The column-title line of line mode.
extern const char kColumnTitles[];

// Creates a new file for writing; none (after a message on stderr) when it
// exists or cannot be created.
FILE* CreateOutputFile(const char* path);

struct Volume;
struct Entry;
// Reads and reports every record number from the -i value (or 0) while it
// lies inside the $MFT data of the open volume, through the one Entry
// (*ppEntry, made by the first read; the caller frees it); the status is
// that of the last record.
int WalkRecords(Volume* pVol, const RunOptions* pOpt, FILE* pOut, Entry** ppEntry);

// The whole run; returns the exit status.
int RunVolscan(int argc, char** argv);
