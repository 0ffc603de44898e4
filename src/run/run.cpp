#include "run/run.h"

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analysis/analysis.h"
#include "core/file.h"
#include "core/records.h"
#include "core/text.h"
#include "input/config_file.h"
#include "input/dose_file.h"
#include "input/method_file.h"
#include "input/scan.h"
#include "input/spectrum_file.h"
#include "output/plot.h"
#include "output/report.h"
#include "output/table.h"
#include "run/evaluation.h"
#include "run/pool.h"
#include "run/sum.h"

namespace {

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
    std::unique_ptr<SampleRecord> sum = std::make_unique<SampleRecord>();
    std::unique_ptr<SampleRecord> scratch = std::make_unique<SampleRecord>();
    DoseCalibration dose;
    File report;
    std::vector<IndexRow> plotted;  // the rows drawn so far, for the index
    std::string method_name;
    bool backgrounds_defaulted = false;
    bool write_failed = false;

    // Reports a failed write once; every failed write makes the exit status 1.
    void write_failure(const std::string& message) {
        if (!write_failed) diagnose(diagnostics, message);
        write_failed = true;
    }
};

void write_report_line(Run& run, const std::string& line) {
    if (!run.report || line.empty()) return;
    std::fputs(line.c_str(), run.report.get());
    std::fputc('\n', run.report.get());
    // Flushed line by line, so the report can be followed while it grows.
    if (Status flushed = flush_file(run.report.get()); !flushed) {
        run.write_failure(format("%s: write failed: %s", run.options.report_path.c_str(),
                                 flushed.error().c_str()));
    }
}

const char* entry_kind_word(EntryKind kind) {
    return kind == EntryKind::evaluate ? "evaluate" : kind == EntryKind::add ? "add" : "plain";
}

// Draws a finished row and keeps its values for the index.
void plot_row(Run& run, FinishedRow row) {
    const std::string name = plot_file_name(row.row, row.entry);
    const std::filesystem::path path = std::filesystem::path(run.options.plot_directory) / name;
    if (Status written = write_whole_file(path.string(), plot_svg(row)); !written) {
        run.write_failure(format("%s: the picture %s", path.string().c_str(), written.error().c_str()));
    }
    // The index needs the values, not the spectra.
    row.measured = {};
    row.expected = {};
    run.plotted.push_back(IndexRow{std::move(row), name});
}

void write_plot_index(Run& run) {
    const std::filesystem::path path = std::filesystem::path(run.options.plot_directory) / "index.html";
    if (Status written = write_whole_file(path.string(), plot_index_html("assay: " + run.method_name, run.plotted));
        !written) {
        diagnose(run.diagnostics, format("%s: %s", path.string().c_str(), written.error().c_str()));
        run.write_failed = true;
    }
}

// What an entry makes the run write, in configuration order: a diagnostic,
// a row, a report line.
struct Output {
    std::string diagnostic;
    std::string report_line;
    std::unique_ptr<Evaluation> evaluation;
};

// The outputs not yet written, and the evaluations behind them.
class OrderedOutput {
public:
    OrderedOutput(Run& run, TableWriter& table, const EvaluationContext& context, EvaluationPool* pool)
        : run_(run), table_(table), context_(context), pool_(pool), finisher_(context) {}

    // An entry's diagnostic and report line (either may be empty).
    void entry(std::string diagnostic, std::string report_line) {
        Output output;
        output.diagnostic = std::move(diagnostic);
        output.report_line = std::move(report_line);
        pending_.push_back(std::move(output));
        write_ready();
    }

    void evaluation(std::unique_ptr<Evaluation> evaluation) {
        Output output;
        output.evaluation = std::move(evaluation);
        if (pool_ == nullptr) {
            evaluate(context_, output.evaluation.get(), &cache_);
            output.evaluation->done = true;
        } else {
            pool_->submit(output.evaluation.get());
            ++in_flight_;
        }
        pending_.push_back(std::move(output));
        // Bounded: memory stays the same however long the configuration is.
        while (in_flight_ > kMaxInFlight) write_front(true);
        write_ready();
    }

    // Writes every output whose turn has come and that is complete.
    void write_ready() {
        while (!pending_.empty() && write_front(false)) {
        }
    }

    void write_all() {
        while (!pending_.empty()) write_front(true);
    }

private:
    static constexpr int kMaxInFlight = 64;

