// The uncertainty of the activities: the best estimate and coverage interval
// against ISO 11929-1:2019's formulas (evaluated independently with
// Python's statistics.NormalDist), the standards' propagation against a
// numerical derivative of the fit itself, and the statistical acceptance of
// the combined uncertainty on simulated methods and samples.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/fit.h"
#include "analysis/uncertainty.h"

namespace {

// omega = Phi(y / u); estimate y + u phi(y / u) / omega; its uncertainty
// sqrt(u^2 - (estimate - y) estimate); interval y - u Phi^-1(omega (1 -
// gamma / 2)) .. y + u Phi^-1(1 - omega gamma / 2).
TEST(BestEstimate, IsoFormulas) {
    struct Case {
        double y, u, coverage, estimate, uncertainty, lower, upper;  // NaN: none
    };
    const Case cases[] = {
        {0, 1, 0.95, 0.797884560802865, 0.602810274989087, 0.0313379820214266, 2.24140272760495},
        {-1, 1, 0.95, 0.525135276160981, 0.44620361447477, 0.016528579328938, 1.65491826516483},
        {2, 1, 0.95, 2.05524786267899, 0.941515771674284, 0.327180106086225, 3.96978956153776},
        {30, 2, 0.95, 30, 2, 26.0800720309199, 33.9199279690801},
        {1, 1, 0.68, 1.28759997093918, 0.793527747326207, 0.456144373959093, 2.1048367834217},
        {5, 0, 0.95, 5, 0, 5, 5},
        {-5, 0, 0.95, NAN, NAN, NAN, NAN},
        {1, -1, 0.95, NAN, NAN, NAN, NAN},
        {1, 1, 1.0, NAN, NAN, NAN, NAN},
        {NAN, 1, 0.95, NAN, NAN, NAN, NAN},
    };
    for (const Case& c : cases) {
        const BestEstimate best = best_estimate(c.y, c.u, c.coverage);
        const std::string name = std::to_string(c.y) + " +- " + std::to_string(c.u);
        const double expected[] = {c.estimate, c.uncertainty, c.lower, c.upper};
        const double found[] = {best.estimate, best.uncertainty, best.lower, best.upper};
        for (int i = 0; i < 4; ++i) {
            if (std::isnan(expected[i])) {
                EXPECT_TRUE(std::isnan(found[i])) << name << " field " << i;
            } else {
                EXPECT_NEAR(found[i], expected[i], 1e-12 * std::max(1.0, std::fabs(expected[i])))
                    << name << " field " << i;
            }
        }
    }
    // Far below 0 the estimate tends to u^2 / |y| and stays finite.
    const BestEstimate far = best_estimate(-60.0, 1.0, 0.95);
    EXPECT_NEAR(far.estimate, 1.0 / 60.0, 1e-3 / 60.0);
}

// The variance the standards add to the model's net count at a point, by
// hand: z = x^T A^-1, var = sum_m z_m^2 c_m + (sum_m ratio_m z_m)^2 b per
// background measurement. Two standards (A = diag(10, 20), ratio 2, counts
// 100 and 200, background 50) at x = (5, 8): z = (0.5, 0.4), 25 + 32 +
// (1 + 0.8)^2 50 = 219 with one background for both, 25 + 32 + 50 + 32 = 139
// with two that differ elsewhere; one standard (A = 20, c 3400, b 600) at
// x = 18: 5800 (18 / 20)^2 = 4698.
TEST(StandardsModelVariance, ByHand) {
    struct Case {
        int components;
        bool shared;
        double x[2];
        double variance;
    };
    const Case cases[] = {{2, true, {5, 8}, 219.0}, {2, false, {5, 8}, 139.0}, {1, true, {18, 0}, 4698.0}};
    for (const Case& c : cases) {
        auto method = std::make_unique<MethodRecord>();
        method->component_count = c.components;
        auto spectra = std::make_unique<FitSpectra>();
        for (int m = 0; m < c.components; ++m) {
            ComponentBlock& block = method->component[m];
            block.weight = 1.0f;
            block.standard_live_time = c.components == 1 ? 500 : 1000;
            block.background_live_time = block.standard_live_time / 2;
            block.standard_activity[m] = c.components == 1 ? 40.0f : 10.0f * (m + 1);
            spectra->standard[m][7] = c.components == 1 ? 3400 : 100 * (m + 1);
            spectra->background[m][7] = c.components == 1 ? 600 : 50;
            block.background_channel[9] = c.shared ? 0 : m;
        }
        StandardsNoise noise;
        standards_noise(*method, c.components, spectra->standard, spectra->background, {7}, &noise);
        ASSERT_TRUE(noise.usable);
        double variance = 0.0;
        standards_model_variance(noise, c.x, &variance);
        EXPECT_NEAR(variance, c.variance, 1e-12 * c.variance) << c.components << " " << c.shared;
    }
}

// ---------------------------------------------------------------------------
// Simulated methods: component j responds with a peak of width 6 channels at
// 200 + 150 j on a shoulder that runs down to channel 60, so that each
// component's counts leak into the others' ROIs; a falling background.

struct Simulation {
    int components = 3;
    int32_t mode = 2;
    int roi_half_width = 14;
    bool shared_background = true;
    double standard_live_time = 2000;  // s
    double background_live_time = 5000;
    double sample_live_time = 3600;
    double local_live_time = 20000;
    double standard_activity = 20.0;   // of each component in its own standard
    double response_height = 0.045;    // counts / s / unit activity at the peak, per channel
};

int peak_channel(int j) { return 200 + 150 * j; }

double response_rate(const Simulation& s, int j, int ch) {
    const double z = (ch - peak_channel(j)) / 6.0;
    const double shoulder = ch >= 60 && ch < peak_channel(j) ? 0.05 : 0.0;
    return s.response_height * (std::exp(-0.5 * z * z) + shoulder);
}

double background_rate(int ch) { return 0.4 * std::exp(-ch / 300.0); }

// One draw of a method from `s`: the standards and their backgrounds as
// Poisson counts of the true rates, the assigned activities drawn off the
// truth by N(1, relative[j]).
void draw_method(const Simulation& s, const double* relative, std::mt19937& random, MethodRecord* method) {
    *method = MethodRecord{};
    method->component_count = s.components;
    std::vector<int32_t> shared(kChannels);
    for (int ch = 0; ch < kChannels; ++ch) {
        shared[ch] = std::poisson_distribution<int32_t>(background_rate(ch) * s.background_live_time)(random);
    }
    double assigned[kMaxComponents];
    for (int j = 0; j < s.components; ++j) {
        assigned[j] = s.standard_activity * std::normal_distribution<double>(1.0, relative[j])(random);
    }
    for (int m = 0; m < s.components; ++m) {
        ComponentBlock& block = method->component[m];
        block.weight = 1.0f;
        block.standard_live_time = static_cast<uint64_t>(s.standard_live_time);
        block.background_live_time = static_cast<uint64_t>(s.background_live_time);
        // Standard m holds its own component and a tenth of the next one.
        double truth[kMaxComponents] = {};
        truth[m] = s.standard_activity;
        if (m + 1 < s.components) truth[m + 1] = 0.1 * s.standard_activity;
        for (int j = 0; j < s.components; ++j) {
            block.standard_activity[j] = static_cast<float>(truth[j] / s.standard_activity * assigned[j]);
        }
        for (int ch = 0; ch < kChannels; ++ch) {
            double rate = background_rate(ch);
            for (int j = 0; j < s.components; ++j) rate += truth[j] * response_rate(s, j, ch);
            block.standard_channel[ch] = std::poisson_distribution<int32_t>(rate * s.standard_live_time)(random);
            block.background_channel[ch] =
                s.shared_background
                    ? shared[ch]
                    : std::poisson_distribution<int32_t>(background_rate(ch) * s.background_live_time)(random);
        }
        block.roi_count = 1;
        block.roi[0][0] = peak_channel(m) - s.roi_half_width;
        block.roi[0][1] = peak_channel(m) + s.roi_half_width;
    }
}

// A sample of true activities `activity` and its local background.
void draw_sample(const Simulation& s, const double* activity, std::mt19937& random, SampleRecord* sample,
                 LocalBackground* local) {
    *sample = SampleRecord{};
    *local = LocalBackground{};
    sample->weight = 1.0f;
    sample->live_time = static_cast<uint64_t>(s.sample_live_time);
    local->live_time = static_cast<uint64_t>(s.local_live_time);
    for (int ch = 0; ch < kChannels; ++ch) {
        double rate = background_rate(ch);
        for (int j = 0; j < s.components; ++j) rate += activity[j] * response_rate(s, j, ch);
        sample->channel[ch] = std::poisson_distribution<int32_t>(rate * s.sample_live_time)(random);
        local->channel[ch] = std::poisson_distribution<int32_t>(background_rate(ch) * s.local_live_time)(random);
    }
}

// The fit's solution x (activity * V) and its assessment.
struct Solved {
    double x[kMaxComponents] = {};
    WinnerAssessment assessment;
    double v = 0.0;
};

Solved solve(const MethodRecord& method, const SampleRecord& sample_as_given, const LocalBackground& local,
             const AnalysisOptions& options) {
    auto sample = std::make_unique<SampleRecord>(sample_as_given);
    auto fit = std::make_unique<SampleFit>();
    RoiList rois{};
    for (int m = 0; m < method.component_count; ++m) {
        rois.roi[rois.count][0] = method.component[m].roi[0][0];
        rois.roi[rois.count][1] = method.component[m].roi[0][1];
        ++rois.count;
    }
    float gain = 1.0f;
    std::vector<float> corrected(kChannels);
    EXPECT_EQ(fit_sample(sample.get(), method, local, rois, &gain, corrected.data(), options, fit.get()), 0);
    Solved solved;
    for (int k = 0; k < method.component_count; ++k) solved.x[k] = fit->outcome.solution[k];
    solved.assessment = fit->assessment;
    solved.v = fit->v;
    return solved;
}

// Every count the fit reads of every standard and background moved by one
// count up and down and the fit made again (a little beyond the ROIs, which
// halving may widen; unused counts add nothing): the central difference of x
// squared times the count, summed, is the standards' variance of x to within
// the difference's own error (about (1 / count)^2 relative). Small random
// methods: one to three components, working channels uncompressed and
// halved, one background shared by all standards or one each.
TEST(StandardsPropagation, MatchesTheNumericalDerivativeOfTheFit) {
    std::mt19937 random(20261208);
    int cases = 0;
    for (const int components : {1, 2, 3}) {
        for (const int32_t mode : {0, 2}) {
            for (const bool shared : {true, false}) {
                Simulation s;
                s.components = components;
                s.mode = mode;
                s.shared_background = shared;
                s.roi_half_width = 3;
                const double relative[kMaxComponents] = {};
                auto method = std::make_unique<MethodRecord>();
                draw_method(s, relative, random, method.get());
                auto sample = std::make_unique<SampleRecord>();
                auto local = std::make_unique<LocalBackground>();
                const double activity[kMaxComponents] = {30.0, 5.0, 12.0};
                draw_sample(s, activity, random, sample.get(), local.get());
                AnalysisOptions options;
                options.mode = mode;
                options.straightforward = true;
                options.held_gain = 1.0f;
                const Solved base = solve(*method, *sample, *local, options);
                ASSERT_TRUE(base.assessment.assessed);

                double numerical[kMaxComponents] = {};
                // Moves count (m, ch) of the standards (or the backgrounds) by
                // `by`: a shared background moves in every block at once.
                auto moved = [&](bool background, int m, int ch, int by) {
                    auto copy = std::make_unique<MethodRecord>(*method);
                    for (int b = 0; b < components; ++b) {
                        ComponentBlock& block = copy->component[b];
                        if (!background && b == m) block.standard_channel[ch] += by;
                        if (background && (b == m || shared)) block.background_channel[ch] += by;
                    }
                    return solve(*copy, *sample, *local, options);
                };
                for (int m = 0; m < components; ++m) {
                    for (const bool background : {false, true}) {
                        if (background && shared && m > 0) continue;
                        for (int r = 0; r < components; ++r) {
                            for (int ch = method->component[r].roi[0][0] - 2; ch <= method->component[r].roi[0][1] + 2; ++ch) {
                                const ComponentBlock& block = method->component[m];
                                const double count = background ? block.background_channel[ch] : block.standard_channel[ch];
                                const Solved up = moved(background, m, ch, 1);
                                const Solved down = moved(background, m, ch, -1);
                                for (int k = 0; k < components; ++k) {
                                    const double derivative = (up.x[k] - down.x[k]) / 2.0;
                                    numerical[k] += derivative * derivative * count;
                                }
                            }
                        }
                    }
                }
                for (int k = 0; k < components; ++k) {
                    const ComponentUncertainty& u = base.assessment.uncertainty[k];
                    const double standards = u.standards_share * u.uncertainty * u.uncertainty;
                    const double expected = numerical[k] / (base.v * base.v);
                    EXPECT_NEAR(standards, expected, 1e-6 * expected)
                        << components << " components, mode " << mode << ", shared " << shared << ", k " << k;
                }
                ++cases;
            }
        }
    }
    EXPECT_EQ(cases, 12);
}

// Statistical acceptance: independent methods (standards with 2e4 to 1e5 net
// counts in their ROIs, each with its own noise and assigned activities off
// the truth by N(1, u_rel)) and one sample each, through the whole
// evaluation. The 95 % coverage intervals must hold the truth for 93.5 to
// 96.5 % of the components and the pulls (activity - truth) / uncertainty
// have an RMS of 0.9 to 1.1. Printed beside them: the pulls of the table's
// standard deviation.
TEST(UncertaintyAcceptance, CoverageAndPullsOnSimulatedMethods) {
    std::mt19937 random(11929);
    Simulation s;
    const double relative[kMaxComponents] = {0.03, 0.05, 0.02};
    AnalysisOptions options;
    options.held_gain = 1.0f;
    for (int j = 0; j < s.components; ++j) options.calibration_uncertainty[j] = relative[j];
    FitCache cache;
    options.cache = &cache;
    auto method = std::make_unique<MethodRecord>();
    auto sample = std::make_unique<SampleRecord>();
    auto local = std::make_unique<LocalBackground>();
    int results = 0, covered = 0;
    double pulls = 0.0, table_pulls = 0.0, smallest_net = INFINITY, largest_net = 0.0;
    constexpr int kRealisations = 400;
    for (int r = 0; r < kRealisations; ++r) {
        // Standards from 2e4 to 1e5 net counts in their ROIs.
        s.standard_live_time = std::uniform_real_distribution<double>(1500.0, 7500.0)(random);
        draw_method(s, relative, random, method.get());
        double truth[kMaxComponents];
        for (int j = 0; j < s.components; ++j) truth[j] = std::uniform_real_distribution<double>(2.0, 40.0)(random);
        draw_sample(s, truth, random, sample.get(), local.get());
        EvaluationDetail detail;
        options.detail = &detail;
        ASSERT_EQ(lsq_calc_activity(sample.get(), *method, *local, options), 0);
        double net[kMaxComponents];
        standard_net_counts(*method, s.components, net);
        for (int j = 0; j < s.components; ++j) {
            const ComponentUncertainty& u = detail.uncertainty[j];
            smallest_net = std::min(smallest_net, net[j]);
            largest_net = std::max(largest_net, net[j]);
            const double activity = sample->activity[j];
            covered += u.best.lower <= truth[j] && truth[j] <= u.best.upper;
            pulls += std::pow((activity - truth[j]) / u.uncertainty, 2);
            table_pulls += std::pow((activity - truth[j]) / sample->activity_sd[j], 2);
            ++results;
        }
    }
    const double coverage = 100.0 * covered / results;
    const double rms = std::sqrt(pulls / results);
    std::printf("acceptance: %d results, coverage %.1f %%, pull RMS %.3f (table's sd: %.3f), "
                "standards' net counts %.0f..%.0f\n",
                results, coverage, rms, std::sqrt(table_pulls / results), smallest_net, largest_net);
    EXPECT_GT(results, 1000);
    EXPECT_GT(smallest_net, 1e4);
    EXPECT_GE(coverage, 93.5);
    EXPECT_LE(coverage, 96.5);
    EXPECT_GE(rms, 0.9);
    EXPECT_LE(rms, 1.1);
}

}  // namespace
