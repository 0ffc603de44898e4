// calc_activity: the spectra compressed, the ROIs mapped and checked, then
// the scan in the reference or the fast form, the results written, and the
// winning trial assessed.
#include "analysis/fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "analysis/fast_fit.h"
#include "analysis/limits.h"
#include "analysis/reference_fit.h"
#include "core/conversions.h"

namespace {

// The wide search's best gain: the trial whose fit figure is the smallest
// share of the figure of no fit at all (sum of w y^2 over the points). The
// figure alone favours gains that move an empty stretch of the sample into
// the ROIs, which a scan of a few per cent never reaches; the share does
// not. NaN when no trial has a share.
double relative_best(const ScanInput& input, const ScanOutcome& found) {
    double best = NAN;
    double best_share = INFINITY;
    for (int t = 0; t < found.trials_run; ++t) {
        const double g = found.trial_gain[t];
        double no_fit = 0.0;
        for (const int32_t ch : *input.roi_channel) {
            const double d = corrected_count(g, input.sample, input.x_channels, ch);
            const double l = input.local_background[ch];
            const double y = d - input.u * l;
            no_fit += sample_weight(input.u * input.u * l + d) * y * y;
        }
        const double share = found.trial_figure[t] / no_fit;
        if (share < best_share) {
            best_share = share;
            best = g;
        }
    }
    return best;
}

// Centres the scan of `input` as the options ask, with `coarse_scan` running
// the wide search in the fit's own form; notes what placed it in `fit`.
template <class CoarseScan>
void place_scan(const AnalysisOptions& options, CoarseScan coarse_scan, ScanInput* input,
                SampleFit* fit) {
    if (options.gain_search == GainSearch::none || !std::isnan(input->held_gain)) return;
    const double by_calibration = options.calibration_gain;
    if (options.gain_search == GainSearch::calibration && std::isfinite(by_calibration) &&
        by_calibration > 0.0) {
        fit->gain_search = GainSearch::calibration;
        input->centre = by_calibration;
    } else {
        fit->gain_search = GainSearch::wide;
        ScanInput coarse = *input;
        coarse.coarse = true;
        auto found = std::make_unique<ScanOutcome>();
        coarse_scan(&coarse, found.get());
        // A search that failed leaves the plain scan.
        const double best = found->failed ? NAN : relative_best(*input, *found);
        if (std::isfinite(best)) {
            fit->coarse_gain = best;
            input->centre = best;
        }
    }
    fit->scan_centre = input->centre;
}

}  // namespace

int32_t fit_sample(SampleRecord* sample, const MethodRecord& method,
                   const LocalBackground& local_background, const RoiList& rois,
                   float* gain_factor, float* corrected_spectrum, const AnalysisOptions& options,
                   SampleFit* fit) {
    *fit = SampleFit{};
    const int32_t channel_count = options.channel_count;
    const int32_t mode = options.mode;
    const int nc = std::clamp(method.component_count, 0, kMaxComponents);
    const int x_channels = working_channels(channel_count, mode);

    // Copied whole, so that nothing here is left unwritten; the standards are
    // copied only where the reference form reads them.
    int32_t compressed_sample[kChannels];
    int32_t compressed_local_background[kChannels];
    std::memcpy(compressed_sample, sample->channel, sizeof compressed_sample);
    std::memcpy(compressed_local_background, local_background.channel, sizeof compressed_local_background);
    compress_spectrum(compressed_sample, channel_count, mode);
    compress_spectrum(compressed_local_background, channel_count, mode);
    std::unique_ptr<FitSpectra> spectra;

    // The ROI channels are the channels of the mapped ROIs in list order.
    std::vector<int32_t> roi_channel;
    roi_channel.reserve(kChannels);
    bool rois_valid = true;
    const int roi_count = std::clamp(rois.count, 0, kRoiListCapacity);
    for (int r = 0; r < roi_count && rois_valid; ++r) {
        int32_t first = 0;
        int32_t end = 0;
        rois_valid = map_roi(rois.roi[r][0], rois.roi[r][1], channel_count, mode, &first, &end);
        for (int32_t ch = first; rois_valid && ch <= end; ++ch) roi_channel.push_back(ch);
    }

    int32_t status = -1;
    ScanOutcome& outcome = fit->outcome;
    if (rois_valid) {
        ScanInput input{nullptr, compressed_sample, compressed_local_background, &roi_channel, x_channels,
                        static_cast<double>(sample->live_time) /
                            static_cast<double>(local_background.live_time),
                        static_cast<double>(options.held_gain)};
        bool singular = false;
        Calibration calibration;
        FastCalibration local;
        FastCalibration* fast = nullptr;
        if (options.straightforward) {
            spectra = std::make_unique<FitSpectra>();
            copy_standards(method, nc, channel_count, mode, spectra.get());
            calibrate(method, nc, spectra->standard, spectra->background, roi_channel, &calibration);
            singular = calibration.singular;
            input.calibration = &calibration;
        } else {
            fast = &fast_calibration(method, nc, channel_count, mode, roi_channel, options.method_identity,
                                     options.cache, &local);
            singular = fast->calibration.singular;
            input.calibration = &fast->calibration;
        }
        auto scan = [&](const ScanInput& in, float* gain, ScanOutcome* found) {
            if (fast == nullptr) {
                reference_scan(in, gain, found);
            } else {
                fast_scan(in, *fast, options.kernel, gain, found);
            }
        };
        if (!singular) {
            place_scan(options, [&](ScanInput* coarse, ScanOutcome* found) {
                float coarse_gain = *gain_factor;
                scan(*coarse, &coarse_gain, found);
            }, &input, fit);
            scan(input, gain_factor, &outcome);
        }
        status = singular || outcome.failed ? -1 : 0;

        // Activities per unit of the sample's weighted counting time.
        const double v = static_cast<double>(sample->weight) *
                         static_cast<double>(sample->live_time) / 1000.0;
        fit->v = v;
        for (int k = 0; k < nc; ++k) {
            sample->activity[k] = static_cast<float>(outcome.solution[k] / v);
            sample->activity_sd[k] = static_cast<float>(outcome.deviation[k] / v);
        }
        sample->qfit = static_cast<float>(outcome.best);
        if (status == 0) {
            // A negative weight turns the activities over; the limits and
            // the decision are those of its magnitude.
            AssessmentInput assessment{normal_upper_quantile(options.alpha),
                                       normal_upper_quantile(options.beta),
                                       options.characteristic_limits};
            StandardsNoise noise;
            if (options.characteristic_limits) {
                // The standards as the fit read them; the fast form keeps them
                // with its calibration.
                if (fast == nullptr) {
                    standards_noise(method, nc, spectra->standard, spectra->background, roi_channel, &noise);
                }
                assessment.standards = fast != nullptr ? &fast->noise : &noise;
                assessment.relative_calibration = options.calibration_uncertainty;
                assessment.coverage = options.coverage;
            }
            assess_winner(input, outcome, std::fabs(v), assessment, &fit->assessment);
        }
    }
    gain(*gain_factor, sample->channel, corrected_spectrum, channel_count);
    return status;
}

