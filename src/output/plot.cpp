// Pictures of evaluations as hand-written SVG: the file name and the
// document, drawn panel by panel. Everything here is text building: no state
// outlives a call.
#include "output/plot.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "output/plot_panels.h"
#include "output/plot_scales.h"
#include "output/plot_text.h"

std::string plot_file_name(int row, const std::string& entry) {
    constexpr size_t kEntryLimit = 80;
    char number[16];
    std::snprintf(number, sizeof number, "%04d", std::max(row, 0));
    std::string name = number;
    name += '_';
    for (size_t i = 0; i < entry.size() && i < kEntryLimit; ++i) {
        const char ch = entry[i];
        const bool safe = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                          (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
        name += safe ? ch : '_';
    }
    return name + ".svg";
}

std::string plot_svg(const FinishedRow& data) {
    using namespace plot;
    Svg svg;
    svg.text.reserve(64 * 1024);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"640\" "
           "viewBox=\"0 0 1000 640\" font-family=\""
        << kFont << "\">\n"
        << "<title>Row " << std::to_string(data.row) << ": "
        << escape(shorten(decode(data.entry), 500)) << "</title>\n"
        << "<rect width=\"" << px(kWidth) << "\" height=\"" << px(kHeight)
        << "\" fill=\"#fff\"/>\n";
    const CountAxis axis = count_axis(data);
    const ChannelRange range = channel_range(data);
    draw_title(svg, data, range);
    draw_roi_bands(svg, data, range);
    draw_count_axis(svg, axis);
    draw_channel_axis(svg, data, range);
    const FloorCounts floor = draw_spectra(svg, data, axis, range);
    draw_interference(svg, data, range);
    draw_roi_labels(svg, data, range);
    draw_unknown_peaks(svg, data, axis, range);
    draw_residuals(svg, data, range);
    draw_frames(svg);
    draw_scan_curve(svg, data);
    draw_legend(svg, data, floor);
    svg << "</svg>\n";
    return std::move(svg.text);
}
