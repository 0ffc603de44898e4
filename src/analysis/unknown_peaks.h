// The search for nuclides the method lacks: peaks of the detector's shape in
// the difference between the measured spectrum and the fit's model, anywhere
// in the spectrum. A smooth difference of continuum shape (another geometry,
// another scatter) does not count, nor does a small excess on a line the
// model holds itself: that is the component's interference test's.
//
// In: the difference measured - model per full-scale channel (NaN where the
// measured spectrum has no value), the variance it is judged against per
// channel (counts squared; judged_variance()), the components' share of the
// model per channel (counts), the detector's resolution and the significance
// a peak needs.
// Out: the peaks found, in channel order.
// Failure: none; channels whose filter window leaves the valid channels are
// not searched.
#pragma once

#include <vector>

#include "analysis/peak_shape.h"

// Standard deviations of net counts a peak needs to count (default).
inline constexpr double kUnknownSigma = 5.0;

// An excess within a FWHM of a line of the model's own, up to this share of
// the line's counts, is left to that component's interference test: so close
// the fit takes it for the line in part, or placed the line a little off.
inline constexpr double kOwnLineShare = 1.0;

struct UnknownPeak {
    int channel = 0;            // full-scale channel of the gain-corrected spectrum
    double net_counts = 0.0;    // of a peak of the detector's shape there
    double significance = 0.0;  // net counts over their standard deviation
    double fwhm = 0.0;          // the detector's FWHM there, channels
};

// The channels where the filtered net counts reach `sigma` standard
// deviations and are the largest within half a FWHM on either side (the
// lower channel of equals), less those on a line of the model's own (the
// components' share, filtered alike, within a FWHM holds a peak of at least
// the excess / kOwnLineShare). `filter`, when given, keeps its kernels for
// the next search; `filtered`, when given, is its scan of the difference
// (PeakFilter::scan; channels it left without a value because they cannot
// reach `sigma` change nothing), else the search makes it.
std::vector<UnknownPeak> find_unknown_peaks(const std::vector<double>& difference,
                                            const std::vector<double>& variance,
                                            const std::vector<double>& lines, const Resolution& resolution,
                                            double sigma = kUnknownSigma, PeakFilter* filter = nullptr,
                                            const std::vector<FilteredPeak>* filtered = nullptr);
