// The conversion every format but the native one shares: a SourceSpectrum
// into the program's record.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"

namespace {

using formats::incomplete;

// A time in seconds as microseconds, or why it cannot be one.
Expected<uint64_t, SpectrumFailure> to_microseconds(const std::optional<double>& seconds, const char* what,
                                                    const char* name) {
    if (!seconds) return incomplete(format("no %s (%s)", what, name));
    if (std::isnan(*seconds)) return incomplete(format("%s (%s) is not a number", what, name));
    if (*seconds < 0.0) return incomplete(format("%s (%s) is negative: %g s", what, name, *seconds));
    const double microseconds = std::round(*seconds * 1e6);
    // 2^64 µs is beyond half a million years; anything that large is damage.
    if (!(microseconds < 18446744073709551616.0)) {
        return incomplete(format("%s (%s) is too large: %g s", what, name, *seconds));
    }
    return static_cast<uint64_t>(microseconds);
}

// A rounded real as an int32 count, held at the limits.
int32_t held_count(double value, bool* held) {
    if (value > 2147483647.0) {
        *held = true;
        return std::numeric_limits<int32_t>::max();
    }
    if (value < -2147483648.0) {
        *held = true;
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// A count rounded to the nearest whole number; whole ones, the usual case,
// need no call to round.
inline double whole_count(double count, bool* rounded) {
    if (std::fabs(count) < 4503599627370496.0 && static_cast<double>(static_cast<int64_t>(count)) == count) {
        return count;
    }
    const double whole = std::round(count);
    *rounded = *rounded || whole != count;
    return whole;
}

// The polynomial p(x) on channels grouped by `group`: channel j of the record
// holds file channels group*j .. group*j + group - 1, so its energy is that at
// their middle, x = group*j + (group - 1)/2.
std::vector<double> regroup_calibration(const std::vector<double>& p, int group) {
    if (group == 1) return p;
    const double g = group;
    const double h = (g - 1.0) / 2.0;
    std::vector<double> q(p.size(), 0.0);
    for (size_t k = 0; k < p.size(); ++k) {
        // (g j + h)^k = sum_m C(k, m) g^m h^(k-m) j^m
        double binomial = 1.0;
        for (size_t m = 0; m <= k; ++m) {
            q[m] += p[k] * binomial * std::pow(g, static_cast<double>(m)) *
                    std::pow(h, static_cast<double>(k - m));
            binomial = binomial * static_cast<double>(k - m) / static_cast<double>(m + 1);
        }
    }
    return q;
}

// Why `source` cannot become a record, if it cannot.
std::optional<SpectrumFailure> unusable(const SourceSpectrum& source) {
    auto live = to_microseconds(source.live_time_s, "live time", source.live_time_name);
    if (!live) return live.error();
    auto real = to_microseconds(source.real_time_s, "real time", source.real_time_name);
    if (!real) return real.error();
    const size_t n = source.counts.size();
    if (n == 0) return incomplete("holds no channels");
    if (n > static_cast<size_t>(kMaxSourceChannels)) {
        return incomplete(format("holds %zu channels; at most %d can be read", n, kMaxSourceChannels));
    }
    return std::nullopt;
}

}  // namespace

Expected<SpectrumFile, SpectrumFailure> to_spectrum_file(SourceSpectrum source) {
    // One record, returned as it is: a record is 4 KiB of counts, and a read
    // must not copy it again and again.
    Expected<SpectrumFile, SpectrumFailure> result = SpectrumFile{};
    if (auto failure = unusable(source)) {
        result = Expected<SpectrumFile, SpectrumFailure>(std::move(*failure));
        return result;
    }
    const size_t n = source.counts.size();
    SpectrumFile& file = *result;
    file.live_time_us = *to_microseconds(source.live_time_s, "", "");
    file.real_time_us = *to_microseconds(source.real_time_s, "", "");
    file.format = source.format;
    file.source_channels = static_cast<int>(n);
    const int group = static_cast<int>((n + kChannels - 1) / kChannels);
    bool rounded = false;
    bool held = false;
    // The usual counts are whole and fit: converted all at once, and looked
    // at one by one only when one of them is not.
    bool plain = group == 1;
    if (plain) {
        int differs = 0;
        const double* counts = source.counts.data();
        for (size_t i = 0; i < n; ++i) {
            const double count = std::min(std::max(counts[i], -2147483648.0), 2147483647.0);
            const int32_t whole = static_cast<int32_t>(count);
            differs |= static_cast<double>(whole) != counts[i];
            file.channel[i] = whole;
        }
        plain = differs == 0;
    }
    if (group == 1 && !plain) {
        for (size_t i = 0; i < n; ++i) file.channel[i] = held_count(whole_count(source.counts[i], &rounded), &held);
    } else if (group > 1) {
        for (int j = 0; j < kChannels; ++j) {
            double sum = 0.0;
            for (int k = 0; k < group; ++k) {
                const size_t i = static_cast<size_t>(j) * group + k;
                if (i >= n) break;
                sum += whole_count(source.counts[i], &rounded);
            }
            file.channel[j] = held_count(sum, &held);
        }
    }

    std::string conversion;
    if (group > 1) {
        const size_t padded = static_cast<size_t>(group) * kChannels;
        conversion = padded == n ? format("%zu channels summed in groups of %d", n, group)
                                 : format("%zu channels, padded to %zu and summed in groups of %d", n,
                                          padded, group);
    } else if (n == 1) {
        conversion = format("1 channel in channel 0; channels 1 to %d are 0", kChannels - 1);
    } else if (n < static_cast<size_t>(kChannels)) {
        conversion = format("%zu channels in channels 0 to %zu; channels %zu to %d are 0", n, n - 1, n,
                            kChannels - 1);
    }
    if (rounded) source.notes.push_back("counts rounded to whole numbers");
    if (held) source.notes.push_back("counts beyond the int32 range held at its limit");
    for (const std::string& note : source.notes) {
        if (!conversion.empty()) conversion += "; ";
        conversion += note;
    }
    file.conversion = std::move(conversion);
    file.counts_held = held;
    file.calibration = regroup_calibration(source.calibration, group);
    // Coefficients near the limits of doubles can overflow when regrouped.
    if (!std::all_of(file.calibration.begin(), file.calibration.end(), [](double c) { return std::isfinite(c); })) {
        source.unread.push_back("an energy calibration beyond the range of reals");
        file.calibration.clear();
    }
    file.unread = std::move(source.unread);
    file.start_time = source.start_time;
    file.start_time_problem = std::move(source.start_time_problem);
    return result;
}
