#include "output/report.h"

#include <vector>

#include "output/json.h"

std::string report_entry_line(const ReportEntry& entry) {
    JsonObject line;
    line.text("entry", entry.token).integer("index", entry.index).text("kind", entry.kind);
    line.text("file", entry.file).text("status", entry.status);
    if (!entry.reason.empty()) line.text("reason", entry.reason);
    return line.str();
}

std::string report_row_line(const FinishedRow& row) {
    JsonObject line;
    line.text("entry", row.entry).integer("index", row.index).text("kind", "evaluate");
    line.text("file", row.entry.substr(1));
    line.text("status", row.analysis_failed ? "analysis_failed" : "evaluated");
    std::vector<std::string> files;
    for (const std::string& file : row.sum_of) files.push_back(json_string(file));
    line.field("sum_of", json_array(files.data(), files.size()));
    line.unsigned_integer("live_time_s", row.live_time).unsigned_integer("real_time_s", row.real_time);
    line.number("dead_time_percent", row.dead_time_percent);
    line.number("weight", row.weight).number("qfit", row.qfit).number("gain", row.gain);
    if (row.analysis_failed) {
        line.null("gain_at_scan_edge");
    } else {
        line.boolean("gain_at_scan_edge", row.gain_at_scan_edge);
    }
    line.integer("limit_status", row.limit_status);
    line.boolean("unknown_found", row.unknown_found);
    line.number("summary_activity", row.summary_activity);
    line.number("summary_fraction", row.summary_fraction);
    if (row.dose_rate) {
        line.number("dose_rate", *row.dose_rate);
        line.boolean("dose_dead_time_over_limit", row.dose_dead_time_over_limit);
    } else {
        line.null("dose_rate").null("dose_dead_time_over_limit");
    }
    std::vector<std::string> components;
    for (const RowComponent& c : row.components) {
        JsonObject component;
        component.text("name", c.name).text("unit", c.unit);
        component.number("activity", c.activity).number("activity_sd", c.activity_sd);
        component.boolean("detected", c.detected).boolean("over_limit", c.over_limit);
        component.number("count_rate_cpm", c.count_rate_cpm);
        components.push_back(component.str());
    }
    line.field("components", json_array(components.data(), components.size()));
    return line.str();
}
