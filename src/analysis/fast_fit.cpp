#include "analysis/fast_fit.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/fit.h"
#include "analysis/peak_shape.h"
#include "analysis/solver.h"
#include "core/sha256.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define ASSAY_AVX_KERNELS 1
#include <immintrin.h>
#else
#define ASSAY_AVX_KERNELS 0
#endif

namespace {


// What the scan needs per ROI channel, fixed for one evaluation.
struct ScanPlan {
    int points = 0;
    std::vector<int32_t> channel;           // working channel of each ROI channel
    std::vector<double> position;           // channel + 1: the output position of the correction
    std::vector<double> last_channel_mask;  // all bits set where the channel is the last one
    std::vector<double> scaled_background;  // U * l
    std::vector<double> scaled_variance;    // U * U * l
    // Per source channel k (from 1) with neighbours on both sides, the
    // integer terms of the correction's quadratic as doubles, four to a
    // channel: 2 b, e - a, a - 2 b + e and a zero. One load then brings a
    // point's three terms, where gathering and converting its three counts
    // took a dozen steps.
    std::vector<double> terms;
};

// Fills plan->terms from the sample's x_channels counts. The terms are
// integers below 2^35, exact in doubles, so they are those of the 64-bit
// integer arithmetic converted.
void plan_terms(const int32_t* sample, int x_channels, ScanPlan* plan) {
    plan->terms.assign(static_cast<size_t>(std::max(x_channels, 0)) * 4, 0.0);
    for (int k = 2; k < x_channels; ++k) {
        const double a = sample[k - 2];
        const double b = sample[k - 1];
        const double e = sample[k];
        const double twice_b = b + b;
        double* at = &plan->terms[static_cast<size_t>(k) * 4];
        at[0] = twice_b;
        at[1] = e - a;
        at[2] = (a - twice_b) + e;
    }
}

// ---------------------------------------------------------------------------
// Baseline kernels: SSE2 (part of every x86-64) or plain scalar code.

// Corrected counts at the ROI channels, and the data and weights of a trial.
// Data *y and weight *w of ROI channel i for the gain factor g.
inline void prepare_point(double g, const int32_t* sample, int x_channels, const ScanPlan& plan,
                          int i, double* y, double* w) {
    const double d = corrected_count(g, sample, x_channels, plan.channel[i]);
    *y = d - plan.scaled_background[i];
    *w = sample_weight(plan.scaled_variance[i] + d);
}

void prepare_baseline(double g, const int32_t* sample, int x_channels, const ScanPlan& plan,
                      double* y, double* w) {
    for (int i = 0; i < plan.points; ++i) prepare_point(g, sample, x_channels, plan, i, &y[i], &w[i]);
}

// Right-hand side and normal matrix: the same sums as lst_sqr, each in point
// order, with independent sums side by side in SSE2 lanes.
template <int M>
void accumulate_baseline(int n, const double* y, const double* w, const double* design, double* x,
                         double (*normal)[kStride]) {
#if defined(__SSE2__)
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
    double out[2 * (P > 0 ? P : 1)];
    for (int p = 0; p < P; ++p) _mm_storeu_pd(out + 2 * p, rhs[p]);
    for (int i = 0; i < M; ++i) x[i] = out[i];
    for (int i = 0; i < M; ++i) {
        for (int p = 0; p < P; ++p) _mm_storeu_pd(out + 2 * p, acc[i][p]);
        for (int k = 0; k < M; ++k) normal[i][k] = out[k];
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
}

// Weighted residual sum of squares, points in order.
template <int M>
double residual_baseline(int n, const double* y, const double* w, const double* design,
                         const double* x) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        const double* row = design + j * kStride;
        double fit_value = 0.0;
        for (int i = 0; i < M; ++i) fit_value += row[i] * x[i];
        const double term = std::sqrt(w[j]) * (y[j] - fit_value);
        sum += term * term;
    }
    return sum;
}

#if ASSAY_AVX_KERNELS
// ---------------------------------------------------------------------------
// AVX kernels, chosen at run time on processors that have AVX. Their four
// lanes are four trials of a scan side by side, point by point: every lane
// does work, a design value meets the trials' weights by a broadcast, and
// each trial's sums still run in point order. No fused multiply-add: every
// product and sum is rounded on its own, as in the baseline, so the results
// are the same bits.

