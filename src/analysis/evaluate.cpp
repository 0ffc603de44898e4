// lsq_calc_activity: default backgrounds, the reduced method of the
// components taking part, their ROIs joined, the fit, the limit checks and
// the excess searches, once or in two passes.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/checks.h"
#include "analysis/fit.h"
#include "core/conversions.h"

namespace {

// Whether every component of `method` takes part, so that the method is its
// own reduced record.
bool all_take_part(const MethodRecord& method, const bool* active) {
    if (method.component_count < 0 || method.component_count > kMaxComponents) return false;
    return std::all_of(active, active + method.component_count, [](bool taking_part) { return taking_part; });
}

// Builds the reduced method record of the active components (compacted to
// the front, standards rows compacted alike); what lies beyond them is
// cleared, so a reused record keeps nothing of an earlier method.
void reduce_method(const MethodRecord& method, const bool* active, MethodRecord* reduced) {
    const int n = std::clamp(method.component_count, 0, kMaxComponents);
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
        ++m;
    }
    reduced->component_count = m;
    for (int k = m; k < kMaxComponents; ++k) {
        reduced->detection_limit[k] = 0.0f;
        reduced->partial_limit[k] = 0.0f;
        reduced->component[k] = ComponentBlock{};
    }
}

// The ROIs of the reduced method's components in order, then the extra ones.
void collect_rois(const MethodRecord& reduced, const RoiList* extra_rois, RoiList* collected) {
    collected->count = 0;
    for (int m = 0; m < std::clamp(reduced.component_count, 0, kMaxComponents); ++m) {
        const ComponentBlock& block = reduced.component[m];
        append_rois(collected, block.roi, std::clamp(block.roi_count, 0, kComponentRois));
    }
    if (extra_rois != nullptr && extra_rois->count > 0) {
        append_rois(collected, extra_rois->roi, std::min(extra_rois->count, kRoiListCapacity));
    }
}

// The method the fit reads: `method` itself when every component takes
// part, else its reduced record, built into `reduced`.
const MethodRecord& taking_part(const MethodRecord& method, const bool* active, MethodRecord* reduced) {
    if (all_take_part(method, active)) return method;
    reduce_method(method, active, reduced);
    return *reduced;
}

void default_component_backgrounds(MethodRecord* method, int channels) {
    const int n = std::clamp(method->component_count, 0, kMaxComponents);
    for (int i = 0; i < n; ++i) {
        ComponentBlock& block = method->component[i];
        if (block.background_live_time == 0) {
            block.background_live_time = 1;
            block.background_real_time = 1;
            std::fill(block.background_channel, block.background_channel + channels, 0);
        }
    }
}

void default_local_background(LocalBackground* local_background, int channels) {
    if (local_background->live_time == 0) {
        local_background->live_time = 1;
        local_background->real_time = 1;
        std::fill(local_background->channel, local_background->channel + channels, 0);
    }
}

bool component_background_absent(const MethodRecord& method) {
    const int n = std::clamp(method.component_count, 0, kMaxComponents);
    for (int i = 0; i < n; ++i) {
        if (method.component[i].background_live_time == 0) return true;
    }
    return false;
}

// The method and local background as the analysis reads them: the caller's
// records when they are complete, else completed copies, so that the
// caller's records are never written.
class CompleteInputs {
public:
    CompleteInputs(const MethodRecord& method, const LocalBackground& local_background,
                   int32_t channel_count)
        : method_(&method), local_background_(&local_background) {
        const int channels = std::clamp(channel_count, 0, kChannels);
        if (component_background_absent(method)) {
            method_copy_ = std::make_unique<MethodRecord>(method);
            default_component_backgrounds(method_copy_.get(), channels);
            method_ = method_copy_.get();
        }
        if (local_background.live_time == 0) {
            background_copy_ = std::make_unique<LocalBackground>(local_background);
            default_local_background(background_copy_.get(), channels);
            local_background_ = background_copy_.get();
        }
    }
    const MethodRecord& method() const { return *method_; }
    const LocalBackground& local_background() const { return *local_background_; }

private:
    const MethodRecord* method_;
    const LocalBackground* local_background_;
    std::unique_ptr<MethodRecord> method_copy_;
    std::unique_ptr<LocalBackground> background_copy_;
};

