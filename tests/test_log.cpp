// Diagnostics frames and the allocation wrappers.
#include <gtest/gtest.h>

#include "support/capture.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/vx_log.h"
#include "support/run_binary.h"

#define VX_MODULE "test_log"

namespace {


// Every in-process diagnostic of these tests goes to a scratch file.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = VxErrorStream;
        err_ = tmpfile();
        ASSERT_NE(err_, nullptr);
        VxErrorStream = err_;
    }
    void TearDown() override {
        VxErrorStream = saved_;
        fclose(err_);
    }
    std::string Written() { return Drain(err_); }

    FILE* saved_ = nullptr;
    FILE* err_ = nullptr;
};

// A file for the diagnostics of a death-test child, read back by the parent.
std::string ChildErrorPath(const char* name) { return MakeTestDir(name) + "/err.txt"; }

}  // namespace

TEST_F(LogTest, FramesWithoutSystemText) {
    EXPECT_EQ(log_message(VX_WARNING, "%s %s() l.%d: w", "diskio", "F", 7), 0);
    EXPECT_EQ(Written(), "\nWARNING - diskio F() l.7: w\n\n");
}

TEST_F(LogTest, ErrorFrameFillsTheFormat) {
    log_message(VX_ERROR, "%s %s() l.%d: not a file record", "diskio", "CheckRecord", 312);
    EXPECT_EQ(Written(), "\nERROR - diskio CheckRecord() l.312: not a file record\n\n");
}

TEST_F(LogTest, FramesWithSystemTextShowNumberAndText) {
    errno = EIO;
    log_message(VX_WARNING_SYS, "a");
    errno = EACCES;
    log_message(VX_ERROR_SYS, "b %d", 9);
    std::string expected = std::string("\nWARNING ") + strerror(EIO) + " (5) - a\n\n" +
                           "\nERROR " + strerror(EACCES) + " (13) - b 9\n\n";
    EXPECT_EQ(Written(), expected);
}

TEST_F(LogTest, MissingFormatIsUndefinedMessage) {
    const char* none = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    log_message(VX_ERROR, none);
#pragma GCC diagnostic pop
    EXPECT_EQ(Written(), "\nERROR - UNDEFINED MESSAGE\n\n");
}

TEST_F(LogTest, StandardErrorTakenWhenNoStreamIsSet) {
    VxErrorStream = nullptr;
    testing::internal::CaptureStderr();
    log_message(VX_WARNING, "to stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\nWARNING - to stderr\n\n");
    EXPECT_EQ(VxErrorStream, stderr);
    EXPECT_EQ(Written(), "");
}

