// Characteristic limits and fit statistics: what a reader needs to judge a
// result beyond its value and deviation.
//
// The limits are those of ISO 11929 (decision threshold y*, detection limit
// y#) for an estimate whose standard uncertainty depends on the true value;
// the fit statistics are the chi-square of a fit against its own Poisson
// variance and its upper-tail probability.
//
// In: a variance function u^2(a) of the estimated value when the true value
// is a, quantiles of the standard normal distribution, counts of points.
// Out: limits and probabilities as doubles; NaN where none exists.
// Failure: none is thrown or signalled otherwise: a limit that does not
// exist (a variance that is not finite, an iteration that does not settle)
// and a probability without degrees of freedom are NaN.
#pragma once

#include <functional>

// The value k that a standard normal variable exceeds with probability
// `tail` (k = 1.645 for 0.05), for 0 < tail < 1; NaN outside that range.
// Taken from the tail itself, so that a tail as small as 1e-300 keeps its
// meaning where 1 - tail would already round to 1.
double normal_upper_quantile(double tail);

// The probability that a chi-square variable with `degrees_of_freedom`
// degrees exceeds `chi_square`; NaN for no degree of freedom or a chi-square
// that is not a finite number of at least 0.
double chi_square_upper_tail(double chi_square, int degrees_of_freedom);

// Decision threshold and detection limit, in the unit of the estimate.
struct CharacteristicLimits {
    double decision_threshold = 0.0;  // y* = k_alpha u(0); NaN when not finite
    double detection_limit = 0.0;     // y# = y* + k_beta u(y#); NaN when it has no finite solution
};

// The relative change below which the iteration for y# has settled.
inline constexpr double kDetectionLimitTolerance = 1e-9;

// The limits for an estimate whose variance, at true value a, is
// variance(a) (1 / the calibration factor's uncertainty left out) plus
// a^2 times relative_calibration_uncertainty^2 (0 where the calibration is
// taken as exact). k_alpha and k_beta are the normal upper quantiles of alpha
// and beta. y# is found by iterating y = y* + k_beta u(y) until the
// relative change is below kDetectionLimitTolerance; it does not exist when
// k_beta times the relative calibration uncertainty is 1 or more.
CharacteristicLimits characteristic_limits(const std::function<double(double)>& variance,
                                           double relative_calibration_uncertainty,
                                           double k_alpha, double k_beta);
