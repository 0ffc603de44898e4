// One time series as an SVG chart: marks at (time, value) with optional
// error bars, a threshold line, and marks that are filled (detected, or a
// plain value), open (not detected) or ringed (flagged), a flagged one
// linked to its picture. Internal to the trend pages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trend {

struct Mark {
    enum class Kind { plain, detected, not_detected };
    int64_t seconds = 0;   // on the row's own clock
    bool utc = false;
    double value = 0.0;
    // The bar from low to high (uncertainty or coverage interval); none: no bar.
    std::optional<double> low, high;
    std::optional<double> threshold;  // decision threshold; none: a gap in its line
    Kind kind = Kind::plain;
    bool flagged = false;
    std::string link;   // URL of the picture; empty: none
    std::string title;  // the tooltip, plain text
};

// `marks` in time order, drawn over their time span; `label` names the
// quantity and its unit on the y axis. With `zero_in_view` the value axis
// reaches 0 (an activity's sign matters; a dose rate's level is what shows).
std::string series_svg(const std::string& series, const std::string& label, const std::vector<Mark>& marks,
                       bool zero_in_view);

// ISO 8601 of a row's time ("Z" for UTC).
std::string time_text(int64_t seconds, bool utc);

// A value with 9 significant digits, which give a float back bit for bit.
std::string value_text(double value);

}  // namespace trend
