// Tests of the method file reader and its echo, read_calibration. Every test
// writes a method file (and the spectrum files it references) into a scratch
// directory, runs the reader there (it writes method.txt into the current
// directory), and looks at the records, the console lines, the diagnostics
// and the bytes of method.txt. Expected values are written from the file
// format's rules and its worked examples.

#include "input/method_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/records.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::counts_text;
using test_support::crlf;
using test_support::lines_of;
using test_support::ScratchDir;

// ---------------------------------------------------------------------------
// Capturing output and running the reader.

// A FILE* whose bytes can be read back.
class MemoryStream {
public:
    MemoryStream() : file_(open_memstream(&data_, &size_)) {}
    ~MemoryStream() {
        std::fclose(file_);
        std::free(data_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* file_;
};

// Makes `directory` the current directory for its lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& directory) : saved_(fs::current_path()) {
        fs::current_path(directory);
    }
    ~WorkingDirectory() { fs::current_path(saved_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path saved_;
};

// Everything one call of read_calibration produced.
struct ReaderRun {
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();
    std::unique_ptr<NameTable> names = std::make_unique<NameTable>();
    std::unique_ptr<StandardFactors> factors = std::make_unique<StandardFactors>();
    std::unique_ptr<LocalBackground> local_background = std::make_unique<LocalBackground>();
    int32_t result = -1;
    std::string console;
    std::string diagnostics;
    std::string echo;  // bytes of method.txt after the call
};

// The name of the method file in every test; it shares no text with
// "method.txt", so a diagnostic naming one is not taken for the other.
constexpr const char* kMethodFile = "cal.txt";

// Runs read_calibration on `path` inside `dir` with zero-filled records.
std::unique_ptr<ReaderRun> run_reader(const ScratchDir& dir, const char* path = kMethodFile) {
    auto run = std::make_unique<ReaderRun>();
    MemoryStream console;
    MemoryStream diagnostics;
    {
        WorkingDirectory inside(dir.path());
        run->result = read_calibration(path, run->method.get(), run->names.get(),
                                       run->factors.get(), run->local_background.get(),
                                       ReaderOutput{console.file(), diagnostics.file()});
    }
    run->console = console.text();
    run->diagnostics = diagnostics.text();
    run->echo = dir.read(METHOD);
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Diagnostics are whole lines "assay: <file>...: <what>"; returns them.
std::vector<std::string> diagnostic_lines(const std::string& diagnostics) {
    EXPECT_TRUE(diagnostics.empty() || diagnostics.back() == '\n') << diagnostics;
    std::vector<std::string> lines = lines_of(diagnostics);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("assay: ", 0), 0u) << "diagnostic line: " << line;
    }
    return lines;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// ---------------------------------------------------------------------------
// Composing method files.

std::vector<long long> counts_where(long long (*count)(int), int n = kChannels) {
    std::vector<long long> counts(n);
    for (int i = 0; i < n; ++i) counts[i] = count(i);
    return counts;
}

// The short spectrum that follows an inline spectrum: two times, 256 counts,
// four reals.
std::string short_spectrum(unsigned long long live_us = 0, unsigned long long real_us = 0,
                           const std::vector<long long>& counts = std::vector<long long>(256, 0),
                           const std::string& reals = "0 0 0 0") {
    return std::to_string(live_us) + "\n" + std::to_string(real_us) + "\n" + counts_text(counts) +
           reals;
}

// A non-zero flag and an inline spectrum, as the method file holds it.
std::string inline_spectrum(unsigned long long live_us, unsigned long long real_us,
                            const std::vector<long long>& counts,
                            const std::string& reals = "0 0 0 0",
                            const std::string& short_part = short_spectrum()) {
    return "1\n" + std::to_string(live_us) + "\n" + std::to_string(real_us) + "\n" +
           counts_text(counts) + reals + "\n" + short_part;
}

// A spectrum file in the program's format.
std::string spectrum_file(unsigned long long live_us, unsigned long long real_us,
                          const std::vector<long long>& counts,
                          const std::string& reals = "0 0 0 0") {
    return std::to_string(live_us) + "\n" + std::to_string(real_us) + "\n" + counts_text(counts) +
           reals + (reals.empty() ? "" : "\n");
}

// A method file, item by item, as raw text. Each item is one line; the
// component list carries its own line ends (its end is made of them). The
// defaults are a well-formed method of two components with every spectrum
// absent.
struct MethodText {
    std::string name = "Demo";
    // One pair per line, then two empty lines (the worked example).
    std::string components = "K40 Bq\nCs137 Bq\n\n\n";
    std::vector<std::string> table = {"10 0 0 0 0 0", "0 20 0 0 0 0", "0 0 30 0 0 0",
                                      "0 0 0 40 0 0", "0 0 0 0 50 0", "0 0 0 0 0 60"};
    std::string strip = "0 0 0 0 0 0";
    std::vector<std::string> rois = std::vector<std::string>(6, "0 0 0 0 0 0 0 0 0 0 0 0");
    std::string factors = "1 1 1 1 1 1";
    std::string detection_limits = "0 0 0 0 0 0";
    std::string partial_limits = "0 0 0 0 0 0";
    std::string three_integers = "0 0 0";
    std::string background = "0";
    std::vector<std::string> standards = std::vector<std::string>(6, "0");
    std::string local_background = "0";

    // The file's bytes; with `with_crlf` every line end is CR LF.
    std::string text(bool with_crlf = false) const {
        std::string t = name + "\n" + components;
        for (const std::string& row : table) t += row + "\n";
        t += strip + "\n";
        for (const std::string& line : rois) t += line + "\n";
        t += factors + "\n" + detection_limits + "\n" + partial_limits + "\n";
        t += three_integers + "\n";
        t += background + "\n";
        for (const std::string& standard : standards) t += standard + "\n";
        t += local_background + "\n";
        return with_crlf ? crlf(t) : t;
    }
};

std::unique_ptr<ReaderRun> run_method(const ScratchDir& dir, const MethodText& method) {
    dir.write(kMethodFile, method.text());
    return run_reader(dir);
}

void expect_no_diagnostics(const ReaderRun& run) {
    EXPECT_EQ(run.diagnostics, "") << "a well-formed method file must give no diagnostic";
}

// The console tail of a method whose seven spectra are all absent.
const std::string kAllSpectraAbsent = "BG spectrum not present\n" +
                                      repeat("Calibration spectrum not present\n", 6) +
                                      "Local BG spectrum not present\n";

// ---------------------------------------------------------------------------
// Component list.

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Expects the names and units of `pairs` in the name table, then empty entries.
void expect_names(const NameTable& names, const Pairs& pairs) {
    EXPECT_EQ(names.count, static_cast<int>(pairs.size()));
    const NameEntry empty{};
    for (size_t i = 0; i < kMaxComponents; ++i) {
        if (i < pairs.size()) {
            EXPECT_STREQ(names.entry[i].name, pairs[i].first.c_str()) << "entry " << i;
            EXPECT_STREQ(names.entry[i].unit, pairs[i].second.c_str()) << "entry " << i;
        } else {
            EXPECT_EQ(std::memcmp(&names.entry[i], &empty, sizeof empty), 0) << "entry " << i;
        }
    }
}

// The console's first lines: the method name, then one line per pair.
std::string console_names(const std::string& name, const Pairs& pairs) {
    std::string text = name + "\n";
    for (const auto& [component, unit] : pairs) text += component + " " + unit + "\n";
    return text;
}

// The echo's first lines: the method name, then all six names and units, one
// per line, empty beyond the list.
std::string echo_names(const std::string& name, const Pairs& pairs) {
    std::string text = name + "\r\n";
    for (size_t i = 0; i < kMaxComponents; ++i) {
        text += i < pairs.size() ? pairs[i].first + "\r\n" + pairs[i].second + "\r\n" : "\r\n\r\n";
    }
    return text;
}

// A list ends after the sixth pair or at an empty line; the total line is
// written only for the second. Whatever follows is read from the right place:
// the standards table in full, the factors, every block's weight of 1.
TEST(MethodComponentList, WellFormedListIsReadInFull) {
    struct Case {
        const char* what;
        std::string components;
        Pairs pairs;
        bool total_line;
    };
    const std::vector<Case> cases = {
        {"six pairs on one line, the table on the same line", "A a B b C c D d E e F f ",
         {{"A", "a"}, {"B", "b"}, {"C", "c"}, {"D", "d"}, {"E", "e"}, {"F", "f"}}, false},
        {"two pairs one per line, ended by two empty lines", MethodText{}.components,
         {{"K40", "Bq"}, {"Cs137", "Bq"}}, true},
        // After the last unit: its separator (a blank), the line end, and one
        // more character that is consumed with it (here the blank before the table).
        {"all pairs on one line, ended by a blank and a line end", "K40 Bq Cs137 Bq U238 Bq \n ",
         {{"K40", "Bq"}, {"Cs137", "Bq"}, {"U238", "Bq"}}, true},
        {"name and unit of nine characters", "Americium Becquerel\n\n\n", {{"Americium", "Becquerel"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        MethodText method;
        method.components = c.components;
        auto run = run_method(dir, method);
        const int count = static_cast<int>(c.pairs.size());
        EXPECT_EQ(run->method->component_count, count);
        expect_names(*run->names, c.pairs);
        const std::string total = c.total_line ? "components total " + std::to_string(count) + "\n" : "";
        EXPECT_EQ(run->console.rfind(console_names("Demo", c.pairs) + total, 0), 0u) << run->console;
        EXPECT_EQ(contains(run->console, "components total"), c.total_line);
        EXPECT_EQ(run->echo.rfind(echo_names("Demo", c.pairs) + "10.000000\r\n", 0), 0u);
        for (int i = 0; i < kMaxComponents; ++i) {
            EXPECT_EQ(run->method->component[i].weight, 1.0f) << "block " << i;
            for (int k = 0; k < kMaxComponents; ++k) {
                const float expected = i == k ? 10.0f * static_cast<float>(i + 1) : 0.0f;
                EXPECT_EQ(run->method->component[i].standard_activity[k], expected)
                    << "row " << i << " element " << k;
            }
        }
        EXPECT_EQ(run->factors->factor[5], 1.0f);
        expect_no_diagnostics(*run);
    }
}

TEST(MethodComponentList, LongerNameAndUnitKeepNineCharactersAndAreReported) {
    ScratchDir dir;
    MethodText method;
    method.components = "Americium241 Becquerels\nCs137 Bq\n\n\n";
    auto run = run_method(dir, method);
    // The whole word is consumed, so the separator after it still ends the
    // word and the list still ends at the empty line.
    EXPECT_EQ(run->method->component_count, 2);
    EXPECT_STREQ(run->names->entry[0].name, "Americium");
    EXPECT_STREQ(run->names->entry[0].unit, "Becquerel");
    EXPECT_STREQ(run->names->entry[1].name, "Cs137");
    EXPECT_TRUE(contains(run->console, "Americium Becquerel\nCs137 Bq\ncomponents total 2\n"));
    EXPECT_EQ(run->method->component[1].standard_activity[1], 20.0f);
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(contains(lines[0], kMethodFile)) << lines[0];
    EXPECT_TRUE(contains(run->diagnostics, "Americium241"));
    EXPECT_TRUE(contains(run->diagnostics, "Becquerels"));
}

TEST(MethodComponentList, SevenPairsStopAfterSixAndTheNextValueIsReported) {
    ScratchDir dir;
    MethodText method;
    method.components = "A a B b C c D d E e F f G g\n\n\n";
    auto run = run_method(dir, method);
    EXPECT_EQ(run->method->component_count, 6);
    EXPECT_STREQ(run->names->entry[5].name, "F");
    EXPECT_FALSE(contains(run->console, "components total"));
    // The table is then read from "G": nothing scans any more, every field
    // keeps its zero and every flag reads as 0.
    for (int i = 0; i < kMaxComponents; ++i) {
        EXPECT_EQ(run->method->component[i].standard_activity[i], 0.0f);
    }
    EXPECT_EQ(run->factors->factor[0], 0.0f);
    EXPECT_TRUE(contains(run->console, kAllSpectraAbsent));
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile)) << lines[0];
    EXPECT_TRUE(contains(lines[0], "standards table")) << lines[0];
    EXPECT_TRUE(contains(lines[0], "G")) << lines[0];
}

// A file that ends inside the list: a pair whose name scanned counts, with an
// empty unit when the unit did not; the method name goes into no record and
// reads as empty when it did not scan. Every later item is missing: the
// records stay zero and every spectrum is absent. The end is reported once.
TEST(MethodComponentList, FileEndingInsideTheListKeepsWhatWasRead) {
    struct Case {
        const char* what;
        std::string text;
        std::string name;  // as read
        Pairs pairs;       // as stored
    };
    const std::vector<Case> cases = {
        {"empty file", "", "", {}},
        {"only the method name", "Demo\n", "Demo", {}},
        {"after a name", "Demo\nK40 Bq\nCs137", "Demo", {{"K40", "Bq"}, {"Cs137", ""}}},
        {"after a unit", "Demo\nK40 Bq\n", "Demo", {{"K40", "Bq"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.write(kMethodFile, c.text);
        auto run = run_reader(dir);
        EXPECT_EQ(run->result, 1);
        EXPECT_EQ(run->method->component_count, static_cast<int>(c.pairs.size()));
        expect_names(*run->names, c.pairs);
        EXPECT_EQ(run->console.rfind(console_names(c.name, c.pairs), 0), 0u) << run->console;
        EXPECT_FALSE(contains(run->console, "components total"));
        EXPECT_TRUE(contains(run->console, kAllSpectraAbsent));
        EXPECT_EQ(run->echo.rfind(echo_names(c.name, c.pairs), 0), 0u);
        EXPECT_EQ(run->method->component[0].standard_activity[0], 0.0f);
        std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
        ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
        EXPECT_TRUE(contains(lines[0], kMethodFile)) << lines[0];
    }
}

// ---------------------------------------------------------------------------
// Standards table and strip line (steps 3 to 5).

TEST(MethodStandards, StripLineIsAddedAndNegativeSumsBecomeZero) {
    ScratchDir dir;
    MethodText method;
    method.table[0] = "2.5 2.5 nan -0.5 0 7";
    method.strip = "-3.0 -1.0 0 0 0 1e-3";
    auto run = run_method(dir, method);
    const float* row = run->method->component[0].standard_activity;
    EXPECT_EQ(row[0], 0.0f);   // 2.5 + -3.0 < 0
    EXPECT_EQ(row[1], 1.5f);   // 2.5 + -1.0
    EXPECT_TRUE(std::isnan(row[2]));  // a NaN sum stays
    EXPECT_EQ(row[3], 0.0f);   // -0.5 + 0 < 0
    EXPECT_EQ(row[4], 0.0f);
    EXPECT_EQ(row[5], 7.0f + 1e-3f);
    // The strip line acts on every row: row 1 element 0 is 0 + -3.0.
    EXPECT_EQ(run->method->component[1].standard_activity[0], 0.0f);
    EXPECT_EQ(run->method->component[1].standard_activity[1], 19.0f);
    EXPECT_EQ(run->method->component[5].standard_activity[5], 60.0f + 1e-3f);
    expect_no_diagnostics(*run);
}

TEST(MethodStandards, NegativeZeroSumIsNotBelowZeroAndStays) {
    ScratchDir dir;
    MethodText method;
    method.table[0] = "-0 0 0 0 0 0";
    method.strip = "-0 0 0 0 0 0";
    auto run = run_method(dir, method);
    const float value = run->method->component[0].standard_activity[0];
    EXPECT_EQ(value, 0.0f);
    EXPECT_TRUE(std::signbit(value)) << "-0 + -0 is -0, which is not below 0";
    EXPECT_TRUE(contains(run->console, "Stripped standards activities\n-0.000000 "));
}

TEST(MethodStandards, ConsoleShowsTableAsReadThenStripThenStrippedRows) {
    ScratchDir dir;
    MethodText method;
    method.table[0] = "2.5 2.5 0 0 0 0";
    method.strip = "-3.0 -1.0 0 0 0 0";
    auto run = run_method(dir, method);
    const std::string zeros = "0.000000 0.000000 0.000000 0.000000";
    const std::string expected =
        "2.500000 2.500000 0.000000 0.000000 0.000000 0.000000\n"
        "0.000000 20.000000 " + zeros + "\n"
        "0.000000 0.000000 30.000000 0.000000 0.000000 0.000000\n"
        "0.000000 0.000000 0.000000 40.000000 0.000000 0.000000\n"
        "0.000000 0.000000 0.000000 0.000000 50.000000 0.000000\n"
        "0.000000 0.000000 0.000000 0.000000 0.000000 60.000000\n"
        "-3.000000 -1.000000 " + zeros + "\n"
        "Stripped standards activities\n"
        "0.000000 1.500000 " + zeros + "\n"
        "0.000000 19.000000 " + zeros + "\n"
        "0.000000 0.000000 30.000000 0.000000 0.000000 0.000000\n"
        "0.000000 0.000000 0.000000 40.000000 0.000000 0.000000\n"
        "0.000000 0.000000 0.000000 0.000000 50.000000 0.000000\n"
        "0.000000 0.000000 0.000000 0.000000 0.000000 60.000000\n";
    EXPECT_EQ(run->console, "Demo\nK40 Bq\nCs137 Bq\ncomponents total 2\n" + expected +
                                kAllSpectraAbsent);
    // The echo holds the table as read, before stripping.
    EXPECT_TRUE(contains(run->echo, repeat("\r\n", 8) + "2.500000\r\n2.500000\r\n0.000000\r\n"));
}

// ---------------------------------------------------------------------------
// ROIs.

// Only the leading pairs with a non-zero bound count, and only they are
// divided by three (toward zero); the pairs beyond keep the values read. The
// echo holds the twelve integers as read.
TEST(MethodRois, LeadingNonZeroPairsCountAndAreDividedByThree) {
    struct Case {
        const char* what;
        int block;
        std::string line;
        int roi_count;
        std::vector<std::array<int32_t, 2>> rois;  // the first ones stored
    };
    const std::vector<Case> cases = {
        {"a zero pair ends the list", 0, "30 60 0 0 90 120 0 0 0 0 0 0", 1, {{10, 20}, {0, 0}, {90, 120}}},
        {"a pair with only its end non-zero counts", 4, "0 30 0 0 60 90 0 0 0 0 0 0", 1,
         {{0, 10}, {0, 0}, {60, 90}}},
        {"negative bounds", 1, "-4 -5 7 0 0 0 0 0 0 0 0 0", 2, {{-1, -1}, {2, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        MethodText method;
        method.rois[static_cast<size_t>(c.block)] = c.line;
        auto run = run_method(dir, method);
        const ComponentBlock& block = run->method->component[c.block];
        EXPECT_EQ(block.roi_count, c.roi_count);
        for (size_t r = 0; r < c.rois.size(); ++r) {
            EXPECT_EQ(block.roi[r][0], c.rois[r][0]) << "ROI " << r;
            EXPECT_EQ(block.roi[r][1], c.rois[r][1]) << "ROI " << r;
        }
        std::string as_read;
        for (char ch : c.line) as_read += ch == ' ' ? std::string("\r\n") : std::string(1, ch);
        EXPECT_TRUE(contains(run->echo, as_read + "\r\n"));
        expect_no_diagnostics(*run);
    }
}

TEST(MethodRois, SixPairsAllCountAndEveryBlockIsRead) {
    ScratchDir dir;
    MethodText method;
    for (int i = 0; i < kMaxComponents; ++i) {
        method.rois[i] = "";
        for (int r = 0; r < kMethodRois; ++r) {
            method.rois[i] += std::to_string(300 * i + 30 * r + 3) + " " +
                              std::to_string(300 * i + 30 * r + 27) + " ";
        }
    }
    auto run = run_method(dir, method);
    for (int i = 0; i < kMaxComponents; ++i) {
        const ComponentBlock& block = run->method->component[i];
        EXPECT_EQ(block.roi_count, 6) << "block " << i;
        for (int r = 0; r < kMethodRois; ++r) {
            EXPECT_EQ(block.roi[r][0], 100 * i + 10 * r + 1);
            EXPECT_EQ(block.roi[r][1], 100 * i + 10 * r + 9);
        }
    }
}

// ---------------------------------------------------------------------------
// Factors, limits and the three integers (steps 7 to 10).

TEST(MethodLimits, FactorsAndLimitsAreStored) {
    ScratchDir dir;
    MethodText method;
    method.factors = "1.5 2 0 -1 1e3 0.25";
    method.detection_limits = "0.1 0.2 0.3 0.4 0.5 0.6";
    method.partial_limits = "10 0 -1 40 50 60";
    auto run = run_method(dir, method);
    const float factors[6] = {1.5f, 2.0f, 0.0f, -1.0f, 1000.0f, 0.25f};
    const float detection[6] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    const float partial[6] = {10.0f, 0.0f, -1.0f, 40.0f, 50.0f, 60.0f};
    for (int i = 0; i < kMaxComponents; ++i) {
        EXPECT_EQ(run->factors->factor[i], factors[i]);
        EXPECT_EQ(run->method->detection_limit[i], detection[i]);
        EXPECT_EQ(run->method->partial_limit[i], partial[i]);
    }
    EXPECT_TRUE(contains(run->echo, "1.500000\r\n2.000000\r\n0.000000\r\n-1.000000\r\n"
                                    "1000.000000\r\n0.250000\r\n0.100000\r\n"));
}

TEST(MethodLimits, ThreeIntegersAreEchoedAndOneOutOfRangeReadsAsZero) {
    ScratchDir dir;
    MethodText method;
    method.three_integers = "-7 99999999999 12";
    auto run = run_method(dir, method);
    EXPECT_TRUE(contains(run->echo, "-7\r\n0\r\n12\r\n0\r\n")) << "three integers, then the flag";
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile));
}

// ---------------------------------------------------------------------------
// Spectra (steps 11 to 13).

std::vector<long long> background_counts() {
    return counts_where([](int i) -> long long { return i % 5 + (i == 1023 ? 100 : 0); });
}

TEST(MethodSpectra, InlineBackgroundLandsInAllSixBlocks) {
    ScratchDir dir;
    MethodText method;
    method.background = inline_spectrum(600000000, 601000000, background_counts());
    auto run = run_method(dir, method);
    const std::vector<long long> counts = background_counts();
    for (int b = 0; b < kMaxComponents; ++b) {
        const ComponentBlock& block = run->method->component[b];
        EXPECT_EQ(block.background_live_time, 600u) << "block " << b;
        EXPECT_EQ(block.background_real_time, 601u) << "block " << b;
        for (int i = 0; i < kChannels; ++i) {
            ASSERT_EQ(block.background_channel[i], counts[i]) << "block " << b << " channel " << i;
        }
    }
    EXPECT_EQ(run->console.substr(run->console.find("Reading")),
              "Reading from method file\n" + repeat("Calibration spectrum not present\n", 6) +
                  "Local BG spectrum not present\n");
    expect_no_diagnostics(*run);
}

TEST(MethodSpectra, BackgroundFlagZeroLeavesAllSixEmpty) {
    ScratchDir dir;
    MethodText method;
    method.standards[0] = inline_spectrum(1000000, 1000000, background_counts());
    auto run = run_method(dir, method);
    for (int b = 0; b < kMaxComponents; ++b) {
        const ComponentBlock& block = run->method->component[b];
        EXPECT_EQ(block.background_live_time, 0u);
        EXPECT_EQ(block.background_real_time, 0u);
        for (int i = 0; i < kChannels; ++i) ASSERT_EQ(block.background_channel[i], 0);
    }
    EXPECT_TRUE(contains(run->console, "BG spectrum not present\nReading from method file\n"));
    // The standard went to block 0 only.
    EXPECT_EQ(run->method->component[0].standard_live_time, 1u);
    EXPECT_EQ(run->method->component[0].standard_channel[1023], 103);
    EXPECT_EQ(run->method->component[1].standard_live_time, 0u);
}

TEST(MethodSpectra, ReferenceDirectlyAfterTheFlagReadsTheFile) {
    ScratchDir dir;
    dir.write("bg.txt", spectrum_file(600000000, 601000000, background_counts()));
    MethodText method;
    method.background = "1#bg.txt";
    auto run = run_method(dir, method);
    for (int b = 0; b < kMaxComponents; ++b) {
        EXPECT_EQ(run->method->component[b].background_live_time, 600u);
        EXPECT_EQ(run->method->component[b].background_real_time, 601u);
        EXPECT_EQ(run->method->component[b].background_channel[1023], 103);
    }
    EXPECT_TRUE(contains(run->console, "0.000000 0.000000 0.000000 0.000000 0.000000 60.000000\n"
                                       "bg.txt\nCalibration spectrum not present\n"));
    EXPECT_FALSE(contains(run->console, "Reading from method file"));
    expect_no_diagnostics(*run);
}

TEST(MethodSpectra, ReferenceAfterABlankIsReadInlineFromTheMark) {
    ScratchDir dir;
    dir.write("bg.txt", spectrum_file(600000000, 601000000, background_counts()));
    MethodText method;
    method.background = "1 #bg.txt";
    method.standards[0] = inline_spectrum(1000000, 1000000, background_counts());
    auto run = run_method(dir, method);
    // The inline read stops at "#": nothing more scans, bg.txt is not read.
    for (int b = 0; b < kMaxComponents; ++b) {
        EXPECT_EQ(run->method->component[b].background_live_time, 0u);
        EXPECT_EQ(run->method->component[b].background_channel[1023], 0);
    }
    EXPECT_EQ(run->method->component[0].standard_live_time, 0u);
    EXPECT_TRUE(contains(run->console, "Reading from method file\n" +
                                           repeat("Calibration spectrum not present\n", 6) +
                                           "Local BG spectrum not present\n"));
    EXPECT_FALSE(contains(run->console, "bg.txt"));
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile));
}

TEST(MethodSpectra, TimesLoseTheirFractionAndTheEchoShowsMicroseconds) {
    ScratchDir dir;
    MethodText method;
    method.standards[1] = inline_spectrum(2500000, 2999999, background_counts());
    auto run = run_method(dir, method);
    EXPECT_EQ(run->method->component[1].standard_live_time, 2u);
    EXPECT_EQ(run->method->component[1].standard_real_time, 2u);
    EXPECT_TRUE(contains(run->echo, "0\r\n1\r\n2500000\r\n2999999\r\n0\r\n1\r\n2\r\n"));
}

TEST(MethodSpectra, TimesAbove32BitsAreKept) {
    ScratchDir dir;
    dir.write("lbg.txt", spectrum_file(7200000000ULL, 7300000000ULL, background_counts()));
    MethodText method;
    method.standards[2] = inline_spectrum(7200000000ULL, 7300000000ULL, background_counts());
    method.local_background = "1#lbg.txt";
    auto run = run_method(dir, method);
    EXPECT_EQ(run->method->component[2].standard_live_time, 7200u);
    EXPECT_EQ(run->method->component[2].standard_real_time, 7300u);
    EXPECT_EQ(run->local_background->live_time, 7200u);
    EXPECT_EQ(run->local_background->real_time, 7300u);
    EXPECT_TRUE(contains(run->echo, "1\r\n7200000000\r\n7300000000\r\n0\r\n1\r\n"));
    expect_no_diagnostics(*run);
}

TEST(MethodSpectra, LocalBackgroundInlineIsStored) {
    ScratchDir dir;
    MethodText method;
    method.local_background = inline_spectrum(5000000, 6000000, background_counts());
    auto run = run_method(dir, method);
    EXPECT_EQ(run->local_background->live_time, 5u);
    EXPECT_EQ(run->local_background->real_time, 6u);
    EXPECT_EQ(run->local_background->channel[4], 4);
    EXPECT_EQ(run->local_background->channel[1023], 103);
    EXPECT_TRUE(contains(run->console, repeat("Calibration spectrum not present\n", 6) +
                                           "Reading from method file\n"));
    EXPECT_FALSE(contains(run->console, "Local BG spectrum not present"));
    EXPECT_EQ(run->method->component[0].background_live_time, 0u);
}

TEST(MethodSpectra, TrailingRealsAreEchoedTruncatedWithNanAsZeroAndLimitsHeld) {
    ScratchDir dir;
    MethodText method;
    method.background = inline_spectrum(
        1000000, 1000000, background_counts(), "nan 1e20 -1e20 -2.7",
        short_spectrum(3, 4, std::vector<long long>(256, 9), "inf -inf 2.9 -0.5"));
    auto run = run_method(dir, method);
    EXPECT_TRUE(contains(run->echo, "103\r\n0 2147483647 -2147483648 -2\r\n3\r\n4\r\n9\r\n"));
    EXPECT_TRUE(contains(run->echo, "9\r\n2147483647 -2147483648 2 0\r\n0\r\n"));
    expect_no_diagnostics(*run);
}

TEST(MethodSpectra, ReferencedFileTrailingRealsAreTruncatedOrZeroWhenMissing) {
    ScratchDir dir;
    dir.write("bg.txt", spectrum_file(1000000, 1000000, background_counts(), "1.9 -2.9 3 4"));
    dir.write("std.txt", spectrum_file(1000000, 1000000, background_counts(), ""));
    MethodText method;
    method.background = "1#bg.txt";
    method.standards[0] = "1#std.txt";
    auto run = run_method(dir, method);
    EXPECT_TRUE(contains(run->echo, "103\r\n1 -2 3 4\r\n0\r\n0\r\n0\r\n"));
    EXPECT_TRUE(contains(run->echo, "103\r\n0 0 0 0\r\n0\r\n0\r\n0\r\n"));
    EXPECT_EQ(run->method->component[0].standard_channel[1023], 103);
    expect_no_diagnostics(*run);
}

// ---------------------------------------------------------------------------
// Damaged referenced spectra.

// A method whose background references `file`, with every other spectrum
// absent and the three integers 1 2 3.
MethodText method_referencing(const std::string& file) {
    MethodText method;
    method.three_integers = "1 2 3";
    method.background = "1#" + file;
    return method;
}

void expect_damaged_reference(const ScratchDir& dir, const std::string& file) {
    auto run = run_method(dir, method_referencing(file));
    for (int b = 0; b < kMaxComponents; ++b) {
        const ComponentBlock& block = run->method->component[b];
        EXPECT_EQ(block.background_live_time, 0u);
        EXPECT_EQ(block.background_real_time, 0u);
        for (int i = 0; i < kChannels; ++i) ASSERT_EQ(block.background_channel[i], 0);
    }
    EXPECT_TRUE(contains(run->console, "60.000000\n" + file +
                                           "\nSpectrum file damaged\n"
                                           "Calibration spectrum not present\n"));
    // Nothing is echoed for it: its flag is followed by the next flag.
    const std::string tail = "1\r\n2\r\n3\r\n1\r\n" + repeat("0\r\n", 7);
    ASSERT_GE(run->echo.size(), tail.size());
    EXPECT_EQ(run->echo.substr(run->echo.size() - tail.size()), tail);
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], file)) << lines[0];
}

TEST(MethodDamagedSpectrum, ReferencedFileThatCannotBeUsedIsReportedAndNotEchoed) {
    std::vector<long long> first_1000 = background_counts();
    first_1000.resize(1000);
    std::string bad_count = spectrum_file(600000000, 601000000, background_counts());
    bad_count.replace(bad_count.find("\n3\n") + 1, 1, "3x");
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"nothere.txt", std::nullopt},  // missing
        {"short.txt", spectrum_file(600000000, 601000000, first_1000, "")},
        {"empty.txt", ""},
        {"bad.txt", bad_count},
    };
    for (const auto& [file, bytes] : cases) {
        SCOPED_TRACE(file);
        ScratchDir dir;
        if (bytes) dir.write(file, *bytes);
        expect_damaged_reference(dir, file);
    }
}

