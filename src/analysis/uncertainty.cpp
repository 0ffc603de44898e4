#include "analysis/uncertainty.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "analysis/fit_common.h"
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

void full_scale_standards_noise(const MethodRecord& method, int nc, int32_t channel_count, StandardsNoise* noise) {
    const int n = std::clamp(channel_count, 0, kChannels);
    auto spectra = std::make_unique<FitSpectra>();
    copy_standards(method, nc, channel_count, 0, spectra.get());
    std::vector<int32_t> channels(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) channels[j] = j;
    standards_noise(method, nc, spectra->standard, spectra->background, channels, noise);
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
    // The variance is linear in the counts: a coefficient per standard and
    // per background measurement, worked out once.
    double shared[kMaxComponents] = {};
    for (int m = 0; m < nc; ++m) shared[noise.background_of[m]] += noise.ratio[m] * z[m];
    for (int m = 0; m < nc; ++m) {
        const double standard = z[m] * z[m];
        const double background = shared[m] * shared[m];
        const double* s = &noise.standard[static_cast<size_t>(m) * n];
        const double* b = &noise.background[static_cast<size_t>(m) * n];
        for (int i = 0; i < n; ++i) variance[i] += standard * s[i] + background * b[i];
    }
}

namespace {

// The counting variance of component k at a true activity a, the others as
// fitted. A point whose model cannot go below 0 for a >= 0 (its response and
// the rest of its model at least 0) adds linearly in a, summed once; only
// the others are taken point by point.
class CountingVariance {
public:
    CountingVariance(const FitLinearMap& map, int k) : map_(map), k_(k) {
        const int n = map.point_count;
        const double* estimator = map.estimator.data() + k * n;
        const double* r = map.response + k * n;
        for (int i = 0; i < n; ++i) {
            if (estimator[i] == 0.0) continue;
            const double rest = map.gross[i] - map.x[k] * r[i];
            if (rest >= 0.0 && r[i] >= 0.0) {
                const double squared = estimator[i] * estimator[i];
                constant_ += squared * (rest + map.background_variance[i]);
                slope_ += squared * r[i];
            } else {
                others_.push_back(i);
            }
        }
    }

    double operator()(double a) const {
        const double v = map_.v;
        const int n = map_.point_count;
        const double* estimator = map_.estimator.data() + k_ * n;
        const double* r = map_.response + k_ * n;
        double sum = 0.0;
        if (a >= 0.0) {
            sum = constant_ + a * v * slope_;
            for (const int i : others_) sum += term(estimator[i], r[i], i, a);
        } else {
            for (int i = 0; i < n; ++i) {
                if (estimator[i] != 0.0) sum += term(estimator[i], r[i], i, a);
            }
        }
        return sum / (v * v);
    }

private:
    double term(double estimator, double r, int i, double a) const {
        const double model_gross = map_.gross[i] - map_.x[k_] * r + a * map_.v * r;
        return estimator * estimator * (std::max(0.0, model_gross) + map_.background_variance[i]);
    }

    const FitLinearMap& map_;
    int k_;
    double constant_ = 0.0;
    double slope_ = 0.0;
    std::vector<int> others_;
};

// Sums over the points that carry the standards' counts to component k:
// with s(m, i) = w_i r_i M(k, m) - L(k, i) z(m) the variance is
// sum_m M^2 leverage - 2 M z cross + z^2 weight, and alike per background
// measurement with ratio-weighted M and z.
struct StandardsSums {
    double weight[kMaxComponents] = {};             // sum_i L^2 c(m, i)
    double cross[kMaxComponents] = {};              // sum_i w_i r_i L c(m, i)
    double background_weight[kMaxComponents] = {};  // per measurement, with b
    double background_cross[kMaxComponents] = {};
};

StandardsSums standards_sums(const FitLinearMap& map, const StandardsNoise& noise, int k) {
    StandardsSums sums;
    const int nc = map.component_count;
    const int n = map.point_count;
    const double* estimator = map.estimator.data() + k * n;
    for (int m = 0; m < nc; ++m) {
        const double* c = noise.standard.data() + m * n;
        const double* b = noise.background.data() + m * n;
        const bool own = noise.background_of[m] == m;
        for (int i = 0; i < n; ++i) {
            const double l = estimator[i];
            const double lw = l * map.weight[i] * map.residual[i];
            sums.weight[m] += l * l * c[i];
            sums.cross[m] += lw * c[i];
            if (own) {
                sums.background_weight[m] += l * l * b[i];
                sums.background_cross[m] += lw * b[i];
            }
        }
    }
    return sums;
}

// The standards' variance of x_k (squared counts of x) for the mixing row
// `mixed` (N^-1 A^-1)(k, .) and z = x^T A^-1: at the data with the leverage,
// at an assumed activity without it (mixed all 0).
double standards_variance(const StandardsNoise& noise, const StandardsSums& sums,
                          const StandardsLeverage& leverage, const double* mixed, const double* z) {
    const int nc = noise.component_count;
    double sum = 0.0;
    double shared_mixed[kMaxComponents] = {};
    double shared_z[kMaxComponents] = {};
    for (int m = 0; m < nc; ++m) {
        sum += mixed[m] * mixed[m] * leverage.standard[m] - 2.0 * mixed[m] * z[m] * sums.cross[m] +
               z[m] * z[m] * sums.weight[m];
        shared_mixed[noise.background_of[m]] += noise.ratio[m] * mixed[m];
        shared_z[noise.background_of[m]] += noise.ratio[m] * z[m];
    }
    for (int g = 0; g < nc; ++g) {
        sum += shared_mixed[g] * shared_mixed[g] * leverage.background[g] -
               2.0 * shared_mixed[g] * shared_z[g] * sums.background_cross[g] +
               shared_z[g] * shared_z[g] * sums.background_weight[g];
    }
    // Rounding of the expanded square may leave a hair below 0.
    return std::max(0.0, sum);
}

}  // namespace

