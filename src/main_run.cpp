// The run driver of the assay processor (part of the module main): walks the
// configuration, keeps the sum of spectra, evaluates it, and writes the table.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dose.h"
#include "lsq.h"
#include "main.h"
#include "main_internal.h"
#include "plot.h"
#include "scan.h"

using namespace assay_internal;

namespace {

// The dose-rate calibration of dose.txt.
struct DoseCalibration {
    float dose_factor = 0.0f;
    float dead_time_c3 = 0.0f;
    float dead_time_c2 = 0.0f;
    float dead_time_c1 = 0.0f;
    int32_t table_select = 0;
    bool complete = false;   // all five values were read
};

DoseCalibration read_dose_calibration(FILE* diagnostics) {
    DoseCalibration calibration;
    std::string text;
    errno = 0;
    if (!load_text_file(DOSE, &text)) {
        diagnose(diagnostics, format("%s: cannot be opened: %s; dose rates are written as nan", DOSE,
                                     describe_errno().c_str()));
        return calibration;
    }
    TextScanner scanner{text};
    float* reals[4] = {&calibration.dose_factor, &calibration.dead_time_c3,
                       &calibration.dead_time_c2, &calibration.dead_time_c1};
    const char* names[5] = {"dose factor", "cubic dead-time coefficient",
                            "quadratic dead-time coefficient", "linear dead-time coefficient",
                            "table switch"};
    int read = 0;
    ScanStatus status = ScanStatus::ok;
    size_t at = 0;
    for (; read < 5; ++read) {
        at = scanner.pos;
        status = read < 4 ? scan_float(scanner, reals[read])
                          : scan_int32(scanner, &calibration.table_select);
        if (status != ScanStatus::ok) break;
    }
    calibration.complete = read == 5;
    if (!calibration.complete) {
        std::string what = status == ScanStatus::end_of_input
                               ? format("holds only %d of the 5 calibration values", read)
                               : format("the %s does not scan at '%s'", names[read],
                                        excerpt_at(text, at).c_str());
        diagnose(diagnostics, format("%s: %s; dose rates are written as nan", DOSE, what.c_str()));
    }
    return calibration;
}

// Reads the next white-space-free word of the configuration; false at its end.
bool read_token(FILE* file, std::string* token) {
    token->clear();
    int c = 0;
    while ((c = std::getc(file)) != EOF && is_space(c)) {
    }
    while (c != EOF && !is_space(c)) {
        token->push_back(static_cast<char>(c));
        c = std::getc(file);
    }
    return !token->empty();
}

// The result table goes to the console and to result.txt, piece by piece,
// console first.
struct Table {
    FILE* console;
    FILE* file;
    void both(const std::string& text) const {
        std::fputs(text.c_str(), console);
        std::fputs(text.c_str(), file);
    }
};

void write_header(const Table& table, const MethodRecord& method, const NameTable& names) {
    const int n = method.component_count;
    table.both("Name\t");
    for (int i = 0; i < n; ++i) table.both(format("%s\t", names.entry[i].name));
    for (int i = 0; i < n; ++i) {
        table.both(format("sd%s[%s]\t", names.entry[i].name, names.entry[i].unit));
    }
    std::fputs(format("%s\t%s\t%s\t%s\t", "qfit", "gain", "weightF", " DRate").c_str(),
               table.console);
    std::fputs(format("%s\t%s\t%s\t%s\t%s\t%s\t%s\t", "qfit", "gain", "longitude", "latitude",
                      "altitude", "weightF", " DRate")
                   .c_str(),
               table.file);
    for (int i = 0; i < n; ++i) table.both(format("%s[cpm]\t", names.entry[i].name));
    table.both("\n");
    table.both("\n\n");
}

// Adds the scratch spectrum to the sum, holding every value at its type's
// limit instead of wrapping. Returns true when some value had to be held.
bool add_to_sum(const SampleRecord& scratch, SampleRecord* sum) {
    bool saturated = false;
    auto add_time = [&saturated](uint64_t a, uint64_t b) {
        uint64_t total = a + b;
        if (total < a) {
            saturated = true;
            return std::numeric_limits<uint64_t>::max();
        }
        return total;
    };
    sum->live_time = add_time(sum->live_time, scratch.live_time);
    sum->real_time = add_time(sum->real_time, scratch.real_time);
    for (int i = 0; i < kChannels; ++i) {
        int64_t total = int64_t{sum->channel[i]} + scratch.channel[i];
        int64_t held = std::clamp<int64_t>(total, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max());
        saturated |= held != total;
        sum->channel[i] = static_cast<int32_t>(held);
    }
    return saturated;
}

// Counts per minute in the component's first ROI [first, end); only channels
// inside the spectrum are summed.
float count_rate(const SampleRecord& sum, const ComponentBlock& block) {
    const float live_time = static_cast<float>(sum.live_time);
    const int32_t first = block.roi[0][0];
    const int32_t end = block.roi[0][1];
    float counts = 0.0f;
    if (first < end) {
        for (int32_t ch = std::max(first, 0); ch < std::min(end, kChannels); ++ch) {
            counts += static_cast<float>(sum.channel[ch]);
        }
    }
    float rate = counts / live_time;
    return static_cast<float>(rate * 60.0);
}


// ---------------------------------------------------------------------------
// Evaluations and the order of output.

// One add-and-evaluate entry: the sum as it stood when the entry came, and
// what the analysis, the dose rate and the count rates made of it.
struct Evaluation {
    std::string token;
    int index = 0;                       // position among the configuration's entries
    std::vector<std::string> sum_of;     // files added into this sum, in order
    std::unique_ptr<SampleRecord> sum = std::make_unique<SampleRecord>();
    ScanRange scan_range{NAN, NAN};
    int32_t status = 0;
    float dose_rate = 0.0f;
    float count_rate[kMaxComponents] = {};
    bool done = false;
};

// The records every evaluation reads; nothing writes them while evaluations run.
struct Shared {
    MethodRecord* method;
    LocalBackground* local_background;
    const DoseCalibration* dose;
    AnalysisOptions analysis;
};

void evaluate(const Shared& shared, Evaluation* evaluation, FitCache* cache) {
    SampleRecord& sum = *evaluation->sum;
    AnalysisOptions analysis = shared.analysis;
    if (!analysis.straightforward) analysis.cache = cache;
    analysis.scan_range = &evaluation->scan_range;
    evaluation->status = lsq_calc_activity(&sum, shared.method, shared.local_background, nullptr,
                                           kChannels, 0, 0, 0, 2, analysis);
    if (shared.dose->complete) {
        dose_calc_nai16(&sum, &evaluation->dose_rate, shared.dose->dose_factor,
                        shared.dose->dead_time_c3, shared.dose->dead_time_c2,
                        shared.dose->dead_time_c1, 85.0, shared.dose->table_select);
    }
    for (int i = 0; i < shared.method->component_count; ++i) {
        evaluation->count_rate[i] = count_rate(sum, shared.method->component[i]);
    }
}

// Worker threads that evaluate in any order; the caller waits for each
// evaluation it needs next, so output keeps the configuration's order.
class EvaluationPool {
public:
    EvaluationPool(const Shared& shared, int threads) : shared_(shared) {
        for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
    }
    ~EvaluationPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }
    EvaluationPool(const EvaluationPool&) = delete;
    EvaluationPool& operator=(const EvaluationPool&) = delete;

