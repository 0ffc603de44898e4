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
// Data and weight of ROI channel i for the gain factor g.
inline void prepare_point(double g, const int32_t* sample, int x_channels, const ScanPlan& plan,
                          int i, double* y, double* w) {
    const double d = corrected_count(g, sample, x_channels, plan.channel[i]);
    y[i] = d - plan.scaled_background[i];
    w[i] = sample_weight(plan.scaled_variance[i] + d);
}

void prepare_baseline(double g, const int32_t* sample, int x_channels, const ScanPlan& plan,
                      double* y, double* w) {
    for (int i = 0; i < plan.points; ++i) prepare_point(g, sample, x_channels, plan, i, y, w);
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
// AVX kernels (four lanes), chosen at run time on processors that have AVX.
// No fused multiply-add: every product and sum is rounded on its own, as in
// the baseline, so the results are the same bits.

// The work is staged in three loops (positions, corrected counts, weights)
// rather than one: each stage's dependency chain is short, so the processor
// keeps many points of a stage in flight instead of stalling on one point's
// chain of divisions and the square root.
// The first stage: where the points fall for g >= kSmallestGain.
__attribute__((target("avx"))) void place_avx(double g, int x_channels, const ScanPlan& plan,
                                              GainPlacement* placed) {
    const int blocks = plan.points / 4;
    placed->g = g;
    placed->nearest.resize(static_cast<size_t>(plan.points));
    placed->distance.resize(static_cast<size_t>(plan.points));
    placed->outside.resize(static_cast<size_t>(blocks));
    int32_t* nearest = placed->nearest.data();
    double* distance = placed->distance.data();
    uint8_t* outside = placed->outside.data();
    const __m256d gv = _mm256_set1_pd(g);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d lowest_k = _mm256_set1_pd(2.0);
    const __m256d limit = _mm256_set1_pd(static_cast<double>(x_channels));
    for (int block = 0; block < blocks; ++block) {
        const int i = 4 * block;
        const __m256d x = _mm256_div_pd(_mm256_loadu_pd(&plan.position[i]), gv);
        const __m256d rounded = _mm256_add_pd(x, half);
        // Lanes whose nearest channel lacks a neighbour take the scalar path.
        const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(rounded, lowest_k, _CMP_GE_OQ),
                                             _mm256_cmp_pd(rounded, limit, _CMP_LT_OQ));
        outside[block] = _mm256_movemask_pd(inside) != 0xf;
        const __m128i k = _mm256_cvttpd_epi32(_mm256_and_pd(rounded, inside));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&nearest[i]), k);
        _mm256_storeu_pd(&distance[i], _mm256_sub_pd(x, _mm256_cvtepi32_pd(k)));
    }
}

