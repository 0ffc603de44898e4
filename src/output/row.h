// The finished row: everything the result table, the report and the
// pictures show of one evaluation, in one record. The run fills it once per
// evaluated entry; each output only reads it.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a spectrum file was and how it became the record's 1024 channels.
struct SourceFile {
    const char* format = nullptr;  // null: no file was read
    int source_channels = 0;
    std::string conversion;           // empty: taken as it is
    std::vector<double> calibration;  // keV = sum_k c_k channel^k on the 1024-channel scale
    std::vector<std::string> unread;  // what the file holds besides
    // When its measurement started, ISO 8601: ending in "Z" for UTC, without
    // a suffix for the local time the file states; empty: none stated.
    std::string start_time;
};

struct RowComponent {
    std::string name;
    std::string unit;
    float activity = 0.0f;      // after the division by the standard factor, as in the table
    float activity_sd = 0.0f;
    bool below_method_limit = true;  // under the method's detection limit, or sd above the activity
    // Characteristic limits (ISO 11929) after the division by the standard
    // factor, as the activity: NaN where there are none (a failed fit, a
    // component without a fit, a limit that is not finite).
    float decision_threshold = NAN;
    float detection_limit = NAN;
    std::optional<bool> detected;    // activity above the decision threshold; none without one
    bool over_limit = false;
    float count_rate_cpm = 0.0f;
    std::vector<std::pair<int32_t, int32_t>> rois;  // full-scale channels, both bounds inclusive
    // The test of its ROI points against the fit's model: chi-square, its
    // degrees of freedom and the probability of chi-square and peak-shaped
    // structure together; NaN (and 0) after a failed fit or without points.
    double roi_chi_square = NAN;
    int roi_degrees_of_freedom = 0;
    double roi_p_value = NAN;
    bool interfered = false;  // roi_p_value below --interference-p
    // The combined standard uncertainty of the activity (counting, the
    // standards, the calibration), the shares of its square from each, the
    // best estimate of the non-negative activity with its uncertainty and the
    // coverage interval (ISO 11929), in the activity's unit after the standard
    // factor. NaN where there are none (a failed fit, an unknown calibration
    // uncertainty; the best estimate also where the activities change sign).
    double uncertainty = NAN;
    double counting_share = NAN;
    double standards_share = NAN;
    double calibration_share = NAN;
    double best_estimate = NAN;
    double best_estimate_uncertainty = NAN;
    double coverage_lower = NAN;
    double coverage_upper = NAN;
    // Why there is no detection limit ("calibration_uncertainty": k u_rel >= 1,
    // "calibration_uncertainty_unknown", "no_solution", "no_fit"); null when
    // there is one.
    const char* detection_limit_missing = nullptr;
    double standard_net_counts = NAN;  // of its own standard over its own ROIs
    // Too few of them for the standard's own noise to be negligible: the
    // activity is biased low and its uncertainty less certain.
    bool standard_counts_low = false;
};

// A peak of the detector's shape that the fit's model does not explain.
struct RowUnknownPeak {
    int channel = 0;            // of the gain-corrected spectrum, as the picture shows it
    double energy_kev = NAN;    // by the row's energy calibration; NaN without one
    double fwhm_kev = NAN;      // the FWHM in keV, likewise
    double net_counts = 0.0;
    double significance = 0.0;  // standard deviations
    double fwhm = 0.0;          // the detector's FWHM there, channels
};

// What the fit says of itself at the winning gain.
struct RowFit {
    double chi_square = NAN;          // against the model's Poisson variance
    int degrees_of_freedom = 0;       // points with weight above 0, less the components
    double chi_square_per_dof = NAN;  // NaN without a degree of freedom
    double p_value = NAN;             // upper tail; NaN without a degree of freedom
    bool fit_poor = false;            // p_value below 0.001
    float scan_lowest = NAN;          // the lowest and highest gain tried
    float scan_highest = NAN;
    float first_pass_gain = NAN;      // the first pass's best gain
    // What placed the scan when a search was asked for ("wide" or
    // "calibration"; empty without one), the wide search's best gain (NaN
    // when it did not run or found none) and the scan's centre.
    std::string gain_search;
    double coarse_gain = NAN;
    double scan_centre = NAN;
    std::vector<std::pair<double, double>> trials;  // (gain, fit figure) of every trial, in order
};

struct FinishedRow {
    int row = 0;                   // 1 for the first row of the table
    int index = 0;                 // position among the configuration's entries, from 1
    std::string entry;             // the configuration token, "*" included
    std::vector<std::string> sum_of;  // the files whose counts are in the evaluated sum
    bool analysis_failed = false;  // the fit failed: activities, qfit, gain and the unknown
                                   // flag are those of the row before
    std::optional<int> repeats_row;  // when failed: the row whose results the table repeats
                                     // (none: the zeros of the run's start)
    std::string picture;           // file name of the row's picture, when one is drawn
    SourceFile source;             // the evaluate entry's own file
    std::vector<double> energy_calibration;  // one all files of the sum agree on; else empty
    uint64_t live_time = 0;        // s, as the table and the analysis use it
    uint64_t real_time = 0;        // s
    uint64_t live_time_us = 0;     // µs, as the files give it, summed
    uint64_t real_time_us = 0;     // µs
    // The earliest start and the latest end (start plus real time) of the
    // summed files that state a start, as SourceFile::start_time; empty when
    // none does, or when they mix UTC and local times.
    std::string measurement_start;
    std::string measurement_end;
    double dead_time_percent = 0.0;  // (1 - live / real) * 100 from the times in µs
    // How much shorter the whole seconds make the live time than the
    // microseconds, in per cent of the microseconds.
    double live_time_dropped_percent = 0.0;
    float weight = 1.0f;
    float qfit = 0.0f;
    float gain = 0.0f;
    bool gain_at_scan_edge = false;
    std::optional<float> dose_rate;   // none when the dose calibration is incomplete
    bool dose_dead_time_over_limit = false;
    const char* dose_quantity = nullptr;  // what the dose column is, with the calibration
    std::string dose_unit;         // given by the user; empty when not
    bool unknown_found = false;
    int32_t limit_status = 0;      // bit 0 over a partial limit, bit 1 total, bit 2 fraction
    float summary_activity = 0.0f;
    float summary_fraction = 0.0f;
    std::vector<RowComponent> components;
    std::optional<RowFit> fit;  // none after a failed fit
    // For the pictures, kChannels values each; shorter vectors leave the
    // remaining channels empty. A NaN marks a channel without a value (for
    // instance one the gain correction could not fill): the curve has a gap
    // there and the channel has no residual.
    std::vector<float> measured;  // the sum after the winning gain correction
    std::vector<float> expected;  // the fit's model: local background plus fitted components
    std::vector<float> expected_variance;  // its Poisson variance, at least 1 count
    std::vector<RowUnknownPeak> unknown_peaks;  // none after a failed fit; unknown_found when any
    double coverage = 0.95;  // probability of the components' coverage intervals
};

// Whether some component's ROIs are interfered.
inline bool interfered(const FinishedRow& row) {
    for (const RowComponent& c : row.components) {
        if (c.interfered) return true;
    }
    return false;
}

// Whether the row exceeds a limit: some component's partial limit, or a
// summary limit.
inline bool over_a_limit(const FinishedRow& row) {
    if (row.limit_status != 0) return true;
    for (const RowComponent& c : row.components) {
        if (c.over_limit) return true;
    }
    return false;
}
