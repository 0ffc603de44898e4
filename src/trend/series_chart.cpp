#include "trend/series_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "input/formats/times.h"
#include "output/plot_text.h"

namespace trend {

namespace {

using plot::append;
using plot::px;

constexpr double kWidth = 960.0, kHeight = 280.0;
constexpr double kLeft = 76.0, kRight = 940.0, kTop = 16.0, kBottom = 244.0;

// Round steps of the value axis: 1, 2 or 5 times a power of ten, the
// smallest that leaves at most six intervals.
double value_step(double span) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(span / 6.0)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (span / (factor * magnitude) <= 6.0) return factor * magnitude;
    }
    return 10.0 * magnitude;
}

// Steps of the time axis (s): the smallest that leaves at most eight.
int64_t time_step(int64_t span) {
    constexpr int64_t kHour = 3600, kDay = 86400;
    for (const int64_t step : {kHour, 3 * kHour, 6 * kHour, 12 * kHour, kDay, 2 * kDay, 7 * kDay, 14 * kDay,
                               30 * kDay, 91 * kDay, 182 * kDay, 365 * kDay}) {
        if (span / step <= 8) return step;
    }
    return 365 * kDay * (span / (8 * 365 * kDay) + 1);
}

std::string number_label(double value, double step) {
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::abs(value) < step / 2 ? 0.0 : value);
    return text;
}

}  // namespace

std::string time_text(int64_t seconds, bool utc) { return iso_8601(StartTime{seconds, utc}); }

std::string value_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string series_svg(const std::string& series, const std::string& label, const std::vector<Mark>& marks,
                       bool zero_in_view) {
    int64_t first = INT64_MAX, last = INT64_MIN;
    double low = zero_in_view ? 0.0 : INFINITY, high = zero_in_view ? 0.0 : -INFINITY;
    for (const Mark& m : marks) {
        first = std::min(first, m.seconds);
        last = std::max(last, m.seconds);
        for (const std::optional<double> v : {std::optional<double>(m.value), m.low, m.high, m.threshold}) {
            if (v && std::isfinite(*v)) low = std::min(low, *v), high = std::max(high, *v);
        }
    }
    if (marks.empty()) first = 0, last = 0;
    if (last - first < 3600) first -= 1800, last += 1800;
    if (!std::isfinite(low)) low = 0.0, high = 1.0;
    if (!(high > low)) high = low + std::max(1.0, std::abs(low) * 0.1);
    const double step = value_step(high - low);
    low = std::floor(low / step) * step;
    high = std::ceil(high / step) * step;
    const auto x = [&](int64_t t) {
        return kLeft + (kRight - kLeft) * static_cast<double>(t - first) / static_cast<double>(last - first);
    };
    const auto y = [&](double v) { return kBottom - (kBottom - kTop) * (v - low) / (high - low); };

    std::string svg;
    append(svg, "<svg class=\"series\" data-series=\"", plot::xml(series), "\" xmlns=\"http://www.w3.org/2000/svg\" ",
           "viewBox=\"0 0 ", px(kWidth), " ", px(kHeight), "\" role=\"img\">\n");
    append(svg, "<rect class=\"frame\" x=\"", px(kLeft), "\" y=\"", px(kTop), "\" width=\"", px(kRight - kLeft),
           "\" height=\"", px(kBottom - kTop), "\"/>\n");
    for (double v = low; v <= high + step / 2; v += step) {
        append(svg, "<line class=\"grid\" x1=\"", px(kLeft), "\" x2=\"", px(kRight), "\" y1=\"", px(y(v)), "\" y2=\"",
               px(y(v)), "\"/><text class=\"tick\" x=\"", px(kLeft - 6), "\" y=\"", px(y(v) + 4),
               "\" text-anchor=\"end\">", number_label(v, step), "</text>\n");
    }
    const int64_t t_step = time_step(last - first);
    for (int64_t t = (first / t_step + (first % t_step > 0)) * t_step; t <= last; t += t_step) {
        const std::string iso = time_text(t, false);
        const std::string tick = t_step < 86400 ? iso.substr(5, 11) : iso.substr(0, 10);
        append(svg, "<line class=\"grid\" x1=\"", px(x(t)), "\" x2=\"", px(x(t)), "\" y1=\"", px(kTop), "\" y2=\"",
               px(kBottom), "\"/><text class=\"tick\" x=\"", px(x(t)), "\" y=\"", px(kBottom + 16),
               "\" text-anchor=\"middle\">", tick, "</text>\n");
    }
    append(svg, "<text class=\"axis\" transform=\"translate(14 ", px((kTop + kBottom) / 2),
           ") rotate(-90)\" text-anchor=\"middle\">", plot::xml(label), "</text>\n");

    // The decision threshold as a line through the marks, broken where there is none.
    std::string line;
    for (const Mark& m : marks) {
        if (!m.threshold || !std::isfinite(*m.threshold)) {
            if (!line.empty()) append(svg, "<polyline class=\"threshold\" points=\"", line, "\"/>\n");
            line.clear();
            continue;
        }
        append(line, line.empty() ? "" : " ", px(x(m.seconds)), ",", px(y(*m.threshold)));
    }
    if (!line.empty()) append(svg, "<polyline class=\"threshold\" points=\"", line, "\"/>\n");

    for (const Mark& m : marks) {
        if (!std::isfinite(m.value)) continue;
        const std::string cx = px(x(m.seconds)), cy = px(y(m.value));
        if (m.low && m.high) {
            append(svg, "<line class=\"bar\" x1=\"", cx, "\" x2=\"", cx, "\" y1=\"", px(y(*m.low)), "\" y2=\"",
                   px(y(*m.high)), "\"/>\n");
        }
        const char* kind = m.kind == Mark::Kind::detected       ? "detected"
                           : m.kind == Mark::Kind::not_detected ? "not-detected"
                                                                : "plain";
        if (!m.link.empty()) append(svg, "<a href=\"", plot::xml(m.link), "\">");
        append(svg, "<g class=\"mark ", kind, m.flagged ? " flagged" : "", "\" data-time=\"",
               time_text(m.seconds, m.utc), "\" data-value=\"", value_text(m.value), "\"><title>",
               plot::xml(m.title), "</title>");
        if (m.flagged) append(svg, "<circle class=\"flag\" cx=\"", cx, "\" cy=\"", cy, "\" r=\"7\"/>");
        append(svg, "<circle cx=\"", cx, "\" cy=\"", cy, "\" r=\"3.5\"/></g>");
        append(svg, m.link.empty() ? "\n" : "</a>\n");
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace trend