TEST(MethodDamagedSpectrum, ReadingGoesOnWithTheNextItem) {
    ScratchDir dir;
    MethodText method = method_referencing("nothere.txt");
    method.standards[3] = inline_spectrum(4000000, 4000000, background_counts());
    auto run = run_method(dir, method);
    EXPECT_EQ(run->method->component[3].standard_live_time, 4u);
    EXPECT_EQ(run->method->component[3].standard_channel[1023], 103);
}

// ---------------------------------------------------------------------------
// Values that do not scan.

TEST(MethodScanFailure, IsReportedOnceWithTheItemAndLaterFieldsKeepTheirValues) {
    ScratchDir dir;
    MethodText method;
    method.rois[0] = "30 60 0 0 0 0 0 0 0 0 0 0";
    method.rois[2] = "30 60 x9 0 0 0 0 0 0 0 0 0";
    method.rois[3] = "90 120 0 0 0 0 0 0 0 0 0 0";
    method.factors = "2 2 2 2 2 2";
    auto run = run_method(dir, method);
    EXPECT_EQ(run->method->component[0].roi_count, 1);
    EXPECT_EQ(run->method->component[0].roi[0][1], 20);
    // Component 3 (block 2) got its first pair; nothing scans after the "x".
    EXPECT_EQ(run->method->component[2].roi_count, 1);
    EXPECT_EQ(run->method->component[2].roi[0][0], 10);
    EXPECT_EQ(run->method->component[2].roi[0][1], 20);
    EXPECT_EQ(run->method->component[3].roi_count, 0);
    EXPECT_EQ(run->method->component[3].roi[0][0], 0);
    EXPECT_EQ(run->factors->factor[0], 0.0f);
    EXPECT_TRUE(contains(run->console, kAllSpectraAbsent));
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << "reported once: " << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile)) << lines[0];
    EXPECT_TRUE(contains(lines[0], "ROI line of component 3")) << lines[0];
}

