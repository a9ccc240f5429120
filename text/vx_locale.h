// Locale selection and the writing of 16-bit wide characters.
//
// Names stored on the volume in UTF-16 are held unit for unit, as on disk,
// and written one unit at a time through the current writer: the locale's
// multibyte encoding, or UTF-8 (-8).  Surrogate pairs are never combined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef uint16_t vx_wchar;

typedef int (*vx_wc_writer)(FILE* stream, vx_wchar wc);

// The current writer; the locale writer until set_wc_output_function changes it.
extern vx_wc_writer wc_output_function;

int vx_setlocale(const char* name);
// 0 selects the UTF-8 writer, 1 the locale writer; anything else is fatal.
void set_wc_output_function(int mode);
const char* vx_getlocale();
int vx_locale_fputwc(FILE* stream, vx_wchar wc);
int vx_utf8_fputwc(FILE* stream, vx_wchar wc);
// Writes the units of a 0-terminated wide string; returns the bytes written.
int vx_fputws(FILE* stream, const vx_wchar* ws);
// Copies exactly `count` units, 0 units included, and writes no terminator.
void vx_wmemcpy(const vx_wchar* src, vx_wchar* dst, size_t count);