// The work is staged in three loops (positions, corrected counts, weights)
// rather than one: each stage's dependency chain is short, so the processor
// keeps many points of a stage in flight instead of stalling on one point's
// chain of divisions and the square root.
// The first stage: where the points fall for gains g[0..3], all at least
// kSmallestGain.
__attribute__((target("avx"))) void place_avx(const double* g, int x_channels, const ScanPlan& plan,
                                              GainPlacement* placed) {
    std::copy(g, g + kLanes, placed->g);
    placed->nearest.resize(static_cast<size_t>(plan.points) * kLanes);
    placed->distance.resize(static_cast<size_t>(plan.points) * kLanes);
    placed->outside.resize(static_cast<size_t>(plan.points));
    int32_t* nearest = placed->nearest.data();
    double* distance = placed->distance.data();
    uint8_t* outside = placed->outside.data();
    const __m256d gv = _mm256_loadu_pd(g);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d lowest_k = _mm256_set1_pd(2.0);
    const __m256d limit = _mm256_set1_pd(static_cast<double>(x_channels));
    for (int j = 0; j < plan.points; ++j) {
        const __m256d x = _mm256_div_pd(_mm256_broadcast_sd(&plan.position[j]), gv);
        const __m256d rounded = _mm256_add_pd(x, half);
        // Points where a trial's nearest channel lacks a neighbour take the
        // scalar path.
        const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(rounded, lowest_k, _CMP_GE_OQ),
                                             _mm256_cmp_pd(rounded, limit, _CMP_LT_OQ));
        outside[j] = _mm256_movemask_pd(inside) != 0xf;
        const __m128i k = _mm256_cvttpd_epi32(_mm256_and_pd(rounded, inside));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&nearest[kLanes * j]), k);
        _mm256_storeu_pd(&distance[kLanes * j], _mm256_sub_pd(x, _mm256_cvtepi32_pd(k)));
    }
}

// The later stages: the data and weights of four trials, interleaved point
// by point into y and w, from the placement of their points.
__attribute__((target("avx"))) void prepare_avx(const double* g, const int32_t* sample, int x_channels,
                                                const ScanPlan& plan, const GainPlacement* placed,
                                                double* y, double* w) {
    const auto scalar_point = [&](int j) {
        for (int t = 0; t < kLanes; ++t) {
            prepare_point(g[t], sample, x_channels, plan, j, &y[kLanes * j + t], &w[kLanes * j + t]);
        }
    };
    if (placed == nullptr) {
        for (int j = 0; j < plan.points; ++j) scalar_point(j);
        return;
    }
    const double* terms = plan.terms.data();
    const int32_t* nearest = placed->nearest.data();
    const double* distance = placed->distance.data();
    const uint8_t* outside = placed->outside.data();

    const __m256d gv = _mm256_loadu_pd(g);
    const __m256d twice_g = _mm256_add_pd(gv, gv);
    const __m256d zero = _mm256_setzero_pd();
    const __m128 one_float = _mm_set1_ps(1.0f);
    for (int j = 0; j < plan.points; ++j) {
        if (outside[j]) {
            scalar_point(j);
            continue;
        }
        // The four trials' terms, transposed into one vector per term.
        const int32_t* k = &nearest[kLanes * j];
        const __m256d r0 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(k[0])]);
        const __m256d r1 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(k[1])]);
        const __m256d r2 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(k[2])]);
        const __m256d r3 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(k[3])]);
        const __m256d low01 = _mm256_unpacklo_pd(r0, r1);   // 2b0 2b1 c0 c1
        const __m256d high01 = _mm256_unpackhi_pd(r0, r1);  // s0 s1 0 0
        const __m256d low23 = _mm256_unpacklo_pd(r2, r3);
        const __m256d high23 = _mm256_unpackhi_pd(r2, r3);
        const __m256d twice_b = _mm256_permute2f128_pd(low01, low23, 0x20);
        const __m256d slope = _mm256_permute2f128_pd(high01, high23, 0x20);
        const __m256d curvature = _mm256_permute2f128_pd(low01, low23, 0x31);
        const __m256d d = _mm256_loadu_pd(&distance[kLanes * j]);
        const __m256d numerator = _mm256_add_pd(_mm256_add_pd(twice_b, _mm256_mul_pd(slope, d)),
                                                _mm256_mul_pd(curvature, _mm256_mul_pd(d, d)));
        const __m256d v = _mm256_div_pd(numerator, twice_g);
        // A negative value becomes 1.0; the test is on the double.
        const __m128 negative = _mm256_cvtpd_ps(_mm256_cmp_pd(v, zero, _CMP_LT_OQ));
        const __m128 narrowed = _mm_or_ps(_mm_and_ps(negative, one_float),
                                          _mm_andnot_ps(negative, _mm256_cvtpd_ps(v)));
        __m256d corrected = _mm256_cvtps_pd(narrowed);
        corrected = _mm256_andnot_pd(_mm256_broadcast_sd(&plan.last_channel_mask[j]), corrected);
        _mm256_storeu_pd(&y[kLanes * j], _mm256_sub_pd(corrected, _mm256_broadcast_sd(&plan.scaled_background[j])));
        // The corrected counts wait in w for the last stage.
        _mm256_storeu_pd(&w[kLanes * j], corrected);
    }

    const __m256d one = _mm256_set1_pd(1.0);
    for (int j = 0; j < plan.points; ++j) {
        if (outside[j]) continue;
        const __m256d variance = _mm256_add_pd(_mm256_broadcast_sd(&plan.scaled_variance[j]),
                                               _mm256_loadu_pd(&w[kLanes * j]));
        const __m256d weight = _mm256_div_pd(one, _mm256_sqrt_pd(variance));
        _mm256_storeu_pd(&w[kLanes * j], _mm256_andnot_pd(_mm256_cmp_pd(variance, one, _CMP_LT_OQ), weight));
    }
}

