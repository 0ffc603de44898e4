// The results store: every evaluation of every run, tagged with its station,
// kept in a database that many runs write side by side and the trend pages
// read. The records here are the store's whole face; the database behind it
// (SQLite today) is the implementation's, so that a server database can take
// the same schema later. docs/database.md documents the schema.
//
// In: plain records of a run and its evaluations.
// Out: rows in the database, one transaction per evaluation; series and
// station summaries read back.
// Failure: every operation returns the database's reason in words; nothing
// is written of an evaluation whose transaction failed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/expected.h"

// Raised whenever a table or column changes meaning or goes away; stored
// as the database's user_version.
inline constexpr int kStoreSchemaVersion = 1;

// A run of the program in one working directory.
struct StoredRun {
    std::string station;            // the tag of every row of the run
    std::string working_directory;  // absolute
    std::string start_time;         // UTC, ISO 8601 ending in Z
    std::string program_version;
    std::string method_file;        // as config.txt names it
    std::string options;            // the run's options, one JSON object
};

// Where an evaluation's start time comes from.
inline constexpr const char* kStartFromFile = "file";          // stated in the spectrum files
inline constexpr const char* kStartFromModified = "modified";  // file modification time less real time
inline constexpr const char* kStartFromRun = "run";  // neither could be had: the run's start

struct StoredComponent {
    std::string name;
    std::string unit;
    // In the component's unit; none after a failed fit (the table repeats
    // older values then, the store does not).
    std::optional<double> activity;
    std::optional<double> activity_sd;
    // Characteristic limits in the activity's unit; none where there are none.
    std::optional<double> decision_threshold;
    std::optional<double> detection_limit;
    // Combined standard uncertainty, best estimate and the bounds of the
    // coverage interval, in the activity's unit; none while not evaluated.
    std::optional<double> uncertainty;
    std::optional<double> best_estimate;
    std::optional<double> coverage_lower;
    std::optional<double> coverage_upper;
    std::optional<bool> detected;            // above the decision threshold
    std::optional<bool> below_method_limit;
    std::optional<bool> interfered;          // none while not evaluated
    bool over_limit = false;
    double count_rate_cpm = 0.0;             // counts per minute in the first ROI
};

struct StoredEvaluation {
    int entry_index = 0;       // position among the configuration's entries, from 1
    int row = 0;               // row of the result table, from 1
    std::string entry;         // the configuration token
    std::string files_sha256;  // of the summed files' names and bytes, in order
    std::string sum_of;        // the summed files' names, a JSON array
    bool analysis_failed = false;
    // ISO 8601 as the report writes it ("Z" for UTC); none where unknown.
    std::optional<std::string> measurement_start;
    std::optional<std::string> measurement_end;
    // Seconds since 1970 on the clock of measurement_start (UTC when
    // start_utc), and where they come from (kStartFrom...); the series axis.
    int64_t start_seconds = 0;
    int64_t end_seconds = 0;
    bool start_utc = false;
    std::string start_time_source;
    uint64_t live_time_s = 0, real_time_s = 0, live_time_us = 0, real_time_us = 0;
    double dead_time_percent = 0.0;
    double weight = 1.0;
    std::optional<double> qfit;   // none after a failed fit
    std::optional<double> gain;
    std::optional<double> chi_square_per_dof;
    std::optional<double> p_value;
    std::optional<double> dose_rate;  // none without a complete dose calibration
    std::string dose_unit;            // empty: none named
    // Flags; `flagged` is any of them, as the pictures select. None where
    // the report has none: the first two after a failed fit, fit_poor
    // without a p-value, the dead-time flag without a dose rate.
    bool flagged = false;
    std::optional<bool> unknown_found;
    std::optional<bool> gain_at_scan_edge;
    std::optional<bool> fit_poor;
    bool over_limit = false;
    std::optional<bool> dose_dead_time_over_limit;
    int limit_status = 0;   // bit 0 partial, bit 1 total, bit 2 fraction limit
    int unknown_peaks = 0;  // peaks the fit's model does not explain; 0 after a failed fit
    double summary_activity = 0.0;
    double summary_fraction = 0.0;
    std::string row_text;   // the row of result.txt, without its line end
    std::string picture;    // absolute path of the row's picture; empty: none drawn
    std::vector<StoredComponent> components;
};

// One point of a station's series: an evaluation.
struct SeriesPoint {
    int64_t evaluation_id = 0;      // the store's own key of the evaluation
    int64_t start_seconds = 0;
    bool start_utc = false;
    std::string start_time_source;
    std::optional<double> dose_rate;
    std::string dose_unit;
    bool flagged = false;
    std::string picture;            // absolute path; empty: none drawn
};

// A component a station's evaluations hold.
struct ComponentName {
    std::string name;
    std::string unit;
};

// One point of a component's series. `values` holds what a chart draws:
// name, unit, activity, activity_sd, decision_threshold, uncertainty, the
// coverage interval and detected; the other fields are left empty.
struct ComponentPoint {
    int64_t evaluation_id = 0;  // as SeriesPoint::evaluation_id
    int64_t start_seconds = 0;
    StoredComponent values;
};

struct StationSummary {
    std::string station;
    int64_t last_start_seconds = 0;  // the latest evaluation
    bool last_start_utc = false;
    std::optional<double> last_dose_rate;
    std::string dose_unit;
    int evaluations = 0;
    // Evaluations with a component detected, and flagged ones, that started
    // within a day and within 30 days before the reference time.
    int detected_day = 0, flagged_day = 0, detected_month = 0, flagged_month = 0;
};

class ResultStore {
public:
    virtual ~ResultStore() = default;
    // Writes `evaluation` of `run` in one transaction, the run's own row
    // with its first evaluation. Replaces the row of the same station, entry
    // index and files_sha256 an earlier run wrote, so that running a
    // directory again adds nothing.
    virtual Status write(const StoredRun& run, const StoredEvaluation& evaluation) = 0;
    // Every station, in name order, summarised at `reference_seconds`.
    virtual Expected<std::vector<StationSummary>> stations(int64_t reference_seconds) = 0;
    // One station's evaluations that started from `from` to `to` (seconds,
    // both included), in time order (then evaluation_id).
    virtual Expected<std::vector<SeriesPoint>> series(const std::string& station, int64_t from, int64_t to) = 0;
    // The components the station's evaluations hold, in the method's order.
    virtual Expected<std::vector<ComponentName>> components(const std::string& station) = 0;
    // One component's values in the station's evaluations from `from` to
    // `to`, in the order of series(). Read apart from series(): a point
    // whose evaluation a writer added in between has no match there.
    virtual Expected<std::vector<ComponentPoint>> component_series(const std::string& station,
                                                                   const std::string& name, int64_t from,
                                                                   int64_t to) = 0;
};

// The SQLite store in the file `path`: made with its schema when absent
// (`create`), in WAL mode, waiting up to a minute for other writers.
// Failure: the file cannot be opened or made, or holds another schema
// version.
Expected<std::unique_ptr<ResultStore>> open_sqlite_store(const std::string& path, bool create);
