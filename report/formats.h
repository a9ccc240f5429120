// The report in the formats that tools load: CSV (one header row, the same
// columns on every row), JSON Lines (one object a file) and The Sleuth
// Kit's bodyfile (one line for the standard information and one for each
// $FILE_NAME).  The facts come from the same decoders as the line report.
#pragma once

#include <cstdio>

struct Entry;

enum ReportFormat : int { kFormatLine = 0, kFormatCsv, kFormatJsonl, kFormatBodyfile };

// The format named on the command line, or -1.
int ParseReportFormat(const char* pszName);
// Before the first record: the header row of CSV; the names of the path
// are captured from then on.  Returns 0, or 1 when no scratch stream could
// be made (reported).
int BeginFormattedReport(FILE* stream, int format, int md5);
// Statuses as DumpFileInfo's.
int DumpFileFormatted(FILE* stream, Entry* pEntry, int md5, int format);
// Releases what the formats kept from record to record.
void EndFormattedReport();
