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

// The gain factor below which a spectrum is taken as it is.
inline constexpr double kSmallestGain = 0.001;

// The file's (fractional, from 0) channel that a spectrum corrected by `gain`
// shows at `channel`: position p (from 1) of the correction holds the file's
// position p / gain; below kSmallestGain (or NaN) the correction copies.
inline double source_channel(double channel, double gain) {
    return gain >= kSmallestGain ? (channel + 1.0) / gain - 1.0 : channel;
}

// The energy in keV at a (fractional) channel by an energy calibration:
// sum_k calibration[k] channel^k, by Horner's rule; 0 for none.
inline double energy_at(const std::vector<double>& calibration, double channel) {
    double energy = 0.0;
    for (size_t k = calibration.size(); k-- > 0;) energy = energy * channel + calibration[k];
    return energy;
}
