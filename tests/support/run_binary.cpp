#include "support/run_binary.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>

RunResult RunVolscanBinary(const std::vector<std::string>& args, const std::string& cwd,
                           const std::vector<std::string>& env) {
    std::string dir = MakeTestDir("capture");
    std::string outPath = dir + "/stdout", errPath = dir + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        for (const auto& kv : env) putenv(const_cast<char*>(kv.c_str()));
        std::vector<char*> argv;
        std::string bin = VOLSCAN_BINARY;
        argv.push_back(const_cast<char*>(bin.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    struct rusage usage {};
    wait4(pid, &st, 0, &usage);
    RunResult r;
    r.exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.maxRssKb = usage.ru_maxrss;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

BoundedRunResult RunVolscanBounded(const std::vector<std::string>& args, const std::string& cwd,
                                   const std::string& outPath, const std::string& errPath,
                                   int timeoutMs, uint64_t addressLimit,
                                   const std::function<void(int pid, int waitedMs)>& watch) {
    std::vector<char*> argv;
    std::string bin = VOLSCAN_BINARY;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // One path for both: one file, as a shell's 2>&1 makes it.
        int e = errPath == outPath ? o : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0) _exit(126);
        dup2(o, 1);
        dup2(e, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        if (addressLimit > 0) {
            struct rlimit lim {};
            lim.rlim_cur = lim.rlim_max = addressLimit;
            if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(125);
        }
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    BoundedRunResult r;
    if (pid < 0) return r;
    int st = 0;
    struct rusage usage {};
    for (int waited = 0;;) {
        pid_t done = wait4(pid, &st, WNOHANG, &usage);
        if (done == pid) break;
        if (done < 0) return r;
        if (watch) watch(pid, waited);
        if (waited >= timeoutMs) {
            r.bTimedOut = true;
            kill(pid, SIGKILL);
            wait4(pid, &st, 0, &usage);
            break;
        }
        // Most runs end within milliseconds: poll finely at first.
        const int step = waited < 200 ? 1 : 10;
        struct timespec pause = {0, step * 1000000L};
        nanosleep(&pause, nullptr);
        waited += step;
    }
    struct timespec end {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    r.seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    r.exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.termSignal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

std::string MakeTestDir(const std::string& name) {
    static int counter = 0;
    std::string base = std::string(VOLSCAN_BUILD_DIR) + "/test-tmp";
    mkdir(base.c_str(), 0755);
    std::string dir = base + "/" + name + "-" + std::to_string(getpid()) + "-" +
                      std::to_string(counter++);
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) return dir;
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string SourcePath(const std::string& relative) {
    return std::string(VOLSCAN_SOURCE_DIR) + "/" + relative;
}

std::string SharedImage(const std::string& name) {
    std::string gz = std::string(VOLSCAN_SOURCE_DIR) + "/../shared/images/" + name + ".gz";
    if (!FileExists(gz)) return "";
    std::string dir = std::string(VOLSCAN_BUILD_DIR) + "/shared-images";
    mkdir(dir.c_str(), 0755);
    std::string out = dir + "/" + name;
    if (!FileExists(out)) {
        std::string tmp = out + ".part" + std::to_string(getpid());
        std::string cmd = "gzip -dc '" + gz + "' > '" + tmp + "' && mv '" + tmp + "' '" + out + "'";
        if (system(cmd.c_str()) != 0) return "";
    }
    return out;
}

std::string ReadDiagnostics(const std::string& err) {
    // The report's modules: the file report, security descriptors, SID names
    // and the writing of names.  One diagnostic is "\n", its level and text, "\n\n"; the report's
    // "unable to find any filename" holds a line break of its own.
    static const std::regex kReport(
        "\n(ERROR|WARNING) - (info|sd_dump|winsid|vx_locale) [^\n]*(\nBase record #[0-9]+)?\n\n");
    return std::regex_replace(err, kReport, "");
}
