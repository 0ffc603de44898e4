// The checks against the fit's model: the peak filter, the resolution of the
// standards, the ROI test and the search for unknown peaks, as tables; and
// their behaviour over many generated Poisson samples with a fixed seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/interference.h"
#include "analysis/peak_shape.h"
#include "analysis/unknown_peaks.h"
#include "input/spectrum_file.h"

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;

// A peak of `area` counts and FWHM `fwhm` at `centre`, each channel's share
// between its edges at half channels.
double binned_peak(double area, double centre, double fwhm, int channel) {
    const double s = fwhm / kFwhmPerSigma * std::sqrt(2.0);
    return area * 0.5 * (std::erf((channel + 0.5 - centre) / s) - std::erf((channel - 0.5 - centre) / s));
}

std::vector<double> spectrum(const std::function<double(int)>& f, int n = kChannels) {
    std::vector<double> v(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) v[j] = f(j);
    return v;
}

// The kernels are kept at sigma = e^(0.02 k): sigma = e is one of them, so a
// peak of that width is the kernel's own shape.
TEST(PeakFilter, GivesThePeaksAreaWhateverTheStraightContinuumUnderIt) {
    const double fwhm = std::exp(1.0) * kFwhmPerSigma;
    struct Case {
        double area, offset, slope;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{1000, 0, 0}, Case{1000, 250, 0}, Case{-300, 40, -3.5},
                          Case{50, 1e4, 20}}) {
        const auto d = spectrum([&](int j) { return binned_peak(c.area, 400, fwhm, j) + c.offset + c.slope * (j - 400); });
        PeakFilter filter;
        const FilteredPeak peak = filter(d, std::vector<double>(kChannels, 100.0), 400, fwhm);
        ASSERT_TRUE(peak.valid);
        EXPECT_NEAR(peak.net, c.area, 1e-6 * (1.0 + std::fabs(c.offset)));
        // The deviation goes as the root of the variance.
        const FilteredPeak four = filter(d, std::vector<double>(kChannels, 400.0), 400, fwhm);
        EXPECT_NEAR(four.sd, 2.0 * peak.sd, 1e-12);
    }
    // The window (+-9 channels here) must lie within the channels with values.
    PeakFilter filter;
    EXPECT_FALSE(filter(std::vector<double>(kChannels, 0.0), std::vector<double>(kChannels, 1.0), 8, fwhm).valid);
    std::vector<double> gap(kChannels, 0.0);
    gap[405] = NAN;
    EXPECT_FALSE(filter(gap, std::vector<double>(kChannels, 1.0), 400, fwhm).valid);
    EXPECT_TRUE(filter(gap, std::vector<double>(kChannels, 1.0), 380, fwhm).valid);
}

// A scan told the threshold of a search may leave out only channels that
// cannot reach it; every other channel is as the full scan gives it, to the
// bit, and the search finds the same peaks from either. Rows: noise, peaks
// beside a deep dip, the threshold exactly at the largest significance (of
// those peaks and of the one difference the bound is tight for), variances
// of 0 and below in every window (they bound nothing), gaps, high counts, a
// real spectrum less the mean of its neighbours, and thresholds that prove
// nothing.
// The strongest line over a range, against operator() at each centre: ranges
// that run past either end or are empty, a line wholly below zero, and a
// value that is not finite at every place in and around the windows.
TEST(PeakFilter, StrongestNetIsTheLargestOfZeroAndEachCentresNet) {
    const std::vector<double> lines =
        spectrum([](int j) { return 400.0 * std::exp(-0.5 * (j - 300) * (j - 300) / 49.0); });
    const std::vector<double> variance = spectrum([](int j) { return 10.0 + j; });
    struct Case {
        int from, to;
        double fwhm;
        double sign;
    };
    const Case cases[] = {{270, 330, 16.5, 1.0}, {0, 40, 16.5, 1.0},   {990, 1023, 30.0, 1.0},
                          {280, 320, 8.0, 1.0},  {270, 330, 16.5, -1.0}, {330, 270, 16.5, 1.0}};
    PeakFilter filter;
    for (const Case& c : cases) {
        for (const double odd : {NAN, -INFINITY}) {
            for (int bad = -1; bad < 400; bad += bad < 200 ? 201 : 1) {
                std::vector<double> values = lines;
                for (double& v : values) v *= c.sign;
                if (bad >= 0) values[bad] = odd;
                double expected = 0.0;
                for (int j = c.from; j <= c.to; ++j) {
                    const FilteredPeak line = filter(values, variance, j, c.fwhm);
                    if (line.valid) expected = std::max(expected, line.net);
                }
                ASSERT_EQ(filter.strongest_net(values, variance, c.from, c.to, c.fwhm), expected)
                    << c.from << ".." << c.to << ", " << odd << " at " << bad;
            }
        }
    }
}