// Right-hand sides and normal matrices of four trials from their
// interleaved data: row i of trial t's matrix goes to normal[t][i], its
// right-hand side to x[t][i].
template <int M>
__attribute__((target("avx"))) void accumulate_avx(int n, const double* y, const double* w, const double* design,
                                                   double (*x)[kMaxComponents],
                                                   double (*normal)[kMaxComponents][kStride]) {
    for (int i = 0; i < M; ++i) {
        // One row per pass keeps its M + 1 sums in registers.
        __m256d acc[M > 0 ? M : 1];
        __m256d rhs = _mm256_setzero_pd();
        for (int k = 0; k < M; ++k) acc[k] = _mm256_setzero_pd();
        for (int j = 0; j < n; ++j) {
            const double* row = design + j * kStride;
            const __m256d wa = _mm256_mul_pd(_mm256_broadcast_sd(&row[i]), _mm256_loadu_pd(&w[kLanes * j]));
            rhs = _mm256_add_pd(rhs, _mm256_mul_pd(wa, _mm256_loadu_pd(&y[kLanes * j])));
            for (int k = 0; k < M; ++k) {
                acc[k] = _mm256_add_pd(acc[k], _mm256_mul_pd(wa, _mm256_broadcast_sd(&row[k])));
            }
        }
        alignas(32) double out[kLanes];
        _mm256_store_pd(out, rhs);
        for (int t = 0; t < kLanes; ++t) x[t][i] = out[t];
        for (int k = 0; k < M; ++k) {
            _mm256_store_pd(out, acc[k]);
            for (int t = 0; t < kLanes; ++t) normal[t][i][k] = out[t];
        }
    }
}

// The weighted residual sums of squares of four trials, points in order.
template <int M>
__attribute__((target("avx"))) void residual_avx(int n, const double* y, const double* w, const double* design,
                                                 const double (*x)[kMaxComponents], double* sums) {
    __m256d solution[M > 0 ? M : 1];
    for (int i = 0; i < M; ++i) solution[i] = _mm256_setr_pd(x[0][i], x[1][i], x[2][i], x[3][i]);
    __m256d sum = _mm256_setzero_pd();
    for (int j = 0; j < n; ++j) {
        const double* row = design + j * kStride;
        __m256d fit_value = _mm256_setzero_pd();
        for (int i = 0; i < M; ++i) {
            fit_value = _mm256_add_pd(fit_value, _mm256_mul_pd(_mm256_broadcast_sd(&row[i]), solution[i]));
        }
        const __m256d term = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_loadu_pd(&w[kLanes * j])),
                                           _mm256_sub_pd(_mm256_loadu_pd(&y[kLanes * j]), fit_value));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(term, term));
    }
    _mm256_storeu_pd(sums, sum);
}

// Gauss-Jordan elimination as gauss_jordan() does it, on rows that carry the
// right-hand side in column M: a row exchange, the division of the pivot row
// and each row's elimination are then whole-row operations, four lanes at a
// time. Lane by lane the operations are those of the scalar loops (a quotient,
// a product, a difference), so the bits are the same. Columns past M hold
// zeros on entry and nothing that is read on exit. After a pivot in column c
// row c is done, so the rows still free are those of the free columns.

// Lane masks of a set of columns: bit c of the pattern for lane c of a half.
alignas(32) constexpr uint64_t kLaneMasks[16][4] = {
    {0, 0, 0, 0}, {~0ull, 0, 0, 0}, {0, ~0ull, 0, 0}, {~0ull, ~0ull, 0, 0},
    {0, 0, ~0ull, 0}, {~0ull, 0, ~0ull, 0}, {0, ~0ull, ~0ull, 0}, {~0ull, ~0ull, ~0ull, 0},
    {0, 0, 0, ~0ull}, {~0ull, 0, 0, ~0ull}, {0, ~0ull, 0, ~0ull}, {~0ull, ~0ull, 0, ~0ull},
    {0, 0, ~0ull, ~0ull}, {~0ull, 0, ~0ull, ~0ull}, {0, ~0ull, ~0ull, ~0ull}, {~0ull, ~0ull, ~0ull, ~0ull}};