TEST(MethodScanFailure, ValueOutOfInt32RangeKeepsItsFieldAndReadingGoesOn) {
    ScratchDir dir;
    MethodText method;
    method.rois[1] = "30 2147483648 6 9 0 0 0 0 0 0 0 0";
    auto run = run_method(dir, method);
    const ComponentBlock& block = run->method->component[1];
    EXPECT_EQ(block.roi_count, 2);
    EXPECT_EQ(block.roi[0][0], 10);
    EXPECT_EQ(block.roi[0][1], 0);
    EXPECT_EQ(block.roi[1][0], 2);
    EXPECT_EQ(block.roi[1][1], 3);
    EXPECT_EQ(run->factors->factor[5], 1.0f);
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], "ROI line of component 2")) << lines[0];
}

TEST(MethodScanFailure, FlagThatDoesNotScanMeansNotPresent) {
    ScratchDir dir;
    MethodText method;
    method.background = "x";
    method.standards[0] = inline_spectrum(1000000, 1000000, background_counts());
    auto run = run_method(dir, method);
    // Flags go into no record: they read as 0. Nothing after the "x" scans.
    EXPECT_TRUE(contains(run->console, kAllSpectraAbsent));
    EXPECT_EQ(run->method->component[0].standard_live_time, 0u);
    const std::string tail = "0\r\n0\r\n0\r\n" + repeat("0\r\n", 8);
    EXPECT_EQ(run->echo.substr(run->echo.size() - tail.size()), tail);
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile));
}

