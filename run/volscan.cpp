#include "run/volscan.h"
#include "run/progress.h"

#include <getopt.h>

#include <cctype>
#include <cstring>

#include "diskio/diskio.h"
#include "platform/platform.h"
#include "report/digest_pool.h"
#include "report/formats.h"
#include "report/info.h"
#include "report/zero_chain.h"
#include "report/sysheader.h"
#include "base/vx_log.h"
#include "security/sd_dump.h"
#include "security/winsid.h"
#include "run/bitlocker.h"
#include "run/source.h"
#include "text/vx_locale.h"

#define VX_MODULE "volscan"

const char kColumnTitles[] =
    "MFT Index|FileName|MD5|# Links|Size|Attributes|Creation|Last Write|Attribute "
    "Modification|Last Access|# Data Streams|Owner|Group|# DACE|# SACE|[SID DACE|Rights|...][SID "
    "SACE|Audits|...][Data Stream Name|Size|...]\n";

// The package version of the help text and of the run header, empty as it
// has always been there; --version gives the project's version.
static const char kPackageVersion[] = "";
#ifndef VOLSCAN_VERSION
#define VOLSCAN_VERSION "unknown"
#endif

uint64_t ParseIndex(const char* text) {
    uint64_t value = 0;
    unsigned base = 10;
    const char* p = text;
    if (*p == '0') {
        p++;
        if (*p == 'x') {
            p++;
            base = 16;
        } else {
            base = 8;
        }
    }
    for (;; p++) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');  // 8 and 9 count in octal too
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            break;
        value = value * base + digit;
    }
    return value;
}

void PrintUsage(const char* program) {
    fprintf(stderr,
            "Usage: %s [-v][-m][-h][-e][-n][-i MFT_index][-u user_file][-D][-d debug_file][-x "
            "error_file][-o output_file][-8] drive_letter\n",
            program);
}

void PrintHelp(const char* program) {
    fprintf(stderr, "%s: Dump NTFS files informations\n\n", program);
    PrintUsage(program);
    fprintf(stderr, "\nPackage version: %s\n", kPackageVersion);
    fputs("\n-h : help\n"
          "-v : verbose mode\n"
          "-m : process md5 hash of the data streams (regular and alternates)\n"
          "-e : process only erased files\n"
          "-n : do not check parent directory sequence number\n"
          "-i : output a single record given its index\n"
          "     this option override the -e option\n"
          "-u : create a table to convert in human readable format SID\n"
          "-d, -D : debug mode, -D dump each MFT record read\n"
          "-x : output error to file instead of stderr\n"
          "-o : results sent to file instead of stdout\n"
          "-8 : output non-ascii characters using UTF-8\n"
          "-f, --file : read the volume from this device or image file instead of the drive\n"
          "--offset : offset of the volume inside the -f file, in bytes or in sectors (128s)\n"
          "--list-partitions, --partition=N : the partitions of the -f disk, the one to read\n"
          "--list-snapshots, --snapshot=N : the volume's shadow copies, the one to read\n"
          "--snapshot=all : the volume's report, then each shadow copy's after a line naming it\n"
          "--sds : the copy of $Secure:$SDS beside the -f copy of $MFT (else looked for there)\n"
          "--format : report format: line (the default), csv, jsonl or bodyfile\n"
          "--threads : threads hashing the files' data streams for -m (default: the cores;\n"
          "     1: one file after the other on the main thread)\n"
          "--password, --recovery-password, --startup-key=FILE : unlock a BitLocker volume\n"
          "     (the value - reads the secret from the terminal or the standard input)\n"
          "\nOutput format :\n",
          stderr);
    fputs(kColumnTitles, stderr);
    fputs("\nAll times are UTC according to local computer.\n"
          "\n  File Attributes :\n"
          "    Ro : Read-Only, Hi : Hidden, Sy : System, Di : Directory, Ar : Archive,\n"
          "    En : Encrypted, No : Normal, Te : Temporary, Sp : Sparse file,\n"
          "    Re : Reparse point, Co : Compressed, Of : Offline, Ni : Not content indexed\n",
          stderr);
    PrintLegend(stderr);
}

