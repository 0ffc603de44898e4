// Ambient dose rate from a 1024-channel scintillation spectrum by
// spectrum-to-dose conversion coefficients and a dead-time correction.
#pragma once

#include <cstdint>

#include "main.h"

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

void dose_calc_nai16(const SampleRecord* sample, float* out, float dose_factor,
                     double dead_time_c3, double dead_time_c2, double dead_time_c1,
                     double dead_time_limit, int32_t table_select);
