// Differential tests of the text scanner (input/scan.h) against the C library's
// own formatted scanning. The contract of scan.h is that every scan_* function
// reads one value exactly as glibc's fscanf reads "%d", "%f", "%s" (and "%lu"
// for times) from a stream: the same success, the same value and the same stop
// position. The reference here is glibc itself: fscanf on an fmemopen stream
// over the same bytes, with ftell giving where it stopped. The only accepted
// differences are the deliberate ones of scan.h (integers that do not fit and
// negative times do not scan); they are excluded from the differential runs and
// checked on their own below.

#include "input/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using test_support::ByteStream;

// What glibc's fscanf did with one conversion.
struct LibcScan {
    int result = 0;     // fscanf's return: 1, 0 or EOF
    long position = 0;  // ftell after the call: where the scan stopped
};

// Runs fscanf(format) on an in-memory stream over exactly the bytes of `text`
// (NUL bytes included) and reports its result and stop position.
template <typename T>
LibcScan libc_scan(const std::string& text, const char* format, T* destination) {
    const ByteStream stream(text);
    if (stream.file() == nullptr) {
        ADD_FAILURE() << "fmemopen failed";
        return {};
    }
    LibcScan scan;
    scan.result = std::fscanf(stream.file(), format, destination);
    scan.position = std::ftell(stream.file());
    return scan;
}

// The fscanf return value that a ScanStatus stands for.
int expected_libc_result(ScanStatus status) {
    switch (status) {
        case ScanStatus::ok: return 1;
        case ScanStatus::end_of_input: return EOF;
        default: return 0;
    }
}

