#include "analysis/fit_common.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "analysis/limits.h"
#include "analysis/solver.h"

void copy_standards(const MethodRecord& method, int nc, int32_t channel_count, int32_t mode,
                    FitSpectra* spectra) {
    for (int k = 0; k < nc; ++k) {
        std::memcpy(spectra->standard[k], method.component[k].standard_channel,
                    sizeof spectra->standard[k]);
        std::memcpy(spectra->background[k], method.component[k].background_channel,
                    sizeof spectra->background[k]);
        compress_spectrum(spectra->standard[k], channel_count, mode);
        compress_spectrum(spectra->background[k], channel_count, mode);
    }
}

namespace {

// The calibration fit of one channel: the standards' net counts unmixed into
// each component's response, with the standards' composition as design.
class ChannelCalibrator {
public:
    ChannelCalibrator(const MethodRecord& method, int nc)
        : nc_(nc), standards_(nc, nc), y_(1, nc), w_(1, nc), solution_(1, nc), normal_(nc, nc),
          work_(nc, nc), pivots_(1, nc) {
        for (const MatrixHolder* h : {&standards_, &y_, &w_, &solution_, &normal_, &work_, &pivots_}) {
            if (h->m.data == nullptr) throw std::bad_alloc();
        }
        for (int k = 0; k < nc; ++k) {
            const ComponentBlock& block = method.component[k];
            ratio_[k] = static_cast<double>(block.standard_live_time) /
                        static_cast<double>(block.background_live_time);
            // Standard k holds standard_activity[j] of component j, counted for
            // weight * standard_live_time / 1000.
            const double scale = static_cast<double>(block.weight) *
                                 static_cast<double>(block.standard_live_time) / 1000.0;
            for (int j = 0; j < nc; ++j) {
                standards_.m.data[j * nc + k] = scale * static_cast<double>(block.standard_activity[j]);
            }
        }
    }

    // Unmixes the channel `ch` of the spectra; false when the fit is singular.
    bool unmix(const int32_t (*standard)[kChannels], const int32_t (*background)[kChannels], int ch) {
        for (int k = 0; k < nc_; ++k) {
            const double c = standard[k][ch];
            const double b = background[k][ch];
            y_.m.data[k] = c - ratio_[k] * b;
            w_.m.data[k] = calibration_weight(ratio_[k] * ratio_[k] * b + c);
        }
        double figure = 0.0;
        return lst_sqr(nc_, nc_, y_.m, w_.m, standards_.m, solution_.m, normal_.m, work_.m, pivots_.m,
                       &figure) == 0;
    }
    double response(int j) const { return solution_.m.data[j]; }

private:
    int nc_;
    double ratio_[kMaxComponents] = {};
    MatrixHolder standards_, y_, w_, solution_, normal_, work_, pivots_;
};

}  // namespace

void calibrate(const MethodRecord& method, int nc, const int32_t (*standard)[kChannels],
               const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
               Calibration* calibration) {
    const int n = static_cast<int>(roi_channel.size());
    calibration->component_count = nc;
    calibration->point_count = n;
    calibration->singular = false;
    calibration->response.assign(static_cast<size_t>(n) * static_cast<size_t>(nc), 0.0);
    ChannelCalibrator calibrator(method, nc);
    for (int i = 0; i < n; ++i) {
        if (!calibrator.unmix(standard, background, roi_channel[i])) {
            calibration->singular = true;
            return;
        }
        for (int j = 0; j < nc; ++j) calibration->response[j * n + i] = calibrator.response(j);
    }
}

void model_response(const MethodRecord& method, int nc, int32_t channel_count,
                    Calibration* response) {
    const int n = std::clamp(channel_count, 0, kChannels);
    response->component_count = nc;
    response->point_count = n;
    response->singular = false;
    response->response.assign(static_cast<size_t>(n) * static_cast<size_t>(nc), 0.0);
    auto spectra = std::make_unique<FitSpectra>();
    copy_standards(method, nc, channel_count, 0, spectra.get());
    ChannelCalibrator calibrator(method, nc);
    for (int ch = 0; ch < n; ++ch) {
        if (!calibrator.unmix(spectra->standard, spectra->background, ch)) {
            response->singular = true;
            continue;
        }
        for (int j = 0; j < nc; ++j) response->response[j * n + ch] = calibrator.response(j);
    }
}

