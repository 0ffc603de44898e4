// The outputs of the entries, written in configuration order although
// evaluations may finish in any order: each entry's diagnostic, its row
// (table, picture, report line, results store) and its report line, as soon
// as it and every entry before it are complete.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "analysis/analysis.h"
#include "output/table.h"
#include "run/evaluation.h"
#include "run/pool.h"
#include "run/run_state.h"

class OrderedOutput {
public:
    // `pool` may be null: then every evaluation runs at once, on this thread.
    OrderedOutput(Run& run, TableWriter& table, const EvaluationContext& context, EvaluationPool* pool)
        : run_(run), table_(table), context_(context), pool_(pool), finisher_(context) {}

    // An entry's diagnostic and report line (either may be empty).
    void entry(std::string diagnostic, std::string report_line);
    // An evaluate entry, with a diagnostic to say before its row (may be empty).
    void evaluation(std::unique_ptr<Evaluation> evaluation, std::string diagnostic);
    // Writes every output whose turn has come and that is complete.
    void write_ready();
    // Writes everything, waiting for the evaluations still running.
    void write_all();

private:
    // What an entry makes the run write: a diagnostic, a row, a report line.
    struct Output {
        std::string diagnostic;
        std::string report_line;
        std::unique_ptr<Evaluation> evaluation;
    };
    // Bounded: memory stays the same however long the configuration is.
    static constexpr int kMaxInFlight = 64;

    bool write_front(bool wait);
    void write_row(const Evaluation& evaluation);
    void store_row(const Evaluation& evaluation, const FinishedRow& row);
    void tally(const FinishedRow& row);

    Run& run_;
    TableWriter& table_;
    const EvaluationContext& context_;
    EvaluationPool* pool_;
    RowFinisher finisher_;
    FitCache cache_;
    std::deque<Output> pending_;
    int in_flight_ = 0;
};