    void submit(Evaluation* evaluation) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(evaluation);
        }
        work_ready_.notify_one();
    }
    void wait(const Evaluation* evaluation) {
        std::unique_lock<std::mutex> lock(mutex_);
        work_done_.wait(lock, [evaluation] { return evaluation->done; });
    }
    bool done(const Evaluation* evaluation) {
        std::lock_guard<std::mutex> lock(mutex_);
        return evaluation->done;
    }

private:
    void work() {
        FitCache cache;
        for (;;) {
            Evaluation* evaluation = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                evaluation = queue_.front();
                queue_.pop_front();
            }
            evaluate(shared_, evaluation, &cache);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                evaluation->done = true;
            }
            work_done_.notify_all();
        }
    }

    const Shared& shared_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::deque<Evaluation*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// What an entry makes the run write, in configuration order: a diagnostic, a
// row, a report line.
struct Output {
    std::string diagnostic;
    std::string report_line;
    std::unique_ptr<Evaluation> evaluation;
};

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
    // The sum record's results as the rows leave them: a failed evaluation
    // prints what the previous one left.
    std::unique_ptr<SampleRecord> results = std::make_unique<SampleRecord>();
    DoseCalibration dose;
    FILE* report = nullptr;
    std::vector<IndexRow> plotted;   // the rows drawn so far, for the index
    std::string method_name;
    int rows = 0;
    bool backgrounds_defaulted = false;
    bool write_failed = false;
};

