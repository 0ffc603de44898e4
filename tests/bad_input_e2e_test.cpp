// End-to-end tests of the program on bad input: damaged, truncated, oversized
// and garbage files of every kind, values beyond the integer types, ROIs the
// fit cannot use, sums that would overflow, negative or NaN factors and
// weights, and probabilities far in the tail. Each case is a working
// directory of its own; the built program must end normally with the
// documented status, write the documented output, and name the offending file
// on standard error.
//
// Cases the run driver's suite (run_e2e_test.cpp) already covers are not
// repeated here: missing, empty and short sample files, negative live times and
// times beyond 64 bits in samples, CR LF files, missing or short dose.txt,
// result.txt that cannot be created or written, weights that do not scan, times
// above 2^32 us in samples, two-spectrum saturation and a dose bin of four
// 2e9 channels. A ROI on channel 1023 failing the fit is in analysis_e2e_test.cpp.
//
// Dose and count rates below were computed by hand in single precision
// (python3, float32 emulated with struct: every operation rounded to float32).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "run_e2e_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace run_e2e;
using test_support::ScratchDir;

// A damaged method file may cause more than one line (the first value that does
// not scan, each over-long name); all of them name it.
void expect_diagnostics_all_naming(const std::string& err, const std::string& file) {
    const std::vector<std::string> lines = lines_of(err);
    ASSERT_FALSE(lines.empty()) << "no diagnostic naming " << file;
    ASSERT_EQ(err.back(), '\n') << err;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("assay: " + file, 0), 0u) << "should name " << file << ": " << line;
    }
}

// A row whose fit columns are given exactly ("a\t...sd\t...qfit\tgain\t").
std::string row_console_exact(const std::string& name, const std::string& fit, const std::string& dose,
                              const std::vector<std::string>& rates, const std::string& weight = "  1.000") {
    std::string t = name + "\t" + fit + weight + "\t" + dose + "\t";
    for (const auto& r : rates) t += r + "\t";
    return t + "\n";
}

std::string row_file_exact(const std::string& name, const std::string& fit, const std::string& dose,
                           const std::vector<std::string>& rates, const std::string& weight = "  1.000") {
    std::string t = name + "\t" + fit + " 0.0000000\t 0.0000000\t 0.0000000\t" + weight + "\t" + dose + "\t";
    for (const auto& r : rates) t += r + "\t";
    return t + "\n";
}

// Fit columns of an evaluation that failed before anything was stored: the
// failure rules keep the sum record's previous results, and before the first
// successful evaluation these are the zeros of the zero fill.
std::string failed_fit_columns(int components) {
    std::string t;
    for (int i = 0; i < 2 * components; ++i) t += "   0.00\t";
    return t + "   0.00\t 0.0000\t";
}

// Deterministic "random binary": a fixed-seed Mersenne twister, whose output
// sequence is fixed by the C++ standard, one byte per draw.
std::string garbage_bytes(size_t size, uint32_t seed) {
    std::mt19937 engine(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(engine() & 0xFFu);
    return bytes;
}

// A file name as the C library sees it: it ends at the first NUL.
std::string c_string(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

constexpr bool c_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char ch : text) {
        if (c_space(static_cast<unsigned char>(ch))) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += ch;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

// Fields of a tab-separated line (the text after the last tab is dropped; every
// field of the table ends in a tab).
std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    return fields;
}

// Standard output and result.txt of a run whose method file is absent: no
// components, a row of dose only per evaluation.
std::string out_without_method(const std::vector<Row>& rows, bool dose_ok = true) {
    std::string t = kBanner + (dose_ok ? kDoseOk : "") + "Reads Method none.txt\n" + header_console(MethodFile{});
    for (const Row& r : rows) t += row_console(r, 0);
    return t;
}

std::string result_without_method(const std::vector<Row>& rows) {
    std::string t = header_file(MethodFile{});
    for (const Row& r : rows) t += row_file(r, 0);
    return t;
}

// ---------------------------------------------------------------------------
// Sample files. An incomplete or unreadable file is handled exactly like a
// missing one: an add or add-and-evaluate entry adds nothing and writes no row,
// a plain entry leaves the sum unchanged; each skipped entry is reported.

// Each bad file also holds 1000 counts in dose bin 4, which would change the
// dose column if any of it were taken.
std::string bad_spectrum(const std::string& count_600) {
    std::vector<long long> c = bin4(1000);
    std::string t = "1000000000\n1000000000\n";
    for (int i = 0; i < 1024; ++i) {
        t += i == 600 ? count_600 : std::to_string(c[static_cast<size_t>(i)]);
        t += "\n";
    }
    return t + "0 0 0 0\n";
}

TEST(BadSampleFile, UnusableFileIsSkippedLikeAMissingOne) {
    std::string nul_separator = bad_spectrum("0");
    nul_separator[nul_separator.find("\n250\n") + 4] = '\0';  // after channel 16's count
    std::string real_time_as_real = bad_spectrum("0");
    real_time_as_real.replace(0, 22, "1000000000\n1.0e9\n");
    std::string negative_real_time = bad_spectrum("0");
    negative_real_time.replace(0, 22, "1000000000\n-1000000000\n");
    std::string oversized = spectrum(1000, 1000, bin4(1000)) + std::string((size_t{64} << 20) + 1, '\n');

    struct Case {
        const char* what;
        std::string bytes;  // empty with directory set: a directory
        bool directory = false;
    };
    const std::vector<Case> cases = {
        {"white space only", " \n\t\r\n  \v\f\n"},
        {"count above int32", bad_spectrum("2147483648")},
        {"count below int32", bad_spectrum("-2147483649")},
        {"count of 100000 digits", bad_spectrum(std::string(100000, '9'))},
        {"count written as a real", bad_spectrum("1.5")},
        {"count in hexadecimal", bad_spectrum("0x1F")},
        {"NUL byte in place of a separator", nul_separator},
        {"real time written as a real", real_time_as_real},
        {"negative real time", negative_real_time},
        {"random binary", garbage_bytes(4096, 4)},
        {"directory", "", true},
        {"larger than 64 MiB", oversized},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("config.txt", "none.txt\n+a.txt\n*bad.txt\n*b.txt\na.txt\nbad.txt\n*b.txt\n");
        dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
        dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
        if (c.directory) {
            fs::create_directory(dir.path() / "bad.txt");
        } else {
            dir.write("bad.txt", c.bytes);
        }
        Outcome o = run_in(dir);

        // a + b both times: 400 counts in bin 4 over 2 s: 400 * 0.04442464 / 2 = 8.884928
        const std::vector<Row> rows = {{"*b.txt", "8.88"}, {"*b.txt", "8.88"}};
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, out_without_method(rows));
        EXPECT_EQ(o.result, result_without_method(rows));
        expect_diagnostics(o.run.err, {"none.txt", "bad.txt", "bad.txt"});
    }
}