TEST(MethodScanFailure, FlagOutOfRangeMeansNotPresentAndReadingGoesOn) {
    ScratchDir dir;
    MethodText method;
    method.background = "99999999999";
    method.standards[0] = inline_spectrum(1000000, 1000000, background_counts());
    auto run = run_method(dir, method);
    EXPECT_TRUE(contains(run->console, "BG spectrum not present\nReading from method file\n"));
    EXPECT_EQ(run->method->component[0].standard_live_time, 1u);
    EXPECT_EQ(run->method->component[0].standard_channel[1023], 103);
    EXPECT_TRUE(contains(run->echo, "0\r\n0\r\n0\r\n0\r\n1\r\n1000000\r\n"));
    EXPECT_EQ(diagnostic_lines(run->diagnostics).size(), 1u);
}

TEST(MethodScanFailure, NegativeInlineTimeKeepsTheFieldAndIsReported) {
    ScratchDir dir;
    MethodText method;
    method.standards[0] = inline_spectrum(1000000, 1000000, background_counts());
    method.standards[0].replace(2, 7, "-1000000");
    auto run = run_method(dir, method);
    // The "-1000000" is consumed and refused; the real time and counts follow.
    EXPECT_EQ(run->method->component[0].standard_live_time, 0u);
    EXPECT_EQ(run->method->component[0].standard_real_time, 1u);
    EXPECT_EQ(run->method->component[0].standard_channel[1023], 103);
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], kMethodFile));
}

