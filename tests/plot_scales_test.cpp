// Tests of the energy axis of the pictures: ticks chosen from the range the
// calibration spans, few and round for any calibration. Expected ticks are
// worked out by hand from the step rule plot_scales.h states (the first of
// 10, 20, 50, 100, 200, 250, 500 ... keV, then 1, 2, 5 times each power of
// ten, that leaves at most ten steps over the range).
#include "output/plot_scales.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

double energy_at(const std::vector<double>& calibration, double channel) {
    double energy = 0.0;
    for (size_t k = calibration.size(); k-- > 0;) energy = energy * channel + calibration[k];
    return energy;
}

TEST(PlotEnergyAxis, TicksAreFewRoundAndWhereTheCalibrationPutsThem) {
    const struct {
        const char* what;
        std::vector<double> calibration;
        std::vector<std::string> labels;  // empty: no axis
    } cases[] = {
        // 10 .. 3079 keV: 3069 / 500 = 6.1 steps (3069 / 250 = 12.3 would be too many).
        {"3 keV a channel", {10.0, 3.0}, {"500", "1000", "1500", "2000", "2500", "3000"}},
        // 0 .. 3069000 keV: steps of 5e5 (2e5 would give 15.3); once 307 labels 10000 apart.
        {"3000 keV a channel", {0.0, 3000.0}, {"0", "500000", "1000000", "1500000", "2000000", "2500000", "3000000"}},
        // 0 .. 1.023e15 keV: steps of 2e14; "200000000000000" would take 15 characters.
        {"1e12 keV a channel", {0.0, 1e12}, {"0", "2e+14", "4e+14", "6e+14", "8e+14", "1e+15"}},
        // 0 .. 3.069e41 keV: steps of 5e40.
        {"3e38 keV a channel", {0.0, 3e38}, {"0", "5e+40", "1e+41", "1.5e+41", "2e+41", "2.5e+41", "3e+41"}},
        // -500 .. 523 keV: steps of 200 (100 would give 10.2).
        {"negative offset", {-500.0, 1.0}, {"-400", "-200", "0", "200", "400"}},
        // -3.7 .. 3065.3 keV: the first multiple of 500 is 0, not "-0".
        {"small negative offset", {-3.7, 3.0}, {"0", "500", "1000", "1500", "2000", "2500", "3000"}},
        // 0 .. 1.023e-6 keV: the smallest step, 10 keV, has one multiple in range.
        {"tiny", {0.0, 1e-9}, {"0"}},
        // 1e20 .. 1e20 + 1.023e9 keV: steps of 2e8 would need labels of 12 digits.
        {"a sliver of a huge offset", {1e20, 1e6}, {}},
        {"decreasing", {100.0, -0.1}, {}},
        {"constant", {100.0, 0.0}, {}},
        {"NaN", {NAN, 1.0}, {}},
        {"infinite slope", {0.0, INFINITY}, {}},
        {"infinite at the top", {0.0, 1e306}, {}},
        // -1.7e308 .. 1.37e308: each energy finite, the range not.
        {"range beyond doubles", {-1.7e308, 3e305}, {}},
        {"no slope", {100.0}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<plot::EnergyTick> ticks = plot::energy_ticks(c.calibration, kChannels);
        std::vector<std::string> labels;
        for (const auto& tick : ticks) labels.push_back(tick.label);
        EXPECT_EQ(labels, c.labels);
        for (size_t i = 0; i < ticks.size(); ++i) {
            // The label says the tick's energy, and the tick stands where the
            // calibration reaches it, in rising order.
            EXPECT_DOUBLE_EQ(std::strtod(ticks[i].label.c_str(), nullptr), ticks[i].energy) << ticks[i].label;
            EXPECT_GE(ticks[i].channel, 0.0);
            EXPECT_LE(ticks[i].channel, kChannels - 1.0);
            const double at = energy_at(c.calibration, ticks[i].channel);
            EXPECT_NEAR(at, ticks[i].energy, 1e-9 * std::abs(energy_at(c.calibration, kChannels - 1.0)));
            if (i > 0) {
                EXPECT_GT(ticks[i].channel, ticks[i - 1].channel);
            }
        }
    }
}

// The channels a picture shows: through the last channel with a count in
// either spectrum or in a ROI, rounded up to a multiple of 64.
TEST(PlotChannelRange, EndsAtTheLastCountOrRoiRoundedUp) {
    const auto spectrum = [](int length, float level) { return std::vector<float>(length, level); };
    const struct {
        const char* what;
        std::vector<float> measured, expected;
        std::vector<std::pair<int32_t, int32_t>> rois;
        int channels, step;
    } cases[] = {
        {"256-channel detector", spectrum(256, 3.0f), spectrum(256, 2.0f), {{60, 72}}, 256, 25},
        {"one count past 256", spectrum(257, 3.0f), {}, {}, 320, 50},
        {"full", spectrum(kChannels, 1.0f), spectrum(kChannels, 1.0f), {}, kChannels, 100},
        {"nothing", {}, {}, {}, kChannels, 100},
        {"only zeros and NaN", spectrum(kChannels, 0.0f), spectrum(kChannels, NAN), {}, kChannels, 100},
        {"counts only in the model", spectrum(kChannels, 0.0f), spectrum(100, 4.0f), {}, 128, 20},
        {"a negative count", spectrum(3, -1.0f), {}, {}, 64, 10},
        {"ROI beyond the counts", spectrum(100, 3.0f), {}, {{300, 400}}, 448, 50},
        {"ROI beyond the channels", spectrum(10, 3.0f), {}, {{900, 5000}}, kChannels, 100},
        {"reversed ROI", spectrum(10, 3.0f), {}, {{900, 800}}, 64, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FinishedRow row;
        row.measured = c.measured;
        row.expected = c.expected;
        row.components.push_back({});
        row.components.back().rois = c.rois;
        const plot::ChannelRange range = plot::channel_range(row);
        EXPECT_EQ(range.channels, c.channels);
        EXPECT_EQ(plot::channel_step(range), c.step);
        EXPECT_DOUBLE_EQ(range.x(c.channels - 0.5), plot::kPlotRight);
    }
}

// Ticks only on the channels shown, and only where the calibration rises
// there: one that turns down at channel 1000 has an axis on 256 channels.
TEST(PlotEnergyAxis, StaysInsideTheShownChannels) {
    const struct {
        std::vector<double> calibration;
        int channels;
        std::vector<std::string> labels;
    } cases[] = {
        // 10 .. 775 keV: steps of 100 (50 would give 15.3).
        {{10.0, 3.0}, 256, {"100", "200", "300", "400", "500", "600", "700"}},
        // 0 .. 2550 - 0.005 * 255^2 = 2224.9 keV: steps of 250 (200 would give 11.1).
        {{0.0, 10.0, -0.005}, 256, {"0", "250", "500", "750", "1000", "1250", "1500", "1750", "2000"}},
        {{0.0, 10.0, -0.005}, kChannels, {}},
        {{10.0, 3.0}, 1, {}},
    };
    for (const auto& c : cases) {
        const std::vector<plot::EnergyTick> ticks = plot::energy_ticks(c.calibration, c.channels);
        std::vector<std::string> labels;
        for (const auto& tick : ticks) {
            labels.push_back(tick.label);
            EXPECT_LE(tick.channel, c.channels - 1.0);
            EXPECT_NEAR(energy_at(c.calibration, tick.channel), tick.energy, 1e-6);
        }
        EXPECT_EQ(labels, c.labels) << c.channels;
    }
}

}  // namespace

// The axis of a gain-corrected spectrum: shown channel c holds the file's
// channel (c + 1) / g - 1, so with E = 3 keV per file channel the energy e
// stands at c = g (e / 3 + 1) - 1; a gain below 0.001 copies the spectrum.
TEST(PlotEnergyAxis, FollowsTheGainCorrection) {
    const struct {
        double gain;
        std::vector<std::string> labels;
        std::vector<double> channels;
    } cases[] = {
        // -0.14 .. 2922.7 keV: steps of 500.
        {1.05, {"0", "500", "1000", "1500", "2000", "2500"}, {0.05, 175.05, 350.05, 525.05, 700.05, 875.05}},
        // 0 .. 3069 keV on the file's own channels.
        {0.0005, {"0", "500", "1000", "1500", "2000", "2500", "3000"}, {0, 500 / 3.0, 1000 / 3.0, 500, 2000 / 3.0,
                                                                       2500 / 3.0, 1000}},
    };
    for (const auto& c : cases) {
        const std::vector<plot::EnergyTick> ticks = plot::energy_ticks({0.0, 3.0}, 1024, c.gain);
        std::vector<std::string> labels;
        for (const auto& tick : ticks) labels.push_back(tick.label);
        EXPECT_EQ(labels, c.labels) << c.gain;
        for (size_t i = 0; i < ticks.size() && i < c.channels.size(); ++i) {
            EXPECT_NEAR(ticks[i].channel, c.channels[i], 1e-9) << c.gain << " " << ticks[i].label;
        }
    }
}
