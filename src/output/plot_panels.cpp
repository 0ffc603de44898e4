// The panels of a picture.
#include "output/plot_panels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "output/plot_text.h"

namespace plot {

namespace {

// Rows under the residual panel (px).
constexpr double kTickLabelY = 485.0;
constexpr double kLegendY = 526.0;
constexpr double kLegendRows[2] = {552.0, 593.0};
constexpr double kLegendColumnWidth = 300.0;

// Okabe-Ito colours: told apart with the common colour-vision deficiencies.
constexpr std::array<const char*, 6> kPalette = {"#0072B2", "#E69F00", "#009E73",
                                                 "#CC79A7", "#56B4E9", "#D55E00"};
constexpr const char* kMeasuredColour = "#1a1a1a";
constexpr const char* kExpectedColour = "#D81B60";
constexpr const char* kZeroColour = "#6a3d9a";
constexpr const char* kNegativeColour = "#c00000";
constexpr const char* kAlarmColour = "#c00000";

const char* component_colour(size_t index) { return kPalette[index % kPalette.size()]; }

// A mark of the title, right-aligned at the top.
struct Badge {
    std::string label;
    const char* fill;
    const char* ink;
};

}  // namespace

void draw_title(Svg& svg, const FinishedRow& data, const ChannelRange& range) {
    svg << "<g id=\"title\">\n";
    const bool over_limit = over_a_limit(data);
    std::vector<Badge> badges;
    if (data.analysis_failed) badges.push_back({"ANALYSIS FAILED", "#000", "#fff"});
    if (data.unknown_found) badges.push_back({"UNKNOWN NUCLIDE", kAlarmColour, "#fff"});
    if (over_limit) badges.push_back({"OVER LIMIT", "#E69F00", "#000"});
    std::string interfered_names;
    for (const RowComponent& c : data.components) {
        if (c.interfered) append(interfered_names, interfered_names.empty() ? " " : ", ", xml(c.name));
    }
    if (!interfered_names.empty()) badges.push_back({"INTERFERENCE" + interfered_names, kInterferenceColour, "#fff"});
    if (data.fit && data.fit->fit_poor) badges.push_back({"POOR FIT", "#E69F00", "#000"});

    constexpr double kBadgeFont = 12.0;
    double right = kWidth - 16.0;
    for (auto it = badges.rbegin(); it != badges.rend(); ++it) {
        const double w = text_width(decode(it->label), kBadgeFont, true) + 14.0;
        const double left = right - w;
        svg << "<rect x=\"" << px(left) << "\" y=\"9\" width=\"" << px(w)
            << "\" height=\"21\" rx=\"3\" fill=\"" << it->fill << "\"/>"
            << "<text x=\"" << px(left + w / 2)
            << "\" y=\"24\" font-size=\"12\" font-weight=\"bold\" "
            << "text-anchor=\"middle\" fill=\"" << it->ink << "\">" << it->label << "</text>\n";
        right = left - 8.0;
    }

    // Spaces between words stand between the runs of a line, never at a run's
    // edge: some renderers drop those, joining "Row 11" to the entry.
    const std::string row = "Row " + std::to_string(data.row);
    const double prefix_width = text_width(decode(row + " "), 17.0, false);
    const double room = right - 8.0 - 16.0 - prefix_width;
    const std::u32string entry = shorten_to_width(decode(data.entry), std::max(room, 40.0), 17.0, true);
    svg << "<text x=\"16\" y=\"26\" font-size=\"17\"><tspan fill=\"#555\">" << row
        << "</tspan> <tspan font-weight=\"bold\">" << escape(entry) << "</tspan></text>\n";

    std::string started;
    if (!data.measurement_start.empty()) {
        // "2014-01-12T14:12:28Z" as "2014-01-12 14:12:28 UTC"; a file's local
        // time without a zone, as it states it.
        started = data.measurement_start;
        std::replace(started.begin(), started.end(), 'T', ' ');
        if (started.back() == 'Z') started.replace(started.size() - 1, 1, " UTC");
        started = "started " + started + " \u00b7 ";
    }
    const std::string before = started + "live time " + std::to_string(data.live_time) +
                               " s \u00b7 dead time " + fixed(data.dead_time_percent, 2) +
                               " % \u00b7 ";
    const std::string gain =
        "gain " + fixed(data.gain, 4) + (data.gain_at_scan_edge ? " (AT SCAN EDGE)" : "");
    std::string after = " \u00b7 qfit " + fixed(data.qfit, 2) + " \u00b7 ";
    if (data.fit) {
        const RowFit& fit = *data.fit;
        append(after, "\u03c7\u00b2/dof ", fixed(fit.chi_square_per_dof, 2), " (",
               std::to_string(fit.degrees_of_freedom), " dof, p ",
               std::isnan(fit.p_value) ? std::string("\u2014") : two_digits(fit.p_value), ") \u00b7 ");
    }
    after += data.dose_rate ? "dose rate " + fixed(*data.dose_rate, 2) : "no dose calibration";
    if (data.dose_rate && !data.dose_unit.empty()) append(after, " ", xml(data.dose_unit));
    if (data.weight != 1.0f) append(after, " \u00b7 weight ", fixed(data.weight, 3));
    // A picture of fewer channels says so: the rest is empty, not missing.
    if (range.channels < kChannels) {
        append(after, " \u00b7 channels 0\u2013", std::to_string(range.channels - 1), " of ",
               std::to_string(kChannels));
    }
    // Extreme values may make the line long: the font gives way rather than the margin.
    const double width = text_width(decode(before + after), 13.0, false) +
                         text_width(decode(gain), 13.0, data.gain_at_scan_edge);
    const double size = std::max(7.0, std::min(13.0, 13.0 * (kWidth - 32.0) / width));
    svg << "<text x=\"16\" y=\"47\" font-size=\"" << px(size) << "\" fill=\"#333\">" << before;
    if (data.gain_at_scan_edge) {
        svg << "<tspan fill=\"" << kAlarmColour << "\" font-weight=\"bold\">" << gain << "</tspan>";
    } else {
        svg << gain;
    }
    svg << after << "</text>\n</g>\n";
}

void draw_roi_bands(Svg& svg, const FinishedRow& data, const ChannelRange& range) {
    svg << "<g id=\"rois\">\n";
    for (size_t i = 0; i < data.components.size(); ++i) {
        const auto& component = data.components[i];
        const std::string name = xml(component.name);
        for (const auto& roi : component.rois) {
            int first = 0, last = 0;
            if (!clamp_roi(roi, &first, &last)) continue;
            const std::string x = px(range.edge(first));
            const std::string w = px(range.width() * (last - first + 1));
            svg << "<rect class=\"roi\" x=\"" << x << "\" y=\"" << px(kPlotTop) << "\" width=\""
                << w << "\" height=\"" << px(kPlotBottom - kPlotTop) << "\" fill=\""
                << component_colour(i) << "\" fill-opacity=\"0.2\"><title>" << name << ": channels "
                << std::to_string(first) << "\u2013" << std::to_string(last) << "</title></rect>"
                << "<rect x=\"" << x << "\" y=\"" << px(kResidualTop) << "\" width=\"" << w
                << "\" height=\"" << px(kResidualBottom - kResidualTop) << "\" fill=\""
                << component_colour(i) << "\" fill-opacity=\"0.12\"/>\n";
        }
    }
    svg << "</g>\n";
}

// Names of the components at the top of their ROI bands, written upwards;
// labels that would touch are moved down below each other.
void draw_roi_labels(Svg& svg, const FinishedRow& data, const ChannelRange& range) {
    struct Placed {
        double x, top, bottom;
    };
    constexpr double kLabelFont = 10.0;
    std::vector<Placed> placed;
    svg << "<g id=\"roi-labels\" font-size=\"10\" stroke=\"#fff\" stroke-width=\"3\" "
           "paint-order=\"stroke\" stroke-linejoin=\"round\">\n";
    struct Label {
        double x;
        size_t component;
    };
    std::vector<Label> labels;
    for (size_t i = 0; i < data.components.size(); ++i) {
        for (const auto& roi : data.components[i].rois) {
            int first = 0, last = 0;
            if (clamp_roi(roi, &first, &last)) {
                labels.push_back({(range.edge(first) + range.edge(last + 1)) / 2, i});
            }
        }
    }
    std::stable_sort(labels.begin(), labels.end(),
                     [](const Label& a, const Label& b) { return a.x < b.x; });
    for (const auto& label : labels) {
        const std::u32string name = shorten(decode(data.components[label.component].name), 16);
        const double length = text_width(name, kLabelFont, true);
        double top = kPlotTop + 4.0;
        bool moved = true;
        while (moved) {
            moved = false;
            for (const auto& other : placed) {
                if (std::abs(other.x - label.x) < 12.0 && top < other.bottom + 4.0 &&
                    other.top < top + length + 4.0) {
                    top = other.bottom + 4.0;
                    moved = true;
                }
            }
        }
        // Too crowded: a label further down would sit on the spectrum.
        if (top + length > kPlotTop + (kLogBottom - kPlotTop) * 0.6) continue;
        placed.push_back({label.x, top, top + length});
        const double baseline = label.x + 3.5;  // glyphs of upright-rotated text sit left of it
        svg << "<text transform=\"translate(" << px(baseline) << " " << px(top)
            << ") rotate(-90)\" text-anchor=\"end\" font-weight=\"bold\" fill=\""
            << component_colour(label.component) << "\">" << escape(name) << "</text>\n";
    }
    svg << "</g>\n";
}

void draw_count_axis(Svg& svg, const CountAxis& axis) {
    svg << "<g id=\"count-axis\" font-size=\"11\" fill=\"#333\">\n";
    std::string grid, ticks;
    for (int decade = static_cast<int>(std::ceil(axis.low - 1e-9));
         decade <= static_cast<int>(std::floor(axis.high + 1e-9)); ++decade) {
        const double y = axis.y(std::pow(10.0, decade));
        append(grid, "M", px(kPlotLeft), " ", px(y), "H", px(kPlotRight));
        append(ticks, "M", px(kPlotLeft - 6), " ", px(y), "h6");
        svg << "<text x=\"" << px(kPlotLeft - 9) << "\" y=\"" << px(y + 4)
            << "\" text-anchor=\"end\">" << count_label(decade) << "</text>\n";
    }
    for (int decade = static_cast<int>(std::floor(axis.low)); decade <= static_cast<int>(axis.high);
         ++decade) {
        for (int k = 2; k <= 9; ++k) {
            const double value = k * std::pow(10.0, decade);
            const double l = std::log10(value);
            if (l <= axis.low || l >= axis.high) continue;
            append(ticks, "M", px(kPlotLeft - 3), " ", px(axis.y(value)), "h3");
        }
    }
    svg << "<path d=\"" << grid << "\" stroke=\"#ddd\" stroke-width=\"0.8\" fill=\"none\"/>\n"
        << "<path d=\"" << ticks << "\" stroke=\"#333\" stroke-width=\"0.8\" fill=\"none\"/>\n";
    // The floor line: the place of channels with no (or negative) counts.
    svg << "<path id=\"floor-line\" d=\"M" << px(kPlotLeft) << " " << px(kFloorY) << "H"
        << px(kPlotRight) << "\" stroke=\"#999\" stroke-width=\"0.8\" stroke-dasharray=\"4 3\"/>\n"
        << "<text x=\"" << px(kPlotLeft - 9) << "\" y=\"" << px(kFloorY + 4)
        << "\" text-anchor=\"end\">\u2264 0</text>\n"
        << "<text transform=\"translate(20 " << px((kPlotTop + kLogBottom) / 2)
        << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"12\">counts per channel</text>\n";
    svg << "</g>\n";
}

void draw_channel_axis(Svg& svg, const FinishedRow& data, const ChannelRange& range) {
    std::string grid, ticks;
    const int step = channel_step(range);
    // A short tick half way between the labelled ones.
    for (int k = 0; k * step < 2 * range.channels; ++k) {
        const double x = range.x(k * step / 2.0);
        const bool major = k % 2 == 0;
        if (major) {
            append(grid, "M", px(x), " ", px(kPlotTop), "V", px(kPlotBottom));
            append(grid, "M", px(x), " ", px(kResidualTop), "V", px(kResidualBottom));
        }
        const double length = major ? 6.0 : 3.0;
        append(ticks, "M", px(x), " ", px(kPlotBottom), "v", px(length));
        append(ticks, "M", px(x), " ", px(kResidualBottom), "v", px(length));
    }
    svg << "<g id=\"channel-axis\" font-size=\"11\" fill=\"#333\">\n"
        << "<path d=\"" << grid << "\" stroke=\"#eee\" stroke-width=\"0.8\" fill=\"none\"/>\n"
        << "<path d=\"" << ticks << "\" stroke=\"#333\" stroke-width=\"0.8\" fill=\"none\"/>\n";
    for (int channel = 0; channel < range.channels; channel += step) {
        svg << "<text x=\"" << px(range.x(channel)) << "\" y=\"" << px(kTickLabelY)
            << "\" text-anchor=\"middle\">" << std::to_string(channel) << "</text>\n";
    }
    const std::vector<EnergyTick> energies = energy_ticks(data.energy_calibration, range.channels, data.gain);
    if (energies.empty()) {
        // The axis title at the end of the axis leaves the row's start to the
        // residual's definition, right under the panel it explains.
        svg << "<text x=\"" << px(kPlotRight) << "\" y=\"" << px(kTickLabelY + 16)
            << "\" text-anchor=\"end\" font-size=\"12\">channel</text>\n"
            << "<text id=\"residual-note\" x=\"" << px(kPlotLeft) << "\" y=\"" << px(kTickLabelY + 16)
            << "\">residual = (measured \u2212 model) / \u221a(model\u2019s variance) in the ROI "
               "channels; dashed: \u00b13</text>\n</g>\n";
        return;
    }
    // With an energy axis both axis titles stand in the left margin, the
    // energies in a row of their own under the channels.
    const double energy_y = kTickLabelY + 13;
    svg << "<text x=\"" << px(kPlotLeft - 9) << "\" y=\"" << px(kTickLabelY)
        << "\" text-anchor=\"end\" font-size=\"10\">channel</text>\n"
        << "<g id=\"energy-axis\" fill=\"#555\">\n<text x=\"" << px(kPlotLeft - 9) << "\" y=\""
        << px(energy_y) << "\" text-anchor=\"end\" font-size=\"10\">keV</text>\n";
    std::string marks;
    for (const EnergyTick& tick : energies) {
        const double x = range.x(tick.channel);
        append(marks, "M", px(x), " ", px(kResidualBottom), "v3");
        svg << "<text x=\"" << px(x) << "\" y=\"" << px(energy_y) << "\" text-anchor=\"middle\">"
            << tick.label << "</text>\n";
    }
    svg << "<path d=\"" << marks << "\" stroke=\"#555\" stroke-width=\"0.8\" fill=\"none\"/>\n</g>\n"
        << "<text id=\"residual-note\" x=\"" << px(kPlotLeft) << "\" y=\"" << px(kTickLabelY + 28)
        << "\" font-size=\"10\">residual = (measured \u2212 model) / \u221a(model\u2019s variance) in the "
           "ROI channels; dashed: \u00b13</text>\n</g>\n";
}

namespace {

// A spectrum as one path through the channel centres; counts of zero and
// below go to the floor line, values that are not numbers break the path.
std::string spectrum_path(const std::vector<float>& counts, const CountAxis& axis,
                          const ChannelRange& range) {
    std::string d;
    const size_t n = std::min<size_t>(counts.size(), static_cast<size_t>(range.channels));
    int run = 0;  // points in the current piece of the path
    for (size_t i = 0; i < n; ++i) {
        const double v = counts[i];
        if (!std::isfinite(v)) {
            run = 0;
            continue;
        }
        d += run == 0 ? "M" : run == 1 ? "L" : " ";
        d += px(range.x(static_cast<double>(i))) + " " + px(axis.y(v));
        ++run;
    }
    return d;
}

}  // namespace

FloorCounts draw_spectra(Svg& svg, const FinishedRow& data, const CountAxis& axis,
                         const ChannelRange& range) {
    FloorCounts floor;
    std::string zero_marks, negative_marks;
    const size_t n = std::min<size_t>(data.measured.size(), static_cast<size_t>(range.channels));
    for (size_t i = 0; i < n; ++i) {
        const double v = data.measured[i];
        if (!std::isfinite(v)) continue;  // a gap in the curve, not a count
        const std::string x = px(range.x(static_cast<double>(i)));
        if (v == 0.0) {
            ++floor.zero;
            append(zero_marks, "M", x, " ", px(kFloorY - 3), "v6");
        } else if (v < 0.0) {
            ++floor.negative;
            append(negative_marks, "M", x, " ", px(kFloorY - 5), "v10");
        }
    }
    svg << "<g id=\"spectra\" fill=\"none\" stroke-linejoin=\"round\">\n";
    const std::string measured = spectrum_path(data.measured, axis, range);
    if (!measured.empty()) {
        svg << "<path id=\"measured\" d=\"" << measured << "\" stroke=\"" << kMeasuredColour
            << "\" stroke-width=\"0.8\"/>\n";
    }
    const std::string expected = spectrum_path(data.expected, axis, range);
    if (!expected.empty()) {
        svg << "<path id=\"expected\" d=\"" << expected << "\" stroke=\"" << kExpectedColour
            << "\" stroke-width=\"1\" stroke-opacity=\"0.85\"/>\n";
    }
    if (!zero_marks.empty()) {
        svg << "<path id=\"zero-counts\" d=\"" << zero_marks << "\" stroke=\"" << kZeroColour
            << "\" stroke-width=\"1.2\"/>\n";
    }
    if (!negative_marks.empty()) {
        svg << "<path id=\"negative-counts\" d=\"" << negative_marks << "\" stroke=\""
            << kNegativeColour << "\" stroke-width=\"1.6\"/>\n";
    }
    svg << "</g>\n";
    return floor;
}

void draw_residuals(Svg& svg, const FinishedRow& data, const ChannelRange& shown) {
    // Each ROI channel belongs to the first component that claims it.
    std::vector<int> owner(kChannels, -1);
    for (size_t i = 0; i < data.components.size(); ++i) {
        for (const auto& roi : data.components[i].rois) {
            int first = 0, last = 0;
            if (!clamp_roi(roi, &first, &last)) continue;
            for (int c = first; c <= last; ++c) {
                if (owner[c] < 0) owner[c] = static_cast<int>(i);
            }
        }
    }
    const size_t n = std::min({data.measured.size(), data.expected.size(), static_cast<size_t>(shown.channels)});
    std::vector<double> values(n, NAN);
    double largest = 0.0;
    for (size_t c = 0; c < n; ++c) {
        if (owner[c] < 0) continue;
        const double r = residual(data.measured[c], data.expected[c],
                                  c < data.expected_variance.size() ? data.expected_variance[c] : NAN);
        if (!std::isfinite(r)) continue;
        values[c] = r;
        largest = std::max(largest, std::abs(r));
    }
    const double range = residual_range(largest);

    svg << "<g id=\"residual-panel\" font-size=\"11\" fill=\"#333\">\n";
    const double three = residual_y(3.0, range), minus_three = residual_y(-3.0, range);
    svg << "<path d=\"M" << px(kPlotLeft) << " " << px(three) << "H" << px(kPlotRight) << "M"
        << px(kPlotLeft) << " " << px(minus_three) << "H" << px(kPlotRight)
        << "\" stroke=\"#888\" stroke-width=\"0.8\" stroke-dasharray=\"5 3\" fill=\"none\"/>\n"
        << "<path d=\"M" << px(kPlotLeft) << " " << px(kResidualZero) << "H" << px(kPlotRight)
        << "\" stroke=\"#333\" stroke-width=\"0.8\" fill=\"none\"/>\n";
    // Labels: the ends of the range and zero always, +-3 where they do not crowd them.
    std::string plus = "+", minus = "\u2212";
    append(plus, fixed(range, 0));
    append(minus, fixed(range, 0));
    std::vector<std::pair<double, std::string>> labels = {
        {kResidualTop, plus}, {kResidualZero, "0"}, {kResidualBottom, minus}};
    if (kResidualZero - three >= 12.0 && three - kResidualTop >= 12.0) {
        labels.push_back({three, "+3"});
        labels.push_back({minus_three, "\u22123"});
    }
    for (const auto& [y, text] : labels) {
        svg << "<text x=\"" << px(kPlotLeft - 9) << "\" y=\"" << px(y + 4)
            << "\" text-anchor=\"end\">" << text << "</text>\n";
    }
    svg << "<text transform=\"translate(20 " << px(kResidualZero)
        << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"12\">residual</text>\n";

    std::vector<std::string> bars(data.components.size());
    std::string clipped;
    for (size_t c = 0; c < n; ++c) {
        if (std::isnan(values[c])) continue;
        const std::string x = px(shown.x(static_cast<double>(c)));
        bars[static_cast<size_t>(owner[c])] +=
            "M" + x + " " + px(kResidualZero) + "V" + px(residual_y(values[c], range));
        if (std::abs(values[c]) > range) {
            const double tip = values[c] > 0 ? kResidualTop : kResidualBottom;
            const double back = values[c] > 0 ? 5.0 : -5.0;
            append(clipped, "M", x, " ", px(tip), "l-3 ", px(back), "h6z");
        }
    }
    for (size_t i = 0; i < bars.size(); ++i) {
        if (bars[i].empty()) continue;
        svg << "<path class=\"residual\" d=\"" << bars[i] << "\" stroke=\"" << component_colour(i)
            << "\" stroke-width=\"" << px(shown.width() + 0.1) << "\" fill=\"none\"/>\n";
    }
    if (!clipped.empty()) {
        svg << "<path id=\"residual-clipped\" d=\"" << clipped << "\" fill=\"" << kAlarmColour
            << "\"/>\n<text x=\"" << px(kPlotRight - 4) << "\" y=\"" << px(kResidualTop + 12)
            << "\" text-anchor=\"end\" font-size=\"10\" fill=\"" << kAlarmColour
            << "\">\u25b2 beyond \u00b1" << fixed(range, 0) << "</text>\n";
    }
    svg << "</g>\n";
}

// The fit figure over the trial gains, small, high over channels 670 to 830
// (where a spectrum's falling continuum leaves room), the winner marked:
// a minimum at either end of the scan says the true gain may lie beyond it.
void draw_scan_curve(Svg& svg, const FinishedRow& data) {
    if (!data.fit || data.fit->trials.empty()) return;
    const auto& trials = data.fit->trials;
    constexpr double kLeft = 650.0, kRight = 790.0, kTop = 74.0, kBottom = 126.0;
    double low_gain = INFINITY, high_gain = -INFINITY, low_figure = INFINITY, high_figure = -INFINITY;
    for (const auto& [g, figure] : trials) {
        if (!std::isfinite(g) || !std::isfinite(figure)) continue;
        low_gain = std::min(low_gain, g);
        high_gain = std::max(high_gain, g);
        // Figures span decades: a logarithmic axis keeps the minimum visible.
        const double f = std::log10(std::max(figure, 1e-12));
        low_figure = std::min(low_figure, f);
        high_figure = std::max(high_figure, f);
    }
    if (!(high_gain > low_gain)) return;
    if (!(high_figure > low_figure)) high_figure = low_figure + 1.0;
    auto x = [&](double g) { return kLeft + (g - low_gain) / (high_gain - low_gain) * (kRight - kLeft); };
    auto y = [&](double figure) {
        const double f = std::log10(std::max(figure, 1e-12));
        return kBottom - (f - low_figure) / (high_figure - low_figure) * (kBottom - kTop);
    };
    // The two passes are drawn as two curves, in the order they ran.
    std::string points;
    std::string winner;
    const size_t first_pass = std::min<size_t>(trials.size(), 50);
    double best = INFINITY;
    for (size_t t = 0; t < trials.size(); ++t) {
        const auto& [g, figure] = trials[t];
        if (!std::isfinite(g) || !std::isfinite(figure)) continue;
        append(points, t == 0 || t == first_pass ? "M" : "L", px(x(g)), " ", px(y(figure)));
        if (figure < best) {
            best = figure;
            winner.clear();
            append(winner, "M", px(x(g)), " ", px(y(figure) - 4), "v8M", px(x(g) - 4), " ", px(y(figure)), "h8");
        }
    }
    svg << "<g id=\"scan-curve\" font-size=\"9\" fill=\"#333\">\n"
        << "<rect x=\"" << px(kLeft - 4) << "\" y=\"" << px(kTop - 12) << "\" width=\""
        << px(kRight - kLeft + 8) << "\" height=\"" << px(kBottom - kTop + 26)
        << "\" fill=\"#fff\" fill-opacity=\"0.85\" stroke=\"#bbb\" stroke-width=\"0.8\"/>\n"
        << "<text x=\"" << px(kLeft) << "\" y=\"" << px(kTop - 3) << "\">fit figure over the trial gains</text>\n"
        << "<path d=\"" << points << "\" stroke=\"#555\" stroke-width=\"0.9\" fill=\"none\"/>\n"
        << "<path id=\"scan-winner\" d=\"" << winner << "\" stroke=\""
        << (data.gain_at_scan_edge ? kAlarmColour : kExpectedColour) << "\" stroke-width=\"1.6\"/>\n"
        << "<text x=\"" << px(kLeft) << "\" y=\"" << px(kBottom + 11) << "\">" << fixed(low_gain, 3)
        << "</text><text x=\"" << px(kRight) << "\" y=\"" << px(kBottom + 11)
        << "\" text-anchor=\"end\">" << fixed(high_gain, 3) << "</text>\n</g>\n";
}

void draw_frames(Svg& svg) {
    svg << "<path d=\"M" << px(kPlotLeft) << " " << px(kPlotTop) << "H" << px(kPlotRight) << "V"
        << px(kPlotBottom) << "H" << px(kPlotLeft) << "ZM" << px(kPlotLeft) << " "
        << px(kResidualTop) << "H" << px(kPlotRight) << "V" << px(kResidualBottom) << "H"
        << px(kPlotLeft) << "Z\" stroke=\"#333\" stroke-width=\"1\" fill=\"none\"/>\n";
}

void draw_legend(Svg& svg, const FinishedRow& data, FloorCounts floor) {
    svg << "<g id=\"legend\" font-size=\"12\" fill=\"#222\">\n";
    // The keys of the curves, one after the other.
    const std::string floor_note =
        std::to_string(floor.zero) + (floor.zero == 1 ? " channel" : " channels") +
        " at 0 counts, " + std::to_string(floor.negative) + " negative (on the \u2264 0 line)";
    const double y = kLegendY;
    double x = kPlotLeft;
    auto advance = [&](const std::string& text) {
        x += text_width(decode(text), 12.0, false) + 24;
    };
    for (const auto& [colour, width, label] : {std::tuple{kMeasuredColour, 1.2, "measured"},
                                               std::tuple{kExpectedColour, 1.8, "model (the fit)"}}) {
        svg << "<path d=\"M" << px(x) << " " << px(y - 4) << "h22\" stroke=\"" << colour
            << "\" stroke-width=\"" << px(width) << "\"/><text x=\"" << px(x + 28) << "\" y=\""
            << px(y) << "\">" << label << "</text>\n";
        x += 28;
        advance(label);
    }
    svg << "<path d=\"M" << px(x + 3) << " " << px(y - 8) << "v7M" << px(x + 9) << " " << px(y - 8)
        << "v7\" stroke=\"" << kZeroColour << "\" stroke-width=\"1.4\"/>"
        << "<path d=\"M" << px(x + 15) << " " << px(y - 10) << "v10\" stroke=\"" << kNegativeColour
        << "\" stroke-width=\"1.8\"/>\n"
        << "<text id=\"floor-note\" x=\"" << px(x + 22) << "\" y=\"" << px(y) << "\">" << floor_note
        << "</text>\n";

    if (data.analysis_failed) {
        svg << "<text x=\"" << px(kPlotLeft) << "\" y=\"" << px(kLegendRows[1] + 40)
            << "\" font-weight=\"bold\" fill=\"" << kAlarmColour
            << "\">The fit failed: activities are those of the row before.</text>\n";
    }

    for (size_t i = 0; i < data.components.size() && i < 6; ++i) {
        const auto& component = data.components[i];
        const double x = kPlotLeft + kLegendColumnWidth * static_cast<double>(i % 3);
        const double row = kLegendRows[i / 3];
        svg << "<rect x=\"" << px(x) << "\" y=\"" << px(row - 11)
            << "\" width=\"22\" height=\"28\" fill=\"" << component_colour(i)
            << "\" fill-opacity=\"0.3\" stroke=\"" << component_colour(i) << "\"/>\n";
        // An interfered component's key is outlined as its ROIs are.
        if (component.interfered) {
            svg << "<rect x=\"" << px(x - 2) << "\" y=\"" << px(row - 13) << "\" width=\"26\" height=\"32\" "
                << "fill=\"none\" stroke=\"" << kInterferenceColour
                << "\" stroke-width=\"2\" stroke-dasharray=\"4 2\"><title>interfered: activity and limits "
                   "suspect</title></rect>\n";
        }
        const std::u32string name = shorten_to_width(decode(component.name), 100.0, 12.0, true);
        // The activity with its combined uncertainty and coverage interval;
        // without them (a failed fit, no known calibration uncertainty), with
        // the table's standard deviation as the table has it.
        const UncertainText uncertain = uncertain_text(
            component.activity,
            std::isnan(component.uncertainty) ? component.activity_sd : component.uncertainty,
            component.coverage_lower,
                           component.coverage_upper, data.coverage);
        const std::string quoted = uncertain.value + " \u00b1 " + uncertain.uncertainty + " " + component.unit;
        const std::u32string value =
            shorten_to_width(decode(quoted), kLegendColumnWidth - 40.0 - text_width(name, 12.0, true) - 8.0,
                             12.0, false);
        svg << "<text x=\"" << px(x + 30) << "\" y=\"" << px(row)
            << "\"><tspan font-weight=\"bold\">" << escape(name) << "</tspan> " << escape(value)
            << "</text>\n";
        svg << "<text x=\"" << px(x + 30) << "\" y=\"" << px(row + 15) << "\" font-size=\"11\">";
        // Detection is the decision against the decision threshold y*; a
        // component below it is quoted as below its detection limit y#.
        std::string unit = " ";
        unit += xml(component.unit);
        if (!component.detected) {
            svg << "<tspan fill=\"#777\">no decision threshold</tspan>";
        } else if (*component.detected) {
            svg << "<tspan fill=\"#1b7837\">detected";
            if (std::isfinite(component.decision_threshold)) {
                svg << " (&gt; " << xml(two_digits(component.decision_threshold)) << unit << ")";
            }
            svg << "</tspan>";
        } else {
            svg << "<tspan fill=\"#777\">not detected";
            if (std::isfinite(component.detection_limit)) {
                svg << " (&lt; " << xml(two_digits(component.detection_limit)) << unit << ")";
            }
            svg << "</tspan>";
        }
        if (component.detected && data.fit && data.fit->fit_poor) {
            svg << " <tspan fill=\"" << kAlarmColour << "\">\u00b7 limits unreliable</tspan>";
        }
        // Beside "limits unreliable" there is no room for more.
        if (component.interfered && !(component.detected && data.fit && data.fit->fit_poor)) {
            svg << " <tspan fill=\"" << kInterferenceColour << "\">\u00b7 interfered: suspect</tspan>";
        }
        if (component.over_limit) {
            svg << " <tspan fill=\"" << kAlarmColour
                << "\" font-weight=\"bold\">\u00b7 OVER LIMIT</tspan>";
        }
        if (component.standard_counts_low) {
            svg << " <tspan fill=\"" << kAlarmColour << "\">\u00b7 standard: only "
                << xml(two_digits(component.standard_net_counts)) << " counts</tspan>";
        }
        svg << "</text>\n";
        if (!uncertain.interval.empty()) {
            svg << "<text x=\"" << px(x + 30) << "\" y=\"" << px(row + 28) << "\" font-size=\"11\" fill=\"#555\">"
                << xml(uncertain.interval + " " + component.unit) << "</text>\n";
        }
    }
    if (data.components.size() > 6) {
        svg << "<text x=\"" << px(kPlotRight) << "\" y=\"" << px(kLegendRows[1] + 30)
            << "\" text-anchor=\"end\" font-size=\"11\">and "
            << std::to_string(data.components.size() - 6) << " more components</text>\n";
    }
    svg << "</g>\n";
}

}  // namespace plot