// A file is complete when its two times and 1024 counts scan; the trailing
// reals may be missing or malformed, and values at the limits of their types
// scan. Method: one component counting channel 1021 (whose dose coefficient is
// 0); no standards, so the calibration is singular, the fit columns keep their
// zeros and the failed fit is the only thing reported. Dose: 100 counts in
// bin 4 over 1000 s: 4.442464.
TEST(BadSampleFile, CompleteFileIsTakenWhateverFollowsItsCounts) {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021 only

    auto with_1021 = [](const std::string& count, const std::string& tail) {
        std::vector<long long> c = bin4(100);
        std::string t = "1000000000 1000000000\n";
        for (int i = 0; i < 1024; ++i) t += (i == 1021 ? count : std::to_string(c[static_cast<size_t>(i)])) + " ";
        return t + tail;
    };
    struct Case {
        const char* what;
        std::string bytes;
        std::string rate;  // count * 60 / 1000 s in float
    };
    const std::vector<Case> cases = {
        {"no trailing reals", with_1021("500", ""), "30.0"},
        {"two trailing reals", with_1021("500", "\n1.5 2\n"), "30.0"},
        {"trailing reals that do not scan", with_1021("500", "\nx y z w\n"), "30.0"},
        {"anything after the trailing reals", with_1021("500", "\n0 0 0 0\n\x01\x02 garbage\n"), "30.0"},
        // float(2147483647) = 2147483648; / 1000 = 2147483.75 in float; * 60
        {"largest count", with_1021("2147483647", "0 0 0 0\n"), "128849024.0"},
        {"smallest count", with_1021("-2147483648", "0 0 0 0\n"), "-128849024.0"},
        {"count with 5000 leading zeros", with_1021(std::string(5000, '0') + "42", "0 0 0 0\n"), " 2.5"},
        {"count with a plus sign", with_1021("+7", "0 0 0 0\n"), " 0.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("m.txt", m.text());
        dir.write("config.txt", "m.txt *s.txt\n");
        dir.write("s.txt", c.bytes);
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + m.console() + header_console(m) +
                                 row_console_exact("*s.txt", failed_fit_columns(1), "4.44", {c.rate}));
        EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", failed_fit_columns(1), "4.44", {c.rate}));
        expect_diagnostics(o.run.err, {"m.txt", "s.txt"});
    }
}

// ---------------------------------------------------------------------------
// Method files.

// Console and echo of a method file in which nothing after the component list
// scans: every later value keeps the 0 of the zero fill, every flag reads as
// "not present".
std::string zero_method_console(const std::string& name,
                                const std::vector<std::pair<std::string, std::string>>& pairs,
                                bool total_line) {
    std::string t = name + "\n";
    for (const auto& [n, u] : pairs) t += n + " " + u + "\n";
    if (total_line) t += "components total " + std::to_string(pairs.size()) + "\n";
    const std::string zero_row = "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n";
    for (int i = 0; i < 7; ++i) t += zero_row;
    t += "Stripped standards activities\n";
    for (int i = 0; i < 6; ++i) t += zero_row;
    t += "BG spectrum not present\n";
    for (int i = 0; i < 6; ++i) t += "Calibration spectrum not present\n";
    return t + "Local BG spectrum not present\n";
}

std::string zero_method_echo(const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string t = name + "\r\n";
    for (size_t i = 0; i < 6; ++i) {
        t += i < pairs.size() ? pairs[i].first + "\r\n" + pairs[i].second + "\r\n" : "\r\n\r\n";
    }
    for (int i = 0; i < 42; ++i) t += "0.000000\r\n";  // standards table and strip line
    for (int i = 0; i < 72; ++i) t += "0\r\n";         // ROI lines
    for (int i = 0; i < 18; ++i) t += "0.000000\r\n";  // factors and limits
    for (int i = 0; i < 11; ++i) t += "0\r\n";         // three integers and eight flags
    return t;
}

// The text of a method without components from its standards table on: the
// name line and the two line ends that close the empty list are dropped.
std::string without_component_list(const std::string& text) {
    return text.substr(text.find("\n\n\n") + 3);
}

// Header for components given as (name, unit) pairs.
MethodFile named(const std::vector<std::pair<std::string, std::string>>& pairs) {
    MethodFile m;
    m.components = pairs;
    return m;
}

