// Debug dumps: raw bytes as a hexadecimal and character listing, the
// character column written through the current wide-character writer.
#pragma once

#include <cstddef>
#include <cstdio>

void DumpHex(FILE* stream, const void* data, size_t length);
