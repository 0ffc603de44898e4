// The command line parser and the two JSON writers of the report, in process.
//
// The parser is checked on whole argument lists: every option in each of its
// spellings, missing and wrong values, and everything that must be refused
// with status 2. The JSON writers are checked against the rules of the
// report: strings survive any bytes a file name can hold, numbers read back
// bit for bit and are as short as that allows.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "core/records.h"
#include "input/method_file.h"
#include "input/spectrum_file.h"
#include "run/run.h"
#include "core/text.h"
#include "output/json.h"
#include "utf8.h"

namespace {

using test_support::utf8;
using test_support::valid_utf8;


// ---------------------------------------------------------------------------
// Command line.

struct Parsed {
    int status = -1;
    CommandLine line;
    std::string error;
};

// Parses `args` as they follow the program name.
Parsed parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"assay"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    Parsed parsed;
    parsed.status = parse_command_line(static_cast<int>(args.size() + 1), argv.data(), &parsed.line,
                                       &parsed.error);
    return parsed;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        if (!text.empty()) text += ' ';
        text += '\'';
        text += a;
        text += '\'';
    }
    return text;
}

// Without arguments the program must run exactly as it always did: nothing set.
TEST(CommandLine, NoArgumentsLeavesEveryOptionAtItsDefault) {
    const Parsed p = parse({});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.error, "");
    EXPECT_FALSE(p.line.help);
    EXPECT_FALSE(p.line.version);
    EXPECT_EQ(p.line.directory, "");
    EXPECT_EQ(p.line.run.report_path, "");
    EXPECT_EQ(p.line.run.threads, 0);  // 0: one per hardware thread
    EXPECT_FALSE(p.line.run.straightforward);
}

// -C DIR, --directory DIR and --directory=DIR all name the working directory.
TEST(CommandLine, DirectoryInEverySpelling) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-C", "runs/a b"}, {"--directory", "runs/a b"}, {"--directory=runs/a b"}}) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 0) << p.error;
        EXPECT_EQ(p.line.directory, "runs/a b");
        EXPECT_EQ(p.line.run.report_path, "");
    }
}

// --report FILE and --report=FILE; in the second form everything after the
// first "=" is the name, which may itself hold "=".
TEST(CommandLine, ReportInBothForms) {
    EXPECT_EQ(parse({"--report", "out.jsonl"}).line.run.report_path, "out.jsonl");
    EXPECT_EQ(parse({"--report=out.jsonl"}).line.run.report_path, "out.jsonl");
    const Parsed p = parse({"--report=a=b.jsonl"});
    EXPECT_EQ(p.status, 0) << p.error;
    EXPECT_EQ(p.line.run.report_path, "a=b.jsonl");
}

// --threads takes a whole number from 1 to 256, both bounds included.
TEST(CommandLine, ThreadsAcceptsOneTo256InBothForms) {
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"--threads", "1"}, 1}, {{"--threads", "2"}, 2},   {{"--threads", "256"}, 256},
        {{"--threads=1"}, 1},    {{"--threads=17"}, 17},    {{"--threads=256"}, 256}};
    for (const auto& [args, threads] : cases) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 0) << p.error;
        EXPECT_EQ(p.line.run.threads, threads);
    }
}

// --alpha and --beta: probabilities above 0 and below 0.5 (beyond it the
// decision threshold would lie below zero activity); 0.05 without them.
TEST(CommandLine, AlphaAndBetaAreProbabilitiesBelowOneHalf) {
    EXPECT_EQ(parse({}).line.run.alpha, 0.05);
    EXPECT_EQ(parse({}).line.run.beta, 0.05);
    const Parsed p = parse({"--alpha", "0.01", "--beta=0.2"});
    EXPECT_EQ(p.status, 0) << p.error;
    EXPECT_EQ(p.line.run.alpha, 0.01);
    EXPECT_EQ(p.line.run.beta, 0.2);
    for (const std::string value : {"0", "0.5", "1", "-0.1", "abc", "0.05x", "nan", ""}) {
        for (const char* option : {"--alpha", "--beta"}) {
            SCOPED_TRACE(std::string(option) + " '" + value + "'");
            const Parsed refused = parse({std::string(option) + "=" + value});
            EXPECT_EQ(refused.status, 2);
            EXPECT_NE(refused.error, "");
        }
    }
}

