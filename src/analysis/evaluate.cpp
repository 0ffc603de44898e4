// lsq_calc_activity: default backgrounds, the reduced method of the
// components taking part, their ROIs joined, the fit, the limit checks and
// the excess searches, once or in two passes.
#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/fit.h"
#include "core/conversions.h"

namespace {

struct EvaluationState {
    SampleRecord working;
    MethodRecord reduced;
    RoiList collected;
    RoiList joined;
    float corrected[kChannels];   // zero-filled, so nothing unwritten is ever read
    SampleRecord check;
    SampleFit fit;
    float model[kChannels];
    float model_variance[kChannels];
};

// Builds the reduced method record of the active components (compacted to
// the front, standards rows compacted alike) and collects their ROIs, then
// the extra ones.
void reduce_method(const MethodRecord& method, const bool* active, const RoiList* extra_rois,
                   MethodRecord* reduced, RoiList* collected) {
    const int n = std::clamp(method.component_count, 0, kMaxComponents);
    collected->count = 0;
    int m = 0;
    for (int i = 0; i < n; ++i) {
        if (!active[i]) continue;
        const ComponentBlock& block = method.component[i];
        reduced->detection_limit[m] = method.detection_limit[i];
        reduced->partial_limit[m] = method.partial_limit[i];
        reduced->component[m] = block;
        int column = 0;
        for (int k = 0; k < n; ++k) {
            if (active[k]) reduced->component[m].standard_activity[column++] = block.standard_activity[k];
        }
        append_rois(collected, block.roi, std::clamp(block.roi_count, 0, kComponentRois));
        ++m;
    }
    reduced->component_count = m;
    if (extra_rois != nullptr && extra_rois->count > 0) {
        append_rois(collected, extra_rois->roi, std::min(extra_rois->count, kRoiListCapacity));
    }
}

}  // namespace

void default_backgrounds(MethodRecord* method, LocalBackground* local_background,
                         int32_t channel_count) {
    const int n = std::clamp(method->component_count, 0, kMaxComponents);
    const int channels = std::clamp(channel_count, 0, kChannels);
    for (int i = 0; i < n; ++i) {
        ComponentBlock& block = method->component[i];
        if (block.background_live_time == 0) {
            block.background_live_time = 1;
            block.background_real_time = 1;
            std::fill(block.background_channel, block.background_channel + channels, 0);
        }
    }
    if (local_background->live_time == 0) {
        local_background->live_time = 1;
        local_background->real_time = 1;
        std::fill(local_background->channel, local_background->channel + channels, 0);
    }
}

int32_t lsq_calc_activity(SampleRecord* sample, MethodRecord* method,
                          LocalBackground* local_background, const RoiList* extra_rois,
                          int32_t channel_count, int32_t two_pass, int32_t check_total,
                          int32_t check_fraction, int32_t mode, const AnalysisOptions& options) {
    if (channel_count < 0 || channel_count > kChannels) return -1;
    const int n = std::clamp(method->component_count, 0, kMaxComponents);

    // Absent backgrounds become empty spectra of one second.
    default_backgrounds(method, local_background, channel_count);

    sample->summary_activity = 0.0f;
    sample->summary_fraction = 0.0f;
    sample->limit_status = 0;
    for (int i = 0; i < n; ++i) {
        sample->over_limit[i] = 0;
        sample->below_limit[i] = 1;
    }

    bool active[kMaxComponents] = {true, true, true, true, true, true};
    float gain_value = 1.0f;
    int32_t unknown = 0;
    int passes = 0;
    auto state = std::make_unique<EvaluationState>();
    SampleRecord& working = state->working;
    MethodRecord& reduced = state->reduced;
    SampleFit& fit = state->fit;
    EvaluationDetail* detail = options.detail;
    if (detail != nullptr) *detail = EvaluationDetail{};

    for (;;) {
        working = *sample;
        reduce_method(*method, active, extra_rois, &reduced, &state->collected);
        roi_join_sort(&state->collected, &state->joined);

        const int32_t status = fit_sample(&working, &reduced, local_background, &state->joined,
                                          channel_count, &gain_value, state->corrected, mode, options,
                                          &fit);
        if (detail != nullptr) describe_fit(fit, reduced.component_count, gain_value, detail);
        if (status != 0) {
            if (detail != nullptr) detail->fitted = false;
            return -1;
        }

        int32_t status_word = 0;
        check_partial_limit(&working, &reduced, &status_word);
        check_summary_limit(&working, &reduced, check_total, check_fraction, working.summary_limit,
                            &status_word, &working.summary_activity, &working.summary_fraction);
        working.limit_status = status_word;

        const bool final_pass = two_pass == 0 || passes == 1;
        const bool excess = check_act_over_bg(&working, local_background, channel_count) != 0;
        if (excess || (final_pass && detail != nullptr)) {
            Calibration local;
            const Calibration& response = fit_model_response(reduced, reduced.component_count,
                                                             channel_count, options, &local);
            model_spectrum(response.response.data(), reduced.component_count, fit.outcome.solution,
                           local_background, working.live_time, channel_count, state->model,
                           state->model_variance);
        }
        if (excess) {
            SampleRecord& check = state->check;
            check.live_time = working.live_time;
            check.real_time = working.real_time;
            for (int i = 0; i < n; ++i) check.activity[i] = working.activity[i];
            // Positions the gain correction could not fill hold no counts: the
            // 100000.0 beyond the stretched spectrum's end is no measurement.
            for (int j = 0; j < channel_count; ++j) {
                check.channel[j] = gain_fills(gain_value, channel_count, j + 1)
                                       ? float_to_count(state->corrected[j])
                                       : 0;
            }
            unknown = check_unknown(&check, state->model, channel_count);
        }
        if (final_pass && detail != nullptr) {
            detail->model.assign(state->model, state->model + channel_count);
            detail->model_variance.assign(state->model_variance, state->model_variance + channel_count);
        }

        if (two_pass == 0) break;
        if (++passes == 2) break;
        // Pass 1 ran with every component, so working order is method order.
        for (int i = 0; i < n; ++i) {
            if (method->detection_limit[i] > working.activity[i]) active[i] = false;
        }
    }

    *sample = working;
    ComponentLimits limits[kMaxComponents];
    for (int i = 0, m = 0; i < n; ++i) {
        if (active[i]) {
            sample->activity[i] = working.activity[m];
            sample->activity_sd[i] = working.activity_sd[m];
            sample->over_limit[i] = working.over_limit[m];
            sample->below_limit[i] = (method->detection_limit[i] > sample->activity[i] ||
                                      sample->activity_sd[i] > sample->activity[i])
                                         ? 1
                                         : 0;
            if (detail != nullptr) limits[i] = detail->limits[m];
            ++m;
        } else {
            sample->activity[i] = 0.0f;
            sample->activity_sd[i] = 0.0f;
            sample->over_limit[i] = 0;
            sample->below_limit[i] = 1;
        }
    }
    sample->unknown_found = unknown;
    sample->gain = gain_value;
    if (detail != nullptr) std::copy(std::begin(limits), std::end(limits), detail->limits);
    return 0;
}

