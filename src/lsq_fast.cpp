#include "lsq_fast.h"

#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lsq_fast {

void build_response(const MethodRecord& method, const int32_t (*standard)[kChannels],
                    const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
                    Response* response) {
    const int nc = std::min(std::max(method.component_count, 0), kMaxComponents);
    const int n = static_cast<int>(roi_channel.size());
    response->component_count = nc;
    response->point_count = n;
    response->singular = false;
    response->by_point.assign(static_cast<size_t>(n) * kStride, 0.0);

    // The calibration fits are tiny (as many points as components) and run once
    // per method, so they use the straightforward solver as they are.
    MatrixHolder standards(nc, nc);
    MatrixHolder y(1, nc);
    MatrixHolder w(1, nc);
    MatrixHolder solution(1, nc);
    MatrixHolder normal(nc, nc);
    MatrixHolder work(nc, nc);
    MatrixHolder pivots(1, nc);
    double ratio[kMaxComponents] = {};
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method.component[k];
        ratio[k] = static_cast<double>(block.standard_live_time) /
                   static_cast<double>(block.background_live_time);
        const double scale = static_cast<double>(block.weight) *
                             static_cast<double>(block.standard_live_time) / 1000.0;
        for (int j = 0; j < nc; ++j) {
            standards.m.data[j * nc + k] = scale * static_cast<double>(block.standard_activity[j]);
        }
    }
    for (int i = 0; i < n; ++i) {
        const int ch = roi_channel[i];
        for (int k = 0; k < nc; ++k) {
            const double c = standard[k][ch];
            const double b = background[k][ch];
            y.m.data[k] = c - ratio[k] * b;
            const double variance = ratio[k] * ratio[k] * b + c;
            w.m.data[k] = variance == 0.0 ? 1.0 : 1.0 / variance;
        }
        double figure = 0.0;
        if (lst_sqr(nc, nc, y.m, w.m, standards.m, solution.m, normal.m, work.m, pivots.m,
                    &figure) != 0) {
            response->singular = true;
            return;
        }
        for (int j = 0; j < nc; ++j) response->by_point[i * kStride + j] = solution.m.data[j];
    }
}

namespace {

// The fit of one trial: the same sums as lst_sqr, each in the same order, for
// M components over n points with the design stored point-major.
template <int M>
int32_t fit(int n, const double* y, const double* w, const double* design, double* x,
            double (*normal)[kStride], double* chi2) {
#if defined(__SSE2__)
    // Lane pairs: component pairs (0,1), (2,3), (4,5); each lane is its own
    // sum, added in point order exactly as the scalar loops would.
    constexpr int P = (M + 1) / 2;
    __m128d acc[M > 0 ? M : 1][P > 0 ? P : 1];
    __m128d rhs[P > 0 ? P : 1];
    for (int p = 0; p < P; ++p) {
        rhs[p] = _mm_setzero_pd();
        for (int i = 0; i < M; ++i) acc[i][p] = _mm_setzero_pd();
    }
    for (int j = 0; j < n; ++j) {
        const double* row = design + j * kStride;
        const __m128d wj = _mm_set1_pd(w[j]);
        const __m128d yj = _mm_set1_pd(y[j]);
        __m128d a[P > 0 ? P : 1];
        __m128d wa[P > 0 ? P : 1];
        for (int p = 0; p < P; ++p) {
            a[p] = _mm_loadu_pd(row + 2 * p);
            wa[p] = _mm_mul_pd(a[p], wj);
            rhs[p] = _mm_add_pd(rhs[p], _mm_mul_pd(wa[p], yj));
        }
        for (int i = 0; i < M; ++i) {
            const __m128d wai = (i % 2 == 0) ? _mm_unpacklo_pd(wa[i / 2], wa[i / 2])
                                             : _mm_unpackhi_pd(wa[i / 2], wa[i / 2]);
            for (int p = 0; p < P; ++p) acc[i][p] = _mm_add_pd(acc[i][p], _mm_mul_pd(wai, a[p]));
        }
    }
    double rhs_out[2 * (P > 0 ? P : 1)];
    for (int p = 0; p < P; ++p) _mm_storeu_pd(rhs_out + 2 * p, rhs[p]);
    for (int i = 0; i < M; ++i) x[i] = rhs_out[i];
    for (int i = 0; i < M; ++i) {
        double row_out[2 * (P > 0 ? P : 1)];
        for (int p = 0; p < P; ++p) _mm_storeu_pd(row_out + 2 * p, acc[i][p]);
        for (int k = 0; k < M; ++k) normal[i][k] = row_out[k];
    }
#else
    double acc[M > 0 ? M : 1][M > 0 ? M : 1] = {};
    double rhs[M > 0 ? M : 1] = {};
    for (int j = 0; j < n; ++j) {
        const double* row = design + j * kStride;
        double wa[M > 0 ? M : 1];
        for (int i = 0; i < M; ++i) {
            wa[i] = row[i] * w[j];
            rhs[i] += wa[i] * y[j];
        }
        for (int i = 0; i < M; ++i) {
            for (int k = 0; k < M; ++k) acc[i][k] += wa[i] * row[k];
        }
    }
    for (int i = 0; i < M; ++i) {
        x[i] = rhs[i];
        for (int k = 0; k < M; ++k) normal[i][k] = acc[i][k];
    }
#endif

    double flags[kMaxComponents];
    auto at = [normal](int i, int k) -> double& { return normal[i][k]; };
    if (gauss_jordan(M, at, x, flags) != 0) return -1;

    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        const double* row = design + j * kStride;
        double fit_value = 0.0;
        for (int i = 0; i < M; ++i) fit_value += row[i] * x[i];
        const double term = std::sqrt(w[j]) * (y[j] - fit_value);
        sum += term * term;
    }
    if (M != n) sum /= static_cast<double>(n - M);
    for (int i = 0; i < M; ++i) normal[i][i] = std::sqrt(std::fabs(normal[i][i] * sum));
    *chi2 = sum;
    return 0;
}

