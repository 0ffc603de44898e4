// Formatted scanning of the program's text files.
//
// Each function reads one value from an in-memory text the way the C
// library's formatted scanning of "%d", "%lu", "%f" and "%s" reads it from a
// stream: leading white space is skipped, the longest prefix that can belong to
// the value is consumed, and on a mismatch the scan stops where the C library
// stops, so the next scan starts at the same place. Two things are stricter
// than the C library: an integer that does not fit its type does not scan (its
// numeral is consumed and nothing is stored), and a time below 0 does not scan
// ("-0" is 0). Nothing depends on the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class ScanStatus {
    ok,            // a value was scanned and stored
    end_of_input,  // only white space was left
    no_match,      // the text at this place is not a value of the kind
    out_of_range,  // a numeral that does not fit (or a negative time)
};

// A read position in a text. `pos` only moves forward, except where a caller
// deliberately goes back to a remembered position.
struct TextScanner {
    std::string_view text;
    size_t pos = 0;
};

// "%d": an optionally signed decimal that fits int32.
ScanStatus scan_int32(TextScanner& scanner, int32_t* value);
// The same for every input; scan_int32 handles the common short unsigned
// numeral itself and leaves the rest to this.
ScanStatus scan_int32_general(TextScanner& scanner, int32_t* value);
// "%lu" for times: an optionally signed decimal that fits 64 bits and is not
// below 0.
ScanStatus scan_uint64(TextScanner& scanner, uint64_t* value);
// "%f": every form the C library accepts (decimal, exponent, hexadecimal,
// inf, infinity, nan), rounded once to single precision.
ScanStatus scan_float(TextScanner& scanner, float* value);
// "%s": a word of characters that are not white space, of any length.
ScanStatus scan_word(TextScanner& scanner, std::string* word);
// The next character as an unsigned char value, or -1 at the end (as getc).
int take_char(TextScanner& scanner);

// White space as the C locale's isspace sees it.
constexpr bool is_space(int c) {
    // ' ', or one of '\t' '\n' '\v' '\f' '\r' (9 to 13).
    return c == ' ' || static_cast<unsigned>(c - '\t') < 5u;
}

inline ScanStatus scan_int32(TextScanner& scanner, int32_t* value) {
    // Spectrum files hold a thousand counts each: the usual numeral, up to
    // nine digits after white space, is read here without a call.
    const char* text = scanner.text.data();
    const size_t size = scanner.text.size();
    size_t pos = scanner.pos;
    while (pos < size && is_space(static_cast<unsigned char>(text[pos]))) ++pos;
    const size_t start = pos;
    uint32_t number = 0;
    while (pos < size && pos - start < 9 && static_cast<unsigned>(text[pos] - '0') < 10u) {
        number = number * 10 + static_cast<uint32_t>(text[pos] - '0');
        ++pos;
    }
    if (pos > start && (pos == size || static_cast<unsigned>(text[pos] - '0') >= 10u)) {
        scanner.pos = pos;
        *value = static_cast<int32_t>(number);
        return ScanStatus::ok;
    }
    return scan_int32_general(scanner, value);
}

// 1-based line number of `pos` in `text`, for diagnostics.
int line_of(std::string_view text, size_t pos);

// A short printable excerpt of the text at `pos` (the word there, shortened),
// for diagnostics.
std::string excerpt_at(std::string_view text, size_t pos);