FILE* CreateOutputFile(const char* path) {
    int bExists = 0;
    FILE* pFile = vx_plat_create_new_file(path, &bExists);
    if (pFile == nullptr) {
        if (bExists)
            fprintf(stderr, "%s already exists\n", path);
        else
            fprintf(stderr, "Can't create %s\n", path);
    }
    return pFile;
}

namespace {

enum {
    OPT_OFFSET = 0x100,
    OPT_DEVICE_STATS,
    OPT_FORMAT,
    OPT_VERSION,
    OPT_PROGRESS,
    OPT_NO_PROGRESS,
    OPT_PARTITION,
    OPT_LIST_PARTITIONS,
    OPT_SNAPSHOT,
    OPT_LIST_SNAPSHOTS,
    OPT_THREADS,
    OPT_SDS,
    OPT_PASSWORD,
    OPT_RECOVERY_PASSWORD,
    OPT_STARTUP_KEY,
};

const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, 'v'},
    {"erased-only", no_argument, nullptr, 'e'},
    {"no-sequence-check", no_argument, nullptr, 'n'},
    {"md5", no_argument, nullptr, 'm'},
    {"Dump", no_argument, nullptr, 'D'},
    {"utf8", no_argument, nullptr, '8'},
    {"index", required_argument, nullptr, 'i'},
    {"user", required_argument, nullptr, 'u'},
    {"debug", required_argument, nullptr, 'd'},
    {"error-output", required_argument, nullptr, 'x'},
    {"output", required_argument, nullptr, 'o'},
    {"file", required_argument, nullptr, 'f'},
    {"offset", required_argument, nullptr, OPT_OFFSET},
    {"format", required_argument, nullptr, OPT_FORMAT},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"progress", no_argument, nullptr, OPT_PROGRESS},
    {"no-progress", no_argument, nullptr, OPT_NO_PROGRESS},
    {"partition", required_argument, nullptr, OPT_PARTITION},
    {"list-partitions", no_argument, nullptr, OPT_LIST_PARTITIONS},
    {"snapshot", required_argument, nullptr, OPT_SNAPSHOT},
    {"list-snapshots", no_argument, nullptr, OPT_LIST_SNAPSHOTS},
    {"threads", required_argument, nullptr, OPT_THREADS},
    {"sds", required_argument, nullptr, OPT_SDS},
    {"password", required_argument, nullptr, OPT_PASSWORD},
    {"recovery-password", required_argument, nullptr, OPT_RECOVERY_PASSWORD},
    {"startup-key", required_argument, nullptr, OPT_STARTUP_KEY},
    // For the benchmark: the device's read counters on the standard error
    // stream at the end of the run.  Left out of the help on purpose.
    {"device-stats", no_argument, nullptr, OPT_DEVICE_STATS},
    {nullptr, 0, nullptr, 0},
};

// The streams of one run.
struct RunStreams {
    FILE* pOutput;
    FILE* pUser;
    FILE* pDebug;
    FILE* pError;
    char* pOutputBuffer;  // the -o file's buffer, freed once it is closed
};

// The report is written in blocks of this size.  The C library takes the
// size only with a buffer given to it (glibc otherwise keeps its own 4 KiB
// one): the standard output's is this one, for the whole process, since the
// stream may be written after the run.
constexpr size_t kOutputBufferBytes = 1u << 20;
char g_stdoutBuffer[kOutputBufferBytes];

// Closes the run's streams, the error file last, so that a report, user or
// debug file whose last bytes cannot be written is still diagnosed there.
void CloseRunStreams(RunStreams* pStreams) {
    FILE* files[] = {pStreams->pOutput, pStreams->pUser, pStreams->pDebug, pStreams->pError,
                     stderr};
    for (FILE* f : files)
        if (f != nullptr) vx_close_output(f);
    if (pStreams->pOutputBuffer != nullptr)
        VX_FREE(pStreams->pOutputBuffer, VX_FATAL_SYS, "%s %s l. %d: VX_FREE pOutputBuffer",
                VX_WHERE);
    pStreams->pOutputBuffer = nullptr;
    fflush(stdout);
    fflush(stderr);
}

// The record the walk would have read next, and whether the run was told
// it was interrupted.
uint64_t g_ullNextRecord = 0;
int g_bInterruptTold = 0;