StandardsLeverage standards_leverage(const FitLinearMap& map, const StandardsNoise& noise) {
    StandardsLeverage leverage;
    if (!noise.usable) return leverage;
    const int n = map.point_count;
    for (int m = 0; m < map.component_count; ++m) {
        const double* c = noise.standard.data() + m * n;
        const double* b = noise.background.data() + m * n;
        const bool own = noise.background_of[m] == m;
        for (int i = 0; i < n; ++i) {
            const double lever = map.weight[i] * map.residual[i];
            leverage.standard[m] += lever * lever * c[i];
            if (own) leverage.background[m] += lever * lever * b[i];
        }
    }
    return leverage;
}

void assess_component(const FitLinearMap& map, const StandardsNoise& noise,
                      const StandardsLeverage& leverage, int k, double relative_calibration,
                      double k_alpha, double k_beta, double coverage, ComponentLimits* limits,
                      ComponentUncertainty* uncertainty) {
    const int nc = map.component_count;
    const double v = map.v;
    const CountingVariance counting_variance(map, k);
    StandardsSums sums;
    double mixed[kMaxComponents] = {};  // (N^-1 A^-1)(k, m)
    double z[kMaxComponents] = {};      // (x^T A^-1)(m)
    if (noise.usable) {
        sums = standards_sums(map, noise, k);
        for (int m = 0; m < nc; ++m) {
            for (int j = 0; j < nc; ++j) {
                mixed[m] += map.inverse[k][j] * noise.design_inverse[j][m];
                z[m] += map.x[j] * noise.design_inverse[j][m];
            }
        }
    }
    const double none[kMaxComponents] = {};
    auto variance = [&](double a) {
        double standards = 0.0;
        if (noise.usable) {
            double shifted[kMaxComponents];
            for (int m = 0; m < nc; ++m) shifted[m] = z[m] + (a * v - map.x[k]) * noise.design_inverse[k][m];
            standards = standards_variance(noise, sums, leverage, none, shifted) / (v * v);
        }
        return counting_variance(a) + standards;
    };
    // An unknown calibration uncertainty still leaves y*: at 0 it adds nothing.
    const bool known = !std::isnan(relative_calibration);
    const CharacteristicLimits found =
        characteristic_limits(variance, known ? relative_calibration : 0.0, k_alpha, k_beta);
    const double activity = map.x[k] / v;
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
    const double counting = counting_variance(std::max(activity, 0.0));
    const double standards =
        noise.usable ? standards_variance(noise, sums, leverage, mixed, z) / (v * v) : NAN;
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
        const int rois = std::clamp(block.roi_count, 0, kComponentRois);
        int low = kChannels;
        int high = -1;
        for (int r = 0; r < rois; ++r) {
            low = std::min(low, std::max(block.roi[r][0], 0));
            high = std::max(high, std::min(block.roi[r][1], kChannels - 1));
        }
        double sum = 0.0;
        for (int ch = low; ch <= high; ++ch) {
            bool inside = false;
            for (int r = 0; r < rois && !inside; ++r) inside = block.roi[r][0] <= ch && ch <= block.roi[r][1];
            if (inside) sum += block.standard_channel[ch] - ratio * block.background_channel[ch];
        }
        net[m] = sum;
    }
}
