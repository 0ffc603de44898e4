// What the readers of spectrum formats share, below all of them: failures,
// numbers in text, and the tidying and fitting of energy calibrations. Only
// the records (input/spectrum_record.h) and the scanner are beneath it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/scan.h"
#include "input/spectrum_record.h"

namespace formats {

// A failure of kind `incomplete` with `message` (which does not yet name the
// format: the face puts it in front).
SpectrumFailure incomplete(std::string message);

// `text` without white space at either end.
std::string_view trim(std::string_view text);

// Whether two words are the same but for the case of ASCII letters.
bool same_word(std::string_view a, std::string_view b);

// A calibration with trailing zero terms dropped; empty when no term beyond
// the constant is left or a term is not finite (all zero means none). A
// calibration dropped for a term that is not finite is named in `*unread`
// when it is given.
std::vector<double> tidy_calibration(std::vector<double> coefficients, std::vector<std::string>* unread = nullptr);

// A quadratic least-squares fit of keV against channel through the points
// (channel[i], energy[i]); the largest deviation goes to `*worst` (keV).
// Empty when fewer than 3 points or the fit is singular.
std::vector<double> fit_calibration(const std::vector<double>& channel, const std::vector<double>& energy,
                                    double* worst);

// A real number at the start of `text` (leading blanks skipped, no locale):
// decimal with optional sign, fraction and exponent, or inf/nan. `*used`
// receives the characters consumed (0: none).
std::optional<double> parse_real(std::string_view text, size_t* used);

// A whole text as one real number (blanks around it allowed); none when it is
// empty or holds anything else.
std::optional<double> whole_real(std::string_view text);

enum class Token { number, end, bad };

// Skips white space from `*pos`, then reads one number that runs up to the
// next white space (or `stop`, or the end). `number`: `*value` is set and
// `*pos` is after it; `end`: only white space was left, or the next character
// is `stop`; `bad`: `*pos` is at the token that is not a number.
inline Token next_number(std::string_view text, size_t* pos, double* value, char stop = '\0') {
    const char* const data = text.data();
    const size_t size = text.size();
    size_t p = *pos;
    while (p < size && is_space(static_cast<unsigned char>(data[p]))) ++p;
    *pos = p;
    if (p == size || (stop != '\0' && data[p] == stop)) return Token::end;
    auto ends_here = [&](size_t q) {
        return q == size || is_space(static_cast<unsigned char>(data[q])) || data[q] == stop;
    };
    size_t q = p;
    unsigned long long whole = 0;
    while (q < size && q - p < 15 && static_cast<unsigned>(data[q] - '0') < 10u) {
        whole = whole * 10 + static_cast<unsigned>(data[q] - '0');
        ++q;
    }
    if (q > p && ends_here(q)) {
        *value = static_cast<double>(whole);
        *pos = q;
        return Token::number;
    }
    size_t used = 0;
    const auto real = parse_real(text.substr(p), &used);
    q = p + used;
    if (!real || !ends_here(q)) return Token::bad;
    *value = *real;
    *pos = q;
    return Token::number;
}

// The token at `pos` (blanks skipped, then up to the next white space), for a
// diagnostic.
std::string_view token_at(std::string_view text, size_t pos);

}  // namespace formats