// The later stages, from the placement of the points for g.
__attribute__((target("avx"))) void prepare_avx(double g, const int32_t* sample, int x_channels,
                                                const ScanPlan& plan, const GainPlacement* placed,
                                                double* y, double* w) {
    if (!(g >= kSmallestGain)) {
        prepare_baseline(g, sample, x_channels, plan, y, w);
        return;
    }
    const int blocks = plan.points / 4;
    const double* terms = plan.terms.data();
    const int32_t* nearest = placed->nearest.data();
    const double* distance = placed->distance.data();
    const uint8_t* outside = placed->outside.data();

    const __m256d twice_g = _mm256_set1_pd(2.0 * g);
    const __m256d zero = _mm256_setzero_pd();
    const __m128 one_float = _mm_set1_ps(1.0f);
    for (int block = 0; block < blocks; ++block) {
        const int i = 4 * block;
        if (outside[block]) {
            for (int lane = i; lane < i + 4; ++lane) prepare_point(g, sample, x_channels, plan, lane, y, w);
            continue;
        }
        // The four points' terms, transposed into one vector per term.
        const __m256d r0 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(nearest[i])]);
        const __m256d r1 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(nearest[i + 1])]);
        const __m256d r2 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(nearest[i + 2])]);
        const __m256d r3 = _mm256_loadu_pd(&terms[4 * static_cast<size_t>(nearest[i + 3])]);
        const __m256d low01 = _mm256_unpacklo_pd(r0, r1);   // 2b0 2b1 c0 c1
        const __m256d high01 = _mm256_unpackhi_pd(r0, r1);  // s0 s1 0 0
        const __m256d low23 = _mm256_unpacklo_pd(r2, r3);
        const __m256d high23 = _mm256_unpackhi_pd(r2, r3);
        const __m256d twice_b = _mm256_permute2f128_pd(low01, low23, 0x20);
        const __m256d slope = _mm256_permute2f128_pd(high01, high23, 0x20);
        const __m256d curvature = _mm256_permute2f128_pd(low01, low23, 0x31);
        const __m256d d = _mm256_loadu_pd(&distance[i]);
        const __m256d numerator = _mm256_add_pd(_mm256_add_pd(twice_b, _mm256_mul_pd(slope, d)),
                                                _mm256_mul_pd(curvature, _mm256_mul_pd(d, d)));
        const __m256d v = _mm256_div_pd(numerator, twice_g);
        // A negative value becomes 1.0; the test is on the double.
        const __m128 negative = _mm256_cvtpd_ps(_mm256_cmp_pd(v, zero, _CMP_LT_OQ));
        const __m128 narrowed = _mm_or_ps(_mm_and_ps(negative, one_float),
                                          _mm_andnot_ps(negative, _mm256_cvtpd_ps(v)));
        __m256d corrected = _mm256_cvtps_pd(narrowed);
        corrected = _mm256_andnot_pd(_mm256_loadu_pd(&plan.last_channel_mask[i]), corrected);
        _mm256_storeu_pd(&y[i], _mm256_sub_pd(corrected, _mm256_loadu_pd(&plan.scaled_background[i])));
        // The corrected counts wait in w for the last stage.
        _mm256_storeu_pd(&w[i], corrected);
    }

    const __m256d one = _mm256_set1_pd(1.0);
    for (int block = 0; block < blocks; ++block) {
        const int i = 4 * block;
        if (outside[block]) continue;
        const __m256d variance = _mm256_add_pd(_mm256_loadu_pd(&plan.scaled_variance[i]),
                                               _mm256_loadu_pd(&w[i]));
        const __m256d weight = _mm256_div_pd(one, _mm256_sqrt_pd(variance));
        _mm256_storeu_pd(&w[i], _mm256_andnot_pd(_mm256_cmp_pd(variance, one, _CMP_LT_OQ), weight));
    }
    for (int i = 4 * blocks; i < plan.points; ++i) prepare_point(g, sample, x_channels, plan, i, y, w);
}

