// The records that the analysis's face shows and its internals build on
// alike: lists of channel ranges, the gains a scan tried, what the winning
// fit says of itself, and a component's characteristic limits.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "core/records.h"

// ROI ranges a list can hold: every ROI of six components (10 each) plus ten
// extra ranges, so no method can overflow it.
inline constexpr int kRoiListCapacity = kMaxComponents * kComponentRois + 10;

// A list of channel ranges (first, end), both bounds inclusive for the analysis.
struct RoiList {
    int32_t count;                     // ranges in use; 0 or less means none
    int32_t roi[kRoiListCapacity][2];  // (first channel, end channel)
};

// The lowest and highest gain factor a scan tried (as floats, as the winning
// gain is stored); both NaN when no trial ran.
struct ScanRange {
    float lowest = NAN;
    float highest = NAN;
};

// Below this upper-tail probability a fit is flagged as poor.
inline constexpr double kPoorFitProbability = 0.001;

struct FitStatistics {
    double chi_square = NAN;         // sum of (y - model)^2 / var over the points with weight above 0
    int points = 0;                  // those points
    int degrees_of_freedom = 0;      // points less components (may be 0 or less)
    double chi_square_per_dof = NAN; // NaN without a degree of freedom
    double p_value = NAN;            // upper tail of chi-square; NaN without a degree of freedom
    bool fit_poor = false;           // p_value < kPoorFitProbability
};

// Characteristic limits of one component, in activity (x / V, in the unit of
// the standards' activities, before any standard factor). NaN: none.
struct ComponentLimits {
    double decision_threshold = NAN;  // y*
    double detection_limit = NAN;     // y#
    std::optional<bool> detected;     // activity above y*; none without y*
};
