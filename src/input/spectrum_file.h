// Spectrum files: live time and real time in microseconds, 1024 counts and
// four trailing reals, separated by any white space (LF or CR LF line ends).
// read_spectrum_file also reads the formats that detectors write (IAEA SPE,
// N42.42, RadiaCode XML, CSV exports, ORTEC CHN; see input/formats/formats.h),
// recognised by their content, into the same record.
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
    // The format the content was recognised as: "native", "IAEA SPE",
    // "N42.42-2006", "N42.42-2011", "RadiaCode XML", "CSV export", "ORTEC CHN".
    const char* format = "native";
    uint64_t live_time_us = 0;        // µs, rounded to the nearest from the file's seconds
    uint64_t real_time_us = 0;        // µs
    int32_t channel[kChannels] = {};  // counts; sums of adjacent channels held at the int32 limits
    float trailing[4] = {};           // native files only; missing or malformed ones stay 0
    // Channels the file holds, counted from channel 0 (1 to 65536; a file
    // whose data start at a later channel counts the ones below as empty).
    int source_channels = kChannels;
    // What was done to make it this record, in words, parts joined by "; ":
    // "4094 channels, padded to 4096 and summed in groups of 4", "256
    // channels in channels 0 to 255; channels 256 to 1023 are 0", "live and
    // real time both the measurement time", "counts rounded to whole
    // numbers", ... ("" when the file's values were taken as they are).
    std::string conversion;
    // Energy calibration on the 1024-channel scale: keV at channel c is
    // sum_k calibration[k] c^k (2 terms or more, as the file gives them; where
    // channels were summed in groups of g, channel c stands for the file's
    // channels g c to g c + g - 1 and its energy is that at their middle);
    // empty when the file gives none or one that is all zero.
    std::vector<double> calibration;
    // What the file holds besides the spectrum read, one item each: other
    // measurements, other detectors' spectra, a background spectrum, derived
    // data, deviation pairs of the calibration, ...
    std::vector<std::string> unread;
};

// Why a spectrum file was not used; `message` completes "<file>: ...".
struct SpectrumFailure {
    enum class Kind { cannot_open, incomplete };
    Kind kind = Kind::incomplete;
    // "cannot be opened: ...", "holds only 17 of 1024 counts", "IAEA SPE: no
    // live time ($MEAS_TIM)", ...
    std::string message;
};

// Scans the text of a spectrum file (CR LF already folded or not).
Expected<SpectrumFile, SpectrumFailure> parse_spectrum_text(std::string_view text);

// Reads and checks the spectrum file at `path`, of any format read (the
// failure's message names the format when it is not the native one).
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
