// One evaluation: the sum of an evaluate entry through the analysis, the
// dose rate and the count rates, then finished into the row the outputs
// write. Evaluations may run on several threads; finishing happens in
// configuration order, because a failed evaluation repeats the results of
// the row before.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "core/records.h"
#include "input/dose_file.h"
#include "output/row.h"

// The records every evaluation reads; nothing writes them while evaluations run.
struct EvaluationContext {
    MethodRecord* method;
    LocalBackground* local_background;
    const NameTable* names;
    const StandardFactors* factors;
    const DoseCalibration* dose;
    AnalysisOptions analysis;
    std::string dose_unit;  // for the rows; empty when not given
};

// An evaluate entry: the sum as it stood when the entry came, and what the
// analysis, the dose rate and the count rates made of it.
struct Evaluation {
    std::string token;
    int index = 0;                    // position among the configuration's entries
    std::vector<std::string> sum_of;  // files added into this sum, in order
    std::unique_ptr<SampleRecord> sum = std::make_unique<SampleRecord>();
    uint64_t live_time_us = 0;        // the sum's times as the files give them
    uint64_t real_time_us = 0;
    SourceFile source;                // the entry's own file
    std::vector<double> energy_calibration;  // one the files of the sum agree on
    EvaluationDetail detail;
    int32_t status = 0;               // of lsq_calc_activity
    float dose_rate = 0.0f;
    float count_rate[kMaxComponents] = {};
    bool done = false;
};

// Evaluates `evaluation->sum` in place. `cache` may be null.
void evaluate(const EvaluationContext& context, Evaluation* evaluation, FitCache* cache);

// Finishes evaluations into rows, in configuration order.
class RowFinisher {
public:
    explicit RowFinisher(const EvaluationContext& context) : context_(context) {}

    // The row of `evaluation`; `with_spectra` adds the spectra the pictures
    // draw. A failed evaluation repeats the activities, qfit, gain and
    // unknown flag of the row before.
    FinishedRow finish(const Evaluation& evaluation, bool with_spectra);

private:
    const EvaluationContext& context_;
    SampleRecord results_{};  // the results as the rows leave them
    int rows_ = 0;
    std::optional<int> results_row_;  // the row whose evaluation they come from
};
