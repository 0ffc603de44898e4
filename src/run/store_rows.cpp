#include "run/store_rows.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/sha256.h"
#include "output/json.h"
#include "output/table.h"

namespace {

namespace fs = std::filesystem;

std::optional<double> value_unless(bool failed, float value) {
    if (failed) return std::nullopt;
    return static_cast<double>(value);
}

std::optional<double> finite(float value) {
    if (std::isnan(value)) return std::nullopt;
    return static_cast<double>(value);
}

std::optional<double> finite_double(double value) {
    if (std::isnan(value)) return std::nullopt;
    return value;
}

// s since 1970 (UTC) of the file's last modification.
std::optional<int64_t> modified_seconds(const std::string& name) {
    std::error_code error;
    const fs::file_time_type modified = fs::last_write_time(name, error);
    if (error) return std::nullopt;
    const auto system = std::chrono::file_clock::to_sys(modified);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

}  // namespace

std::string files_sha256(const SpectrumSum& sum) {
    Sha256 hash;
    for (const SumFile& file : sum.files) {
        hash.add(file.name);
        hash.add(std::string_view("\0", 1));
        std::ifstream in(file.name, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            hash.add("?");
            continue;
        }
        hash.add(std::to_string(bytes.size()));
        hash.add(std::string_view("\0", 1));
        hash.add(bytes);
    }
    return hash.hex_digest();
}

StoreTimes store_times(const SpectrumSum& sum, int64_t run_start_seconds) {
    const MeasurementSpan span = measurement_span(sum);
    if (span.start && span.end) return {span.start->seconds, span.end->seconds, span.start->utc, kStartFromFile};
    StoreTimes times{run_start_seconds, run_start_seconds, true, kStartFromRun};
    std::optional<int64_t> start, end;
    for (const SumFile& file : sum.files) {
        const std::optional<int64_t> modified = modified_seconds(file.name);
        if (!modified) return times;
        const int64_t real_s = static_cast<int64_t>(file.real_time_us / 1000000);
        start = std::min(start.value_or(*modified - real_s), *modified - real_s);
        end = std::max(end.value_or(*modified), *modified);
    }
    if (!start) return times;
    return {*start, *end, true, kStartFromModified};
}

StoredEvaluation stored_evaluation(const FinishedRow& row, const SpectrumSum& sum, bool flagged,
                                   const std::string& picture, int64_t run_start_seconds) {
    const bool failed = row.analysis_failed;
    StoredEvaluation e;
    e.entry_index = row.index;
    e.row = row.row;
    e.entry = row.entry;
    e.files_sha256 = files_sha256(sum);
    std::vector<std::string> names;
    for (const std::string& name : row.sum_of) names.push_back(json_string(name));
    e.sum_of = json_array(names.data(), names.size());
    e.analysis_failed = failed;
    if (!row.measurement_start.empty()) e.measurement_start = row.measurement_start;
    if (!row.measurement_end.empty()) e.measurement_end = row.measurement_end;
    const StoreTimes times = store_times(sum, run_start_seconds);
    e.start_seconds = times.start_seconds;
    e.end_seconds = times.end_seconds;
    e.start_utc = times.utc;
    e.start_time_source = times.source;
    e.live_time_s = row.live_time;
    e.real_time_s = row.real_time;
    e.live_time_us = row.live_time_us;
    e.real_time_us = row.real_time_us;
    e.dead_time_percent = row.dead_time_percent;
    e.weight = row.weight;
    e.qfit = value_unless(failed, row.qfit);
    e.gain = value_unless(failed, row.gain);
    if (row.fit) {
        e.chi_square_per_dof = row.fit->chi_square_per_dof;
        e.p_value = row.fit->p_value;
    }
    if (row.dose_rate) e.dose_rate = static_cast<double>(*row.dose_rate);
    e.dose_unit = row.dose_unit;
    e.flagged = flagged;
    if (!failed) {
        e.unknown_found = row.unknown_found;
        e.unknown_peaks = static_cast<int>(row.unknown_peaks.size());
        e.gain_at_scan_edge = row.gain_at_scan_edge;
    }
    if (row.fit && !std::isnan(row.fit->p_value)) e.fit_poor = row.fit->fit_poor;
    e.over_limit = over_a_limit(row);
    if (row.dose_rate) e.dose_dead_time_over_limit = row.dose_dead_time_over_limit;
    e.limit_status = row.limit_status;
    e.summary_activity = row.summary_activity;
    e.summary_fraction = row.summary_fraction;
    e.row_text = table_row_text(row, true);
    e.row_text.pop_back();
    e.picture = picture;
    for (const RowComponent& c : row.components) {
        StoredComponent s;
        s.name = c.name;
        s.unit = c.unit;
        const bool valued = !failed && std::isfinite(c.activity);
        s.activity = value_unless(failed, c.activity);
        s.activity_sd = value_unless(failed, c.activity_sd);
        s.decision_threshold = finite(c.decision_threshold);
        s.detection_limit = finite(c.detection_limit);
        if (valued) {
            s.detected = c.detected;
            s.below_method_limit = c.below_method_limit;
        }
        s.over_limit = c.over_limit;
        s.count_rate_cpm = c.count_rate_cpm;
        if (row.fit && !std::isnan(c.roi_p_value)) s.interfered = c.interfered;
        s.uncertainty = finite_double(c.uncertainty);
        s.best_estimate = finite_double(c.best_estimate);
        s.coverage_lower = finite_double(c.coverage_lower);
        s.coverage_upper = finite_double(c.coverage_upper);
        e.components.push_back(std::move(s));
    }
    return e;
}
