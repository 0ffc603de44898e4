// The method file and its echo.
//
// In: the method file named in config.txt: method name, component names and
// units, standards table and strip line, ROIs (in thirds of a channel),
// standard factors, detection and partial limits, and the background, the
// standard spectra and the local background, each inline or as a "1#file"
// reference to a spectrum file.
// Out: the method record, the name table, the standard factors and the local
// background (ROIs in channels, times in whole seconds); METHOD ("method.txt")
// in the working directory, the method normalised with every spectrum inline
// and every line ending in CR LF; progress lines on the console.
// Failure: the reading is lenient, as the method files in use expect. A value
// that does not scan leaves its field as it was and reading goes on (the
// first such value is reported); values that go into no record read as 0. A
// method file that cannot be opened leaves the records zero (component_count
// 0) and METHOD empty. Every problem is one diagnostic line naming the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/records.h"

// Where the method reader writes: console lines to `console`, problems with
// the input to `diagnostics`, one line each.
struct ReaderOutput {
    FILE* console;
    FILE* diagnostics;
};

// Reads the method file `path` into the four records (which must be
// zero-filled on entry) and writes METHOD. Always returns 1.
int32_t read_calibration(const char* path, MethodRecord* method, NameTable* names,
                         StandardFactors* factors, LocalBackground* local_background,
                         const ReaderOutput& output);

// The names of the spectrum files that the method text `text` may reference:
// the word after every "#" that follows a digit. It holds every file that
// read_calibration opens (and may hold more), so that a run can tell before
// it writes anything whether an output would land on one of them.
std::vector<std::string> referenced_spectrum_files(const std::string& text);

// An entry of the standards table after the strip value was added: the plain
// sum (so that of two NaNs the entry's survives), a sum below 0 set to 0.
float stripped(float entry, float strip);