TEST(PeakFilter, ThresholdLeavesOutOnlyChannelsThatCannotReachIt) {
    std::mt19937_64 random{20261208};
    std::normal_distribution<double> unit;
    // Noise of deviation `sd` over `scale` times two peaks beside a deep dip.
    const auto noisy = [&](double sd, double scale) {
        return spectrum([&](int j) {
            return sd * unit(random) + scale * (binned_peak(400, 300, 1.2 * std::sqrt(300.0), j) +
                                                binned_peak(-5000, 330, 1.2 * std::sqrt(330.0), j) +
                                                binned_peak(250, 800, 1.2 * std::sqrt(800.0), j));
        });
    };
    const std::vector<double> flat(kChannels, 100.0);
    const std::vector<double> peaks = noisy(10.0, 1.0);
    std::vector<double> gaps = peaks;
    for (int j = 0; j < kChannels; j += 97) gaps[j] = NAN;
    const auto odd = spectrum([](int j) { return j % 7 == 0 ? 0.0 : j % 11 == 0 ? -5.0 : 100.0; });
    const auto high = spectrum([](int j) { return 1e6 * (1.0 + j / 512.0); });
    std::vector<double> real, real_variance;
    const std::filesystem::path file =
        std::filesystem::path(ASSAY_SOURCE_DIR) / ".." / "shared" / "data" / "real" / "uct_nai_unknown.txt";
    if (const auto read = read_spectrum_file(file.string()); read) {
        const auto at = [&](int j) { return static_cast<double>(read->channel[std::clamp(j, 0, kChannels - 1)]); };
        real = spectrum([&](int j) { return at(j) - (at(j - 1) + at(j + 1)) / 2.0; });
        real_variance = spectrum([&](int j) { return std::max(1.0, at(j)); });
    }
    // The kernel's own shape at channel 400 (sigma e, +-9 channels): the
    // one difference for which the bound is no larger than the significance.
    const double kernel_fwhm = std::exp(1.0) * kFwhmPerSigma;
    const auto own_shape = [&](int j) {
        if (std::abs(j - 400) > 9) return 0.0;
        double mean = 0.0;
        for (int i = 391; i <= 409; ++i) mean += binned_peak(1.0, 400, kernel_fwhm, i) / 19.0;
        return 1000.0 * (binned_peak(1.0, 400, kernel_fwhm, j) - mean);
    };
    const Resolution usual{1.2, true};
    struct Case {
        const char* what;
        std::vector<double> difference, variance;
        double sigma;   // NaN: the largest significance of the full scan
        bool settles;   // some channel is left out
        Resolution resolution;
    };
    const std::vector<Case> cases = {
        {"noise", noisy(10.0, 0.0), flat, 5.0, true, usual},
        {"peaks beside a dip", peaks, flat, 5.0, true, usual},
        {"at the largest significance", peaks, flat, NAN, true, usual},
        {"the kernel's own shape", spectrum(own_shape), flat, NAN, true, {kernel_fwhm / 20.0, true}},
        {"variances of 0 and below", peaks, odd, 5.0, false, usual},
        {"gaps", gaps, flat, 5.0, true, usual},
        {"high counts", noisy(1000.0, 3000.0), high, 5.0, true, usual},
        {"a real spectrum", real, real_variance, 5.0, true, usual},
        {"threshold 0", peaks, flat, 0.0, false, usual},
        {"threshold infinite", peaks, flat, INFINITY, false, usual},
    };
    const std::vector<double> lines(kChannels, 0.0);
    for (const Case& c : cases) {
        if (c.difference.empty()) continue;  // no shared real data beside the repository
        const Resolution& resolution = c.resolution;
        PeakFilter full, fast;
        const auto all = full.scan(c.difference, c.variance, resolution, true);
        double sigma = c.sigma;
        if (std::isnan(sigma)) {
            sigma = 0.0;
            for (const FilteredPeak& p : all) sigma = std::max(sigma, p.valid ? p.significance() : 0.0);
        }
        const auto some = fast.scan(c.difference, c.variance, resolution, true, nullptr, sigma);
        // Channels asked for are never left out, whatever their significance.
        std::vector<bool> wanted(kChannels);
        for (int j = 0; j < kChannels; j += 5) wanted[j] = true;
        const auto asked = PeakFilter().scan(c.difference, c.variance, resolution, true, &wanted, sigma);
        const auto asked_all = PeakFilter().scan(c.difference, c.variance, resolution, true, &wanted);
        int settled = 0;
        for (int j = 0; j < kChannels; ++j) {
            if (wanted[j]) {
                EXPECT_EQ(asked[j].sd, asked_all[j].sd) << c.what << " at " << j;
            }
            if (all[j].valid && !some[j].valid) {
                ++settled;
                EXPECT_LT(all[j].significance(), sigma) << c.what << " at " << j;
                continue;
            }
            EXPECT_EQ(some[j].valid, all[j].valid) << c.what << " at " << j;
            EXPECT_EQ(some[j].net, all[j].net) << c.what << " at " << j;
            EXPECT_EQ(some[j].sd, all[j].sd) << c.what << " at " << j;
        }
        EXPECT_EQ(settled > 0, c.settles) << c.what;
        const auto found = [&](const std::vector<FilteredPeak>* filtered) {
            std::vector<std::tuple<int, double, double>> list;
            for (const UnknownPeak& p : find_unknown_peaks(c.difference, c.variance, lines, resolution, sigma, nullptr,
                                                           filtered)) {
                list.emplace_back(p.channel, p.net_counts, p.significance);
            }
            return list;
        };
        const auto from_all = found(&all);
        EXPECT_EQ(found(&some), from_all) << c.what;
        EXPECT_EQ(found(nullptr), from_all) << c.what;
        if (std::isnan(c.sigma)) {
            EXPECT_FALSE(from_all.empty()) << c.what;
        }
    }
}