// The pivot among the free rows and columns (bits of free_columns) into
// *row and *col; false when its magnitude is below 1e-30.
template <int M>
__attribute__((target("avx"))) inline bool find_pivot(double (*rows)[kStride], unsigned free_columns, int* row,
                                                      int* col) {
    static_assert(M >= 1 && M < kStride && kStride == 8);
    constexpr bool upper = M >= 4;  // columns 4 to 7 carry data
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d low_mask = _mm256_load_pd(reinterpret_cast<const double*>(kLaneMasks[free_columns & 15]));
    const __m256d high_mask = _mm256_load_pd(reinterpret_cast<const double*>(kLaneMasks[free_columns >> 4]));
    // The largest magnitude among free rows and columns. A NaN is never
    // larger: max returns its second operand when the first is NaN.
    __m256d largest = _mm256_setzero_pd();
    for (int r = 0; r < M; ++r) {
        if (!(free_columns >> r & 1u)) continue;
        largest = _mm256_max_pd(_mm256_and_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r])), low_mask), largest);
        if constexpr (upper) {
            largest = _mm256_max_pd(_mm256_and_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r] + 4)), high_mask),
                                    largest);
        }
    }
    largest = _mm256_max_pd(_mm256_permute2f128_pd(largest, largest, 1), largest);
    largest = _mm256_max_pd(_mm256_permute_pd(largest, 0x5), largest);
    if (_mm256_cvtsd_f64(largest) < 1e-30) return false;
    // The first element of that magnitude in row-major order is the one the
    // scalar search, taking only strictly larger ones, settles on.
    for (int r = 0; r < M; ++r) {
        if (!(free_columns >> r & 1u)) continue;
        const __m256d low = _mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r]));
        int found = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(low, largest, _CMP_EQ_OQ), low_mask));
        if constexpr (upper) {
            const __m256d high = _mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r] + 4));
            found |= _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(high, largest, _CMP_EQ_OQ), high_mask)) << 4;
        }
        if (found != 0) {
            *row = r;
            *col = std::countr_zero(static_cast<unsigned>(found));
            return true;
        }
    }
    *row = *col = 0;  // not reached: the largest is one of the elements
    return true;
}

// Moves the pivot's row to row col, divides it by the pivot and eliminates
// column col from the other rows.
template <int M>
__attribute__((target("avx"))) inline void pivot_on(double (*rows)[kStride], int row, int col) {
    constexpr bool upper = M >= 4;
    if (row != col) {
        for (int half = 0; half < (upper ? 8 : 4); half += 4) {
            const __m256d a = _mm256_loadu_pd(rows[row] + half);
            _mm256_storeu_pd(rows[row] + half, _mm256_loadu_pd(rows[col] + half));
            _mm256_storeu_pd(rows[col] + half, a);
        }
    }
    // The pivot's own element is set (to 1, or to 0 in the other rows) in
    // the registers: a narrow store under a wide load would stall.
    const unsigned only = 1u << col;
    const __m256d at_low = _mm256_load_pd(reinterpret_cast<const double*>(kLaneMasks[only & 15]));
    const __m256d at_high = _mm256_load_pd(reinterpret_cast<const double*>(kLaneMasks[only >> 4]));
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d pivot = _mm256_set1_pd(rows[col][col]);
    const __m256d pivot_low = _mm256_div_pd(_mm256_blendv_pd(_mm256_loadu_pd(rows[col]), one, at_low), pivot);
    _mm256_storeu_pd(rows[col], pivot_low);
    __m256d pivot_high = _mm256_setzero_pd();
    if constexpr (upper) {
        pivot_high = _mm256_div_pd(_mm256_blendv_pd(_mm256_loadu_pd(rows[col] + 4), one, at_high), pivot);
        _mm256_storeu_pd(rows[col] + 4, pivot_high);
    }
    for (int r = 0; r < M; ++r) {
        if (r == col) continue;
        const __m256d factor = _mm256_set1_pd(rows[r][col]);
        const __m256d low = _mm256_andnot_pd(at_low, _mm256_loadu_pd(rows[r]));
        _mm256_storeu_pd(rows[r], _mm256_sub_pd(low, _mm256_mul_pd(pivot_low, factor)));
        if constexpr (upper) {
            const __m256d high = _mm256_andnot_pd(at_high, _mm256_loadu_pd(rows[r] + 4));
            _mm256_storeu_pd(rows[r] + 4, _mm256_sub_pd(high, _mm256_mul_pd(pivot_high, factor)));
        }
    }
}

// The eliminations of the matrices of `count` trials (up to kLanes) in
// step, pass by pass: each waits on its own divisions and searches, and the
// others' work fills those waits. status[t] is 0, or -1 where a pivot's
// magnitude falls below 1e-30 (that matrix is then left part way).
template <int M>
__attribute__((target("avx"))) void eliminate_avx(double (*const* rows)[kStride], int count, int32_t* status) {
    unsigned free_columns[kLanes];
    int row[kLanes] = {};
    int col[kLanes] = {};
    for (int t = 0; t < count; ++t) {
        free_columns[t] = (1u << M) - 1;
        status[t] = 0;
    }
    for (int pass = 0; pass < M; ++pass) {
        for (int t = 0; t < count; ++t) {
            if (status[t] != 0) continue;
            if (find_pivot<M>(rows[t], free_columns[t], &row[t], &col[t])) {
                free_columns[t] &= ~(1u << col[t]);
            } else {
                status[t] = -1;
            }
        }
        for (int t = 0; t < count; ++t) {
            if (status[t] == 0) pivot_on<M>(rows[t], row[t], col[t]);
        }
    }
}
#endif

