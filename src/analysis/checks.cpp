#include "analysis/checks.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "core/conversions.h"

void check_partial_limit(SampleRecord* sample, const MethodRecord* method, int32_t* status) {
    int32_t word = status != nullptr ? *status : 0;
    const int n = std::min(method->component_count, kMaxComponents);
    if (n > 0) {
        for (int i = 0; i < n; ++i) sample->over_limit[i] = 0;
        for (int i = 0; i < n; ++i) {
            if (!(method->partial_limit[i] > 0.0f)) continue;
            const float ratio = (sample->activity_sd[i] + sample->activity[i]) / method->partial_limit[i];
            sample->over_limit[i] = ratio > 1.0f ? 1 : 0;
            if (sample->over_limit[i] != 0) word |= 1;
        }
    }
    if (status != nullptr) *status = word;
}

int32_t check_summary_limit(const SampleRecord* sample, const MethodRecord* method,
                            int32_t check_total, int32_t check_fraction, float total_limit,
                            int32_t* status, float* total_out, float* fraction_out) {
    float total = 0.0f;
    float fraction = 0.0f;
    const int n = std::min(method->component_count, kMaxComponents);
    for (int i = 0; i < n; ++i) {
        const float limit = method->partial_limit[i];
        if (!(limit > 0.0f) || method->component[i].in_summary == 0) continue;
        const float t = sample->activity[i] + sample->activity_sd[i];
        total += t;
        fraction += t / limit;
    }
    int32_t word = status != nullptr ? *status : 0;
    if (check_total != 0 && total > total_limit) word |= 2;
    if (check_fraction != 0 && fraction > 1.0f) word |= 4;
    if (status != nullptr) *status = word;
    if (total_out != nullptr) *total_out = total;
    if (fraction_out != nullptr) *fraction_out = fraction;
    return word;
}

namespace {

// The next float below a finite x.
float next_down(float x) {
    if (x == 0.0f) return -std::numeric_limits<float>::denorm_min();
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    return std::bit_cast<float>(x > 0.0f ? bits - 1u : bits + 1u);
}

// Window sums of counts, in channel order as single-precision additions. While
// a window's counts are integers whose magnitudes add up to at most 2^24,
// every such addition is exact, so the sum is the exact integer sum, read
// from prefix sums; other windows are added up one by one.
class WindowSums {
public:
    // `scaled` (may be null) holds each count times the ratio, in single
    // precision; when it is null the counts themselves are summed.
    // Only the first n + 1 prefix sums are written, and only they are read.
    WindowSums(const int32_t* counts, const float* scaled, int n) : counts_(counts), scaled_(scaled) {
        exact_[0] = 0;
        magnitude_[0] = 0;
        real_[0] = 0.0;
        real_magnitude_[0] = 0.0;
        for (int j = 0; j < n; ++j) {
            exact_[j + 1] = exact_[j] + counts[j];
            magnitude_[j + 1] = magnitude_[j] + std::abs(int64_t{counts[j]});
        }
        if (scaled_ != nullptr) {
            for (int j = 0; j < n; ++j) {
                real_[j + 1] = real_[j] + static_cast<double>(scaled_[j]);
                real_magnitude_[j + 1] = real_magnitude_[j] + std::fabs(static_cast<double>(scaled_[j]));
            }
            // Far below the float range, so no window's sum can overflow.
            const double all = real_magnitude_[n];
            bounded_ = std::isfinite(all) && all < 1e37;
            // Covers the rounding of the double prefix sums themselves.
            prefix_slack_ = 1e-12 * all;
        }
    }
    float sum(int lo, int end) const {
        if (scaled_ == nullptr && magnitude_[end] - magnitude_[lo] <= (int64_t{1} << 24)) {
            return static_cast<float>(exact_[end] - exact_[lo]);
        }
        float total = 0.0f;
        for (int j = lo; j < end; ++j) total += scaled_ != nullptr ? scaled_[j] : static_cast<float>(counts_[j]);
        return total;
    }
    // Whether bounds() gives the sum itself.
    bool exact() const { return scaled_ == nullptr; }
    // Bounds that hold the float sum(lo, end) without adding it up, from the
    // rounding error bound of a float sum of at most 1024 terms,
    // (n - 1) u / (1 - (n - 1) u) times the sum of magnitudes (u = 2^-24),
    // here rounded up generously. False where no bound is known.
    bool bounds(int lo, int end, float* low, float* high) const {
        if (scaled_ == nullptr) {
            *low = *high = sum(lo, end);
            return true;
        }
        if (!bounded_) return false;
        const double centre = real_[end] - real_[lo];
        const double magnitude = real_magnitude_[end] - real_magnitude_[lo] + prefix_slack_;
        const double error = 7e-5 * magnitude + prefix_slack_;
        *low = next_down(static_cast<float>(centre - error));
        *high = -next_down(-static_cast<float>(centre + error));
        return true;
    }

private:
    const int32_t* counts_;
    const float* scaled_;
    int64_t exact_[kChannels + 1];
    int64_t magnitude_[kChannels + 1];
    double real_[kChannels + 1];
    double real_magnitude_[kChannels + 1];
    bool bounded_ = false;
    double prefix_slack_ = 0.0;
};

// The excess search's window around channel m: channels lo up to hi, or none
// where the window would begin below channel 2. The same for every spectrum,
// so it is worked out once.
struct ExcessWindows {
    bool used[kChannels] = {};
    int lo[kChannels] = {};
    int hi[kChannels] = {};
};

const ExcessWindows& excess_windows() {
    static const ExcessWindows windows = [] {
        ExcessWindows w;
        for (int m = 3; m < kChannels; ++m) {
            // The window widens with the detector's resolution, about sqrt(energy).
            const float relative = static_cast<float>(kExcessWindowPercent / std::sqrt(static_cast<double>(m)));
            const float half_width = relative * static_cast<float>(m) / 100.0f;
            const float centre = static_cast<float>(m);
            if (centre - half_width < 2.0f) continue;
            w.used[m] = true;
            w.lo[m] = static_cast<int>(centre - half_width);
            w.hi[m] = static_cast<int>(centre + half_width);
        }
        return w;
    }();
    return windows;
}

}  // namespace