// One component with a peak of FWHM 12 at channel 100 (k = 12 / sqrt(100)),
// alone, beside a neighbour that widens one side, and with no counts.
TEST(StandardsResolution, TakesTheNarrowerSideOfTheHighestPeakInTheRois) {
    struct Case {
        double neighbour;  // height of a second line 18 channels up, relative
        double k;          // NaN: the default
    };
    for (const Case& c : {Case{0.0, 1.2}, Case{0.7, 1.2}, Case{-1.0, NAN}}) {
        auto method = std::make_unique<MethodRecord>();
        method->component_count = 1;
        method->component[0].roi_count = 1;
        method->component[0].roi[0][0] = 85;
        method->component[0].roi[0][1] = 125;
        const auto row = spectrum([&](int j) {
            if (c.neighbour < 0.0) return 0.0;
            const auto line = [&](double centre) { return std::exp(-4.0 * std::log(2.0) * std::pow((j - centre) / 12.0, 2)); };
            return line(100) + c.neighbour * line(118);
        });
        const Resolution r = standards_resolution(*method, row.data(), 1, kChannels);
        if (std::isnan(c.k)) {
            EXPECT_FALSE(r.from_standards);
            EXPECT_DOUBLE_EQ(r.fwhm_per_root_channel, 1.1865);
        } else {
            EXPECT_TRUE(r.from_standards);
            // Half maxima by linear interpolation between channels: within 2 %.
            EXPECT_NEAR(r.fwhm_per_root_channel, c.k, 0.02 * c.k);
        }
    }
}

// A scintillator of 7.5 % at 662 keV: FWHM = 0.075 sqrt(662 E) keV. On a
// calibration of a1 keV per channel through 0 that is 0.075 sqrt(662 / a1)
// sqrt(c) channels: k = 1.1141 at 3 keV, 0.6102 at 10 keV, 6.1023 at 0.1 keV
// (which never reaches 662 keV: taken at the middle channel, the same k);
// the standards' own peak comes first, and a calibration that falls or is
// missing gives the default.
TEST(StandardsResolution, FromTheEnergyCalibrationWhereTheStandardsShowNoPeak) {
    const struct {
        std::vector<double> calibration;
        double k;
        bool from_standards;
    } cases[] = {
        {{0.0, 3.0}, 1.1141, false},   {{0.0, 10.0}, 0.6102, false}, {{0.0, 0.1}, 6.1023, false},
        {{0.0, -3.0}, 1.1865, false},  {{}, 1.1865, false},
    };
    auto method = std::make_unique<MethodRecord>();
    method->component_count = 1;
    method->component[0].roi_count = 1;
    method->component[0].roi[0][0] = 85;
    method->component[0].roi[0][1] = 125;
    const auto empty = spectrum([](int) { return 0.0; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.calibration.empty() ? 0.0 : c.calibration[1]);
        const Resolution r = standards_resolution(*method, empty.data(), 1, kChannels, c.calibration);
        EXPECT_EQ(r.from_standards, c.from_standards);
        EXPECT_NEAR(r.fwhm_per_root_channel, c.k, 1e-4);
    }
    const auto peak = spectrum([](int j) { return std::exp(-4.0 * std::log(2.0) * std::pow((j - 100) / 12.0, 2)); });
    EXPECT_TRUE(standards_resolution(*method, peak.data(), 1, kChannels, {0.0, 3.0}).from_standards);
}