#if ASSAY_AVX_KERNELS
// The eliminations of the matrices rows[t] with right-hand sides x[t] of
// `count` trials (up to kLanes), bit for bit as gauss_jordan() does them,
// returns in status[t]: each right-hand side rides in column M of its rows
// (zeros past it) and is taken back from there.
template <int M>
void eliminate_trials(double (*const* rows)[kStride], double* const* x, int count, int32_t* status) {
    if constexpr (M == 0) {
        double flags[1];
        for (int t = 0; t < count; ++t) {
            status[t] = gauss_jordan(0, [r = rows[t]](int i, int k) -> double& { return r[i][k]; }, x[t], flags);
        }
    } else {
        for (int t = 0; t < count; ++t) {
            for (int i = 0; i < M; ++i) {
                rows[t][i][M] = x[t][i];
                for (int k = M + 1; k < kStride; ++k) rows[t][i][k] = 0.0;
            }
        }
        eliminate_avx<M>(rows, count, status);
        for (int t = 0; t < count; ++t) {
            if (status[t] != 0) continue;
            for (int i = 0; i < M; ++i) x[t][i] = rows[t][i][M];
        }
    }
}
#endif

// The elimination of a trial's normal matrix and right-hand side x: in rows
// that carry x beside them where the processor has AVX, else gauss_jordan().
template <int M, bool Avx>
int32_t eliminate(double (*normal)[kStride], double* x) {
#if ASSAY_AVX_KERNELS
    if constexpr (Avx) {
        double (*const rows[1])[kStride] = {normal};
        double* const xs[1] = {x};
        int32_t status = 0;
        eliminate_trials<M>(rows, xs, 1, &status);
        return status;
    }
#endif
    double flags[kMaxComponents];
    return gauss_jordan(M, [normal](int i, int k) -> double& { return normal[i][k]; }, x, flags);
}

// The figure of a fit from its weighted residual sum of squares.
inline double fit_figure(int n, int m, double sum) { return m != n ? sum / static_cast<double>(n - m) : sum; }

// One trial's fit, as lst_sqr computes it, but for the deviations, which
// only a winner needs (the caller works them out from `normal`).
template <int M>
int32_t fit(const FastCalibration& response, const double* y, const double* w, double* x,
            double (*normal)[kStride], double* chi2) {
    const int n = response.calibration.point_count;
    accumulate_baseline<M>(n, y, w, response.by_point.data(), x, normal);
    if (eliminate<M, false>(normal, x) != 0) return -1;
    *chi2 = fit_figure(n, M, residual_baseline<M>(n, y, w, response.by_point.data(), x));
    return 0;
}

using FitFunction = int32_t (*)(const FastCalibration&, const double*, const double*, double*,
                                double (*)[kStride], double*);

FitFunction fit_for(int components) {
    static constexpr FitFunction table[] = {fit<0>, fit<1>, fit<2>, fit<3>, fit<4>, fit<5>, fit<6>};
    return table[components];
}

#if ASSAY_AVX_KERNELS
// The fits of four trials at once, each as fit() computes it, from data
// interleaved point by point: status[t] is 0, or -1 for a singular matrix;
// chi2[t] the figure of a solved one. Lanes from `count` on are padding and
// are not solved.
template <int M>
void fit_four(const FastCalibration& response, const double* y, const double* w, int count,
              double (*x)[kMaxComponents], double (*normal)[kMaxComponents][kStride], int32_t* status,
              double* chi2) {
    const int n = response.calibration.point_count;
    accumulate_avx<M>(n, y, w, response.by_point.data(), x, normal);
    double (*const rows[kLanes])[kStride] = {normal[0], normal[1], normal[2], normal[3]};
    double* const xs[kLanes] = {x[0], x[1], x[2], x[3]};
    eliminate_trials<M>(rows, xs, count, status);
    double sums[kLanes];
    residual_avx<M>(n, y, w, response.by_point.data(), x, sums);
    for (int t = 0; t < count; ++t) chi2[t] = fit_figure(n, M, sums[t]);
}

using FourFunction = void (*)(const FastCalibration&, const double*, const double*, int,
                              double (*)[kMaxComponents], double (*)[kMaxComponents][kStride], int32_t*, double*);

FourFunction four_for(int components) {
    static constexpr FourFunction table[] = {fit_four<0>, fit_four<1>, fit_four<2>, fit_four<3>,
                                             fit_four<4>, fit_four<5>, fit_four<6>};
    return table[components];
}
#endif