TEST_F(LogTest, PendingReportOutputIsFlushedBeforeTheDiagnostic) {
    std::string path = MakeTestDir("log-flush") + "/report.txt";
    FILE* report = fopen(path.c_str(), "w");
    ASSERT_NE(report, nullptr);
    fputs("line before\n", report);
    log_message(VX_ERROR, "e");
    EXPECT_EQ(ReadFile(path), "line before\n");
    fclose(report);
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, FatalEndsWithStatusOneAfterTheFullFrame) {
    std::string path = ChildErrorPath("log-fatal");
    EXPECT_EXIT(
        {
            VxErrorStream = fopen(path.c_str(), "w");
            log_message(VX_FATAL, "%s : wrong number of arguments", "volscan");
            fputs("still running", VxErrorStream);
            exit(3);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(path), "\nFATAL - Aborting - volscan : wrong number of arguments\n\n");
}

TEST_F(LogDeathTest, FatalWithSystemTextShowsTheLastError) {
    std::string path = ChildErrorPath("log-fatal-sys");
    EXPECT_EXIT(
        {
            VxErrorStream = fopen(path.c_str(), "w");
            errno = EIO;
            log_message(VX_FATAL_SYS, "%s %s() l.%d: CloseHandle", "diskio", "CloseVolume", 4);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(path), std::string("\nFATAL ") + strerror(EIO) +
                                  " (5) - Aborting - diskio CloseVolume() l.4: CloseHandle\n\n");
}

TEST_F(LogDeathTest, FatalLeavesEarlierReportOutputCompleteInItsFile) {
    std::string dir = MakeTestDir("log-fatal-report");
    std::string report = dir + "/report.txt";
    EXPECT_EXIT(
        {
            VxErrorStream = stderr;
            FILE* out = fopen(report.c_str(), "w");
            setvbuf(out, nullptr, _IOFBF, 1 << 16);
            for (int i = 0; i < 100; i++) fprintf(out, "record %d\n", i);
            log_message(VX_FATAL, "stop");
        },
        ::testing::ExitedWithCode(1), "FATAL - Aborting - stop");
    std::string text = ReadFile(report);
    EXPECT_EQ(text.substr(0, 9), "record 0\n");
    EXPECT_NE(text.find("record 99\n"), std::string::npos);
}

TEST_F(LogDeathTest, UnknownLevelAbortsWithoutTheMessage) {
    for (unsigned level : {0x30u, 0x00u, 0x43u, 0x10u}) {
        std::string path = ChildErrorPath("log-unknown");
        EXPECT_EXIT(
            {
                VxErrorStream = fopen(path.c_str(), "w");
                log_message(level, "never written");
            },
            ::testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(path), "\nUNKNOWN ERROR " + std::to_string(level) + " - Aborting\n")
            << "level " << level;
    }
}

// ------------------------------------------------------------ allocation

TEST_F(LogTest, CallocGivesZeroedBlocksSilently) {
    auto* p = static_cast<uint8_t*>(
        VX_CALLOC(1000, 17, VX_FATAL_SYS, "%s %s l. %d: VX_CALLOC p", VX_WHERE));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < 17000; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
    memset(p, 0xA5, 17000);  // the whole block is writable
    EXPECT_NE(VX_FREE(p, VX_FATAL_SYS, "%s %s l. %d: VX_FREE p", VX_WHERE), 0);
    // With no block, reallocation allocates as VX_CALLOC does.
    p = static_cast<uint8_t*>(VX_REALLOC(nullptr, 8, 32, VX_FATAL_SYS, "realloc"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 256; i++) ASSERT_EQ(p[i], 0) << i;
    VX_FREE(p, VX_FATAL_SYS, "free");
    EXPECT_EQ(Written(), "");
}

TEST_F(LogTest, CallocOfZeroBytesWritesNoDiagnostic) {
    void* a = VX_CALLOC(0, 16, VX_FATAL_SYS, "zero count");
    void* b = VX_CALLOC(1ull << 40, 0, VX_FATAL_SYS, "zero size");
    void* c = VX_CALLOC(0, 1ull << 40, VX_FATAL_SYS, "zero count, huge size");
    EXPECT_EQ(Written(), "");
    for (void* p : {a, b, c})
        if (p != nullptr) VX_FREE(p, VX_FATAL_SYS, "free");
}

TEST_F(LogTest, ReallocKeepsOldRecordsAndZeroFillsGrowth) {
    auto* p = static_cast<uint8_t*>(VX_CALLOC(20, 16, VX_FATAL_SYS, "calloc"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 320; i++) p[i] = static_cast<uint8_t>(i * 7 + 1);
    // Fill the heap with dirty blocks so that a fresh region is not zero by chance.
    for (int k = 0; k < 8; k++) {
        void* q = VX_CALLOC(1, 4096, VX_FATAL_SYS, "scratch");
        memset(q, 0xEE, 4096);
        VX_FREE(q, VX_FATAL_SYS, "scratch");
    }
    p = static_cast<uint8_t*>(VX_REALLOC(p, 40, 16, VX_FATAL_SYS, "realloc"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 320; i++) ASSERT_EQ(p[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    for (int i = 320; i < 640; i++) ASSERT_EQ(p[i], 0) << i;
    VX_FREE(p, VX_FATAL_SYS, "free");
    EXPECT_EQ(Written(), "");
}

TEST_F(LogTest, ReallocAfterShrinkZeroFillsFromTheSmallerSize) {
    auto* p = static_cast<uint8_t*>(VX_CALLOC(64, 1, VX_FATAL_SYS, "calloc"));
    memset(p, 0xFF, 64);
    p = static_cast<uint8_t*>(VX_REALLOC(p, 16, 1, VX_FATAL_SYS, "shrink"));
    p = static_cast<uint8_t*>(VX_REALLOC(p, 64, 1, VX_FATAL_SYS, "grow"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; i++) EXPECT_EQ(p[i], 0xFF) << i;
    for (int i = 16; i < 64; i++) EXPECT_EQ(p[i], 0) << i;
    VX_FREE(p, VX_FATAL_SYS, "free");
}

TEST_F(LogDeathTest, CallocBeyond32BitsIsFatalWithTheCallersMessage) {
    std::string path = ChildErrorPath("log-calloc-big");
    EXPECT_EXIT(
        {
            VxErrorStream = fopen(path.c_str(), "w");
            errno = 0;
            VX_CALLOC(0x10000, 0x10000, VX_FATAL_SYS,
                      "%s %s l. %d: VX_CALLOC pBuffer - Drive : %s", "diskio", "OpenVolume", 12,
                      "\\\\.\\E:");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(path),
              std::string("\nFATAL ") + strerror(ENOMEM) + " (" + std::to_string(ENOMEM) +
                  ") - Aborting - diskio OpenVolume l. 12: VX_CALLOC pBuffer - Drive : \\\\.\\E:"
                  "\n\n");
}

TEST_F(LogDeathTest, ReallocBeyond32BitsIsFatal) {
    std::string path = ChildErrorPath("log-realloc-big");
    EXPECT_EXIT(
        {
            VxErrorStream = fopen(path.c_str(), "w");
            void* p = VX_CALLOC(1, 16, VX_FATAL_SYS, "calloc");
            VX_REALLOC(p, 1ull << 31, 2, VX_FATAL_SYS, "%s %s l. %d: VX_REALLOC pCopy", "diskio",
                       "AddSecureSD", 3);
            exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(path), std::string("\nFATAL ") + strerror(ENOMEM) + " (" +
                                  std::to_string(ENOMEM) +
                                  ") - Aborting - diskio AddSecureSD l. 3: VX_REALLOC pCopy\n\n");
}