template <int M>
__attribute__((target("avx"))) void accumulate_avx(int n, const double* y, const double* w,
                                                   const double* design, double* x,
                                                   double (*normal)[kStride]) {
    if constexpr (M <= 2) {
        // One lane group: components 0 and 1 (the other lanes are padding).
        __m256d acc[M > 0 ? M : 1];
        __m256d rhs = _mm256_setzero_pd();
        for (int i = 0; i < M; ++i) acc[i] = _mm256_setzero_pd();
        for (int j = 0; j < n; ++j) {
            const double* row = design + j * kStride;
            const __m256d wj = _mm256_broadcast_sd(&w[j]);
            const __m256d a = _mm256_loadu_pd(row);
            rhs = _mm256_add_pd(rhs, _mm256_mul_pd(_mm256_mul_pd(a, wj), _mm256_broadcast_sd(&y[j])));
            for (int i = 0; i < M; ++i) {
                const __m256d wai = _mm256_mul_pd(_mm256_broadcast_sd(&row[i]), wj);
                acc[i] = _mm256_add_pd(acc[i], _mm256_mul_pd(wai, a));
            }
        }
        alignas(32) double out[4];
        _mm256_store_pd(out, rhs);
        for (int i = 0; i < M; ++i) x[i] = out[i];
        for (int i = 0; i < M; ++i) {
            _mm256_store_pd(out, acc[i]);
            for (int k = 0; k < M; ++k) normal[i][k] = out[k];
        }
    } else {
        // Each sum is one lane of one accumulator. The weighted design values
        // wa_0..wa_3 stay in their own lanes, and the design values they meet
        // are shuffled into place instead, so every product is one multiply:
        // shuffles of (a0 a1 a2 a3) pair lane i with column i, i^1, i^2, i^3;
        // components 4 and 5 ride as (a4 a5 a4 a5) and its shuffles. Padding
        // lanes (components beyond M) hold zeros and are not read back.
        // Two passes over the points keep every sum in a register: a sum
        // spilled to memory would chain each point's addition through a
        // store and a load.
        static_assert(M <= 6);
        const __m256d zero = _mm256_setzero_pd();
        __m256d s0 = zero, s1 = zero, s2 = zero, s3 = zero, rhs_low = zero;
        for (int j = 0; j < n; ++j) {
            const double* row = design + j * kStride;
            const __m256d wj = _mm256_broadcast_sd(&w[j]);
            const __m256d a = _mm256_loadu_pd(row);                   // a0 a1 a2 a3
            const __m256d a_pairs = _mm256_permute_pd(a, 0x5);        // a1 a0 a3 a2
            const __m256d a_halves = _mm256_permute2f128_pd(a, a, 1);  // a2 a3 a0 a1
            const __m256d a_reversed = _mm256_permute_pd(a_halves, 0x5);  // a3 a2 a1 a0
            const __m256d wa = _mm256_mul_pd(a, wj);
            s0 = _mm256_add_pd(s0, _mm256_mul_pd(wa, a));
            s1 = _mm256_add_pd(s1, _mm256_mul_pd(wa, a_pairs));
            s2 = _mm256_add_pd(s2, _mm256_mul_pd(wa, a_halves));
            s3 = _mm256_add_pd(s3, _mm256_mul_pd(wa, a_reversed));
            rhs_low = _mm256_add_pd(rhs_low, _mm256_mul_pd(wa, _mm256_broadcast_sd(&y[j])));
        }
        __m256d c0 = zero, c1 = zero, d0 = zero, d1 = zero, e0 = zero, rhs_high = zero;
        if constexpr (M > 4) {
            for (int j = 0; j < n; ++j) {
                const double* row = design + j * kStride;
                const __m256d wj = _mm256_broadcast_sd(&w[j]);
                const __m256d a = _mm256_loadu_pd(row);
                const __m256d a_pairs = _mm256_permute_pd(a, 0x5);
                const __m256d h = _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(row + 4));  // a4 a5 a4 a5
                const __m256d h_pairs = _mm256_permute_pd(h, 0x5);  // a5 a4 a5 a4
                const __m256d h_mixed = _mm256_permute_pd(h, 0x6);  // a4 a5 a5 a4
                const __m256d wa = _mm256_mul_pd(a, wj);
                const __m256d wh = _mm256_mul_pd(h, wj);            // wa4 wa5 wa4 wa5
                c0 = _mm256_add_pd(c0, _mm256_mul_pd(wa, h));
                c1 = _mm256_add_pd(c1, _mm256_mul_pd(wa, h_pairs));
                d0 = _mm256_add_pd(d0, _mm256_mul_pd(wh, a));
                d1 = _mm256_add_pd(d1, _mm256_mul_pd(wh, a_pairs));
                e0 = _mm256_add_pd(e0, _mm256_mul_pd(wh, h_mixed));
                rhs_high = _mm256_add_pd(rhs_high, _mm256_mul_pd(wh, _mm256_broadcast_sd(&y[j])));
            }
        }
        alignas(32) double out[11][4];
        const __m256d sums[11] = {s0, s1, s2, s3, c0, c1, d0, d1, e0, rhs_low, rhs_high};
        for (int q = 0; q < 11; ++q) _mm256_store_pd(out[q], sums[q]);
        // Row and column of each lane of each accumulator.
        static constexpr int8_t lane_i[9][4] = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3},
                                                {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3},
                                                {4, 5, 4, 5}, {4, 5, 4, 5}, {4, 5, 4, 5}};
        static constexpr int8_t lane_k[9][4] = {{0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1},
                                                {3, 2, 1, 0}, {4, 5, 4, 5}, {5, 4, 5, 4},
                                                {0, 1, 2, 3}, {1, 0, 3, 2}, {4, 5, 5, 4}};
        for (int q = 0; q < 9; ++q) {
            for (int lane = 0; lane < 4; ++lane) {
                const int i = lane_i[q][lane];
                const int k = lane_k[q][lane];
                if (i < M && k < M) normal[i][k] = out[q][lane];
            }
        }
        for (int i = 0; i < M && i < 4; ++i) x[i] = out[9][i];
        for (int i = 4; i < M; ++i) x[i] = out[10][i - 4];
    }
}

