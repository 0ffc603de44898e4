// The dose-rate calibration, dose.txt.
//
// In: DOSE ("dose.txt") in the working directory: the dose factor, the cubic,
// quadratic and linear dead-time coefficients (reals) and the table switch
// (an integer), separated by white space; anything after them is not read.
// Out: the five values, and whether all five were read.
// Failure: a file that cannot be opened or holds fewer than five values that
// scan gives an incomplete calibration and one diagnostic line; no dose rate
// is invented from it.
#pragma once

#include <cstdint>
#include <cstdio>

struct DoseCalibration {
    float dose_factor = 0.0f;
    float dead_time_c3 = 0.0f;
    float dead_time_c2 = 0.0f;
    float dead_time_c1 = 0.0f;
    int32_t table_select = 0;
    bool complete = false;  // all five values were read
};

DoseCalibration read_dose_calibration(FILE* diagnostics);
