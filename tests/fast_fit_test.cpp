// The fast analysis against its straightforward form, bit for bit.
//
// The fast path (ROI channels only, SSE2 lanes, cached calibration, parallel
// evaluations) must not change a single result bit, so here, and only here,
// the expected values are those of our own straightforward code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/checks.h"
#include "analysis/fast_fit.h"
#include "analysis/solver.h"
#include "core/conversions.h"
#include "cli/command_line.h"
#include "core/records.h"
#include "input/method_file.h"
#include "input/spectrum_file.h"
#include "run/run.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Random but physically shaped inputs, with a share of nonsense: zero times,
// zero or NaN activities, negative and huge counts, odd ROIs and gains.
class InputMaker {
public:
    explicit InputMaker(unsigned seed) : random_(seed) {}

    int below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random_); }

    void spectrum(int32_t* channel, double scale) {
        const double centre = uniform(50, 950);
        const double width = uniform(3, 30);
        const double height = uniform(0, 5000) * scale;
        const double level = uniform(0, 200) * scale;
        for (int i = 0; i < kChannels; ++i) {
            const double x = (i - centre) / width;
            const double mean = level * std::exp(-i / 300.0) + height * std::exp(-0.5 * x * x);
            channel[i] = static_cast<int32_t>(std::poisson_distribution<int>(mean + 0.001)(random_));
        }
        if (chance(0.05)) channel[below(kChannels)] = -below(1000);
        if (chance(0.03)) channel[below(kChannels)] = 2147483647 - below(3);
    }

    uint64_t live_time() { return chance(0.05) ? 0 : static_cast<uint64_t>(1 + below(7200)); }

    float real() {
        if (chance(0.02)) return NAN;
        if (chance(0.05)) return 0.0f;
        return static_cast<float>(uniform(-0.2, 1.0) * 1000.0);
    }

    void method(MethodRecord* method) {
        method->component_count = below(7);
        for (int k = 0; k < kMaxComponents; ++k) {
            ComponentBlock& block = method->component[k];
            block.weight = chance(0.9) ? 1.0f : static_cast<float>(uniform(0.1, 3));
            for (int j = 0; j < kMaxComponents; ++j) {
                block.standard_activity[j] = j == k ? 1000.0f : (chance(0.2) ? real() : 0.0f);
            }
            block.standard_live_time = live_time();
            block.background_live_time = live_time();
            spectrum(block.standard_channel, 10);
            spectrum(block.background_channel, 5);
            method->detection_limit[k] = static_cast<float>(uniform(0, 50));
            method->partial_limit[k] = chance(0.5) ? static_cast<float>(uniform(-10, 500)) : 0.0f;
            block.in_summary = chance(0.3) ? 1 : 0;
            block.roi_count = 1 + below(3);
            for (int r = 0; r < block.roi_count; ++r) {
                const int first = below(1000);
                block.roi[r][0] = first;
                block.roi[r][1] = first + below(60);
                if (chance(0.02)) block.roi[r][1] = 1023;  // fails after halving
                if (chance(0.02)) block.roi[r][0] = -below(5);
            }
        }
    }

    void rois(RoiList* list) {
        list->count = chance(0.05) ? 0 : 1 + below(7);
        for (int r = 0; r < list->count; ++r) {
            const int first = below(900);
            list->roi[r][0] = first;
            list->roi[r][1] = first + below(40) - (chance(0.03) ? 50 : 0);
        }
    }

