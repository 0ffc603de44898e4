// Scales and ticks of the pictures: where a channel, a count, a residual and
// an energy stand in the 1000 x 640 px view box (plot.h states the mapping
// for readers of the pictures). Internal to the pictures.
//
// In: a finished row's spectra, ROIs and energy calibration, read only.
// Out: positions in px (origin top left), axis ranges, and tick values.
// Failure: none; values that are not numbers map to the floor or are left out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/records.h"
#include "output/row.h"

namespace plot {

// The view box and the frames of the two panels (px).
constexpr double kWidth = 1000.0;
constexpr double kHeight = 640.0;
constexpr double kPlotLeft = 64.0;
constexpr double kPlotRight = 960.0;
constexpr double kPlotTop = 58.0;
constexpr double kLogBottom = 346.0;  // the lowest decade of the count axis
constexpr double kFloorY = 360.0;     // where counts of zero and below are drawn
constexpr double kPlotBottom = 368.0;
constexpr double kResidualTop = 380.0;
constexpr double kResidualBottom = 470.0;
constexpr double kResidualZero = (kResidualTop + kResidualBottom) / 2.0;

// The channels a picture shows, 0 to channels - 1, across the panels' width.
struct ChannelRange {
    int channels = kChannels;

    double width() const { return (kPlotRight - kPlotLeft) / channels; }  // px a channel
    // x of a (fractional) channel's centre, and of its slot's left edge.
    double x(double channel) const { return kPlotLeft + width() * (channel + 0.5); }
    double edge(double channel) const { return kPlotLeft + width() * channel; }
};

// How many channels a picture needs: through the last channel with a count
// other than zero (a number) in the measured or the expected spectrum, or in
// a ROI, rounded up to the next multiple of kRangeStep, at most kChannels;
// all kChannels when there is none, so an empty row keeps the full axis.
constexpr int kRangeStep = 64;
ChannelRange channel_range(const FinishedRow& data);

// The channel labels: every `step` channels from 0, the first of 10, 20, 25,
// 50, 100 that leaves at most eleven labels on the range (100 on the full one).
int channel_step(const ChannelRange& range);

// A ROI (full-scale channels, both inclusive) clamped to the channels into
// *first and *last; false when nothing of it is left (or it is reversed).
bool clamp_roi(std::pair<int32_t, int32_t> roi, int* first, int* last);

// The logarithmic count axis: decade `low` at kLogBottom to `high` at kPlotTop.
struct CountAxis {
    double low = 0.0;   // log10 of counts
    double high = 1.0;  // log10 of counts, above low

    // y of a count: counts under 10^low at kLogBottom, zero, negative and
    // NaN counts on the floor line kFloorY.
    double y(double counts) const;
};

// The count axis for the row's measured and expected spectra (the first
// kChannels values of each), as plot.h states it.
CountAxis count_axis(const FinishedRow& data);

// The label of the decade 10^decade as SVG text content: "0.01" to "1000"
// plainly, others as 10 with a raised exponent.
std::string count_label(int decade);

// (measured - expected) / sqrt(variance) of a channel; without a variance
// (not above 0) that of the expected count alone, at least 1.
double residual(double measured, double expected, double variance);

// The residual axis spans +-range; residuals beyond the widest are clipped.
constexpr std::array<double, 4> kResidualRanges = {5.0, 10.0, 20.0, 50.0};

// The first of kResidualRanges not below `largest` (|residual|), else the widest.
double residual_range(double largest);

// y of a residual on an axis of +-range, clamped to it.
double residual_y(double value, double range);

// A round energy on the energy axis.
struct EnergyTick {
    double channel = 0.0;  // where the calibration reaches it (fractional, full scale)
    double energy = 0.0;   // keV
    std::string label;     // as drawn
};

// The energy axis of a calibration (keV = sum_k c_k channel^k) over the
// channels 0 to channels - 1 of a spectrum corrected by `gain` (which shows
// the file's channel source_channel(c, gain) at c): the multiples of one step that
// lie between the energies at the first and the last of them, in rising
// order. The step is the first of 10, 20, 50, 100, 200, 250, 500, 1000, 2000,
// 5000 keV, then 1, 2 and 5 times each higher power of ten, that leaves at
// most ten steps over the range: at most eleven ticks, 89.6 px apart or more
// on a linear calibration. Labels are whole keV ("1500"), or where one of
// them would take more than 14 characters, all in exponent form with the
// digits that tell them apart ("0", "5e+40", "1.5e+41"). No ticks unless the
// calibration is finite and rises over all those channels, nor where a label
// would need more than five significant digits (a range that is a sliver of
// its offset, far beyond any detector's).
std::vector<EnergyTick> energy_ticks(const std::vector<double>& calibration, int channels, double gain = 1.0);

}  // namespace plot
