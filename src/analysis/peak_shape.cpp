#include "analysis/peak_shape.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "analysis/checks.h"
#include "core/conversions.h"

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
constexpr double kWidthStep = 0.02;  // of the logarithm of sigma between kept kernels

// The half width at half maximum of `row` on one side of its peak at `top`
// (step -1 or +1), linearly interpolated; NaN where the row does not fall to
// half before `limit` channels.
double half_width(const double* row, int n, int top, int step, int limit) {
    const double half = row[top] / 2.0;
    for (int d = 1; d <= limit; ++d) {
        const int j = top + step * d;
        if (j < 0 || j >= n) return NAN;
        if (row[j] <= half) {
            const double above = row[j - step];
            return (d - 1) + (above - half) / (above - row[j]);
        }
    }
    return NAN;
}

double normal_cdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

// The kept kernel's step for a FWHM.
int width_step(double fwhm) {
    return static_cast<int>(std::lround(std::log(std::max(fwhm, 1.0) / kFwhmPerSigma) / kWidthStep));
}

// Two doubles side by side: the four sums below run as two such pairs,
// each lane doing exactly what a scalar sum would.
typedef double Pair __attribute__((vector_size(16)));

Pair load_pair(const double* at) {
    Pair pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
}

Pair swapped(Pair pair) { return Pair{pair[1], pair[0]}; }

// The sum of weight[i] values[i] over a kernel of odd length m that is
// symmetric about its centre: mirrored values are added first, so that each
// weight multiplies once, in four independent sums so that they overlap.
double symmetric_sum(const std::vector<double>& weight, const double* values) {
    const size_t m = weight.size();
    const size_t half = m / 2;
    const double* w = weight.data();
    Pair low = {0.0, 0.0};   // sums 0 and 1
    Pair high = {0.0, 0.0};  // sums 2 and 3
    size_t i = 0;
    for (; i + 4 <= half; i += 4) {
        const Pair mirror_low = swapped(load_pair(values + m - 2 - i));
        const Pair mirror_high = swapped(load_pair(values + m - 4 - i));
        low += load_pair(w + i) * (load_pair(values + i) + mirror_low);
        high += load_pair(w + i + 2) * (load_pair(values + i + 2) + mirror_high);
    }
    double part[4] = {low[0], low[1], high[0], high[1]};
    for (; i < half; ++i) part[0] += w[i] * (values[i] + values[m - 1 - i]);
    part[1] += w[half] * values[half];
    return (part[0] + part[1]) + (part[2] + part[3]);
}

// Whether channel j holds a difference and a variance the filter can use.
bool valued_at(const std::vector<double>& difference, const std::vector<double>& variance, int j) {
    return std::isfinite(difference[j]) && std::isfinite(variance[j]);
}

}  // namespace

