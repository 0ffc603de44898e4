// Whether a component's ROIs hold something its line does not explain: a
// nuclide the method lacks whose line falls into them (the fit then takes
// its counts for the component's) or a line of its own whose shape differs.
//
// In: the difference measured - model per full-scale channel (NaN where the
// measured spectrum has no value), the variance it is judged against per
// channel (counts squared; judged_variance()), a component's ROIs (full-scale channels, both
// bounds inclusive), the detector's resolution and the probability below
// which the ROIs count as interfered.
// Out: the ROI points' chi-square, its degrees of freedom, one probability
// from that chi-square and the most significant peak-shaped structure in the
// ROIs together, and the verdict.
// Failure: none; ROIs without a degree of freedom give NaN and no verdict.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/peak_shape.h"

// Below this probability a component's ROIs count as interfered (default).
inline constexpr double kInterferenceProbability = 0.001;

struct RoiInterference {
    // Sum of difference^2 / variance over the ROI points about a weighted
    // straight line through each run of them (of 4 points or more): a
    // continuum the model sets a little off is the fit's figure's concern.
    double chi_square = NAN;
    int degrees_of_freedom = 0;  // those points less two for each line
    // Fisher's combination of the chi-square's upper tail and the probability
    // of a peak-shaped structure (a peak or a dip of the detector's width) as
    // large as the largest in the ROIs, the latter corrected for the number
    // of peak widths the ROIs span; NaN without a degree of freedom.
    double p_value = NAN;
    bool interfered = false;     // p_value below the threshold
};

// `filtered`, when given, is the peak filter at every channel of the
// difference for the resolution (PeakFilter::scan without positive_only);
// else it is worked out here.
RoiInterference roi_interference(const std::vector<double>& difference, const std::vector<double>& variance,
                                 const int32_t (*rois)[2], int roi_count, const Resolution& resolution,
                                 double threshold = kInterferenceProbability,
                                 const std::vector<FilteredPeak>* filtered = nullptr);

// Fisher's combination of two independent probabilities: the probability
// that -2 ln(p1 p2), chi-square with 4 degrees of freedom, is as large.
double fisher_combination(double p1, double p2);
