// Pictures of evaluations: one SVG per evaluated row, and an HTML index of
// them.
//
// In: finished rows (the values the table and the report show, and the
// measured and expected spectra).
// Out: SVG and HTML text; writing it is the run's.
// Failure: none; any bytes in names and entries are shown safely.
#pragma once

#include <string>
#include <vector>

#include "output/row.h"

// The file name of a row's picture: the row number (four digits), "_", and the
// entry with every byte outside [A-Za-z0-9._-] replaced by "_", then ".svg".
// Only the first 80 bytes of the entry are used, so every name stays valid.
std::string plot_file_name(int row, const std::string& entry);

// The SVG document of one evaluation, 1000 x 640 px. Where things are drawn,
// for checking a picture against its data (px, origin top left):
// - the picture shows channels 0 to N - 1: N is one past the last channel
//   with a count other than zero in the measured or the expected spectrum or
//   in a ROI, rounded up to a multiple of 64 (all 1024 when there is none);
//   the title says "channels 0-(N - 1) of 1024" when N is less. Channel c is
//   at x = 64 + w (c + 0.5) with w = 896 / N px (0.875 for all 1024): the N
//   channels fill 64 to 960, labelled every 10, 20, 25, 50 or 100 channels,
//   the first of these that leaves at most eleven labels;
// - the count axis is logarithmic: with a = log10 of the largest positive
//   count and L = floor(log10 of the smallest positive count), both over
//   measured and expected, L is raised to -1 if lower and to ceil(a) - 8 if
//   lower than that, and set to floor(a - 1) when a - L < 1; the top of the
//   axis is H = a + (a - L) / 5 (L = 0, H = 1 when no count is positive).
//   A count v > 0 is at
//   y = 58 + (H - max(log10 v, L)) / (H - L) * 288, so 10^L is at y = 346
//   and the largest count one sixth of the way down from y = 58. Counts of
//   zero and below are at y = 360 (the floor line) and marked there;
// - the residual (measured - expected) / sqrt(expected_variance) of each ROI
//   channel (sqrt(max(expected, 1)) without a variance) is a bar from y = 425
//   towards 380 (+R) or 470 (-R), R the
//   first of 5, 10, 20, 50 not below the largest |residual|; larger ones are
//   clipped at 50 and marked.
// The measured and expected spectra are paths with the ids "measured" and
// "expected", one point per shown channel with a value, in channel order.
// With the fit's detail, the fit figure of every trial gain is a small curve
// (id "scan-curve", the winner "scan-winner") at x 650 to 790, and the title
// gives chi-square per degree of freedom and its p-value. Where the row has
// an energy calibration that is finite and rises over the shown channels,
// round energies (id "energy-axis", labels in keV) stand at their channels
// under the channel numbers: at most eleven, chosen from the range, in
// exponent form where whole numbers would take more than 14 characters.
// The ROIs of interfered components are outlined (group id "interference")
// and named in an INTERFERENCE badge; each unknown peak is a small triangle
// over the measured spectrum at its channel with its energy, or "ch N"
// without a calibration (group id "unknown-peaks").
std::string plot_svg(const FinishedRow& data);

// One row of the index page.
struct IndexRow {
    FinishedRow data;        // measured and expected may be left empty here
    std::string file_name;   // of the picture, relative to the index
};

// The HTML page listing every row with its values, flags and a thumbnail
// linking to its picture; self-contained (inline style, no script, nothing
// fetched from elsewhere), for opening from the file system. It is also
// well-formed XML, so XML tools can check and read it.
std::string plot_index_html(const std::string& title, const std::vector<IndexRow>& rows);
