#include "run/evaluation.h"

#include <algorithm>
#include <cmath>

#include "core/conversions.h"
#include "dose/dose.h"
#include "run/sum.h"

void evaluate(const EvaluationContext& context, Evaluation* evaluation, FitCache* cache) {
    SampleRecord& sample = *evaluation->sample;
    sample_of(*evaluation->sum, evaluation->weight, &sample);
    AnalysisOptions analysis = context.analysis;
    if (!analysis.straightforward) analysis.cache = cache;
    analysis.detail = &evaluation->detail;
    analysis.energy_calibration = agreed_calibration(*evaluation->sum);
    if (analysis.gain_search == GainSearch::calibration) {
        analysis.calibration_gain =
            calibration_gain(analysis.energy_calibration, context.standards_calibration, *context.method);
    }
    evaluation->status = lsq_calc_activity(&sample, *context.method, *context.local_background, analysis);
    const DoseCalibration& dose = *context.dose;
    if (dose.complete) {
        dose_calc_nai16(&sample, &evaluation->dose_rate, dose.dose_factor, dose.dead_time_c3,
                        dose.dead_time_c2, dose.dead_time_c1, kDeadTimeLimitPercent,
                        dose.table_select);
    }
    for (int i = 0; i < context.method->component_count; ++i) {
        evaluation->count_rate[i] = count_rate(sample, context.method->component[i]);
    }
}

namespace {

const char* missing_reason(DetectionLimitMissing missing) {
    switch (missing) {
        case DetectionLimitMissing::none: return nullptr;
        case DetectionLimitMissing::calibration_uncertainty: return "calibration_uncertainty";
        case DetectionLimitMissing::calibration_unknown: return "calibration_uncertainty_unknown";
        case DetectionLimitMissing::no_solution: return "no_solution";
    }
    return "no_solution";
}

// Component i's uncertainty for the row: divided by the standard factor as
// the activity is. The best estimate is that of a non-negative activity: it
// has none where a negative weight or factor turns the activities over.
void finish_uncertainty(const Evaluation& evaluation, int i, float factor, RowComponent* component) {
    const ComponentUncertainty& found = evaluation.detail.uncertainty[i];
    if (evaluation.status != 0) {
        component->detection_limit_missing = "no_fit";
        return;
    }
    component->detection_limit_missing = missing_reason(found.detection_limit_missing);
    const double scale = factor != 0.0f ? std::fabs(static_cast<double>(factor)) : 1.0;
    component->uncertainty = found.uncertainty / scale;
    component->counting_share = found.counting_share;
    component->standards_share = found.standards_share;
    component->calibration_share = found.calibration_share;
    if (!(evaluation.weight > 0.0f) || factor < 0.0f) return;
    component->best_estimate = found.best.estimate / scale;
    component->best_estimate_uncertainty = found.best.uncertainty / scale;
    component->coverage_lower = found.best.lower / scale;
    component->coverage_upper = found.best.upper / scale;
}

}  // namespace

