// A stream whose text a test can read back: stands in for the error and
// debug streams of the modules under test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

struct CapturedStream {
    FILE* pFile = nullptr;
    char* pBuffer = nullptr;
    size_t cbBuffer = 0;

    CapturedStream() { pFile = open_memstream(&pBuffer, &cbBuffer); }
    ~CapturedStream() {
        if (pFile != nullptr) fclose(pFile);
        free(pBuffer);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::string Text() {
        fflush(pFile);
        return std::string(pBuffer, cbBuffer);
    }
};

// Everything written so far to a temporary file, from its start.
inline std::string Drain(FILE* f) {
    fflush(f);
    rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}