// ---------------------------------------------------------------------------
// Files that cannot be opened or created.

// A method file that cannot be read leaves the records zero and truncates the
// echo of an earlier run.
TEST(MethodFiles, MethodFileThatCannotBeReadGivesNoComponentsAndAnEmptyEcho) {
    for (const bool directory : {false, true}) {
        const char* path = directory ? "methods" : "absent.txt";
        SCOPED_TRACE(path);
        ScratchDir dir;
        if (directory) fs::create_directory(dir.path() / path);
        dir.write(METHOD, "old echo\r\n");
        auto run = run_reader(dir, path);
        EXPECT_EQ(run->result, 1);
        EXPECT_TRUE(dir.exists(METHOD));
        EXPECT_EQ(run->echo, "");
        EXPECT_EQ(run->method->component_count, 0);
        const auto zero_method = std::make_unique<MethodRecord>();
        const auto zero_names = std::make_unique<NameTable>();
        EXPECT_EQ(std::memcmp(run->method.get(), zero_method.get(), sizeof(MethodRecord)), 0);
        EXPECT_EQ(std::memcmp(run->names.get(), zero_names.get(), sizeof(NameTable)), 0);
        EXPECT_EQ(run->console, "");
        std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
        ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
        EXPECT_TRUE(contains(lines[0], path)) << lines[0];
    }
}