private:
    std::mt19937 random_;
};

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The detail is assessed after the scan from shared code, so it must come
// out the same bits as well.
void expect_same_detail(const EvaluationDetail& fast, const EvaluationDetail& plain, const std::string& where) {
    EXPECT_EQ(fast.fitted, plain.fitted) << where;
    EXPECT_EQ(fast.gain_at_scan_edge, plain.gain_at_scan_edge) << where;
    EXPECT_TRUE(same_bits(fast.first_pass_gain, plain.first_pass_gain)) << where;
    EXPECT_EQ(fast.gain_search, plain.gain_search) << where;
    EXPECT_TRUE(same_bits(fast.coarse_gain, plain.coarse_gain)) << where;
    EXPECT_TRUE(same_bits(fast.scan_centre, plain.scan_centre)) << where;
    ASSERT_EQ(fast.trials.size(), plain.trials.size()) << where;
    for (size_t t = 0; t < fast.trials.size(); ++t) {
        EXPECT_TRUE(same_bits(fast.trials[t].gain, plain.trials[t].gain)) << where << " trial " << t;
        EXPECT_TRUE(same_bits(fast.trials[t].figure, plain.trials[t].figure)) << where << " trial " << t;
    }
    EXPECT_TRUE(same_bits(fast.statistics.chi_square, plain.statistics.chi_square)) << where;
    EXPECT_TRUE(same_bits(fast.statistics.p_value, plain.statistics.p_value)) << where;
    EXPECT_EQ(fast.statistics.degrees_of_freedom, plain.statistics.degrees_of_freedom) << where;
    for (int k = 0; k < kMaxComponents; ++k) {
        EXPECT_TRUE(same_bits(fast.limits[k].decision_threshold, plain.limits[k].decision_threshold)) << where << k;
        EXPECT_TRUE(same_bits(fast.limits[k].detection_limit, plain.limits[k].detection_limit)) << where << k;
        EXPECT_EQ(fast.limits[k].detected, plain.limits[k].detected) << where << k;
    }
    const auto same_floats = [](const std::vector<float>& a, const std::vector<float>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](float x, float y) { return same_bits(x, y); });
    };
    EXPECT_TRUE(same_floats(fast.model, plain.model)) << where;
    EXPECT_TRUE(same_floats(fast.model_variance, plain.model_variance)) << where;
}

// Everything calc_activity delivers.
struct FitResult {
    int32_t status = 0;
    float gain = 0.0f;
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::vector<float> corrected = std::vector<float>(kChannels, 0.0f);
    EvaluationDetail detail;
    ScanRange& range = detail.scan_range;
};

void expect_same(const FitResult& fast, const FitResult& plain, const std::string& where) {
    EXPECT_EQ(fast.status, plain.status) << where;
    EXPECT_TRUE(same_bits(fast.gain, plain.gain)) << where << " gain " << fast.gain << " vs " << plain.gain;
    EXPECT_TRUE(same_bits(fast.range.lowest, plain.range.lowest)) << where;
    EXPECT_TRUE(same_bits(fast.range.highest, plain.range.highest)) << where;
    EXPECT_EQ(std::memcmp(fast.sample.get(), plain.sample.get(), sizeof(SampleRecord)), 0)
        << where << " sample records differ (activity " << fast.sample->activity[0] << " vs "
        << plain.sample->activity[0] << ", qfit " << fast.sample->qfit << " vs " << plain.sample->qfit << ")";
    EXPECT_EQ(std::memcmp(fast.corrected.data(), plain.corrected.data(), sizeof(float) * kChannels), 0)
        << where << " corrected spectra differ";
    expect_same_detail(fast.detail, plain.detail, where);
}

TEST(FastAnalysis, CalcActivityMatchesStraightforwardBitForBit) {
    InputMaker make(20261207);
    FitCache cache;
    auto method = std::make_unique<MethodRecord>();
    auto local_background = std::make_unique<LocalBackground>();
    auto sample = std::make_unique<SampleRecord>();
    RoiList rois{};
    const int32_t channel_counts[] = {1024, 1024, 1024, 1024, 1024, 960};
    const float gains[] = {1.0f, 1.0f, 1.0f, 0.97f, 0.0005f, NAN, 5.0f};
    int fitted = 0;
    for (int round = 0; round < 200; ++round) {
        // Keep the method for a few rounds so the cache is hit as well as missed.
        if (round % 3 == 0) {
            *method = MethodRecord{};
            make.method(method.get());
            make.rois(&rois);
            local_background->live_time = make.live_time();
            make.spectrum(local_background->channel, 1);
        }
        *sample = SampleRecord{};
        sample->weight = make.chance(0.9) ? 1.0f : static_cast<float>(make.uniform(0, 2));
        sample->live_time = make.live_time();
        make.spectrum(sample->channel, make.uniform(0.01, 3));
        const int32_t channel_count = channel_counts[make.below(6)];
        const int32_t mode = make.chance(0.8) ? 2 : make.below(4);
        const float start_gain = gains[make.below(7)];

        auto run = [&](AnalysisOptions options, FitResult* result) {
            *result->sample = *sample;
            result->gain = start_gain;
            options.channel_count = channel_count;
            options.mode = mode;
            options.detail = &result->detail;
            result->status = calc_activity(result->sample.get(), *method, *local_background, rois,
                                           &result->gain, result->corrected.data(), options);
        };
        FitResult plain, fast, cached, baseline;
        run(AnalysisOptions{.straightforward = true}, &plain);
        run(AnalysisOptions{}, &fast);
        run(AnalysisOptions{.cache = &cache}, &cached);
        run(AnalysisOptions{.kernel = AnalysisKernel::baseline}, &baseline);
        const std::string where = "round " + std::to_string(round);
        expect_same(fast, plain, where + " (fast)");
        expect_same(cached, plain, where + " (cached)");
        expect_same(baseline, plain, where + " (baseline kernel)");
        if (::testing::Test::HasFailure()) break;
        fitted += plain.status == 0 && method->component_count > 0 && plain.sample->qfit < 6.0e12f;
    }
    // The comparison means little unless most rounds get through a whole scan.
    EXPECT_GT(fitted, 60);
    std::printf("rounds with a complete fit: %d of 200\n", fitted);
}