    bool write_front(bool wait) {
        Output& front = pending_.front();
        if (front.evaluation && pool_ != nullptr) {
            if (wait) {
                pool_->wait(front.evaluation.get());
            } else if (!pool_->done(front.evaluation.get())) {
                return false;
            }
            --in_flight_;
        }
        if (!front.diagnostic.empty()) diagnose(run_.diagnostics, front.diagnostic);
        if (front.evaluation) write_row(*front.evaluation);
        write_report_line(run_, front.report_line);
        pending_.pop_front();
        return true;
    }

    void write_row(const Evaluation& evaluation) {
        if (evaluation.status != 0) {
            diagnose(run_.diagnostics,
                     format("%s: the fit failed (a singular fit or an unusable ROI); the row of entry "
                            "'%s' repeats the activities, qfit and gain of the row before",
                            evaluation.token.substr(1).c_str(), evaluation.token.c_str()));
        }
        const bool plotting = !run_.options.plot_directory.empty();
        FinishedRow row = finisher_.finish(evaluation, plotting);
        table_.row(row);
        if (Status flushed = table_.flush(); !flushed) {
            run_.write_failure(format("%s: write failed: %s", RESULT, flushed.error().c_str()));
        }
        if (run_.report) write_report_line(run_, report_row_line(row));
        if (plotting) plot_row(run_, std::move(row));
    }

    Run& run_;
    TableWriter& table_;
    const EvaluationContext& context_;
    EvaluationPool* pool_;
    RowFinisher finisher_;
    FitCache cache_;
    std::deque<Output> pending_;
    int in_flight_ = 0;
};

// Reads an entry's spectrum file into `target`; when the file cannot be used,
// reports it (diagnostic and report line) and returns false.
bool read_entry_file(Run& run, OrderedOutput& output, const Entry& entry, int index,
                     const std::string& path, SampleRecord* target) {
    const auto spectrum = std::make_unique<Expected<SpectrumFile, SpectrumFailure>>(read_spectrum_file(path));
    if (*spectrum) {
        store_spectrum(**spectrum, target);
        return true;
    }
    const SpectrumFailure& failure = spectrum->error();
    std::string report;
    if (run.report) {
        report = report_entry_line(ReportEntry{
            entry.token, index, entry_kind_word(entry.kind), path,
            failure.kind == SpectrumFailure::Kind::cannot_open ? "skipped_missing" : "skipped_damaged",
            failure.message});
    }
    output.entry(format("%s: %s; entry '%s' skipped", path.c_str(), failure.message.c_str(),
                        entry.token.c_str()),
                 report);
    return false;
}