TEST(CommandLine, ThreadsOutsideOneTo256OrNotANumberIsRefused) {
    for (const std::string value : {"0", "257", "-1", "-256", "abc", "4x", "1.5", "0x10", "1e2",
                                    "2147483648", "4294967297", "99999999999999999999999"}) {
        for (const auto& args : std::vector<std::vector<std::string>>{{"--threads", value},
                                                                      {"--threads=" + value}}) {
            SCOPED_TRACE(joined(args));
            const Parsed p = parse(args);
            EXPECT_EQ(p.status, 2);
            EXPECT_NE(p.error, "");
        }
    }
}

// An option that needs a value and has none: at the end of the list, or with
// an empty value after "=".
TEST(CommandLine, MissingValueIsRefused) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-C"},
             {"--directory"},
             {"--report"},
             {"--threads"},
             {"--directory="},
             {"--report="},
             {"--threads="},
             {"--threads", ""},
             {"--straightforward", "--report"},
             {"--report", "r.jsonl", "-C"}}) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 2);
        EXPECT_NE(p.error, "");
    }
}

TEST(CommandLine, FlagsInEverySpelling) {
    EXPECT_TRUE(parse({"-h"}).line.help);
    EXPECT_TRUE(parse({"--help"}).line.help);
    EXPECT_TRUE(parse({"--version"}).line.version);
    EXPECT_TRUE(parse({"--straightforward"}).line.run.straightforward);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"--version"}, {"--straightforward"}}) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.error, "");
    }
    // A flag sets only itself.
    const Parsed p = parse({"--straightforward"});
    EXPECT_FALSE(p.line.help);
    EXPECT_FALSE(p.line.version);
    EXPECT_EQ(p.line.run.threads, 0);
}

// Every option together, in two orders: each keeps its value.
TEST(CommandLine, AllOptionsCombineInAnyOrder) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-C", "dir", "--report", "r.jsonl", "--threads", "3", "--plot", "p"},
             {"--plot=p", "--threads=3", "--report=r.jsonl", "--directory=dir"}}) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 0) << p.error;
        EXPECT_EQ(p.line.directory, "dir");
        EXPECT_EQ(p.line.run.report_path, "r.jsonl");
        EXPECT_EQ(p.line.run.plot_directory, "p");
        EXPECT_EQ(p.line.run.threads, 3);
        EXPECT_FALSE(p.line.run.straightforward);
        EXPECT_FALSE(p.line.help);
        EXPECT_FALSE(p.line.version);
    }
}

// Anything that is not one of the options, and any argument that is not an
// option at all, is refused with status 2 and a message naming it; a valid
// option before or after it does not save the command line.
TEST(CommandLine, UnknownOptionOrStrayArgumentIsRefusedNamingIt) {
    // (arguments, the one that must be named)
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "--bogus"},
        {{"-x"}, "-x"},
        {{"-v"}, "-v"},
        {{"--Report", "r.jsonl"}, "--Report"},
        {{"--reports", "r.jsonl"}, "--reports"},
        {{"--report-file=r.jsonl"}, "--report-file=r.jsonl"},
        {{"---report", "r.jsonl"}, "---report"},
        {{"--threadsx=2"}, "--threadsx=2"},
        {{"--help=yes"}, "--help=yes"},
        {{"--version=1"}, "--version=1"},
        {{"--straightforward=1"}, "--straightforward=1"},
        {{"config.txt"}, "config.txt"},
        {{"--report", "r.jsonl", "extra"}, "extra"},
        {{"extra", "--report", "r.jsonl"}, "extra"},
        {{"--threads", "2", "--bogus"}, "--bogus"},
        {{"-C", "dir", "dir2"}, "dir2"},
        // An option where a value is expected is no value.
        {{"--report", "--plot", "p"}, "--plot"},
        {{"-C", "--report=r.jsonl"}, "--report=r.jsonl"},
        {{"--plot", "-x"}, "-x"},
        // The reference form runs on one thread.
        {{"--threads", "2", "--straightforward"}, "--straightforward"},
        {{"--straightforward", "--threads=2"}, "--threads"},
    };
    for (const auto& [args, offending] : cases) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 2);
        EXPECT_NE(p.error.find(offending), std::string::npos) << "message: " << p.error;
    }
}

// ---------------------------------------------------------------------------
// JSON strings.