TEST(FastAnalysis, EvaluationDriverMatchesStraightforwardBitForBit) {
    InputMaker make(7);
    FitCache cache;
    for (int round = 0; round < 60; ++round) {
        auto method = std::make_unique<MethodRecord>();
        auto local_background = std::make_unique<LocalBackground>();
        make.method(method.get());
        local_background->live_time = make.live_time();
        make.spectrum(local_background->channel, 1);
        auto sample = std::make_unique<SampleRecord>();
        sample->weight = 1.0f;
        sample->live_time = make.live_time();
        make.spectrum(sample->channel, make.uniform(0.1, 2));
        RoiList extra{};
        make.rois(&extra);
        const bool two_pass = make.below(2) != 0;

        auto plain_method = std::make_unique<MethodRecord>(*method);
        auto plain_background = std::make_unique<LocalBackground>(*local_background);
        auto plain_sample = std::make_unique<SampleRecord>(*sample);
        EvaluationDetail plain_detail;
        EvaluationDetail fast_detail;
        AnalysisOptions checks{.extra_rois = &extra, .two_pass = two_pass, .check_total = true,
                               .check_fraction = true};
        // Every other round places the scan: by the wide search, or by a
        // calibration's gain.
        if (round % 4 == 1) checks.gain_search = GainSearch::wide;
        if (round % 4 == 3) {
            checks.gain_search = GainSearch::calibration;
            checks.calibration_gain = 0.8 + 0.01 * round;
        }
        AnalysisOptions plain_options = checks;
        plain_options.straightforward = true;
        plain_options.detail = &plain_detail;
        AnalysisOptions fast_options = checks;
        fast_options.cache = &cache;
        fast_options.detail = &fast_detail;
        // A new method each round, often at the last one's address: known by
        // its identity in every other round.
        if (round % 2 == 0) fast_options.method_identity = method_identity(*method);
        const int32_t plain_status =
            lsq_calc_activity(plain_sample.get(), *plain_method, *plain_background, plain_options);
        const int32_t fast_status = lsq_calc_activity(sample.get(), *method, *local_background, fast_options);
        expect_same_detail(fast_detail, plain_detail, "round " + std::to_string(round));
        ASSERT_EQ(fast_status, plain_status) << "round " << round;
        ASSERT_EQ(std::memcmp(sample.get(), plain_sample.get(), sizeof(SampleRecord)), 0)
            << "round " << round;
        ASSERT_EQ(std::memcmp(method.get(), plain_method.get(), sizeof(MethodRecord)), 0);
    }
}

