// The fast form of the gain scan: the same arithmetic as the reference form
// (reference_fit.h), operation for operation and sum by sum in the same
// order, so every result bit is the same. It is faster because it touches
// only the ROI channels, keeps the data of a fit contiguous, runs independent
// sums side by side in SSE2 or AVX lanes (chosen at run time, never fused
// multiply-adds), and reuses a calibration across evaluations.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/fit_common.h"

// Row stride of the point-major response: up to six components, padded with
// zeros to eight for four-lane loads.
inline constexpr int kStride = 8;

// Trials the scan fits side by side.
inline constexpr int kLanes = 4;

// Where the points of a calibration fall in the source spectrum for four
// trial gains g (the same for every sample): per point and trial, point by
// point, the nearest source channel k (from 1) and the distance x - k of its
// stretched position x; per point whether some trial's k lacks a neighbour.
struct GainPlacement {
    double g[kLanes] = {NAN, NAN, NAN, NAN};
    std::vector<int32_t> nearest;
    std::vector<double> distance;
    std::vector<uint8_t> outside;
};

// A calibration, also laid out point by point for the normal-matrix sums.
struct FastCalibration {
    Calibration calibration;
    std::vector<double> by_point;  // point_count rows of kStride
    StandardsNoise noise;          // the standards at the points, for the uncertainties
    // The placements of the trial gains every scan tries in the same way (its
    // first pass, or the wide search), by group of four trials, kept as scans
    // make them.
    std::vector<GainPlacement> first_pass;
    std::vector<GainPlacement> wide;
};

// The calibration of the first nc components of `method` over `roi_channel`
// (working channels after compression by channel_count and mode): the one
// `cache` holds when its inputs are the same bits (the same non-empty
// `identity`, method_identity(), tells the method is), else a new one, made
// into `local` (and kept in `cache` when given).
FastCalibration& fast_calibration(const MethodRecord& method, int nc, int32_t channel_count,
                                  int32_t mode, const std::vector<int32_t>& roi_channel,
                                  const std::string& identity, FitCache* cache, FastCalibration* local);

// The full-scale response of the fit's model (model_response()): the one
// `cache` holds when its inputs are the same bits (known as fast_calibration()
// knows them), else a new one, made into `local` (and kept in `cache` when
// given).
const Calibration& cached_model_response(const MethodRecord& method, int nc, int32_t channel_count,
                                         const std::string& identity, FitCache* cache, Calibration* local);

// The standards' noise over the model's channels (full_scale_standards_noise()),
// kept in `cache` beside the model's response when given, else made into `local`.
const StandardsNoise& cached_model_noise(const MethodRecord& method, int nc, int32_t channel_count,
                                         const std::string& identity, FitCache* cache, StandardsNoise* local);

// The elimination of the fast scan: gauss_jordan() on the m x m matrix in
// the first m columns of `normal`, with right-hand side x, in the form the
// kernel chooses. Bit for bit that of gauss_jordan(), returns included;
// exposed for the tests. m beyond kMaxComponents returns -1.
int32_t fast_gauss_jordan(int m, double (*normal)[kStride], double* x, AnalysisKernel kernel);

// Runs the two-pass scan. `gain_factor` is in/out: the gain kept when no
// trial wins, and the winning gain.
void fast_scan(const ScanInput& input, FastCalibration& calibration, AnalysisKernel kernel,
               float* gain_factor, ScanOutcome* outcome);