// What the checks against the fit's model found, in the reduced method's order.
struct ModelChecks {
    Resolution resolution;
    RoiInterference interference[kMaxComponents];
    std::vector<UnknownPeak> unknown_peaks;
};

// The ROI tests of the components and the search for unknown peaks on the
// difference between the gain-corrected sample and the model.
ModelChecks check_model(const MethodRecord& reduced, const double* response, const double* x,
                        const int32_t* counts, const float* corrected, float gain_value, const float* model,
                        const float* model_variance, int32_t channel_count, const AnalysisOptions& options) {
    const int n = std::clamp(channel_count, 0, kChannels);
    const int nc = reduced.component_count;
    ModelChecks checks;
    std::vector<double> difference(static_cast<size_t>(n), NAN);
    std::vector<double> lines(static_cast<size_t>(n), 0.0);
    // The last channel with counts often gathers every count beyond the
    // range: it and what lies past it are no spectrum to search, and
    // neither is what lies below the first channel with counts.
    int top = n - 1;
    while (top > 0 && counts[top] == 0) --top;
    int bottom = 0;
    while (bottom < top && counts[bottom] == 0) ++bottom;
    const bool stretched = gain_value >= kSmallestGain;
    const double last = stretched ? (top - 0.5) * gain_value : top;
    const double first = stretched ? (bottom + 0.5) * gain_value : bottom;
    // The model drawn leaves out what a component takes away; the fit did
    // not, and neither does its difference. Component by component over the
    // channels, each channel adding its components in order (adding -0
    // leaves a sum as it is).
    std::vector<double> taken(static_cast<size_t>(n), 0.0);
    for (int k = 0; k < nc; ++k) {
        const double* row = response + static_cast<size_t>(k) * static_cast<size_t>(n);
        for (int j = 0; j < n; ++j) {
            const double contribution = x[k] * row[j];
            lines[j] += std::max(-0.0, contribution);
            taken[j] += std::min(-0.0, contribution);
        }
    }
    for (int j = 0; j < n; ++j) {
        if (gain_fills(gain_value, channel_count, j + 1) && j + 1 < last && j + 1 > first) {
            difference[j] = static_cast<double>(corrected[j]) - (model[j] + taken[j]);
        }
    }
    // The model's Poisson variance, and what the standards' own counting
    // adds to it at the fitted activities.
    std::vector<double> variance = judged_variance(model_variance, model, channel_count);
    StandardsNoise local;
    const StandardsNoise& noise = fit_model_noise(reduced, nc, options, &local);
    std::vector<double> standards(static_cast<size_t>(n));
    standards_model_variance(noise, x, standards.data());
    for (int j = 0; j < n; ++j) variance[j] += standards[j];
    checks.resolution = standards_resolution(reduced, response, nc, channel_count, options.energy_calibration);
    PeakFilter* filter = cached_peak_filter(options.cache);
    // Only a reader of the detail sees the ROI tests; they need the filter
    // at every ROI channel, dips included, and the search shares it.
    const bool roi_tests = options.detail != nullptr && options.roi_tests;
    PeakFilter local_filter;
    std::vector<FilteredPeak> filtered;
    if (roi_tests) {
        std::vector<bool> in_roi(static_cast<size_t>(n), false);
        for (int k = 0; k < nc; ++k) {
            const ComponentBlock& block = reduced.component[k];
            for (int r = 0; r < std::clamp(block.roi_count, 0, kComponentRois); ++r) {
                const int last = std::min(block.roi[r][1], n - 1);
                for (int j = std::max(block.roi[r][0], 0); j <= last; ++j) in_roi[j] = true;
            }
        }
        PeakFilter& scanning = filter != nullptr ? *filter : local_filter;
        filtered = scanning.scan(difference, variance, checks.resolution, true, &in_roi, options.unknown_sigma);
    }
    for (int k = 0; k < nc && roi_tests; ++k) {
        const ComponentBlock& block = reduced.component[k];
        checks.interference[k] = roi_interference(difference, variance, block.roi,
                                                  std::clamp(block.roi_count, 0, kComponentRois),
                                                  checks.resolution, options.interference_p, &filtered);
    }
    checks.unknown_peaks = find_unknown_peaks(difference, variance, lines, checks.resolution, options.unknown_sigma,
                                              filter, roi_tests ? &filtered : nullptr);
    return checks;
}

}  // namespace