void write_report_line(Run& run, const std::string& line) {
    if (run.report == nullptr || line.empty()) return;
    std::fputs(line.c_str(), run.report);
    std::fputc('\n', run.report);
    // Flushed line by line, so the report can be followed while it grows.
    if (std::fflush(run.report) != 0 && !run.write_failed) {
        run.write_failed = true;
        diagnose(run.diagnostics, format("%s: write failed: %s", run.options.report_path.c_str(),
                                         describe_errno().c_str()));
    }
}

const char* entry_kind(char first) {
    return first == '*' ? "evaluate" : first == '+' ? "add" : "plain";
}

// The report line of an entry that read (or failed to read) a spectrum file
// and wrote no row.
std::string entry_report(const std::string& token, int index, const std::string& file,
                         const char* status, const std::string& reason) {
    JsonObject line;
    line.text("entry", token).integer("index", index).text("kind", entry_kind(token[0]));
    line.text("file", file).text("status", status);
    if (!reason.empty()) line.text("reason", reason);
    return line.str();
}

// The report line of an evaluation, from the values its row shows.
std::string evaluation_report(const Run& run, const Evaluation& evaluation,
                              const SampleRecord& results) {
    const SampleRecord& sum = *evaluation.sum;
    const bool evaluated = evaluation.status == 0;
    JsonObject line;
    line.text("entry", evaluation.token).integer("index", evaluation.index).text("kind", "evaluate");
    line.text("file", evaluation.token.substr(1));
    line.text("status", evaluated ? "evaluated" : "analysis_failed");
    std::vector<std::string> files;
    for (const std::string& file : evaluation.sum_of) files.push_back(json_string(file));
    line.field("sum_of", json_array(files.data(), files.size()));
    line.unsigned_integer("live_time_s", sum.live_time).unsigned_integer("real_time_s", sum.real_time);
    const float dead_time = dose_dead_time(&sum);
    line.number("dead_time_percent", dead_time);
    line.number("weight", sum.weight).number("qfit", results.qfit).number("gain", results.gain);
    if (evaluated) {
        line.boolean("gain_at_scan_edge", results.gain == evaluation.scan_range.lowest ||
                                              results.gain == evaluation.scan_range.highest);
    } else {
        line.null("gain_at_scan_edge");
    }
    line.integer("limit_status", results.limit_status);
    line.boolean("unknown_found", results.unknown_found != 0);
    line.number("summary_activity", results.summary_activity);
    line.number("summary_fraction", results.summary_fraction);
    if (run.dose.complete) {
        line.number("dose_rate", evaluation.dose_rate);
        // The dose rate is negated when the dead time is over the limit.
        line.boolean("dose_dead_time_over_limit",
                     sum.live_time != 0 && static_cast<double>(dead_time) > 85.0);
    } else {
        line.null("dose_rate").null("dose_dead_time_over_limit");
    }
    std::vector<std::string> components;
    for (int i = 0; i < run.method->component_count; ++i) {
        JsonObject component;
        component.text("name", run.names->entry[i].name).text("unit", run.names->entry[i].unit);
        component.number("activity", results.activity[i]);
        component.number("activity_sd", results.activity_sd[i]);
        component.boolean("detected", results.below_limit[i] == 0);
        component.boolean("over_limit", results.over_limit[i] != 0);
        component.number("count_rate_cpm", evaluation.count_rate[i]);
        components.push_back(component.str());
    }
    line.field("components", json_array(components.data(), components.size()));
    return line.str();
}