// Config "m.txt *s.txt"; s: 100 counts in bin 4 over 1000 s (dose 4.44). With
// no ROI the count rates are 0 and the fit fails (no ROI channel: the sample
// fit is singular), keeping the zeros; that failure is reported after the
// method file's own lines.
TEST(BadMethodFile, DamagedComponentList) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::pair<std::string, std::string>> kept;  // pairs as stored
        bool total_line;
        std::string console;  // method part of the console; empty: zero_method_console
        std::string echo;     // empty: zero_method_echo
        // One line per over-long word, else one for the first value that does
        // not scan; then the failed fit of s.txt.
        std::vector<std::string> diagnostics = {"m.txt", "s.txt"};
    };
    // Over-long names and units: the whole word is consumed, 9 characters kept,
    // and the rest of the file is read from the right place.
    MethodFile long_names;
    long_names.components = {{"Potassium40", "Bq"}, {"Cs137", "kiloBecquerel"}};
    MethodFile kept_names = long_names;
    kept_names.components = {{"Potassium", "Bq"}, {"Cs137", "kiloBecqu"}};

    const std::vector<Case> cases = {
        {"names longer than 9 characters", long_names.text(), kept_names.components, true,
         kept_names.console(), kept_names.echo(), {"m.txt", "m.txt", "s.txt"}},
        // The pair whose unit did not scan counts with an empty unit; the list
        // ends at the name that does not scan, without a total line.
        {"file ending after a name", "demo\nK40 Bq\nCs137", {{"K40", "Bq"}, {"Cs137", ""}}, false, "", ""},
        {"file ending after a unit", "demo\nK40 Bq\nCs137 Bq", {{"K40", "Bq"}, {"Cs137", "Bq"}}, false, "", ""},
        {"file ending after the first pair's line", "demo\nK40 Bq\n", {{"K40", "Bq"}}, false, "", ""},
        // Seven pairs: the list ends after the sixth; the standards table is then
        // read at "G", which does not scan, so nothing after it is read.
        {"seven name and unit pairs",
         "demo\nA a\nB b\nC c\nD d\nE e\nF f\nG g\n\n" + without_component_list(MethodFile{}.text()),
         {{"A", "a"}, {"B", "b"}, {"C", "c"}, {"D", "d"}, {"E", "e"}, {"F", "f"}}, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("m.txt", c.text);
        dir.write("config.txt", "m.txt *s.txt\n");
        dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
        Outcome o = run_in(dir);

        const MethodFile header = named(c.kept);
        const int n = header.count();
        const std::string method_console =
            c.console.empty() ? zero_method_console("demo", c.kept, c.total_line) : c.console;
        const std::vector<std::string> rates(static_cast<size_t>(n), " 0.0");
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + method_console +
                                 header_console(header) +
                                 row_console_exact("*s.txt", failed_fit_columns(n), "4.44", rates));
        EXPECT_EQ(o.result, header_file(header) + row_file_exact("*s.txt", failed_fit_columns(n), "4.44", rates));
        EXPECT_EQ(o.method, c.echo.empty() ? zero_method_echo("demo", c.kept) : c.echo);
        expect_diagnostics(o.run.err, c.diagnostics);
    }
}

// Echo of an inline or referenced spectrum: times as read, counts, the trailing
// reals truncated, then the short spectrum.
std::string spectrum_echo(const std::string& live_us, const std::string& real_us,
                          const std::vector<long long>& counts, const std::string& reals,
                          const std::string& short_part) {
    std::string t = live_us + "\r\n" + real_us + "\r\n";
    for (long long v : counts) t += std::to_string(v) + "\r\n";
    return t + reals + "\r\n" + short_part;
}

std::string zero_short_echo() {
    std::string t = "0\r\n0\r\n";
    for (int i = 0; i < 256; ++i) t += "0\r\n";
    return t + "0 0 0 0\r\n";
}

