// Small text helpers every layer uses: printf into a std::string, and one
// diagnostic line.
#pragma once

#include <cstdio>
#include <string>

// printf-style checking of format strings; mingw's C99 stdio follows the GNU
// rules, not those of the system's own printf.
#if defined(__MINGW32__)
#define ASSAY_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ASSAY_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// printf into a std::string. Every text the program writes that may hold a
// real goes through here: a NaN is written "nan" or "-nan" by its sign bit
// (upper case for %F, %E, %G, %A), padded like any word, on every platform;
// the C libraries disagree (mingw-w64 drops the sign).
std::string format(const char* fmt, ...) ASSAY_PRINTF_FORMAT(1, 2);

// Writes one diagnostic line "assay: <message>" (nothing when `diagnostics`
// is null).
void diagnose(FILE* diagnostics, const std::string& message);