void assess_winner(const ScanInput& input, const ScanOutcome& outcome, double v,
                   const AssessmentInput& assessment_input, WinnerAssessment* assessment) {
    *assessment = WinnerAssessment{};
    if (outcome.best_trial < 0) return;
    assessment->assessed = true;
    const Calibration& calibration = *input.calibration;
    const int nc = calibration.component_count;
    const int n = calibration.point_count;
    const double* response = calibration.response.data();
    const double u = input.u;
    const double g = outcome.best_gain;
    const double* x = outcome.solution;

    // The winning trial's points as the fit saw them, and the model's.
    std::vector<double> weight(static_cast<size_t>(n));
    std::vector<double> gross(static_cast<size_t>(n));       // U l + m
    std::vector<double> background_variance(static_cast<size_t>(n));  // U^2 l
    std::vector<double> residual(static_cast<size_t>(n));  // y - m
    FitStatistics& statistics = assessment->statistics;
    statistics.chi_square = 0.0;
    for (int i = 0; i < n; ++i) {
        const int ch = (*input.roi_channel)[i];
        const double d = corrected_count(g, input.sample, input.x_channels, ch);
        const double l = input.local_background[ch];
        const double y = d - u * l;
        weight[i] = sample_weight(u * u * l + d);
        double model = 0.0;
        for (int j = 0; j < nc; ++j) model += response[j * n + i] * x[j];
        gross[i] = u * l + model;
        background_variance[i] = u * u * l;
        residual[i] = y - model;
        if (weight[i] > 0.0) {
            const double variance = std::max(1.0, std::max(0.0, gross[i]) + background_variance[i]);
            statistics.chi_square += residual[i] * residual[i] / variance;
            ++statistics.points;
        }
    }
    statistics.degrees_of_freedom = statistics.points - nc;
    if (statistics.degrees_of_freedom > 0) {
        statistics.chi_square_per_dof = statistics.chi_square / statistics.degrees_of_freedom;
        statistics.p_value = chi_square_upper_tail(statistics.chi_square, statistics.degrees_of_freedom);
        statistics.fit_poor = statistics.p_value < kPoorFitProbability;
    }

    if (!assessment_input.limits || nc == 0 || !(v != 0.0) || !std::isfinite(v)) return;
    // The fit's linear map from the inverse of its normal matrix R W R^T.
    FitLinearMap map;
    double normal[kMaxComponents][kMaxComponents] = {};
    for (int j = 0; j < nc; ++j) {
        for (int k = 0; k < nc; ++k) {
            double sum = 0.0;
            for (int i = 0; i < n; ++i) sum += response[j * n + i] * weight[i] * response[k * n + i];
            normal[j][k] = sum;
        }
    }
    if (!invert_small(nc, normal, map.inverse)) return;

    map.component_count = nc;
    map.point_count = n;
    map.response = response;
    map.x = x;
    map.v = v;
    map.estimator.resize(static_cast<size_t>(nc) * static_cast<size_t>(n));
    for (int k = 0; k < nc; ++k) {
        for (int i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int j = 0; j < nc; ++j) sum += map.inverse[k][j] * response[j * n + i];
            map.estimator[k * n + i] = sum * weight[i];
        }
    }
    map.residual = std::move(residual);
    map.weight = std::move(weight);
    map.gross = std::move(gross);
    map.background_variance = std::move(background_variance);
    const StandardsNoise unusable;
    const StandardsNoise& standards =
        assessment_input.standards != nullptr ? *assessment_input.standards : unusable;
    const StandardsLeverage leverage = standards_leverage(map, standards);
    for (int k = 0; k < nc; ++k) {
        const double relative =
            assessment_input.relative_calibration != nullptr ? assessment_input.relative_calibration[k] : 0.0;
        assess_component(map, standards, leverage, k, relative, assessment_input.k_alpha, assessment_input.k_beta,
                         assessment_input.coverage, &assessment->limits[k], &assessment->uncertainty[k]);
    }
}
