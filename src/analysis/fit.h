// The fit of one sample as the evaluation driver needs it: calc_activity's
// work, and what it leaves out of the sample record (the scan's trials, the
// winning solution, its statistics and limits), for the driver to pass on.
#pragma once

#include <cstdint>

#include "analysis/analysis.h"
#include "analysis/fit_common.h"

struct SampleFit {
    ScanOutcome outcome;
    WinnerAssessment assessment;  // in the order of the fitted method's components
    double v = 0.0;               // weighted counting time: activity = x / v
    GainSearch gain_search = GainSearch::none;  // as EvaluationDetail reports them
    double coarse_gain = NAN;
    double scan_centre = 1.0;
};

// calc_activity, also filling `fit` (v and the outcome stay at their
// defaults when an ROI is unusable).
int32_t fit_sample(SampleRecord* sample, const MethodRecord& method,
                   const LocalBackground& local_background, const RoiList& rois,
                   float* gain_factor, float* corrected_spectrum, const AnalysisOptions& options,
                   SampleFit* fit);

// The scan's part of `detail` (range, first-pass gain, trials, edge flag for
// `gain`) and the fit's statistics and limits, in the fit's component order.
void describe_fit(const SampleFit& fit, int component_count, float gain, EvaluationDetail* detail);

// The full-scale response of the first nc components over the options'
// channel_count (model_response()), from the fast form's cache unless the
// options ask for the reference form.
const Calibration& fit_model_response(const MethodRecord& method, int nc,
                                      const AnalysisOptions& options, Calibration* local);

// The standards' noise over the model's channels, likewise from the cache
// unless the options ask for the reference form.
const StandardsNoise& fit_model_noise(const MethodRecord& method, int nc, const AnalysisOptions& options,
                                      StandardsNoise* local);

// The working records of an evaluation (lsq_calc_activity). A fit cache
// keeps one, so that a thread does not allocate and clear them for every
// evaluation; whoever uses it writes each field before reading it.
struct EvaluationScratch {
    SampleRecord working;
    MethodRecord reduced;  // the components taking part, where that is not all of them
    RoiList collected;
    RoiList joined;
    float corrected[kChannels];
    SampleFit fit;
    float model[kChannels];
    float model_variance[kChannels];
};

// The scratch records `cache` keeps; nullptr without a cache.
EvaluationScratch* cached_scratch(FitCache* cache);

class PeakFilter;

// The peak filter a fit cache keeps for the checks against the model, so
// that its kernels are built once per thread; nullptr without a cache.
PeakFilter* cached_peak_filter(FitCache* cache);