// Lower-cases the hexadecimal digits of \u escapes, so that either case of
// the digits is accepted.
std::string lower_hex_escapes(const std::string& json) {
    std::string out = json;
    for (size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '\\' && out[i + 1] == 'u') {
            for (size_t k = i + 2; k < i + 6 && k < out.size(); ++k) {
                out[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[k])));
            }
            i += 5;
        } else if (out[i] == '\\') {
            ++i;
        }
    }
    return out;
}

std::string in_quotes(const std::string& inner) { return "\"" + inner + "\""; }

std::string hex_bytes(std::string_view bytes) {
    std::string out;
    char buffer[8];
    for (unsigned char c : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x ", c);
        out += buffer;
    }
    return out;
}



// Reads a JSON string literal back into bytes, taking \udc80..\udcff (a low
// surrogate without a high one) as the raw byte 0x80..0xff. Throws on anything
// that is not a well-formed JSON string.
std::string decode_json_string(std::string_view json) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') {
        throw std::runtime_error("not a string literal");
    }
    if (!valid_utf8(json)) throw std::runtime_error("not UTF-8");
    auto hex4 = [&](size_t at) {
        if (at + 4 > json.size() - 1) throw std::runtime_error("short \\u escape");
        uint32_t v = 0;
        for (size_t k = at; k < at + 4; ++k) {
            const char c = json[k];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else throw std::runtime_error("bad hex digit");
        }
        return v;
    };
    std::string out;
    for (size_t i = 1; i + 1 < json.size();) {
        const unsigned char c = static_cast<unsigned char>(json[i]);
        if (c == '"') throw std::runtime_error("unescaped quote inside");
        if (c < 0x20) throw std::runtime_error("raw control character");
        if (c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (i + 2 >= json.size()) throw std::runtime_error("escape at the end");
        const char e = json[i + 1];
        const char* simple = std::strchr("\"\\/bfnrt", e);
        if (e != 'u') {
            if (simple == nullptr || e == '\0') throw std::runtime_error("bad escape");
            out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
            i += 2;
            continue;
        }
        const uint32_t unit = hex4(i + 2);
        i += 6;
        if (unit >= 0xd800 && unit <= 0xdbff) {
            if (i + 6 > json.size() - 1 || json[i] != '\\' || json[i + 1] != 'u') {
                throw std::runtime_error("high surrogate alone");
            }
            const uint32_t low = hex4(i + 2);
            if (low < 0xdc00 || low > 0xdfff) throw std::runtime_error("bad surrogate pair");
            out += utf8(0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
            i += 6;
        } else if (unit >= 0xdc80 && unit <= 0xdcff) {
            out += static_cast<char>(unit - 0xdc00);
        } else if (unit >= 0xdc00 && unit <= 0xdfff) {
            throw std::runtime_error("low surrogate outside the byte escapes");
        } else {
            out += utf8(unit);
        }
    }
    return out;
}

// Printable ASCII other than the quote and the backslash is written as it is.
TEST(JsonString, PrintableAsciiIsWrittenAsItIs) {
    std::string all;
    for (int c = 0x20; c < 0x7f; ++c) {
        if (c != '"' && c != '\\') all += static_cast<char>(c);
    }
    EXPECT_EQ(json_string(all), in_quotes(all));
    EXPECT_EQ(json_string(""), "\"\"");
}

TEST(JsonString, QuoteAndBackslashAreEscaped) {
    EXPECT_EQ(json_string("\""), R"("\"")");
    EXPECT_EQ(json_string("\\"), R"("\\")");
    EXPECT_EQ(json_string(R"(a"b\c)"), R"("a\"b\\c")");
    EXPECT_EQ(json_string(R"(\u00e9)"), R"("\\u00e9")");  // a backslash text, not an escape
}

// Every control character, NUL included, becomes \u00XX; so does DEL.
TEST(JsonString, EveryControlCharacterAndDelBecomeUnicodeEscapes) {
    for (int c = 0; c < 0x20; ++c) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "\"a\\u%04xb\"", c);
        const std::string input{'a', static_cast<char>(c), 'b'};
        EXPECT_EQ(lower_hex_escapes(json_string(input)), expected) << "byte " << c;
    }
    EXPECT_EQ(lower_hex_escapes(json_string("\x7f")), R"("\u007f")");
    EXPECT_EQ(lower_hex_escapes(json_string(std::string_view("\0\0", 2))), R"("\u0000\u0000")");
}

