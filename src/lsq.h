// Activity analysis: activities of the method's components in a spectrum, by a
// weighted least-squares fit over the ROI channels with a scan of the gain
// factor, and the detection and plausibility checks on the result.
//
// Nothing here prints or keeps state between calls. All arithmetic follows a
// fixed order of operations so that results are reproducible to the last bit.
#pragma once

#include <cstdint>
#include <memory>

#include "main.h"

// ROI ranges a list can hold: every ROI of six components (10 each) plus ten
// extra ranges, so no method can overflow it.
inline constexpr int kRoiListCapacity = kMaxComponents * kComponentRois + 10;

// Channels after the two compression schemes.
inline constexpr int kLoiChannels = 282;  // quasi-logarithmic widths 1, 2, 4, 8
inline constexpr int kIvaChannels = 512;  // halving

// A list of channel ranges (first, end), both bounds inclusive for the analysis.
struct RoiList {
    int32_t count;                       // ranges in use; 0 or less means none
    int32_t roi[kRoiListCapacity][2];    // (first channel, end channel)
};

// Dense row-major matrix of doubles; a vector is a one-row matrix. A plain
// value: the caller owns `data` and releases it with free_matrix.
struct Matrix {
    int32_t rows;
    int32_t cols;   // also the row stride: element (i, j) is data[i * cols + j]
    double* data;
};

// Sets rows and cols and allocates rows x cols zero-filled doubles into `data`;
// on failure (or a negative size) `data` is null.
void alloc_matrix(Matrix* matrix, int32_t rows, int32_t cols);

// Releases `data` and sets rows, cols and data to zero; harmless when data is null.
void free_matrix(Matrix* matrix);

// Owns one Matrix for the span of a scope.
struct MatrixHolder {
    Matrix m{0, 0, nullptr};
    MatrixHolder() = default;
    MatrixHolder(int32_t rows, int32_t cols) { alloc_matrix(&m, rows, cols); }
    MatrixHolder(const MatrixHolder&) = delete;
    MatrixHolder& operator=(const MatrixHolder&) = delete;
    ~MatrixHolder() { free_matrix(&m); }
};

// ---------------------------------------------------------------------------
// Evaluation.

// Remembers the calibration (response matrix) of the last method and ROI list
// a fit saw, so that evaluations against the same method skip it. Results are
// the same bits with or without it. One per thread: it is not shared.
class FitCache {
public:
    FitCache();
    ~FitCache();
    FitCache(const FitCache&) = delete;
    FitCache& operator=(const FitCache&) = delete;

