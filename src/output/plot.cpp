// Pictures of evaluations as hand-written SVG, and the HTML page that lists
// them. Everything here is text building: no state outlives a call.
#include "output/plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/records.h"
#include "output/utf8.h"

namespace {

// Appends the parts one after the other (cheaper than chains of +, and free
// of a false overlap warning that gcc gives for them).
template <typename... Parts>
void append(std::string& out, const Parts&... parts) {
    (out.append(parts), ...);
}


// ---------------------------------------------------------------------------
// Text.

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEllipsis = 0x2026;

// True for characters a one-line XML label cannot or should not carry:
// controls (which XML 1.0 mostly forbids, and which would only break the line
// otherwise) and the two noncharacters XML excludes.
bool unfit_for_label(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFFFE || c == 0xFFFF;
}

// `bytes` read as UTF-8. Entries and names come from files and may hold any
// byte: a byte that does not begin a valid shortest-form sequence becomes
// U+FFFD by itself, so a stray byte costs one character and never swallows
// the text after it.
std::u32string decode(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Sequence sequence = utf8_sequence(bytes.substr(i));
        const char32_t c = sequence.length > 0 ? sequence.code : kReplacement;
        out.push_back(unfit_for_label(c) ? kReplacement : c);
        i += sequence.length > 0 ? sequence.length : 1;
    }
    return out;
}

// Characters as XML text or attribute value (both quote kinds escaped, so
// either may delimit the attribute).
std::string escape(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        switch (c) {
            case U'&':
                out += "&amp;";
                break;
            case U'<':
                out += "&lt;";
                break;
            case U'>':
                out += "&gt;";
                break;
            case U'"':
                out += "&quot;";
                break;
            case U'\'':
                out += "&#39;";
                break;
            default:
                append_utf8(out, c);
        }
    }
    return out;
}

std::string xml(std::string_view bytes) { return escape(decode(bytes)); }

// At most `limit` characters: the middle gives way to an ellipsis, since
// the start and the end of a file name tell most about it.
std::u32string shorten(const std::u32string& text, size_t limit) {
    if (text.size() <= limit) return text;
    if (limit == 0) return {};
    const size_t head = (limit - 1) * 2 / 3;
    const size_t tail = limit - 1 - head;
    return text.substr(0, head) + kEllipsis + text.substr(text.size() - tail);
}

// Width of `text` in px, generously estimated for a sans-serif face with the
// metrics of Arial; used only to keep labels apart, never to place glyphs.
double text_width(const std::u32string& text, double font_size, bool bold) {
    double ems = 0.0;
    for (const char32_t c : text) {
        if (c == U' ' || c == U'.' || c == U',' || c == U':' || c == U'i' || c == U'l' ||
            c == U'I' || c == U'j' || c == U'!' || c == U'|' || c == U'\'' || c == U'f' ||
            c == U't' || c == U'r') {
            ems += 0.34;
        } else if (c == U'm' || c == U'w' || c == U'M' || c == U'W' || c == U'@') {
            ems += 0.9;
        } else if (c >= U'A' && c <= U'Z') {
            ems += 0.72;
        } else if (c < 0x80) {
            ems += 0.58;
        } else if (c >= 0x1100) {
            ems += 1.0;  // wide scripts, symbols
        } else {
            ems += 0.7;
        }
    }
    return ems * font_size * (bold ? 1.1 : 1.0);
}

// The longest shortening of `text` that fits `width` px.
std::u32string fit(const std::u32string& text, double width, double font_size, bool bold) {
    // Cut absurd lengths at once; the loop below then runs a few hundred times at most.
    size_t limit =
        std::min<size_t>(text.size(), static_cast<size_t>(width / (0.3 * font_size)) + 1);
    std::u32string candidate = shorten(text, limit);
    while (limit > 1 && text_width(candidate, font_size, bold) > width) {
        candidate = shorten(text, --limit);
    }
    return candidate;
}