// Well-formed UTF-8 passes through unchanged, at the edges of every length.
TEST(JsonString, WellFormedUtf8PassesThrough) {
    const std::vector<std::string> texts = {
        "\xc2\x80",              // U+0080, first of two bytes
        "\xc3\xa9",              // U+00E9
        "\xdf\xbf",              // U+07FF, last of two bytes
        "\xe0\xa0\x80",          // U+0800, first of three bytes
        "\xe2\x82\xac",          // U+20AC
        "\xed\x9f\xbf",          // U+D7FF, just below the surrogates
        "\xee\x80\x80",          // U+E000, just above them
        "\xef\xbf\xbf",          // U+FFFF
        "\xf0\x90\x80\x80",      // U+10000, first of four bytes
        "\xf0\x9d\x84\x9e",      // U+1D11E
        "\xf4\x8f\xbf\xbf",      // U+10FFFF, the last scalar value
        "caf\xc3\xa9-\xe2\x82\xac-\xf0\x9d\x84\x9e.txt",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(json_string(text), in_quotes(text)) << hex_bytes(text);
    }
}

// A byte that does not start a well-formed sequence is written as
// \udc80..\udcff, one escape per byte; what follows is examined afresh.
TEST(JsonString, BytesThatAreNotUtf8BecomeOneEscapePerByte) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\x80", R"(\udc80)"},                                 // continuation byte alone
        {"\xbf", R"(\udcbf)"},
        {"a\xff" "b", R"(a\udcffb)"},                          // never in UTF-8
        {"\xfe", R"(\udcfe)"},
        {"\xc0\x80", R"(\udcc0\udc80)"},                       // overlong NUL
        {"\xc1\xbf", R"(\udcc1\udcbf)"},                       // overlong U+007F
        {"\xe0\x80\x80", R"(\udce0\udc80\udc80)"},             // overlong, three bytes
        {"\xe0\x9f\xbf", R"(\udce0\udc9f\udcbf)"},             // overlong U+07FF
        {"\xed\xa0\x80", R"(\udced\udca0\udc80)"},             // surrogate U+D800
        {"\xed\xbf\xbf", R"(\udced\udcbf\udcbf)"},             // surrogate U+DFFF
        {"\xed\xb2\x80", R"(\udced\udcb2\udc80)"},             // U+DC80, the escape's own range
        {"\xf0\x80\x80\x80", R"(\udcf0\udc80\udc80\udc80)"},   // overlong, four bytes
        {"\xf0\x8f\xbf\xbf", R"(\udcf0\udc8f\udcbf\udcbf)"},   // overlong U+FFFF
        {"\xf4\x90\x80\x80", R"(\udcf4\udc90\udc80\udc80)"},   // above U+10FFFF
        {"\xf5\x80\x80\x80", R"(\udcf5\udc80\udc80\udc80)"},   // lead byte beyond F4
        {"\xc3", R"(\udcc3)"},                                 // truncated at the end
        {"\xe2\x82", R"(\udce2\udc82)"},
        {"\xf0\x9d\x84", R"(\udcf0\udc9d\udc84)"},
        {"\xc3" "A", R"(\udcc3A)"},                            // cut short by ASCII
        {"\xe2\x82" "A", R"(\udce2\udc82A)"},
        {"\xe2\xc3\xa9", "\\udce2\xc3\xa9"},                   // cut short by a valid sequence
        {"\xc3\xa9\xa9", "\xc3\xa9\\udca9"},                   // one continuation too many
        {"\xc3\"", R"(\udcc3\")"},                             // cut short by a quote
        {"\xe2\x01", R"(\udce2\u0001)"},                       // cut short by a control byte
    };
    for (const auto& [input, inner] : cases) {
        EXPECT_EQ(lower_hex_escapes(json_string(input)), in_quotes(inner)) << hex_bytes(input);
    }
}

// Any bytes at all: the result is a well-formed JSON string in UTF-8 without
// raw control characters, and reading it back gives the same bytes.
TEST(JsonString, AnyBytesRoundTrip) {
    std::mt19937 random(20240607);
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 3);
    for (int n = 0; n < 20000; ++n) {
        std::string bytes;
        const int len = length(random);
        for (int k = 0; k < len; ++k) {
            // Mix arbitrary bytes with well-formed sequences so both meet.
            if (pick(random) == 0) {
                std::uniform_int_distribution<uint32_t> cp(0x80, 0x10ffff);
                uint32_t c = cp(random);
                if (c >= 0xd800 && c <= 0xdfff) c -= 0x800;
                bytes += utf8(c);
            } else {
                bytes += static_cast<char>(byte(random));
            }
        }
        const std::string json = json_string(bytes);
        SCOPED_TRACE(hex_bytes(bytes));
        for (unsigned char c : json) ASSERT_GE(c, 0x20) << "raw control character in " << json;
        ASSERT_TRUE(valid_utf8(json)) << json;
        std::string back;
        ASSERT_NO_THROW(back = decode_json_string(json)) << json;
        ASSERT_EQ(back, bytes) << json;
        // Well-formed input needs no byte escapes.
        if (valid_utf8(bytes)) {
            ASSERT_EQ(lower_hex_escapes(json).find("\\udc"), std::string::npos) << json;
        }
    }
}

