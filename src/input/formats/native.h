// The program's own spectrum format: live time and real time in
// microseconds, 1024 counts and four trailing reals, separated by any white
// space.
#pragma once

#include <string_view>

#include "core/expected.h"
#include "input/spectrum_record.h"

// Scans the text of a native spectrum file (CR LF already folded or not). A
// spectrum that lacks a time or a count, or holds one that does not scan or
// lies beyond its type, is refused as a whole ("holds only 17 of 1024
// counts", "count of channel 5 does not scan at 'x' (line 7)").
Expected<SpectrumFile, SpectrumFailure> parse_spectrum_text(std::string_view text);
