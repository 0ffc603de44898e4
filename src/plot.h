// Pictures of evaluations: one SVG per evaluated row, and an HTML index of
// them. Fed with the values the report holds; nothing here touches the
// analysis.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "main.h"

struct PlotComponent {
    std::string name;
    std::string unit;
    float activity = 0.0f;      // after the division by the standard factor, as in the table
    float activity_sd = 0.0f;
    bool detected = false;      // not below_limit
    bool over_limit = false;
    std::vector<std::pair<int32_t, int32_t>> rois;  // full-scale channels, both bounds inclusive
};

// Everything one picture shows.
struct PlotData {
    int row = 0;                  // 1 for the first row of the table
    std::string entry;            // the configuration token, "*" included
    bool analysis_failed = false; // the fit failed: activities are those of the row before
    uint64_t live_time = 0;       // s
    uint64_t real_time = 0;       // s
    float dead_time_percent = 0.0f;
    float weight = 1.0f;
    float qfit = 0.0f;
    float gain = 0.0f;
    bool gain_at_scan_edge = false;
    std::optional<float> dose_rate;   // none when the dose calibration is incomplete
    bool unknown_found = false;
    std::vector<PlotComponent> components;
    std::vector<float> measured;  // kChannels counts: the sum after the winning gain correction
    std::vector<float> expected;  // kChannels counts: local background plus fitted components
};

// The file name of a row's picture: the row number (four digits), "_", and the
// entry with every character outside [A-Za-z0-9._-] replaced by "_", then ".svg".
std::string plot_file_name(int row, const std::string& entry);

// The SVG document of one evaluation.
std::string plot_svg(const PlotData& data);

// One row of the index page.
struct IndexRow {
    PlotData data;           // measured and expected may be left empty here
    std::string file_name;   // of the picture, relative to the index
};

// The HTML page listing every row with its values, flags and a thumbnail
// linking to its picture; self-contained, for opening from the file system.
std::string plot_index_html(const std::string& title, const std::vector<IndexRow>& rows);