// One diagnostic says that a signal stopped the run and where the report
// stops; the report's lines before that record are all there, each as a
// whole run writes it.
void TellInterrupted(uint64_t ullStopAt, int bAllRecords) {
    if (g_bInterruptTold) return;
    g_bInterruptTold = 1;
    const char* pszSignal = vx_plat_interrupt_name(vx_plat_interrupted());
    if (bAllRecords)
        log_message(VX_ERROR, "%s %s() l.%d: interrupted by %s after the last record", VX_WHERE,
                    pszSignal);
    else
        log_message(VX_ERROR,
                    "%s %s() l.%d: interrupted by %s: the report stops before record #" VX_U64,
                    VX_WHERE, pszSignal, ullStopAt);
}

// Creates one named file of the run, or ends it.
FILE* CreateRunFile(const char* program, const char* kind, const char* path) {
    FILE* pFile = CreateOutputFile(path);
    if (pFile == nullptr)
        log_message(VX_FATAL, "%s: unable to create %s file %s", program, kind, path);
    return pFile;
}

// True when the record past the last one read still begins inside the
// $MFT data: n × record size below the limit, without the product wrapping.
bool RecordInside(uint64_t n, uint32_t dwRecordSize, uint64_t ullLimit) {
    return ullLimit != 0 && n <= (ullLimit - 1) / dwRecordSize;
}

// Reports the Entry just read, unless only erased files are wanted and it
// is in use.
int ReportRecord(FILE* pOut, Entry* pEntry, const RunOptions* pOpt, int s) {
    pOut = DigestPoolNextRecord(pOut);
    if (s != VX_OK || (pOpt->bErasedOnly && pEntry->wLinkCount != 0)) return s;
    if (pOpt->format != kFormatLine) return DumpFileFormatted(pOut, pEntry, pOpt->bMd5, pOpt->format);
    return DumpFileInfo(pOut, pEntry, pOpt->bMd5, pOpt->lineMode);
}

// The progress line, unless asked for or against: when the standard error
// stream is a terminal, the report goes to a file and the -D dumps do not go
// to the terminal too.
bool ShowProgress(const RunOptions* pOpt) {
    if (pOpt->progressMode >= 0) return pOpt->progressMode == 1;
    return pOpt->pszOutputFile != nullptr && vx_plat_is_terminal(stderr) &&
           !(pOpt->bDumpRecords && pOpt->pszDebugFile == nullptr);
}

// Reports the open volume: the column titles, then every record.
int ReportVolume(Volume* pVol, const RunOptions* pOpt, FILE* pOut) {
    if (pOpt->lineMode && pOpt->format == kFormatLine) fputs(kColumnTitles, pOut);
    if (ShowProgress(pOpt)) {
        const uint64_t ullLimit = MftWalkLimit(pVol);
        ProgressStart(stderr, ullLimit == 0 ? 0 : (ullLimit - 1) / pVol->MftRecordSize + 1,
                      pOpt->bMd5);
    }
    // The hashing threads keep no trace: with one, every digest is made in
    // line, so the trace lines stay where they were.  The other formats hash
    // each file before writing its line, on this thread.
    if (pOpt->bMd5 && !pOpt->bSingleIndex && DiskioDebugStream == nullptr &&
        pOpt->format == kFormatLine)
        DigestPoolStart(pVol, pOut, pOpt->dwThreads);
    Entry* pEntry = nullptr;
    int s = WalkRecords(pVol, pOpt, pOut, &pEntry);
    uint64_t ullCut = UINT64_MAX;
    if (DigestPoolStop(&ullCut) && s == VX_OK) s = VX_FAILED;
    if (vx_plat_interrupted() != 0) {
        const uint64_t ullLimit = MftWalkLimit(pVol);
        const bool bAll = ullCut == UINT64_MAX &&
                          (pOpt->bSingleIndex ||
                           !RecordInside(g_ullNextRecord, pVol->MftRecordSize, ullLimit));
        TellInterrupted(ullCut < g_ullNextRecord ? ullCut : g_ullNextRecord, bAll);
    }
    ProgressEnd();
    if (CopyCutShort(pVol) && s == VX_OK) s = VX_FAILED;
    const uint64_t ullLeftOut = InfoDigestsLeftOut.exchange(0);
    if (ullLeftOut > 0)
        log_message(VX_WARNING,
                    "%s %s() l.%d: " VX_U64 " files with data outside the copy of $MFT (not "
                    "resident): their MD5 fields are empty - File : %s",
                    VX_WHERE, ullLeftOut, pVol->pszMftCopy);
    FreeEntry(pEntry);
    return s;
}

