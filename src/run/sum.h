// The sum of spectra that add entries build and evaluate entries evaluate:
// one record holding the counts, both forms of the times, the energy
// calibration the files agree on and the files themselves; and the count
// rate of a component in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"
#include "input/spectrum_file.h"

// A file whose counts are in a sum.
struct SumFile {
    std::string name;  // as the entry names it
    // When its measurement started, as the file states it; none when it
    // states none (or one that did not read).
    std::optional<StartTime> start_time;
    uint64_t real_time_us = 0;  // µs, the file's own
};

struct SpectrumSum {
    int32_t channel[kChannels] = {};  // counts
    uint64_t live_time_us = 0;        // µs as the files give them, summed
    uint64_t real_time_us = 0;        // µs
    // Each file's whole seconds, summed: the times the analysis, the dose
    // rate and the table use.
    uint64_t live_time_s = 0;
    uint64_t real_time_s = 0;
    std::vector<double> calibration;  // the first file's energy calibration
    bool calibration_agrees = true;   // every later file gives the same
    std::vector<SumFile> files;       // in the order they were added
};

// Adds `file`, read for the entry naming `name`, to the sum, holding every
// count and time at its type's limit instead of wrapping. Returns true when
// some value had to be held.
bool add_to_sum(const SpectrumFile& file, const std::string& name, SpectrumSum* sum);

// The energy calibration all files of the sum agree on; empty when they do
// not, or give none.
std::vector<double> agreed_calibration(const SpectrumSum& sum);

// The names of the files in the sum, in order.
std::vector<std::string> file_names(const SpectrumSum& sum);

// When the summed measurements ran, over the files that state a start: the
// earliest start, and the latest of start plus real time (its whole seconds).
// Both none when no file states a start, and when some state UTC and others
// local time: those cannot be ordered without guessing a zone, and
// `mixed_clocks` says so.
struct MeasurementSpan {
    std::optional<StartTime> start;
    std::optional<StartTime> end;
    bool mixed_clocks = false;
};
MeasurementSpan measurement_span(const SpectrumSum& sum);

// The dead time in per cent: (1 - live / real) * 100 from the times in µs.
double dead_time_percent(const SpectrumSum& sum);

// How much shorter, in per cent, the whole seconds make the sum's live time
// than the microseconds the files give: what the analysis loses by the
// table's whole seconds. 0 for a live time of 0 µs; negative only where the
// microseconds were held at their limit.
double live_time_dropped_percent(const SpectrumSum& sum);

// Above this share of the live time dropped the run says so: the
// activities are then that much too high.
inline constexpr double kLiveTimeDroppedWarningPercent = 0.1;

// The sum as the analysis and the dose rate read it: counts and whole
// seconds, with `weight`; every result field 0.
void sample_of(const SpectrumSum& sum, float weight, SampleRecord* sample);

// Counts per minute in the component's first ROI [first, end), summed in
// float channel by channel; only channels inside the spectrum are summed.
float count_rate(const SampleRecord& sum, const ComponentBlock& block);