// A value as the result table prints it ("%.*f"), except that a value too
// large for a label (which "%.2f" would spell out in up to 39 digits) is
// written in exponent form; "nan" and "inf" stay plain words.
std::string fixed(double value, int digits) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    if (std::strlen(buffer) > 14) std::snprintf(buffer, sizeof buffer, "%.6e", value);
    return buffer;
}

// A value and its standard deviation rounded to two significant digits of
// the deviation, as a reader quotes them ("148.38", "0.95"; "70", "56");
// as the table prints them where the deviation is 0 or not a number.
std::pair<std::string, std::string> rounded_pair(double value, double deviation) {
    if (!(deviation > 0.0) || !std::isfinite(deviation) || !std::isfinite(value)) {
        return {fixed(value, 2), fixed(deviation, 2)};
    }
    const int decimals = 1 - static_cast<int>(std::floor(std::log10(deviation)));
    if (decimals >= 0) return {fixed(value, std::min(decimals, 12)), fixed(deviation, std::min(decimals, 12))};
    const double unit = std::pow(10.0, -decimals);
    return {fixed(std::round(value / unit) * unit, 0), fixed(std::round(deviation / unit) * unit, 0)};
}

// A positive limit to two significant digits.
std::string two_digits(double value) {
    if (!(value > 0.0) || !std::isfinite(value)) return fixed(value, 2);
    return rounded_pair(value, value).first;
}