// ---------------------------------------------------------------------------
// JSON numbers.

// JSON's number grammar: no "+", no leading zeros, digits on both sides of a
// point, no inf or nan.
const std::regex& json_number_grammar() {
    static const std::regex grammar(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
    return grammar;
}

template <typename T>
T read_back(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    T value;
    if constexpr (std::is_same_v<T, float>) {
        value = std::strtof(text.c_str(), &end);
    } else {
        value = std::strtod(text.c_str(), &end);
    }
    if (end != text.c_str() + text.size()) throw std::runtime_error("not all of '" + text + "' read");
    return value;
}

template <typename T>
auto bits(T value) {
    using Bits = std::conditional_t<std::is_same_v<T, float>, uint32_t, uint64_t>;
    Bits b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Significant digits of a decimal numeral: its mantissa without sign, point,
// leading and trailing zeros ("0.00120" has 2, "100" has 1, "0" has 0).
int significant_digits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == 'e' || c == 'E') break;
        if (c >= '0' && c <= '9') digits += c;
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    const size_t last = digits.find_last_not_of('0');
    return static_cast<int>(last - first + 1);
}

// Whether a decimal of d significant digits reads back as `value` (only the
// nearest ones, on both sides, can). `exponent` receives the exponent of the
// d.ddde+XX form.
template <typename T>
bool digits_suffice(T value, int d, long* exponent) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", d - 1, static_cast<double>(value));
    std::string mantissa;
    const char* e = std::strchr(buffer, 'e');
    for (const char* p = buffer; p != e; ++p) {
        if (*p >= '0' && *p <= '9') mantissa += *p;
    }
    *exponent = std::strtol(e + 1, nullptr, 10);
    const unsigned long long m = std::stoull(mantissa);
    for (unsigned long long candidate : {m - 1, m, m + 1}) {
        if (candidate == 0) continue;
        const std::string text = (std::signbit(value) ? "-" : "") + std::to_string(candidate) + "e" +
                                 std::to_string(*exponent - (d - 1));
        if (bits(read_back<T>(text)) == bits(value)) return true;
    }
    return false;
}

// Checks that `value` is written in a form JSON accepts that reads back as
// exactly `value`, and that it is the shortest such form: no more significant
// digits than needed. An integer-valued number may instead be written as its
// exact integer, when that is no longer than the needed digits in exponent
// form (90282311680 rather than 9.0282312e+10).
template <typename T>
::testing::AssertionResult shortest_round_trip(T value) {
    const std::string text = json_number(value);
    if (!std::regex_match(text, json_number_grammar())) {
        return ::testing::AssertionFailure() << "'" << text << "' is not a JSON number";
    }
    const T back = read_back<T>(text);
    if (bits(back) != bits(value)) {
        return ::testing::AssertionFailure()
               << "'" << text << "' reads back as a different value than " << std::hexfloat << value;
    }
    // A decimal that reads back still does with a digit more, so one digit
    // fewer than written is the test; the fewest is looked for only then.
    const int written = significant_digits(text);
    long exponent = 0;
    if (written <= 1 || !digits_suffice(value, std::min(written - 1, 17), &exponent)) {
        return ::testing::AssertionSuccess();
    }
    int needed = 1;
    while (!digits_suffice(value, needed, &exponent)) ++needed;
    const bool plain_integer = text.find_first_of(".eE") == std::string::npos;
    const std::string exponent_digits = std::to_string(std::labs(exponent));
    const size_t exponent_form = (std::signbit(value) ? 1u : 0u) + static_cast<size_t>(needed) +
                                 (needed > 1 ? 1u : 0u) + 2u + std::max<size_t>(2, exponent_digits.size());
    if (plain_integer && text.size() <= exponent_form) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << text << "' has " << written
                                         << " significant digits where " << needed << " read back";
}

