// Conversions between the number types of the records that several modules
// make and that must agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

// A real as an int32 count: truncated toward zero; NaN gives 0, values beyond
// the int32 range give the nearest limit.
inline int32_t float_to_count(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// The energy in keV at a (fractional) channel by an energy calibration:
// sum_k calibration[k] channel^k, by Horner's rule; 0 for none.
inline double energy_at(const std::vector<double>& calibration, double channel) {
    double energy = 0.0;
    for (size_t k = calibration.size(); k-- > 0;) energy = energy * channel + calibration[k];
    return energy;
}
