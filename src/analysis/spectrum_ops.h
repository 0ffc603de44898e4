// Operations on spectra and channel ranges that the fit builds on: the two
// compression schemes, the gain correction, and the joining of ROIs.
//
// In: 1024-channel int32 spectra, channel numbers, gain factors, ROI lists.
// Out: compressed spectra (in place), mapped channel numbers, stretched float
// spectra, joined and sorted ROI lists.
// Failure: none; sums saturate at the int32 limits, and ROI lists never
// exceed their capacity.
#pragma once

#include <cstdint>

#include "analysis/analysis_types.h"
#include "core/conversions.h"
#include "core/records.h"

// Channels after the two compression schemes.
inline constexpr int kLoiChannels = 282;  // quasi-logarithmic widths 1, 2, 4, 8
inline constexpr int kIvaChannels = 512;  // halving

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

// Channels the fit works on: 282 for mode 1 and 512 for mode 2 when
// channel_count is 1024, else channel_count.
int working_channels(int32_t channel_count, int32_t mode);
// Whether mode and channel count ask for compression at all.
bool compresses(int32_t channel_count, int32_t mode);
// Compresses a 1024-channel spectrum in place as the mode says (nothing
// unless compresses()).
void compress_spectrum(int32_t* channel, int32_t channel_count, int32_t mode);
// A ROI's bounds on the working scale (unchanged unless compresses()); false
// when the range is not a range within the working channels, which no fit
// can use.
bool map_roi(int32_t first, int32_t end, int32_t channel_count, int32_t mode, int32_t* mapped_first,
             int32_t* mapped_end);

// ---------------------------------------------------------------------------
// Gain correction.

// The 1-based source channel k nearest to output position `position`
// (counted from 1) stretched by g >= kSmallestGain, with x = position / g;
// n where k would lie at or beyond n. The correction has a value at the
// position only where k has a neighbour on both sides: 1 < k < n.
inline int gain_source_channel(double g, int n, int position, double* x) {
    *x = position / g;
    const double rounded = *x + 0.5;
    // Tested before the conversion so that no factor can overflow it.
    return rounded < static_cast<double>(n) ? static_cast<int>(rounded) : n;
}

// Whether output position `position` of an n-channel correction by g holds a
// corrected count (true everywhere for a g below kSmallestGain, which copies).
inline bool gain_fills(double g, int n, int position) {
    if (!(g >= kSmallestGain)) return true;
    if (position >= n) return false;  // the last position is never written
    double x = 0.0;
    const int k = gain_source_channel(g, n, position, &x);
    return k > 1 && k < n;
}

// Output position `position` of the gain correction of `counts` (n channels)
// by g >= kSmallestGain: the quadratic through the nearest source channel and
// its neighbours at the stretched position, divided by g to keep the area;
// 1.0 where the lower neighbour is missing (and for a negative value),
// 100000.0 where the upper one is.
inline float gain_at(double g, const int32_t* counts, int n, int position) {
    double x = 0.0;
    const int k = gain_source_channel(g, n, position, &x);
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

// Stretches `counts` by the gain factor into `out` (both channel_count long),
// preserving area. Writes out[0..n-2] (the last entry is left as it was); a
// factor below kSmallestGain (or NaN) copies all n counts as floats.
void gain(double gain_factor, const int32_t* counts, float* out, int32_t channel_count);

// ---------------------------------------------------------------------------
// ROI joining.

// Joins overlapping ranges of `source` (ranges sharing a channel become their
// union) and appends the result to `destination` behind its ranges. Returns the
// new count of `destination`, or source's count when that is 0 or less.
int32_t roi_join_all(const RoiList* source, RoiList* destination);
// Empties `destination`, joins `source` into it and sorts it by first channel.
void roi_join_sort(const RoiList* source, RoiList* destination);
// Appends up to `count` pairs to `list`, as far as its capacity allows.
void append_rois(RoiList* list, const int32_t (*pairs)[2], int count);
