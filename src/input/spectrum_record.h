// The records of spectrum reading: the spectrum as the program uses it
// (SpectrumFile), why a file was not used (SpectrumFailure), and the spectrum
// a reader of another format chose, in the file's own terms (SourceSpectrum).
// The face (spectrum_file.h) and every reader under formats/ share them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"

// When a measurement started, to the second.
struct StartTime {
    // s since 1970-01-01T00:00:00 on the clock the file states: UTC when
    // `utc`, else the local time of wherever the file was written.
    int64_t seconds = 0;
    bool utc = false;
};

// Most channels read from a file; more are refused.
inline constexpr int kMaxSourceChannels = 65536;

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
    // A count (or a sum of channels) lay beyond the int32 range and is held
    // at its limit: the spectrum is evaluated, but the caller must say so.
    bool counts_held = false;
    // When the measurement started; none where the file states no time or one
    // that does not read (native files state none).
    std::optional<StartTime> start_time;
    // Why a stated start did not read, with its key and text, for a
    // diagnostic: "start time ($DATE_MEA) '13/45/2020' does not read as a
    // date"; empty otherwise.
    std::string start_time_problem;
};

// Why a spectrum file was not used; `message` completes "<file>: ...".
struct SpectrumFailure {
    // cannot_open: the file is not there or not readable; too_large: it is
    // there but beyond the input limit (damaged, like incomplete).
    enum class Kind { cannot_open, incomplete, too_large };
    Kind kind = Kind::incomplete;
    // "cannot be opened: ...", "holds only 17 of 1024 counts", "IAEA SPE: no
    // live time ($MEAS_TIM)", ...
    std::string message;
};

// The spectrum a reader of another format chose, in the file's own terms.
struct SourceSpectrum {
    const char* format = "";                // "IAEA SPE", "N42.42-2011", ...
    std::optional<double> live_time_s;      // s; none when the file gives none
    std::optional<double> real_time_s;      // s
    const char* live_time_name = "";        // where the file keeps them, for a diagnostic
    const char* real_time_name = "";
    std::vector<double> counts;             // counts of channels 0, 1, ... as the file numbers them
                                            // (channels below a file's first one are 0); finite
    std::vector<double> calibration;        // keV at file channel x = sum_k calibration[k] x^k;
                                            // empty for none; no trailing zero, at least 2 terms
    std::vector<std::string> notes;         // what was done beyond taking values as they are
    std::vector<std::string> unread;        // what the file holds besides the spectrum read
    std::optional<StartTime> start_time;    // as in SpectrumFile
    std::string start_time_problem;         // as in SpectrumFile
};