double normal_upper_tail(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

std::vector<double> judged_variance(const float* variance, const float* model, int channel_count) {
    std::vector<double> judged(static_cast<size_t>(std::clamp(channel_count, 0, kChannels)));
    for (size_t j = 0; j < judged.size(); ++j) {
        const double shape = kModelShapeShare * model[j];
        judged[j] = static_cast<double>(variance[j]) + shape * shape;
    }
    return judged;
}

double resolution_fwhm(const Resolution& resolution, double channel) {
    return std::max(1.0, resolution.fwhm_per_root_channel * std::sqrt(std::max(channel, 1.0)));
}

Resolution standards_resolution(const MethodRecord& method, const double* response, int nc,
                                int channel_count, const std::vector<double>& calibration) {
    const int n = std::clamp(channel_count, 0, kChannels);
    std::vector<double> widths;
    for (int k = 0; k < std::min(nc, std::min(method.component_count, kMaxComponents)); ++k) {
        const ComponentBlock& block = method.component[k];
        const double* row = response + static_cast<size_t>(k) * static_cast<size_t>(n);
        int top = -1;
        for (int r = 0; r < std::clamp(block.roi_count, 0, kComponentRois); ++r) {
            for (int j = std::max(block.roi[r][0], 1); j <= std::min(block.roi[r][1], n - 2); ++j) {
                if (row[j] > 0.0 && (top < 0 || row[j] > row[top])) top = j;
            }
        }
        if (top < 0) continue;
        const int limit = std::max(4, top / 4);
        const double narrower = std::fmin(half_width(row, n, top, -1, limit), half_width(row, n, top, 1, limit));
        if (std::isfinite(narrower) && narrower > 0.0) widths.push_back(2.0 * narrower / std::sqrt(top));
    }
    if (widths.empty()) {
        const Resolution implied = calibration_resolution(calibration, channel_count);
        return implied.fwhm_per_root_channel > 0.0 ? implied : Resolution{kExcessWindowPercent / 100.0, false};
    }
    std::sort(widths.begin(), widths.end());
    const size_t m = widths.size();
    const double median = m % 2 == 1 ? widths[m / 2] : (widths[m / 2 - 1] + widths[m / 2]) / 2.0;
    return Resolution{median, true};
}

const PeakFilter::Kernel& PeakFilter::kernel(int step) {
    auto [found, fresh] = kernels_.try_emplace(step);
    Kernel& kernel = found->second;
    if (fresh) {
        const double sigma = std::exp(step * kWidthStep);
        const int w = std::max(2, static_cast<int>(std::ceil(3.0 * sigma)));
        // The peak's share of each channel, its edges at half channels.
        std::vector<double> shape(static_cast<size_t>(2 * w + 1));
        double lower = normal_cdf(-(w + 0.5) / sigma);
        double mean = 0.0;
        for (int i = 0; i <= 2 * w; ++i) {
            const double upper = normal_cdf((i - w + 0.5) / sigma);
            shape[i] = upper - lower;
            lower = upper;
        }
        // Exactly symmetric, as the sums rely on it.
        for (int i = 0; i < w; ++i) shape[2 * w - i] = shape[i];
        for (const double share : shape) mean += share;
        mean /= static_cast<double>(shape.size());
        kernel.weight.resize(shape.size());
        kernel.weight_squared.resize(shape.size());
        for (size_t i = 0; i < shape.size(); ++i) {
            kernel.weight[i] = shape[i] - mean;
            kernel.weight_squared[i] = kernel.weight[i] * kernel.weight[i];
            kernel.response += kernel.weight[i] * shape[i];
        }
        int reach = -1;
        while (reach < w && kernel.weight[w + reach + 1] > 0.0) ++reach;
        bool falls = reach >= 0;
        for (int i = reach + 1; i <= w; ++i) falls = falls && !(kernel.weight[w + i] > 0.0);
        kernel.positive_reach = falls ? reach : -1;
        for (int t = 0; t < Kernel::kRings; ++t) {
            const int from = t == 0 ? 0 : kernel.ring_reach[t - 1] + 1;
            const int to = std::max(from - 1, (w * (t + 1)) / Kernel::kRings);
            double least = from <= to ? INFINITY : 0.0;
            for (int d = from; d <= to; ++d) least = std::min(least, kernel.weight_squared[w + d]);
            kernel.ring_reach[t] = to;
            kernel.ring_least[t] = least;
        }
    }
    return kernel;
}

Resolution calibration_resolution(const std::vector<double>& calibration, int channel_count) {
    const int n = std::clamp(channel_count, 0, kChannels);
    if (calibration.size() < 2 || n < 3) return {};
    constexpr double kReference = 662.0;  // keV
    double low = 1.0, high = n - 1.0;
    double c = n / 2.0;
    if (energy_at(calibration, low) < kReference && energy_at(calibration, high) > kReference) {
        for (int i = 0; i < 60; ++i) {
            const double middle = (low + high) / 2.0;
            (energy_at(calibration, middle) < kReference ? low : high) = middle;
        }
        c = (low + high) / 2.0;
    }
    const double energy = energy_at(calibration, c);
    const double slope = energy_at(calibration, c + 0.5) - energy_at(calibration, c - 0.5);
    const double fwhm = kNominalResolution662 * std::sqrt(kReference * energy) / slope;
    if (!(energy > 0.0) || !(slope > 0.0) || !std::isfinite(fwhm)) return {};
    return Resolution{fwhm / std::sqrt(c), false};
}

FilteredPeak PeakFilter::operator()(const std::vector<double>& difference, const std::vector<double>& variance,
                                    int centre, double fwhm) {
    const Kernel& k = kernel(width_step(fwhm));
    const int n = static_cast<int>(std::min(difference.size(), variance.size()));
    const int w = static_cast<int>(k.weight.size() / 2);
    if (centre - w < 0 || centre + w >= n || !(k.response > 0.0)) return {};
    for (int j = centre - w; j <= centre + w; ++j) {
        if (!valued_at(difference, variance, j)) return {};
    }
    FilteredPeak peak;
    peak.valid = true;
    peak.net = symmetric_sum(k.weight, &difference[centre - w]) / k.response;
    peak.sd = std::sqrt(symmetric_sum(k.weight_squared, &variance[centre - w])) / k.response;
    return peak;
}

double PeakFilter::strongest_net(const std::vector<double>& difference, const std::vector<double>& variance,
                                 int from, int to, double fwhm) {
    const Kernel& k = kernel(width_step(fwhm));
    const int n = static_cast<int>(std::min(difference.size(), variance.size()));
    const int w = static_cast<int>(k.weight.size() / 2);
    double strongest = 0.0;
    from = std::max(from, w);
    to = std::min(to, n - 1 - w);
    if (from > to || !(k.response > 0.0)) return strongest;
    const auto unusable = [&](int j) { return !valued_at(difference, variance, j); };
    // Unusable values in the window of the centre, kept as it slides.
    int in_window = 0;
    for (int j = from - w; j < from + w; ++j) in_window += unusable(j);
    for (int c = from; c <= to; ++c) {
        in_window += unusable(c + w);
        if (c > from) in_window -= unusable(c - w - 1);
        if (in_window == 0) strongest = std::max(strongest, symmetric_sum(k.weight, &difference[c - w]) / k.response);
    }
    return strongest;
}

std::vector<FilteredPeak> PeakFilter::scan(const std::vector<double>& difference, const std::vector<double>& variance,
                                           const Resolution& resolution, bool positive_only,
                                           const std::vector<bool>* wanted, double least_significance) {
    const int n = static_cast<int>(std::min(difference.size(), variance.size()));
    if (steps_resolution_ != resolution.fwhm_per_root_channel || static_cast<int>(steps_.size()) != n) {
        steps_.resize(static_cast<size_t>(n));
        for (int c = 0; c < n; ++c) steps_[c] = width_step(resolution_fwhm(resolution, c));
        steps_resolution_ = resolution.fwhm_per_root_channel;
        blocks_.clear();
        for (int start = 0; start < n; start += kBlock) {
            Block block{n, -1, n, -1, -1, n};
            for (int c = start; c < std::min(n, start + kBlock); ++c) {
                const Kernel& k = kernel(steps_[c]);
                const int w = static_cast<int>(k.weight.size() / 2);
                // A kernel whose weights do not fall so counts as positive throughout.
                const int r = k.positive_reach < 0 ? w : k.positive_reach;
                block.low = std::min(block.low, c - w);
                block.high = std::max(block.high, c + w);
                block.positive_low = std::min(block.positive_low, c - r);
                block.positive_high = std::max(block.positive_high, c + r);
                block.core_low = std::max(block.core_low, k.positive_reach < 0 ? n : c - r);
                block.core_high = std::min(block.core_high, k.positive_reach < 0 ? -1 : c + r);
            }
            if (block.core_low > block.core_high) {
                block.core_low = block.high + 1;
                block.core_high = block.high;
            }
            blocks_.push_back(block);
        }
    }
    // Running sums to each channel: of the channels without a value (a
    // window holds none where the sums at its ends agree) and, where a
    // threshold is given, what bounds the significance: by Cauchy-Schwarz,
    // sum w d <= sqrt(sum w^2 v) sqrt(sum d^2 / v) over the channels where
    // w d > 0, so the significance is at most the root of that sum. A
    // variance too small to divide by safely bounds nothing.
    const bool bounded = std::isfinite(least_significance) && least_significance > 0.0;
    double enough = INFINITY;
    double slack = 0.0;
    double variance_slack = 0.0;
    const size_t sums = static_cast<size_t>(n) + 1;
    gaps_.resize(sums);
    gaps_[0] = 0;
    if (bounded) {
        unbounded_.resize(sums);
        above_.resize(sums);
        below_.resize(sums);
        variance_sum_.resize(sums);
        unbounded_[0] = 0;
        above_[0] = below_[0] = variance_sum_[0] = 0.0;
    }
    for (int j = 0; j < n; ++j) {
        const bool valued = valued_at(difference, variance, j);
        gaps_[j + 1] = gaps_[j] + (valued ? 0 : 1);
        if (bounded) {
            constexpr double kSmallestVariance = 1e-100;
            const bool usable = valued && variance[j] >= kSmallestVariance;
            const double share = usable ? difference[j] * difference[j] / variance[j] : 0.0;
            unbounded_[j + 1] = unbounded_[j] + (usable ? 0 : 1);
            above_[j + 1] = above_[j] + (difference[j] > 0.0 ? share : 0.0);
            below_[j + 1] = below_[j] + (difference[j] > 0.0 ? 0.0 : share);
            variance_sum_[j + 1] = variance_sum_[j] + (usable ? variance[j] : 0.0);
        }
    }
    if (bounded) {
        // Each running sum is off by at most n eps times the total, a window
        // by twice that per sum; the relative margins cover the rounding of
        // the filter itself, which is of the order of the window's length
        // times eps.
        const double spread = 16.0 * n * std::numeric_limits<double>::epsilon();
        slack = spread * (above_[n] + below_[n]);
        variance_slack = spread * variance_sum_[n];
        enough = least_significance * least_significance * (1.0 - 1e-9);
    }
    std::vector<FilteredPeak> filtered(static_cast<size_t>(n));
    const Kernel* k = nullptr;
    int step = 0;
    for (int c = 0; c < n; ++c) {
        if (bounded && c % kBlock == 0) {
            // A block of channels whose windows together hold too little to
            // reach the threshold is passed over at once: the excess where
            // any of their weights is positive, the deficit where any is not.
            const Block& b = blocks_[c / kBlock];
            const int end = std::min(n, c + kBlock);
            bool any_wanted = false;
            for (int j = c; j < end && wanted != nullptr; ++j) {
                any_wanted = any_wanted || (j < static_cast<int>(wanted->size()) && (*wanted)[j]);
            }
            if (!any_wanted && b.low >= 0 && b.high < n && unbounded_[b.high + 1] == unbounded_[b.low]) {
                const double possible = (above_[b.positive_high + 1] - above_[b.positive_low]) +
                                        (below_[b.core_low] - below_[b.low]) +
                                        (below_[b.high + 1] - below_[b.core_high + 1]);
                if (possible * (1.0 + 1e-9) + slack < enough) {
                    c = end - 1;
                    continue;
                }
            }
        }
        if (k == nullptr || steps_[c] != step) {
            step = steps_[c];
            k = &kernel(step);
        }
        const int w = static_cast<int>(k->weight.size() / 2);
        if (c - w < 0 || c + w >= n || !(k->response > 0.0) || gaps_[c + w + 1] != gaps_[c - w]) continue;
        const bool is_wanted = wanted != nullptr && c < static_cast<int>(wanted->size()) && (*wanted)[c];
        const bool settle = bounded && !is_wanted && unbounded_[c + w + 1] == unbounded_[c - w];
        if (settle) {
            const int r = k->positive_reach;
            const double possible =
                r < 0 ? (above_[c + w + 1] - above_[c - w]) + (below_[c + w + 1] - below_[c - w])
                      : (above_[c + r + 1] - above_[c - r]) + (below_[c - r] - below_[c - w]) +
                            (below_[c + w + 1] - below_[c + r + 1]);
            if (possible * (1.0 + 1e-9) + slack < enough) continue;
        }
        FilteredPeak& peak = filtered[c];
        peak.valid = true;
        const double sum = symmetric_sum(k->weight, &difference[c - w]);
        peak.net = sum / k->response;
        if (positive_only && !(peak.net > 0.0) && !is_wanted) continue;
        if (settle) {
            // The variance sum is at least each ring's least squared weight
            // times the ring's variance: where even that leaves the net
            // counts short of the threshold, their deviation is not needed.
            const double* sums = &variance_sum_[c];
            const int centre = k->ring_reach[0];
            double least = k->ring_least[0] * std::max(0.0, sums[centre + 1] - sums[-centre] - variance_slack);
            for (int t = 1; t < Kernel::kRings; ++t) {
                const int inner = k->ring_reach[t - 1];
                const int outer = k->ring_reach[t];
                const double ring = (sums[outer + 1] - sums[inner + 1]) + (sums[-inner] - sums[-outer]);
                least += k->ring_least[t] * std::max(0.0, ring - variance_slack);
            }
            if (sum < least_significance * std::sqrt(least) * (1.0 - 1e-9)) {
                peak = FilteredPeak{};
                continue;
            }
        }
        peak.sd = std::sqrt(symmetric_sum(k->weight_squared, &variance[c - w])) / k->response;
    }
    return filtered;
}