int thread_count(const RunOptions& options) {
    if (options.straightforward) return 1;
    if (options.threads > 0) return options.threads;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

// Walks the entries after the method file name.
void walk_entries(Run& run, ConfigReader& config, TableWriter& table) {
    const EvaluationContext context{run.method.get(), run.local_background.get(), run.names.get(),
                                    run.factors.get(), &run.dose,
                                    AnalysisOptions{nullptr, run.options.straightforward}};
    const int threads = thread_count(run.options);
    std::unique_ptr<EvaluationPool> pool;
    if (threads > 1) pool = std::make_unique<EvaluationPool>(context, threads);
    OrderedOutput output(run, table, context, pool.get());

    std::string token;
    std::vector<std::string> sum_of;  // files whose counts are in the sum
    int index = 0;
    while (config.next(&token)) {
        ++index;
        const Entry entry = classify_entry(token);
        if (entry.kind == EntryKind::weight) {
            TextScanner scanner{entry.rest};
            if (scan_float(scanner, &run.sum->weight) != ScanStatus::ok) {
                output.entry(format("%s: weight entry '%s' does not scan; weight stays %g", CONFIG,
                                    entry.token.c_str(), run.sum->weight),
                             {});
            }
        } else if (entry.kind == EntryKind::add || entry.kind == EntryKind::evaluate) {
            if (!read_entry_file(run, output, entry, index, entry.rest, run.scratch.get())) continue;
            sum_of.push_back(entry.rest);
            std::string overflow;
            if (add_to_sum(*run.scratch, run.sum.get())) {
                overflow = format(
                    "%s: adding it to the sum overflows; values held at their limits (entry '%s')",
                    entry.rest.c_str(), entry.token.c_str());
            }
            if (entry.kind == EntryKind::add) {
                output.entry(std::move(overflow),
                             run.report ? report_entry_line(ReportEntry{entry.token, index, "add",
                                                                        entry.rest, "added", {}})
                                        : std::string());
            } else {
                if (!overflow.empty()) output.entry(std::move(overflow), {});
                // The analysis puts default backgrounds into the method; doing it
                // once before any evaluation keeps the method unchanged while
                // evaluations read it.
                if (!run.backgrounds_defaulted) {
                    default_backgrounds(run.method.get(), run.local_background.get(), kChannels);
                    run.backgrounds_defaulted = true;
                }
                auto evaluation = std::make_unique<Evaluation>();
                evaluation->token = entry.token;
                evaluation->index = index;
                evaluation->sum_of = std::move(sum_of);
                sum_of.clear();
                *evaluation->sum = *run.sum;
                output.evaluation(std::move(evaluation));
                clear_sum(run.sum.get());
            }
        } else if (read_entry_file(run, output, entry, index, entry.rest, run.sum.get())) {
            // A plain entry replaces the sum.
            sum_of.assign(1, entry.rest);
            if (run.report) {
                output.entry({}, report_entry_line(ReportEntry{entry.token, index, "plain",
                                                               entry.rest, "read", {}}));
            }
        }
        output.write_ready();
    }
    output.write_all();
}

// A method whose joined ROIs no fit can use fails every evaluation, which is
// worth saying once, up front.
void report_unusable_rois(const Run& run, const std::string& path) {
    for (const UnusableRoi& roi : unusable_rois(*run.method, kChannels, 2)) {
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

}  // namespace

int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options) {
    Run run(console, diagnostics, options);
    if (!options.report_path.empty()) {
        // Binary: the report's lines end in LF on every platform.
        Expected<File> report = open_file(options.report_path, "wb");
        if (!report) {
            diagnose(diagnostics, format("%s: report cannot be created: %s; run not started",
                                         options.report_path.c_str(), report.error().message.c_str()));
            return 1;
        }
        run.report = std::move(*report);
    }
    if (!options.plot_directory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.plot_directory, error);
        if (error || !std::filesystem::is_directory(options.plot_directory)) {
            diagnose(diagnostics, format("%s: directory for the pictures cannot be created: %s; run "
                                         "not started",
                                         options.plot_directory.c_str(),
                                         error ? error.message().c_str() : "not a directory"));
            return 1;
        }
    }

    std::fprintf(console, "Assay processor ORB ver. DR%s WIN32\n", kVersion);
    run.dose = read_dose_calibration(diagnostics);
    if (run.dose.complete) std::fputs("Dose Rate calibration OK\n", console);

    // Binary, so that no platform's text mode cuts the file short at a ^Z;
    // CR is white space between tokens anyway.
    Expected<File> config_file = open_file(CONFIG, "rb");
    if (!config_file) {
        diagnose(diagnostics, format("%s: cannot be opened: %s; nothing to do", CONFIG,
                                     config_file.error().message.c_str()));
        return 0;
    }
    ConfigReader config(config_file->get());
    std::string token;
    if (!config.next(&token)) {
        // A configuration that cannot be read (a directory, say) ends as
        // silently as one that cannot be opened.
        if (config.failed()) {
            diagnose(diagnostics, format("%s: cannot be read: %s; nothing to do", CONFIG,
                                         config.error().c_str()));
            return 0;
        }
        std::fputs("Wrong method file name/n", console);
        diagnose(diagnostics, format("%s: holds no method file name", CONFIG));
        return 0;
    }
    std::fprintf(console, "Reads Method %s\n", token.c_str());
    read_calibration(token.c_str(), run.method.get(), run.names.get(), run.factors.get(),
                     run.local_background.get(), ReaderOutput{console, diagnostics});
    report_unusable_rois(run, token);
    run.method_name = token;

    Expected<File> result = open_file(RESULT, "w");
    if (!result) {
        diagnose(diagnostics, format("%s: cannot be created: %s; run stopped", RESULT,
                                     result.error().message.c_str()));
        return 1;
    }
    TableWriter table(console, result->get());
    std::vector<std::string> names, units;
    for (int i = 0; i < run.method->component_count; ++i) {
        names.emplace_back(run.names->entry[i].name);
        units.emplace_back(run.names->entry[i].unit);
    }
    table.header(names, units);
    run.sum->weight = 1.0f;

    walk_entries(run, config, table);
    if (!options.plot_directory.empty()) write_plot_index(run);

    std::fflush(console);
    if (Status closed = close_file(std::move(*result)); !closed) {
        run.write_failure(format("%s: write failed: %s", RESULT, closed.error().c_str()));
    }
    if (run.report) {
        if (Status closed = close_file(std::move(run.report)); !closed) {
            run.write_failure(format("%s: write failed: %s", options.report_path.c_str(),
                                     closed.error().c_str()));
        }
    }
    return run.write_failed ? 1 : 0;
}