TEST(MethodFiles, EchoThatCannotBeCreatedIsReportedAndReadingGoesOn) {
    ScratchDir dir;
    fs::create_directory(dir.path() / METHOD);
    MethodText method;
    method.rois[0] = "30 60 0 0 0 0 0 0 0 0 0 0";
    method.background = inline_spectrum(600000000, 601000000, background_counts());
    auto run = run_method(dir, method);
    EXPECT_EQ(run->result, 1);
    EXPECT_EQ(run->method->component_count, 2);
    EXPECT_EQ(run->method->component[0].roi[0][1], 20);
    EXPECT_EQ(run->method->component[5].background_channel[1023], 103);
    EXPECT_EQ(run->method->component[1].standard_activity[1], 20.0f);
    EXPECT_TRUE(contains(run->console, "components total 2\n"));
    EXPECT_TRUE(fs::is_directory(dir.path() / METHOD));
    std::vector<std::string> lines = diagnostic_lines(run->diagnostics);
    ASSERT_EQ(lines.size(), 1u) << run->diagnostics;
    EXPECT_TRUE(contains(lines[0], METHOD)) << lines[0];

    // The console is the same as with an echo.
    ScratchDir other;
    auto with_echo = run_method(other, method);
    EXPECT_EQ(run->console, with_echo->console);
}

