// The report: JSON Lines, readable by other programs (every field is listed
// in docs/report.md). The first line describes the run, then one line per
// entry of the configuration in its order, then a summary line.
//
// In: the run's description, finished rows, the outcome of entries that
// write no row, and the run's tallies.
// Out: one line of JSON each, without its line end.
// Failure: none; writing the lines is the run's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output/row.h"

// Raised whenever a field changes meaning or goes away.
inline constexpr int kReportSchemaVersion = 2;

// The first line.
struct ReportRun {
    std::string start_time;         // UTC, ISO 8601
    std::string working_directory;  // absolute
    std::optional<std::string> method_file;  // none when config.txt names none
    std::optional<std::string> metadata_file;  // the method's metadata file; none when there is none
    std::string metadata_sha256;               // of its bytes; empty when they could not be read
    std::vector<std::pair<std::string, std::string>> options;  // name, value already JSON
};

// An entry that wrote no row: a weight entry, or one that read (or failed to
// read) a spectrum file.
struct ReportEntry {
    std::string token;             // as written in config.txt
    int index = 0;                 // position among the configuration's entries, from 1
    const char* kind = "plain";    // "weight", "plain", "add" or "evaluate"
    std::string file;              // the spectrum file; empty for a weight entry
    const char* status = "read";   // "set", "not_set", "read", "added", "skipped_missing" or
                                   // "skipped_damaged"
    std::string reason;  // for skipped entries and a weight that does not scan, the diagnostic's words
    std::optional<float> weight;  // a weight entry's weight in force after it
    SourceFile source;            // the file read, when one was
};

// The last line: what the run did, counted.
struct ReportSummary {
    int entries = 0;
    int evaluations = 0;
    int failed_fits = 0;
    int skipped = 0;
    int unknown_nuclide = 0;
    int over_limit = 0;
    int gain_at_scan_edge = 0;
    int fit_poor = 0;
    int dose_dead_time_over_limit = 0;
    int pictures = 0;
    bool dose_calibration_complete = false;
    int exit_status = 0;
    int interfered = 0;  // rows with some component's ROIs interfered
};

std::string report_run_line(const ReportRun& run);
std::string report_entry_line(const ReportEntry& entry);
std::string report_row_line(const FinishedRow& row);
std::string report_summary_line(const ReportSummary& summary);