template <int M>
__attribute__((target("avx"))) double residual_avx(int n, const double* y, const double* w,
                                                   const double* by_component, const double* x) {
    // Lanes are four points; each fit value is summed over the components in
    // order, and the squares are then added point by point.
    double sum = 0.0;
    int j = 0;
    alignas(32) double squares[4];
    for (; j + 4 <= n; j += 4) {
        __m256d fit_value = _mm256_setzero_pd();
        for (int i = 0; i < M; ++i) {
            fit_value = _mm256_add_pd(fit_value, _mm256_mul_pd(_mm256_loadu_pd(by_component + i * n + j),
                                                               _mm256_broadcast_sd(&x[i])));
        }
        const __m256d term = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_loadu_pd(&w[j])),
                                           _mm256_sub_pd(_mm256_loadu_pd(&y[j]), fit_value));
        _mm256_store_pd(squares, _mm256_mul_pd(term, term));
        sum += squares[0];
        sum += squares[1];
        sum += squares[2];
        sum += squares[3];
    }
    for (; j < n; ++j) {
        double fit_value = 0.0;
        for (int i = 0; i < M; ++i) fit_value += by_component[i * n + j] * x[i];
        const double term = std::sqrt(w[j]) * (y[j] - fit_value);
        sum += term * term;
    }
    return sum;
}