// --device-stats, then the volume closed; the status of the close.
int CloseReportedVolume(Volume* pVol, const RunOptions* pOpt) {
    if (pOpt->bDeviceStats && pVol->hVolume != nullptr) {
        VxDeviceStats stats{};
        vx_plat_device_stats(pVol->hVolume, &stats);
        fprintf(stderr, "device reads: " VX_U64 ", bytes: " VX_U64 "\n", stats.ullReads,
                stats.ullBytes);
        // What the digests hashed, and the leading zeros they took from the
        // table rather than hash: the largest is the floor of -m on any cores.
        if (pOpt->bMd5)
            fprintf(stderr,
                    "digest bytes: hashed " VX_U64 ", largest digest " VX_U64
                    ", leading zeros skipped " VX_U64 "\n",
                    InfoHashedBytes.load(), InfoLargestDigest.load(),
                    InfoSkippedZeroBytes.load());
    }
    return CloseVolume(pVol);
}

}  // namespace

int WalkRecords(Volume* pVol, const RunOptions* pOpt, FILE* pOut, Entry** ppEntry) {
    const uint64_t ullLimit = MftWalkLimit(pVol);
    uint64_t n = pOpt->bSingleIndex ? pOpt->ullIndex : 0;
    // The first record is always tried, even with -i beyond the end.
    int s = InitEntry(pVol, ppEntry, n, pOpt->bErasedOnly);
    s = ReportRecord(pOut, *ppEntry, pOpt, s);
    vx_check_outputs();
    n++;
    // A signal stops the walk between two records: the report then ends
    // with a whole record.
    while (RecordInside(n, pVol->MftRecordSize, ullLimit) && !pOpt->bSingleIndex &&
           vx_plat_interrupted() == 0) {
        ProgressUpdate(n);
        RecycleEntry(*ppEntry);
        s = ReadEntry(*ppEntry, n, pOpt->bErasedOnly);
        s = ReportRecord(pOut, *ppEntry, pOpt, s);
        vx_check_outputs();
        n++;
    }
    g_ullNextRecord = n;
    return s;
}

