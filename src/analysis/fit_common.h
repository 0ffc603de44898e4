// What the two forms of the fit share, below both: the trial gains of the
// scan, the data and weights of a fit point, the calibration, the figure that
// any fit beats, and the record of a scan's outcome. The reference fit
// (reference_fit.h) and the fast fit (fast_fit.h) never call each other; they
// build on this and must agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/analysis_types.h"
#include "analysis/spectrum_ops.h"
#include "analysis/uncertainty.h"
#include "core/records.h"

// Fit figure that any real fit beats; also what qfit reports when none won
// (6000000106496 once stored as a float).
inline constexpr double kNoFit = 6.0e12;

// ---------------------------------------------------------------------------
// The gain scan's trial gains: two passes of kScanTrials trials; trial m of a
// pass tries low + m * step. The first pass runs from 0.94 in steps of
// (1.06 - 0.94) / kScanTrials (1.06 itself is not tried); the second runs
// from one first-pass step below the gain the first pass left to one step
// above, in kScanTrials steps of that span.
inline constexpr int kScanPasses = 2;
inline constexpr int kScanTrials = 50;
inline constexpr double kScanLowest = 0.94;
inline constexpr double kScanHighest = 1.06;

struct ScanPass {
    double low;
    double step;
};

// A scan centred on `scale` multiplies the first pass's bounds and step by
// it; a scale of 1 is the plain scan, bit for bit.
inline ScanPass scan_pass(int pass, float gain_after_first_pass, double scale = 1.0) {
    const double step1 = (kScanHighest - kScanLowest) / static_cast<double>(kScanTrials) * scale;
    if (pass == 0) return {kScanLowest * scale, step1};
    const double centre = gain_after_first_pass;
    const double low = centre - step1;
    const double high = centre + step1;
    return {low, (high - low) / static_cast<double>(kScanTrials)};
}

inline double trial_gain(const ScanPass& pass, int trial) { return pass.low + trial * pass.step; }

// The wide search before a centred scan: one pass over kCoarseTrials gains
// from kCoarseLowest in steps of kCoarseStep (0.75 to 1.35), fine enough
// that the best lies within the centred scan's first pass of the true gain.
inline constexpr int kCoarseTrials = 61;
inline constexpr double kCoarseLowest = 0.75;
inline constexpr double kCoarseStep = 0.01;
static_assert(kCoarseTrials <= kScanPasses * kScanTrials, "a scan outcome holds every trial");

// Trials of a whole scan, numbered in the order they run: trial m of pass p
// is number p * kScanTrials + m.
inline constexpr int kScanTrialCount = kScanPasses * kScanTrials;

// Widens `range` to take in the trial gain g (a NaN range takes g).
inline void note_trial(ScanRange* range, float g) {
    if (!(range->lowest <= g)) range->lowest = g;
    if (!(range->highest >= g)) range->highest = g;
}

// ---------------------------------------------------------------------------
// Data and weights.

// The corrected count of a trial at working channel ch: the gain correction
// by g there; the last working channel, which the correction never writes,
// counts 0.
inline double corrected_count(double g, const int32_t* sample, int x_channels, int ch) {
    if (ch == x_channels - 1) return 0.0;
    return g >= kSmallestGain ? gain_at(g, sample, x_channels, ch + 1) : static_cast<float>(sample[ch]);
}

// A sample point's weight: the inverse standard deviation 1 / sqrt(v), and 0
// for a variance below one count (the point then counts in the degrees of
// freedom but not in the fit).
inline double sample_weight(double variance) {
    return variance < 1.0 ? 0.0 : 1.0 / std::sqrt(variance);
}

// A calibration point's weight: the inverse variance 1 / v, and 1 for a
// variance of exactly 0.
inline double calibration_weight(double variance) { return variance == 0.0 ? 1.0 : 1.0 / variance; }

// ---------------------------------------------------------------------------
// The spectra a fit reads, compressed, copied so that the caller's records
// stay as they are.
struct FitSpectra {
    int32_t sample[kChannels];
    int32_t local_background[kChannels];
    int32_t standard[kMaxComponents][kChannels];
    int32_t background[kMaxComponents][kChannels];
};

// Copies the standard and background spectra of the first nc components of
// `method` into `spectra`, compressed by channel_count and mode.
void copy_standards(const MethodRecord& method, int nc, int32_t channel_count, int32_t mode,
                    FitSpectra* spectra);

// The calibration of a method over a list of ROI channels: per ROI channel, a
// weighted fit with one point per standard unmixes the standards into the
// response of each single component per unit of activity and counting time.
struct Calibration {
    int component_count = 0;
    int point_count = 0;
    bool singular = false;         // a calibration fit was singular; no response then
    std::vector<double> response;  // component_count rows of point_count: R(j, i)
};

// Calibrates the first nc components of `method` from the compressed
// `standard` and `background` spectra at the working channels `roi_channel`.
// Stops at the first singular channel fit (singular set, no response).
void calibrate(const MethodRecord& method, int nc, const int32_t (*standard)[kChannels],
               const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
               Calibration* calibration);

// The response of the first nc components at every full-scale channel
// 0..channel_count-1 (uncompressed), unmixed as calibrate() does: what the
// fit's model expects of one unit of x at each channel. A channel whose fit
// is singular responds with 0 (singular is then set); nothing fails.
void model_response(const MethodRecord& method, int nc, int32_t channel_count,
                    Calibration* response);

