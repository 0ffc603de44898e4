// Numbers in the text of spectrum files of other formats: lists of counts
// separated by white space, where a count may also be written as a real.
#pragma once

#include <cstddef>
#include <string_view>

#include "input/formats/formats.h"
#include "input/scan.h"

namespace formats {

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

}  // namespace formats