// The fit joins the ROIs of all components, halves the channel scale and
// needs every joined range to stay a range within the 512 halved channels; a
// method with one that does not fails every evaluation, which is worth saying
// once, up front.
void check_method_rois(const MethodRecord& method, const NameTable& names, const std::string& path,
                       FILE* diagnostics) {
    RoiList collected{};
    for (int i = 0; i < method.component_count; ++i) {
        const ComponentBlock& block = method.component[i];
        for (int r = 0; r < block.roi_count && collected.count < kRoiListCapacity; ++r) {
            collected.roi[collected.count][0] = block.roi[r][0];
            collected.roi[collected.count][1] = block.roi[r][1];
            ++collected.count;
        }
    }
    RoiList joined{};
    roi_join_sort(&collected, &joined);
    for (int r = 0; r < joined.count; ++r) {
        const int32_t first = reduce_ch_iva(joined.roi[r][0]);
        const int32_t end = reduce_ch_iva(joined.roi[r][1]);
        if (first >= 0 && end >= first && end < kIvaChannels) continue;
        // Name the components whose ROIs went into the range.
        std::string owners;
        for (int i = 0; i < method.component_count; ++i) {
            const ComponentBlock& block = method.component[i];
            for (int k = 0; k < block.roi_count; ++k) {
                const bool same = block.roi[k][0] == joined.roi[r][0] && block.roi[k][1] == joined.roi[r][1];
                if (same || (block.roi[k][0] <= joined.roi[r][1] && joined.roi[r][0] <= block.roi[k][1])) {
                    owners += owners.empty() ? "" : ", ";
                    owners += names.entry[i].name;
                    break;
                }
            }
        }
        diagnose(diagnostics,
                 format("%s: the ROIs cover channels %d..%d (%s), which halved to 512 channels is "
                        "not a range within them; every evaluation fails",
                        path.c_str(), joined.roi[r][0], joined.roi[r][1],
                        owners.c_str()));
    }
}

// The sum after the winning gain correction, for the picture: the channels
// the correction cannot fill (no neighbour below or above the stretched
// position, and the last channel, which it never writes) have no value.
std::vector<float> corrected_for_plot(const SampleRecord& sum, float gain_factor) {
    std::vector<float> out(kChannels, NAN);
    gain(gain_factor, sum.channel, out.data(), kChannels);
    if (gain_factor >= 0.001f) {
        for (int position = 1; position < kChannels; ++position) {
            const double rounded = position / static_cast<double>(gain_factor) + 0.5;
            if (rounded < 2.0 || rounded >= kChannels) out[position - 1] = NAN;
        }
        out[kChannels - 1] = NAN;
    }
    return out;
}