// Gauss-Jordan elimination as gauss_jordan() does it, on rows that carry the
// right-hand side in column M: a row exchange, the division of the pivot row
// and each row's elimination are then whole-row operations, four lanes at a
// time. Lane by lane the operations are those of the scalar loops (a quotient,
// a product, a difference), so the bits are the same. Columns past M hold
// zeros on entry and nothing that is read on exit.
template <int M>
__attribute__((target("avx"))) int32_t eliminate_avx(double (*rows)[kStride]) {
    static_assert(M >= 1 && M < kStride && kStride == 8);
    constexpr bool upper = M >= 4;  // columns 4 to 7 carry data
    // Lane masks of the columns still free of a pivot: bit c of the pattern
    // for lane c of a half.
    alignas(32) static constexpr uint64_t lane_masks[16][4] = {
        {0, 0, 0, 0}, {~0ull, 0, 0, 0}, {0, ~0ull, 0, 0}, {~0ull, ~0ull, 0, 0},
        {0, 0, ~0ull, 0}, {~0ull, 0, ~0ull, 0}, {0, ~0ull, ~0ull, 0}, {~0ull, ~0ull, ~0ull, 0},
        {0, 0, 0, ~0ull}, {~0ull, 0, 0, ~0ull}, {0, ~0ull, 0, ~0ull}, {~0ull, ~0ull, 0, ~0ull},
        {0, 0, ~0ull, ~0ull}, {~0ull, 0, ~0ull, ~0ull}, {0, ~0ull, ~0ull, ~0ull}, {~0ull, ~0ull, ~0ull, ~0ull}};
    const __m256d sign = _mm256_set1_pd(-0.0);
    unsigned free_columns = (1u << M) - 1;
    for (int pass = 0; pass < M; ++pass) {
        const __m256d low_mask = _mm256_load_pd(reinterpret_cast<const double*>(lane_masks[free_columns & 15]));
        const __m256d high_mask = _mm256_load_pd(reinterpret_cast<const double*>(lane_masks[free_columns >> 4]));
        // The largest magnitude among free rows and columns. A NaN is never
        // larger: max returns its second operand when the first is NaN.
        __m256d largest = _mm256_setzero_pd();
        for (int r = 0; r < M; ++r) {
            if (!(free_columns >> r & 1u)) continue;
            largest = _mm256_max_pd(_mm256_and_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r])), low_mask),
                                    largest);
            if constexpr (upper) {
                largest = _mm256_max_pd(
                    _mm256_and_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r] + 4)), high_mask), largest);
            }
        }
        largest = _mm256_max_pd(_mm256_permute2f128_pd(largest, largest, 1), largest);
        largest = _mm256_max_pd(_mm256_permute_pd(largest, 0x5), largest);
        const double pivot_magnitude = _mm256_cvtsd_f64(largest);
        if (pivot_magnitude < 1e-30) return -1;
        // The first element of that magnitude in row-major order is the one
        // the scalar search, taking only strictly larger ones, settles on.
        int row = 0;
        int col = 0;
        for (int r = 0; r < M; ++r) {
            if (!(free_columns >> r & 1u)) continue;
            const __m256d low = _mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r]));
            int found = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(low, largest, _CMP_EQ_OQ), low_mask));
            if constexpr (upper) {
                const __m256d high = _mm256_andnot_pd(sign, _mm256_loadu_pd(rows[r] + 4));
                found |= _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(high, largest, _CMP_EQ_OQ), high_mask)) << 4;
            }
            if (found != 0) {
                row = r;
                col = std::countr_zero(static_cast<unsigned>(found));
                break;
            }
        }
        free_columns &= ~(1u << col);
        if (row != col) {
            for (int half = 0; half < (upper ? 8 : 4); half += 4) {
                const __m256d a = _mm256_loadu_pd(rows[row] + half);
                _mm256_storeu_pd(rows[row] + half, _mm256_loadu_pd(rows[col] + half));
                _mm256_storeu_pd(rows[col] + half, a);
            }
        }
        // The pivot's own element is set (to 1, or to 0 in the other rows)
        // in the registers: a narrow store under a wide load would stall.
        const unsigned only = 1u << col;
        const __m256d at_low = _mm256_load_pd(reinterpret_cast<const double*>(lane_masks[only & 15]));
        const __m256d at_high = _mm256_load_pd(reinterpret_cast<const double*>(lane_masks[only >> 4]));
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
    return 0;
}
#endif

// The elimination of a trial's normal matrix and right-hand side x: in rows
// that carry x beside them where the processor has AVX, else gauss_jordan().
template <int M, bool Avx>
int32_t eliminate(double (*normal)[kStride], double* x) {
#if ASSAY_AVX_KERNELS
    if constexpr (Avx && M > 0) {
        for (int i = 0; i < M; ++i) {
            normal[i][M] = x[i];
            for (int k = M + 1; k < kStride; ++k) normal[i][k] = 0.0;
        }
        if (eliminate_avx<M>(normal) != 0) return -1;
        for (int i = 0; i < M; ++i) x[i] = normal[i][M];
        return 0;
    }
#endif
    double flags[kMaxComponents];
    return gauss_jordan(M, [normal](int i, int k) -> double& { return normal[i][k]; }, x, flags);
}