int RunVolscan(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "volscan";
    VxErrorStream = stderr;
    RunOptions opt{};
    opt.lineMode = 1;
    opt.bLocaleOutput = 1;
    opt.progressMode = -1;
    RunStreams streams{stdout, nullptr, nullptr, nullptr, nullptr};
    SourceRequest source{};
    SnapshotRequest snapshot{};
    BitLockerRequest bitlocker{};

    vx_setlocale("");

    // 0 makes getopt start afresh, also after a run that stopped inside a
    // group of options.
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, "hvenmD8i:u:d:x:o:f:", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'h':
                PrintHelp(program);
                fflush(stderr);
                return 0;
            case 'v': opt.lineMode = 0; break;
            case 'e': opt.bErasedOnly = 1; break;
            case 'n': opt.bNoSequenceCheck = 1; break;
            case 'm': opt.bMd5 = 1; break;
            case 'D': opt.bDumpRecords = 1; break;
            case '8': opt.bLocaleOutput = 0; break;
            case 'i':
                opt.bSingleIndex = 1;
                opt.ullIndex = ParseIndex(optarg);
                break;
            case 'u': opt.pszUserFile = optarg; break;
            case 'd': opt.pszDebugFile = optarg; break;
            case 'x': opt.pszErrorFile = optarg; break;
            case 'o': opt.pszOutputFile = optarg; break;
            case 'f': opt.pszSourceFile = optarg; break;
            case OPT_OFFSET:
                source.bOffset = 1;
                source.pszOffsetText = optarg;
                if (!ParseOffset(optarg, &source.ullOffset, &source.bOffsetSectors)) {
                    PrintUsage(program);
                    log_message(VX_FATAL,
                                "%s : --offset=%s is not a number of bytes (65536, 0x10000) or "
                                "of sectors (128s)",
                                program, optarg);
                }
                opt.ullSourceOffset = source.ullOffset;
                break;
            case OPT_PARTITION: {
                uint64_t ullNumber = 0;
                int bSectors = 0;
                if (!ParseOffset(optarg, &ullNumber, &bSectors) || bSectors || ullNumber == 0 ||
                    ullNumber > 0xFFFFFFFFu) {
                    PrintUsage(program);
                    log_message(VX_FATAL,
                                "%s : --partition=%s is not a partition number (1, 2, ...)",
                                program, optarg);
                }
                source.dwPartition = static_cast<uint32_t>(ullNumber);
                break;
            }
            case OPT_LIST_PARTITIONS: source.bListPartitions = 1; break;
            case OPT_SDS: source.pszSdsPath = optarg; break;
            case OPT_SNAPSHOT:
                if (!ParseSnapshot(optarg, &snapshot)) {
                    PrintUsage(program);
                    log_message(VX_FATAL,
                                "%s : --snapshot=%s is not a snapshot number (1, 2, ...) or all",
                                program, optarg);
                }
                break;
            case OPT_LIST_SNAPSHOTS: snapshot.bList = 1; break;
            case OPT_PASSWORD: TakeBitLockerOption(&bitlocker, BDE_PASSWORD, optarg); break;
            case OPT_RECOVERY_PASSWORD:
                TakeBitLockerOption(&bitlocker, BDE_RECOVERY_PASSWORD, optarg);
                break;
            case OPT_STARTUP_KEY: TakeBitLockerOption(&bitlocker, BDE_STARTUP_KEY, optarg); break;
            case OPT_DEVICE_STATS: opt.bDeviceStats = 1; break;
            case OPT_FORMAT:
                opt.format = ParseReportFormat(optarg);
                if (opt.format < 0) {
                    log_message(VX_ERROR, "%s : unknown format %s", program, optarg);
                    PrintUsage(program);
                    fflush(stderr);
                    return 1;
                }
                break;
            case OPT_VERSION:
                printf("volscan %s\n", VOLSCAN_VERSION);
                fflush(stdout);
                return 0;
            case OPT_PROGRESS: opt.progressMode = 1; break;
            case OPT_NO_PROGRESS: opt.progressMode = 0; break;
            case OPT_THREADS: {
                const uint64_t ullThreads = ParseIndex(optarg);
                if (ullThreads < 1 || ullThreads > 256) {
                    PrintUsage(program);
                    fflush(stderr);
                    return 1;
                }
                opt.dwThreads = static_cast<unsigned>(ullThreads);
                break;
            }
            default:
                PrintUsage(program);
                fflush(stderr);
                return 1;
        }
    }
    if (opt.bSingleIndex) opt.bErasedOnly = 0;
    if (opt.dwThreads == 0) opt.dwThreads = vx_plat_cpu_count();
    if (opt.format != kFormatLine && !opt.lineMode) {
        log_message(VX_ERROR, "%s : -v writes the line format only", program);
        PrintUsage(program);
        fflush(stderr);
        return 1;
    }

    if (source.bOffset && source.dwPartition != 0) {
        PrintUsage(program);
        log_message(VX_FATAL, "%s : --offset and --partition name the volume twice", program);
    }
    if ((source.dwPartition != 0 || source.bListPartitions) && opt.pszSourceFile == nullptr) {
        PrintUsage(program);
        log_message(VX_FATAL, "%s : --partition and --list-partitions read the -f disk", program);
    }
    if (source.pszSdsPath != nullptr && opt.pszSourceFile == nullptr) {
        PrintUsage(program);
        log_message(VX_FATAL, "%s : --sds is read with the copy of $MFT that -f names", program);
    }
    const bool bSnapshots = snapshot.bList || snapshot.bAll || snapshot.dwNumber != 0;
    if (snapshot.bList + snapshot.bAll + (snapshot.dwNumber != 0 ? 1 : 0) > 1 ||
        (bSnapshots && source.bListPartitions)) {
        PrintUsage(program);
        log_message(VX_FATAL,
                    "%s : --list-partitions, --list-snapshots and --snapshot are used alone",
                    program);
    }
    // Each volume's records follow a line naming it, which a table loaded
    // by another tool could not hold.
    if (snapshot.bAll && opt.format != kFormatLine) {
        PrintUsage(program);
        log_message(VX_FATAL,
                    "%s : --snapshot=all writes the line report; take one snapshot at a time "
                    "(--snapshot=N) for --format",
                    program);
    }
    // The listings need no drive.
    const bool bNoDrive = (source.bListPartitions || snapshot.bList) && argc == optind;
    if (!bNoDrive && argc - optind != 1) {
        PrintUsage(program);
        log_message(VX_FATAL, "%s : wrong number of arguments", program);
    }
    char letter = bNoDrive ? 'C' : argv[optind][0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (!(letter >= 'A' && letter <= 'Z'))
        log_message(VX_FATAL, "%s : not a valid drive %c", program, letter);

    Volume vol{};
    vol.DriveLetter = letter;
    vol.pszSourcePath = opt.pszSourceFile;
    vol.ullSourceOffset = opt.ullSourceOffset;

    // The error file comes last, so that a file that cannot be created is
    // always reported on the standard error stream.
    if (opt.pszOutputFile != nullptr)
        streams.pOutput = CreateRunFile(program, "output", opt.pszOutputFile);
    if (opt.pszUserFile != nullptr)
        streams.pUser = CreateRunFile(program, "user", opt.pszUserFile);
    if (opt.pszDebugFile != nullptr)
        streams.pDebug = CreateRunFile(program, "debug", opt.pszDebugFile);
    else if (opt.bDumpRecords)
        streams.pDebug = stderr;
    DiskioDebugStream = streams.pDebug;
    DiskioDumpRecords = opt.bDumpRecords;
    InfoDebugStream = streams.pDebug;
    InfoNoSequenceCheck = opt.bNoSequenceCheck;
    WinsidDebugStream = streams.pDebug;
    WinsidUserStream = streams.pUser;
    if (opt.pszErrorFile != nullptr) {
        streams.pError = CreateRunFile(program, "error", opt.pszErrorFile);
        VxErrorStream = streams.pError;
    }
    if (streams.pOutput == stdout) streams.pOutput = vx_plat_open_standard_output();
    if (streams.pOutput == stdout || opt.pszOutputFile == nullptr)
        vx_watch_output(streams.pOutput, program, "the standard output", nullptr);
    else
        vx_watch_output(streams.pOutput, program, "output", opt.pszOutputFile);
    if (streams.pUser != nullptr) vx_watch_output(streams.pUser, program, "user", opt.pszUserFile);
    if (streams.pDebug != nullptr && streams.pDebug != stderr)
        vx_watch_output(streams.pDebug, program, "debug", opt.pszDebugFile);
    if (streams.pError != nullptr) vx_watch_output(streams.pError, program, "error", opt.pszErrorFile);
    vx_watch_output(stderr, program, "the standard error stream", nullptr);
    vx_plat_catch_interrupts();
    g_bInterruptTold = 0;

    set_wc_output_function(opt.bLocaleOutput ? 1 : 0);
    // Account names are wanted by the verbose text, the user file and JSON Lines.
    const bool bSidTable =
        !opt.lineMode || opt.pszUserFile != nullptr || opt.format == kFormatJsonl;
    if (bSidTable) InitSidHash();

    FILE* pOut = streams.pOutput;
    // The report is written in large blocks, whatever it goes to: a line
    // buffer on a terminal would cost a write for every file.  Diagnostics
    // flush it first, so they still follow what was reported before them.
    char* pBuffer = g_stdoutBuffer;
    if (opt.pszOutputFile != nullptr) {
        streams.pOutputBuffer = static_cast<char*>(
            VX_CALLOC(kOutputBufferBytes, 1, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC pOutputBuffer",
                      VX_WHERE));
        pBuffer = streams.pOutputBuffer;
    }
    setvbuf(pOut, pBuffer, _IOFBF, kOutputBufferBytes);
    // The container and the volume in it are found after the run header, as
    // the volume is opened; a partition listing is all that is written.
    source.pszPath = opt.pszSourceFile;
    VxDevice* pSourceDev = nullptr;
    Snapshots snaps{};
    int sSnapshots = VX_OK;
    int bListed = 0;
    int s = VX_OK;
    if (source.bListPartitions || snapshot.bList) {
        s = PrepareSource(program, &source, pOut, &vol, &pSourceDev, &bListed);
        if (snapshot.bList) {
            if (s == VX_OK) s = UnlockSource(&vol, &bitlocker, &pSourceDev);
            if (s == VX_OK) s = OpenSnapshots(&vol, &snapshot, &pSourceDev, &snaps);
            if (s == VX_OK) s = ListSnapshots(pOut, &vol, &snaps);
            bListed = 1;
        }
    }
    if (!bListed) {
        if (opt.format == kFormatLine) {
            DumpSystemInfo(pOut, "volscan", kPackageVersion, opt.lineMode);
            fputs("\n", pOut);
        }
        if (!source.bListPartitions)
            s = PrepareSource(program, &source, pOut, &vol, &pSourceDev, &bListed);
        if (s == VX_OK) s = UnlockSource(&vol, &bitlocker, &pSourceDev);
        if (s == VX_OK && bSnapshots) {
            s = OpenSnapshots(&vol, &snapshot, &pSourceDev, &snaps);
            // Shadow copies that cannot be read leave the volume to be reported.
            if (snapshot.bAll && s != VX_OK) {
                sSnapshots = s;
                s = VX_OK;
            }
        }
        if (s == VX_OK)
            s = pSourceDev != nullptr ? OpenVolumeOn(&vol, pSourceDev) : OpenVolume(&vol);
    }
    if (s == VX_OK && !bListed && opt.format != kFormatLine)
        s = BeginFormattedReport(pOut, opt.format, opt.bMd5);
    if (s == VX_OK && !bListed) s = ReportVolume(&vol, &opt, pOut);
    int f = CloseReportedVolume(&vol, &opt);
    if (f > s) s = f;
    if (snapshot.dwNumber != 0 && snaps.pSet != nullptr) {
        f = EndSnapshot(&vol, &snaps, snapshot.dwNumber);
        if (f > s) s = f;
    }
    // --snapshot=all: each snapshot's report after the volume's, the oldest
    // first; one that cannot be read leaves the others to be reported.
    const uint32_t dwSnapshots = snapshot.bAll && snaps.pSet != nullptr ? snaps.dwCount : 0;
    for (uint32_t n = 1; n <= dwSnapshots && !bListed && vx_plat_interrupted() == 0; n++) {
        Volume shadow{};
        shadow.DriveLetter = vol.DriveLetter;
        shadow.pszSourcePath = vol.pszSourcePath;
        shadow.ullSourceOffset = vol.ullSourceOffset;
        VxDevice* pDev = BeginSnapshot(pOut, &vol, &snaps, n);
        int t = pDev != nullptr ? OpenVolumeOn(&shadow, pDev) : VX_FAILED;
        if (t == VX_OK) t = ReportVolume(&shadow, &opt, pOut);
        f = CloseReportedVolume(&shadow, &opt);
        if (f > t) t = f;
        if (pDev != nullptr) {
            f = EndSnapshot(&vol, &snaps, n);
            if (f > t) t = f;
        }
        if (t > s) s = t;
    }
    CloseSnapshots(&snaps);
    EndBitLockerRequest(&bitlocker);
    if (sSnapshots > s) s = sSnapshots;
    if (bSidTable) {
        if (streams.pUser != nullptr) DumpSystemInfo(streams.pUser, "users", "", 1);
        f = FreeSidHash();
        if (f > s) s = f;
    }
    if (opt.format != kFormatLine) EndFormattedReport();
    vx_plat_md5_release();
    FreeSidText();
    // A signal that came outside the walk: the report is whole as far as it went.
    const int signal = vx_plat_interrupted();
    if (signal != 0) {
        TellInterrupted(0, 1);
        s = 128 + signal;
    }
    CloseRunStreams(&streams);
    vx_plat_release_interrupts();
    return s;
}