// A ROI of channels 200..260 at 100 counts^2 per channel, FWHM 10 there.
TEST(RoiInterference, SeesScaleAndStructureButNotAStraightContinuum) {
    const Resolution resolution{10.0 / std::sqrt(230.0), true};
    const int32_t roi[1][2] = {{200, 260}};
    struct Case {
        const char* what;
        std::function<double(int)> difference;
        bool interfered;
    };
    const std::vector<Case> cases = {
        {"nothing", [](int) { return 0.0; }, false},
        {"a straight offset of 3 sd", [](int j) { return 30.0 + 0.5 * (j - 230); }, false},
        {"an interfering peak of 400 counts", [](int j) { return binned_peak(400, 245, 10, j); }, true},
        {"a dip where the model's line is too high", [](int j) { return binned_peak(-400, 230, 10, j); }, true},
        {"scatter of 2 sd without a pattern", [](int j) { return j % 2 == 0 ? 20.0 : -20.0; }, true},
        {"scatter of 1 sd without a pattern", [](int j) { return j % 2 == 0 ? 10.0 : -10.0; }, false},
    };
    for (const Case& c : cases) {
        const RoiInterference r =
            roi_interference(spectrum(c.difference), std::vector<double>(kChannels, 100.0), roi, 1, resolution);
        EXPECT_EQ(r.interfered, c.interfered) << c.what << ": p " << r.p_value;
        EXPECT_EQ(r.degrees_of_freedom, 59) << c.what;  // 61 points less a straight line
    }
}

