#include "analysis/uncertainty.h"

#include <algorithm>
#include <cstring>

#include "analysis/limits.h"
#include "analysis/solver.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The standard normal distribution function at t, from its tail so that
// strongly negative t keeps its precision.
double normal_cdf(double t) { return 0.5 * std::erfc(-t / std::sqrt(2.0)); }

// phi(t) / Phi(t), the shift of the best estimate in units of u; for t far
// below 0, where Phi underflows, its asymptotic series.
double mills_shift(double t) {
    if (t > -30.0) return std::exp(-0.5 * t * t) / (std::sqrt(2.0 * kPi) * normal_cdf(t));
    const double s = 1.0 / (t * t);
    return -t / (1.0 - s + 3.0 * s * s - 15.0 * s * s * s);
}

// Whether standards a and b were measured against the same background:
// the same counts in the same live time can only be one measurement.
bool same_background(const ComponentBlock& a, const ComponentBlock& b) {
    return a.background_live_time == b.background_live_time &&
           std::memcmp(a.background_channel, b.background_channel, sizeof a.background_channel) == 0;
}

}  // namespace

bool invert_small(int m, const double (*matrix)[kMaxComponents], double (*inverse)[kMaxComponents]) {
    // A column at a time: the elimination's solution is right even where it
    // exchanges rows, its inverse in place is not.
    for (int column = 0; column < m; ++column) {
        double work[kMaxComponents][kMaxComponents];
        std::memcpy(work, matrix, sizeof work);
        double unit[kMaxComponents] = {};
        unit[column] = 1.0;
        double flags[kMaxComponents];
        auto at = [&work](int i, int k) -> double& { return work[i][k]; };
        if (gauss_jordan(m, at, unit, flags) != 0) return false;
        for (int row = 0; row < m; ++row) inverse[row][column] = unit[row];
    }
    return true;
}

BestEstimate best_estimate(double y, double u, double coverage) {
    BestEstimate best;
    if (!std::isfinite(y) || !std::isfinite(u) || u < 0.0 || !(coverage > 0.0 && coverage < 1.0)) {
        return best;
    }
    if (u == 0.0) {
        if (y >= 0.0) best = {y, 0.0, y, y};
        return best;
    }
    const double t = y / u;
    const double omega = normal_cdf(t);
    const double gamma = 1.0 - coverage;
    best.estimate = y + u * mills_shift(t);
    // Rounding may leave the difference a hair below 0 where y >> u.
    best.uncertainty = std::sqrt(std::max(0.0, u * u - (best.estimate - y) * best.estimate));
    // Phi^-1(p) = -k(p) with k the upper quantile: both ends from tails.
    best.lower = y + u * normal_upper_quantile(omega * (1.0 - gamma / 2.0));
    best.upper = y + u * normal_upper_quantile(omega * gamma / 2.0);
    return best;
}

void standards_noise(const MethodRecord& method, int nc, const int32_t (*standard)[kChannels],
                     const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
                     StandardsNoise* noise) {
    const int n = static_cast<int>(roi_channel.size());
    noise->component_count = nc;
    noise->point_count = n;
    noise->usable = false;
    noise->standard.assign(static_cast<size_t>(nc) * static_cast<size_t>(n), 0.0);
    noise->background.assign(static_cast<size_t>(nc) * static_cast<size_t>(n), 0.0);
    double design[kMaxComponents][kMaxComponents] = {};
    for (int m = 0; m < nc; ++m) {
        const ComponentBlock& block = method.component[m];
        noise->ratio[m] = static_cast<double>(block.standard_live_time) /
                          static_cast<double>(block.background_live_time);
        const double scale = static_cast<double>(block.weight) *
                             static_cast<double>(block.standard_live_time) / 1000.0;
        for (int j = 0; j < nc; ++j) design[m][j] = scale * static_cast<double>(block.standard_activity[j]);
        noise->background_of[m] = m;
        for (int other = 0; other < m; ++other) {
            if (same_background(method.component[other], block)) {
                noise->background_of[m] = noise->background_of[other];
                break;
            }
        }
        for (int i = 0; i < n; ++i) {
            noise->standard[m * n + i] = standard[m][roi_channel[i]];
            noise->background[m * n + i] = background[m][roi_channel[i]];
        }
    }
    if (!invert_small(nc, design, noise->design_inverse)) return;
    noise->usable = nc > 0;
}

