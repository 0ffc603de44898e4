#include "input/scan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

constexpr int kEnd = -1;

int peek(const TextScanner& s) {
    return s.pos < s.text.size() ? static_cast<unsigned char>(s.text[s.pos]) : kEnd;
}

bool skip_space(TextScanner& s) {
    while (s.pos < s.text.size() && is_space(static_cast<unsigned char>(s.text[s.pos]))) ++s.pos;
    return s.pos < s.text.size();
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

bool is_xdigit(int c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Sign and decimal digits as the C library gathers them for "%d" and "%lu".
// On return `negative` tells the sign, `magnitude` the value (saturated at
// UINT64_MAX, `overflow` set then); false when no digit followed.
bool gather_decimal(TextScanner& s, bool* negative, uint64_t* magnitude, bool* overflow) {
    *negative = false;
    *magnitude = 0;
    *overflow = false;
    int c = peek(s);
    if (c == '-' || c == '+') {
        *negative = c == '-';
        ++s.pos;
    }
    // Up to 19 digits cannot overflow 64 bits; only longer numerals need the
    // checked loop.
    const size_t start = s.pos;
    uint64_t value = 0;
    while (s.pos < s.text.size() && s.pos - start < 19 && is_digit(static_cast<unsigned char>(s.text[s.pos]))) {
        value = value * 10 + static_cast<uint64_t>(s.text[s.pos] - '0');
        ++s.pos;
    }
    bool any_digit = s.pos > start;
    while (is_digit(c = peek(s))) {
        any_digit = true;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            *overflow = true;
            value = std::numeric_limits<uint64_t>::max();
        } else if (!*overflow) {
            value = value * 10 + digit;
        }
        ++s.pos;
    }
    *magnitude = value;
    return any_digit;
}

// Matches the letters of `word` case-insensitively, consuming each one that
// matches and also the first one that does not, as the C library does.
bool match_letters(TextScanner& s, const char* word, std::string* collected) {
    for (const char* w = word; *w != '\0'; ++w) {
        int c = peek(s);
        if (c == kEnd) return false;
        ++s.pos;
        if (lower(c) != *w) return false;
        collected->push_back(static_cast<char>(c));
    }
    return true;
}

}  // namespace

ScanStatus scan_int32_general(TextScanner& s, int32_t* value) {
    if (!skip_space(s)) return ScanStatus::end_of_input;

    bool negative = false;
    bool overflow = false;
    uint64_t magnitude = 0;
    if (!gather_decimal(s, &negative, &magnitude, &overflow)) return ScanStatus::no_match;
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    if (overflow || magnitude > limit) return ScanStatus::out_of_range;
    *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                      : static_cast<int32_t>(magnitude);
    return ScanStatus::ok;
}

ScanStatus scan_uint64(TextScanner& s, uint64_t* value) {
    if (!skip_space(s)) return ScanStatus::end_of_input;
    bool negative = false;
    bool overflow = false;
    uint64_t magnitude = 0;
    if (!gather_decimal(s, &negative, &magnitude, &overflow)) return ScanStatus::no_match;
    // "-0" is 0, as the C scan of an unsigned numeral reads it; a time below
    // 0 has no meaning and does not scan.
    if (overflow || (negative && magnitude != 0)) return ScanStatus::out_of_range;
    *value = magnitude;
    return ScanStatus::ok;
}

ScanStatus scan_float(TextScanner& s, float* value) {
    if (!skip_space(s)) return ScanStatus::end_of_input;
    std::string collected;
    int c = peek(s);
    bool got_sign = false;
    if (c == '-' || c == '+') {
        collected.push_back(static_cast<char>(c));
        got_sign = true;
        ++s.pos;
        c = peek(s);
        if (c == kEnd) return ScanStatus::no_match;
    }

    if (lower(c) == 'n') {
        if (!match_letters(s, "nan", &collected)) return ScanStatus::no_match;
    } else if (lower(c) == 'i') {
        if (!match_letters(s, "inf", &collected)) return ScanStatus::no_match;
        // "inf" may go on to "infinity"; once that has begun it must finish.
        if (lower(peek(s)) == 'i' && !match_letters(s, "inity", &collected)) {
            return ScanStatus::no_match;
        }
    } else {
        bool hexadecimal = false;
        bool got_digit = false;
        bool got_dot = false;
        bool got_exponent = false;
        char exponent_char = 'e';
        if (c == '0') {
            collected.push_back('0');
            ++s.pos;
            c = peek(s);
            if (lower(c) == 'x') {
                collected.push_back(static_cast<char>(c));
                ++s.pos;
                c = peek(s);
                hexadecimal = true;
                exponent_char = 'p';
            } else {
                got_digit = true;
            }
        }
        for (;; ++s.pos, c = peek(s)) {
            if (is_digit(c) || (hexadecimal && !got_exponent && is_xdigit(c))) {
                got_digit = true;
            } else if (got_exponent && collected.back() == exponent_char && (c == '-' || c == '+')) {
            } else if (got_digit && !got_exponent && lower(c) == exponent_char) {
                got_exponent = true;
                got_dot = true;
                c = exponent_char;
            } else if (!got_dot && c == '.') {
                got_dot = true;
            } else {
                break;
            }
            collected.push_back(static_cast<char>(c));
        }
        const size_t prefix = (got_sign ? 1 : 0) + (hexadecimal ? 2 : 0);
        if (collected.size() == (got_sign ? 1u : 0u) || (hexadecimal && collected.size() == prefix)) {
            return ScanStatus::no_match;
        }
    }

    // The gathered text may be longer than the number it starts with ("100e");
    // the value is that of its longest leading number, as in the C library.
    char* end = nullptr;
    float converted = std::strtof(collected.c_str(), &end);
    if (end == collected.c_str()) return ScanStatus::no_match;
    *value = converted;
    return ScanStatus::ok;
}

ScanStatus scan_word(TextScanner& s, std::string* word) {
    if (!skip_space(s)) return ScanStatus::end_of_input;
    size_t start = s.pos;
    while (s.pos < s.text.size() && !is_space(static_cast<unsigned char>(s.text[s.pos]))) ++s.pos;
    word->assign(s.text.substr(start, s.pos - start));
    return ScanStatus::ok;
}

int take_char(TextScanner& s) {
    int c = peek(s);
    if (c != kEnd) ++s.pos;
    return c;
}

int line_of(std::string_view text, size_t pos) {
    int line = 1;
    for (size_t i = 0; i < pos && i < text.size(); ++i) {
        if (text[i] == '\n') ++line;
    }
    return line;
}

std::string excerpt_at(std::string_view text, size_t pos) {
    constexpr size_t kMaxExcerpt = 24;
    std::string out;
    for (size_t i = pos; i < text.size() && !is_space(static_cast<unsigned char>(text[i])); ++i) {
        if (out.size() == kMaxExcerpt) {
            out += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}
