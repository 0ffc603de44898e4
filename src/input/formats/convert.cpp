// The conversion every format shares, and the dispatch by content.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/text.h"
#include "input/formats/formats.h"
#include "input/scan.h"
#include "input/text_file.h"

namespace formats {

std::vector<double> tidy_calibration(std::vector<double> coefficients) {
    for (double c : coefficients) {
        if (!std::isfinite(c)) return {};
    }
    while (!coefficients.empty() && coefficients.back() == 0.0) coefficients.pop_back();
    if (coefficients.size() < 2) return {};
    return coefficients;
}

std::vector<double> fit_calibration(const std::vector<double>& channel, const std::vector<double>& energy,
                                    double* worst) {
    const size_t n = std::min(channel.size(), energy.size());
    if (n < 3) return {};
    // Channels scaled to about 0..1 keep the normal equations well conditioned.
    double scale = 1.0;
    for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(channel[i]));
    double a[3][4] = {};
    for (size_t i = 0; i < n; ++i) {
        const double x = channel[i] / scale;
        const double p[3] = {1.0, x, x * x};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) a[r][c] += p[r] * p[c];
            a[r][3] += p[r] * energy[i];
        }
    }
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r) {
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        }
        if (!(std::fabs(a[pivot][col]) > 1e-12 * static_cast<double>(n))) return {};
        std::swap(a[col], a[pivot]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = a[r][col] / a[col][col];
            for (int c = col; c < 4; ++c) a[r][c] -= f * a[col][c];
        }
    }
    double peak = 0.0;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(energy[i]));
    // A curvature lost in rounding noise is none: a linear scale stays linear.
    const double curvature = a[2][3] / a[2][2];
    std::vector<double> result = {a[0][3] / a[0][0], a[1][3] / a[1][1] / scale,
                                  std::fabs(curvature) < 1e-9 * peak ? 0.0 : curvature / (scale * scale)};
    double largest = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = channel[i];
        largest = std::max(largest, std::fabs(result[0] + x * (result[1] + x * result[2]) - energy[i]));
    }
    if (worst != nullptr) *worst = largest < 1e-6 ? 0.0 : largest;
    return tidy_calibration(std::move(result));
}

std::optional<double> parse_real(std::string_view text, size_t* used) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' ||
                                 text[pos] == '\n')) {
        ++pos;
    }
    size_t start = pos;
    // from_chars takes no leading '+'; a sign after it is not a number.
    if (pos < text.size() && text[pos] == '+') {
        ++start;
        if (start < text.size() && (text[start] == '-' || text[start] == '+')) {
            *used = 0;
            return std::nullopt;
        }
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
    if (error == std::errc::invalid_argument) {
        *used = 0;
        return std::nullopt;
    }
    *used = static_cast<size_t>(end - text.data());
    // Out of range: the numeral was consumed; its value is an infinity or 0.
    if (error == std::errc::result_out_of_range) {
        const bool negative = text[start] == '-';
        const std::string_view numeral = text.substr(start, *used - start);
        const size_t e = numeral.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < numeral.size() && numeral[e + 1] == '-';
        if (tiny) return negative ? -0.0 : 0.0;
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    return value;
}

}  // namespace formats

namespace {

SpectrumFailure incomplete(std::string message) {
    return SpectrumFailure{SpectrumFailure::Kind::incomplete, std::move(message)};
}

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
        failure->message = std::string(source.format) + ": " + failure->message;
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
    file.calibration = regroup_calibration(source.calibration, group);
    // Coefficients near the limits of doubles can overflow when regrouped.
    if (!std::all_of(file.calibration.begin(), file.calibration.end(), [](double c) { return std::isfinite(c); })) {
        source.unread.push_back("an energy calibration beyond the range of reals");
        file.calibration.clear();
    }
    file.unread = std::move(source.unread);
    return result;
}

