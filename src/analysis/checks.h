// The detection and plausibility checks on a fit's result: the partial and
// summary limits, the search for a peak-like excess over a background, and
// the check for an excess that none of the method's components explains.
//
// In: sample and method records (activities in the unit of the standards,
// live times in s, counts per channel).
// Out: limit flags and sums, a status word (bit 0 over a partial limit, bit 1
// total, bit 2 fraction), and 0/1 answers of the excess searches.
// Failure: none; zero limits switch a check off, and windows without a
// background are passed over. Single precision throughout, in a fixed order.
#pragma once

#include <cstdint>

#include "core/records.h"

// The excess search's window reaches this many per cent of the channel
// number divided by its square root on either side of a channel: about the
// FWHM of a scintillator's peak (8 % at 662 keV with 3 keV per channel).
inline constexpr double kExcessWindowPercent = 118.65;

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

// The spectrum the fit's model expects, per full-scale channel j below
// channel_count, into `model`: the local background scaled to the sample's
// live time (U l_j, U = sample_live_time / local background live time) plus,
// for each of the nc components, x_k response(k, j) where that is positive
// (a component adds nothing where its contribution is negative or
// undefined). `response` holds nc rows of channel_count values, the
// response per unit of x (model_response() in fit_common.h); x is the fit's
// solution, activity times the weighted counting time V. When `variance` is
// given it receives the model's Poisson variance max(0, model) + U^2 l_j,
// floored at 1 count.
void model_spectrum(const double* response, int nc, const double* x,
                    const LocalBackground* local_background, uint64_t sample_live_time,
                    int32_t channel_count, float* model, float* variance);

// Whether `sample` (live_time and channel read) shows an excess over the
// expected spectrum `expected` (channel_count gross counts for the sample's
// live time, truncated toward zero to counts): check_act_over_bg of the
// sample against it.
int32_t check_unknown(const SampleRecord* sample, const float* expected, int32_t channel_count);