bool avx_available() {
#if ASSAY_AVX_KERNELS
    static const bool available = __builtin_cpu_supports("avx");
    return available;
#else
    return false;
#endif
}

using EliminateFunction = int32_t (*)(double (*)[kStride], double*);

template <bool Avx>
EliminateFunction eliminate_for(int components) {
    static constexpr EliminateFunction table[] = {eliminate<0, Avx>, eliminate<1, Avx>, eliminate<2, Avx>,
                                                  eliminate<3, Avx>, eliminate<4, Avx>, eliminate<5, Avx>,
                                                  eliminate<6, Avx>};
    return table[components];
}

}  // namespace

int32_t fast_gauss_jordan(int m, double (*normal)[kStride], double* x, AnalysisKernel kernel) {
    if (m < 0 || m > kMaxComponents) return -1;
    const bool avx = kernel != AnalysisKernel::baseline && avx_available();
    return (avx ? eliminate_for<true>(m) : eliminate_for<false>(m))(normal, x);
}

// ---------------------------------------------------------------------------
// The calibration and its cache.

namespace {

// The standards of a method as far as a calibration reads them, kept to tell
// whether a later method would give the same calibration; with the method's
// identity, when known, which tells it without comparing the spectra.
class StandardsKey {
public:
    bool matches(const MethodRecord& method, int nc, const std::string& identity) const {
        if (component_count_ != nc) return false;
        if (!identity.empty() && identity == identity_) return true;
        for (int k = 0; k < nc; ++k) {
            const ComponentBlock& block = method.component[k];
            const Standard& kept = standards_[k];
            if (!same_bits(&kept.weight, &block.weight, sizeof kept.weight) ||
                !same_bits(kept.standard_activity, block.standard_activity, sizeof(float) * nc) ||
                kept.standard_live_time != block.standard_live_time ||
                kept.background_live_time != block.background_live_time ||
                !same_bits(kept.standard_channel, block.standard_channel, sizeof kept.standard_channel) ||
                !same_bits(kept.background_channel, block.background_channel,
                           sizeof kept.background_channel)) {
                return false;
            }
        }
        return true;
    }
    void take(const MethodRecord& method, int nc, const std::string& identity) {
        component_count_ = nc;
        identity_ = identity;
        for (int k = 0; k < nc; ++k) {
            const ComponentBlock& block = method.component[k];
            Standard& kept = standards_[k];
            kept.weight = block.weight;
            std::memcpy(kept.standard_activity, block.standard_activity, sizeof kept.standard_activity);
            kept.standard_live_time = block.standard_live_time;
            kept.background_live_time = block.background_live_time;
            std::memcpy(kept.standard_channel, block.standard_channel, sizeof kept.standard_channel);
            std::memcpy(kept.background_channel, block.background_channel, sizeof kept.background_channel);
        }
    }

private:
    static bool same_bits(const void* a, const void* b, size_t size) { return std::memcmp(a, b, size) == 0; }
    struct Standard {
        float weight;
        float standard_activity[kMaxComponents];
        uint64_t standard_live_time;
        uint64_t background_live_time;
        int32_t standard_channel[kChannels];
        int32_t background_channel[kChannels];
    };
    int component_count_ = -1;
    std::string identity_;
    std::unique_ptr<Standard[]> standards_ = std::make_unique<Standard[]>(kMaxComponents);
};

template <class Value>
void add_field(Sha256* digest, const Value& value) {
    digest->add(std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
}

}  // namespace

// Field by field, so that no padding byte enters the digest.
std::string method_identity(const MethodRecord& method) {
    Sha256 digest;
    add_field(&digest, method.component_count);
    add_field(&digest, method.detection_limit);
    add_field(&digest, method.partial_limit);
    for (const ComponentBlock& block : method.component) {
        add_field(&digest, block.weight);
        add_field(&digest, block.standard_activity);
        add_field(&digest, block.standard_live_time);
        add_field(&digest, block.standard_real_time);
        add_field(&digest, block.standard_channel);
        add_field(&digest, block.background_live_time);
        add_field(&digest, block.background_real_time);
        add_field(&digest, block.background_channel);
        add_field(&digest, block.in_summary);
        add_field(&digest, block.roi_count);
        add_field(&digest, block.roi);
    }
    return digest.hex_digest();
}

// The inputs that decide a calibration, and its result; the same for the
// model's full-scale response.
struct FitCache::State {
    bool valid = false;
    int32_t channel_count = 0;
    int32_t mode = 0;
    std::vector<int32_t> roi_channel;
    StandardsKey standards;
    FastCalibration calibration;

    bool model_valid = false;
    int32_t model_channel_count = 0;
    StandardsKey model_standards;
    Calibration model;
    bool model_noise_valid = false;  // model_noise is that of the model's inputs
    StandardsNoise model_noise;