std::vector<UnusableRoi> unusable_rois(const MethodRecord& method, int32_t channel_count,
                                       int32_t mode) {
    const bool all[kMaxComponents] = {true, true, true, true, true, true};
    auto reduced = std::make_unique<MethodRecord>();
    RoiList collected{};
    RoiList joined{};
    reduce_method(method, all, nullptr, reduced.get(), &collected);
    roi_join_sort(&collected, &joined);
    std::vector<UnusableRoi> unusable;
    for (int r = 0; r < joined.count; ++r) {
        int32_t first = 0;
        int32_t end = 0;
        if (map_roi(joined.roi[r][0], joined.roi[r][1], channel_count, mode, &first, &end)) continue;
        UnusableRoi roi;
        roi.first = joined.roi[r][0];
        roi.end = joined.roi[r][1];
        for (int i = 0; i < std::clamp(method.component_count, 0, kMaxComponents); ++i) {
            const ComponentBlock& block = method.component[i];
            for (int k = 0; k < std::clamp(block.roi_count, 0, kComponentRois); ++k) {
                // A reversed range overlaps nothing, but it is its own.
                const bool same = block.roi[k][0] == roi.first && block.roi[k][1] == roi.end;
                if (same || (block.roi[k][0] <= roi.end && roi.first <= block.roi[k][1])) {
                    roi.components.push_back(i);
                    break;
                }
            }
        }
        unusable.push_back(std::move(roi));
    }
    return unusable;
}

bool calibration_singular(const MethodRecord& method, int32_t channel_count, int32_t mode) {
    const bool all[kMaxComponents] = {true, true, true, true, true, true};
    auto copy = std::make_unique<MethodRecord>(method);
    auto local_background = std::make_unique<LocalBackground>();
    default_backgrounds(copy.get(), local_background.get(), channel_count);
    auto reduced = std::make_unique<MethodRecord>();
    RoiList collected{};
    RoiList joined{};
    reduce_method(*copy, all, nullptr, reduced.get(), &collected);
    if (reduced->component_count == 0) return false;
    roi_join_sort(&collected, &joined);
    std::vector<int32_t> roi_channel;
    for (int r = 0; r < joined.count; ++r) {
        int32_t first = 0;
        int32_t end = 0;
        if (!map_roi(joined.roi[r][0], joined.roi[r][1], channel_count, mode, &first, &end)) return false;
        for (int32_t ch = first; ch <= end; ++ch) roi_channel.push_back(ch);
    }
    auto spectra = std::make_unique<FitSpectra>();
    copy_standards(*reduced, reduced->component_count, channel_count, mode, spectra.get());
    Calibration calibration;
    calibrate(*reduced, reduced->component_count, spectra->standard, spectra->background,
              roi_channel, &calibration);
    return calibration.singular;
}