void standards_model_variance(const StandardsNoise& noise, const double* x, double* variance) {
    const int nc = noise.component_count;
    const int n = noise.point_count;
    std::fill(variance, variance + n, 0.0);
    if (!noise.usable) return;
    double z[kMaxComponents] = {};
    for (int m = 0; m < nc; ++m) {
        for (int j = 0; j < nc; ++j) z[m] += x[j] * noise.design_inverse[j][m];
    }
    for (int i = 0; i < n; ++i) {
        double shared[kMaxComponents] = {};
        double sum = 0.0;
        for (int m = 0; m < nc; ++m) {
            sum += z[m] * z[m] * noise.standard[m * n + i];
            shared[noise.background_of[m]] += noise.ratio[m] * z[m];
        }
        for (int g = 0; g < nc; ++g) sum += shared[g] * shared[g] * noise.background[g * n + i];
        variance[i] = sum;
    }
}

double counting_variance(const FitLinearMap& map, int k, double a) {
    const int n = map.point_count;
    const double* estimator = map.estimator.data() + k * n;
    const double* r = map.response + k * n;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        if (estimator[i] == 0.0) continue;
        const double model_gross = map.gross[i] - map.x[k] * r[i] + a * map.v * r[i];
        sum += estimator[i] * estimator[i] * (std::max(0.0, model_gross) + map.background_variance[i]);
    }
    return sum / (map.v * map.v);
}

double standards_variance_at_data(const FitLinearMap& map, const StandardsNoise& noise, int k) {
    if (!noise.usable) return NAN;
    const int nc = map.component_count;
    const int n = map.point_count;
    double mixed[kMaxComponents] = {};  // (N^-1 A^-1)(k, m)
    double z[kMaxComponents] = {};      // (x^T A^-1)(m)
    for (int m = 0; m < nc; ++m) {
        for (int j = 0; j < nc; ++j) {
            mixed[m] += map.inverse[k][j] * noise.design_inverse[j][m];
            z[m] += map.x[j] * noise.design_inverse[j][m];
        }
    }
    const double* estimator = map.estimator.data() + k * n;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double leverage = map.weight[i] * map.residual[i];
        double shared[kMaxComponents] = {};
        for (int m = 0; m < nc; ++m) {
            const double sensitivity = leverage * mixed[m] - estimator[i] * z[m];
            sum += sensitivity * sensitivity * noise.standard[m * n + i];
            shared[noise.background_of[m]] -= noise.ratio[m] * sensitivity;
        }
        for (int g = 0; g < nc; ++g) sum += shared[g] * shared[g] * noise.background[g * n + i];
    }
    return sum / (map.v * map.v);
}

StandardsPropagation standards_propagation(const FitLinearMap& map, const StandardsNoise& noise, int k) {
    StandardsPropagation propagation;
    if (!noise.usable) return propagation;
    const int nc = map.component_count;
    const int n = map.point_count;
    const double* estimator = map.estimator.data() + k * n;
    for (int m = 0; m < nc; ++m) {
        double standard = 0.0;
        double background = 0.0;
        for (int i = 0; i < n; ++i) {
            const double squared = estimator[i] * estimator[i];
            standard += squared * noise.standard[m * n + i];
            background += squared * noise.background[m * n + i];
        }
        propagation.standard_weight[m] = standard;
        propagation.background_weight[m] = noise.background_of[m] == m ? background : 0.0;
    }
    return propagation;
}