int32_t check_act_over_bg(const SampleRecord* sample, const LocalBackground* background,
                          int32_t channel_count) {
    const int n = std::min(channel_count, kChannels);
    if (n <= 0) return 0;
    const float ratio = static_cast<float>(sample->live_time) / static_cast<float>(background->live_time);
    // Each background count times the ratio is the same single-precision
    // product in every window it falls into; with a ratio of exactly 1 it is
    // the count itself.
    auto scaled = std::make_unique<float[]>(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) scaled[j] = static_cast<float>(background->channel[j]) * ratio;
    const auto sample_sums = std::make_unique<WindowSums>(sample->channel, nullptr, n);
    const auto background_sums =
        std::make_unique<WindowSums>(background->channel, ratio == 1.0f ? nullptr : scaled.get(), n);
    const ExcessWindows& windows = excess_windows();
    for (int m = 3; m <= n - 1; ++m) {
        if (!windows.used[m]) continue;
        const int lo = windows.lo[m];
        const int hi = windows.hi[m];
        if (hi > n) break;
        if (hi <= lo || lo >= n - 1) continue;
        // The last channel never enters a window.
        const int end = std::min(hi, n - 1);
        const float counts = sample_sums->sum(lo, end);
        const float deviation = static_cast<float>(10.0 * std::sqrt(static_cast<double>(counts)));
        // Float addition is monotonic, so a window whose background sum is
        // bounded away from an excess is passed over without adding it up.
        float low = 0.0f;
        float high = 0.0f;
        if (background_sums->bounds(lo, end, &low, &high) &&
            (!(high > 40.0f) || counts - deviation <= low + deviation)) {
            continue;
        }
        // Unscaled sums come out of bounds() exact; they are not added up twice.
        const float expected = background_sums->exact() ? low : background_sums->sum(lo, end);
        if (expected == 0.0f) continue;
        if (counts - deviation > expected + deviation && expected > 40.0f) return 1;
    }
    return 0;
}

void model_spectrum(const double* response, int nc, const double* x,
                    const LocalBackground* local_background, uint64_t sample_live_time,
                    int32_t channel_count, float* model, float* variance) {
    const int n = std::clamp(channel_count, 0, kChannels);
    const double u = static_cast<double>(sample_live_time) /
                     static_cast<double>(local_background->live_time);
    std::vector<double> expected(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) expected[j] = u * static_cast<double>(local_background->channel[j]);
    // Component by component over the channels, so that the sums run side
    // by side; each channel still adds its components in order.
    for (int k = 0; k < nc; ++k) {
        const double* row = response + static_cast<size_t>(k) * static_cast<size_t>(n);
        for (int j = 0; j < n; ++j) {
            const double contribution = x[k] * row[j];
            // Only what a component adds; an undefined contribution adds
            // nothing, as adding -0 leaves every sum as it is.
            expected[j] += std::max(-0.0, contribution);
        }
    }
    for (int j = 0; j < n; ++j) {
        model[j] = static_cast<float>(expected[j]);
        if (variance != nullptr) {
            const double l = local_background->channel[j];
            variance[j] = static_cast<float>(std::max(1.0, std::max(0.0, expected[j]) + u * u * l));
        }
    }
}

int32_t check_unknown(const SampleRecord* sample, const float* expected, int32_t channel_count) {
    const int n = std::clamp(channel_count, 0, kChannels);
    auto spectrum = std::make_unique<LocalBackground>();
    spectrum->live_time = sample->live_time;
    spectrum->real_time = sample->real_time;
    for (int j = 0; j < n; ++j) spectrum->channel[j] = float_to_count(expected[j]);
    return check_act_over_bg(sample, spectrum.get(), channel_count);
}