// Inline spectra are read leniently: a value that does not scan leaves its
// field (0 here) and reading goes on; a file that ends leaves every later
// field as it was and every later flag "not present". The first value that
// does not scan is reported against the method file, and only it; the fit,
// which has no standards, fails and is reported after it.
TEST(BadMethodFile, DamagedInlineSpectrum) {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021

    std::vector<long long> counts(1024);
    for (int i = 0; i < 1024; ++i) counts[static_cast<size_t>(i)] = i % 7;
    std::string short_text = "11 12\n";
    std::string short_echo = "11\r\n12\r\n";
    for (int i = 0; i < 256; ++i) {
        short_text += std::to_string(i % 5) + " ";
        short_echo += std::to_string(i % 5) + "\r\n";
    }
    short_text += "\n1 2 3 4";
    short_echo += "1 2 3 4\r\n";
    auto local = [&](const std::string& times, const std::vector<long long>& c, size_t bad_channel = 9999,
                     const std::string& bad_text = "") {
        std::string t = "1\n" + times + "\n";
        for (size_t i = 0; i < c.size(); ++i) t += (i == bad_channel ? bad_text : std::to_string(c[i])) + " ";
        return t + "\n5.5 6 7 8\n" + short_text;
    };
    std::vector<long long> counts_5_kept = counts;
    counts_5_kept[5] = 0;  // the field keeps the 0 of the zero fill

    const std::string local_head = m.console_head() + "BG spectrum not present\n" + [] {
        std::string t;
        for (int i = 0; i < 6; ++i) t += "Calibration spectrum not present\n";
        return t;
    }() + "Reading from method file\n";
    const std::string flags_before_local = "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n";

    struct Case {
        const char* what;
        std::string text;
        std::string console;
        std::string echo;
        bool reported;
    };
    std::vector<Case> cases;
    {
        // The background ends after 500 counts: counts 500..1023, the trailing
        // reals, the short spectrum and all later flags read as 0.
        MethodFile b = m;
        std::string bg = "1\n600000000 600000000\n";
        for (int i = 0; i < 500; ++i) bg += std::to_string(i % 7) + " ";
        b.background = bg;
        std::string text = b.text();
        text.resize(text.find(bg) + bg.size());
        std::vector<long long> stored(1024, 0);
        for (int i = 0; i < 500; ++i) stored[static_cast<size_t>(i)] = i % 7;
        std::string console = m.console_head() + "Reading from method file\n";
        for (int i = 0; i < 6; ++i) console += "Calibration spectrum not present\n";
        console += "Local BG spectrum not present\n";
        cases.push_back({"file ending in the middle of the background's counts", text, console,
                         m.echo_head() + "1\r\n" +
                             spectrum_echo("600000000", "600000000", stored, "0 0 0 0", zero_short_echo()) +
                             "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n",
                         true});
    }
    {
        // A count beyond int32: its numeral is consumed, the channel keeps its
        // value, and the next count goes to the next channel.
        MethodFile l = m;
        l.local_background = local("3000000 4000000", counts, 5, "9999999999");
        cases.push_back({"count above int32", l.text(), local_head,
                         m.echo_head() + flags_before_local + "1\r\n" +
                             spectrum_echo("3000000", "4000000", counts_5_kept, "5 6 7 8", short_echo),
                         true});
    }
    {
        MethodFile l = m;
        l.local_background = local("3000000 4000000", counts, 5, "-2147483649");
        cases.push_back({"count below int32", l.text(), local_head,
                         m.echo_head() + flags_before_local + "1\r\n" +
                             spectrum_echo("3000000", "4000000", counts_5_kept, "5 6 7 8", short_echo),
                         true});
    }
    {
        // A negative time does not scan; the live time keeps its 0.
        MethodFile l = m;
        l.local_background = local("-3000000 4000000", counts);
        cases.push_back({"negative live time", l.text(), local_head,
                         m.echo_head() + flags_before_local + "1\r\n" +
                             spectrum_echo("0", "4000000", counts, "5 6 7 8", short_echo),
                         true});
    }
    {
        MethodFile l = m;
        l.local_background = local("3000000 18446744073709551616", counts);
        cases.push_back({"real time beyond 64 bits", l.text(), local_head,
                         m.echo_head() + flags_before_local + "1\r\n" +
                             spectrum_echo("3000000", "0", counts, "5 6 7 8", short_echo),
                         true});
    }
    {
        // Times above 2^32 us, up to the largest 64-bit value, are taken whole.
        MethodFile l = m;
        l.local_background = local("7200000000 18446744073709551615", counts);
        cases.push_back({"times above 32 bits", l.text(), local_head,
                         m.echo_head() + flags_before_local + "1\r\n" +
                             spectrum_echo("7200000000", "18446744073709551615", counts, "5 6 7 8", short_echo),
                         false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("m.txt", c.text);
        dir.write("config.txt", "m.txt *s.txt\n");
        std::vector<long long> s = bin4(100);
        s[1021] = 500;
        dir.write("s.txt", spectrum(1000, 1000, s));
        Outcome o = run_in(dir);

        // 500 counts over 1000 s: 30.0 cpm. No standard: the fit columns keep zeros.
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + c.console + header_console(m) +
                                 row_console_exact("*s.txt", failed_fit_columns(1), "4.44", {"30.0"}));
        EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", failed_fit_columns(1), "4.44", {"30.0"}));
        EXPECT_EQ(o.method, c.echo);
        if (c.reported) {
            expect_diagnostics(o.run.err, {"m.txt", "m.txt", "s.txt"});
        } else {
            expect_diagnostics(o.run.err, {"m.txt", "s.txt"});
        }
    }
}

// A referenced ("#") spectrum file is read whole before anything of it is
// stored or echoed: one that cannot be opened or is incomplete shows "Spectrum
// file damaged", echoes nothing, and is reported by its own name. Without
// standards the fit fails either way, which is reported with the row.
TEST(BadMethodFile, DamagedReferencedSpectrum) {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021
    m.background = "1#ref.txt";

    std::vector<long long> counts(1024);
    for (int i = 0; i < 1024; ++i) counts[static_cast<size_t>(i)] = (i * 13) % 101;
    const std::string body = test_support::counts_text(counts);
    // Length of the first `n` lines of `text`.
    auto first_lines = [](const std::string& text, int n) {
        size_t end = 0;
        for (int i = 0; i < n; ++i) end = text.find('\n', end) + 1;
        return end;
    };
    std::string nul_inside = "60000000 60000000\n" + body;
    nul_inside.insert(first_lines(nul_inside, 6), 1, '\0');  // before the count of channel 5

    enum class Place { file, directory, absent };
    struct Case {
        const char* what;
        std::string bytes;
        Place place = Place::file;
        bool taken = false;  // else damaged
    };
    const std::vector<Case> cases = {
        {"missing file", "", Place::absent},
        {"directory", "", Place::directory},
        {"white space only", "\n \t\n"},
        {"1000 of 1024 counts", "60000000 60000000\n" + body.substr(0, first_lines(body, 1000))},
        {"count above int32", "60000000 60000000\n2147483648\n" + body.substr(body.find('\n') + 1)},
        {"count of 100000 digits", "60000000 60000000\n" + std::string(100000, '7') + "\n" +
                                       body.substr(body.find('\n') + 1)},
        {"negative live time", "-60000000 60000000\n" + body},
        {"NUL byte before a count", nul_inside},
        {"random binary", garbage_bytes(4096, 7)},
        // A complete file is taken: the trailing reals may be missing (they
        // echo as 0), and times may reach the largest 64-bit value.
        {"no trailing reals, times above 32 bits", "7200000000 18446744073709551615\n" + body, Place::file, true},
    };
    std::string console_tail;
    for (int i = 0; i < 6; ++i) console_tail += "Calibration spectrum not present\n";
    console_tail += "Local BG spectrum not present\n";
    const std::string later_flags = "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n";

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("m.txt", m.text());
        dir.write("config.txt", "m.txt *s.txt\n");
        std::vector<long long> s = bin4(100);
        s[1021] = 500;
        dir.write("s.txt", spectrum(1000, 1000, s));
        if (c.place == Place::directory) fs::create_directory(dir.path() / "ref.txt");
        if (c.place == Place::file) dir.write("ref.txt", c.bytes);
        Outcome o = run_in(dir);

        const std::string console =
            m.console_head() + "ref.txt\n" + (c.taken ? "" : "Spectrum file damaged\n") + console_tail;
        const std::string echo =
            m.echo_head() + "1\r\n" +
            (c.taken ? spectrum_echo("7200000000", "18446744073709551615", counts, "0 0 0 0",
                                     zero_short_echo() + later_flags)
                     : later_flags);
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + console + header_console(m) +
                                 row_console_exact("*s.txt", failed_fit_columns(1), "4.44", {"30.0"}));
        EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", failed_fit_columns(1), "4.44", {"30.0"}));
        EXPECT_EQ(o.method, echo);
        // Without standard spectra every evaluation fails, as said up front.
        if (c.taken) {
            expect_diagnostics(o.run.err, {"m.txt", "s.txt"});
        } else {
            expect_diagnostics(o.run.err, {"ref.txt", "m.txt", "s.txt"});
        }
    }
}