// One method and one cache for a run of samples whose scans try different
// gains: plain, the wide search, centred by two calibrations in turn. What a
// scan keeps of its fixed trial gains must serve only scans that try them.
TEST(FastAnalysis, ScansOfOneMethodAtOtherGainsMatchStraightforward) {
    InputMaker make(11);
    auto method = std::make_unique<MethodRecord>();
    make.method(method.get());
    auto local_background = std::make_unique<LocalBackground>();
    local_background->live_time = make.live_time();
    make.spectrum(local_background->channel, 1);
    FitCache cache;
    const std::string identity = method_identity(*method);
    for (int round = 0; round < 16; ++round) {
        auto sample = std::make_unique<SampleRecord>();
        sample->weight = 1.0f;
        sample->live_time = make.live_time();
        make.spectrum(sample->channel, make.uniform(0.1, 2));
        AnalysisOptions checks{.two_pass = round % 3 == 0};
        if (round % 4 == 1) checks.gain_search = GainSearch::wide;
        if (round % 4 >= 2) {
            checks.gain_search = GainSearch::calibration;
            checks.calibration_gain = round % 4 == 2 ? 0.9 : 1.1;
        }
        auto plain_sample = std::make_unique<SampleRecord>(*sample);
        AnalysisOptions plain_options = checks;
        plain_options.straightforward = true;
        AnalysisOptions fast_options = checks;
        fast_options.cache = &cache;
        fast_options.method_identity = identity;
        const int32_t plain_status = lsq_calc_activity(plain_sample.get(), *method, *local_background, plain_options);
        const int32_t fast_status = lsq_calc_activity(sample.get(), *method, *local_background, fast_options);
        ASSERT_EQ(fast_status, plain_status) << "round " << round;
        ASSERT_EQ(std::memcmp(sample.get(), plain_sample.get(), sizeof(SampleRecord)), 0) << "round " << round;
    }
}

// The fast scan fits four trials side by side. A scan whose trials turn
// singular part of the way through a group of four must stop at the same
// trial, and groups whose gains straddle the smallest gain the correction
// stretches by (some lanes stretched, some copied) must give the same data.
// One sample holds a single spike and nothing else, so a trial's fit is
// solvable only while the spike reaches an ROI point.
TEST(FastAnalysis, ScansThatStopOrStraddleTheSmallestGainMatchStraightforward) {
    InputMaker make(5);
    auto method = std::make_unique<MethodRecord>();
    make.method(method.get());
    method->component_count = 1;
    method->component[0].roi_count = 1;
    method->component[0].roi[0][0] = 200;
    method->component[0].roi[0][1] = 209;
    const auto empty = std::make_unique<LocalBackground>();
    struct Case {
        int spike;              // channel of the only counts, or -1: a shaped spectrum
        float held_gain;        // NaN: scan
        double calibration_gain;  // NaN: the plain scan
    };
    std::vector<Case> cases;
    for (int spike = 150; spike <= 330; ++spike) cases.push_back({spike, NAN, NAN});
    for (const double g : {0.00103, 0.001, 0.00094}) cases.push_back({-1, NAN, g});
    for (const float g : {0.0005f, 0.0015f, 0.0f}) cases.push_back({-1, g, NAN});
    int stopped_inside_a_group = 0;
    for (const Case& c : cases) {
        auto sample = std::make_unique<SampleRecord>();
        sample->weight = 1.0f;
        sample->live_time = 600;
        if (c.spike >= 0) {
            sample->channel[c.spike] = 5000;
        } else {
            make.spectrum(sample->channel, 1);
        }
        AnalysisOptions checks{.held_gain = c.held_gain};
        if (!std::isnan(c.calibration_gain)) {
            checks.gain_search = GainSearch::calibration;
            checks.calibration_gain = c.calibration_gain;
        }
        EvaluationDetail plain_detail;
        EvaluationDetail fast_detail;
        auto plain_sample = std::make_unique<SampleRecord>(*sample);
        AnalysisOptions plain_options = checks;
        plain_options.straightforward = true;
        plain_options.detail = &plain_detail;
        AnalysisOptions fast_options = checks;
        fast_options.detail = &fast_detail;
        const int32_t plain_status = lsq_calc_activity(plain_sample.get(), *method, *empty, plain_options);
        const int32_t fast_status = lsq_calc_activity(sample.get(), *method, *empty, fast_options);
        const std::string where = "spike " + std::to_string(c.spike) + " held " + std::to_string(c.held_gain) +
                                  " calibration " + std::to_string(c.calibration_gain);
        ASSERT_EQ(fast_status, plain_status) << where;
        ASSERT_EQ(std::memcmp(sample.get(), plain_sample.get(), sizeof(SampleRecord)), 0) << where;
        expect_same_detail(fast_detail, plain_detail, where);
        stopped_inside_a_group += plain_status != 0 && plain_detail.trials.size() % kLanes != 0;
    }
    EXPECT_GT(stopped_inside_a_group, 0);
}

