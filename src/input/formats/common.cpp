#include "input/formats/common.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace formats {

SpectrumFailure incomplete(std::string message) {
    return SpectrumFailure{SpectrumFailure::Kind::incomplete, std::move(message)};
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && is_space(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

bool same_word(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}


std::vector<double> tidy_calibration(std::vector<double> coefficients, std::vector<std::string>* unread) {
    for (double c : coefficients) {
        if (std::isfinite(c)) continue;
        if (unread != nullptr) unread->push_back("an energy calibration with a term that is not a finite number");
        return {};
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


std::optional<double> whole_real(std::string_view text) {
    text = trim(text);
    size_t used = 0;
    const auto value = parse_real(text, &used);
    if (!value || used != text.size()) return std::nullopt;
    return value;
}

std::string_view token_at(std::string_view text, size_t pos) {
    pos = std::min(pos, text.size());
    while (pos < text.size() && is_space(static_cast<unsigned char>(text[pos]))) ++pos;
    size_t end = pos;
    while (end < text.size() && !is_space(static_cast<unsigned char>(text[end]))) ++end;
    return text.substr(pos, end - pos);
}

}  // namespace formats