// ---------------------------------------------------------------------------
// One small complete method: records, console and the exact echo.

std::vector<long long> standard_0_counts() {
    return counts_where([](int i) -> long long { return i == 100 ? 1000 : i % 3; });
}
std::vector<long long> standard_1_counts() {
    return counts_where([](int i) -> long long { return (i % 4) - 1; });
}
std::vector<long long> local_counts() {
    return counts_where([](int i) -> long long { return i % 2; });
}
std::vector<long long> short_counts() {
    return counts_where([](int i) -> long long { return i % 2 ? 2147483647 : -7; }, 256);
}

// Background inline, standard 0 from std1.txt, standard 1 inline, standards
// 2 to 5 absent, local background from lbg.txt (without trailing reals).
MethodText complete_method() {
    MethodText method;
    method.components = "K40 Bq\nCs137 kBq\n\n\n";
    method.table = {"100.5 0 0 0 0 0", "1.25 50 0 0 0 0", "0 0 0 0 0 0",
                    "0 0 0 0 0 0",     "0 0 0 0 0 0",     "0 0 0 0 0 0"};
    method.strip = "-0.25 0 0 0 0 0";
    method.rois = {"300 330 0 0 0 0 0 0 0 0 0 0", "1980 2010 2100 2130 0 0 0 0 0 0 0 0",
                   "0 0 0 0 0 0 0 0 0 0 0 0",     "0 0 0 0 0 0 0 0 0 0 0 0",
                   "0 0 0 0 0 0 0 0 0 0 0 0",     "0 0 0 0 0 0 0 0 0 0 0 0"};
    method.factors = "1 1 0 0 0 0";
    method.detection_limits = "0.5 0.5 0 0 0 0";
    method.partial_limits = "10 20 0 0 0 0";
    method.three_integers = "1 2 3";
    method.background = inline_spectrum(600000000, 600000000, background_counts(),
                                        "1.5 -2.5 0 7",
                                        short_spectrum(600000000, 600000000, short_counts()));
    method.standards = {"1#std1.txt",
                        inline_spectrum(2500000, 2500000, standard_1_counts()),
                        "0", "0", "0", "0"};
    method.local_background = "1#lbg.txt";
    return method;
}

void write_complete_method_files(const ScratchDir& dir, bool with_crlf) {
    auto convert = [with_crlf](const std::string& text) { return with_crlf ? crlf(text) : text; };
    dir.write("std1.txt", convert(spectrum_file(300000000, 300500000, standard_0_counts())));
    dir.write("lbg.txt", convert(spectrum_file(1000000000, 1000000000, local_counts(), "")));
    dir.write(kMethodFile, complete_method().text(with_crlf));
}

std::string echo_counts(const std::vector<long long>& counts) {
    std::string out;
    for (long long c : counts) out += std::to_string(c) + "\r\n";
    return out;
}

// The echo of the complete method, written line by line from the echo rules
// of the method reader: every value on its own line ending in CR LF, reals as "%f",
// ROIs as read, a referenced spectrum inline with an all-zero short spectrum.
std::string expected_complete_echo() {
    const std::string zero_real = "0.000000\r\n";
    const std::string zero_int = "0\r\n";
    const std::string zero_short = "0\r\n0\r\n" + repeat(zero_int, 256) + "0 0 0 0\r\n";
    std::string e;
    e += "Demo\r\n";
    e += "K40\r\nBq\r\nCs137\r\nkBq\r\n" + repeat("\r\n", 8);
    e += "100.500000\r\n" + repeat(zero_real, 5);            // table row 0, as read
    e += "1.250000\r\n50.000000\r\n" + repeat(zero_real, 4);  // row 1
    e += repeat(zero_real, 24);                               // rows 2 to 5
    e += "-0.250000\r\n" + repeat(zero_real, 5);              // strip line
    e += "300\r\n330\r\n" + repeat(zero_int, 10);             // ROIs as read
    e += "1980\r\n2010\r\n2100\r\n2130\r\n" + repeat(zero_int, 8);
    e += repeat(zero_int, 48);
    e += "1.000000\r\n1.000000\r\n" + repeat(zero_real, 4);   // standard factors
    e += "0.500000\r\n0.500000\r\n" + repeat(zero_real, 4);   // detection limits
    e += "10.000000\r\n20.000000\r\n" + repeat(zero_real, 4); // partial limits
    e += "1\r\n2\r\n3\r\n";                                   // three integers
    // Background, inline, with its short spectrum as read.
    e += "1\r\n600000000\r\n600000000\r\n" + echo_counts(background_counts());
    e += "1 -2 0 7\r\n";
    e += "600000000\r\n600000000\r\n" + echo_counts(short_counts()) + "0 0 0 0\r\n";
    // Standard 0 from std1.txt: inline form, all-zero short spectrum.
    e += "1\r\n300000000\r\n300500000\r\n" + echo_counts(standard_0_counts());
    e += "0 0 0 0\r\n" + zero_short;
    // Standard 1 inline.
    e += "1\r\n2500000\r\n2500000\r\n" + echo_counts(standard_1_counts());
    e += "0 0 0 0\r\n" + zero_short;
    e += repeat("0\r\n", 4);                                  // standards 2 to 5 absent
    // Local background from lbg.txt, whose missing trailing reals echo as 0.
    e += "1\r\n1000000000\r\n1000000000\r\n" + echo_counts(local_counts());
    e += "0 0 0 0\r\n" + zero_short;
    return e;
}

const std::string kCompleteConsole =
    "Demo\n"
    "K40 Bq\n"
    "Cs137 kBq\n"
    "components total 2\n"
    "100.500000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "1.250000 50.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "-0.250000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "Stripped standards activities\n"
    "100.250000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "1.000000 50.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
    "Reading from method file\n"
    "std1.txt\n"
    "Reading from method file\n"
    "Calibration spectrum not present\n"
    "Calibration spectrum not present\n"
    "Calibration spectrum not present\n"
    "Calibration spectrum not present\n"
    "lbg.txt\n";