// Draws a finished row, with the values its row and report line show.
void plot_row(Run& run, const Evaluation& evaluation, const SampleRecord& results) {
    const SampleRecord& sum = *evaluation.sum;
    const bool evaluated = evaluation.status == 0;
    PlotData data;
    data.row = run.rows;
    data.entry = evaluation.token;
    data.analysis_failed = !evaluated;
    data.live_time = sum.live_time;
    data.real_time = sum.real_time;
    data.dead_time_percent = dose_dead_time(&sum);
    data.weight = sum.weight;
    data.qfit = results.qfit;
    data.gain = results.gain;
    data.gain_at_scan_edge = evaluated && (results.gain == evaluation.scan_range.lowest ||
                                           results.gain == evaluation.scan_range.highest);
    if (run.dose.complete) data.dose_rate = evaluation.dose_rate;
    data.unknown_found = results.unknown_found != 0;
    for (int i = 0; i < run.method->component_count; ++i) {
        const ComponentBlock& block = run.method->component[i];
        PlotComponent component;
        component.name = run.names->entry[i].name;
        component.unit = run.names->entry[i].unit;
        component.activity = results.activity[i];
        component.activity_sd = results.activity_sd[i];
        component.detected = results.below_limit[i] == 0;
        component.over_limit = results.over_limit[i] != 0;
        for (int r = 0; r < block.roi_count; ++r) component.rois.emplace_back(block.roi[r][0], block.roi[r][1]);
        data.components.push_back(std::move(component));
    }
    data.measured = corrected_for_plot(sum, results.gain);
    if (evaluated) {
        // The fitted activities before the division by the standard factors,
        // as the unknown-nuclide check used them.
        data.expected.assign(kChannels, NAN);
        expected_counts(&sum, run.method.get(), run.local_background.get(), kChannels,
                        data.expected.data());
    }

    const std::string name = plot_file_name(data.row, data.entry);
    const std::filesystem::path path = std::filesystem::path(run.options.plot_directory) / name;
    File picture(std::fopen(path.string().c_str(), "wb"));
    const std::string svg = plot_svg(data);
    if (!picture || std::fwrite(svg.data(), 1, svg.size(), picture.get()) != svg.size() ||
        std::fclose(picture.release()) != 0) {
        if (!run.write_failed) {
            diagnose(run.diagnostics, format("%s: the picture cannot be written: %s",
                                             path.string().c_str(), describe_errno().c_str()));
        }
        run.write_failed = true;
    }
    // The index needs the values, not the spectra.
    data.measured.clear();
    data.measured.shrink_to_fit();
    data.expected.clear();
    data.expected.shrink_to_fit();
    run.plotted.push_back(IndexRow{std::move(data), name});
}

void write_plot_index(Run& run) {
    const std::filesystem::path path = std::filesystem::path(run.options.plot_directory) / "index.html";
    File index(std::fopen(path.string().c_str(), "wb"));
    const std::string html = plot_index_html("assay: " + run.method_name, run.plotted);
    if (!index || std::fwrite(html.data(), 1, html.size(), index.get()) != html.size() ||
        std::fclose(index.release()) != 0) {
        diagnose(run.diagnostics, format("%s: cannot be written: %s", path.string().c_str(),
                                         describe_errno().c_str()));
        run.write_failed = true;
    }
}