// The scan's elimination against gauss_jordan() itself, on normal matrices
// and on matrices that make it exchange rows, break ties of magnitude, meet
// NaN, infinities and signed zeros, and stop at a singular pivot.
TEST(FastAnalysis, EliminationMatchesGaussJordanBitForBit) {
    std::mt19937 random(42);
    std::uniform_real_distribution<double> uniform(-10, 10);
    static const double ties[] = {1.0, -1.0, 2.0, -2.0, 0.0, -0.0, 0.5};
    static const double odd[] = {NAN, INFINITY, -INFINITY, -0.0, 1e-31, 1e300, -3.0, 7.0};
    int solved = 0;
    int exchanged = 0;  // first pivot (the largest element) off the diagonal
    for (int round = 0; round < 3000; ++round) {
        const int m = 1 + round % kMaxComponents;
        const int kind = round / kMaxComponents % 5;
        double plain[kMaxComponents][kMaxComponents] = {};
        double fast[kMaxComponents][kStride] = {};
        double plain_x[kMaxComponents];
        double fast_x[kMaxComponents];
        double basis[kMaxComponents][12];
        for (auto& row : basis) {
            for (double& v : row) v = std::fabs(uniform(random));
        }
        int row = 0;
        int col = 0;
        for (int i = 0; i < m; ++i) {
            plain_x[i] = fast_x[i] = uniform(random);
            for (int k = 0; k < m; ++k) {
                double& a = plain[i][k];
                if (kind == 0) {
                    for (int j = 0; j < 12; ++j) a += basis[i][j] * basis[k][j];
                } else {
                    a = kind == 1 ? ties[random() % 7] : uniform(random);
                    if (kind == 2 && random() % 4 == 0) a = odd[random() % 8];
                    if (kind == 3 && i == m - 1 && m > 1) a = plain[0][k] * 3.0;  // rank deficient
                }
                fast[i][k] = a;
                if (std::fabs(a) > std::fabs(plain[row][col])) row = i, col = k;
            }
        }
        double flags[kMaxComponents];
        const auto at = [&plain](int i, int k) -> double& { return plain[i][k]; };
        const int32_t plain_status = gauss_jordan(m, at, plain_x, flags);
        const std::string where = "round " + std::to_string(round);
        ASSERT_EQ(fast_gauss_jordan(m, fast, fast_x, AnalysisKernel::automatic), plain_status) << where;
        if (plain_status != 0) continue;
        ++solved;
        exchanged += row != col;
        for (int i = 0; i < m; ++i) {
            ASSERT_TRUE(same_bits(fast_x[i], plain_x[i])) << where << " x" << i;
            for (int k = 0; k < m; ++k) ASSERT_TRUE(same_bits(fast[i][k], plain[i][k])) << where << " " << i << k;
        }
    }
    EXPECT_GT(solved, 1500);
    EXPECT_GT(exchanged, 500);
}

