#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "core/file.h"
#include "core/sha256.h"
#include "core/text.h"
#include "output/plot_text.h"
#include "trend/series_chart.h"
#include "trend/trend.h"

namespace {

namespace fs = std::filesystem;
using plot::append;
using plot::xml;

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse}"
    "td,th{padding:.3em .8em;white-space:nowrap;border-bottom:1px solid #ddd;text-align:right}"
    "td:first-child,th:first-child{text-align:left}.hit{color:#b00;font-weight:bold}"
    "svg.series{width:100%;max-width:960px;height:auto;display:block}"
    ".frame{fill:none;stroke:#888}.grid{stroke:#eee}.tick,.axis{font-size:12px;fill:#444}"
    ".threshold{fill:none;stroke:#d80;stroke-dasharray:5 3}.bar{stroke:#58a}"
    ".mark circle{stroke:#246;stroke-width:1.2}.plain circle,.detected circle{fill:#246}"
    ".not-detected circle{fill:#fff}.mark circle.flag{fill:none;stroke:#c00;stroke-width:2}"
    ".legend span{margin-right:1.5em}";

std::string page_head(const std::string& title) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
    append(html, xml(title), "</title>\n<style>", kStyle, "</style>\n</head>\n<body>\n");
    return html;
}

// A path as a relative URL: every byte but unreserved ones and "/" escaped.
std::string url_path(const std::string& path) {
    std::string url;
    for (const char c : path) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            url += c;
        } else {
            url += format("%%%02X", b);
        }
    }
    return url;
}

// The link from a page in `out_directory` to a picture: relative where the
// two share a root, else a file URL.
std::string picture_link(const std::string& picture, const std::string& out_directory) {
    if (picture.empty()) return {};
    std::error_code error;
    const fs::path out = fs::weakly_canonical(fs::absolute(out_directory, error), error);
    const fs::path relative = fs::path(picture).lexically_relative(out);
    if (!relative.empty()) return url_path(relative.generic_string());
    return "file://" + url_path(fs::path(picture).generic_string());
}

std::string optional_value(const std::optional<double>& value) {
    return value ? format("%.6g", *value) : std::string("none");
}

// The tooltip of a component's mark.
std::string component_title(const SeriesPoint& point, const StoredComponent& c) {
    std::string title = trend::time_text(point.start_seconds, point.start_utc);
    if (point.start_time_source != kStartFromFile) append(title, " (time from ", point.start_time_source, ")");
    append(title, ": ", optional_value(c.activity), " ", c.unit);
    if (c.coverage_lower && c.coverage_upper) {
        append(title, ", interval ", optional_value(c.coverage_lower), " to ", optional_value(c.coverage_upper));
    } else if (c.uncertainty) {
        append(title, ", u ", optional_value(c.uncertainty));
    } else {
        append(title, ", sd ", optional_value(c.activity_sd));
    }
    append(title, ", decision threshold ", optional_value(c.decision_threshold));
    append(title, c.detected ? (*c.detected ? ", detected" : ", not detected") : "");
    if (point.flagged) title += ", flagged";
    return title;
}

trend::Mark component_mark(const SeriesPoint& point, const StoredComponent& c, const std::string& link) {
    trend::Mark mark;
    mark.seconds = point.start_seconds;
    mark.utc = point.start_utc;
    mark.value = c.activity.value_or(NAN);
    // The coverage interval where there is one, else the uncertainty, else
    // the fit's standard deviation.
    if (c.coverage_lower && c.coverage_upper) {
        mark.low = c.coverage_lower, mark.high = c.coverage_upper;
    } else if (c.activity) {
        const std::optional<double> spread = c.uncertainty ? c.uncertainty : c.activity_sd;
        if (spread) mark.low = *c.activity - *spread, mark.high = *c.activity + *spread;
    }
    mark.threshold = c.decision_threshold;
    if (c.detected) mark.kind = *c.detected ? trend::Mark::Kind::detected : trend::Mark::Kind::not_detected;
    mark.flagged = point.flagged;
    mark.link = link;
    mark.title = component_title(point, c);
    return mark;
}

