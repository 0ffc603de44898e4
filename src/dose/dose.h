// The dose rate of a spectrum.
//
// In: a sample record's 1024 counts, live and real time (s), and the
// calibration of dose.txt.
// Out: the dose rate in the unit the calibration factor gives (the
// coefficient tables are gray- or sievert-based), and the dead time in per
// cent. Single precision with a fixed mixture of double, reproduced bit for
// bit.
// Failure: none; a live time of 0 gives 0, and a dead time over the limit is
// reported by the sign of the result.
#pragma once

#include <cstdint>

#include "core/records.h"

// The dead time in per cent above which the run's dose rates are negated.
inline constexpr double kDeadTimeLimitPercent = 85.0;

// Coefficient per bin of four channels (bin g covers channels 4g..4g+3).
inline constexpr int kDoseBins = kChannels / 4;
extern const float effi_bgo_2x2_gy[kDoseBins];  // gray-based result
extern const float effi_bgo_2x2_sv[kDoseBins];  // sievert-based result

// Dose rate of `sample` into *out:
//   dose_factor * sum_g K[g] * (counts of bin g)
//   / ((1 + a1 D + a2 D^2 + a3 D^3) * live_time / 1000)
// with a1..a3 the dead_time coefficients divided by 1000 and
// D = 100 * (1 - live_time / real_time) the dead time in per cent.
// K is effi_bgo_2x2_sv when table_select is 1, else effi_bgo_2x2_gy. The four
// counts of a bin are added in 64-bit integers, so no bin sum overflows.
// A live time of 0 gives 0. A dead time above dead_time_limit (per cent) is
// reported by negating the result. Reads live_time, real_time and channel only.
// The dead time D in per cent that dose_calc_nai16 uses, in single precision:
// (1 - t / r) * 100 with t and r the live and real time divided by 1000.
float dose_dead_time(const SampleRecord* sample);

// Whether dose_calc_nai16 with kDeadTimeLimitPercent negates the dose rate of
// `sample`: a live time and a dead time above the limit.
bool dose_dead_time_over_limit(const SampleRecord* sample);

// What the dose rate of a table is: "ambient dose equivalent rate" for the
// sievert-based table (table_select 1), else "air kerma rate".
const char* dose_quantity(int32_t table_select);

void dose_calc_nai16(const SampleRecord* sample, float* out, float dose_factor,
                     double dead_time_c3, double dead_time_c2, double dead_time_c1,
                     double dead_time_limit, int32_t table_select);