// A coordinate rounded to 0.1 px, without a trailing ".0".
std::string px(double value) {
    const long long tenths = std::llround(value * 10.0);
    const unsigned long long magnitude = tenths < 0 ? 0ULL - static_cast<unsigned long long>(tenths)
                                                    : static_cast<unsigned long long>(tenths);
    std::string out = tenths < 0 ? "-" : "";
    out += std::to_string(magnitude / 10);
    if (magnitude % 10 != 0) {
        out += '.';
        out += static_cast<char>('0' + magnitude % 10);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Layout (px in the 1000 x 640 view box); plot.h states the axis mapping.

constexpr double kWidth = 1000.0;
constexpr double kHeight = 640.0;
constexpr double kPlotLeft = 64.0;
constexpr double kPlotRight = 960.0;
constexpr double kChannelWidth = (kPlotRight - kPlotLeft) / kChannels;  // 0.875
constexpr double kPlotTop = 58.0;
constexpr double kLogBottom = 346.0;  // the lowest decade of the count axis
constexpr double kFloorY = 360.0;     // where counts of zero and below are drawn
constexpr double kPlotBottom = 368.0;
constexpr double kResidualTop = 380.0;
constexpr double kResidualBottom = 470.0;
constexpr double kResidualZero = (kResidualTop + kResidualBottom) / 2.0;
constexpr double kTickLabelY = 485.0;
constexpr double kLegendY = 526.0;
constexpr double kLegendRows[2] = {552.0, 593.0};
constexpr double kLegendColumnWidth = 300.0;

constexpr const char* kFont = "Liberation Sans, Arial, Helvetica, sans-serif";

// Okabe-Ito colours: told apart with the common colour-vision deficiencies.
constexpr std::array<const char*, 6> kPalette = {"#0072B2", "#E69F00", "#009E73",
                                                 "#CC79A7", "#56B4E9", "#D55E00"};
constexpr const char* kMeasuredColour = "#1a1a1a";
constexpr const char* kExpectedColour = "#D81B60";
constexpr const char* kZeroColour = "#6a3d9a";
constexpr const char* kNegativeColour = "#c00000";
constexpr const char* kAlarmColour = "#c00000";

const char* component_colour(size_t index) { return kPalette[index % kPalette.size()]; }

double channel_x(double channel) { return kPlotLeft + kChannelWidth * (channel + 0.5); }
// Left edge of a channel's slot.
double channel_edge(double channel) { return kPlotLeft + kChannelWidth * channel; }

// The logarithmic count axis: decades `low` (at kLogBottom) to `high` (at kPlotTop).
struct CountAxis {
    double low = 0.0;
    double high = 1.0;

    double y(double counts) const {
        if (!(counts > 0.0)) return kFloorY;
        const double decade = std::max(std::log10(counts), low);
        return kPlotTop + (high - decade) / (high - low) * (kLogBottom - kPlotTop);
    }
};

// The lowest decade is the one of the smallest positive count, but not below
// 0.1 counts (gain-corrected sums have tiny fractions that say nothing) nor
// more than eight decades under the top; the top leaves a sixth of the height
// free above the largest count so that ROI labels do not cover peaks.
CountAxis count_axis(const FinishedRow& data) {
    double smallest = INFINITY;
    double largest = 0.0;
    for (const auto* spectrum : {&data.measured, &data.expected}) {
        const size_t n = std::min<size_t>(spectrum->size(), kChannels);
        for (size_t i = 0; i < n; ++i) {
            const double v = (*spectrum)[i];
            if (v > 0.0 && std::isfinite(v)) {
                smallest = std::min(smallest, v);
                largest = std::max(largest, v);
            }
        }
    }
    CountAxis axis;
    if (!(largest > 0.0)) return axis;  // nothing positive: 1 to 10 counts, empty
    const double top = std::log10(largest);
    double low = std::floor(std::log10(smallest));
    low = std::max(low, -1.0);
    low = std::max(low, std::ceil(top) - 8.0);
    if (top - low < 1.0) low = std::floor(top - 1.0);
    axis.low = low;
    axis.high = top + (top - low) / 5.0;
    return axis;
}

// (measured - model) / sqrt(variance): how many standard deviations of the
// model's Poisson count (sample and local background) a channel lies off it.
// Without a variance, that of the model's count alone, at least 1.
double residual(double measured, double expected, double variance) {
    if (!(variance > 0.0)) variance = std::max(expected, 1.0);
    return (measured - expected) / std::sqrt(variance);
}

// The residual axis spans +-range; residuals beyond the widest range are clipped.
constexpr std::array<double, 4> kResidualRanges = {5.0, 10.0, 20.0, 50.0};

double residual_y(double value, double range) {
    const double clipped = std::clamp(value, -range, range);
    return kResidualZero - clipped / range * (kResidualZero - kResidualTop);
}

// A ROI clamped to the channels; false when nothing of it is left (or it is reversed).
bool clamp_roi(std::pair<int32_t, int32_t> roi, int* first, int* last) {
    *first = std::max<int32_t>(roi.first, 0);
    *last = std::min<int32_t>(roi.second, kChannels - 1);
    return *first <= *last;
}

class Svg {
public:
    std::string text;
    Svg& operator<<(std::string_view piece) {
        text += piece;
        return *this;
    }
};

std::string format_count_label(int decade) {
    if (decade >= 0 && decade <= 3) {
        std::string label = "1";
        label.append(static_cast<size_t>(decade), '0');
        return label;
    }
    if (decade < 0 && decade >= -2) {
        return "0." + std::string(static_cast<size_t>(-decade - 1), '0') + "1";
    }
    return "10<tspan dy=\"-6\" font-size=\"8\">" + std::to_string(decade) + "</tspan>";
}

// --- pieces of the picture ---------------------------------------------------

struct Badge {
    std::string label;
    const char* fill;
    const char* ink;
};

void draw_title(Svg& svg, const FinishedRow& data) {
    svg << "<g id=\"title\">\n";
    const bool over_limit = over_a_limit(data);
    std::vector<Badge> badges;
    if (data.analysis_failed) badges.push_back({"ANALYSIS FAILED", "#000", "#fff"});
    if (data.unknown_found) badges.push_back({"UNKNOWN NUCLIDE", kAlarmColour, "#fff"});
    if (over_limit) badges.push_back({"OVER LIMIT", "#E69F00", "#000"});
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

    const std::string prefix = "Row " + std::to_string(data.row) + "  ";
    const double prefix_width = text_width(decode(prefix), 17.0, false);
    const double room = right - 8.0 - 16.0 - prefix_width;
    const std::u32string entry = fit(decode(data.entry), std::max(room, 40.0), 17.0, true);
    svg << "<text x=\"16\" y=\"26\" font-size=\"17\"><tspan fill=\"#555\">"
        << escape(decode(prefix)) << "</tspan><tspan font-weight=\"bold\">" << escape(entry)
        << "</tspan></text>\n";

    const std::string before = "live time " + std::to_string(data.live_time) +
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

void draw_roi_bands(Svg& svg, const FinishedRow& data) {
    svg << "<g id=\"rois\">\n";
    for (size_t i = 0; i < data.components.size(); ++i) {
        const auto& component = data.components[i];
        const std::string name = xml(component.name);
        for (const auto& roi : component.rois) {
            int first = 0, last = 0;
            if (!clamp_roi(roi, &first, &last)) continue;
            const std::string x = px(channel_edge(first));
            const std::string w = px(kChannelWidth * (last - first + 1));
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
void draw_roi_labels(Svg& svg, const FinishedRow& data) {
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
                labels.push_back({(channel_edge(first) + channel_edge(last + 1)) / 2, i});
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
            << "\" text-anchor=\"end\">" << format_count_label(decade) << "</text>\n";
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

// Energy in keV at a (fractional) channel by the calibration polynomial.
double energy_at(const std::vector<double>& calibration, double channel) {
    double energy = 0.0;
    for (size_t k = calibration.size(); k-- > 0;) energy = energy * channel + calibration[k];
    return energy;
}

// The energy axis: round energies at their channels, where the calibration
// rises over all channels (no axis otherwise). Bisection finds each channel,
// so any polynomial that rises will do.
std::vector<std::pair<double, double>> energy_ticks(const std::vector<double>& calibration) {
    std::vector<std::pair<double, double>> ticks;  // (channel, keV)
    if (calibration.size() < 2) return ticks;
    constexpr int kSamples = 64;
    double previous = energy_at(calibration, 0.0);
    for (int i = 1; i <= kSamples; ++i) {
        const double e = energy_at(calibration, (kChannels - 1) * static_cast<double>(i) / kSamples);
        if (!std::isfinite(e) || !(e > previous)) return ticks;
        previous = e;
    }
    const double low = energy_at(calibration, 0.0);
    const double high = energy_at(calibration, kChannels - 1.0);
    double step = 1.0;
    for (const double candidate : {10.0, 20.0, 50.0, 100.0, 200.0, 250.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0}) {
        step = candidate;
        if ((high - low) / candidate <= 10.0) break;
    }
    for (double e = std::ceil(low / step) * step; e <= high; e += step) {
        double a = 0.0, b = kChannels - 1.0;
        for (int i = 0; i < 60; ++i) {
            const double middle = (a + b) / 2.0;
            (energy_at(calibration, middle) < e ? a : b) = middle;
        }
        ticks.emplace_back((a + b) / 2.0, e);
    }
    return ticks;
}

void draw_channel_axis(Svg& svg, const FinishedRow& data) {
    std::string grid, ticks;
    for (int channel = 0; channel < kChannels; channel += 50) {
        const double x = channel_x(channel);
        const bool major = channel % 100 == 0;
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
    for (int channel = 0; channel < kChannels; channel += 100) {
        svg << "<text x=\"" << px(channel_x(channel)) << "\" y=\"" << px(kTickLabelY)
            << "\" text-anchor=\"middle\">" << std::to_string(channel) << "</text>\n";
    }
    const std::vector<std::pair<double, double>> energies = energy_ticks(data.energy_calibration);
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
    for (const auto& [channel, kev] : energies) {
        const double x = channel_x(channel);
        append(marks, "M", px(x), " ", px(kResidualBottom), "v3");
        svg << "<text x=\"" << px(x) << "\" y=\"" << px(energy_y) << "\" text-anchor=\"middle\">"
            << fixed(kev, 0) << "</text>\n";
    }
    svg << "<path d=\"" << marks << "\" stroke=\"#555\" stroke-width=\"0.8\" fill=\"none\"/>\n</g>\n"
        << "<text id=\"residual-note\" x=\"" << px(kPlotLeft) << "\" y=\"" << px(kTickLabelY + 28)
        << "\" font-size=\"10\">residual = (measured \u2212 model) / \u221a(model\u2019s variance) in the "
           "ROI channels; dashed: \u00b13</text>\n</g>\n";
}

struct FloorCounts {
    int zero = 0;
    int negative = 0;
};

// A spectrum as one path through the channel centres; counts of zero and
// below go to the floor line, values that are not numbers break the path.
std::string spectrum_path(const std::vector<float>& counts, const CountAxis& axis) {
    std::string d;
    const size_t n = std::min<size_t>(counts.size(), kChannels);
    int run = 0;  // points in the current piece of the path
    for (size_t i = 0; i < n; ++i) {
        const double v = counts[i];
        if (!std::isfinite(v)) {
            run = 0;
            continue;
        }
        d += run == 0 ? "M" : run == 1 ? "L" : " ";
        d += px(channel_x(static_cast<double>(i))) + " " + px(axis.y(v));
        ++run;
    }
    return d;
}

FloorCounts draw_spectra(Svg& svg, const FinishedRow& data, const CountAxis& axis) {
    FloorCounts floor;
    std::string zero_marks, negative_marks;
    const size_t n = std::min<size_t>(data.measured.size(), kChannels);
    for (size_t i = 0; i < n; ++i) {
        const double v = data.measured[i];
        if (!std::isfinite(v)) continue;  // a gap in the curve, not a count
        const std::string x = px(channel_x(static_cast<double>(i)));
        if (v == 0.0) {
            ++floor.zero;
            append(zero_marks, "M", x, " ", px(kFloorY - 3), "v6");
        } else if (v < 0.0) {
            ++floor.negative;
            append(negative_marks, "M", x, " ", px(kFloorY - 5), "v10");
        }
    }
    svg << "<g id=\"spectra\" fill=\"none\" stroke-linejoin=\"round\">\n";
    const std::string measured = spectrum_path(data.measured, axis);
    if (!measured.empty()) {
        svg << "<path id=\"measured\" d=\"" << measured << "\" stroke=\"" << kMeasuredColour
            << "\" stroke-width=\"0.8\"/>\n";
    }
    const std::string expected = spectrum_path(data.expected, axis);
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

void draw_residuals(Svg& svg, const FinishedRow& data) {
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
    const size_t n = std::min({data.measured.size(), data.expected.size(), size_t{kChannels}});
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
    double range = kResidualRanges.back();
    for (const double candidate : kResidualRanges) {
        if (largest <= candidate) {
            range = candidate;
            break;
        }
    }

    svg << "<g id=\"residual-panel\" font-size=\"11\" fill=\"#333\">\n";
    const double three = residual_y(3.0, range), minus_three = residual_y(-3.0, range);
    svg << "<path d=\"M" << px(kPlotLeft) << " " << px(three) << "H" << px(kPlotRight) << "M"
        << px(kPlotLeft) << " " << px(minus_three) << "H" << px(kPlotRight)
        << "\" stroke=\"#888\" stroke-width=\"0.8\" stroke-dasharray=\"5 3\" fill=\"none\"/>\n"
        << "<path d=\"M" << px(kPlotLeft) << " " << px(kResidualZero) << "H" << px(kPlotRight)
        << "\" stroke=\"#333\" stroke-width=\"0.8\" fill=\"none\"/>\n";
    // Labels: the ends of the range and zero always, +-3 where they do not crowd them.
    std::vector<std::pair<double, std::string>> labels = {
        {kResidualTop, "+" + fixed(range, 0)},
        {kResidualZero, "0"},
        {kResidualBottom, "\u2212" + fixed(range, 0)}};
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
        const std::string x = px(channel_x(static_cast<double>(c)));
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
            << "\" stroke-width=\"" << px(kChannelWidth + 0.1) << "\" fill=\"none\"/>\n";
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
        const std::u32string name = fit(decode(component.name), 100.0, 12.0, true);
        const auto [activity, deviation] = rounded_pair(component.activity, component.activity_sd);
        const std::u32string value =
            fit(decode(activity + " \u00b1 " + deviation + " " + component.unit),
                kLegendColumnWidth - 40.0 - text_width(name, 12.0, true) - 8.0, 12.0, false);
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
            svg << "<tspan fill=\"" << kAlarmColour << "\"> \u00b7 limits unreliable</tspan>";
        }
        if (component.over_limit) {
            svg << "<tspan fill=\"" << kAlarmColour
                << "\" font-weight=\"bold\"> \u00b7 OVER LIMIT</tspan>";
        }
        svg << "</text>\n";
    }
    if (data.components.size() > 6) {
        svg << "<text x=\"" << px(kPlotRight) << "\" y=\"" << px(kLegendRows[1] + 30)
            << "\" text-anchor=\"end\" font-size=\"11\">and "
            << std::to_string(data.components.size() - 6) << " more components</text>\n";
    }
    svg << "</g>\n";
}

// --- index page --------------------------------------------------------------

// A file name as the path part of a relative URL.
std::string url_path(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : name) {
        const auto b = static_cast<unsigned char>(ch);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
            b == '.' || b == '_' || b == '-' || b == '~' || b == '/') {
            out += static_cast<char>(b);
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

}  // namespace

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
    draw_title(svg, data);
    draw_roi_bands(svg, data);
    draw_count_axis(svg, axis);
    draw_channel_axis(svg, data);
    const FloorCounts floor = draw_spectra(svg, data, axis);
    draw_roi_labels(svg, data);
    draw_residuals(svg, data);
    draw_frames(svg);
    draw_scan_curve(svg, data);
    draw_legend(svg, data, floor);
    svg << "</svg>\n";
    return std::move(svg.text);
}

std::string plot_index_html(const std::string& title, const std::vector<IndexRow>& rows) {
    // The component columns follow the row with the most components; a run
    // has one method, so all rows normally agree.
    std::vector<std::string> headers;
    for (const auto& row : rows) {
        const auto& components = row.data.components;
        for (size_t i = headers.size(); i < components.size(); ++i) {
            headers.push_back(xml(components[i].name) + " [" + xml(components[i].unit) + "]");
        }
    }
    int failed = 0, unknown = 0, edge = 0, over = 0;
    for (const auto& row : rows) {
        failed += row.data.analysis_failed;
        unknown += row.data.unknown_found;
        edge += row.data.gain_at_scan_edge;
        over += over_a_limit(row.data);
    }

    std::string html;
    html.reserve(1024 + rows.size() * 1024);
    const std::string page_title = xml(title);
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" +
            page_title +
            "</title>\n<style>\n"
            "body{font-family:Liberation Sans,Arial,Helvetica,sans-serif;margin:16px;color:#222}\n"
            "h1{font-size:20px;margin:0 0 6px}\n"
            "p.summary{margin:0 0 12px;color:#444}\n"
            "table{border-collapse:collapse;font-size:13px}\n"
            "th,td{border:1px solid #ccc;padding:3px 6px;vertical-align:middle}\n"
            "th{background:#f0f0f0;position:sticky;top:0}\n"
            "td.num{text-align:right;white-space:nowrap;font-variant-numeric:tabular-nums}\n"
            "td.entry{min-width:10em;max-width:18em;overflow-wrap:anywhere}\n"
            "span.sd{font-weight:normal;font-size:11px}\n"
            "td.det{background:#dff0d8;font-weight:bold}\n"
            "td.nd{color:#888}\n"
            "td.over{background:#fcd9b6;font-weight:bold}\n"
            "tr.alarm td.row{background:#c00000;color:#fff}\n"
            "span.flag{display:inline-block;margin:1px;padding:1px 5px;border-radius:3px;"
            "font-size:11px;font-weight:bold;white-space:nowrap}\n"
            "span.failed{background:#000;color:#fff}\n"
            "span.unknown{background:#c00000;color:#fff}\n"
            "span.edge{background:#fff;color:#c00000;border:1px solid #c00000}\n"
            "span.over{background:#E69F00;color:#000}\n"
            "img{display:block;border:1px solid #ddd}\n"
            "</style>\n</head>\n<body>\n<h1>" +
            page_title + "</h1>\n<p class=\"summary\">" + std::to_string(rows.size()) +
            " evaluations \u00b7 " + std::to_string(unknown) + " with an unknown nuclide \u00b7 " +
            std::to_string(failed) + " failed \u00b7 " + std::to_string(edge) +
            " with the gain at the scan edge \u00b7 " + std::to_string(over) +
            " over a limit. Detected activities are shaded green; activities over their limit "
            "orange. Click a picture to open it.</p>\n<table>\n<thead><tr><th>#</th><th>entry</th>"
            "<th>flags</th><th>live time [s]</th><th>dead time [%]</th><th>qfit</th><th>gain</th>"
            "<th>dose rate" +
            (rows.empty() || rows.front().data.dose_unit.empty() ? std::string()
                                                                 : " [" + xml(rows.front().data.dose_unit) + "]") +
            "</th>";
    for (const auto& header : headers) append(html, "<th>", header, "</th>");
    html += "<th>picture</th></tr></thead>\n<tbody>\n";

    for (const auto& row : rows) {
        const FinishedRow& d = row.data;
        const bool alarm = d.analysis_failed || d.unknown_found;
        html += alarm ? "<tr class=\"alarm\">" : "<tr>";
        html += "<td class=\"num row\">" + std::to_string(d.row) + "</td><td class=\"entry\">" +
                xml(d.entry) + "</td><td>";
        if (d.analysis_failed) html += "<span class=\"flag failed\">analysis failed</span>";
        if (d.unknown_found) html += "<span class=\"flag unknown\">unknown nuclide</span>";
        if (d.gain_at_scan_edge) html += "<span class=\"flag edge\">gain at scan edge</span>";
        if (d.fit && d.fit->fit_poor) html += "<span class=\"flag edge\">poor fit</span>";
        if (over_a_limit(d)) {
            html += "<span class=\"flag over\">over limit</span>";
        }
        html += "</td><td class=\"num\">" + std::to_string(d.live_time) +
                "</td><td class=\"num\">" + fixed(d.dead_time_percent, 2) +
                "</td><td class=\"num\">" + fixed(d.qfit, 2) + "</td><td class=\"num\">" +
                fixed(d.gain, 4) + "</td><td class=\"num\">" +
                (d.dose_rate ? fixed(*d.dose_rate, 2) : std::string("\u2014")) + "</td>";
        for (size_t i = 0; i < headers.size(); ++i) {
            if (i >= d.components.size()) {
                html += "<td></td>";
                continue;
            }
            const auto& c = d.components[i];
            const char* kind = c.over_limit ? "num over" : c.detected.value_or(false) ? "num det" : "num nd";
            const auto [activity, deviation] = rounded_pair(c.activity, c.activity_sd);
            html += std::string("<td class=\"") + kind + "\">" + activity +
                    "<br/><span class=\"sd\">\u00b1 " + deviation + "</span></td>";
        }
        const std::string href = xml(url_path(row.file_name));
        html += "<td><a href=\"" + href + "\"><img src=\"" + href +
                "\" width=\"250\" height=\"160\" loading=\"lazy\" alt=\"picture of row " +
                std::to_string(d.row) + "\"/></a></td></tr>\n";
    }
    html += "</tbody>\n</table>\n</body>\n</html>\n";
    return html;
}
