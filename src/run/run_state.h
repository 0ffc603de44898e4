// What one run keeps while it walks the configuration: its records, the sum
// of spectra and the weight in force, the dose calibration, the open report,
// the rows drawn so far and the tallies of the summary. Owned by run_assay.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/file.h"
#include "core/records.h"
#include "core/text.h"
#include "input/dose_file.h"
#include "input/method_metadata.h"
#include "input/spectrum_file.h"
#include "output/plot.h"
#include "output/report.h"
#include "run/run.h"
#include "run/sum.h"
#include "store/store.h"

// What a spectrum file was, for the report.
SourceFile source_of(const SpectrumFile& file);

struct Run {
    Run(FILE* console_stream, FILE* diagnostics_stream, const RunOptions& run_options)
        : console(console_stream), diagnostics(diagnostics_stream), options(run_options) {}
    FILE* console;
    FILE* diagnostics;
    RunOptions options;
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();
    std::unique_ptr<NameTable> names = std::make_unique<NameTable>();
    std::unique_ptr<StandardFactors> factors = std::make_unique<StandardFactors>();
    std::unique_ptr<LocalBackground> local_background = std::make_unique<LocalBackground>();
    std::unique_ptr<SpectrumSum> sum = std::make_unique<SpectrumSum>();
    float weight = 1.0f;  // in force from the last weight entry on
    DoseCalibration dose;
    File report;
    std::vector<IndexRow> plotted;  // the rows drawn so far, for the index
    std::string method_name;
    // The energy calibration of the first spectrum file the method references
    // that gives one: the standards' scale for --gain-search calibration.
    std::vector<double> standards_calibration;
    std::vector<std::string> standards_problems;  // said before the first evaluation
    MethodMetadata metadata;  // the method's metadata file; problems make --strict exit 3
    ReportSummary tally;
    std::string start_time;                // UTC, ISO 8601: when the run started
    int64_t start_seconds = 0;             // the same, s since 1970
    std::unique_ptr<ResultStore> store;  // open with --db
    StoredRun stored_run;                  // the run as the store tags its rows
    bool nothing_to_run = false;  // no config.txt, no method name, or no method
    bool write_failed = false;

    // Reports a failed write once; every failed write makes the exit status 1.
    void write_failure(const std::string& message) {
        if (!write_failed) diagnose(diagnostics, message);
        write_failed = true;
    }
};

// Writes one line of the report (nothing without a report), flushed so that
// the report can be followed while it grows.
void write_report_line(Run& run, const std::string& line);
