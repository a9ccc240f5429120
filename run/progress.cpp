#include "run/progress.h"

#include <cinttypes>
#include <cstring>

#include "base/vx_log.h"
#include "platform/platform.h"
#include "report/info.h"

namespace {

constexpr uint64_t kRedrawMs = 250;  // at most four times a second

struct ProgressState {
    FILE* pStream;  // none: not shown
    uint64_t ullTotal;
    uint64_t ullStartMs;
    uint64_t ullDrawnMs;
    uint64_t ullHashedAtStart;
    int bHashing;
    size_t drawnLength;  // characters of the line on the terminal, 0 when none is
};

ProgressState state{};

// "1.2 GiB" and the like.
void FormatBytes(char* pszText, size_t size, uint64_t ullBytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(ullBytes);
    unsigned unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        unit++;
    }
    if (unit == 0)
        snprintf(pszText, size, "%" PRIu64 " B", ullBytes);
    else
        snprintf(pszText, size, "%.1f %s", value, kUnits[unit]);
}

void Draw(uint64_t ullDone, uint64_t ullNowMs) {
    char line[160];
    ProgressFormat(line, sizeof line, ullDone, state.ullTotal, ullNowMs - state.ullStartMs,
                   state.bHashing,
                   InfoHashedBytes - state.ullHashedAtStart);
    const size_t length = strlen(line);
    // A shorter line leaves blanks over the end of the longer one before it.
    const int pad = length < state.drawnLength ? static_cast<int>(state.drawnLength - length) : 0;
    fprintf(state.pStream, "\r%s%*s", line, pad, "");
    if (pad > 0) fprintf(state.pStream, "\r%s", line);
    fflush(state.pStream);
    state.drawnLength = length;
    state.ullDrawnMs = ullNowMs;
}

}  // namespace

void ProgressFormat(char* pszLine, size_t size, uint64_t ullDone, uint64_t ullTotal,
                    uint64_t ullElapsedMs, int bHashing, uint64_t ullHashed) {
    const unsigned percent =
        ullTotal == 0 || ullDone >= ullTotal
            ? 100u
            : static_cast<unsigned>(static_cast<double>(ullDone) * 100.0 /
                                    static_cast<double>(ullTotal));
    int n = snprintf(pszLine, size, "%" PRIu64 "/%" PRIu64 " records %u%%", ullDone, ullTotal,
                     percent);
    auto append = [&](const char* pszText) {
        if (n >= 0 && static_cast<size_t>(n) < size)
            n += snprintf(pszLine + n, size - static_cast<size_t>(n), "%s", pszText);
    };
    char part[64];
    if (ullElapsedMs > 0) {
        const double rate =
            static_cast<double>(ullDone) * 1000.0 / static_cast<double>(ullElapsedMs);
        snprintf(part, sizeof part, ", %.0f rec/s", rate);
        append(part);
    }
    if (bHashing) {
        char bytes[32];
        FormatBytes(bytes, sizeof bytes, ullHashed);
        snprintf(part, sizeof part, ", %s hashed", bytes);
        append(part);
    }
    if (ullDone > 0 && ullElapsedMs > 0 && ullDone <= ullTotal) {
        const uint64_t ullLeft = static_cast<uint64_t>(static_cast<double>(ullElapsedMs) *
                                                       static_cast<double>(ullTotal - ullDone) /
                                                       static_cast<double>(ullDone) / 1000.0);
        snprintf(part, sizeof part, ", %" PRIu64 ":%02u:%02u left", ullLeft / 3600,
                 static_cast<unsigned>(ullLeft / 60 % 60), static_cast<unsigned>(ullLeft % 60));
        append(part);
    }
}

void ProgressStart(FILE* pStream, uint64_t ullTotal, int bHashing) {
    state = ProgressState{};
    state.pStream = pStream;
    state.ullTotal = ullTotal;
    state.ullStartMs = vx_plat_clock_ms();
    state.ullDrawnMs = state.ullStartMs;
    state.ullHashedAtStart = InfoHashedBytes;
    state.bHashing = bHashing;
    VxBeforeMessage = ProgressClear;
}

void ProgressUpdate(uint64_t ullDone) {
    if (state.pStream == nullptr) return;
    const uint64_t ullNow = vx_plat_clock_ms();
    if (ullNow - state.ullDrawnMs >= kRedrawMs) Draw(ullDone, ullNow);
}

void ProgressClear() {
    if (state.pStream == nullptr || state.drawnLength == 0) return;
    fprintf(state.pStream, "\r%*s\r", static_cast<int>(state.drawnLength), "");
    fflush(state.pStream);
    state.drawnLength = 0;
}

void ProgressEnd() {
    ProgressClear();
    if (VxBeforeMessage == ProgressClear) VxBeforeMessage = nullptr;
    state = ProgressState{};
}