// dose.txt, config.txt "m.txt *s.txt" and s.txt of 100 counts in bin 4 over
// 1000 s (dose 4.44): a run whose method file m.txt a test writes.
void write_run_around_method(const ScratchDir& dir) {
    dir.write("dose.txt", kDoseUnit);
    dir.write("config.txt", "m.txt *s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
}

// The whole method file is unusable: the run goes on without components. The
// fit then has no coefficients: qfit 0 and the first trial gain 0.94 (kEmptyFit).
TEST(BadMethodFile, WholeFileUnusable) {
    struct Case {
        const char* what;
        std::string bytes;  // empty with directory set: a directory
        bool directory;
        std::string method_console;
        std::string echo;
        bool one_diagnostic;  // else one or more, all naming m.txt
    };
    const std::vector<Case> cases = {
        {"directory in place of the method file: like one that cannot be opened", "", true, "", "", true},
        {"white space only: empty name, no components, everything 0", " \n\t\r\n\n   \n", false,
         zero_method_console("", {}, false), zero_method_echo("", {}), false},
    };
    const std::string no_component_row_console = "*s.txt\t" + kEmptyFit + "  1.000\t4.44\t\n";
    const std::string no_component_row_file =
        "*s.txt\t" + kEmptyFit + " 0.0000000\t 0.0000000\t 0.0000000\t  1.000\t4.44\t\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        write_run_around_method(dir);
        if (c.directory) {
            fs::create_directory(dir.path() / "m.txt");
        } else {
            dir.write("m.txt", c.bytes);
        }
        Outcome o = run_in(dir);
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + c.method_console +
                                 header_console(MethodFile{}) + no_component_row_console);
        EXPECT_EQ(o.result, header_file(MethodFile{}) + no_component_row_file);
        EXPECT_TRUE(dir.exists("method.txt"));
        EXPECT_EQ(o.method, c.echo);
        if (c.one_diagnostic) {
            expect_diagnostics(o.run.err, {"m.txt"});
        } else {
            expect_diagnostics_all_naming(o.run.err, "m.txt");
        }
    }
}

// A NUL byte is no white space and starts no value: the background flag does
// not scan, and neither does anything after it, so every flag reads as "not
// present" and bg.txt is never read. Only that first failure is reported;
// then the fit, without standards, fails.
TEST(BadMethodFile, NulByteBeforeTheBackgroundFlag) {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);
    MethodFile with_bg = m;
    with_bg.background = "1#bg.txt";
    std::string text = with_bg.text();
    text.insert(text.find("1#bg.txt"), 1, '\0');
    ScratchDir dir;
    write_run_around_method(dir);
    dir.write("m.txt", text);
    dir.write("bg.txt", spectrum(1000, 1000, bin4(50)));
    Outcome o = run_in(dir);
    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + m.console() + header_console(m) +
                             row_console_exact("*s.txt", failed_fit_columns(1), "4.44", {" 0.0"}));
    EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", failed_fit_columns(1), "4.44", {" 0.0"}));
    EXPECT_EQ(o.method, m.echo());
    expect_diagnostics(o.run.err, {"m.txt", "m.txt", "s.txt"});
}

// What random bytes make of the components cannot be written down in advance;
// what must hold: the run ends normally, the header and the row agree on the
// number of components, the dose column comes from the sample alone, and
// every diagnostic names the method file.
TEST(BadMethodFile, RandomBytes) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        ScratchDir dir;
        write_run_around_method(dir);
        dir.write("m.txt", garbage_bytes(20000, seed));
        Outcome o = run_in(dir);
        EXPECT_EQ(o.run.exit_status, 0);
        const std::vector<std::string> lines = lines_of(o.result);
        ASSERT_EQ(lines.size(), 4u) << o.result;
        const std::vector<std::string> header = fields_of(lines[0]);
        ASSERT_GE(header.size(), 8u);
        ASSERT_EQ((header.size() - 8) % 3, 0u);
        const size_t n = (header.size() - 8) / 3;
        const std::vector<std::string> row = fields_of(lines[3]);
        ASSERT_EQ(row.size(), 1 + 2 * n + 2 + 3 + 1 + 1 + n) << lines[3];
        EXPECT_EQ(row[0], "*s.txt");
        EXPECT_EQ(row[1 + 2 * n + 6], "4.44");
        EXPECT_EQ(o.run.out.rfind(kBanner + kDoseOk + "Reads Method m.txt\n", 0), 0u);
        ASSERT_FALSE(o.run.err.empty());
        EXPECT_EQ(lines_of(o.run.err)[0].rfind("assay: m.txt", 0), 0u) << o.run.err;
        for (const std::string& line : lines_of(o.run.err)) {
            EXPECT_EQ(line.rfind("assay: ", 0), 0u) << line;
        }
    }
}

// A NUL byte is no white space, so it stays inside a word; the word is then
// used as a C string, which ends at the NUL. The console lines "%s\n" of the
// method name and of a referenced file name still end in a line end, as the
// echo's "%s\r\n" does.
TEST(BadMethodFile, NulByteInsideAWord) {
    MethodFile m;
    m.name = std::string("de\0mo", 5);
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);
    m.background = std::string("1#nx\0y.txt", 10);
    MethodFile shown = m;  // as a C string sees the words
    shown.name = "de";

    ScratchDir dir;
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
    Outcome o = run_in(dir);

    std::string console = shown.console_head() + "nx\nSpectrum file damaged\n";
    for (int i = 0; i < 6; ++i) console += "Calibration spectrum not present\n";
    console += "Local BG spectrum not present\n";
    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + console + header_console(m) +
                             row_console_exact("*s.txt", failed_fit_columns(1), "4.44", {" 0.0"}));
    EXPECT_EQ(o.method, shown.echo_head() + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n");
    // The reference that cannot be opened is reported by the name it was opened by.
    bool reported = false;
    for (const std::string& line : lines_of(o.run.err)) reported |= line.rfind("assay: nx", 0) == 0;
    EXPECT_TRUE(reported) << o.run.err;
}

// ---------------------------------------------------------------------------
// config.txt and dose.txt.

// Random bytes as config.txt: the first word is the method file name, every
// further word an entry, each taken as C strings (a NUL ends a name). No such
// files exist, so there are no components and no rows, and each entry that
// names a file is reported by that name.
TEST(GarbageInput, RandomBytesAsConfig) {
    for (uint32_t seed : {11u, 12u, 13u}) {
        SCOPED_TRACE(seed);
        const std::string config = garbage_bytes(3000, seed);
        const std::vector<std::string> words = words_of(config);
        ASSERT_GE(words.size(), 2u);
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("config.txt", config);
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method " + c_string(words[0]) + "\n" +
                                 header_console(MethodFile{}));
        EXPECT_EQ(o.result, header_file(MethodFile{}));

        const std::vector<std::string> lines = lines_of(o.run.err);
        size_t next = 0;
        auto expect_line = [&](const std::string& file, bool optional) {
            if (next < lines.size() && lines[next].rfind("assay: " + file, 0) == 0) {
                ++next;
            } else {
                EXPECT_TRUE(optional) << "expected a diagnostic naming '" << file << "' as line " << next;
            }
        };
        expect_line(c_string(words[0]), false);
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& w = words[i];
            if (w[0] == '^') {
                expect_line("config.txt", true);  // a weight reports only when it does not scan
            } else {
                expect_line(c_string(w[0] == '+' || w[0] == '*' ? w.substr(1) : w), false);
            }
        }
        EXPECT_EQ(next, lines.size()) << o.run.err;
    }
}

