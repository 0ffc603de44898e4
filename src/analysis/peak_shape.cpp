#include "analysis/peak_shape.h"

#include <algorithm>
#include <cmath>

#include "analysis/checks.h"

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
                                int channel_count) {
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
    if (widths.empty()) return Resolution{kExcessWindowPercent / 100.0, false};
    std::sort(widths.begin(), widths.end());
    const size_t m = widths.size();
    const double median = m % 2 == 1 ? widths[m / 2] : (widths[m / 2 - 1] + widths[m / 2]) / 2.0;
    return Resolution{median, true};
}

FilteredPeak PeakFilter::operator()(const std::vector<double>& difference, const std::vector<double>& variance,
                                    int centre, double fwhm) {
    FilteredPeak peak;
    const int n = static_cast<int>(std::min(difference.size(), variance.size()));
    const int step = static_cast<int>(std::lround(std::log(std::max(fwhm, 1.0) / kFwhmPerSigma) / kWidthStep));
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
            mean += shape[i];
        }
        mean /= static_cast<double>(shape.size());
        kernel.weight.resize(shape.size());
        for (size_t i = 0; i < shape.size(); ++i) {
            kernel.weight[i] = shape[i] - mean;
            kernel.response += kernel.weight[i] * shape[i];
        }
    }
    const int w = static_cast<int>(kernel.weight.size() / 2);
    if (centre - w < 0 || centre + w >= n || !(kernel.response > 0.0)) return peak;
    double sum = 0.0;
    double spread = 0.0;
    for (int i = 0; i <= 2 * w; ++i) {
        const int j = centre - w + i;
        if (!std::isfinite(difference[j]) || !std::isfinite(variance[j])) return peak;
        sum += kernel.weight[i] * difference[j];
        spread += kernel.weight[i] * kernel.weight[i] * variance[j];
    }
    peak.valid = true;
    peak.net = sum / kernel.response;
    peak.sd = std::sqrt(spread) / kernel.response;
    return peak;
}
