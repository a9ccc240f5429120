// Runs the volscan binary as a user would and captures what it writes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int exitStatus;  // -1 when the process did not exit normally (a signal)
    std::string out;
    std::string err;
    long maxRssKb = 0;  // peak resident memory of the run
};

// Runs the built binary with `args` in directory `cwd` (empty: the current
// one), with extra environment settings "NAME=value".
RunResult RunVolscanBinary(const std::vector<std::string>& args, const std::string& cwd = "",
                           const std::vector<std::string>& env = {});

// One run of the binary watched as a hostile input needs watching: its end
// (exit or signal), whether it outlived its time, its peak memory.
struct BoundedRunResult {
    int exitStatus = -1;     // -1 when the process did not exit normally
    int termSignal = 0;      // the signal that ended it, 0 when it exited
    bool bTimedOut = false;  // killed after `timeoutMs`
    long maxRssKb = 0;       // peak resident memory of the run
    double seconds = 0;      // wall time
};

// Runs the built binary with `args` in `cwd`, its standard output and error
// going to the files named (one file when both name it), killed with SIGKILL after `timeoutMs`.  With
// `addressLimit` above 0 the child's address space (RLIMIT_AS) is capped
// there, so an allocation beyond it fails inside the tool.
// `watch`, when given, is called with the child's process id and the
// milliseconds waited at every look at it (to send it signals).
BoundedRunResult RunVolscanBounded(const std::vector<std::string>& args, const std::string& cwd,
                                   const std::string& outPath, const std::string& errPath,
                                   int timeoutMs, uint64_t addressLimit,
                                   const std::function<void(int pid, int waitedMs)>& watch = {});

// A fresh empty directory under the build tree for one test.
std::string MakeTestDir(const std::string& name);

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The committed sample images and the Windows volumes beside the checkout.
std::string SourcePath(const std::string& relative);
// Decompresses ../shared/images/NAME.gz into the build tree once and returns
// its path, or "" when the shared images are not there (the test then skips).
std::string SharedImage(const std::string& name);

// The diagnostics of a run without those of the file report (its fields,
// security descriptors, SID names, names the locale cannot write), which
// every real volume has some of: what is left comes from reading the volume.
std::string ReadDiagnostics(const std::string& err);