// dose.txt without five values that scan, or a directory in its place, which
// cannot be read like a missing file: no "calibration OK" line and "nan" in
// the dose column of every row.
TEST(GarbageInput, DoseFileWithoutFiveValues) {
    const std::string garbage = garbage_bytes(2000, 21);
    ASSERT_EQ(std::string("+-.0123456789iInN").find(garbage[0]), std::string::npos)
        << "the garbage must not begin like a number";
    struct Case {
        const char* what;
        std::string bytes;  // empty with directory set: a directory
        bool directory = false;
        int evaluations = 2;
    };
    const std::vector<Case> cases = {
        {"random binary", garbage},
        {"NUL byte between two values", std::string("1 0 0\0 0 0\n", 11)},
        {"white space only", "\n \t \r\n"},
        {"directory", "", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        if (c.directory) {
            fs::create_directory(dir.path() / "dose.txt");
        } else {
            dir.write("dose.txt", c.bytes);
        }
        std::string config = "none.txt";
        for (int i = 0; i < c.evaluations; ++i) config += " *s.txt";
        dir.write("config.txt", config + "\n");
        dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
        Outcome o = run_in(dir);

        const std::vector<Row> rows(static_cast<size_t>(c.evaluations), Row{"*s.txt", "nan"});
        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, out_without_method(rows, false));
        EXPECT_EQ(o.result, result_without_method(rows));
        expect_diagnostics(o.run.err, {"dose.txt", "none.txt"});
    }
}

// A directory where config.txt should be cannot be read, like a missing file:
// the silent end after the dose line (not the message of an empty
// configuration).
TEST(GarbageInput, DirectoryInPlaceOfConfig) {
    ScratchDir dir;
    dir.write("dose.txt", kDoseUnit);
    fs::create_directory(dir.path() / "config.txt");
    Outcome o = run_in(dir);
    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk);
    EXPECT_FALSE(dir.exists("result.txt"));
    EXPECT_FALSE(dir.exists("method.txt"));
    expect_diagnostics(o.run.err, {"config.txt"});
}

// ---------------------------------------------------------------------------
// ROIs.

// Standard: 100 + ch counts in channels 900..1023 over 1000 s, activity 1;
// sample: exactly twice that over 1000 s. A ROI the fit accepts gives back
// activity 2 at gain 1 with an exact fit (deviation and qfit 0); the counts
// reach low enough that every trial gain up to 1.06 still finds counts in the
// ROI (else that trial's fit is singular and the evaluation fails). After halving,
// a ROI reaching beyond channel 1023 ends at or above channel 512, so the fit
// fails and the row keeps the zeros of the zero fill; the count rate sums only
// the channels of [first, end) inside the spectrum, 2 * (100 + ch) each.
TEST(RoiRange, RoiBeyondTheSpectrumFailsTheFitAndCountsOnlyChannelsInside) {
    std::vector<long long> standard(1024, 0);
    std::vector<long long> sample(1024, 0);
    for (int ch = 900; ch < 1024; ++ch) {
        standard[static_cast<size_t>(ch)] = 100 + ch;
        sample[static_cast<size_t>(ch)] = 2 * (100 + ch);
    }
    struct Case {
        const char* what;
        std::array<int, 12> rois;
        std::string fit;
        std::string rate;
        bool well_formed;
    };
    const std::vector<Case> cases = {
        // (1000, 1100) halves to (500, 550); channels 1000..1023: 53352 counts
        {"ROI 1000..1100", roi(3000, 3300), failed_fit_columns(1), "3201.1", false},
        // (1000, 1022) halves to (500, 511), inside the 512 working channels;
        // channels 1000..1021: 48862 counts
        {"ROI 1000..1022", roi(3000, 3066), "   2.00\t   0.00\t   0.00\t 1.0000\t", "2931.7", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MethodFile m;
        m.components = {{"U", "Bq"}};
        m.rois[0] = c.rois;
        ScratchDir dir;
        dir.write("dose.txt", kDoseZero);
        m.standards[0] = "1#std.txt";
        dir.write("m.txt", m.text());
        dir.write("std.txt", spectrum(1000, 1000, standard));
        dir.write("s.txt", spectrum(1000, 1000, sample));
        dir.write("config.txt", "m.txt *s.txt *s.txt\n");
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", c.fit, "0.00", {c.rate}) +
                                row_file_exact("*s.txt", c.fit, "0.00", {c.rate}));
        if (c.well_formed) {
            EXPECT_EQ(o.run.err, "");
        }
    }
}

// Six components with six ROIs each: 36 disjoint ROIs, far more than the ten
// of a plain ROI list, all take part in the fit. ROI q = 6r + k (ROI r of
// component k) covers channels 60 + 26q .. 69 + 26q; standard k holds 100 + ch
// counts in channels 54 + 26q .. 75 + 26q of its own ROIs and nothing else.
// Live times 1000 s, standard activities 1, no background: the sample
// sum over k of (k + 1) x standard k is fitted exactly at gain 1, giving back
// activities 1..6 with deviations and qfit 0. A component whose ROIs were left
// out would make the sample fit singular and leave every activity 0.
TEST(RoiCapacity, SixComponentsWithSixRoisEachAllTakePart) {
    MethodFile m;
    std::vector<long long> sample(1024, 0);
    ScratchDir dir;
    for (int k = 0; k < 6; ++k) {
        m.components.push_back({"C" + std::to_string(k + 1), "Bq"});
        std::vector<long long> standard(1024, 0);
        for (int r = 0; r < 6; ++r) {
            const int q = 6 * r + k;
            const int first = 60 + 26 * q;
            m.rois[static_cast<size_t>(k)][static_cast<size_t>(2 * r)] = 3 * first;
            m.rois[static_cast<size_t>(k)][static_cast<size_t>(2 * r + 1)] = 3 * (first + 9);
            for (int ch = first - 6; ch <= first + 15; ++ch) {
                standard[static_cast<size_t>(ch)] = 100 + ch;
                sample[static_cast<size_t>(ch)] += (k + 1) * (100 + ch);
            }
        }
        const std::string name = "std" + std::to_string(k + 1) + ".txt";
        m.standards[static_cast<size_t>(k)] = "1#" + name;
        dir.write(name, spectrum(1000, 1000, standard));
    }
    dir.write("dose.txt", kDoseZero);
    dir.write("m.txt", m.text());
    dir.write("s.txt", spectrum(1000, 1000, sample));
    dir.write("config.txt", "m.txt *s.txt\n");
    Outcome o = run_in(dir);

    // Count rates: the first ROI of component k, channels 60 + 26k .. 68 + 26k,
    // (k + 1) x (100 + ch) each, over 1000 s, per minute.
    const std::string fit =
        "   1.00\t   2.00\t   3.00\t   4.00\t   5.00\t   6.00\t"
        "   0.00\t   0.00\t   0.00\t   0.00\t   0.00\t   0.00\t   0.00\t 1.0000\t";
    const std::vector<std::string> rates = {"88.6", "205.2", "349.9", "522.7", "723.6", "952.6"};
    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s.txt", fit, "0.00", rates));
    const std::vector<std::string> out_lines = lines_of(o.run.out);
    ASSERT_FALSE(out_lines.empty());
    EXPECT_EQ(out_lines.back() + "\n", row_console_exact("*s.txt", fit, "0.00", rates));
    EXPECT_EQ(o.run.err, "");
}

