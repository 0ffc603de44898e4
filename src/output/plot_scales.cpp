// Scales and ticks of the pictures.
#include "output/plot_scales.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/conversions.h"

namespace plot {

bool clamp_roi(std::pair<int32_t, int32_t> roi, int* first, int* last) {
    *first = std::max<int32_t>(roi.first, 0);
    *last = std::min<int32_t>(roi.second, kChannels - 1);
    return *first <= *last;
}

double CountAxis::y(double counts) const {
    if (!(counts > 0.0)) return kFloorY;
    const double decade = std::max(std::log10(counts), low);
    return kPlotTop + (high - decade) / (high - low) * (kLogBottom - kPlotTop);
}

// The lowest decade is the one of the smallest positive count, but not below
// 0.1 counts (gain-corrected sums have tiny fractions that say nothing) nor
// more than eight decades under the top; the top leaves a sixth of the height
// free above the largest count so that ROI labels do not cover peaks.
ChannelRange channel_range(const FinishedRow& data) {
    int last = -1;
    for (const auto* spectrum : {&data.measured, &data.expected}) {
        const int n = static_cast<int>(std::min<size_t>(spectrum->size(), kChannels));
        for (int i = n - 1; i > last; --i) {
            const float v = (*spectrum)[static_cast<size_t>(i)];
            if (v != 0.0f && !std::isnan(v)) {
                last = i;
                break;
            }
        }
    }
    for (const RowComponent& component : data.components) {
        for (const auto& roi : component.rois) {
            int first = 0, end = 0;
            if (clamp_roi(roi, &first, &end)) last = std::max(last, end);
        }
    }
    if (last < 0) return {};
    return {std::min((last / kRangeStep + 1) * kRangeStep, kChannels)};
}

int channel_step(const ChannelRange& range) {
    for (const int step : {10, 20, 25, 50}) {
        if ((range.channels - 1) / step < 11) return step;
    }
    return 100;
}

CountAxis count_axis(const FinishedRow& data) {
    double smallest = INFINITY;
    double largest = 0.0;
    for (const auto* spectrum : {&data.measured, &data.expected}) {
        const size_t n = std::min<size_t>(spectrum->size(), kChannels);
        for (size_t i = 0; i < n; ++i) {
            const double v = (*spectrum)[i];
            if (v > 0.0 && std::isfinite(v)) {
                smallest = std::min(smallest, v);
                largest = std::max(largest, v);
            }
        }
    }
    CountAxis axis;
    if (!(largest > 0.0)) return axis;  // nothing positive: 1 to 10 counts, empty
    const double top = std::log10(largest);
    double low = std::floor(std::log10(smallest));
    low = std::max(low, -1.0);
    low = std::max(low, std::ceil(top) - 8.0);
    if (top - low < 1.0) low = std::floor(top - 1.0);
    axis.low = low;
    axis.high = top + (top - low) / 5.0;
    return axis;
}

std::string count_label(int decade) {
    if (decade >= 0 && decade <= 3) {
        std::string label = "1";
        label.append(static_cast<size_t>(decade), '0');
        return label;
    }
    if (decade < 0 && decade >= -2) {
        return "0." + std::string(static_cast<size_t>(-decade - 1), '0') + "1";
    }
    return "10<tspan dy=\"-6\" font-size=\"8\">" + std::to_string(decade) + "</tspan>";
}

// How many standard deviations of the model's Poisson count (sample and
// local background) a channel lies off it.
double residual(double measured, double expected, double variance) {
    if (!(variance > 0.0)) variance = std::max(expected, 1.0);
    return (measured - expected) / std::sqrt(variance);
}

double residual_range(double largest) {
    for (const double candidate : kResidualRanges) {
        if (largest <= candidate) return candidate;
    }
    return kResidualRanges.back();
}

double residual_y(double value, double range) {
    const double clipped = std::clamp(value, -range, range);
    return kResidualZero - clipped / range * (kResidualZero - kResidualTop);
}

namespace {

double energy_step(double range) {
    for (const double step : {10.0, 20.0, 50.0, 100.0, 200.0, 250.0, 500.0, 1000.0, 2000.0, 5000.0}) {
        if (range / step <= 10.0) return step;
    }
    // A finite range ends this by 2e307 at the latest.
    for (int power = 4; power <= 307; ++power) {
        for (const double multiple : {1.0, 2.0, 5.0}) {
            const double step = multiple * std::pow(10.0, power);
            if (range / step <= 10.0) return step;
        }
    }
    return range;
}

// An energy in exponent form with at most `decimals` digits after the point,
// trailing zeros dropped ("1.5e+41", "2e+41"); 0 plainly.
std::string exponent_label(double energy, int decimals) {
    if (energy == 0.0) return "0";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*e", decimals, energy);
    std::string label = buffer;
    const size_t exponent = label.find('e');
    size_t end = exponent;
    while (decimals > 0 && label[end - 1] == '0') --end;
    if (label[end - 1] == '.') --end;
    return label.erase(end, exponent - end);
}

// More would mean labels too long to stand apart, for a range that is a
// sliver of its offset.
constexpr int kMostDecimals = 4;

// Labels in exponent form, with as many decimals as the step's power of ten
// lies below each value's; false when one would need more than kMostDecimals.
bool label_in_exponent_form(std::vector<EnergyTick>& ticks, double step) {
    const int step_power = static_cast<int>(std::floor(std::log10(step)));
    for (EnergyTick& tick : ticks) {
        const int power = tick.energy == 0.0 ? step_power
                                             : static_cast<int>(std::floor(std::log10(std::abs(tick.energy))));
        const int decimals = std::max(power - step_power, 0);
        if (decimals > kMostDecimals) return false;
        tick.label = exponent_label(tick.energy, decimals);
    }
    return true;
}

}  // namespace

// Bisection finds each tick's channel, so any polynomial that rises will do.
std::vector<EnergyTick> energy_ticks(const std::vector<double>& calibration, int channels, double gain) {
    if (calibration.size() < 2 || channels < 2) return {};
    const auto energy_shown = [&](double channel) { return energy_at(calibration, source_channel(channel, gain)); };
    const double top = channels - 1.0;
    constexpr int kSamples = 64;
    double previous = energy_shown(0.0);
    for (int i = 1; i <= kSamples; ++i) {
        const double e = energy_shown(top * static_cast<double>(i) / kSamples);
        if (!std::isfinite(e) || !(e > previous)) return {};
        previous = e;
    }
    const double low = energy_shown(0.0);
    const double high = energy_shown(top);
    if (!std::isfinite(high - low)) return {};
    const double step = energy_step(high - low);
    std::vector<EnergyTick> ticks;
    bool long_label = false;
    // Each tick from its own multiple: adding the step up would stall where
    // it is below the spacing of doubles, and drift where it is not exact.
    const double first = std::ceil(low / step);
    for (int k = 0; k <= 10; ++k) {
        const double e = (first + k) * step + 0.0;  // + 0.0: no "-0" label
        if (!(e <= high)) break;
        double a = 0.0, b = top;
        for (int i = 0; i < 60; ++i) {
            const double middle = (a + b) / 2.0;
            (energy_shown(middle) < e ? a : b) = middle;
        }
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, "%.0f", e);
        long_label = long_label || std::strlen(buffer) > 14;
        ticks.push_back({(a + b) / 2.0, e, buffer});
    }
    if (long_label && !label_in_exponent_form(ticks, step)) return {};
    return ticks;
}

}  // namespace plot
