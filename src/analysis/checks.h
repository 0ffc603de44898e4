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
