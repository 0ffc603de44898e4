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
#include "run/sum.h"

// The records every evaluation reads; nothing writes them while evaluations
// run. The method is complete (default_backgrounds()).
struct EvaluationContext {
    const MethodRecord* method;
    const LocalBackground* local_background;
    const NameTable* names;
    const StandardFactors* factors;
    const DoseCalibration* dose;
    AnalysisOptions analysis;
    std::string dose_unit;  // for the rows; empty when not given
    // The standards' energy calibration (Run::standards_calibration).
    std::vector<double> standards_calibration;
};

// An evaluate entry: the sum as it stood when the entry came, and what the
// analysis, the dose rate and the count rates made of it.
struct Evaluation {
    std::string token;
    int index = 0;                    // position among the configuration's entries
    std::unique_ptr<SpectrumSum> sum = std::make_unique<SpectrumSum>();
    float weight = 1.0f;              // in force at the entry
    SourceFile source;                // the entry's own file
    // The sum as the analysis reads it, and the analysis's results.
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    EvaluationDetail detail;
    int32_t status = 0;               // of lsq_calc_activity
    float dose_rate = 0.0f;
    float count_rate[kMaxComponents] = {};
    bool done = false;
};

// Evaluates `evaluation->sum` into `evaluation->sample` and the rest. `cache`
// may be null.
void evaluate(const EvaluationContext& context, Evaluation* evaluation, FitCache* cache);

// Finishes evaluations into rows, in configuration order.
class RowFinisher {
public:
    explicit RowFinisher(const EvaluationContext& context) : context_(context) {
        standard_net_counts(*context.method, context.method->component_count, standard_net_counts_);
    }

    // The row of `evaluation`; `with_spectra` adds the spectra the pictures
    // draw. A failed evaluation repeats the activities, qfit, gain and
    // unknown flag of the row before.
    FinishedRow finish(const Evaluation& evaluation, bool with_spectra);

private:
    const EvaluationContext& context_;
    SampleRecord results_{};  // the results as the rows leave them
    int rows_ = 0;
    std::optional<int> results_row_;  // the row whose evaluation they come from
    double standard_net_counts_[kMaxComponents] = {};  // of each component's standard in its ROIs
};