    struct State;
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// The lowest and highest gain factor a gain scan tried (as floats, as the
// winning gain is stored); both NaN when no trial ran.
struct ScanRange {
    float lowest;
    float highest;
};

// Instruction sets the fast gain scan may use; all give the same bits.
enum class AnalysisKernel {
    automatic,  // the widest the processor has
    baseline,   // SSE2 on x86-64, plain code elsewhere
};

// How a fit may run. The default is the fast path without a cache.
struct AnalysisOptions {
    FitCache* cache = nullptr;         // reuse calibrations across calls
    bool straightforward = false;      // the plain form of the fit, kept as the reference
    ScanRange* scan_range = nullptr;   // receives the range of the last scan, when given
    AnalysisKernel kernel = AnalysisKernel::automatic;
};

// Evaluates `sample` against `method`: fills activity, activity_sd (method
// order; 0 for components dropped in a second pass), qfit, summary_activity,
// summary_fraction, over_limit, below_limit, limit_status, unknown_found and
// gain of `sample`.
//   extra_rois      further ROIs appended after the components' ROIs, or null
//   channel_count   channels of the spectra (1024 in a run)
//   two_pass        nonzero: evaluate again without components below their detection limit
//   check_total     nonzero: set bit 1 of limit_status when summary_activity > summary_limit
//   check_fraction  nonzero: set bit 2 of limit_status when summary_fraction > 1
//   mode            compression: 1 quasi-logarithmic (282 channels), 2 halving (512), else none
// Background spectra with live time 0 in `method` and `local_background` are
// replaced by empty spectra of live and real time 1 s; that change stays.
// Returns 0 on success. Returns -1 when the fit failed: the sample then holds
// only the resets of the limit fields (activity, activity_sd, qfit,
// unknown_found and gain keep their earlier values). A channel_count outside
// 0..1024 returns -1 and changes nothing.
int32_t lsq_calc_activity(SampleRecord* sample, MethodRecord* method,
                          LocalBackground* local_background, const RoiList* extra_rois,
                          int32_t channel_count, int32_t two_pass, int32_t check_total,
                          int32_t check_fraction, int32_t mode,
                          const AnalysisOptions& options = {});

// Puts empty spectra of live and real time 1 s (channel_count channels of 0)
// in place of the component backgrounds (below component_count) and the local
// background whose live time is 0; lsq_calc_activity starts with this.
void default_backgrounds(MethodRecord* method, LocalBackground* local_background,
                         int32_t channel_count);

// The fit for all components of `method` over the ROIs `rois` (full-scale
// channels, inclusive): writes activity and activity_sd entries below
// component_count and qfit of `sample`; `gain_factor` is the gain kept when no
// trial wins and receives the winning gain; `corrected_spectrum` (at least
// channel_count floats) receives the caller's uncompressed sample corrected by
// the final gain. Returns 0 on success, -1 when an ROI is outside the working
// channels (nothing written), when a calibration fit is singular (zeros and
// qfit 6e12 written) or when a sample fit is singular (the best earlier trial
// written).
int32_t calc_activity(SampleRecord* sample, const MethodRecord* method,
                      const LocalBackground* local_background, const RoiList* rois,
                      int32_t channel_count, float* gain_factor, float* corrected_spectrum,
                      int32_t mode, const AnalysisOptions& options = {});

// ---------------------------------------------------------------------------
// Compression of 1024-channel spectra and of channel numbers.

// Sums the 1024 counts in place into 282 channels of widths 1, 2, 4 and 8 and
// zeroes the rest; sums saturate at the int32 limits.
void reduce_spc_loi(int32_t* channel);
// Maps a channel number counted from 1 to its 0-based quasi-logarithmic
// channel; numbers outside 1..1024 give 281.
int32_t reduce_ch_loi(int32_t channel_number);
// Sums pairs of channels in place into 512 channels and zeroes the rest; sums
// saturate at the int32 limits.
void reduce_spc_iva(int32_t* channel);
// Maps a channel number to the halved scale: h * 0.5 rounded half away from zero.
int32_t reduce_ch_iva(int32_t channel_number);

// ---------------------------------------------------------------------------
// ROI joining.

// Joins overlapping ranges of `source` (ranges sharing a channel become their
// union) and appends the result to `destination` behind its ranges. Returns the
// new count of `destination`, or source's count when that is 0 or less.
int32_t roi_join_all(const RoiList* source, RoiList* destination);
// Empties `destination`, joins `source` into it and sorts it by first channel.
void roi_join_sort(const RoiList* source, RoiList* destination);

// ---------------------------------------------------------------------------
// Checks.

// Sets over_limit[i] of `sample` for the components of `method` with a
// positive partial_limit (activity + sd over the limit) and ORs bit 0 into
// *status (when given) if any is set.
void check_partial_limit(SampleRecord* sample, const MethodRecord* method, int32_t* status);

// Sums activity + sd (T) and (activity + sd) / partial_limit (F) over the
// components with a positive partial_limit and nonzero in_summary; sets bit 1
// when check_total and T > total_limit, bit 2 when check_fraction and F > 1.
// Returns the status word (starting from *status when given) and stores it and
// T and F through the pointers that are given.
int32_t check_summary_limit(const SampleRecord* sample, const MethodRecord* method,
                            int32_t check_total, int32_t check_fraction, float total_limit,
                            int32_t* status, float* total_out, float* fraction_out);

// Searches `sample` for a peak-like excess over `background` (scaled by the
// live-time ratio) with a sliding window. Returns 1 if one is found, else 0.
int32_t check_act_over_bg(const SampleRecord* sample, const LocalBackground* background,
                          int32_t channel_count);

// The spectrum expected from the local background and the fitted activities
// of `sample` (in the order of `method`), per channel into `out`
// (channel_count values): the local background scaled to the sample's live
// time plus, for each component, its standard's count rate times the live
// time times activity / standard activity, less its background at full rate,
// where that difference is positive (an undefined one adds nothing).
void expected_counts(const SampleRecord* sample, const MethodRecord* method,
                     const LocalBackground* local_background, int32_t channel_count, float* out);

// Builds the expected spectrum of expected_counts (as int32 counts) and
// returns check_act_over_bg of the sample against it.
int32_t check_unknown(const SampleRecord* sample, const MethodRecord* method,
                      const LocalBackground* local_background, int32_t channel_count);

// ---------------------------------------------------------------------------
// Internal operations, declared for the tests.

// Weighted linear least squares with m = param_count coefficients and
// n = point_count points: solves (A W A^T) x = A W y by Gauss-Jordan
// elimination with full pivoting. On success returns 0, `solution` holds x,
// the diagonal of `normal` the standard deviations and *chi2 the weighted
// residual sum (divided by n - m when they differ). Returns -1 when the normal
// matrix is singular (outputs partly transformed, chi2 not written).
int32_t lst_sqr(int32_t param_count, int32_t point_count, const Matrix& values,
                const Matrix& weights, const Matrix& design, Matrix& solution, Matrix& normal,
                Matrix& weighted_design, Matrix& pivot_flags, double* chi2);

// Stretches `counts` by the gain factor into `out` (both channel_count long),
// preserving area. Writes out[0..n-2] (the last entry is left as it was); a
// factor below 0.001 (or NaN) copies all n counts as floats.
void gain(double gain_factor, const int32_t* counts, float* out, int32_t channel_count);

// A real as an int32 count: truncated toward zero; NaN gives 0, values beyond
// the int32 range give the nearest limit.
int32_t float_to_count(double value);