// Two components with a peak each, known by the method's identity, and
// samples that hold one of the peaks: each second pass fits the one
// component present, a different one in turn and one at a time, so the
// model the cache keeps for one must not serve the other.
TEST(FastAnalysis, SecondPassesOfOneMethodKeepTheirOwnModels) {
    auto method = std::make_unique<MethodRecord>();
    method->component_count = 2;
    const int peak[2] = {300, 600};
    for (int k = 0; k < 2; ++k) {
        ComponentBlock& block = method->component[k];
        block.weight = 1.0f;
        block.standard_activity[k] = 1.0f;
        block.standard_live_time = block.background_live_time = 1000;
        std::fill(std::begin(block.background_channel), std::end(block.background_channel), 10);
        std::copy(std::begin(block.background_channel), std::end(block.background_channel), block.standard_channel);
        for (int j = peak[k] - 4; j <= peak[k] + 4; ++j) block.standard_channel[j] += 5000;
        block.roi_count = 1;
        block.roi[0][0] = peak[k] - 10;
        block.roi[0][1] = peak[k] + 10;
        method->detection_limit[k] = 0.1f;
    }
    auto local_background = std::make_unique<LocalBackground>();
    local_background->live_time = 1000;
    std::fill(std::begin(local_background->channel), std::end(local_background->channel), 10);
    FitCache cache;
    const std::string identity = method_identity(*method);
    for (const int present : {1, 0, 1}) {
        auto sample = std::make_unique<SampleRecord>();
        sample->weight = 1.0f;
        sample->live_time = 1000;
        std::copy(std::begin(method->component[present].standard_channel),
                  std::end(method->component[present].standard_channel), sample->channel);
        auto plain_sample = std::make_unique<SampleRecord>(*sample);
        EvaluationDetail plain_detail;
        EvaluationDetail fast_detail;
        const AnalysisOptions plain{.two_pass = true, .straightforward = true, .detail = &plain_detail};
        AnalysisOptions fast{.two_pass = true, .cache = &cache, .detail = &fast_detail};
        fast.method_identity = identity;
        ASSERT_EQ(lsq_calc_activity(plain_sample.get(), *method, *local_background, plain), 0);
        ASSERT_EQ(lsq_calc_activity(sample.get(), *method, *local_background, fast), 0);
        // The component absent is dropped, the one present kept.
        EXPECT_EQ(sample->activity[1 - present], 0.0f);
        EXPECT_GT(sample->activity[present], 0.5f);
        expect_same_detail(fast_detail, plain_detail, "component " + std::to_string(present));
    }
}

// The straightforward excess search: every window summed channel by channel.
int32_t check_act_over_bg_straightforward(const SampleRecord* sample, const LocalBackground* background,
                                          int32_t channel_count) {
    const int n = std::min(channel_count, kChannels);
    if (n <= 0) return 0;
    const float ratio = static_cast<float>(sample->live_time) / static_cast<float>(background->live_time);
    for (int m = 3; m <= n - 1; ++m) {
        const float relative = static_cast<float>(118.65 / std::sqrt(static_cast<double>(m)));
        const float half_width = relative * static_cast<float>(m) / 100.0f;
        const float centre = static_cast<float>(m);
        if (centre - half_width < 2.0f) continue;
        const int lo = static_cast<int>(centre - half_width);
        const int hi = static_cast<int>(centre + half_width);
        if (hi > n) break;
        if (hi <= lo || lo >= n - 1) continue;
        float counts = 0.0f;
        float expected = 0.0f;
        for (int j = lo; j < hi && j < n - 1; ++j) {
            counts += static_cast<float>(sample->channel[j]);
            expected += static_cast<float>(background->channel[j]) * ratio;
        }
        if (expected == 0.0f) continue;
        const float deviation = static_cast<float>(10.0 * std::sqrt(static_cast<double>(counts)));
        if (counts - deviation > expected + deviation && expected > 40.0f) return 1;
    }
    return 0;
}

// The window sums read from prefix sums where that is exact must decide as the
// channel-by-channel sums do: equal live times (ratio 1), counts near and
// beyond 2^24 in a window, negative counts, zero and odd live times, and
// spectra that sit right at the decision (an excess in one window only).
TEST(FastAnalysis, ExcessSearchMatchesStraightforward) {
    InputMaker make(99);
    auto sample = std::make_unique<SampleRecord>();
    auto background = std::make_unique<LocalBackground>();
    int found = 0;
    for (int round = 0; round < 3000; ++round) {
        const double scale = make.chance(0.2) ? make.uniform(1e2, 1e4) : make.uniform(0.01, 3);
        make.spectrum(sample->channel, scale);
        make.spectrum(background->channel, scale * make.uniform(0.5, 1.5));
        if (make.chance(0.3)) {
            // Background and sample nearly alike, so windows sit at the threshold.
            for (int j = 0; j < kChannels; ++j) background->channel[j] = sample->channel[j] - make.below(3);
            sample->channel[make.below(kChannels)] += make.below(3000);
        }
        sample->live_time = make.live_time();
        background->live_time = make.chance(0.4) ? sample->live_time : make.live_time();
        const int32_t channel_count = make.chance(0.9) ? kChannels : make.below(kChannels + 10) - 5;
        const int32_t expected = check_act_over_bg_straightforward(sample.get(), background.get(), channel_count);
        ASSERT_EQ(check_act_over_bg(sample.get(), background.get(), channel_count), expected)
            << "round " << round;
        found += expected;
    }
    // Both answers must occur often for the comparison to mean something.
    EXPECT_GT(found, 300);
    EXPECT_LT(found, 2700);
}

