#include "output/report.h"

#include <cmath>

#include "core/version.h"
#include "output/json.h"

namespace {

std::string strings_array(const std::vector<std::string>& texts) {
    std::vector<std::string> values;
    for (const std::string& text : texts) values.push_back(json_string(text));
    return json_array(values.data(), values.size());
}

std::string numbers_array(const std::vector<double>& numbers) {
    std::vector<std::string> values;
    for (const double number : numbers) values.push_back(json_number(number));
    return json_array(values.data(), values.size());
}

// `text`, or null where it is empty.
void optional_text(JsonObject& line, const char* key, const std::string& text) {
    if (text.empty()) {
        line.null(key);
    } else {
        line.text(key, text);
    }
}

void source_fields(JsonObject& line, const SourceFile& source) {
    if (source.format == nullptr) return;
    line.text("format", source.format).integer("source_channels", source.source_channels);
    optional_text(line, "conversion", source.conversion);
    if (source.calibration.empty()) {
        line.null("energy_calibration");
    } else {
        line.field("energy_calibration", numbers_array(source.calibration));
    }
    line.field("unread", strings_array(source.unread));
    optional_text(line, "start_time", source.start_time);
}

void optional_number(JsonObject& line, const char* key, const std::optional<float>& value) {
    if (value) {
        line.number(key, *value);
    } else {
        line.null(key);
    }
}

// The checks against the fit's model: the interfered components by name and
// the unknown peaks; null for a failed fit.
void interference_fields(JsonObject& line, const FinishedRow& row) {
    if (row.analysis_failed) {
        line.null("interfered").null("unknown_peaks");
        return;
    }
    std::vector<std::string> names;
    for (const RowComponent& c : row.components) {
        if (c.interfered) names.push_back(c.name);
    }
    line.field("interfered", strings_array(names));
    std::vector<std::string> peaks;
    for (const RowUnknownPeak& p : row.unknown_peaks) {
        JsonObject peak;
        peak.integer("channel", p.channel).number("energy_kev", p.energy_kev);
        peak.number("net_counts", p.net_counts).number("significance", p.significance);
        peak.number("fwhm_channels", p.fwhm).number("fwhm_kev", p.fwhm_kev);
        peaks.push_back(peak.str());
    }
    line.field("unknown_peaks", json_array(peaks.data(), peaks.size()));
}

// The component's uncertainty, budget, best estimate and coverage interval
// (numbers are null where NaN), and its standard's net counts.
void uncertainty_fields(JsonObject& component, const RowComponent& c) {
    component.number("uncertainty", c.uncertainty);
    if (std::isnan(c.counting_share)) {
        component.null("uncertainty_budget");
    } else {
        JsonObject budget;
        budget.number("counting", c.counting_share).number("standards", c.standards_share);
        budget.number("calibration", c.calibration_share);
        component.field("uncertainty_budget", budget.str());
    }
    component.number("best_estimate", c.best_estimate);
    component.number("best_estimate_uncertainty", c.best_estimate_uncertainty);
    if (std::isnan(c.coverage_lower) || std::isnan(c.coverage_upper)) {
        component.null("coverage_interval");
    } else {
        component.field("coverage_interval", numbers_array({c.coverage_lower, c.coverage_upper}));
    }
    if (c.detection_limit_missing == nullptr) {
        component.null("detection_limit_missing");
    } else {
        component.text("detection_limit_missing", c.detection_limit_missing);
    }
    component.number("standard_net_counts", c.standard_net_counts);
    component.boolean("standard_counts_low", c.standard_counts_low);
}

}  // namespace

std::string report_run_line(const ReportRun& run) {
    JsonObject line;
    line.text("kind", "run").integer("schema_version", kReportSchemaVersion);
    line.text("program", "assay").text("program_version", program_version());
    line.text("start_time", run.start_time).text("working_directory", run.working_directory);
    if (run.method_file) {
        line.text("method_file", *run.method_file);
    } else {
        line.null("method_file");
    }
    if (run.metadata_file) {
        line.text("metadata_file", *run.metadata_file);
        optional_text(line, "metadata_sha256", run.metadata_sha256);
    } else {
        line.null("metadata_file").null("metadata_sha256");
    }
    JsonObject options;
    for (const auto& [name, value] : run.options) options.field(name.c_str(), value);
    line.field("options", options.str());
    return line.str();
}

std::string report_entry_line(const ReportEntry& entry) {
    JsonObject line;
    line.text("kind", entry.kind).text("entry", entry.token).integer("index", entry.index);
    line.null("row").null("picture");
    if (!entry.file.empty()) line.text("file", entry.file);
    line.text("status", entry.status);
    if (!entry.reason.empty()) line.text("reason", entry.reason);
    if (entry.weight) line.number("weight", *entry.weight);
    source_fields(line, entry.source);
    return line.str();
}

