#include "analysis/unknown_peaks.h"

#include <algorithm>
#include <cmath>

std::vector<UnknownPeak> find_unknown_peaks(const std::vector<double>& difference,
                                            const std::vector<double>& variance,
                                            const std::vector<double>& lines, const Resolution& resolution,
                                            double sigma, PeakFilter* kept,
                                            const std::vector<FilteredPeak>* given) {
    const int n = static_cast<int>(std::min({difference.size(), variance.size(), lines.size()}));
    PeakFilter local;
    PeakFilter& filter = kept != nullptr ? *kept : local;
    std::vector<FilteredPeak> made;
    if (given == nullptr) made = filter.scan(difference, variance, resolution, true, nullptr, sigma);
    const std::vector<FilteredPeak>& filtered = given != nullptr ? *given : made;
    // Each channel's significance, worked out once: a candidate compares
    // itself with every channel within half a FWHM.
    std::vector<double> z(static_cast<size_t>(n), -INFINITY);
    for (int c = 0; c < std::min(n, static_cast<int>(filtered.size())); ++c) {
        if (filtered[c].valid) z[c] = filtered[c].significance();
    }
    std::vector<UnknownPeak> peaks;
    for (int c = 0; c < n; ++c) {
        const double here = z[c];
        if (!(here >= sigma)) continue;
        const double fwhm = resolution_fwhm(resolution, c);
        const int reach = std::max(1, static_cast<int>(fwhm / 2.0));
        bool highest = true;
        for (int j = std::max(0, c - reach); j <= std::min(n - 1, c + reach) && highest; ++j) {
            highest = j < c ? z[j] < here : j == c || z[j] <= here;
        }
        if (!highest) continue;
        // The strongest line of the model's own within a FWHM: an excess
        // beside a line the fit placed a little off is that line's too.
        const double own = filter.strongest_net(lines, variance, std::max(0, c - static_cast<int>(fwhm)),
                                                std::min(n - 1, c + static_cast<int>(fwhm)), fwhm);
        if (filtered[c].net <= kOwnLineShare * own) continue;
        peaks.push_back({c, filtered[c].net, here, fwhm});
    }
    return peaks;
}