// Writes the row of a finished evaluation and carries its results forward.
void write_row(Run& run, const Table& table, const Evaluation& evaluation) {
    ++run.rows;
    SampleRecord& results = *run.results;
    const SampleRecord& sum = *evaluation.sum;
    const int n = run.method->component_count;
    if (evaluation.status == 0) {
        std::copy(std::begin(sum.activity), std::end(sum.activity), results.activity);
        std::copy(std::begin(sum.activity_sd), std::end(sum.activity_sd), results.activity_sd);
        results.qfit = sum.qfit;
        results.unknown_found = sum.unknown_found;
        results.gain = sum.gain;
    }
    if (evaluation.status != 0) {
        diagnose(run.diagnostics,
                 format("%s: the fit failed (a singular fit or an unusable ROI); the row of entry "
                        "'%s' repeats the activities, qfit and gain of the row before",
                        evaluation.token.substr(1).c_str(), evaluation.token.c_str()));
    }
    // On failure only these were reset; the fit's fields keep the last values.
    results.summary_activity = sum.summary_activity;
    results.summary_fraction = sum.summary_fraction;
    results.limit_status = sum.limit_status;
    std::copy(std::begin(sum.over_limit), std::end(sum.over_limit), results.over_limit);
    std::copy(std::begin(sum.below_limit), std::end(sum.below_limit), results.below_limit);
    for (int i = 0; i < n; ++i) {
        const float factor = run.factors->factor[i];
        if (factor != 0.0f) {
            results.activity[i] /= factor;
            results.activity_sd[i] /= factor;
        }
    }

    table.both(format("%s\t", evaluation.token.c_str()));
    for (int i = 0; i < n; ++i) table.both(format("%7.2f\t", results.activity[i]));
    for (int i = 0; i < n; ++i) table.both(format("%7.2f\t", results.activity_sd[i]));
    std::fputs(format("%7.2f\t%7.4f\t%7.3f\t", results.qfit, results.gain, sum.weight).c_str(),
               table.console);
    std::fputs(format("%7.2f\t%7.4f\t%10.7f\t%10.7f\t%10.7f\t%7.3f\t", results.qfit, results.gain,
                      0.0, 0.0, 0.0, sum.weight)
                   .c_str(),
               table.file);
    // Without a complete calibration no dose rate is invented.
    table.both(run.dose.complete ? format("%4.2f\t", evaluation.dose_rate) : std::string("nan\t"));
    for (int i = 0; i < n; ++i) table.both(format("%4.1f\t", evaluation.count_rate[i]));
    table.both("\n");
    // A finished row must survive whatever happens to the run later.
    if (std::fflush(table.file) != 0 && !run.write_failed) {
        run.write_failed = true;
        diagnose(run.diagnostics, format("%s: write failed: %s", RESULT, describe_errno().c_str()));
    }
    if (run.report != nullptr) write_report_line(run, evaluation_report(run, evaluation, results));
    if (!run.options.plot_directory.empty()) plot_row(run, evaluation, results);
}

// The outputs not yet written, and the evaluations behind them.
class OrderedOutput {
public:
    OrderedOutput(Run& run, const Table& table, EvaluationPool* pool)
        : run_(run), table_(table), pool_(pool) {}

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
            evaluate(shared(), output.evaluation.get(), &cache_);
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

    void set_shared(const Shared* shared) { shared_ = shared; }

private:
    static constexpr int kMaxInFlight = 64;

    const Shared& shared() const { return *shared_; }

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
        if (front.evaluation) write_row(run_, table_, *front.evaluation);
        write_report_line(run_, front.report_line);
        pending_.pop_front();
        return true;
    }

    Run& run_;
    const Table& table_;
    EvaluationPool* pool_;
    const Shared* shared_ = nullptr;
    FitCache cache_;
    std::deque<Output> pending_;
    int in_flight_ = 0;
};

