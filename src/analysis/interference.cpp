#include "analysis/interference.h"

#include <algorithm>

#include "analysis/limits.h"
#include "core/records.h"

namespace {

// Points a ROI needs for a straight line to be taken out of it.
constexpr int kLinePoints = 4;

}  // namespace

double fisher_combination(double p1, double p2) {
    const double product = p1 * p2;
    if (!(product > 0.0)) return product == 0.0 ? 0.0 : NAN;
    return std::min(1.0, product * (1.0 - std::log(product)));
}

RoiInterference roi_interference(const std::vector<double>& difference, const std::vector<double>& variance,
                                 const int32_t (*rois)[2], int roi_count, const Resolution& resolution,
                                 double threshold, const std::vector<FilteredPeak>* filtered) {
    RoiInterference result;
    const int n = static_cast<int>(std::min(difference.size(), variance.size()));
    // The ROIs as ranges of channels, merged where they overlap or touch, so
    // that each channel counts once and a run of channels spans them.
    std::vector<std::pair<int, int>> ranges;
    for (int r = 0; r < roi_count; ++r) {
        const int low = std::max(rois[r][0], 0);
        const int high = std::min(rois[r][1], n - 1);
        if (low <= high) ranges.emplace_back(low, high);
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<int, int>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second + 1) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    std::vector<FilteredPeak> local;
    if (filtered == nullptr) {
        PeakFilter filter;
        local = filter.scan(difference, variance, resolution, false);
        filtered = &local;
    }
    const auto usable = [&](int j) { return std::isfinite(difference[j]) && variance[j] > 0.0; };
    double chi_square = 0.0;
    int degrees = 0;
    double widths = 0.0;
    double largest = 0.0;
    for (const auto& [low, high] : merged) {
        for (int j = low; j <= high; ++j) {
            if (!usable(j)) continue;
            // A run of usable channels: its chi-square about the weighted
            // straight line through it.
            double s = 0.0, sx = 0.0, sxx = 0.0, sy = 0.0, sxy = 0.0, syy = 0.0;
            int points = 0;
            for (; j <= high && usable(j); ++j, ++points) {
                const double w = 1.0 / variance[j];
                const double x = points;
                const double y = difference[j];
                s += w, sx += w * x, sxx += w * x * x, sy += w * y, sxy += w * x * y, syy += w * y * y;
                const double fwhm = resolution_fwhm(resolution, j);
                widths += 1.0 / fwhm;
                const FilteredPeak& peak = (*filtered)[j];
                if (peak.valid) largest = std::max(largest, std::fabs(peak.significance()));
            }
            const double determinant = s * sxx - sx * sx;
            if (points >= kLinePoints && determinant > 0.0) {
                chi_square += std::max(0.0, syy - (sy * sy * sxx - 2.0 * sx * sy * sxy + s * sxy * sxy) / determinant);
                degrees += points - 2;
            } else {
                chi_square += syy;
                degrees += points;
            }
        }
    }
    if (degrees < 1) return result;
    result.chi_square = chi_square;
    result.degrees_of_freedom = degrees;
    const double spread = chi_square_upper_tail(chi_square, degrees);
    // Both signs, at about one independent position per peak width.
    const double structure = std::min(1.0, 2.0 * std::max(1.0, widths) * normal_upper_tail(largest));
    result.p_value = fisher_combination(spread, structure);
    result.interfered = result.p_value < threshold;
    return result;
}