// The marks of one component: each point with its evaluation (both lists in
// time order, then by evaluation); a point without one is left out.
std::vector<trend::Mark> component_marks(const std::vector<SeriesPoint>& evaluations,
                                         const std::vector<ComponentPoint>& points,
                                         const std::vector<std::string>& links) {
    std::vector<trend::Mark> marks;
    size_t at = 0;
    for (const ComponentPoint& p : points) {
        const auto key = std::pair(p.start_seconds, p.evaluation_id);
        while (at < evaluations.size() &&
               std::pair(evaluations[at].start_seconds, evaluations[at].evaluation_id) < key) {
            ++at;
        }
        if (at == evaluations.size()) break;
        if (evaluations[at].evaluation_id != p.evaluation_id || !p.values.activity) continue;
        marks.push_back(component_mark(evaluations[at], p.values, links[at]));
    }
    return marks;
}

}  // namespace

std::string station_page_name(const std::string& station) {
    std::string safe;
    for (const char c : station) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        safe += plain && static_cast<unsigned char>(c) < 0x80 ? c : '_';
    }
    if (safe != station || safe.empty() || safe[0] == '.') append(safe, "-", sha256_hex(station).substr(0, 8));
    return "station-" + safe + ".html";
}

std::string trend_index_html(const std::vector<StationSummary>& stations, int64_t reference) {
    std::string html = page_head("assay: stations");
    append(html, "<h1>Stations</h1>\n<p>Evaluations with a component detected or flagged, counted back from ",
           trend::time_text(reference, true), ".</p>\n<table>\n<tr><th>Station</th><th>Last measurement</th>",
           "<th>Last dose rate</th><th>Detected 24 h</th><th>Flagged 24 h</th><th>Detected 30 d</th>",
           "<th>Flagged 30 d</th><th>Evaluations</th></tr>\n");
    for (const StationSummary& s : stations) {
        append(html, "<tr><td><a href=\"", xml(url_path(station_page_name(s.station))), "\">", xml(s.station),
               "</a></td><td>", s.evaluations > 0 ? trend::time_text(s.last_start_seconds, s.last_start_utc) : "",
               "</td><td>", s.last_dose_rate ? format("%.2f", *s.last_dose_rate) : std::string("none"), " ",
               xml(s.dose_unit), "</td>");
        for (const int count : {s.detected_day, s.flagged_day, s.detected_month, s.flagged_month}) {
            append(html, count > 0 ? "<td class=\"hit\">" : "<td>", std::to_string(count), "</td>");
        }
        append(html, "<td>", std::to_string(s.evaluations), "</td></tr>\n");
    }
    html += "</table>\n</body>\n</html>\n";
    return html;
}