// Reads an entry's spectrum file into `target`; when the file cannot be used,
// reports it (diagnostic and report line) and returns false.
bool read_entry_file(Run& run, OrderedOutput& output, const std::string& token, int index,
                     const std::string& path, SampleRecord* target) {
    std::string problem;
    const SpectrumFileState state = read_spectrum_file(path.c_str(), target, &problem);
    if (state == SpectrumFileState::read) return true;
    std::string report;
    if (run.report != nullptr) {
        report = entry_report(token, index, path,
                              state == SpectrumFileState::cannot_open ? "skipped_missing"
                                                                      : "skipped_damaged",
                              problem);
    }
    output.entry(format("%s: %s; entry '%s' skipped", path.c_str(), problem.c_str(), token.c_str()),
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
void walk_entries(Run& run, FILE* config, const Table& table) {
    const Shared shared{run.method.get(), run.local_background.get(), &run.dose,
                        AnalysisOptions{nullptr, run.options.straightforward}};
    const int threads = thread_count(run.options);
    std::unique_ptr<EvaluationPool> pool;
    if (threads > 1) pool = std::make_unique<EvaluationPool>(shared, threads);
    OrderedOutput output(run, table, pool.get());
    output.set_shared(&shared);

    std::string token;
    std::vector<std::string> sum_of;   // files whose counts are in the sum
    int index = 0;
    while (read_token(config, &token)) {
        ++index;
        const char kind = token[0];
        const std::string rest = token.substr(1);
        if (kind == '^') {
            TextScanner scanner{rest};
            if (scan_float(scanner, &run.sum->weight) != ScanStatus::ok) {
                output.entry(format("%s: weight entry '%s' does not scan; weight stays %g", CONFIG,
                                    token.c_str(), run.sum->weight),
                             {});
            }
        } else if (kind == '+' || kind == '*') {
            if (!read_entry_file(run, output, token, index, rest, run.scratch.get())) continue;
            sum_of.push_back(rest);
            std::string overflow;
            if (add_to_sum(*run.scratch, run.sum.get())) {
                overflow = format(
                    "%s: adding it to the sum overflows; values held at their limits (entry '%s')",
                    rest.c_str(), token.c_str());
            }
            if (kind == '+') {
                output.entry(std::move(overflow),
                             run.report != nullptr ? entry_report(token, index, rest, "added", {})
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
                evaluation->token = token;
                evaluation->index = index;
                evaluation->sum_of = std::move(sum_of);
                sum_of.clear();
                *evaluation->sum = *run.sum;
                output.evaluation(std::move(evaluation));
                run.sum->live_time = 0;
                run.sum->real_time = 0;
                std::fill(std::begin(run.sum->channel), std::end(run.sum->channel), 0);
            }
        } else if (read_entry_file(run, output, token, index, token, run.sum.get())) {
            // A plain entry replaces the sum.
            sum_of.assign(1, token);
            if (run.report != nullptr) output.entry({}, entry_report(token, index, token, "read", {}));
        }
        output.write_ready();
    }
    output.write_all();
}

}  // namespace

int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options) {
    Run run(console, diagnostics, options);
    File report;
    if (!options.report_path.empty()) {
        errno = 0;
        // Binary: the report's lines end in LF on every platform.
        report.reset(std::fopen(options.report_path.c_str(), "wb"));
        if (!report) {
            diagnose(diagnostics, format("%s: report cannot be created: %s; run not started",
                                         options.report_path.c_str(), describe_errno().c_str()));
            return 1;
        }
        run.report = report.get();
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

    errno = 0;
    // Binary, so that no platform's text mode cuts the file short at a ^Z;
    // CR is white space between tokens anyway.
    File config(std::fopen(CONFIG, "rb"));
    if (!config) {
        diagnose(diagnostics, format("%s: cannot be opened: %s; nothing to do", CONFIG,
                                     describe_errno().c_str()));
        return 0;
    }
    std::string token;
    if (!read_token(config.get(), &token)) {
        // A configuration that cannot be read (a directory, say) ends as
        // silently as one that cannot be opened.
        if (std::ferror(config.get())) {
            diagnose(diagnostics, format("%s: cannot be read: %s; nothing to do", CONFIG,
                                         describe_errno().c_str()));
            return 0;
        }
        std::fputs("Wrong method file name/n", console);
        diagnose(diagnostics, format("%s: holds no method file name", CONFIG));
        return 0;
    }
    std::fprintf(console, "Reads Method %s\n", token.c_str());
    read_calibration(token.c_str(), run.method.get(), run.names.get(), run.factors.get(),
                     run.local_background.get(), ReaderOutput{console, diagnostics});
    check_method_rois(*run.method, *run.names, token, diagnostics);
    run.method_name = token;

    errno = 0;
    File result(std::fopen(RESULT, "w"));
    if (!result) {
        diagnose(diagnostics, format("%s: cannot be created: %s; run stopped", RESULT,
                                     describe_errno().c_str()));
        return 1;
    }
    const Table table{console, result.get()};
    write_header(table, *run.method, *run.names);
    run.sum->weight = 1.0f;

    walk_entries(run, config.get(), table);
    if (!options.plot_directory.empty()) write_plot_index(run);

    std::fflush(console);
    if (std::fclose(result.release()) != 0 && !run.write_failed) {
        run.write_failed = true;
        diagnose(diagnostics, format("%s: write failed: %s", RESULT, describe_errno().c_str()));
    }
    return run.write_failed ? 1 : 0;
}
