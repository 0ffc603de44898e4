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
    // Net counts of this component's own standard over its own ROIs
    // (standard less its live-time-scaled background, full-scale channels).
    double standard_net_counts = NAN;
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

// The counting variance of component k's activity when its true activity is a
// (the others as fitted): sum_i L(k, i)^2 (max(0, gross_i at a) + U^2 l_i) / V^2.
double counting_variance(const FitLinearMap& map, int k, double a);

// Sensitivities of component k's solution to the standards' counts, for the
// limits (at an assumed true activity, where the model fits: no residual)
// and for the estimate (at the data, residuals included).
struct StandardsPropagation {
    double standard_weight[kMaxComponents] = {};     // sum_i L(k, i)^2 c(m, i)
    double background_weight[kMaxComponents] = {};   // sum_i L(k, i)^2 b(m, i), per measurement
};

// The standards' variance of component k's activity at the data: every
// channel's first-order sensitivity d x_k / d c(m, i) = w_i r_i (N^-1 A^-1)(k, m)
// - L(k, i) (x^T A^-1)(m), backgrounds (-ratio times that, summed over the
// standards sharing one) likewise, squared times the counts, over V^2. NaN
// when the noise is not usable.
double standards_variance_at_data(const FitLinearMap& map, const StandardsNoise& noise, int k);

// The weights for standards_variance_at() of component k.
StandardsPropagation standards_propagation(const FitLinearMap& map, const StandardsNoise& noise, int k);

// The standards' variance of component k's activity when its true activity is
// a and the model fits the sample exactly: the residual term drops out.
double standards_variance_at(const FitLinearMap& map, const StandardsNoise& noise,
                             const StandardsPropagation& propagation, int k, double a);

// What the limits and the uncertainty of component k come to: y* and y# with
// u~^2(a) = counting_variance + standards_variance_at + a^2 u_rel^2 (k_alpha,
// k_beta the normal quantiles; `relative_calibration` u_rel, NaN when
// unknown), and the uncertainty of the fitted activity with its budget and
// best estimate at `coverage`. `noise` may be unusable: the standards then
// add nothing to the limits and leave the uncertainty NaN.
void assess_component(const FitLinearMap& map, const StandardsNoise& noise, int k,
                      double relative_calibration, double k_alpha, double k_beta, double coverage,
                      ComponentLimits* limits, ComponentUncertainty* uncertainty);

// Net counts of each of the first nc components' own standards over their own
// ROIs (full-scale channels, uncompressed), written to `net` (nc values).
void standard_net_counts(const MethodRecord& method, int nc, double* net);
