// The detector's peak shape and a filter that finds it in the difference
// between a measured spectrum and a model: what the interference test and
// the search for unknown peaks share.
//
// In: full-scale channels (0-based, fractional where said), spectra as
// floats per channel, variances in counts squared.
// Out: peak widths (FWHM in channels), filtered net counts and their
// standard deviations.
// Failure: none; a filter whose window leaves the valid channels reports
// that it has no value, and a width that cannot be estimated falls back on
// the default.
#pragma once

#include <array>
#include <unordered_map>
#include <vector>

#include "core/records.h"

// The detector's resolution: a peak at channel c has a FWHM of
// k sqrt(c) channels (a scintillator's width grows as the square root of the
// energy, and energy nearly as the channel).
struct Resolution {
    double fwhm_per_root_channel = 0.0;  // k
    bool from_standards = false;         // k was measured on the standards' peaks
};

// The FWHM in channels at channel c (at least one channel).
double resolution_fwhm(const Resolution& resolution, double channel);

// The resolution measured on the components' responses (net standard
// spectra per unit activity, nc rows of channel_count values, as
// model_response() gives them): each component's highest point in its ROIs
// whose half maximum is reached on both sides gives k = 2 * (the narrower
// half width) / sqrt(channel) (the narrower side, as a neighbouring line or
// the Compton continuum widens the other); the median over the components.
// Without such a peak, the width the energy calibration `calibration`
// implies (calibration_resolution()), and without one the default:
// 1.1865 sqrt(c) channels, the width the excess search of checks.h works with.
Resolution standards_resolution(const MethodRecord& method, const double* response, int nc,
                                int channel_count, const std::vector<double>& calibration = {});

// A scintillator's usual FWHM at 662 keV, relative (NaI(Tl) 6 to 8 %, CsI(Tl)
// 7 to 9 %): what a calibration in keV per channel turns into channels.
inline constexpr double kNominalResolution662 = 0.075;

// The resolution an energy calibration (keV at full-scale channel c =
// sum_k calibration[k] c^k) implies for a scintillator of the usual
// resolution, FWHM = kNominalResolution662 sqrt(662 keV E), in channels by
// the calibration's slope at the channel of 662 keV (the middle channel
// where the calibration does not reach 662 keV), as k sqrt(c) there. A k of
// 0 where the calibration is missing or does not rise there.
Resolution calibration_resolution(const std::vector<double>& calibration, int channel_count);

// The share of the model's counts per channel to which its shape is trusted
// (the standards were counted in another geometry, with other scatter and a
// slightly other resolution): at high statistics a difference of a few per
// cent in the continuum or on a line is no sign of a nuclide the method lacks.
inline constexpr double kModelShapeShare = 0.05;

// What a difference measured - model is judged against, per channel: the
// variance of the difference plus (kModelShapeShare model)^2.
std::vector<double> judged_variance(const float* variance, const float* model, int channel_count);

// The filter's answer at one channel.
struct FilteredPeak {
    bool valid = false;  // every channel of the window had a value
    double net = 0.0;    // net counts of a peak of the detector's shape centred there
    double sd = 0.0;     // their standard deviation from the variances
    double significance() const { return sd > 0.0 ? net / sd : 0.0; }
};

// The net counts of a peak of FWHM `fwhm` at channel `centre` in a
// difference (NaN where a channel has no value), by a kernel of the peak's
// shape less its mean over a window of +-3 sigma (at least +-2 channels): it
// has zero area and is symmetric, so a constant or a straight slope of the
// difference gives nothing; only a curvature on the scale of a peak does.
// The variance per channel gives the standard deviation. Kernels are kept
// for widths in steps of 2 %, so that one filter kept for many spectra
// builds each kernel once.
class PeakFilter {
public:
    FilteredPeak operator()(const std::vector<double>& difference, const std::vector<double>& variance,
                            int centre, double fwhm);
    // The largest of 0 and the net counts operator() finds at the centres
    // from..to that give a valid peak, all with the kernel of one FWHM: one
    // kernel and a window that slides, where operator() at each centre
    // looks up the kernel and checks the whole window again.
    double strongest_net(const std::vector<double>& difference, const std::vector<double>& variance, int from,
                         int to, double fwhm);

    // The filter at every channel c of the difference for the resolution's
    // FWHM at c: the same answers as operator() at each c, except that with
    // `positive_only` a channel whose net counts are not above 0 gets no
    // standard deviation (0, so its significance is 0) unless `wanted` marks
    // it: what a search for peaks needs, at half the cost. With a finite
    // `least_significance` above 0, a channel `wanted` does not mark whose
    // significance provably stays below it is left without a value (valid
    // false): a search for peaks of that significance needs no more, and
    // most channels are settled so without filtering them.
    std::vector<FilteredPeak> scan(const std::vector<double>& difference, const std::vector<double>& variance,
                                   const Resolution& resolution, bool positive_only,
                                   const std::vector<bool>* wanted = nullptr,
                                   double least_significance = 0.0);

private:
    struct Kernel {
        std::vector<double> weight;          // the peak's shape less its mean, 2w + 1 channels
        std::vector<double> weight_squared;  // for the variance
        double response = 0.0;       // the kernel's sum over the shape: the net counts' divisor
        // The weights within this many channels of the centre are above 0,
        // the rest not; -1 where the weights do not fall so.
        int positive_reach = -1;
        // Rings of channels about the centre, out to ring_reach[t] channels
        // (from the last ring's reach + 1; none where the reach is the
        // last's), and the least squared weight in each (0 in none): a
        // floor under the variance sum.
        static constexpr int kRings = 4;
        std::array<int, kRings> ring_reach{};
        std::array<double, kRings> ring_least{};
    };
    const Kernel& kernel(int step);
    std::unordered_map<int, Kernel> kernels_;
    // The kernel step of each channel for the last resolution scanned, and
    // for each block of kBlock channels the channels their windows span
    // together, those where any of their weights is positive, and those
    // where all are (where none: core_low = high + 1, core_high = high).
    static constexpr int kBlock = 8;
    struct Block {
        int low, high;
        int positive_low, positive_high;
        int core_low, core_high;
    };
    double steps_resolution_ = -1.0;
    std::vector<int> steps_;
    std::vector<Block> blocks_;
    // Scratch of scan(), kept so that a filter kept for many spectra
    // allocates it once: per channel boundary, channels without a value,
    // channels whose variance bounds nothing, the sums of difference^2 /
    // variance over the channels where the difference is above and below 0,
    // and of the variance.
    std::vector<int> gaps_;
    std::vector<int> unbounded_;
    std::vector<double> above_;
    std::vector<double> below_;
    std::vector<double> variance_sum_;
};
// The upper tail of the standard normal distribution at z.
double normal_upper_tail(double z);
