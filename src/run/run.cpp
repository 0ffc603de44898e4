#include "run/run.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "core/file.h"
#include "core/records.h"
#include "core/text.h"
#include "core/version.h"
#include "input/config_file.h"
#include "input/dose_file.h"
#include "input/method_file.h"
#include "input/scan.h"
#include "input/spectrum_file.h"
#include "input/text_file.h"
#include "output/json.h"
#include "output/plot.h"
#include "output/report.h"
#include "output/table.h"
#include "run/evaluation.h"
#include "run/ordered_output.h"
#include "run/output_paths.h"
#include "run/pool.h"
#include "run/run_state.h"
#include "run/sum.h"

namespace {

namespace fs = std::filesystem;

const char* entry_kind_word(EntryKind kind) {
    switch (kind) {
        case EntryKind::weight: return "weight";
        case EntryKind::add: return "add";
        case EntryKind::evaluate: return "evaluate";
        case EntryKind::plain: break;
    }
    return "plain";
}

std::string utc_text(std::time_t now) {
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string working_directory() {
    std::error_code error;
    const fs::path here = fs::current_path(error);
    return error ? std::string(".") : here.string();
}

// The run's options as the report's first line and the results store name
// them: name, value already JSON.
std::vector<std::pair<std::string, std::string>> option_fields(const RunOptions& o) {
    const auto text_or_null = [](const std::string& text) {
        return text.empty() ? std::string("null") : json_string(text);
    };
    std::vector<std::pair<std::string, std::string>> options = {
        {"threads", o.threads > 0 ? std::to_string(o.threads) : std::string("null")},
        {"straightforward", o.straightforward ? "true" : "false"},
        {"report", json_string(o.report_path)},
        {"plot", text_or_null(o.plot_directory)},
        {"plot_select", json_string(o.plot_select == PlotSelect::all ? "all" : "flagged")},
        {"strict", o.strict ? "true" : "false"},
        {"dose_unit", text_or_null(o.dose_unit)},
        {"alpha", json_number(o.alpha)},
        {"beta", json_number(o.beta)},
        {"unknown_sigma", json_number(o.unknown_sigma)},
        {"interference_p", json_number(o.interference_p)},
        {"coverage", json_number(o.coverage)},
    };
    // Named only when given, so that a report without them stays as it was.
    if (o.gain_search != GainSearch::none) {
        options.emplace_back("gain_search", json_string(o.gain_search == GainSearch::wide ? "wide" : "calibration"));
    }
    if (!o.db_path.empty()) {
        options.emplace_back("db", json_string(o.db_path));
        options.emplace_back("station", json_string(o.station));
    }
    return options;
}

// The first line of the report: what runs, where, when, and how.
void write_run_line(Run& run, std::optional<std::string> method_file) {
    if (!run.report) return;
    ReportRun line;
    line.start_time = run.start_time;
    line.working_directory = working_directory();
    line.method_file = std::move(method_file);
    if (!run.metadata.file.empty()) {
        line.metadata_file = run.metadata.file;
        line.metadata_sha256 = run.metadata.sha256;
    }
    line.options = option_fields(run.options);
    write_report_line(run, report_run_line(line));
}

// Opens the results store and describes the run for it; false (after a
// diagnostic) when it cannot be opened.
bool open_store(Run& run) {
    Expected<std::unique_ptr<ResultStore>> store = open_sqlite_store(run.options.db_path, true);
    if (!store) {
        diagnose(run.diagnostics, format("%s: results database cannot be opened: %s; run not started",
                                         run.options.db_path.c_str(), store.error().message.c_str()));
        return false;
    }
    run.store = std::move(*store);
    StoredRun& stored = run.stored_run;
    stored.station = run.options.station;
    stored.working_directory = working_directory();
    stored.start_time = run.start_time;
    stored.program_version = program_version();
    JsonObject options;
    for (const auto& [name, value] : option_fields(run.options)) options.field(name.c_str(), value);
    stored.options = options.str();
    return true;
}

void write_plot_index(Run& run) {
    const fs::path path = fs::path(run.options.plot_directory) / "index.html";
    if (Status written = write_whole_file(path.string(), plot_index_html("assay: " + run.method_name, run.plotted));
        !written) {
        diagnose(run.diagnostics, format("%s: %s", path.string().c_str(), written.error().c_str()));
        run.write_failed = true;
    }
}

// The report line of an entry that writes no row, without its details.
ReportEntry report_entry(const Entry& entry, int index, const char* status, std::string reason = {}) {
    ReportEntry line;
    line.token = entry.token;
    line.index = index;
    line.kind = entry_kind_word(entry.kind);
    if (entry.kind != EntryKind::weight) line.file = entry.rest;
    line.status = status;
    line.reason = std::move(reason);
    return line;
}

// Where a name that cannot be opened is the second half of a name with a
// blank in it ("*my soil.txt" is two entries), the name that was meant.
std::string white_space_hint(const std::string& previous_entry, const std::string& path) {
    if (previous_entry.empty()) return {};
    const Entry before = classify_entry(previous_entry);
    const std::string joined = before.rest + " " + path;
    std::error_code error;
    if (before.kind == EntryKind::weight || !fs::is_regular_file(joined, error)) return {};
    return format("; names cannot contain white space; did you mean '%s'?", joined.c_str());
}

// Reads an entry's spectrum file; when the file cannot be used, reports it
// (diagnostic and report line) and returns nothing.
std::unique_ptr<SpectrumFile> read_entry_file(Run& run, OrderedOutput& output, const Entry& entry,
                                              int index, const std::string& previous_entry) {
    const auto spectrum =
        std::make_unique<Expected<SpectrumFile, SpectrumFailure>>(read_spectrum_file(entry.rest));
    if (*spectrum) {
        if (spectrum->value().counts_held) {
            output.entry(format("%s: counts beyond the int32 range held at its limit; evaluated with them "
                                "(entry '%s')",
                                entry.rest.c_str(), entry.token.c_str()),
                         {});
        }
        if (const std::string& problem = spectrum->value().start_time_problem; !problem.empty()) {
            output.entry(format("%s: %s; read without a start time (entry '%s')", entry.rest.c_str(),
                                problem.c_str(), entry.token.c_str()),
                         {});
        }
        return std::make_unique<SpectrumFile>(std::move(spectrum->value()));
    }
    const SpectrumFailure& failure = spectrum->error();
    std::string reason = failure.message;
    if (failure.kind == SpectrumFailure::Kind::cannot_open) reason += white_space_hint(previous_entry, entry.rest);
    ++run.tally.skipped;
    std::string report;
    if (run.report) {
        report = report_entry_line(report_entry(
            entry, index,
            failure.kind == SpectrumFailure::Kind::cannot_open ? "skipped_missing" : "skipped_damaged",
            reason));
    }
    output.entry(format("%s: %s; entry '%s' skipped", entry.rest.c_str(), reason.c_str(),
                        entry.token.c_str()),
                 report);
    return nullptr;
}

int thread_count(const RunOptions& options) {
    if (options.straightforward) return 1;
    if (options.threads > 0) return options.threads;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

// A weight entry: the weight in force from here on.
void set_weight(Run& run, OrderedOutput& output, const Entry& entry, int index) {
    TextScanner scanner{entry.rest};
    std::string diagnostic;
    const bool scanned = scan_float(scanner, &run.weight) == ScanStatus::ok;
    const float weight = run.weight;
    if (!scanned) {
        diagnostic = format("%s: weight entry '%s' does not scan; weight stays %g", CONFIG,
                            entry.token.c_str(), weight);
    } else if (weight == 0.0f) {
        diagnostic = format("%s: weight entry '%s' sets the weight to 0; the activities of the rows "
                            "after it are infinite or undefined",
                            CONFIG, entry.token.c_str());
    } else if (std::isnan(weight)) {
        diagnostic = format("%s: weight entry '%s' sets the weight to nan; the activities of the rows "
                            "after it are undefined",
                            CONFIG, entry.token.c_str());
    } else if (weight < 0.0f) {
        diagnostic = format("%s: weight entry '%s' sets a negative weight; the activities of the "
                            "rows after it change sign",
                            CONFIG, entry.token.c_str());
    }
    std::string report;
    if (run.report) {
        ReportEntry line = report_entry(entry, index, scanned ? "set" : "not_set",
                                        scanned ? std::string() : "does not scan");
        line.weight = weight;
        report = report_entry_line(line);
    }
    output.entry(std::move(diagnostic), std::move(report));
}

AnalysisOptions analysis_options(const RunOptions& options) {
    AnalysisOptions analysis;
    analysis.straightforward = options.straightforward;
    analysis.alpha = options.alpha;
    analysis.beta = options.beta;
    analysis.gain_search = options.gain_search;
    analysis.unknown_sigma = options.unknown_sigma;
    analysis.interference_p = options.interference_p;
    // Only the report, the pictures and the store show the limits and the
    // ROI tests.
    analysis.characteristic_limits =
        !options.report_path.empty() || !options.plot_directory.empty() || !options.db_path.empty();
    analysis.roi_tests = analysis.characteristic_limits;
    analysis.coverage = options.coverage;
    // Only the pictures draw the model.
    analysis.model = !options.plot_directory.empty();
    return analysis;
}

// The analysis options of the evaluations: with the method's calibration
// uncertainties, all unknown when its metadata file has a problem.
AnalysisOptions evaluation_options(const Run& run) {
    AnalysisOptions analysis = analysis_options(run.options);
    // The method stays as it is while evaluations read it.
    analysis.method_identity = method_identity(*run.method);
    const bool sound = run.metadata.problems.empty();
    for (int i = 0; i < kMaxComponents; ++i) {
        analysis.calibration_uncertainty[i] = sound ? run.metadata.component[i].calibration_uncertainty : NAN;
    }
    return analysis;
}

// The method's metadata file beside `method_file`, its problems said once.
void read_metadata(Run& run, const std::string& method_file) {
    std::vector<std::string> names;
    for (int i = 0; i < run.method->component_count; ++i) names.emplace_back(run.names->entry[i].name);
    run.metadata = read_method_metadata(method_file, names);
    for (const MetadataProblem& problem : run.metadata.problems) {
        diagnose(run.diagnostics, metadata_message(problem) +
                                      "; the run's uncertainties and detection limits are not given");
    }
}

// What an evaluate entry's sum says of its live time before its row: a live
// time of 0 s, or one the whole seconds shorten noticeably.
std::string live_time_diagnostic(const SpectrumSum& sum, const Entry& entry) {
    if (sum.live_time_s == 0) {
        return format("%s: the sum evaluated by entry '%s' has a live time of 0 s (%llu us); its "
                      "count rates and activities are infinite or undefined",
                      entry.rest.c_str(), entry.token.c_str(),
                      static_cast<unsigned long long>(sum.live_time_us));
    }
    const double dropped = live_time_dropped_percent(sum);
    if (!(dropped > kLiveTimeDroppedWarningPercent)) return {};
    return format("%s: the sum evaluated by entry '%s' is analysed with a live time of %llu s "
                  "instead of %.6f s, %.2f %% shorter: its count rates and activities are that "
                  "much too high",
                  entry.rest.c_str(), entry.token.c_str(),
                  static_cast<unsigned long long>(sum.live_time_s),
                  static_cast<double>(sum.live_time_us) / 1e6, dropped);
}

// The energy calibration of the first spectrum file the method file `path`
// references that gives one; empty when none does.
std::vector<double> standards_calibration(const std::string& path) {
    const Expected<std::string> text = load_text_file(path);
    if (!text) return {};
    for (const std::string& name : referenced_spectrum_files(*text)) {
        const auto file = std::make_unique<Expected<SpectrumFile, SpectrumFailure>>(read_spectrum_file(name));
        if (*file && !(*file)->calibration.empty()) return (*file)->calibration;
    }
    return {};
}

// Walks the entries after the method file name.
void walk_entries(Run& run, ConfigReader& config, TableWriter& table) {
    const EvaluationContext context{run.method.get(),   run.local_background.get(),
                                    run.names.get(),    run.factors.get(),
                                    &run.dose,          evaluation_options(run),
                                    run.options.dose_unit, run.standards_calibration};
    const int threads = thread_count(run.options);
    std::unique_ptr<EvaluationPool> pool;
    if (threads > 1) pool = std::make_unique<EvaluationPool>(context, threads);
    OrderedOutput output(run, table, context, pool.get());

    std::string token;
    std::string previous_entry;
    int index = 0;
    while (config.next(&token)) {
        ++index;
        ++run.tally.entries;
        const Entry entry = classify_entry(token);
        if (entry.kind == EntryKind::weight) {
            set_weight(run, output, entry, index);
        } else if (entry.kind == EntryKind::add || entry.kind == EntryKind::evaluate) {
            const std::unique_ptr<SpectrumFile> file = read_entry_file(run, output, entry, index, previous_entry);
            previous_entry = token;
            if (!file) continue;
            std::string overflow;
            if (add_to_sum(*file, entry.rest, run.sum.get())) {
                overflow = format(
                    "%s: adding it to the sum overflows; values held at their limits (entry '%s')",
                    entry.rest.c_str(), entry.token.c_str());
            }
            if (entry.kind == EntryKind::add) {
                std::string report;
                if (run.report) {
                    ReportEntry line = report_entry(entry, index, "added");
                    line.source = source_of(*file);
                    report = report_entry_line(line);
                }
                output.entry(std::move(overflow), std::move(report));
            } else {
                if (!overflow.empty()) output.entry(std::move(overflow), {});
                if (measurement_span(*run.sum).mixed_clocks) {
                    output.entry(format("%s: the sum evaluated by entry '%s' mixes files stating UTC and local "
                                        "start times; its measurement start and end are not given",
                                        entry.rest.c_str(), entry.token.c_str()),
                                 {});
                }
                for (std::string& problem : run.standards_problems) output.entry(std::move(problem), {});
                run.standards_problems.clear();
                auto evaluation = std::make_unique<Evaluation>();
                evaluation->token = entry.token;
                evaluation->index = index;
                evaluation->sum = std::exchange(run.sum, std::make_unique<SpectrumSum>());
                evaluation->weight = run.weight;
                evaluation->source = source_of(*file);
                std::string diagnostic = live_time_diagnostic(*evaluation->sum, entry);
                output.evaluation(std::move(evaluation), std::move(diagnostic));
            }
        } else {
            // A plain entry replaces the sum.
            const std::unique_ptr<SpectrumFile> file = read_entry_file(run, output, entry, index, previous_entry);
            previous_entry = token;
            if (!file) continue;
            *run.sum = SpectrumSum{};
            add_to_sum(*file, entry.rest, run.sum.get());
            if (run.report) {
                ReportEntry line = report_entry(entry, index, "read");
                line.source = source_of(*file);
                output.entry({}, report_entry_line(line));
            }
        }
        if (entry.kind == EntryKind::weight) previous_entry = token;
        output.write_ready();
    }
    output.write_all();
}

// The method's ROIs that no fit can use spoil every evaluation: said once,
// up front.
void report_unusable_rois(const Run& run, const std::string& path) {
    for (const UnusableRoi& roi : unusable_rois(*run.method, analysis_options(run.options))) {
        std::string owners;
        for (const int i : roi.components) {
            owners += owners.empty() ? "" : ", ";
            owners += run.names->entry[i].name;
        }
        diagnose(run.diagnostics,
                 format("%s: the ROIs cover channels %d..%d (%s), which halved to 512 channels is "
                        "not a range within them; every evaluation fails",
                        path.c_str(), roi.first, roi.end, owners.c_str()));
    }
}

// A standard factor that turns a component's activities over or makes them
// NaN: said once, up front.
void report_odd_standard_factors(const Run& run, const std::string& path) {
    for (int i = 0; i < run.method->component_count; ++i) {
        const float factor = run.factors->factor[i];
        if (!(factor < 0.0f) && !std::isnan(factor)) continue;
        diagnose(run.diagnostics,
                 format("%s: the standard factor of component '%s' is %g; its activities and standard "
                        "deviations %s",
                        path.c_str(), run.names->entry[i].name, factor,
                        std::isnan(factor) ? "are undefined" : "change sign (its limits do not)"));
    }
}

// Why every evaluation will fail for want of usable standards, one line per
// cause; said once, before the first evaluation (a run that evaluates
// nothing need not hear it).
std::vector<std::string> standards_problems(const Run& run, const std::string& path) {
    const MethodRecord& method = *run.method;
    std::vector<std::string> problems;
    if (!calibration_singular(method, analysis_options(run.options))) return problems;
    for (int i = 0; i < method.component_count; ++i) {
        if (method.component[i].standard_live_time != 0) continue;
        problems.push_back(format("%s: every evaluation will fail because component '%s' has no "
                                  "usable standard spectrum (none was read, or its live time is 0 s)",
                                  path.c_str(), run.names->entry[i].name));
    }
    if (problems.empty()) {
        problems.push_back(format("%s: every evaluation will fail because the standards cannot be "
                                  "told apart in the ROIs (a standard without net counts there, or "
                                  "two alike)",
                                  path.c_str()));
    }
    return problems;
}

// The one-line account of a run in which anything was skipped, failed or
// flagged.
void write_summary_diagnostic(const Run& run) {
    const ReportSummary& t = run.tally;
    const std::pair<int, const char*> parts[] = {
        {t.skipped, "skipped"},
        {t.failed_fits, "with a failed fit"},
        {t.unknown_nuclide, "with an unknown nuclide"},
        {t.over_limit, "over a limit"},
        {t.gain_at_scan_edge, "with the gain at the scan's edge"},
        {t.fit_poor, "with a poor fit"},
        {t.dose_dead_time_over_limit, "with the dead time over the limit"}};
    std::string counts;
    for (const auto& [count, what] : parts) {
        if (count > 0) counts += format("%s%d %s", counts.empty() ? "" : ", ", count, what);
    }
    if (counts.empty()) return;
    diagnose(run.diagnostics, format("summary: %d %s, %d %s: %s", t.entries,
                                     t.entries == 1 ? "entry" : "entries", t.evaluations,
                                     t.evaluations == 1 ? "evaluation" : "evaluations", counts.c_str()));
}

// The exit status, the summary on standard error and the report's last line.
int finish_run(Run& run) {
    write_summary_diagnostic(run);
    int status = 0;
    if (run.write_failed) {
        status = kExitWriteFailed;
    } else if (run.options.strict && (run.nothing_to_run || run.tally.skipped > 0 ||
                                      run.tally.failed_fits > 0 || !run.dose.complete ||
                                      !run.metadata.problems.empty())) {
        status = kExitIncomplete;
    }
    if (run.report) {
        run.tally.dose_calibration_complete = run.dose.complete;
        run.tally.exit_status = status;
        write_report_line(run, report_summary_line(run.tally));
        if (Status closed = close_file(std::move(run.report)); !closed) {
            run.write_failure(format("%s: write failed: %s", run.options.report_path.c_str(),
                                     closed.error().c_str()));
            status = kExitWriteFailed;
        }
    }
    return status;
}

}  // namespace

int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options) {
    if (!options.report_path.empty() || !options.plot_directory.empty() || !options.db_path.empty()) {
        if (const std::string clash = output_path_clash(options); !clash.empty()) {
            diagnose(diagnostics, clash + "; run not started");
            return kExitUsage;
        }
    }
    Run run(console, diagnostics, options);
    const std::time_t now = std::time(nullptr);
    run.start_time = utc_text(now);
    run.start_seconds = static_cast<int64_t>(now);
    if (!options.db_path.empty()) {
        if (run.options.station.empty()) {
            const fs::path here = working_directory();
            run.options.station = here.has_filename() ? here.filename().string() : here.string();
        }
        if (!open_store(run)) return kExitWriteFailed;
    }
    if (!options.report_path.empty()) {
        // Binary: the report's lines end in LF on every platform.
        Expected<File> report = open_file(options.report_path, "wb");
        if (!report) {
            diagnose(diagnostics, format("%s: report cannot be created: %s; run not started",
                                         options.report_path.c_str(), report.error().message.c_str()));
            return kExitWriteFailed;
        }
        run.report = std::move(*report);
        // Unbuffered: write_report_line hands each line over whole, so that it
        // reaches the file in one write however long it is, not cut where a
        // buffer fills, and a killed run leaves whole lines.
        std::setvbuf(run.report.get(), nullptr, _IONBF, 0);
    }
    if (!options.plot_directory.empty()) {
        std::error_code error;
        fs::create_directories(options.plot_directory, error);
        if (error || !fs::is_directory(options.plot_directory)) {
            diagnose(diagnostics, format("%s: directory for the pictures cannot be created: %s; run "
                                         "not started",
                                         options.plot_directory.c_str(),
                                         error ? error.message().c_str() : "not a directory"));
            return kExitWriteFailed;
        }
    }

    // Binary, so that no platform's text mode cuts the file short at a ^Z;
    // CR is white space between tokens anyway. A missing configuration is
    // the first thing to say: nothing else matters then.
    Expected<File> config_file = open_file(CONFIG, "rb");
    if (!config_file) {
        diagnose(diagnostics, format("%s: cannot be opened: %s; nothing to do", CONFIG,
                                     config_file.error().message.c_str()));
    }

    std::fprintf(console, "Assay processor ORB ver. DR%s WIN32\n", kVersion);
    run.dose = read_dose_calibration(diagnostics);
    if (run.dose.complete) std::fputs("Dose Rate calibration OK\n", console);

    if (!config_file) {
        run.nothing_to_run = true;
        write_run_line(run, std::nullopt);
        return finish_run(run);
    }
    ConfigReader config(config_file->get());
    std::string token;
    if (!config.next(&token)) {
        run.nothing_to_run = true;
        write_run_line(run, std::nullopt);
        // A configuration that cannot be read (a directory, say) ends as
        // silently as one that cannot be opened.
        if (config.failed()) {
            diagnose(diagnostics, format("%s: cannot be read: %s; nothing to do", CONFIG,
                                         config.error().c_str()));
            return finish_run(run);
        }
        std::fputs("Wrong method file name/n", console);
        diagnose(diagnostics, format("%s: holds no method file name", CONFIG));
        return finish_run(run);
    }
    std::fprintf(console, "Reads Method %s\n", token.c_str());
    read_calibration(token.c_str(), run.method.get(), run.names.get(), run.factors.get(),
                     run.local_background.get(), ReaderOutput{console, diagnostics});
    read_metadata(run, token);
    write_run_line(run, token);
    // Complete from here on, and unchanged while evaluations read it; the
    // echo already shows the file's own backgrounds.
    default_backgrounds(run.method.get(), run.local_background.get());
    std::error_code error;
    run.nothing_to_run = !fs::is_regular_file(token, error);
    report_unusable_rois(run, token);
    report_odd_standard_factors(run, token);
    run.standards_problems = standards_problems(run, token);
    run.method_name = token;
    run.stored_run.method_file = token;
    if (run.options.gain_search == GainSearch::calibration) {
        run.standards_calibration = standards_calibration(token);
    }

    Expected<File> result = open_file(RESULT, "w");
    if (!result) {
        diagnose(diagnostics, format("%s: cannot be created: %s; run stopped", RESULT,
                                     result.error().message.c_str()));
        run.write_failed = true;
        return finish_run(run);
    }
    TableWriter table(console, result->get());
    std::vector<std::string> names, units;
    for (int i = 0; i < run.method->component_count; ++i) {
        names.emplace_back(run.names->entry[i].name);
        units.emplace_back(run.names->entry[i].unit);
    }
    table.header(names, units);

    walk_entries(run, config, table);
    if (!options.plot_directory.empty()) write_plot_index(run);

    std::fflush(console);
    if (Status closed = close_file(std::move(*result)); !closed) {
        run.write_failure(format("%s: write failed: %s", RESULT, closed.error().c_str()));
    }
    return finish_run(run);
}