// ---------------------------------------------------------------------------
// Integer overflow. Nothing wraps around; these runs are also made under the
// address and undefined-behaviour sanitizers, which catch any overflow of a
// signed type on the way.

// Each addition saturates each channel at the int32 limits, step by step, and
// is reported naming the file whose addition was held. Channel 1021:
// 2e9, +2e9 held at 2147483647, +1e9 held again, -2e9 gives 147483647.
// Channel 1022: -2e9, -2e9 held at -2147483648, +2e9 gives -147483648, +1
// gives -147483647. (A 64-bit total clamped once at the end would give
// 2147483647 and -1999999999.) 4 x 15 s = 60 s: the rate per minute is the
// sum as a float: 147483648.0 and -147483648.0. Cs137's ROI (1022, 1023)
// halves to (511, 512), beyond the fit's channels: it is reported up front,
// and the fit of s4 fails (it has no standards either).
TEST(IntegerOverflow, SeveralLargeSpectraSaturateTheSumStepByStep) {
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021
    m.rois[1] = roi(3066, 3069);  // channel 1022
    ScratchDir dir;
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt +s1.txt +s2.txt +s3.txt *s4.txt\n");
    dir.write("s1.txt", spectrum(15, 15, counts({{1021, 2000000000}, {1022, -2000000000}})));
    dir.write("s2.txt", spectrum(15, 15, counts({{1021, 2000000000}, {1022, -2000000000}})));
    dir.write("s3.txt", spectrum(15, 15, counts({{1021, 1000000000}, {1022, 2000000000}})));
    dir.write("s4.txt", spectrum(15, 15, counts({{1021, -2000000000}, {1022, 1}})));
    Outcome o = run_in(dir);

    // Channels 1020..1023 have dose coefficient 0.
    const std::vector<std::string> rates = {"147483648.0", "-147483648.0"};
    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + m.console() + header_console(m) +
                             row_console_exact("*s4.txt", failed_fit_columns(2), "0.00", rates));
    EXPECT_EQ(o.result, header_file(m) + row_file_exact("*s4.txt", failed_fit_columns(2), "0.00", rates));
    expect_diagnostics(o.run.err, {"m.txt", "s2.txt", "s3.txt", "s4.txt"});
}