TEST(MethodComplete, EchoIsExactlyTheNormalisedMethod) {
    ScratchDir dir;
    write_complete_method_files(dir, false);
    auto run = run_reader(dir);
    const std::string expected = expected_complete_echo();
    EXPECT_EQ(run->echo.size(), expected.size());
    EXPECT_TRUE(run->echo == expected) << "first difference at byte "
                                       << std::mismatch(run->echo.begin(), run->echo.end(),
                                                        expected.begin(), expected.end())
                                                  .first -
                                              run->echo.begin();
    expect_no_diagnostics(*run);
}

TEST(MethodComplete, EveryEchoLineEndsInCrLfNeverCrCrLf) {
    ScratchDir dir;
    write_complete_method_files(dir, true);
    auto run = run_reader(dir);
    EXPECT_FALSE(contains(run->echo, "\r\r\n"));
    for (size_t i = 0; i < run->echo.size(); ++i) {
        if (run->echo[i] == '\n') {
            ASSERT_TRUE(i > 0 && run->echo[i - 1] == '\r') << "byte " << i;
        }
        if (run->echo[i] == '\r') {
            ASSERT_TRUE(i + 1 < run->echo.size() && run->echo[i + 1] == '\n') << "byte " << i;
        }
    }
    ASSERT_FALSE(run->echo.empty());
    EXPECT_EQ(run->echo.substr(run->echo.size() - 2), "\r\n");
}

TEST(MethodComplete, ConsoleLinesInOrder) {
    ScratchDir dir;
    write_complete_method_files(dir, false);
    auto run = run_reader(dir);
    EXPECT_EQ(run->console, kCompleteConsole);
}

TEST(MethodComplete, RecordsHoldTheMethod) {
    ScratchDir dir;
    write_complete_method_files(dir, false);
    auto run = run_reader(dir);
    EXPECT_EQ(run->result, 1);
    const MethodRecord& m = *run->method;
    EXPECT_EQ(m.component_count, 2);
    EXPECT_EQ(run->names->count, 2);
    EXPECT_STREQ(run->names->entry[1].unit, "kBq");

    EXPECT_EQ(m.component[0].standard_activity[0], 100.25f);
    EXPECT_EQ(m.component[1].standard_activity[0], 1.0f);
    EXPECT_EQ(m.component[1].standard_activity[1], 50.0f);
    EXPECT_EQ(m.component[4].standard_activity[0], 0.0f);  // 0 + -0.25 < 0

    EXPECT_EQ(m.component[0].roi_count, 1);
    EXPECT_EQ(m.component[0].roi[0][0], 100);
    EXPECT_EQ(m.component[0].roi[0][1], 110);
    EXPECT_EQ(m.component[1].roi_count, 2);
    EXPECT_EQ(m.component[1].roi[0][0], 660);
    EXPECT_EQ(m.component[1].roi[0][1], 670);
    EXPECT_EQ(m.component[1].roi[1][0], 700);
    EXPECT_EQ(m.component[1].roi[1][1], 710);
    for (int i = 2; i < kMaxComponents; ++i) EXPECT_EQ(m.component[i].roi_count, 0);

    EXPECT_EQ(run->factors->factor[0], 1.0f);
    EXPECT_EQ(run->factors->factor[2], 0.0f);
    EXPECT_EQ(m.detection_limit[1], 0.5f);
    EXPECT_EQ(m.partial_limit[1], 20.0f);

    const std::vector<long long> bg = background_counts();
    const std::vector<long long> s0 = standard_0_counts();
    const std::vector<long long> s1 = standard_1_counts();
    const std::vector<long long> local = local_counts();
    for (int b = 0; b < kMaxComponents; ++b) {
        EXPECT_EQ(m.component[b].weight, 1.0f);
        EXPECT_EQ(m.component[b].background_live_time, 600u);
        EXPECT_EQ(m.component[b].background_real_time, 600u);
        EXPECT_EQ(m.component[b].in_summary, 0u);
    }
    EXPECT_EQ(m.component[0].standard_live_time, 300u);
    EXPECT_EQ(m.component[0].standard_real_time, 300u);  // 300.5 s loses its fraction
    EXPECT_EQ(m.component[1].standard_live_time, 2u);
    EXPECT_EQ(m.component[1].standard_real_time, 2u);
    for (int b = 2; b < kMaxComponents; ++b) {
        EXPECT_EQ(m.component[b].standard_live_time, 0u);
        EXPECT_EQ(m.component[b].standard_channel[100], 0);
    }
    EXPECT_EQ(run->local_background->live_time, 1000u);
    EXPECT_EQ(run->local_background->real_time, 1000u);
    for (int i = 0; i < kChannels; ++i) {
        ASSERT_EQ(m.component[3].background_channel[i], bg[i]) << i;
        ASSERT_EQ(m.component[0].standard_channel[i], s0[i]) << i;
        ASSERT_EQ(m.component[1].standard_channel[i], s1[i]) << i;
        ASSERT_EQ(run->local_background->channel[i], local[i]) << i;
    }
}

TEST(MethodComplete, CrLfFilesGiveTheSameRecordsConsoleAndEcho) {
    ScratchDir lf_dir;
    write_complete_method_files(lf_dir, false);
    auto lf = run_reader(lf_dir);
    ScratchDir crlf_dir;
    write_complete_method_files(crlf_dir, true);
    ASSERT_TRUE(contains(crlf_dir.read(kMethodFile), "Bq\r\n\r\n\r\n"));
    auto from_crlf = run_reader(crlf_dir);
    EXPECT_EQ(std::memcmp(lf->method.get(), from_crlf->method.get(), sizeof(MethodRecord)), 0);
    EXPECT_EQ(std::memcmp(lf->names.get(), from_crlf->names.get(), sizeof(NameTable)), 0);
    EXPECT_EQ(std::memcmp(lf->factors.get(), from_crlf->factors.get(), sizeof(StandardFactors)), 0);
    EXPECT_EQ(std::memcmp(lf->local_background.get(), from_crlf->local_background.get(),
                          sizeof(LocalBackground)),
              0);
    EXPECT_EQ(from_crlf->console, lf->console);
    EXPECT_TRUE(from_crlf->echo == lf->echo);
    expect_no_diagnostics(*from_crlf);
}

TEST(MethodComplete, EchoIsTruncatedOnEachCall) {
    ScratchDir dir;
    write_complete_method_files(dir, false);
    dir.write(METHOD, std::string(5000000, 'x'));
    auto run = run_reader(dir);
    EXPECT_TRUE(run->echo == expected_complete_echo());
}

}  // namespace
