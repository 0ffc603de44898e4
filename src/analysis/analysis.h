// The activity analysis: the activities of the method's components in a
// spectrum, by a weighted least-squares fit over the ROI channels with a scan
// of the gain factor, and the detection and plausibility checks on the result.
//
// In: a sample record (spectrum, live time in s, weight), the method record,
// the local background and the options (what the evaluation covers and
// checks, and how it runs), all read only but the sample.
// Out: in the sample record, per component in method order, the activity and
// its standard deviation (in the unit of the standards' activities, before
// the standard factors), the fit figure qfit, the winning gain, the limit
// flags and sums, and the unknown-nuclide flag; in an EvaluationDetail what
// the run and the pictures need besides: the fit's own model spectrum, its
// chi-square against the model's Poisson variance, the gain scan's trials and
// warnings, and the characteristic limits of every component (ISO 11929).
// Failure: a fit that cannot be made (an unusable ROI, a singular fit)
// returns -1 and leaves the earlier results in place, as the table always
// showed them. Nothing here prints or keeps state between calls, and every
// result is reproducible to the last bit in either form of the fit.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analysis_types.h"
#include "analysis/interference.h"
#include "analysis/unknown_peaks.h"
#include "analysis/uncertainty.h"
#include "core/records.h"

// Remembers the calibration (response matrix) of the last method and ROI list
// a fit saw, so that evaluations against the same method skip it. Results are
// the same bits with or without it. One per thread: it is not shared.
class FitCache {
public:
    FitCache();
    ~FitCache();
    FitCache(const FitCache&) = delete;
    FitCache& operator=(const FitCache&) = delete;

    struct State;
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// What tells one method record from another without comparing them: a
// SHA-256 of every field, in hexadecimal digits. A caller that evaluates
// many samples against one unchanged record works it out once and passes it
// in AnalysisOptions::method_identity.
std::string method_identity(const MethodRecord& method);

// Instruction sets the fast gain scan may use; all give the same bits.
enum class AnalysisKernel {
    automatic,  // the widest the processor has
    baseline,   // SSE2 on x86-64, plain code elsewhere
};

// How the gain scan is placed. none: the plain scan around the standards'
// gain. wide: a coarse search over 0.75 to 1.35 by the scan's own fit figure
// first, and the scan centred on its best gain. calibration: the scan
// centred on the gain the energy calibrations imply, the wide search where
// none is given.
enum class GainSearch { none, wide, calibration };

// One trial of the gain scan.
struct ScanTrial {
    double gain = NAN;    // the trial gain as tried
    double figure = NAN;  // its fit figure (the qfit it would report)
};

// What an evaluation found beyond the sample record's fields. Activities and
// limits here are in the unit of the standards' activities, before the
// standard factors.
struct EvaluationDetail {
    ScanRange scan_range;            // the gains the last scan tried
    // The winning gain is the lowest or highest tried, or the first pass's
    // best was its first or last trial: the true gain may lie outside the scan.
    bool gain_at_scan_edge = false;
    float first_pass_gain = NAN;     // the first pass's best gain; NaN when none won
    std::vector<ScanTrial> trials;   // the last scan's trials in the order run (100 when complete)
    // The search that placed the scan (wide where calibration had no gain to
    // go by), the wide search's best gain (NaN when it did not run or none
    // won) and the scan's centre (1 for the plain scan).
    GainSearch gain_search = GainSearch::none;
    double coarse_gain = NAN;
    double scan_centre = 1.0;
    bool fitted = false;             // the evaluation succeeded: what follows describes its fit
    FitStatistics statistics;        // of the winning trial, over the points the fit used
    ComponentLimits limits[kMaxComponents];  // method order; none for a component the second pass dropped
    // The fit's model over the full-scale channels (channel_count values): the
    // local background scaled to the sample's live time plus each component's
    // fitted activity times its response per unit activity where that is
    // positive, in gross counts; and its Poisson variance max(0, model) +
    // U^2 l, floored at 1 count (U the live-time ratio, l the local
    // background count). Empty when not fitted.
    std::vector<float> model;
    std::vector<float> model_variance;
    // The checks against that model (final pass, when fitted): the
    // resolution they worked with, each component's ROI test in method order
    // (none for a component the second pass dropped), and the unknown peaks;
    // unknown_found is whether there is one.
    Resolution resolution;
    RoiInterference interference[kMaxComponents];
    std::vector<UnknownPeak> unknown_peaks;
    // The uncertainty of each component's activity (method order; like the
    // limits, in the unit of the standards' activities before the standard
    // factors), where the limits are worked out.
    ComponentUncertainty uncertainty[kMaxComponents];
};

// What an evaluation covers and checks, and how it runs. The defaults are a
// run's evaluation: 1024 channels halved, one pass, no summary checks, the
// fast form without a cache.
struct AnalysisOptions {
    // What it covers and checks; calc_activity reads only channel_count and mode.
    const RoiList* extra_rois = nullptr;  // further ROIs after the components' ROIs, or none
    int32_t channel_count = kChannels;    // channels of the spectra; outside 0..1024 refused
    int32_t mode = 2;  // compression: 1 quasi-logarithmic (282 channels), 2 halving (512), else none
    bool two_pass = false;        // evaluate again without components below their detection limit
    bool check_total = false;     // set bit 1 of limit_status when summary_activity > summary_limit
    bool check_fraction = false;  // set bit 2 of limit_status when summary_fraction > 1

