// The combined standard uncertainty of each fitted activity, its budget, and
// the best estimate and coverage interval of a non-negative measurand
// (ISO 11929-1:2019, GUM first-order propagation).
//
// Three sources, each carried to first order through the calibration (the
// unmixing of the standards, channel by channel) and the sample's fit at the
// winning gain, with their correlations:
//   counting    the sample and the local background, through the fit's
//               linear map L = (R W R^T)^-1 R W, with the model's Poisson
//               variance at the fitted activities (as the limits take it);
//   standards   every channel the fit uses of every standard spectrum and of
//               the background spectra subtracted from them, with the Poisson
//               variance of its counts; a background that serves several
//               standards (the same counts and live time) is one measurement;
//   calibration a relative standard uncertainty u_rel per component (the
//               certified activity, geometry, emission probability, ...),
//               entering as activity^2 u_rel^2.
// The counting variance of an activity below 0 is taken at 0: the model's
// variance there would claim a sample quieter than its background.
// Left out: the choice of the gain by the scan, dead time, the standard
// factor's own uncertainty (unless it is in u_rel), and any correlation of the
// local background with the standards' background.
//
// In: the fitted method's standards at the fit's points, the fit's linear map
// and solution; activities in the unit of the standards' activities, before
// the standard factors (x / V, V the weighted counting time).
// Out: plain records; NaN for what does not exist.
// Failure: none signalled; a singular standards' design leaves the standards'
// part NaN.
#pragma once

#include <cmath>
#include <vector>

#include "analysis/analysis_types.h"
#include "core/records.h"

// The inverse of the m x m matrix `matrix` (m <= kMaxComponents) into
// `inverse`, by Gauss-Jordan elimination; false when it is singular (a pivot
// below 1e-30; `inverse` then partly written).
bool invert_small(int m, const double (*matrix)[kMaxComponents], double (*inverse)[kMaxComponents]);

// Why a component has no detection limit.
enum class DetectionLimitMissing {
    none,                      // it has one
    calibration_uncertainty,   // k(1-beta) u_rel >= 1: the limit grows as fast as itself
    calibration_unknown,       // no relative calibration uncertainty is known (a bad metadata file)
    no_solution,               // no fit, a variance that is not finite, or an iteration that did not settle
};

// What ISO 11929-1 reports of a non-negative measurand from an estimate y
// with standard uncertainty u: the best estimate, its uncertainty, and the
// probabilistically symmetric coverage interval.
struct BestEstimate {
    double estimate = NAN;     // y + u exp(-y^2 / 2u^2) / (omega sqrt(2 pi)), omega = Phi(y / u)
    double uncertainty = NAN;  // sqrt(u^2 - (estimate - y) estimate)
    double lower = NAN;        // y - u Phi^-1(omega (1 - gamma / 2)), gamma = 1 - coverage
    double upper = NAN;        // y + u Phi^-1(1 - omega gamma / 2)
};

// The best estimate of y with uncertainty u >= 0 at `coverage` (0 < coverage
// < 1). u = 0 gives y itself for y >= 0. NaN fields where y or u is not
// finite, u is negative, u is 0 with y < 0, or the coverage is outside (0, 1);
// the interval also where omega underflows (y below about -37 u).
BestEstimate best_estimate(double y, double u, double coverage);

// The uncertainty of one component's activity.
struct ComponentUncertainty {
    double uncertainty = NAN;  // combined standard uncertainty, unit of the activity
    // Shares of uncertainty^2 from each source, summing to 1 (NaN where
    // the uncertainty is NaN or 0).
    double counting_share = NAN;
    double standards_share = NAN;
    double calibration_share = NAN;
    BestEstimate best;  // of the activity with `uncertainty`, at the options' coverage
    DetectionLimitMissing detection_limit_missing = DetectionLimitMissing::no_solution;
};

// Below this many net counts in its ROIs a standard's own noise biases the
// activities low by a few 1e-3 relative or more (it sits in the fit's
// denominator), and first-order propagation starts to fall short.
inline constexpr double kStandardNetCountsWarning = 1e4;