// One trial's fit, as lst_sqr computes it, but for the deviations, which
// only a winner needs (the caller works them out from `normal`).
template <int M, bool Avx>
int32_t fit(const FastCalibration& response, const double* y, const double* w, double* x,
            double (*normal)[kStride], double* chi2) {
    const int n = response.calibration.point_count;
    double sum = 0.0;
#if ASSAY_AVX_KERNELS
    if constexpr (Avx) {
        accumulate_avx<M>(n, y, w, response.by_point.data(), x, normal);
    } else {
        accumulate_baseline<M>(n, y, w, response.by_point.data(), x, normal);
    }
#else
    accumulate_baseline<M>(n, y, w, response.by_point.data(), x, normal);
#endif
    if (eliminate<M, Avx>(normal, x) != 0) return -1;
#if ASSAY_AVX_KERNELS
    if constexpr (Avx) {
        sum = residual_avx<M>(n, y, w, response.calibration.response.data(), x);
    } else {
        sum = residual_baseline<M>(n, y, w, response.by_point.data(), x);
    }
#else
    sum = residual_baseline<M>(n, y, w, response.by_point.data(), x);
#endif
    if (M != n) sum /= static_cast<double>(n - M);
    *chi2 = sum;
    return 0;
}

using FitFunction = int32_t (*)(const FastCalibration&, const double*, const double*, double*,
                                double (*)[kStride], double*);

template <bool Avx>
FitFunction fit_for(int components) {
    static constexpr FitFunction table[] = {fit<0, Avx>, fit<1, Avx>, fit<2, Avx>, fit<3, Avx>,
                                            fit<4, Avx>, fit<5, Avx>, fit<6, Avx>};
    return table[components];
}

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

// Where the points fall for trial `trial` of `pass` at gain g: kept with the
// calibration for the gains every scan tries alike (the first pass, the wide
// search) and used again while its gain has the same bits; worked out into
// `scratch` for the others.
const GainPlacement& placement(const ScanInput& input, int pass, int trial, double g, const ScanPlan& plan,
                               FastCalibration* calibration, GainPlacement* scratch) {
    std::vector<GainPlacement>* kept = nullptr;
    if (std::isnan(input.held_gain)) {
        kept = input.coarse ? &calibration->wide : pass == 0 ? &calibration->first_pass : nullptr;
    }
    if (kept == nullptr) {
        place_avx(g, input.x_channels, plan, scratch);
        return *scratch;
    }
    if (kept->size() <= static_cast<size_t>(trial)) kept->resize(static_cast<size_t>(trial) + 1);
    GainPlacement& into = (*kept)[static_cast<size_t>(trial)];
    if (std::bit_cast<uint64_t>(into.g) != std::bit_cast<uint64_t>(g)) place_avx(g, input.x_channels, plan, &into);
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
    const FitFunction fit_trial = avx ? fit_for<true>(nc) : fit_for<false>(nc);
    std::vector<double> y(static_cast<size_t>(n));
    std::vector<double> w(static_cast<size_t>(n));
    GainPlacement scratch;
    double x[kMaxComponents] = {};
    double normal[kMaxComponents][kStride] = {};

    *outcome = ScanOutcome{};
    for (int pass = 0; pass < scan_passes(input); ++pass) {
        const ScanPass trials = scan_pass(input, pass, *gain_factor);
        for (int trial = 0; trial < scan_trials(input); ++trial) {
            const double g = scan_gain(input, trials, trial);
            note_trial(&outcome->range, static_cast<float>(g));
#if ASSAY_AVX_KERNELS
            if (avx) {
                const GainPlacement* placed =
                    g >= kSmallestGain ? &placement(input, pass, trial, g, plan, &calibration, &scratch) : nullptr;
                prepare_avx(g, sample, x_channels, plan, placed, y.data(), w.data());
            } else {
                prepare_baseline(g, sample, x_channels, plan, y.data(), w.data());
            }
#else
            prepare_baseline(g, sample, x_channels, plan, y.data(), w.data());
#endif
            double figure = 0.0;
            if (fit_trial(calibration, y.data(), w.data(), x, normal, &figure) != 0) {
                outcome->failed = true;
                return;
            }
            if (note_figure(outcome, pass, trial, g, figure, gain_factor)) {
                // Only a winner's deviations are read.
                deviations_from_inverse(nc, [&normal](int i, int k) -> double& { return normal[i][k]; }, figure);
                for (int k = 0; k < nc; ++k) {
                    outcome->solution[k] = x[k];
                    outcome->deviation[k] = normal[k][k];
                }
            }
        }
    }
}
