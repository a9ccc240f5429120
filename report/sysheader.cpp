#include "report/sysheader.h"

#include "platform/platform.h"
#include "base/vx_log.h"
#include "text/vx_locale.h"

#define VX_MODULE "sysheader"

const char* OsName(uint32_t dwPlatformId, uint32_t dwMajor, uint32_t dwMinor) {
    if (dwPlatformId == 1) {
        if (dwMinor == 0) return "Win 95";
        if (dwMinor == 10) return "Win 98";
        if (dwMinor == 90) return "Win Me";
    } else if (dwPlatformId == 2) {
        if (dwMinor == 51) return "Win NT 3.51";
        if (dwMajor == 4) return "Win NT 4.0";
        if (dwMajor == 5 && dwMinor == 0) return "Win 2000";
        if (dwMajor == 5 && dwMinor == 1) return "Win XP";
        if (dwMajor == 5 && dwMinor == 2) return "Win 2003";
    }
    return "Unknown";
}

static void DumpClock(FILE* stream, const char* label, const VxSystemTime& t, int lineMode) {
    if (!lineMode) fprintf(stream, "%s : ", label);
    fprintf(stream, "%.2u/%.2u/%u %.2u:%.2u:%.2u.%.3u", t.wDay, t.wMonth, t.wYear, t.wHour,
            t.wMinute, t.wSecond, t.wMilliseconds);
    fputs(lineMode ? "|" : "\n", stream);
}

void DumpSystemInfo(FILE* stream, const char* content, const char* version, int lineMode) {
    if (lineMode) {
        fputs("Content|Host Name|OS|UTC Time|Local Time|Output Locale|", stream);
        fprintf(stream, "%s\n", version);
        fprintf(stream, "%s|", content);
    }

    char name[16];
    if (vx_plat_computer_name(name, sizeof name)) {
        fprintf(stream, lineMode ? "%s|" : "NetBIOS computer name : %s\n", name);
    } else {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: GetComputerName", VX_WHERE);
        if (lineMode) fputs("|", stream);
    }

    uint32_t dwPlatformId, dwMajor, dwMinor;
    if (vx_plat_os_version(&dwPlatformId, &dwMajor, &dwMinor)) {
        if (!lineMode) fputs("Operating system : ", stream);
        fputs(OsName(dwPlatformId, dwMajor, dwMinor), stream);
        fputs(lineMode ? "|" : "\n", stream);
    } else {
        log_message(VX_ERROR_SYS, "%s %s() l.%d: GetVersionEx", VX_WHERE);
        if (lineMode) fputs("|", stream);
    }

    VxSystemTime t;
    vx_plat_system_time(&t);
    DumpClock(stream, "UTC time", t, lineMode);
    vx_plat_local_time(&t);
    DumpClock(stream, "Local time", t, lineMode);

    fprintf(stream, lineMode ? "\"%s\"|" : "Output locale: \"%s\"\n\n", vx_getlocale());
}