using FitFunction = int32_t (*)(int, const double*, const double*, const double*, double*,
                                double (*)[kStride], double*);

FitFunction fit_for(int components) {
    static constexpr FitFunction table[] = {fit<0>, fit<1>, fit<2>, fit<3>, fit<4>, fit<5>, fit<6>};
    return table[components];
}

}  // namespace

void note_trial(ScanRange* range, float g) {
    if (!(range->lowest <= g)) range->lowest = g;
    if (!(range->highest >= g)) range->highest = g;
}

void scan(const Response& response, const int32_t* compressed_sample, int x_channels,
          const std::vector<int32_t>& roi_channel, const std::vector<double>& scaled_background,
          const std::vector<double>& scaled_variance, float* gain_factor, ScanOutcome* outcome) {
    const int nc = response.component_count;
    const int n = response.point_count;
    const FitFunction fit_trial = fit_for(nc);
    std::vector<double> y(static_cast<size_t>(n));
    std::vector<double> w(static_cast<size_t>(n));
    double x[kMaxComponents] = {};
    double normal[kMaxComponents][kStride] = {};

    outcome->failed = false;
    outcome->best = 6.0e12;
    const double low1 = 0.94;
    const double high1 = 1.06;
    const double step1 = (high1 - low1) / 50.0;
    for (int pass = 0; pass < 2; ++pass) {
        double low = low1;
        double step = step1;
        if (pass == 1) {
            const double centre = *gain_factor;
            low = centre - step1;
            const double high = centre + step1;
            step = (high - low) / 50.0;
        }
        for (int trial = 0; trial < 50; ++trial) {
            const double g = low + trial * step;
            note_trial(&outcome->range, static_cast<float>(g));
            const bool stretch = g >= 0.001;
            for (int i = 0; i < n; ++i) {
                const int ch = roi_channel[i];
                // The last working channel is never written by the correction.
                double d = 0.0;
                if (ch != x_channels - 1) {
                    d = stretch ? gain_at(g, compressed_sample, x_channels, ch + 1)
                                : static_cast<float>(compressed_sample[ch]);
                }
                y[i] = d - scaled_background[i];
                const double variance = scaled_variance[i] + d;
                w[i] = variance < 1.0 ? 0.0 : 1.0 / std::sqrt(variance);
            }
            double figure = 0.0;
            if (fit_trial(n, y.data(), w.data(), response.by_point.data(), x, normal, &figure) != 0) {
                outcome->failed = true;
                return;
            }
            if (outcome->best > figure) {
                outcome->best = figure;
                *gain_factor = static_cast<float>(g);
                for (int k = 0; k < nc; ++k) {
                    outcome->solution[k] = x[k];
                    outcome->deviation[k] = normal[k][k];
                }
            }
        }
    }
}

}  // namespace lsq_fast