void default_backgrounds(MethodRecord* method, LocalBackground* local_background,
                         int32_t channel_count) {
    const int channels = std::clamp(channel_count, 0, kChannels);
    default_component_backgrounds(method, channels);
    default_local_background(local_background, channels);
}

void corrected_spectrum(const int32_t* counts, float gain_factor, float* out) {
    gain(gain_factor, counts, out, kChannels);
    for (int position = 1; position <= kChannels; ++position) {
        if (!gain_fills(gain_factor, kChannels, position)) out[position - 1] = NAN;
    }
}

int32_t lsq_calc_activity(SampleRecord* sample, const MethodRecord& method_as_given,
                          const LocalBackground& local_background_as_given,
                          const AnalysisOptions& options) {
    const int32_t channel_count = options.channel_count;
    if (channel_count < 0 || channel_count > kChannels) return -1;
    // Absent backgrounds are empty spectra of one second.
    const CompleteInputs inputs(method_as_given, local_background_as_given, channel_count);
    const MethodRecord* method = &inputs.method();
    const LocalBackground* local_background = &inputs.local_background();
    const int n = std::clamp(method->component_count, 0, kMaxComponents);

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
    std::unique_ptr<EvaluationScratch> owned;
    EvaluationScratch* state = cached_scratch(options.cache);
    if (state == nullptr) {
        owned = std::make_unique<EvaluationScratch>();
        state = owned.get();
    }
    // The gain never writes the last channel nor those beyond channel_count:
    // zeros there, as in a new record, so nothing unwritten is ever read.
    std::fill(state->corrected + std::clamp(channel_count - 1, 0, kChannels), state->corrected + kChannels, 0.0f);
    SampleRecord& working = state->working;
    SampleFit& fit = state->fit;
    EvaluationDetail* detail = options.detail;
    if (detail != nullptr) *detail = EvaluationDetail{};

    for (;;) {
        working = *sample;
        const MethodRecord& reduced = taking_part(*method, active, &state->reduced);
        collect_rois(reduced, options.extra_rois, &state->collected);
        roi_join_sort(&state->collected, &state->joined);

        // The calibration uncertainties follow the components into the reduced order;
        // the identity belongs to the caller's record only.
        AnalysisOptions pass_options = options;
        for (int i = 0, m = 0; i < n; ++i) {
            if (active[i]) pass_options.calibration_uncertainty[m++] = options.calibration_uncertainty[i];
        }
        if (&reduced != &method_as_given) pass_options.method_identity.clear();
        const int32_t status = fit_sample(&working, reduced, *local_background, state->joined,
                                          &gain_value, state->corrected, pass_options, &fit);
        if (detail != nullptr) describe_fit(fit, reduced.component_count, gain_value, detail);
        if (status != 0) {
            if (detail != nullptr) detail->fitted = false;
            return -1;
        }

        int32_t status_word = 0;
        check_partial_limit(&working, &reduced, &status_word);
        check_summary_limit(&working, &reduced, options.check_total, options.check_fraction,
                            working.summary_limit,
                            &status_word, &working.summary_activity, &working.summary_fraction);
        working.limit_status = status_word;

        const bool final_pass = !options.two_pass || passes == 1;
        if (final_pass) {
            Calibration local;
            const Calibration& response =
                fit_model_response(reduced, reduced.component_count, pass_options, &local);
            model_spectrum(response.response.data(), reduced.component_count, fit.outcome.solution,
                           local_background, working.live_time, channel_count, state->model,
                           state->model_variance);
            ModelChecks checks = check_model(reduced, response.response.data(), fit.outcome.solution,
                                             working.channel, state->corrected, gain_value, state->model,
                                             state->model_variance, channel_count, pass_options);
            unknown = checks.unknown_peaks.empty() ? 0 : 1;
            if (detail != nullptr) {
                if (options.model) {
                    detail->model.assign(state->model, state->model + channel_count);
                    detail->model_variance.assign(state->model_variance, state->model_variance + channel_count);
                }
                detail->resolution = checks.resolution;
                detail->unknown_peaks = std::move(checks.unknown_peaks);
                for (int i = 0, m = 0; i < n; ++i) {
                    if (active[i]) detail->interference[i] = checks.interference[m++];
                }
            }
        }

        if (!options.two_pass) break;
        if (++passes == 2) break;
        // Pass 1 ran with every component, so working order is method order.
        for (int i = 0; i < n; ++i) {
            if (method->detection_limit[i] > working.activity[i]) active[i] = false;
        }
    }

    *sample = working;
    ComponentLimits limits[kMaxComponents];
    ComponentUncertainty uncertainty[kMaxComponents];
    for (int i = 0, m = 0; i < n; ++i) {
        if (active[i]) {
            sample->activity[i] = working.activity[m];
            sample->activity_sd[i] = working.activity_sd[m];
            sample->over_limit[i] = working.over_limit[m];
            sample->below_limit[i] = (method->detection_limit[i] > sample->activity[i] ||
                                      sample->activity_sd[i] > sample->activity[i])
                                         ? 1
                                         : 0;
            if (detail != nullptr) {
                limits[i] = detail->limits[m];
                uncertainty[i] = detail->uncertainty[m];
            }
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
    if (detail != nullptr) {
        std::copy(std::begin(limits), std::end(limits), detail->limits);
        std::copy(std::begin(uncertainty), std::end(uncertainty), detail->uncertainty);
    }
    return 0;
}

std::vector<UnusableRoi> unusable_rois(const MethodRecord& method, const AnalysisOptions& options) {
    const bool all[kMaxComponents] = {true, true, true, true, true, true};
    auto reduced = std::make_unique<MethodRecord>();
    RoiList collected{};
    RoiList joined{};
    collect_rois(taking_part(method, all, reduced.get()), nullptr, &collected);
    roi_join_sort(&collected, &joined);
    std::vector<UnusableRoi> unusable;
    for (int r = 0; r < joined.count; ++r) {
        int32_t first = 0;
        int32_t end = 0;
        if (map_roi(joined.roi[r][0], joined.roi[r][1], options.channel_count, options.mode, &first,
                    &end)) {
            continue;
        }
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

bool calibration_singular(const MethodRecord& method, const AnalysisOptions& options) {
    const bool all[kMaxComponents] = {true, true, true, true, true, true};
    const int32_t channel_count = options.channel_count;
    const int32_t mode = options.mode;
    const auto local_background = std::make_unique<LocalBackground>();
    const CompleteInputs inputs(method, *local_background, channel_count);
    auto record = std::make_unique<MethodRecord>();
    const MethodRecord* reduced = &taking_part(inputs.method(), all, record.get());
    if (reduced->component_count == 0) return false;
    RoiList collected{};
    RoiList joined{};
    collect_rois(*reduced, nullptr, &collected);
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
