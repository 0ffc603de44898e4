// Characteristic limits and the distributions behind them.
//
// The counting example is ISO 11929:2010, Annex D, example 1(a): its
// published results are the expectations. Quantiles and tail probabilities
// are textbook values.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "analysis/limits.h"

namespace {

TEST(Distributions, TextbookValues) {
    EXPECT_NEAR(normal_upper_quantile(0.05), 1.6448536269514722, 1e-12);
    EXPECT_NEAR(normal_upper_quantile(0.5), 0.0, 1e-15);
    EXPECT_NEAR(normal_upper_quantile(0.025), 1.959963984540054, 1e-12);
    // Tails far beyond 1 - tail's resolution: 8.4938 for 1e-17 (the
    // asymptotic series phi(k) / k (1 - 1 / k^2 + 3 / k^4) gives 1.000e-17
    // there), each k checked against the C library's erfc: P(Z > k) =
    // erfc(k / sqrt 2) / 2.
    EXPECT_NEAR(normal_upper_quantile(1e-17), 8.4938, 5e-5);
    for (double tail : {0.05, 1e-10, 1e-17, 1e-100, 1e-300}) {
        EXPECT_NEAR(0.5 * std::erfc(normal_upper_quantile(tail) / std::sqrt(2.0)) / tail, 1.0, 1e-12) << tail;
    }
    // chi-square with 1 degree: 3.841459 is its 95 % point; with 2 degrees
    // the tail is exp(-chi2 / 2).
    EXPECT_NEAR(chi_square_upper_tail(3.841458820694124, 1), 0.05, 1e-12);
    EXPECT_NEAR(chi_square_upper_tail(10.0, 2), std::exp(-5.0), 1e-15);
    EXPECT_NEAR(chi_square_upper_tail(0.0, 5), 1.0, 1e-15);
    for (double p : {0.0, 1.0, -0.5, static_cast<double>(NAN)}) EXPECT_TRUE(std::isnan(normal_upper_quantile(p))) << p;
    EXPECT_TRUE(std::isnan(chi_square_upper_tail(3.0, 0)));
    EXPECT_TRUE(std::isnan(chi_square_upper_tail(-1.0, 3)));
    EXPECT_TRUE(std::isnan(chi_square_upper_tail(INFINITY, 3)));
}

// Gross 2591 counts in t_g = 360 s, background 41782 counts in t_0 = 7200 s,
// w = 1 / (V eps f) with V = 0.5 L (u 0.005), eps = 0.3 (u 0.015) and f = 0.6
// (rectangular, half-width 0.2, so u = 0.2 / sqrt(3)); k = 1.645 for both.
// u^2(y) = w^2 ((y / w + n_0 / t_0) / t_g + n_0 / t_0^2) + y^2 u_rel^2(w).
// Published: y = 15.4907, u(y) = 3.47550, y* = 2.37791, y# = 5.42076 Bq/L.
TEST(CharacteristicLimits, IsoCountingExample) {
    const double gross = 2591, gross_time = 360, background = 41782, background_time = 7200;
    const double w = 1.0 / (0.5 * 0.3 * 0.6);
    const double relative = std::sqrt(std::pow(0.005 / 0.5, 2) + std::pow(0.015 / 0.3, 2) +
                                      std::pow(0.2 / std::sqrt(3.0) / 0.6, 2));
    auto variance = [&](double a) {
        return w * w * ((a / w + background / background_time) / gross_time +
                        background / (background_time * background_time));
    };
    const double y = w * (gross / gross_time - background / background_time);
    EXPECT_NEAR(y, 15.4907, 5e-5);
    EXPECT_NEAR(std::sqrt(variance(y) + y * y * relative * relative), 3.47550, 5e-6);
    const CharacteristicLimits limits = characteristic_limits(variance, relative, 1.645, 1.645);
    EXPECT_NEAR(limits.decision_threshold, 2.37791, 5e-6);
    EXPECT_NEAR(limits.detection_limit, 5.42076, 5e-6);
    // Settled: the limit solves its own equation to the iteration's tolerance.
    const double again = limits.decision_threshold +
                         1.645 * std::sqrt(variance(limits.detection_limit) +
                                           std::pow(limits.detection_limit * relative, 2));
    EXPECT_NEAR(again, limits.detection_limit, 1e-8 * limits.detection_limit);
}

// u^2(a) = A + B a with alpha = beta has the closed solution y* = k sqrt(A),
// y# = 2 y* + k^2 B. Without background (A = 0) y* is 0 and y# = k^2 B.
// A calibration uncertainty with k u_rel >= 1 leaves no detection limit, and
// a variance that is not finite no limits at all.
TEST(CharacteristicLimits, LinearVarianceAndDegenerateCases) {
    struct Case {
        double a, b, relative, threshold, limit;  // NaN: none
    };
    const double k = 1.6448536269514722;
    const Case cases[] = {
        {4.0, 0.5, 0.0, 2 * k, 4 * k + k * k * 0.5},
        {0.0, 0.5, 0.0, 0.0, k * k * 0.5},
        {0.0, 0.0, 0.0, 0.0, 0.0},
        {4.0, 0.5, 1.0 / k, 2 * k, NAN},
        {INFINITY, 0.5, 0.0, NAN, NAN},
        {NAN, 0.5, 0.0, NAN, NAN},
    };
    for (const Case& c : cases) {
        const CharacteristicLimits limits =
            characteristic_limits([&](double y) { return c.a + c.b * y; }, c.relative, k, k);
        const std::string name = "A " + std::to_string(c.a) + ", B " + std::to_string(c.b) + ", u_rel " +
                                 std::to_string(c.relative);
        if (std::isnan(c.threshold)) {
            EXPECT_TRUE(std::isnan(limits.decision_threshold)) << name;
        } else {
            EXPECT_NEAR(limits.decision_threshold, c.threshold, 1e-12) << name;
        }
        if (std::isnan(c.limit)) {
            EXPECT_TRUE(std::isnan(limits.detection_limit)) << name;
        } else {
            EXPECT_NEAR(limits.detection_limit, c.limit, 1e-8 * std::max(1.0, c.limit)) << name;
        }
    }
}

}  // namespace
