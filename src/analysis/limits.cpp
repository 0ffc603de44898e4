#include "analysis/limits.h"

#include <cmath>

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/normal.hpp>

namespace {

// Errors become NaN results rather than exceptions; the arguments are
// checked before every call anyway.
using QuietPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>>;

// Enough for any fixed point of a Poisson variance: each step at least
// halves the distance to it long before this.
constexpr int kMaxIterations = 1000;

}  // namespace

double normal_upper_quantile(double tail) {
    if (!(tail > 0.0 && tail < 1.0)) return NAN;
    const boost::math::normal_distribution<double, QuietPolicy> distribution;
    return boost::math::quantile(boost::math::complement(distribution, tail));
}

double chi_square_upper_tail(double chi_square, int degrees_of_freedom) {
    if (degrees_of_freedom <= 0 || !(chi_square >= 0.0) || !std::isfinite(chi_square)) return NAN;
    const boost::math::chi_squared_distribution<double, QuietPolicy> distribution(degrees_of_freedom);
    return boost::math::cdf(boost::math::complement(distribution, chi_square));
}

CharacteristicLimits characteristic_limits(const std::function<double(double)>& variance,
                                           double relative_calibration_uncertainty,
                                           double k_alpha, double k_beta) {
    const double relative_squared = relative_calibration_uncertainty * relative_calibration_uncertainty;
    auto uncertainty = [&](double a) { return std::sqrt(variance(a) + a * a * relative_squared); };
    CharacteristicLimits limits;
    limits.decision_threshold = k_alpha * uncertainty(0.0);
    if (!std::isfinite(limits.decision_threshold)) {
        limits.decision_threshold = NAN;
        limits.detection_limit = NAN;
        return limits;
    }
    limits.detection_limit = NAN;
    // With k_beta u_rel >= 1 the uncertainty grows as fast as the limit itself.
    if (!(k_beta * relative_calibration_uncertainty < 1.0)) return limits;
    const double threshold = limits.decision_threshold;
    double y = threshold + k_beta * uncertainty(threshold);
    if (!(y > 0.0)) {
        // No uncertainty at 0 (no background): start where a pure counting
        // signal would put the limit, k^2 times the variance per unit.
        y = k_beta * k_beta * (variance(1.0) - variance(0.0));
    }
    if (!(y > 0.0)) {
        limits.detection_limit = threshold;
        return limits;
    }
    for (int i = 0; i < kMaxIterations && std::isfinite(y); ++i) {
        const double next = threshold + k_beta * uncertainty(y);
        if (std::fabs(next - y) < kDetectionLimitTolerance * std::fabs(next)) {
            limits.detection_limit = next;
            return limits;
        }
        y = next;
    }
    return limits;
}