double standards_variance_at(const FitLinearMap& map, const StandardsNoise& noise,
                             const StandardsPropagation& propagation, int k, double a) {
    if (!noise.usable) return 0.0;
    const int nc = map.component_count;
    const double shift = a * map.v - map.x[k];
    double sum = 0.0;
    double shared[kMaxComponents] = {};
    for (int m = 0; m < nc; ++m) {
        double z = shift * noise.design_inverse[k][m];
        for (int j = 0; j < nc; ++j) z += map.x[j] * noise.design_inverse[j][m];
        sum += z * z * propagation.standard_weight[m];
        shared[noise.background_of[m]] += noise.ratio[m] * z;
    }
    for (int g = 0; g < nc; ++g) sum += shared[g] * shared[g] * propagation.background_weight[g];
    return sum / (map.v * map.v);
}

void assess_component(const FitLinearMap& map, const StandardsNoise& noise, int k,
                      double relative_calibration, double k_alpha, double k_beta, double coverage,
                      ComponentLimits* limits, ComponentUncertainty* uncertainty) {
    const StandardsPropagation propagation = standards_propagation(map, noise, k);
    auto variance = [&](double a) {
        return counting_variance(map, k, a) + standards_variance_at(map, noise, propagation, k, a);
    };
    // An unknown calibration uncertainty still leaves y*: at 0 it adds nothing.
    const bool known = !std::isnan(relative_calibration);
    const CharacteristicLimits found =
        characteristic_limits(variance, known ? relative_calibration : 0.0, k_alpha, k_beta);
    const double activity = map.x[k] / map.v;
    if (std::isfinite(found.decision_threshold)) {
        limits->decision_threshold = found.decision_threshold;
        limits->detected = activity > found.decision_threshold;
    }
    if (!known) {
        uncertainty->detection_limit_missing = DetectionLimitMissing::calibration_unknown;
    } else if (std::isfinite(found.detection_limit)) {
        limits->detection_limit = found.detection_limit;
        uncertainty->detection_limit_missing = DetectionLimitMissing::none;
    } else if (std::isfinite(found.decision_threshold) && !(k_beta * relative_calibration < 1.0)) {
        uncertainty->detection_limit_missing = DetectionLimitMissing::calibration_uncertainty;
    }

    // The model's variance below zero activity would claim a sample quieter
    // than its own background: no true activity lies there, so the counting
    // variance is never taken below its value at zero.
    const double counting = counting_variance(map, k, std::max(activity, 0.0));
    const double standards = standards_variance_at_data(map, noise, k);
    const double calibration = activity * activity * relative_calibration * relative_calibration;
    const double total = counting + standards + calibration;
    uncertainty->uncertainty = std::sqrt(total);
    if (total > 0.0 && std::isfinite(total)) {
        uncertainty->counting_share = counting / total;
        uncertainty->standards_share = standards / total;
        uncertainty->calibration_share = calibration / total;
    }
    uncertainty->best = best_estimate(activity, uncertainty->uncertainty, coverage);
}

void standard_net_counts(const MethodRecord& method, int nc, double* net) {
    for (int m = 0; m < nc; ++m) {
        const ComponentBlock& block = method.component[m];
        const double ratio = static_cast<double>(block.standard_live_time) /
                             static_cast<double>(block.background_live_time);
        // Overlapping ROIs of one component count their channels once.
        bool inside[kChannels] = {};
        for (int r = 0; r < std::clamp(block.roi_count, 0, kComponentRois); ++r) {
            const int first = std::max(block.roi[r][0], 0);
            const int end = std::min(block.roi[r][1], kChannels - 1);
            for (int ch = first; ch <= end; ++ch) inside[ch] = true;
        }
        double sum = 0.0;
        for (int ch = 0; ch < kChannels; ++ch) {
            if (inside[ch]) sum += block.standard_channel[ch] - ratio * block.background_channel[ch];
        }
        net[m] = sum;
    }
}