// What a gain scan found.
struct ScanOutcome {
    bool failed = false;                   // a sample fit was singular
    ScanRange range;                       // lowest and highest trial gain
    double best = kNoFit;                  // best figure
    double solution[kMaxComponents] = {};  // of the best trial: x = activity * V
    double deviation[kMaxComponents] = {};
    int best_trial = -1;                   // number of the best trial; -1 when none won
    double best_gain = NAN;                // its gain as tried (before it was stored as a float)
    int first_pass_best_trial = -1;        // the first pass's best, 0..kScanTrials-1; -1 none
    int trials_run = 0;                    // trials with a figure below, in order
    double trial_gain[kScanTrialCount] = {};
    double trial_figure[kScanTrialCount] = {};
};

// Notes trial `trial` of pass `pass` (gain g, fit figure `figure`) and makes
// it the best when its figure is below the best so far: strictly, so an
// equal figure keeps the earlier trial and NaN never wins; the gain factor
// then becomes g. Returns whether it became the best (the caller then keeps
// its solution and deviations).
inline bool note_figure(ScanOutcome* outcome, int pass, int trial, double g, double figure,
                        float* gain_factor) {
    const int number = pass * kScanTrials + trial;
    outcome->trial_gain[number] = g;
    outcome->trial_figure[number] = figure;
    outcome->trials_run = number + 1;
    if (!(outcome->best > figure)) return false;
    outcome->best = figure;
    outcome->best_trial = number;
    outcome->best_gain = g;
    if (pass == 0) outcome->first_pass_best_trial = trial;
    *gain_factor = static_cast<float>(g);
    return true;
}

// The fixed inputs of one scan.
struct ScanInput {
    const Calibration* calibration;
    const int32_t* sample;             // compressed sample counts
    const int32_t* local_background;   // compressed local background counts
    const std::vector<int32_t>* roi_channel;
    int x_channels;
    double u;                          // live-time ratio sample / local background
    double held_gain = NAN;            // when not NaN: the one gain tried, instead of the scan
    double centre = 1.0;               // the two-pass scan's centre (see scan_pass)
    bool coarse = false;               // the wide search instead of the two-pass scan
};

// The passes and trials a scan runs: the two-pass scan, the wide search, or
// one trial at the held gain.
inline int scan_passes(const ScanInput& input) {
    return std::isnan(input.held_gain) && !input.coarse ? kScanPasses : 1;
}
inline int scan_trials(const ScanInput& input) {
    if (!std::isnan(input.held_gain)) return 1;
    return input.coarse ? kCoarseTrials : kScanTrials;
}
inline ScanPass scan_pass(const ScanInput& input, int pass, float gain_after_first_pass) {
    if (input.coarse) return {kCoarseLowest, kCoarseStep};
    return scan_pass(pass, gain_after_first_pass, input.centre);
}
inline double scan_gain(const ScanInput& input, const ScanPass& pass, int trial) {
    return std::isnan(input.held_gain) ? trial_gain(pass, trial) : input.held_gain;
}

// ---------------------------------------------------------------------------
// What the winning trial's fit says beyond its values: its statistics
// against its own Poisson variance and the characteristic limits of each
// component. Worked out once after the scan, the same for either form.

struct WinnerAssessment {
    bool assessed = false;            // a trial won: what follows is its
    FitStatistics statistics;
    ComponentLimits limits[kMaxComponents];  // in the calibration's component order
    ComponentUncertainty uncertainty[kMaxComponents];  // likewise
};

// What the assessment of a winner reads besides the scan: k_alpha and k_beta
// are the normal quantiles of 1 - alpha and 1 - beta; `limits` false leaves
// out the limits and the uncertainties; `standards` the standards at the
// fit's points; `relative_calibration` u_rel per component in the
// calibration's order (NaN: unknown); `coverage` of the coverage intervals.
struct AssessmentInput {
    double k_alpha = NAN;
    double k_beta = NAN;
    bool limits = false;
    const StandardsNoise* standards = nullptr;
    const double* relative_calibration = nullptr;
    double coverage = 0.95;
};

// Assesses the best trial of `outcome` (nothing when none won). `v` is the
// sample's weighted counting time V (activity = x / V).
//
// At each point the model's net count is m = sum_j x_j R(j, i) and its
// Poisson variance var = max(0, U l + m) + U^2 l (l the local background
// count), floored at 1 count for the chi-square. The fit's solution is
// x = L y with L = (R W R^T)^-1 R W and W the fit's own weights
// (1 / sqrt(v), not their squares), so for component k at true activity a
// the counting variance is sum_i L(k, i)^2 var_i(a) / V^2, var_i(a) taken
// with x_k = a V and the other x_j as fitted; the standards' and the
// calibration's variances add to it (uncertainty.h); y* = k_alpha u(0),
// y# = y* + k_beta u(y#). No limits or uncertainties where V is 0 or the
// normal matrix is singular, nor when `input.limits` is false.
void assess_winner(const ScanInput& input, const ScanOutcome& outcome, double v,
                   const AssessmentInput& assessment_input, WinnerAssessment* assessment);