    PeakFilter peak_filter;
    EvaluationScratch scratch;
};

PeakFilter* cached_peak_filter(FitCache* cache) { return cache != nullptr ? &cache->state().peak_filter : nullptr; }
EvaluationScratch* cached_scratch(FitCache* cache) { return cache != nullptr ? &cache->state().scratch : nullptr; }

FitCache::FitCache() : state_(std::make_unique<State>()) {}
FitCache::~FitCache() = default;

namespace {

// Whether a calibration from these inputs would be the one the cache holds;
// the compression is part of the key only through what it does.
bool cache_matches(const FitCache::State& state, const MethodRecord& method, int nc,
                   int32_t channel_count, int32_t mode, const std::vector<int32_t>& roi_channel,
                   const std::string& identity) {
    return state.valid &&
           working_channels(state.channel_count, state.mode) == working_channels(channel_count, mode) &&
           compresses(state.channel_count, state.mode) == compresses(channel_count, mode) &&
           state.roi_channel == roi_channel && state.standards.matches(method, nc, identity);
}

void cache_inputs(FitCache::State* state, const MethodRecord& method, int nc, int32_t channel_count,
                  int32_t mode, const std::vector<int32_t>& roi_channel, const std::string& identity) {
    state->channel_count = channel_count;
    state->mode = mode;
    state->roi_channel = roi_channel;
    state->standards.take(method, nc, identity);
    state->valid = true;
}

void make_calibration(const MethodRecord& method, int nc, int32_t channel_count, int32_t mode,
                      const std::vector<int32_t>& roi_channel, FastCalibration* target) {
    auto spectra = std::make_unique<FitSpectra>();
    copy_standards(method, nc, channel_count, mode, spectra.get());
    calibrate(method, nc, spectra->standard, spectra->background, roi_channel, &target->calibration);
    standards_noise(method, nc, spectra->standard, spectra->background, roi_channel, &target->noise);
    target->first_pass.clear();
    target->wide.clear();
    const int n = target->calibration.point_count;
    target->by_point.assign(static_cast<size_t>(n) * kStride, 0.0);
    if (target->calibration.singular) return;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < nc; ++j) target->by_point[i * kStride + j] = target->calibration.response[j * n + i];
    }
}

}  // namespace

FastCalibration& fast_calibration(const MethodRecord& method, int nc, int32_t channel_count,
                                  int32_t mode, const std::vector<int32_t>& roi_channel,
                                  const std::string& identity, FitCache* cache, FastCalibration* local) {
    if (cache == nullptr) {
        make_calibration(method, nc, channel_count, mode, roi_channel, local);
        return *local;
    }
    FitCache::State& state = cache->state();
    if (!cache_matches(state, method, nc, channel_count, mode, roi_channel, identity)) {
        state.valid = false;
        make_calibration(method, nc, channel_count, mode, roi_channel, &state.calibration);
        cache_inputs(&state, method, nc, channel_count, mode, roi_channel, identity);
    }
    return state.calibration;
}

const Calibration& cached_model_response(const MethodRecord& method, int nc, int32_t channel_count,
                                         const std::string& identity, FitCache* cache, Calibration* local) {
    if (cache == nullptr) {
        model_response(method, nc, channel_count, local);
        return *local;
    }
    FitCache::State& state = cache->state();
    if (!state.model_valid || state.model_channel_count != channel_count ||
        !state.model_standards.matches(method, nc, identity)) {
        state.model_valid = false;
        state.model_noise_valid = false;
        model_response(method, nc, channel_count, &state.model);
        state.model_channel_count = channel_count;
        state.model_standards.take(method, nc, identity);
        state.model_valid = true;
    }
    return state.model;
}

const StandardsNoise& cached_model_noise(const MethodRecord& method, int nc, int32_t channel_count,
                                         const std::string& identity, FitCache* cache, StandardsNoise* local) {
    if (cache == nullptr) {
        full_scale_standards_noise(method, nc, channel_count, local);
        return *local;
    }
    Calibration unused;
    cached_model_response(method, nc, channel_count, identity, cache, &unused);  // the keys, up to date
    FitCache::State& state = cache->state();
    if (!state.model_noise_valid) {
        full_scale_standards_noise(method, nc, channel_count, &state.model_noise);
        state.model_noise_valid = true;
    }
    return state.model_noise;
}

// ---------------------------------------------------------------------------
// The scan.

