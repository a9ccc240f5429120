// The progress line: on the standard error stream, while the records are
// walked, when it is a terminal and the report goes to a file (or when
// --progress asks for it).
#pragma once

#include <cstdint>
#include <cstdio>

// Starts showing progress on `pStream` over `ullTotal` records, with the
// bytes hashed when bHashing is set (-m); the line is first drawn a quarter
// of a second later.  Sets the diagnostics' hook, so that every diagnostic
// finds the line cleared.
void ProgressStart(FILE* pStream, uint64_t ullTotal, int bHashing);
// `ullDone` records handled: redraws the line when a quarter of a second has
// passed since it was last drawn.  Nothing when progress is not shown.
void ProgressUpdate(uint64_t ullDone);
// Takes the line off the terminal (until the next redraw).
void ProgressClear();
// Clears the line for good and stops.
void ProgressEnd();

// The status line for the figures, as drawn ("12345/100000 records 12%,
// 8123 rec/s, 1.2 GiB hashed, 0:00:11 left"); the hashed bytes only with
// bHashing set, the time left once a rate is known.
void ProgressFormat(char* pszLine, size_t size, uint64_t ullDone, uint64_t ullTotal,
                    uint64_t ullElapsedMs, int bHashing, uint64_t ullHashed);
