// Debug dumps: raw bytes as a hexadecimal and character listing, and the
// in-memory form of an Entry with its Attributes and runs.
#pragma once

#include <cstddef>
#include <cstdio>

struct Entry;
struct Attribute;

void DumpHex(FILE* stream, const void* data, size_t length);
void DumpEntry(FILE* stream, const Entry* pEntry);
void DumpAttribute(FILE* stream, const Attribute* pAttr);