// At 100 counts^2 per channel, FWHM 1.2 sqrt(c): a peak of 1000 counts is
// about 20 standard deviations.
TEST(UnknownPeaks, FindsPeaksButNotBroadHumpsNorExcessOnTheModelsOwnLines) {
    const Resolution resolution{1.2, true};
    struct Case {
        const char* what;
        std::function<double(int)> difference;
        std::function<double(int)> lines;
        std::vector<int> channels;
    };
    const auto none = [](int) { return 0.0; };
    const auto line_at_500 = [](int j) { return binned_peak(5000, 500, 1.2 * std::sqrt(500.0), j); };
    const std::vector<Case> cases = {
        {"nothing", none, none, {}},
        {"a peak at 500", [](int j) { return binned_peak(1000, 500, 1.2 * std::sqrt(500.0), j); }, none, {500}},
        {"a hump ten widths broad", [](int j) { return 200.0 * std::exp(-0.5 * std::pow((j - 500) / 115.0, 2)); }, none, {}},
        {"a tilt and a bend", [](int j) { return 30.0 + 0.05 * j + 2e-5 * (j - 512.0) * (j - 512.0); }, none, {}},
        {"an excess a fifth of a line of the model's own", [](int j) { return binned_peak(1000, 505, 26.8, j); },
         line_at_500, {}},
        {"the same excess far from that line", [](int j) { return binned_peak(1000, 300, 20.8, j); }, line_at_500,
         {300}},
    };
    for (const Case& c : cases) {
        const auto peaks = find_unknown_peaks(spectrum(c.difference), std::vector<double>(kChannels, 100.0),
                                              spectrum(c.lines), resolution);
        std::vector<int> channels;
        for (const UnknownPeak& p : peaks) channels.push_back(p.channel);
        EXPECT_EQ(channels, c.channels) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Generated samples: two components with a line each (channels 300 and 600)
// over a Compton shoulder, standards of 1000 units counted 36000 s (their
// statistics far below a sample's), a falling background; samples of 50 units
// each counted 3600 s, Poisson with a fixed seed. FWHM 1.2 sqrt(c).

constexpr double kRootWidth = 1.2;
constexpr int kLine[2] = {300, 600};

double fwhm_at(double channel) { return kRootWidth * std::sqrt(channel); }

// Expected counts per second per unit of component k at channel j.
double response(int k, int j) {
    const double line = binned_peak(0.2, kLine[k], fwhm_at(kLine[k]), j);
    const double shoulder = j < kLine[k] * 0.8 ? 0.0004 * (1.0 + j / 400.0) : 0.0;
    return line + shoulder;
}
double background_rate(int j) { return 0.3 * std::exp(-j / 200.0) + 0.01; }

struct Generated {
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();
    std::unique_ptr<LocalBackground> background = std::make_unique<LocalBackground>();
    std::mt19937_64 random{20261208};

    int32_t draw(double mean) { return std::poisson_distribution<int32_t>(std::max(mean, 0.0))(random); }

    Generated() {
        method->component_count = 2;
        for (int k = 0; k < 2; ++k) {
            ComponentBlock& block = method->component[k];
            block.weight = 1.0f;
            block.standard_activity[k] = 1000.0f;
            block.standard_live_time = block.standard_real_time = 36000;
            block.background_live_time = block.background_real_time = 36000;
            block.roi_count = 1;
            block.roi[0][0] = kLine[k] - static_cast<int>(2 * fwhm_at(kLine[k]));
            block.roi[0][1] = kLine[k] + static_cast<int>(2 * fwhm_at(kLine[k]));
            for (int j = 0; j < kChannels; ++j) {
                block.background_channel[j] = draw(36000 * background_rate(j));
                block.standard_channel[j] = draw(36000 * (background_rate(j) + 1000 * response(k, j)));
            }
        }
        background->live_time = background->real_time = 36000;
        for (int j = 0; j < kChannels; ++j) background->channel[j] = draw(36000 * background_rate(j));
    }

    // A sample of `seconds` with 50 units of each component, times `shape`,
    // plus `extra` counts per channel; evaluated as a run evaluates it.
    EvaluationDetail evaluate(uint64_t seconds, const std::function<double(int)>& shape,
                              const std::function<double(int)>& extra) {
        auto sample = std::make_unique<SampleRecord>();
        sample->weight = 1.0f;
        sample->live_time = sample->real_time = seconds;
        for (int j = 0; j < kChannels; ++j) {
            const double rate = background_rate(j) + 50 * (response(0, j) + response(1, j));
            sample->channel[j] = draw(seconds * rate * shape(j) + extra(j));
        }
        EvaluationDetail detail;
        AnalysisOptions options;
        options.detail = &detail;
        EXPECT_EQ(lsq_calc_activity(sample.get(), *method, *background, options), 0);
        EXPECT_EQ(sample->unknown_found != 0, !detail.unknown_peaks.empty());
        return detail;
    }
};

// The share of `samples` evaluations for which `hit` holds.
double share(Generated& g, int samples, const std::function<bool(Generated&)>& hit) {
    int hits = 0;
    for (int i = 0; i < samples; ++i) hits += hit(g) ? 1 : 0;
    return static_cast<double>(hits) / samples;
}

TEST(GeneratedSamples, ChecksFlagWhatTheMethodLacksAndLittleElse) {
    Generated g;
    constexpr int kSamples = 100;
    const auto one = [](int) { return 1.0; };
    const auto none = [](int) { return 0.0; };
    // Component 0's line holds 50 * 0.2 * 3600 = 36000 counts.
    const double known_only = share(g, kSamples, [&](Generated& g) {
        const EvaluationDetail d = g.evaluate(3600, one, none);
        return !d.unknown_peaks.empty() || d.interference[0].interfered || d.interference[1].interfered;
    });
    std::uniform_real_distribution<double> offset(0.5, 1.5);
    const double named = share(g, kSamples, [&](Generated& g) {
        const double at = kLine[0] + offset(g.random) * fwhm_at(kLine[0]);
        const EvaluationDetail d = g.evaluate(3600, one, [&](int j) { return binned_peak(36000, at, fwhm_at(at), j); });
        return d.interference[0].interfered;
    });
    // Ten times the counting time, the sample's whole spectrum 5 % steeper.
    const double tilted = share(g, kSamples, [&](Generated& g) {
        const EvaluationDetail d = g.evaluate(36000, [](int j) { return 1.05 - 0.1 * j / 1023.0; }, none);
        return !d.unknown_peaks.empty();
    });
    // A line of 1000 counts at channel 800, in no ROI (about 50 counts per
    // channel of background there).
    const double found = share(g, kSamples, [&](Generated& g) {
        const EvaluationDetail d = g.evaluate(3600, one, [](int j) { return binned_peak(1000, 800, fwhm_at(800), j); });
        for (const UnknownPeak& p : d.unknown_peaks) {
            if (std::fabs(p.channel - 800) <= fwhm_at(800)) return true;
        }
        return false;
    });
    std::printf("generated: known only flagged %.2f, interferer named %.2f, tilt unknown %.2f, line found %.2f\n",
                known_only, named, tilted, found);
    EXPECT_LE(known_only, 0.05);
    EXPECT_GE(named, 0.90);
    EXPECT_LE(tilted, 0.05);
    EXPECT_GE(found, 0.90);
}

}  // namespace