FinishedRow RowFinisher::finish(const Evaluation& evaluation, bool with_spectra) {
    SampleRecord& results = results_;
    const SampleRecord& sample = *evaluation.sample;
    const MethodRecord& method = *context_.method;
    const bool evaluated = evaluation.status == 0;
    if (evaluated) {
        std::copy(std::begin(sample.activity), std::end(sample.activity), results.activity);
        std::copy(std::begin(sample.activity_sd), std::end(sample.activity_sd), results.activity_sd);
        results.qfit = sample.qfit;
        results.unknown_found = sample.unknown_found;
        results.gain = sample.gain;
    }
    // On failure only these were reset; the fit's fields keep the last values.
    results.summary_activity = sample.summary_activity;
    results.summary_fraction = sample.summary_fraction;
    results.limit_status = sample.limit_status;
    std::copy(std::begin(sample.over_limit), std::end(sample.over_limit), results.over_limit);
    std::copy(std::begin(sample.below_limit), std::end(sample.below_limit), results.below_limit);
    // The limits of this evaluation only: a failed fit has none, never the last row's.
    float decision_threshold[kMaxComponents];
    float detection_limit[kMaxComponents];
    for (int i = 0; i < kMaxComponents; ++i) {
        const ComponentLimits& limits = evaluation.detail.limits[i];
        decision_threshold[i] = evaluated ? static_cast<float>(limits.decision_threshold) : NAN;
        detection_limit[i] = evaluated ? static_cast<float>(limits.detection_limit) : NAN;
    }
    for (int i = 0; i < method.component_count; ++i) {
        const float factor = context_.factors->factor[i];
        if (factor != 0.0f) {
            results.activity[i] /= factor;
            results.activity_sd[i] /= factor;
            // A negative factor turns the activities over (the table keeps
            // that); the limits are magnitudes.
            decision_threshold[i] /= std::fabs(factor);
            detection_limit[i] /= std::fabs(factor);
        }
    }

    FinishedRow row;
    row.row = ++rows_;
    if (evaluated) {
        results_row_ = row.row;
    } else {
        row.repeats_row = results_row_;
    }
    row.index = evaluation.index;
    row.entry = evaluation.token;
    const SpectrumSum& sum = *evaluation.sum;
    row.sum_of = file_names(sum);
    row.analysis_failed = !evaluated;
    row.live_time = sum.live_time_s;
    row.real_time = sum.real_time_s;
    row.live_time_us = sum.live_time_us;
    row.real_time_us = sum.real_time_us;
    row.dead_time_percent = dead_time_percent(sum);
    row.live_time_dropped_percent = live_time_dropped_percent(sum);
    if (const MeasurementSpan span = measurement_span(sum); span.start) {
        row.measurement_start = iso_8601(*span.start);
        row.measurement_end = iso_8601(*span.end);
    }
    row.source = evaluation.source;
    row.energy_calibration = agreed_calibration(sum);
    row.weight = evaluation.weight;
    row.qfit = results.qfit;
    row.gain = results.gain;
    row.gain_at_scan_edge = evaluated && evaluation.detail.gain_at_scan_edge;
    if (context_.dose->complete) {
        row.dose_rate = evaluation.dose_rate;
        row.dose_dead_time_over_limit = dose_dead_time_over_limit(&sample);
        row.dose_quantity = dose_quantity(context_.dose->table_select);
    }
    row.dose_unit = context_.dose_unit;
    row.coverage = context_.analysis.coverage;
    row.unknown_found = results.unknown_found != 0;
    row.limit_status = results.limit_status;
    row.summary_activity = results.summary_activity;
    row.summary_fraction = results.summary_fraction;
    row.components.reserve(static_cast<size_t>(std::max(method.component_count, 0)));
    for (int i = 0; i < method.component_count; ++i) {
        const ComponentBlock& block = method.component[i];
        RowComponent component;
        component.name = context_.names->entry[i].name;
        component.unit = context_.names->entry[i].unit;
        component.activity = results.activity[i];
        component.activity_sd = results.activity_sd[i];
        component.below_method_limit = results.below_limit[i] != 0;
        component.decision_threshold = decision_threshold[i];
        component.detection_limit = detection_limit[i];
        if (evaluated) component.detected = evaluation.detail.limits[i].detected;
        component.over_limit = results.over_limit[i] != 0;
        component.count_rate_cpm = evaluation.count_rate[i];
        for (int r = 0; r < block.roi_count; ++r) component.rois.emplace_back(block.roi[r][0], block.roi[r][1]);
        if (evaluated) {
            const RoiInterference& roi = evaluation.detail.interference[i];
            component.roi_chi_square = roi.chi_square;
            component.roi_degrees_of_freedom = roi.degrees_of_freedom;
            component.roi_p_value = roi.p_value;
            component.interfered = roi.interfered;
        }
        finish_uncertainty(evaluation, i, context_.factors->factor[i], &component);
        component.standard_net_counts = standard_net_counts_[i];
        component.standard_counts_low = standard_net_counts_[i] < kStandardNetCountsWarning;
        row.components.push_back(std::move(component));
    }
    if (evaluated) {
        const EvaluationDetail& detail = evaluation.detail;
        RowFit& fit = row.fit.emplace();
        fit.chi_square = detail.statistics.chi_square;
        fit.degrees_of_freedom = detail.statistics.degrees_of_freedom;
        fit.chi_square_per_dof = detail.statistics.chi_square_per_dof;
        fit.p_value = detail.statistics.p_value;
        fit.fit_poor = detail.statistics.fit_poor;
        fit.scan_lowest = detail.scan_range.lowest;
        fit.scan_highest = detail.scan_range.highest;
        fit.first_pass_gain = detail.first_pass_gain;
        if (detail.gain_search != GainSearch::none) {
            fit.gain_search = detail.gain_search == GainSearch::wide ? "wide" : "calibration";
            fit.coarse_gain = detail.coarse_gain;
            fit.scan_centre = detail.scan_centre;
        }
        fit.trials.reserve(detail.trials.size());
        for (const ScanTrial& trial : detail.trials) fit.trials.emplace_back(trial.gain, trial.figure);
        for (const UnknownPeak& peak : detail.unknown_peaks) {
            RowUnknownPeak& marked = row.unknown_peaks.emplace_back();
            marked.channel = peak.channel;
            if (!row.energy_calibration.empty()) {
                const auto energy = [&](double channel) {
                    return energy_at(row.energy_calibration, source_channel(channel, row.gain));
                };
                marked.energy_kev = energy(peak.channel);
                marked.fwhm_kev = energy(peak.channel + peak.fwhm / 2.0) - energy(peak.channel - peak.fwhm / 2.0);
            }
            marked.net_counts = peak.net_counts;
            marked.significance = peak.significance;
            marked.fwhm = peak.fwhm;
        }
    }
    if (with_spectra) {
        row.measured.assign(kChannels, NAN);
        corrected_spectrum(sample.channel, results.gain, row.measured.data());
        if (evaluated) {
            row.expected = evaluation.detail.model;
            row.expected_variance = evaluation.detail.model_variance;
        }
    }
    return row;
}