// Dose rates of counts and times at the limits of their types, in runs
// without a method.
TEST(IntegerOverflow, DoseRateOfValuesAtTheLimits) {
    const long long lo = -2147483648LL;
    const long long hi = 2147483647LL;
    struct Case {
        const char* what;
        std::string dose;
        std::string config;
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<Row> rows;
        std::vector<std::string> diagnostics = {"none.txt"};
    };
    const std::vector<Case> cases = {
        // The dose rate forms each bin's sum of four channels in 64 bits,
        // negative sums included. Bin 4 (channels 16..19) of four -2147483648:
        // -8589934592; bin 5 (20..23) of three 2147483647 and one -2147483648:
        // 4294967293. S = float(-8589934592) x 0.04442464 + float(4294967293) x
        // 0.03468781 = -232621728 over t = 1 (float32). (A 32-bit wrap gives
        // -0.10, a sum held at the int32 limits -20909680.00.)
        {"bin sums of negative and mixed counts in 64 bits", kDoseUnit, "none.txt *s.txt\n",
         {{"s.txt", spectrum(1000, 1000, counts({{16, lo}, {17, lo}, {18, lo}, {19, lo},
                                                  {20, hi}, {21, hi}, {22, lo}, {23, hi}}))}},
         {{"*s.txt", "-232621728.00"}}},
        // Times up to 18446744073709551615 us scan: 18446744073709 s. Dose
        // factor 1e12, 1000 counts in bin 4 (S = 44.42464), t =
        // float(18446744073709) / 1000: 1e12 x 44.42464 / 1.8446744e10 =
        // 2408.26. The second row sums two such times (36893488147418 s) over
        // the same 1000 counts: 1204.13. (Times held at the uint64 limit in
        // seconds would give 0.00.) The sum's microseconds are held at their
        // limit, which is said.
        {"times near 2^64 microseconds", "1e12 0 0 0 0\n", "none.txt *s.txt +s.txt *z.txt\n",
         {{"s.txt", test_support::spectrum_text(18446744073709551615ULL, 18446744073709551615ULL, bin4(1000))},
          {"z.txt", test_support::spectrum_text(18446744073709551615ULL, 18446744073709551615ULL, {})}},
         {{"*s.txt", "2408.26"}, {"*z.txt", "1204.13"}},
         {"none.txt", "z.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write("dose.txt", c.dose);
        dir.write("config.txt", c.config);
        for (const auto& [name, bytes] : c.files) dir.write(name, bytes);
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, out_without_method(c.rows));
        EXPECT_EQ(o.result, result_without_method(c.rows));
        expect_diagnostics(o.run.err, c.diagnostics);
    }
}

// Halving adds channel pairs, and the gain correction forms e - a and
// a - 2b + e of neighbouring halved channels: with channels 200, 201 at
// 2147483647, 202, 203 at -2147483648 and 204, 205 at 2147483647 every one
// of these leaves int32. The ROI reaches far enough around them that every
// trial gain of the scan finds counts in it (else that trial's fit is
// singular and the evaluation fails), so the input is well-formed: the rows
// appear and nothing is reported. The fit's columns depend on how the
// saturated halves fit and are not fixed here; dose and count rate are:
//   dose: bin 50 = -2 x 0.45911732, bin 51 = 4294967294 x 0.47400522,
//         sum 2035836928.00 over t = 1;
//   rate: channels 190..219, non-zero only in 200..205, as floats in order:
//         4294967296 over 1000 s x 60 = 257698048.0.
TEST(IntegerOverflow, HalvingAndGainCorrectionOfChannelsNearTheInt32Limits) {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(570, 660);  // channels 190..220
    std::vector<long long> standard(1024, 0);
    for (int ch = 190; ch < 216; ++ch) standard[static_cast<size_t>(ch)] = 1000;
    const long long hi = 2147483647LL;
    const long long lo = -2147483648LL;
    ScratchDir dir;
    dir.write("dose.txt", kDoseUnit);
    m.standards[0] = "1#std.txt";
    dir.write("m.txt", m.text());
    dir.write("std.txt", spectrum(1000, 1000, standard));
    dir.write("s.txt", spectrum(1000, 1000, counts({{200, hi}, {201, hi}, {202, lo}, {203, lo},
                                                    {204, hi}, {205, hi}})));
    dir.write("config.txt", "m.txt *s.txt *s.txt\n");
    Outcome o = run_in(dir);

    EXPECT_EQ(o.run.exit_status, 0);
    const std::vector<Row> rows = {{"*s.txt", "2035836928.00", {"257698048.0"}},
                                   {"*s.txt", "2035836928.00", {"257698048.0"}}};
    std::string result = header_file(m);
    for (const Row& r : rows) result += row_file(r, 1);
    EXPECT_EQ(mask_fit(o.result, 1), result);
    EXPECT_EQ(o.run.err, "");
}

// The value texts after every "key": in a report, in order.
std::vector<std::string> report_values(const std::string& report, const std::string& key) {
    std::vector<std::string> values;
    const std::string mark = "\"" + key + "\":";
    for (size_t at = report.find(mark); at != std::string::npos; at = report.find(mark, at + 1)) {
        const size_t start = at + mark.size();
        values.push_back(report.substr(start, report.find_first_of(",}", start) - start));
    }
    return values;
}

// The bundled example with `config` and its first standard factor (K-40's)
// set to `factor`, run with a report: standard error and the report.
std::pair<std::string, std::string> run_demo(const std::string& config, const std::string& factor,
                                             std::vector<std::string> options = {}) {
    ScratchDir dir;
    fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo", dir.path(), fs::copy_options::recursive);
    std::string method = dir.read("envmon.cal");
    const size_t at = method.find("\n1.0 1.0 1.0 1.0 1.0 1.0\n");
    dir.write("envmon.cal", method.replace(at + 1, 3, factor));
    dir.write("config.txt", config);
    options.insert(options.end(), {"--report", "r.jsonl"});
    return {test_support::run_assay_in(dir.path(), options).err, dir.read("r.jsonl")};
}

// A negative standard factor or weight turns the activities over and nothing
// else: the limits (those of the magnitude) and the decision stay those of
// the positive value, and both are said on standard error; a weight of NaN is
// said like one of 0. soil_a.txt of the bundled example (5 components) is
// evaluated with the weights 1, -1 and NaN, with K-40's factor 2 and -2.
TEST(SignedScales, NegativeFactorAndWeightKeepTheLimitsOfTheirMagnitude) {
    const std::string config = "envmon.cal ^1 *soil_a.txt ^-1 *soil_a.txt ^nan *soil_a.txt\n";
    const auto [positive_err, positive] = run_demo(config, "2.0");
    const auto [negative_err, negative] = run_demo(config, "-2.0");
    for (const std::string key : {"decision_threshold", "detection_limit", "detected"}) {
        const std::vector<std::string> values = report_values(negative, key);
        ASSERT_EQ(values.size(), 15u) << key;
        EXPECT_EQ(values, report_values(positive, key)) << key;
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(values[5 + i], values[i]) << key << " of component " << i;
            EXPECT_TRUE(values[i][0] != '-' && values[i] != "null") << key << " of component " << i;
        }
    }
    EXPECT_EQ(report_values(negative, "activity")[0], "-" + report_values(positive, "activity")[0]);
    EXPECT_EQ(positive_err.find("assay: envmon.cal: "), std::string::npos) << positive_err;
    EXPECT_NE(negative_err.find("assay: envmon.cal: the standard factor of component 'K-40'"), std::string::npos);
    EXPECT_NE(negative_err.find("assay: config.txt: weight entry '^nan'"), std::string::npos) << negative_err;
}

// A probability far in the tail, where 1 - alpha is 1 in double precision:
// the decision threshold y* = k_alpha u(0) grows with k_alpha alone, from
// k(0.05) = 1.6448536 to k(1e-17) = 8.4937932 (the normal upper quantiles;
// erfc(8.4937932 / sqrt 2) / 2 = 1.0000e-17), and a beta as small still
// leaves a detection limit.
TEST(TinyProbabilities, DecisionThresholdFollowsTheQuantileOfTheTail) {
    const std::string config = "envmon.cal *soil_a.txt *cs_contam.txt\n";
    const std::string usual = run_demo(config, "1.0").second;
    const std::string tiny = run_demo(config, "1.0", {"--alpha", "1e-17", "--beta=1e-17"}).second;
    const std::vector<std::string> thresholds[] = {report_values(usual, "decision_threshold"),
                                                   report_values(tiny, "decision_threshold")};
    const std::vector<std::string> limits = report_values(tiny, "detection_limit");
    ASSERT_EQ(thresholds[0].size(), 10u);
    ASSERT_EQ(thresholds[1].size(), 10u);
    for (size_t c = 0; c < 10; ++c) {
        EXPECT_NEAR(std::stod(thresholds[1][c]) / std::stod(thresholds[0][c]), 8.4937932 / 1.6448536, 2e-6) << c;
        EXPECT_NE(limits[c], "null") << c;
    }
}

}  // namespace