namespace {

// The name of the first element of an XML text, skipping the declaration,
// processing instructions, comments and a document type; empty when none.
std::string_view first_element_name(std::string_view text) {
    size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string_view::npos) {
        if (text.compare(pos, 4, "<!--") == 0) {
            const size_t end = text.find("-->", pos + 4);
            if (end == std::string_view::npos) return {};
            pos = end + 3;
        } else if (text.compare(pos, 2, "<?") == 0) {
            const size_t end = text.find("?>", pos + 2);
            if (end == std::string_view::npos) return {};
            pos = end + 2;
        } else if (text.compare(pos, 2, "<!") == 0) {
            // A document type, possibly with an internal subset in brackets.
            int depth = 0;
            ++pos;
            while (pos < text.size() && !(text[pos] == '>' && depth == 0)) {
                if (text[pos] == '[') ++depth;
                if (text[pos] == ']' && depth > 0) --depth;
                ++pos;
            }
            if (pos == text.size()) return {};
            ++pos;
        } else {
            const size_t start = pos + 1;
            size_t end = start;
            while (end < text.size() && !is_space(static_cast<unsigned char>(text[end])) && text[end] != '>' &&
                   text[end] != '/') {
                ++end;
            }
            return text.substr(start, end - start);
        }
    }
    return {};
}

std::string_view local_part(std::string_view name) {
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

SpectrumFormat recognise_format(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        return SpectrumFormat::ortec_chn;
    }
    std::string_view text = bytes;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t start = 0;
    while (start < text.size() && is_space(static_cast<unsigned char>(text[start]))) ++start;
    if (start == text.size()) return SpectrumFormat::native;
    const char first = text[start];
    if (first == '<') {
        const std::string_view root = local_part(first_element_name(text.substr(start)));
        if (root == "RadInstrumentData" || root == "N42InstrumentData") return SpectrumFormat::n42;
        if (root == "ResultDataFile") return SpectrumFormat::radiacode_xml;
        return SpectrumFormat::other_xml;
    }
    if (first == '$') return SpectrumFormat::iaea_spe;
    const size_t line_end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, line_end - start);
    if (is_letter(first)) {
        // A header of words, then a table with commas: a CSV export. Words
        // alone (a damaged native file, a note) stay native, whose reader
        // says where the numbers stop.
        const std::string_view head = text.substr(start, 1 << 16);
        if (line.find(',') != std::string_view::npos || head.find("\n0,") != std::string_view::npos ||
            head.find("Channel") != std::string_view::npos || head.find("Count") != std::string_view::npos ||
            head.find("count") != std::string_view::npos) {
            return SpectrumFormat::csv_export;
        }
        return SpectrumFormat::native;
    }
    // "12,5": a number directly followed by a comma, which no native file has
    // (its live time is followed by white space).
    size_t digit = (first == '+' || first == '-') ? 1 : 0;
    const size_t digits_start = digit;
    while (digit < line.size() && line[digit] >= '0' && line[digit] <= '9') ++digit;
    if (digit > digits_start && digit < line.size() && (line[digit] == ',' || line[digit] == ';')) {
        return SpectrumFormat::csv_export;
    }
    return SpectrumFormat::native;
}

Expected<SpectrumFile, SpectrumFailure> read_spectrum_bytes(std::string bytes) {
    const SpectrumFormat kind = recognise_format(bytes);
    Expected<SourceSpectrum, SpectrumFailure> source = SpectrumFailure{};
    const char* name = "";
    switch (kind) {
        case SpectrumFormat::native:
            return parse_spectrum_text(fold_line_ends(std::move(bytes)));
        case SpectrumFormat::iaea_spe:
            name = "IAEA SPE";
            source = read_iaea_spe(bytes);
            break;
        case SpectrumFormat::n42:
            name = "N42.42";
            source = read_n42(bytes);
            break;
        case SpectrumFormat::radiacode_xml:
            name = "RadiaCode XML";
            source = read_radiacode_xml(bytes);
            break;
        case SpectrumFormat::csv_export:
            name = "CSV";
            source = read_csv_export(bytes);
            break;
        case SpectrumFormat::ortec_chn:
            name = "ORTEC CHN";
            source = read_ortec_chn(bytes);
            break;
        case SpectrumFormat::other_xml: {
            std::string_view text = bytes;
            if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
            const std::string root(first_element_name(text).substr(0, 40));
            return incomplete(root.empty() ? "XML: holds no element"
                                           : "XML: root element '" + root +
                                                 "' is none of N42.42 RadInstrumentData or "
                                                 "N42InstrumentData or RadiaCode ResultDataFile");
        }
    }
    if (!source) return incomplete(std::string(name) + ": " + source.error().message);
    return to_spectrum_file(std::move(*source));
}