// Printable form of an input for failure messages.
std::string show(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

uint32_t float_bits(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float float_from_bits(uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A fixed list of inputs that probe every branch of the C library's scanning:
// signs, leading zeros, hexadecimal floats, incomplete exponents, inf and nan
// spellings, every kind of white space, empty input, high bytes and NUL bytes.
std::vector<std::string> tricky_inputs() {
    std::vector<std::string> inputs = {
        "", " ", "\t", "\n", "\v", "\f", "\r", " \t\n\v\f\r", "\r\n", " \r\n 5",
        "0", "-0", "+0", "00", "007", "-007", "+-1", "-+1", "--1", "++1", "+", "-", "-x", "+x",
        "1", "-1", "+1", "12", "12x", "12 34", " 42 ", "\t-17\n", "\v9", "\f8", "\r7",
        "123456789", "2147483647", "-2147483647", "-2147483648", "2147483646",
        "0x", "0X", "0x1", "0x1p3", "0X1P3", "0x1p", "0x1p+", "0x1p-2", "0x.8", "0x.", "0x.p1",
        "0xg", "0xp3", "-0x1p3", "+0x", "0x1e5", "0x1.8p1", "0xAbC", "0x1pa", "1p3",
        ".5", ".", "-.", "+.", "-.5", "5.", "5.e3", "1.5.3", "1..5", ".e1", "..",
        "1e", "1e+", "1e-", "1e+x", "1e-x", "1e5", "1E5", "1e+5", "1e-5", "1e+-5", "1ee5",
        "1e5.3", "100ergs", "2.5e", "-1.5E-3x", "1e40", "-1e40", "1e-50", "3.4028235e38",
        "1.17549435e-38", "1.4e-45", "0.1", "3.14159265358979323846264338327950288",
        "inf", "INF", "Inf", "-inf", "+inf", "infinity", "INFINITY", "-Infinity", "infx",
        "infix", "infinit", "infinityx", "in", "i", "ix", "-i", "inx", "info",
        "nan", "NAN", "NaN", "-nan", "+nan", "nan(1)", "nan(abc)", "nax", "na", "n", "nx",
        "-nax", "nanx", "NAN(", "nan()",
        "abc", "x", "e5", "p", "#bg.txt", "word", "a b", "  word\tnext", "A12",
        std::string("\0", 1), std::string("1\0002", 3), std::string("\0005", 2),
        std::string(" \0", 2), std::string("ab\0cd", 5), std::string("1e\0", 3),
        "\x80", "\xff", "1\x80", "\xa0" "5", "5\xa0", "\x85" "1", "word\xc3\xa9", "-\xff",
        "1\x85" "2",
    };
    return inputs;
}

// A few thousand random strings over a small alphabet of the characters that
// matter to numbers, plus white space; seeded so failures repeat.
std::vector<std::string> random_inputs() {
    static const std::string alphabet = "0123456789+-.eExXpPinfatyINF \t\n";
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<size_t> length(0, 12);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::vector<std::string> inputs;
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        size_t n = length(generator);
        for (size_t k = 0; k < n; ++k) text += alphabet[pick(generator)];
        inputs.push_back(text);
    }
    return inputs;
}

std::vector<std::string> all_inputs() {
    std::vector<std::string> inputs = tricky_inputs();
    std::vector<std::string> more = random_inputs();
    inputs.insert(inputs.end(), more.begin(), more.end());
    return inputs;
}

// Compares scan_int32 and fscanf "%d" on one input. Numerals that do not fit
// int32 are a deliberate difference: there only the stop position is compared.
void compare_int32(const std::string& text) {
    SCOPED_TRACE("input " + show(text));
    const int32_t sentinel = -123456789;
    int32_t ours = sentinel;
    TextScanner scanner{text};
    ScanStatus status = scan_int32(scanner, &ours);

    int libc_value = sentinel;
    LibcScan libc = libc_scan(text, "%d", &libc_value);
    EXPECT_EQ(static_cast<long>(scanner.pos), libc.position) << "stop position";
    if (status == ScanStatus::out_of_range) {
        // glibc takes the same numeral and stores some wrapped value.
        EXPECT_EQ(libc.result, 1);
        EXPECT_EQ(ours, sentinel) << "an out-of-range numeral must not be stored";
        return;
    }
    EXPECT_EQ(expected_libc_result(status), libc.result) << "status";
    EXPECT_EQ(ours, libc_value) << "value";
}

// Compares scan_float and fscanf "%f": status, value bit for bit (the sign of
// zero and of NaN included) and the stop position.
void compare_float(const std::string& text) {
    SCOPED_TRACE("input " + show(text));
    const uint32_t sentinel_bits = 0x7f8abcdeu;  // a signalling-NaN pattern nobody produces
    float ours = float_from_bits(sentinel_bits);
    TextScanner scanner{text};
    ScanStatus status = scan_float(scanner, &ours);

    float libc_value = float_from_bits(sentinel_bits);
    LibcScan libc = libc_scan(text, "%f", &libc_value);
    EXPECT_NE(status, ScanStatus::out_of_range) << "floats never refuse a numeral";
    EXPECT_EQ(expected_libc_result(status), libc.result) << "status";
    EXPECT_EQ(float_bits(ours), float_bits(libc_value)) << "value bits";
    EXPECT_EQ(static_cast<long>(scanner.pos), libc.position) << "stop position";
}

// Compares scan_word and fscanf "%s": status, the bytes of the word and the
// stop position.
void compare_word(const std::string& text) {
    SCOPED_TRACE("input " + show(text));
    std::string ours = "untouched";
    TextScanner scanner{text};
    ScanStatus status = scan_word(scanner, &ours);

    std::vector<char> buffer(text.size() + 2, '\x7f');
    LibcScan libc = libc_scan(text, "%s", buffer.data());
    EXPECT_EQ(expected_libc_result(status), libc.result) << "status";
    EXPECT_EQ(static_cast<long>(scanner.pos), libc.position) << "stop position";
    if (status == ScanStatus::ok && libc.result == 1) {
        // The word may hold NUL bytes, so compare by length, then the terminator.
        ASSERT_LE(ours.size() + 1, buffer.size());
        EXPECT_EQ(std::memcmp(ours.data(), buffer.data(), ours.size()), 0) << "word bytes";
        EXPECT_EQ(buffer[ours.size()], '\0') << "word length";
    } else {
        EXPECT_EQ(ours, "untouched") << "a failed scan stores nothing";
    }
}

// Compares scan_uint64 and fscanf "%lu" (64 bits here). A minus sign and a
// numeral beyond 64 bits are deliberate differences: only the stop position
// is compared there.
void compare_uint64(const std::string& text) {
    SCOPED_TRACE("input " + show(text));
    const uint64_t sentinel = 0x0123456789abcdefULL;
    uint64_t ours = sentinel;
    TextScanner scanner{text};
    ScanStatus status = scan_uint64(scanner, &ours);

    unsigned long libc_value = sentinel;
    static_assert(sizeof(unsigned long) == 8, "the reference needs a 64-bit %lu");
    LibcScan libc = libc_scan(text, "%lu", &libc_value);
    EXPECT_EQ(static_cast<long>(scanner.pos), libc.position) << "stop position";
    if (status == ScanStatus::out_of_range) {
        EXPECT_EQ(libc.result, 1);
        EXPECT_EQ(ours, sentinel) << "a refused time must not be stored";
        return;
    }
    EXPECT_EQ(expected_libc_result(status), libc.result) << "status";
    EXPECT_EQ(ours, libc_value) << "value";
}

struct Scanner {
    const char* name;
    void (*compare)(const std::string& text);
};

const Scanner kScanners[] = {
    {"scan_int32", compare_int32},
    {"scan_float", compare_float},
    {"scan_word", compare_word},
    {"scan_uint64", compare_uint64},
};

// ---------------------------------------------------------------------------
// Differential runs.

TEST(ScannersMatchGlibc, OnTrickyAndRandomInputs) {
    const std::vector<std::string> inputs = all_inputs();
    for (const Scanner& scanner : kScanners) {
        SCOPED_TRACE(scanner.name);
        for (const std::string& text : inputs) scanner.compare(text);
    }
}

// Every suffix of a few longer texts: covers scans that start right after a
// failed or partial one, in the middle of a token.
TEST(ScannersMatchGlibc, FromEveryPositionOfLongerTexts) {
    const std::vector<std::string> texts = {
        "100ergs 1e+x nan(abc) nax -x 0x1p3 infix .5e-3\r\n7",
        "12 -7 +0 0x1A 3.5e2 #bg.txt 1#bg.txt\t\v\f-",
        std::string("1\0002 \x80 inf inity 4", 17),
    };
    for (const Scanner& scanner : kScanners) {
        SCOPED_TRACE(scanner.name);
        for (const std::string& text : texts) {
            for (size_t start = 0; start <= text.size(); ++start) scanner.compare(text.substr(start));
        }
    }
}

// Scans a text from start to end with one scanner, re-scanning after every
// stop, and checks that each step matches glibc continuing on the same stream.
TEST(ScannersMatchGlibc, ContinuingOnOneStreamAfterFailures) {
    const std::string text = "1 2x 3e+y -z nan(1) 0x 5";
    const ByteStream libc(text);
    FILE* stream = libc.file();
    ASSERT_NE(stream, nullptr);
    TextScanner scanner{text};
    for (int step = 0; step < 20; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        float ours = -1.0f;
        float libc_value = -1.0f;
        ScanStatus status = scan_float(scanner, &ours);
        int result = std::fscanf(stream, "%f", &libc_value);
        EXPECT_EQ(expected_libc_result(status), result);
        EXPECT_EQ(float_bits(ours), float_bits(libc_value));
        EXPECT_EQ(static_cast<long>(scanner.pos), std::ftell(stream));
        if (status == ScanStatus::end_of_input) break;
        if (status == ScanStatus::no_match) {
            // Both sides are stuck at the same place; a word scan moves both on.
            std::string word;
            char buffer[64];
            scan_word(scanner, &word);
            ASSERT_EQ(std::fscanf(stream, "%63s", buffer), 1);
            EXPECT_EQ(word, buffer);
        }
    }
}

// ---------------------------------------------------------------------------
// Single scans spelled out, so that a regression reads plainly: the glibc
// behaviours that scan.h names (the differential runs cover them too) and
// the deliberate differences from glibc (which they leave out).

// One scan of `text` into a value that holds the scanner's sentinel before it:
// the status, the value afterwards (the sentinel when nothing was stored) and
// where the scan stopped.
template <typename T>
struct ScanCase {
    const char* text;
    ScanStatus status;
    T value;
    size_t position;
};

// Runs every case, comparing values with `same`.
template <typename T, typename Same>
void expect_scans(ScanStatus (*scan)(TextScanner&, T*), T sentinel, const std::vector<ScanCase<T>>& cases,
                  Same same) {
    for (const ScanCase<T>& c : cases) {
        SCOPED_TRACE(show(c.text));
        TextScanner scanner{c.text};
        T value = sentinel;
        EXPECT_EQ(scan(scanner, &value), c.status);
        EXPECT_TRUE(same(value, c.value)) << value;
        EXPECT_EQ(scanner.pos, c.position);
    }
}

template <typename T>
void expect_scans(ScanStatus (*scan)(TextScanner&, T*), T sentinel, const std::vector<ScanCase<T>>& cases) {
    expect_scans(scan, sentinel, cases, [](T value, T expected) { return value == expected; });
}

TEST(ScanFloat, StopsWhereGlibcStops) {
    const float kSentinel = 7.0f;
    const float kInf = std::numeric_limits<float>::infinity();
    const float kNan = std::numeric_limits<float>::quiet_NaN();
    expect_scans<float>(scan_float, kSentinel, {
        {"100ergs", ScanStatus::ok, 100.0f, 4},       // "100e": an exponent could have followed
        {"1e+x", ScanStatus::ok, 1.0f, 3},            // the dangling exponent sign is consumed
        {"nan(abc)", ScanStatus::ok, kNan, 3},        // a payload is not read
        {"-nan", ScanStatus::ok, -kNan, 4},           // a NaN keeps its sign
        {"nax", ScanStatus::no_match, kSentinel, 3},  // the mismatching letter is consumed
        {"-x", ScanStatus::no_match, kSentinel, 1},   // a lone minus is consumed
        {"0x", ScanStatus::no_match, kSentinel, 2},   // a hexadecimal prefix alone
        {"0x1p3", ScanStatus::ok, 8.0f, 5},           // binary exponent
        {"infx", ScanStatus::ok, kInf, 3},
        {"-infinity", ScanStatus::ok, -kInf, 9},
        {"infix", ScanStatus::no_match, kSentinel, 5},  // "infinity" begun; the mismatch is consumed
        // 1 + 2^-24 + 2^-60 lies just above the halfway point between 1 and
        // the next float: correct single rounding goes up, rounding via double
        // would land exactly on the halfway point and go down to 1 (ties to even).
        {"1.000000059604644776136715732026e0", ScanStatus::ok, std::nextafter(1.0f, 2.0f), 34},
    }, [](float value, float expected) {
        // Bit for bit, except that any NaN of the expected sign will do.
        if (std::isnan(expected)) return std::isnan(value) && std::signbit(value) == std::signbit(expected);
        return float_bits(value) == float_bits(expected);
    });
}

// An integer that does not fit is consumed whole and not stored.
TEST(ScanInt32, FitsInt32OrIsConsumedAndNotStored) {
    expect_scans<int32_t>(scan_int32, 5, {
        {"2147483648 7", ScanStatus::out_of_range, 5, 10},
        {"-2147483649x", ScanStatus::out_of_range, 5, 11},
        {"  123456789012345678901234567890", ScanStatus::out_of_range, 5, 32},  // beyond 64 bits
        {"-2147483648", ScanStatus::ok, INT32_MIN, 11},
        {"2147483647", ScanStatus::ok, INT32_MAX, 10},
        {"+0002147483647", ScanStatus::ok, INT32_MAX, 14},
    });
}

TEST(ScanInt32, ScanAfterOutOfRangeGoesOn) {
    TextScanner scanner{"99999999999 12"};
    int32_t value = 1;
    EXPECT_EQ(scan_int32(scanner, &value), ScanStatus::out_of_range);
    EXPECT_EQ(scan_int32(scanner, &value), ScanStatus::ok);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(scan_int32(scanner, &value), ScanStatus::end_of_input);
}

// Times: every 64-bit value; one beyond, or below 0, is consumed and refused.
// "-0" is 0, as the C scan of an unsigned numeral reads it.
TEST(ScanUint64, TakesEvery64BitTimeAndRefusesNegativeOnes) {
    expect_scans<uint64_t>(scan_uint64, 3, {
        {"18446744073709551615", ScanStatus::ok, UINT64_MAX, 20},
        {"18446744073709551616 1", ScanStatus::out_of_range, 3, 20},
        {"-5", ScanStatus::out_of_range, 3, 2},
        {" -0 ", ScanStatus::ok, 0, 3},
        {" -000 ", ScanStatus::ok, 0, 5},
        {"+7", ScanStatus::ok, 7, 2},
        {"7200000000", ScanStatus::ok, 7200000000ULL, 10},  // a two-hour measurement in microseconds
    });
}

// ---------------------------------------------------------------------------
// take_char and scan_word.

// Each byte as unsigned, white space included, then -1 at the end without
// moving on.
TEST(TakeChar, ReturnsEachByteAsUnsignedThenMinusOneAtTheEnd) {
    const std::vector<std::pair<std::string, std::vector<int>>> cases = {
        {std::string("a\xff\0\r", 4), {'a', 0xff, 0, '\r', -1, -1}},
        {" \n5", {' ', '\n', '5', -1}},
    };
    for (const auto& [text, taken] : cases) {
        SCOPED_TRACE(show(text));
        TextScanner scanner{text};
        for (size_t k = 0; k < taken.size(); ++k) {
            EXPECT_EQ(take_char(scanner), taken[k]) << "call " << k;
            EXPECT_EQ(scanner.pos, std::min(k + 1, text.size())) << "call " << k;
        }
    }
}

TEST(ScanWord, ReadsWordsOfAnyLength) {
    std::string long_word(100000, 'k');
    long_word[500] = '\x80';
    const std::string text = "\n\t" + long_word + " next";
    TextScanner scanner{text};
    std::string word;
    EXPECT_EQ(scan_word(scanner, &word), ScanStatus::ok);
    EXPECT_EQ(word, long_word);
    EXPECT_EQ(scanner.pos, 2 + long_word.size());
    EXPECT_EQ(take_char(scanner), ' ');  // the separator is left for the caller
    EXPECT_EQ(scan_word(scanner, &word), ScanStatus::ok);
    EXPECT_EQ(word, "next");
    EXPECT_EQ(scan_word(scanner, &word), ScanStatus::end_of_input);
    EXPECT_EQ(word, "next");
    compare_word(text);
}

TEST(ScanWord, StopsAtEveryKindOfWhiteSpace) {
    for (char space : std::string(" \t\n\v\f\r")) {
        const std::string text = std::string("name") + space + "unit";
        TextScanner scanner{text};
        std::string word;
        EXPECT_EQ(scan_word(scanner, &word), ScanStatus::ok);
        EXPECT_EQ(word, "name");
        EXPECT_EQ(scanner.pos, 4u);
    }
}

// ---------------------------------------------------------------------------
// Diagnostic helpers.

TEST(LineOf, CountsLinesFromOne) {
    const std::string text = "a\nb\n\nc";
    EXPECT_EQ(line_of(text, 0), 1);
    EXPECT_EQ(line_of(text, 1), 1);
    EXPECT_EQ(line_of(text, 2), 2);
    EXPECT_EQ(line_of(text, 5), 4);
}

TEST(ExcerptAt, ShowsTheWordThereInPrintableForm) {
    EXPECT_EQ(excerpt_at("12 abc def", 3), "abc");
    EXPECT_EQ(excerpt_at(std::string("x\x01y", 3), 0), "x\\x01y");
    const std::string excerpt = excerpt_at(std::string(100, 'z'), 0);
    EXPECT_LT(excerpt.size(), 40u);
    EXPECT_EQ(excerpt.substr(0, 5), "zzzzz");
}

}  // namespace