    // How it runs; the results are the same bits in either form, with or
    // without a cache, with any kernel.
    FitCache* cache = nullptr;           // reuse calibrations across calls
    // method_identity() of the method record handed in, or empty when not
    // known. With it a cache knows its method without comparing the
    // standards' spectra; one that does not belong to the record makes the
    // cache reuse a calibration of another method.
    std::string method_identity = {};
    bool straightforward = false;        // the reference form of the fit
    EvaluationDetail* detail = nullptr;  // receives the detail, when given
    AnalysisKernel kernel = AnalysisKernel::automatic;
    double alpha = 0.05;  // probability of a false detection at the decision threshold, 0 < alpha < 1
    double beta = 0.05;   // probability of missing an activity at the detection limit, 0 < beta < 1
    // Whether to work out the characteristic limits, which only a reader of
    // the detail needs; they cost about a sixth of an evaluation.
    bool characteristic_limits = true;
    // When not NaN, the fit tries only this gain instead of scanning: for a
    // detector whose gain is known to hold (the result table's gain is then it).
    float held_gain = NAN;
    // Where the scan is centred (ignored with a held gain); calibration_gain
    // is the sample's gain relative to the standards by their energy
    // calibrations, NaN when either lacks one.
    GainSearch gain_search = GainSearch::none;
    double calibration_gain = NAN;
    // The checks against the fit's model: the significance an unknown peak
    // needs, in standard deviations, and the probability below which a
    // component's ROIs count as interfered.
    double unknown_sigma = kUnknownSigma;
    double interference_p = kInterferenceProbability;
    // Whether to test each component's ROIs against the model, which only a
    // reader of the detail needs.
    bool roi_tests = true;
    // The energy calibration the sample's files agree on (keV at full-scale
    // channel c = sum_k a_k c^k; empty: none): the detector's resolution
    // where the standards show no peak of their own.
    std::vector<double> energy_calibration = {};
    // With the limits: the relative standard uncertainty u_rel of each
    // component's calibration (method order; 0 taken as exact, NaN unknown:
    // no uncertainty and no detection limit then) and the coverage
    // probability of the coverage intervals, 0 < coverage < 1.
    double calibration_uncertainty[kMaxComponents] = {};
    double coverage = 0.95;
    // Whether the detail receives the fit's model (EvaluationDetail::model),
    // which only a drawing of the spectra needs.
    bool model = true;
};

// Evaluates `sample` against `method`: fills activity, activity_sd (method
// order; 0 for components dropped in a second pass), qfit, summary_activity,
// summary_fraction, over_limit, below_limit, limit_status, unknown_found and
// gain of `sample`. The fit runs over the components' ROIs and the options'
// extra ROIs. A background with live time 0 in `method` or
// `local_background` is taken as an empty spectrum of live and real time 1 s
// (default_backgrounds() without writing it).
// Returns 0 on success. Returns -1 when the fit failed: the sample then holds
// only the resets of the limit fields (activity, activity_sd, qfit,
// unknown_found and gain keep their earlier values). A channel_count outside
// 0..1024 returns -1 and changes nothing.
// The unknown-nuclide check searches the difference between the
// gain-corrected sample and the fit's model (EvaluationDetail::model) for
// peaks of the detector's shape (find_unknown_peaks); channels the gain
// correction could not fill are not searched. options.detail receives the detail of the final
// pass (fitted false after a failure).
int32_t lsq_calc_activity(SampleRecord* sample, const MethodRecord& method,
                          const LocalBackground& local_background,
                          const AnalysisOptions& options = {});

// Puts empty spectra of live and real time 1 s (channel_count channels of 0)
// in place of the component backgrounds (below component_count) and the local
// background whose live time is 0: a method read this way is complete, and
// lsq_calc_activity reads it as it is.
void default_backgrounds(MethodRecord* method, LocalBackground* local_background,
                         int32_t channel_count = kChannels);

// The fit for all components of `method` over the ROIs `rois` (full-scale
// channels, inclusive): writes activity and activity_sd entries below
// component_count and qfit of `sample`; `gain_factor` is the gain kept when no
// trial wins and receives the winning gain; `corrected_spectrum` (at least
// channel_count floats) receives the caller's uncompressed sample corrected by
// the final gain. Returns 0 on success, -1 when an ROI is outside the working
// channels (nothing written), when a calibration fit is singular (zeros and
// qfit 6e12 written) or when a sample fit is singular (the best earlier trial
// written). options.detail, when given, receives the scan's part of the
// detail, and the statistics and limits of the fit in the order of `method`'s
// components (not the model). The backgrounds are read as they are.
int32_t calc_activity(SampleRecord* sample, const MethodRecord& method,
                      const LocalBackground& local_background, const RoiList& rois,
                      float* gain_factor, float* corrected_spectrum,
                      const AnalysisOptions& options = {});

// The gain correction of a whole 1024-channel spectrum by `gain_factor` with
// NaN where the correction has no value: what a reader is shown of the
// spectrum the fit saw.
void corrected_spectrum(const int32_t* counts, float gain_factor, float* out);

// A joined ROI of the method that no fit can use: on the working scale it is
// not a range within the working channels, so every evaluation fails.
struct UnusableRoi {
    int32_t first = 0;            // full-scale channels, as joined
    int32_t end = 0;
    std::vector<int> components;  // the components whose ROIs went into it
};

// The unusable ROIs of all components of `method` joined, as an evaluation
// with every component joins them (the options' channel_count and mode).
std::vector<UnusableRoi> unusable_rois(const MethodRecord& method, const AnalysisOptions& options = {});

// Whether the calibration of all components of `method` (with default
// backgrounds where they are missing) is singular over their joined ROIs, so
// that every evaluation fails; false when the ROIs themselves are unusable
// (unusable_rois says so) or the method has no components.
bool calibration_singular(const MethodRecord& method, const AnalysisOptions& options = {});

// The sample's gain relative to the standards that two energy calibrations
// imply (keV at channel c = sum_k calibration[k] c^k, full-scale channels):
// the ratio of the sample's keV per channel to the standards' over the span
// of the method's ROIs. NaN when either calibration is missing or does not
// rise over that span, or the method has no ROI.
double calibration_gain(const std::vector<double>& sample, const std::vector<double>& standards,
                        const MethodRecord& method);
