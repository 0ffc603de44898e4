#include "run/ordered_output.h"

#include <algorithm>
#include <filesystem>

#include "core/text.h"
#include "output/plot.h"
#include "output/report.h"
#include "run/store_rows.h"

namespace {

namespace fs = std::filesystem;

bool flagged(const FinishedRow& row) {
    return row.analysis_failed || row.unknown_found || over_a_limit(row) || row.gain_at_scan_edge ||
           (row.fit && row.fit->fit_poor) || interfered(row);
}

// Draws a finished row and keeps its values for the index.
void plot_row(Run& run, FinishedRow& row) {
    row.picture = plot_file_name(row.row, row.entry);
    const fs::path path = fs::path(run.options.plot_directory) / row.picture;
    if (Status written = write_whole_file(path.string(), plot_svg(row)); !written) {
        run.write_failure(format("%s: the picture %s", path.string().c_str(), written.error().c_str()));
    }
    ++run.tally.pictures;
    // The index needs the values, not the spectra.
    FinishedRow values = row;
    values.measured = {};
    values.expected = {};
    run.plotted.push_back(IndexRow{std::move(values), row.picture});
}

}  // namespace

void OrderedOutput::entry(std::string diagnostic, std::string report_line) {
    Output output;
    output.diagnostic = std::move(diagnostic);
    output.report_line = std::move(report_line);
    pending_.push_back(std::move(output));
    write_ready();
}

void OrderedOutput::evaluation(std::unique_ptr<Evaluation> evaluation, std::string diagnostic) {
    Output output;
    output.diagnostic = std::move(diagnostic);
    output.evaluation = std::move(evaluation);
    if (pool_ == nullptr) {
        evaluate(context_, output.evaluation.get(), &cache_);
        output.evaluation->done = true;
    } else {
        pool_->submit(output.evaluation.get());
        ++in_flight_;
    }
    pending_.push_back(std::move(output));
    while (in_flight_ > kMaxInFlight) write_front(true);
    write_ready();
}

void OrderedOutput::write_ready() {
    while (!pending_.empty() && write_front(false)) {
    }
}

void OrderedOutput::write_all() {
    while (!pending_.empty()) write_front(true);
}


bool OrderedOutput::write_front(bool wait) {
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

void OrderedOutput::write_row(const Evaluation& evaluation) {
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
    tally(row);
    if (plotting && (run_.options.plot_select == PlotSelect::all || flagged(row))) {
        plot_row(run_, row);
    }
    if (run_.report) write_report_line(run_, report_row_line(row));
    if (run_.store) store_row(evaluation, row);
}

void OrderedOutput::store_row(const Evaluation& evaluation, const FinishedRow& row) {
    std::string picture;
    if (!row.picture.empty()) {
        std::error_code error;
        picture = fs::absolute(fs::path(run_.options.plot_directory) / row.picture, error).lexically_normal().string();
    }
    const StoredEvaluation stored =
        stored_evaluation(row, *evaluation.sum, flagged(row), picture, run_.start_seconds);
    if (Status written = run_.store->write(run_.stored_run, stored); !written) {
        run_.write_failure(format("%s: the row of entry '%s' cannot be written: %s",
                                  run_.options.db_path.c_str(), row.entry.c_str(), written.error().c_str()));
    }
}

void OrderedOutput::tally(const FinishedRow& row) {
    ReportSummary& t = run_.tally;
    ++t.evaluations;
    t.failed_fits += row.analysis_failed;
    if (!row.analysis_failed) {
        t.unknown_nuclide += row.unknown_found;
        t.gain_at_scan_edge += row.gain_at_scan_edge;
        t.fit_poor += row.fit && row.fit->fit_poor;
        t.interfered += interfered(row);
    }
    t.over_limit += over_a_limit(row);
    t.dose_dead_time_over_limit += row.dose_rate && row.dose_dead_time_over_limit;
}