std::string trend_station_html(const std::string& station, const StationSeries& series,
                               const std::string& out_directory) {
    const std::vector<SeriesPoint>& points = series.evaluations;
    std::string html = page_head("assay: " + station);
    append(html, "<p><a href=\"index.html\">All stations</a></p>\n<h1>", xml(station), "</h1>\n");
    if (points.empty()) return html + "<p>No evaluations in the range.</p>\n</body>\n</html>\n";
    const bool modified = std::any_of(points.begin(), points.end(), [](const SeriesPoint& p) {
        return p.start_time_source != kStartFromFile;
    });
    append(html, "<p>", std::to_string(points.size()), " evaluations from ",
           trend::time_text(points.front().start_seconds, points.front().start_utc), " to ",
           trend::time_text(points.back().start_seconds, points.back().start_utc),
           ". Times ending in Z are UTC, others the local time the files state",
           modified ? "; some are taken from the files' modification times (see each mark's note)" : "",
           ".</p>\n<p class=\"legend\"><span>&#9679; detected</span><span>&#9675; not detected</span>"
           "<span style=\"color:#c00\">&#9711; flagged (linked to its picture)</span>"
           "<span style=\"color:#d80\">- - decision threshold</span><span style=\"color:#58a\">| "
           "uncertainty or coverage interval</span></p>\n");

    std::vector<std::string> links;
    std::vector<trend::Mark> dose;
    std::string dose_unit;
    for (const SeriesPoint& p : points) {
        links.push_back(picture_link(p.picture, out_directory));
        if (!p.dose_unit.empty()) dose_unit = p.dose_unit;
        if (!p.dose_rate) continue;
        trend::Mark mark;
        mark.seconds = p.start_seconds;
        mark.utc = p.start_utc;
        mark.value = *p.dose_rate;
        mark.flagged = p.flagged;
        mark.link = links.back();
        mark.title = trend::time_text(p.start_seconds, p.start_utc) + ": " + format("%.6g", *p.dose_rate) +
                     (p.flagged ? ", flagged" : "");
        dose.push_back(std::move(mark));
    }
    append(html, "<section>\n<h2>Dose rate</h2>\n",
           trend::series_svg("dose rate", dose_unit.empty() ? "dose rate" : "dose rate (" + dose_unit + ")", dose,
                             false),
           "</section>\n");
    for (const auto& [component, values] : series.components) {
        append(html, "<section>\n<h2>", xml(component.name), "</h2>\n",
               trend::series_svg(component.name, component.name + " (" + component.unit + ")",
                                 component_marks(points, values, links), true),
               "</section>\n");
    }
    html += "</body>\n</html>\n";
    return html;
}

Expected<StationSeries> station_series(ResultStore& store, const std::string& station, int64_t from, int64_t to) {
    StationSeries series;
    Expected<std::vector<SeriesPoint>> evaluations = store.series(station, from, to);
    if (!evaluations) return evaluations.error();
    series.evaluations = std::move(*evaluations);
    const Expected<std::vector<ComponentName>> components = store.components(station);
    if (!components) return components.error();
    for (const ComponentName& component : *components) {
        Expected<std::vector<ComponentPoint>> values = store.component_series(station, component.name, from, to);
        if (!values) return values.error();
        series.components.emplace_back(component, std::move(*values));
    }
    return series;
}

int write_trend_site(const TrendOptions& options, FILE* diagnostics) {
    Expected<std::unique_ptr<ResultStore>> store = open_sqlite_store(options.db_path, false);
    if (!store) {
        diagnose(diagnostics, format("%s: results database cannot be read: %s", options.db_path.c_str(),
                                     store.error().message.c_str()));
        return 1;
    }
    std::error_code error;
    fs::create_directories(options.out_directory, error);
    if (error || !fs::is_directory(options.out_directory)) {
        const std::string cause = error ? error.message() : "not a directory";
        diagnose(diagnostics, format("%s: directory for the pages cannot be created: %s",
                                     options.out_directory.c_str(), cause.c_str()));
        return 1;
    }
    const Expected<std::vector<StationSummary>> stations = (*store)->stations(options.reference);
    if (!stations) {
        diagnose(diagnostics, format("%s: %s", options.db_path.c_str(), stations.error().message.c_str()));
        return 1;
    }
    const auto write = [&](const std::string& name, const std::string& html) {
        const fs::path path = fs::path(options.out_directory) / name;
        if (Status written = write_whole_file(path.string(), html); !written) {
            diagnose(diagnostics, format("%s: %s", path.string().c_str(), written.error().c_str()));
            return false;
        }
        return true;
    };
    for (const StationSummary& s : *stations) {
        const Expected<StationSeries> series = station_series(**store, s.station, options.from, options.to);
        if (!series) {
            diagnose(diagnostics, format("%s: %s", options.db_path.c_str(), series.error().message.c_str()));
            return 1;
        }
        if (!write(station_page_name(s.station), trend_station_html(s.station, *series, options.out_directory))) {
            return 1;
        }
    }
    return write("index.html", trend_index_html(*stations, options.reference)) ? 0 : 1;
}