// With unequal live times the background windows are float sums of scaled
// counts, which the search bounds instead of adding up where the bound decides.
// A sample with one bump, grown count by count across the point where the
// straightforward search first finds the excess, puts a window exactly on the
// decision; both searches must flip at the same count.
TEST(FastAnalysis, ExcessSearchFlipsAtTheSameCountWithAScaledBackground) {
    InputMaker make(2024);
    auto sample = std::make_unique<SampleRecord>();
    auto background = std::make_unique<LocalBackground>();
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        make.spectrum(background->channel, make.uniform(0.05, 30));
        background->live_time = static_cast<uint64_t>(100 + make.below(7200));
        do {
            sample->live_time = static_cast<uint64_t>(100 + make.below(7200));
        } while (sample->live_time == background->live_time);
        const float ratio = static_cast<float>(sample->live_time) / static_cast<float>(background->live_time);
        for (int j = 0; j < kChannels; ++j) {
            // Held well inside int32, so that the bump below cannot overflow.
            const float scaled = static_cast<float>(background->channel[j]) * ratio;
            sample->channel[j] = static_cast<int32_t>(std::clamp(scaled, -1.0e9f, 1.0e9f));
        }
        const int bumped = 20 + make.below(kChannels - 40);
        const int32_t base = sample->channel[bumped];
        auto straightforward_with = [&](int32_t bump) {
            sample->channel[bumped] = base + bump;
            return check_act_over_bg_straightforward(sample.get(), background.get(), kChannels);
        };
        if (straightforward_with(0) != 0 || straightforward_with(1 << 24) == 0) continue;
        int32_t absent = 0;  // the smallest bump known to leave no excess
        int32_t present = 1 << 24;
        while (present - absent > 1) {
            const int32_t middle = absent + (present - absent) / 2;
            (straightforward_with(middle) != 0 ? present : absent) = middle;
        }
        for (int32_t bump = absent - 2; bump <= present + 2; ++bump) {
            const int32_t expected = straightforward_with(bump);
            ASSERT_EQ(check_act_over_bg(sample.get(), background.get(), kChannels), expected)
                << "round " << round << ", bump " << bump;
        }
        ++compared;
    }
    EXPECT_GT(compared, 200);
}

// A generated run of several hundred evaluations: the default program (fast
// analysis, all threads) against --straightforward, byte for byte.
TEST(FastAnalysis, WholeRunMatchesStraightforwardByteForByte) {
    test_support::ScratchDir fast_dir;
    const std::string command = "python3 " ASSAY_SOURCE_DIR "/scripts/make_workdir.py " +
                                fast_dir.path().string() + " --files 300 --entries 1500 --seed 3";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "python3 is needed to generate the run";
    test_support::ScratchDir plain_dir;
    fs::copy(fast_dir.path(), plain_dir.path(), fs::copy_options::recursive);

    const auto fast = test_support::run_assay_in(fast_dir.path(), {"--threads", "3"});
    const auto plain = test_support::run_assay_in(plain_dir.path(), {"--straightforward"});
    ASSERT_EQ(fast.exit_status, 0);
    ASSERT_EQ(plain.exit_status, 0);
    EXPECT_EQ(fast.out, plain.out);
    EXPECT_EQ(fast.err, plain.err);
    const std::string result = fast_dir.read("result.txt");
    EXPECT_EQ(result, plain_dir.read("result.txt"));
    EXPECT_EQ(fast_dir.read("method.txt"), plain_dir.read("method.txt"));
    // The run is only a guard if it evaluates a lot.
    size_t rows = 0;
    for (char c : result) rows += c == '\n';
    EXPECT_GT(rows, 400u);
}

}  // namespace
