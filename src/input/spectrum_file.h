// Spectrum files: live time and real time in microseconds, 1024 counts and
// four trailing reals, separated by any white space (LF or CR LF line ends).
//
// A file is read all or nothing: a spectrum that lacks a time or a count, or
// holds one that does not scan, is refused as a whole, so counts of one file
// never leak into another.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.h"
#include "core/records.h"

// A spectrum file as read, in the program's own terms whatever its format.
struct SpectrumFile {
    const char* format = "native";  // the format the content was recognised as
    uint64_t live_time_us = 0;
    uint64_t real_time_us = 0;
    int32_t channel[kChannels] = {};
    float trailing[4] = {};          // native files only; missing or malformed ones stay 0
    int source_channels = kChannels;  // channels the file holds
    std::string conversion;           // how they became 1024 ("" when taken as they are)
    // Energy calibration on the 1024-channel scale: keV at channel c is
    // sum_k calibration[k] c^k; empty when the file gives none.
    std::vector<double> calibration;
    std::vector<std::string> unread;  // what the file holds besides the spectrum read
};

// Why a spectrum file was not used; `message` completes "<file>: ...".
struct SpectrumFailure {
    enum class Kind { cannot_open, incomplete };
    Kind kind = Kind::incomplete;
    std::string message;  // "cannot be opened: ...", "holds only 17 of 1024 counts", ...
};

// Scans the text of a spectrum file (CR LF already folded or not).
Expected<SpectrumFile, SpectrumFailure> parse_spectrum_text(std::string_view text);

// Reads and checks the spectrum file at `path`.
Expected<SpectrumFile, SpectrumFailure> read_spectrum_file(const std::string& path);

// Whole seconds of a time in microseconds, the remainder dropped.
constexpr uint64_t microseconds_to_seconds(uint64_t microseconds) { return microseconds / 1000000u; }

// Puts the spectrum into live_time, real_time (whole seconds) and channel of
// `sample`; no other field is touched.
void store_spectrum(const SpectrumFile& spectrum, SampleRecord* sample);

// Reads the spectrum file `path` into live_time, real_time (whole seconds)
// and channel of `sample`. Returns 1 when it was read; 0 when it cannot be
// opened or is incomplete, and `sample` is then left exactly as it was (when
// `problem` is given it receives the reason).
int32_t read_sample(const char* path, SampleRecord* sample, std::string* problem = nullptr);