std::string report_row_line(const FinishedRow& row) {
    const bool failed = row.analysis_failed;
    JsonObject line;
    line.text("kind", "evaluate").text("entry", row.entry).integer("index", row.index);
    line.integer("row", row.row);
    if (row.picture.empty()) {
        line.null("picture");
    } else {
        line.text("picture", row.picture);
    }
    line.text("file", row.entry.substr(1));
    line.text("status", failed ? "analysis_failed" : "evaluated");
    if (failed) {
        if (row.repeats_row) {
            line.integer("table_repeats_row", *row.repeats_row);
        } else {
            line.null("table_repeats_row");
        }
    }
    source_fields(line, row.source);
    line.field("sum_of", strings_array(row.sum_of));
    line.unsigned_integer("live_time_s", row.live_time).unsigned_integer("real_time_s", row.real_time);
    line.unsigned_integer("live_time_us", row.live_time_us);
    line.unsigned_integer("real_time_us", row.real_time_us);
    optional_text(line, "measurement_start", row.measurement_start);
    optional_text(line, "measurement_end", row.measurement_end);
    line.number("dead_time_percent", row.dead_time_percent);
    line.number("live_time_dropped_percent", row.live_time_dropped_percent);
    line.number("weight", row.weight);
    // A failed fit has no results of its own; the table repeats older ones.
    optional_number(line, "qfit", failed ? std::nullopt : std::optional<float>(row.qfit));
    optional_number(line, "gain", failed ? std::nullopt : std::optional<float>(row.gain));
    if (failed) {
        line.null("gain_at_scan_edge").null("unknown_found");
    } else {
        line.boolean("gain_at_scan_edge", row.gain_at_scan_edge);
        line.boolean("unknown_found", row.unknown_found);
    }
    if (row.fit) {
        const RowFit& fit = *row.fit;
        line.number("chi_square", fit.chi_square).integer("degrees_of_freedom", fit.degrees_of_freedom);
        line.number("chi_square_per_dof", fit.chi_square_per_dof).number("p_value", fit.p_value);
        if (std::isnan(fit.p_value)) {
            line.null("fit_poor");
        } else {
            line.boolean("fit_poor", fit.fit_poor);
        }
        line.number("scan_lowest_gain", fit.scan_lowest).number("scan_highest_gain", fit.scan_highest);
        line.number("first_pass_gain", fit.first_pass_gain);
        if (!fit.gain_search.empty()) {
            line.text("gain_search", fit.gain_search);
            line.number("coarse_gain", fit.coarse_gain).number("scan_centre", fit.scan_centre);
        }
    } else {
        line.null("chi_square").null("degrees_of_freedom").null("chi_square_per_dof").null("p_value");
        line.null("fit_poor").null("scan_lowest_gain").null("scan_highest_gain").null("first_pass_gain");
    }
    line.boolean("over_partial_limit", (row.limit_status & 1) != 0);
    line.boolean("over_total_limit", (row.limit_status & 2) != 0);
    line.boolean("over_fraction_limit", (row.limit_status & 4) != 0);
    line.number("summary_activity", row.summary_activity);
    line.number("summary_fraction", row.summary_fraction);
    optional_number(line, "dose_rate", row.dose_rate);
    if (row.dose_rate) {
        line.boolean("dose_dead_time_over_limit", row.dose_dead_time_over_limit);
        line.text("dose_quantity", row.dose_quantity != nullptr ? row.dose_quantity : "");
    } else {
        line.null("dose_dead_time_over_limit").null("dose_quantity");
    }
    if (row.dose_unit.empty()) {
        line.null("dose_unit");
    } else {
        line.text("dose_unit", row.dose_unit);
    }
    std::vector<std::string> components;
    for (const RowComponent& c : row.components) {
        JsonObject component;
        component.text("name", c.name).text("unit", c.unit);
        const bool valued = !failed && std::isfinite(c.activity);
        optional_number(component, "activity", failed ? std::nullopt : std::optional<float>(c.activity));
        optional_number(component, "activity_sd",
                        failed ? std::nullopt : std::optional<float>(c.activity_sd));
        component.number("decision_threshold", c.decision_threshold);
        component.number("detection_limit", c.detection_limit);
        if (valued && c.detected) {
            component.boolean("detected", *c.detected);
        } else {
            component.null("detected");
        }
        if (valued) {
            component.boolean("below_method_limit", c.below_method_limit);
        } else {
            component.null("below_method_limit");
        }
        component.boolean("over_limit", c.over_limit);
        component.number("count_rate_cpm", c.count_rate_cpm);
        component.number("roi_chi_square", c.roi_chi_square);
        component.integer("roi_degrees_of_freedom", c.roi_degrees_of_freedom);
        component.number("roi_p_value", c.roi_p_value);
        uncertainty_fields(component, c);
        components.push_back(component.str());
    }
    line.field("components", json_array(components.data(), components.size()));
    interference_fields(line, row);
    return line.str();
}

std::string report_summary_line(const ReportSummary& s) {
    JsonObject line;
    line.text("kind", "summary").integer("entries", s.entries).integer("evaluations", s.evaluations);
    line.integer("failed_fits", s.failed_fits).integer("skipped_entries", s.skipped);
    JsonObject flags;
    flags.integer("unknown_nuclide", s.unknown_nuclide).integer("over_limit", s.over_limit);
    flags.integer("gain_at_scan_edge", s.gain_at_scan_edge).integer("fit_poor", s.fit_poor);
    flags.integer("dose_dead_time_over_limit", s.dose_dead_time_over_limit);
    flags.integer("interfered", s.interfered);
    line.field("flagged", flags.str());
    line.integer("pictures", s.pictures);
    line.boolean("dose_calibration_complete", s.dose_calibration_complete);
    line.integer("exit_status", s.exit_status);
    return line.str();
}
