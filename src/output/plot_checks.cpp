// The marks of the checks against the fit's model: the ROIs of interfered
// components and the unknown peaks.
#include <algorithm>
#include <cmath>
#include <string>

#include "output/plot_panels.h"
#include "output/plot_text.h"

namespace plot {

void draw_interference(Svg& svg, const FinishedRow& data, const ChannelRange& range) {
    std::string marks;
    for (const RowComponent& component : data.components) {
        if (!component.interfered) continue;
        for (const auto& roi : component.rois) {
            int first = 0, last = 0;
            if (!clamp_roi(roi, &first, &last) || first >= range.channels) continue;
            append(marks, "<rect x=\"", px(range.edge(first)), "\" y=\"", px(kPlotTop + 1), "\" width=\"",
                   px(range.width() * (std::min(last, range.channels - 1) - first + 1)), "\" height=\"",
                   px(kPlotBottom - kPlotTop - 2), "\"><title>", xml(component.name), ": interfered (p ",
                   two_digits(component.roi_p_value), ")</title></rect>\n");
        }
    }
    if (marks.empty()) return;
    svg << "<g id=\"interference\" fill=\"none\" stroke=\"" << kInterferenceColour
        << "\" stroke-width=\"2\" stroke-dasharray=\"6 3\">\n" << marks << "</g>\n";
}

void draw_unknown_peaks(Svg& svg, const FinishedRow& data, const CountAxis& axis, const ChannelRange& range) {
    if (data.unknown_peaks.empty()) return;
    svg << "<g id=\"unknown-peaks\" font-size=\"10\" fill=\"" << kUnknownColour
        << "\" text-anchor=\"middle\" stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\">\n";
    for (const RowUnknownPeak& peak : data.unknown_peaks) {
        if (peak.channel < 0 || peak.channel >= range.channels) continue;
        const double x = range.x(peak.channel);
        const double counts =
            static_cast<size_t>(peak.channel) < data.measured.size() ? data.measured[peak.channel] : NAN;
        // Above the peak's top, kept inside the panel.
        const double tip = std::clamp(std::isfinite(counts) && counts > 0.0 ? axis.y(counts) - 6.0 : kLogBottom,
                                      kPlotTop + 26.0, kLogBottom);
        const std::string label = std::isfinite(peak.energy_kev) ? fixed(peak.energy_kev, 0) + " keV"
                                                                   : "ch " + std::to_string(peak.channel);
        svg << "<path d=\"M" << px(x) << " " << px(tip) << "l-4 -7h8z\"><title>unknown peak: "
            << label << ", " << fixed(peak.net_counts, 0) << " net counts, " << fixed(peak.significance, 1)
            << " standard deviations</title></path><text x=\"" << px(x) << "\" y=\"" << px(tip - 10)
            << "\">" << label << "</text>\n";
    }
    svg << "</g>\n";
}

}  // namespace plot
