// The trend site: a static set of HTML pages with SVG charts over the results
// database, readable from the file system without scripts or a network.
// index.html lists the stations (last measurement, last dose rate, and how
// many evaluations had something detected or were flagged within the last
// day and 30 days); a page per station draws the dose rate and each
// component's activity over time.
//
// In: the results store (read only) and the options.
// Out: index.html and station-<name>.html in the output directory.
// Failure: the store cannot be read or a page cannot be written: the reason
// on the diagnostics stream and exit status 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "store/store.h"

struct TrendOptions {
    std::string db_path;
    std::string out_directory;
    // The time range drawn, s since 1970 on the rows' own clocks, both
    // included.
    int64_t from = INT64_MIN;
    int64_t to = INT64_MAX;
    // What "the last day" and "the last 30 days" count back from, s since
    // 1970 (UTC).
    int64_t reference = 0;
};

// The file name of a station's page: "station-" and the name with every
// byte outside [A-Za-z0-9._-] as "_", and where that changed the name, a
// "-" and 8 hexadecimal digits of its SHA-256, so that names never share a
// page.
std::string station_page_name(const std::string& station);

// index.html of `stations`.
std::string trend_index_html(const std::vector<StationSummary>& stations, int64_t reference);

// What a station page draws: its evaluations and each component's series.
struct StationSeries {
    std::vector<SeriesPoint> evaluations;
    std::vector<std::pair<ComponentName, std::vector<ComponentPoint>>> components;
};

// Reads what a station page draws from `from` to `to` (s, both included).
Expected<StationSeries> station_series(ResultStore& store, const std::string& station, int64_t from, int64_t to);

// The page of one station: a chart of the dose rate and one per component
// (in the method's order), each an <svg class="series">
// whose marks carry data-time (ISO 8601 as stored: "Z" for UTC) and
// data-value (the value, 9 significant digits: a float's every bit).
// `out_directory` is where the page goes: pictures are linked relative to it.
std::string trend_station_html(const std::string& station, const StationSeries& series,
                               const std::string& out_directory);

// Writes the whole site; returns the exit status (0, or 1 after a diagnostic).
int write_trend_site(const TrendOptions& options, FILE* diagnostics);
