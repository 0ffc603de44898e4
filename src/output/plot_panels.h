// The panels of a picture, each drawn into the document in turn: the title,
// the ROI bands, the count and channel axes, the spectra, the ROI labels, the
// residuals, the frames, the curve of the gain scan and the legend. Internal
// to the pictures; plot_svg draws them in that order, later ones over earlier.
//
// In: a finished row, read only; the count axis of its spectra and the
// channels shown.
// Out: SVG elements appended to the document (groups with the ids plot.h
// names); what the legend needs to know from the spectra.
// Failure: none; any bytes in names and entries are shown safely.
#pragma once

#include <string>
#include <string_view>

#include "output/plot_scales.h"
#include "output/row.h"

namespace plot {

constexpr const char* kFont = "Liberation Sans, Arial, Helvetica, sans-serif";
constexpr const char* kInterferenceColour = "#D55E00";
constexpr const char* kUnknownColour = "#c00000";

// An SVG document being written.
class Svg {
public:
    std::string text;
    Svg& operator<<(std::string_view piece) {
        text += piece;
        return *this;
    }
};

// Channels of the measured spectrum drawn on the floor line.
struct FloorCounts {
    int zero = 0;
    int negative = 0;
};

// The entry, the row's values and its badges, at the top.
void draw_title(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// Every component's ROIs as bands in its colour over both panels.
void draw_roi_bands(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// Decades with grid lines, minor ticks, the floor line and the axis title.
void draw_count_axis(Svg& svg, const CountAxis& axis);
// Channel ticks and labels, the energy axis where there is one, the axis titles.
void draw_channel_axis(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// The measured and expected curves and the marks of counts of zero and below.
FloorCounts draw_spectra(Svg& svg, const FinishedRow& data, const CountAxis& axis,
                         const ChannelRange& range);
// The components' names at the top of their ROI bands.
void draw_roi_labels(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// The residual panel: bars in the ROI channels, its axis, clipped marks.
void draw_residuals(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// The frames of both panels.
void draw_frames(Svg& svg);
// The fit figure over the trial gains, where the row has the fit's detail.
void draw_scan_curve(Svg& svg, const FinishedRow& data);
// Keys of the curves, the floor counts, and each component's values.
void draw_legend(Svg& svg, const FinishedRow& data, FloorCounts floor);
// The ROIs of interfered components outlined (id "interference").
void draw_interference(Svg& svg, const FinishedRow& data, const ChannelRange& range);
// Each unknown peak marked over the measured spectrum with its energy, or
// its channel without an energy calibration (id "unknown-peaks").
void draw_unknown_peaks(Svg& svg, const FinishedRow& data, const CountAxis& axis, const ChannelRange& range);

}  // namespace plot
