// The reference form of the gain scan: every trial corrects the sample,
// forms the data and weights of every ROI channel and fits them with lst_sqr,
// as plainly as the arithmetic can be written. It is slow and kept as the
// yardstick: the fast form (fast_fit.h) must give the same bits.
#pragma once

#include "analysis/fit_common.h"

// Runs the two-pass scan. `gain_factor` is in/out: the gain kept when no
// trial wins, and the winning gain.
void reference_scan(const ScanInput& input, float* gain_factor, ScanOutcome* outcome);