// The standards of a fitted method at the fit's points (working channels,
// compressed as the fit reads them), and the inverse of their design.
struct StandardsNoise {
    int component_count = 0;
    int point_count = 0;
    bool usable = false;  // the design is invertible: the rest is valid
    // A^-1, A(m, j) = weight_m * standard_live_time_m / 1000 * standard_activity_m[j]:
    // d response(j, i) / d standard count(m, i) = design_inverse[j][m].
    double design_inverse[kMaxComponents][kMaxComponents] = {};
    double ratio[kMaxComponents] = {};  // standard live time / background live time
    // Standard m's background is measurement background_of[m]: the lowest
    // index of the standards whose backgrounds are the same counts and time.
    int background_of[kMaxComponents] = {};
    std::vector<double> standard;    // component_count rows of point_count counts
    std::vector<double> background;  // the same for the backgrounds
};

// The standards of the first nc components of `method` at `roi_channel` from
// the compressed spectra `standard` and `background` (as calibrate() reads them).
void standards_noise(const MethodRecord& method, int nc, const int32_t (*standard)[kChannels],
                     const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
                     StandardsNoise* noise);

// standards_noise() over every full-scale channel (below channel_count) of
// the uncompressed standards: what the fit's model over the whole spectrum
// needs.
void full_scale_standards_noise(const MethodRecord& method, int nc, int32_t channel_count, StandardsNoise* noise);

// The variance the standards' counting adds to the model's net count at each
// point for the solution x (x = activity * V, calibration order): d model(i) /
// d standard(m, i) = sum_j x_j design_inverse[j][m], and its square times the
// count, backgrounds taken once per measurement. Writes point_count values
// into `variance` (zeros when the noise is not usable).
void standards_model_variance(const StandardsNoise& noise, const double* x, double* variance);

// The fit's linear map at the winning trial and what goes with it: enough to
// propagate every source to the solution x.
struct FitLinearMap {
    int component_count = 0;
    int point_count = 0;
    const double* response = nullptr;      // R(j, i) at response[j * point_count + i]
    const double* x = nullptr;             // solution, x = activity * V
    double v = 0.0;                        // |V|, weighted counting time
    double inverse[kMaxComponents][kMaxComponents] = {};  // (R W R^T)^-1
    std::vector<double> estimator;         // L(k, i) at estimator[k * point_count + i]
    std::vector<double> weight;            // w_i (the fit's own, 1 / sqrt(variance))
    std::vector<double> residual;          // y_i - sum_j x_j R(j, i)
    std::vector<double> gross;             // U l_i + model_i
    std::vector<double> background_variance;  // U^2 l_i
};

// The standards' leverage on the fit at the data, the same for every
// component: sums over the points of (w_i r_i)^2 times each standard's and
// each background measurement's counts (r_i the residual).
struct StandardsLeverage {
    double standard[kMaxComponents] = {};
    double background[kMaxComponents] = {};  // per measurement (StandardsNoise::background_of)
};
StandardsLeverage standards_leverage(const FitLinearMap& map, const StandardsNoise& noise);

// What the limits and the uncertainty of component k come to, and the
// uncertainty of its fitted activity with its budget and best estimate at
// `coverage` (k_alpha, k_beta the normal quantiles; `relative_calibration`
// u_rel, NaN when unknown). At a true activity a (the others as fitted)
//   counting(a)  = sum_i L(k, i)^2 (max(0, gross_i at a) + U^2 l_i) / V^2,
//   standards(a) = the standards' counts through the response, where the
//                  model fits (no residual): d x_k / d c(m, i) = -L(k, i)
//                  (x(a)^T A^-1)(m), backgrounds -ratio times that summed over
//                  the standards sharing one, squared times the counts / V^2,
// and u~^2(a) = counting(a) + standards(a) + a^2 u_rel^2 gives y* and y#. At
// the data the standards' sensitivities are the full first-order ones,
// d x_k / d c(m, i) = w_i r_i (N^-1 A^-1)(k, m) - L(k, i) (x^T A^-1)(m). `noise`
// may be unusable: the standards then add nothing to the limits and leave
// the uncertainty NaN.
void assess_component(const FitLinearMap& map, const StandardsNoise& noise,
                      const StandardsLeverage& leverage, int k,
                      double relative_calibration, double k_alpha, double k_beta, double coverage,
                      ComponentLimits* limits, ComponentUncertainty* uncertainty);

// Net counts of each of the first nc components' own standards over their own
// ROIs (the standard less its background scaled to the standard's live time;
// full-scale channels, uncompressed), written to `net` (nc values). A method
// fact: worked out once per method, not per evaluation.
void standard_net_counts(const MethodRecord& method, int nc, double* net);
