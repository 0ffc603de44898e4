// The gain scan's hot path (part of the module lsq).
//
// The same arithmetic as the straightforward fit of lsq.cpp, operation for
// operation and sum by sum in the same order, so every result bit is the same;
// it is faster because it touches only the ROI channels, keeps the data of a
// fit contiguous, and runs independent sums side by side in SSE2 lanes.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "lsq.h"

namespace lsq_fast {

// Output position `position` (counted from 1) of the gain correction of
// `counts` (n channels) by the factor g >= 0.001: the quadratic through the
// nearest source channel and its neighbours at the stretched position,
// divided by g to keep the area.
inline float gain_at(double g, const int32_t* counts, int n, int position) {
    const double x = position / g;
    const double rounded = x + 0.5;
    // Tested before the conversion so that no factor can overflow it.
    const int k = rounded < static_cast<double>(n) ? static_cast<int>(rounded) : n;
    if (k <= 1) return 1.0f;
    if (k >= n) return 100000.0f;
    // The integer terms in 64 bits cannot overflow.
    const int64_t a = counts[k - 2];
    const int64_t b = counts[k - 1];
    const int64_t e = counts[k];
    const double d = x - k;
    const double v = (static_cast<double>(2 * b) + static_cast<double>(e - a) * d +
                      static_cast<double>(a - 2 * b + e) * (d * d)) /
                     (2.0 * g);
    return v < 0.0 ? 1.0f : static_cast<float>(v);
}

// The gain scan: two passes of kScanTrials trials; trial m of a pass tries
// low + m * step. The first pass runs from 0.94 in fiftieths of 1.06 - 0.94
// (1.06 itself is not tried); the second runs from one first-pass step below
// the gain the first pass left to one step above, in fiftieths of that span.
inline constexpr int kScanTrials = 50;
struct ScanPass {
    double low;
    double step;
};
inline ScanPass scan_pass(int pass, float gain_after_first_pass) {
    const double low1 = 0.94;
    const double high1 = 1.06;
    const double step1 = (high1 - low1) / 50.0;
    if (pass == 0) return {low1, step1};
    const double centre = gain_after_first_pass;
    const double low = centre - step1;
    const double high = centre + step1;
    return {low, (high - low) / 50.0};
}

// Gauss-Jordan elimination with full pivoting of the m x m matrix `normal`
// (accessed as normal(i, k)) with right-hand side x, leaving the inverse in
// place. Returns -1 when the largest remaining pivot is below 1e-30.
template <class Normal>
int32_t gauss_jordan(int m, Normal&& normal, double* x, double* flags) {
    for (int i = 0; i < m; ++i) flags[i] = 0.0;
    for (int pass = 0; pass < m; ++pass) {
        double largest = 0.0;
        int row = 0;
        int col = 0;
        for (int j = 0; j < m; ++j) {
            if (flags[j] != 0.0) continue;
            for (int k = 0; k < m; ++k) {
                if (flags[k] != 0.0) continue;
                if (std::fabs(normal(j, k)) > largest) {
                    largest = std::fabs(normal(j, k));
                    row = j;
                    col = k;
                }
            }
        }
        if (largest < 1e-30) return -1;
        flags[col] += 1.0;
        if (row != col) {
            for (int l = 0; l < m; ++l) std::swap(normal(row, l), normal(col, l));
            std::swap(x[row], x[col]);
        }
        // Division by the pivot, not multiplication by its reciprocal: the
        // two differ in the last bit.
        const double pivot = normal(col, col);
        normal(col, col) = 1.0;
        for (int l = 0; l < m; ++l) normal(col, l) /= pivot;
        x[col] /= pivot;
        for (int r = 0; r < m; ++r) {
            if (r == col) continue;
            const double factor = normal(r, col);
            normal(r, col) = 0.0;
            for (int l = 0; l < m; ++l) normal(r, l) -= normal(col, l) * factor;
            x[r] -= x[col] * factor;
        }
    }
    return 0;
}

// Row stride of the point-major response: up to six components, padded with
// zeros to eight for four-lane loads.
inline constexpr int kStride = 8;

// The calibration of a method over a list of ROI channels.
struct Response {
    int component_count = 0;
    int point_count = 0;
    bool singular = false;           // a calibration fit was singular
    std::vector<double> by_point;      // point_count rows of kStride: response of each component
    std::vector<double> by_component;  // component_count rows of point_count: the same values
};

// What the scan needs per ROI channel, fixed for one evaluation.
struct ScanPlan {
    int points = 0;
    std::vector<int32_t> channel;             // working channel of each ROI channel
    std::vector<double> position;             // channel + 1: the output position of the correction
    std::vector<double> last_channel_mask;    // all bits set where the channel is the last one
    std::vector<double> scaled_background;    // U * l
    std::vector<double> scaled_variance;      // U * U * l
};

// Runs the calibration fits of the straightforward form and stores the result
// point-major. `standard` and `background` are the compressed spectra.
void build_response(const MethodRecord& method, const int32_t (*standard)[kChannels],
                    const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
                    Response* response);

struct ScanOutcome {
    bool failed = false;                    // a sample fit was singular
    ScanRange range{NAN, NAN};              // lowest and highest trial gain
    double best = 0.0;                      // best figure
    double solution[kMaxComponents] = {};   // of the best trial
    double deviation[kMaxComponents] = {};
};

// Widens `range` to take in the trial gain g (a NaN range takes g).
void note_trial(ScanRange* range, float g);

// The two-pass gain scan over the compressed sample; `gain_factor` is in/out
// as in calc_activity.
void scan(const Response& response, const int32_t* compressed_sample, int x_channels,
          const ScanPlan& plan, AnalysisKernel kernel, float* gain_factor, ScanOutcome* outcome);

}  // namespace lsq_fast