// NaN and the infinities do not exist in JSON: null.
TEST(JsonNumber, NanAndInfinitiesAreNull) {
    EXPECT_EQ(json_number(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(json_number(-std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(json_number(std::numeric_limits<float>::signaling_NaN()), "null");
    EXPECT_EQ(json_number(std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(json_number(-std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(json_number(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(json_number(-std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(json_number(std::numeric_limits<double>::signaling_NaN()), "null");
    EXPECT_EQ(json_number(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json_number(-std::numeric_limits<double>::infinity()), "null");
}

// The float overload is shortest for the float, not for its widened double:
// 0.1f is "0.1", not 0.100000001490116...
TEST(JsonNumber, FloatIsShortestForTheFloatItself) {
    EXPECT_EQ(significant_digits(json_number(0.1f)), 1) << json_number(0.1f);
    EXPECT_EQ(significant_digits(json_number(1.0f / 3.0f)), 8) << json_number(1.0f / 3.0f);
    EXPECT_EQ(significant_digits(json_number(1.0 / 3.0)), 16) << json_number(1.0 / 3.0);
    EXPECT_EQ(read_back<double>(json_number(2.5f)), 2.5);
    EXPECT_EQ(read_back<double>(json_number(-1.0)), -1.0);
    EXPECT_EQ(read_back<double>(json_number(0.0f)), 0.0);
}

TEST(JsonNumber, EdgeValuesRoundTripShortest) {
    using F = std::numeric_limits<float>;
    using D = std::numeric_limits<double>;
    for (float v : {0.0f, -0.0f, 1.0f, -1.0f, 0.1f, 100.0f, 1e10f, 16777216.0f, 16777217.0f,
                    F::min(), -F::min(), F::max(), -F::max(), F::denorm_min(), -F::denorm_min(),
                    std::nextafter(F::min(), 0.0f), 6.0e12f, 85.0f, 0.94f, 1.06f}) {
        EXPECT_TRUE(shortest_round_trip(v));
    }
    for (double v : {0.0, -0.0, 1.0, -1.0, 0.1, 0.94, 1e23, 5e-324, D::min(), -D::min(), D::max(),
                     -D::max(), D::denorm_min(), std::nextafter(D::min(), 0.0), 9007199254740993.0,
                     123456789012345678.0}) {
        EXPECT_TRUE(shortest_round_trip(v));
    }
    // The sign of zero survives.
    EXPECT_TRUE(std::signbit(read_back<float>(json_number(-0.0f))));
    EXPECT_TRUE(std::signbit(read_back<double>(json_number(-0.0))));
}

// Random bit patterns cover every exponent, subnormals included.
TEST(JsonNumber, RandomFloatsRoundTripShortest) {
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_int_distribution<uint32_t> subnormal(1, 0x007fffff);
    int tested = 0;
    for (int n = 0; n < 40000; ++n) {
        uint32_t b = n % 4 == 0 ? subnormal(random) | (any(random) & 0x80000000u) : any(random);
        float v;
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        ASSERT_TRUE(shortest_round_trip(v)) << std::hexfloat << v;
        ++tested;
    }
    EXPECT_GT(tested, 35000);
}

TEST(JsonNumber, RandomDoublesRoundTripShortest) {
    std::mt19937_64 random(11);
    std::uniform_int_distribution<uint64_t> any;
    std::uniform_int_distribution<uint64_t> subnormal(1, 0x000fffffffffffffULL);
    int tested = 0;
    for (int n = 0; n < 40000; ++n) {
        uint64_t b = n % 4 == 0 ? subnormal(random) | (any(random) & 0x8000000000000000ULL) : any(random);
        double v;
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        ASSERT_TRUE(shortest_round_trip(v)) << std::hexfloat << v;
        ++tested;
    }
    EXPECT_GT(tested, 35000);
}

// Values of the size the report holds (activities, rates, times) rather than
// random exponents.
TEST(JsonNumber, ReportSizedValuesRoundTripShortest) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> magnitude(-3.0, 7.0);
    for (int n = 0; n < 20000; ++n) {
        const double d = (n % 2 ? -1.0 : 1.0) * std::pow(10.0, magnitude(random));
        ASSERT_TRUE(shortest_round_trip(static_cast<float>(d)));
        ASSERT_TRUE(shortest_round_trip(d));
    }
}

}  // namespace