void describe_fit(const SampleFit& fit, int component_count, float gain, EvaluationDetail* detail) {
    const ScanOutcome& outcome = fit.outcome;
    detail->scan_range = outcome.range;
    detail->gain_search = fit.gain_search;
    detail->coarse_gain = fit.coarse_gain;
    detail->scan_centre = fit.scan_centre;
    detail->trials.clear();
    detail->trials.reserve(static_cast<size_t>(std::max(outcome.trials_run, 0)));
    for (int t = 0; t < outcome.trials_run; ++t) {
        detail->trials.push_back({outcome.trial_gain[t], outcome.trial_figure[t]});
    }
    const int first = outcome.first_pass_best_trial;
    detail->first_pass_gain = first >= 0 ? static_cast<float>(outcome.trial_gain[first]) : NAN;
    // A first pass that settles on its first or last trial has most likely
    // missed a better gain beyond it, whatever the second pass then finds.
    // A held gain was not scanned: it has no edge.
    detail->gain_at_scan_edge = outcome.trials_run > 1 &&
                                (gain == outcome.range.lowest || gain == outcome.range.highest ||
                                 first == 0 || first == kScanTrials - 1);
    detail->fitted = fit.assessment.assessed;
    detail->statistics = fit.assessment.statistics;
    for (int k = 0; k < kMaxComponents; ++k) {
        detail->limits[k] = k < component_count ? fit.assessment.limits[k] : ComponentLimits{};
        detail->uncertainty[k] = k < component_count ? fit.assessment.uncertainty[k] : ComponentUncertainty{};
    }
    detail->model.clear();
    detail->model_variance.clear();
}

const Calibration& fit_model_response(const MethodRecord& method, int nc,
                                      const AnalysisOptions& options, Calibration* local) {
    const int32_t channel_count = options.channel_count;
    if (options.straightforward) {
        model_response(method, nc, channel_count, local);
        return *local;
    }
    return cached_model_response(method, nc, channel_count, options.method_identity, options.cache, local);
}

const StandardsNoise& fit_model_noise(const MethodRecord& method, int nc, const AnalysisOptions& options,
                                      StandardsNoise* local) {
    if (options.straightforward) {
        full_scale_standards_noise(method, nc, options.channel_count, local);
        return *local;
    }
    return cached_model_noise(method, nc, options.channel_count, options.method_identity, options.cache, local);
}

int32_t calc_activity(SampleRecord* sample, const MethodRecord& method,
                      const LocalBackground& local_background, const RoiList& rois,
                      float* gain_factor, float* corrected_spectrum, const AnalysisOptions& options) {
    auto fit = std::make_unique<SampleFit>();
    const int32_t status = fit_sample(sample, method, local_background, rois, gain_factor,
                                      corrected_spectrum, options, fit.get());
    if (options.detail != nullptr) {
        describe_fit(*fit, std::clamp(method.component_count, 0, kMaxComponents), *gain_factor,
                     options.detail);
        if (status != 0) options.detail->fitted = false;
    }
    return status;
}

double calibration_gain(const std::vector<double>& sample, const std::vector<double>& standards,
                        const MethodRecord& method) {
    if (sample.empty() || standards.empty()) return NAN;
    int32_t low = kChannels;
    int32_t high = -1;
    const int nc = std::clamp(method.component_count, 0, kMaxComponents);
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method.component[k];
        for (int r = 0; r < std::clamp(block.roi_count, 0, kComponentRois); ++r) {
            low = std::min(low, block.roi[r][0]);
            high = std::max(high, block.roi[r][1]);
        }
    }
    if (high <= low) return NAN;
    const double sample_span = energy_at(sample, high) - energy_at(sample, low);
    const double standards_span = energy_at(standards, high) - energy_at(standards, low);
    if (!(sample_span > 0.0) || !(standards_span > 0.0)) return NAN;
    return sample_span / standards_span;
}