#if ASSAY_AVX_KERNELS
namespace {

// Where the points fall for the four trials from `first` of `pass` at gains
// g: kept with the calibration for the gains every scan tries alike (the
// first pass, the wide search) and used again while its gains have the same
// bits; worked out into `scratch` for the others.
const GainPlacement& placement(const ScanInput& input, int pass, int first, const double* g, const ScanPlan& plan,
                               FastCalibration* calibration, GainPlacement* scratch) {
    std::vector<GainPlacement>* kept = nullptr;
    if (std::isnan(input.held_gain)) {
        kept = input.coarse ? &calibration->wide : pass == 0 ? &calibration->first_pass : nullptr;
    }
    if (kept == nullptr) {
        place_avx(g, input.x_channels, plan, scratch);
        return *scratch;
    }
    const size_t group = static_cast<size_t>(first / kLanes);
    if (kept->size() <= group) kept->resize(group + 1);
    GainPlacement& into = (*kept)[group];
    if (std::memcmp(into.g, g, sizeof into.g) != 0) place_avx(g, input.x_channels, plan, &into);
    return into;
}

}  // namespace
#endif

void fast_scan(const ScanInput& input, FastCalibration& calibration, AnalysisKernel kernel,
               float* gain_factor, ScanOutcome* outcome) {
    const int nc = calibration.calibration.component_count;
    const int n = calibration.calibration.point_count;
    const int32_t* sample = input.sample;
    const int x_channels = input.x_channels;

    // What every trial needs per ROI channel, worked out once.
    ScanPlan plan;
    plan.points = n;
    plan.channel = *input.roi_channel;
    for (const int32_t ch : *input.roi_channel) {
        const double l = input.local_background[ch];
        plan.position.push_back(ch + 1.0);
        plan.last_channel_mask.push_back(ch == x_channels - 1 ? std::bit_cast<double>(~uint64_t{0}) : 0.0);
        plan.scaled_background.push_back(input.u * l);
        plan.scaled_variance.push_back(input.u * input.u * l);
    }

    const bool avx = kernel != AnalysisKernel::baseline && avx_available();
    if (avx) plan_terms(input.sample, x_channels, &plan);

    *outcome = ScanOutcome{};
    // Notes a trial's fit in the trials' order; false when the scan ends
    // with it (a singular matrix).
    const auto take = [&](int pass, int trial, double g, int32_t status, double figure, const double* solution,
                          double (*inverse)[kStride]) {
        note_trial(&outcome->range, static_cast<float>(g));
        if (status != 0) {
            outcome->failed = true;
            return false;
        }
        if (note_figure(outcome, pass, trial, g, figure, gain_factor)) {
            // Only a winner's deviations are read.
            deviations_from_inverse(nc, [inverse](int i, int k) -> double& { return inverse[i][k]; }, figure);
            for (int k = 0; k < nc; ++k) {
                outcome->solution[k] = solution[k];
                outcome->deviation[k] = inverse[k][k];
            }
        }
        return true;
    };

#if ASSAY_AVX_KERNELS
    if (avx) {
        // Four trials at a time, side by side; a last group short of four
        // fills its lanes with its first trial's gain.
        std::vector<double> y(static_cast<size_t>(n) * kLanes);
        std::vector<double> w(static_cast<size_t>(n) * kLanes);
        GainPlacement scratch;
        const FourFunction fit_trials = four_for(nc);
        double x[kLanes][kMaxComponents] = {};
        double normal[kLanes][kMaxComponents][kStride] = {};
        for (int pass = 0; pass < scan_passes(input); ++pass) {
            const ScanPass trials = scan_pass(input, pass, *gain_factor);
            const int count = scan_trials(input);
            for (int first = 0; first < count; first += kLanes) {
                const int group = std::min(kLanes, count - first);
                double g[kLanes];
                bool placeable = true;
                for (int t = 0; t < kLanes; ++t) {
                    g[t] = t < group ? scan_gain(input, trials, first + t) : g[0];
                    placeable = placeable && g[t] >= kSmallestGain;
                }
                const GainPlacement* placed =
                    placeable ? &placement(input, pass, first, g, plan, &calibration, &scratch) : nullptr;
                prepare_avx(g, sample, x_channels, plan, placed, y.data(), w.data());
                int32_t status[kLanes] = {};
                double figures[kLanes] = {};
                fit_trials(calibration, y.data(), w.data(), group, x, normal, status, figures);
                for (int t = 0; t < group; ++t) {
                    if (!take(pass, first + t, g[t], status[t], figures[t], x[t], normal[t])) return;
                }
            }
        }
        return;
    }
#endif
    const FitFunction fit_trial = fit_for(nc);
    std::vector<double> y(static_cast<size_t>(n));
    std::vector<double> w(static_cast<size_t>(n));
    double x[kMaxComponents] = {};
    double normal[kMaxComponents][kStride] = {};
    for (int pass = 0; pass < scan_passes(input); ++pass) {
        const ScanPass trials = scan_pass(input, pass, *gain_factor);
        for (int trial = 0; trial < scan_trials(input); ++trial) {
            const double g = scan_gain(input, trials, trial);
            prepare_baseline(g, sample, x_channels, plan, y.data(), w.data());
            double figure = 0.0;
            const int32_t status = fit_trial(calibration, y.data(), w.data(), x, normal, &figure);
            if (!take(pass, trial, g, status, figure, x, normal)) return;
        }
    }
}
