// End-to-end tests of the run driver, the two file readers and the dose rate:
// the built program runs in a fresh working directory and its standard output,
// result.txt and method.txt are compared byte for byte with expectations
// worked out by hand. Dose rates and count rates were computed in single
// precision (float32 emulation: every + - * / rounded to float32).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_e2e_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace run_e2e;
using test_support::ScratchDir;

// A run without components: the method file named in config.txt is absent.
const MethodFile kNoMethod{};
const std::string kNoMethodConsole = "Reads Method none.txt\n";

std::string stdout_no_method(const std::vector<Row>& rows, bool dose_ok = true) {
    std::string t = kBanner + (dose_ok ? kDoseOk : "") + kNoMethodConsole + header_console(kNoMethod);
    for (const auto& r : rows) t += row_console(r, 0);
    return t;
}

std::string result_no_method(const std::vector<Row>& rows) {
    std::string t = header_file(kNoMethod);
    for (const auto& r : rows) t += row_file(r, 0);
    return t;
}

// Writes a working directory for a run without components.
void setup_no_method(const ScratchDir& dir, const std::string& entries,
                     const std::string& dose = kDoseUnit) {
    dir.write("dose.txt", dose);
    dir.write("config.txt", "none.txt\n" + entries);
}

// Expected stdout of a run with method `m`.
std::string stdout_with(const MethodFile& m, const std::vector<Row>& rows) {
    std::string t = kBanner + kDoseOk + "Reads Method m.txt\n" + m.console() + header_console(m);
    for (const auto& r : rows) t += row_console(r, m.count());
    return t;
}

std::string result_with(const MethodFile& m, const std::vector<Row>& rows) {
    std::string t = header_file(m);
    for (const auto& r : rows) t += row_file(r, m.count());
    return t;
}

// ---------------------------------------------------------------------------
// Start-up, header and the method echo.

// Without components the table has only its fixed columns; the console leaves
// out the three location columns. A method file that cannot be opened still
// truncates method.txt and is reported.
TEST(RunStartUp, HeaderWithoutComponentsAndEmptyMethodEcho) {
    ScratchDir dir;
    setup_no_method(dir, "");
    dir.write("method.txt", "left from an earlier run\r\n");
    Outcome o = run_in(dir);

    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method none.txt\n" +
                             "Name\tqfit\tgain\tweightF\t DRate\t\n\n\n");
    EXPECT_EQ(o.result, "Name\tqfit\tgain\tlongitude\tlatitude\taltitude\tweightF\t DRate\t\n\n\n");
    EXPECT_TRUE(dir.exists("method.txt"));
    EXPECT_EQ(o.method, "");
    expect_diagnostics(o.run.err, {"none.txt"});
}

// Header with two components: names, "sd<name>[<unit>]", the fixed columns and
// "<name>[cpm]"; then "\n" and "\n\n". method.txt echoes every value on a CR LF
// line. A well-formed run says nothing on standard error.
TEST(RunStartUp, HeaderWithTwoComponentsAndMethodEcho) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}};
    m.rois[0] = roi(300, 330);
    m.rois[1] = {90, 120, 0, 0, 150, 180, 0, 0, 0, 0, 0, 0};
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt\n");
    Outcome o = run_in(dir);

    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out,
              kBanner + kDoseOk + "Reads Method m.txt\n" + m.console() +
                  "Name\tK40\tCs137\tsdK40[Bq]\tsdCs137[Bq]\tqfit\tgain\tweightF\t DRate\t"
                  "K40[cpm]\tCs137[cpm]\t\n\n\n");
    EXPECT_EQ(o.result,
              "Name\tK40\tCs137\tsdK40[Bq]\tsdCs137[Bq]\tqfit\tgain\tlongitude\tlatitude\t"
              "altitude\tweightF\t DRate\tK40[cpm]\tCs137[cpm]\t\n\n\n");
    EXPECT_EQ(o.method, m.echo());
    EXPECT_EQ(o.run.err, "");
}

// Every spectrum is echoed inline with CR LF line ends and never CR CR LF: a
// referenced file gets the trailing reals it holds (truncated) and an all-zero
// short spectrum; an inline one is echoed as read.
TEST(MethodEcho, SpectraInlineWithCrLfOnEveryLine) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(300, 330);
    m.background = "1#bg.txt";
    std::string inline_counts;
    for (int i = 0; i < 1024; ++i) inline_counts += std::to_string(i % 7) + (i % 16 == 15 ? "\n" : " ");
    std::string short_counts;
    for (int i = 0; i < 256; ++i) short_counts += std::to_string(i % 5) + " ";
    m.local_background = "1\n3000000 4000000\n" + inline_counts + "1.9 -2.7 0.5 4\n11 12\n" +
                         short_counts + "\n7.9 0 0 -0.5";
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("bg.txt", test_support::spectrum_text(2000000, 3500000, counts({{5, 7}, {1023, 9}})));
    dir.write("config.txt", "m.txt\n");
    Outcome o = run_in(dir);

    std::string echo = m.echo_head() + "1\r\n2000000\r\n3500000\r\n";
    for (int i = 0; i < 1024; ++i) echo += i == 5 ? "7\r\n" : i == 1023 ? "9\r\n" : "0\r\n";
    echo += "0 0 0 0\r\n0\r\n0\r\n";
    for (int i = 0; i < 256; ++i) echo += "0\r\n";
    echo += "0 0 0 0\r\n";
    for (int i = 0; i < 6; ++i) echo += "0\r\n";
    echo += "1\r\n3000000\r\n4000000\r\n";
    for (int i = 0; i < 1024; ++i) echo += std::to_string(i % 7) + "\r\n";
    echo += "1 -2 0 4\r\n11\r\n12\r\n";
    for (int i = 0; i < 256; ++i) echo += std::to_string(i % 5) + "\r\n";
    echo += "7 0 0 0\r\n";
    EXPECT_EQ(o.method, echo);

    ASSERT_FALSE(o.method.empty());
    EXPECT_EQ(o.method.find("\r\r"), std::string::npos);
    for (size_t i = 0; i < o.method.size(); ++i) {
        if (o.method[i] == '\n') {
            ASSERT_TRUE(i > 0 && o.method[i - 1] == '\r') << "LF alone at " << i;
        }
        if (o.method[i] == '\r') {
            ASSERT_TRUE(i + 1 < o.method.size() && o.method[i + 1] == '\n') << "CR alone at " << i;
        }
    }

    std::string console = m.console_head() + "bg.txt\n";
    for (int i = 0; i < 6; ++i) console += "Calibration spectrum not present\n";
    console += "Reading from method file\n";
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + console + header_console(m));
    EXPECT_EQ(o.run.err, "");
}

// ---------------------------------------------------------------------------
// config.txt.

// No config.txt: banner and dose line, then a silent end with status 0; the
// cause goes to standard error.
TEST(RunConfig, MissingConfigEndsAfterDoseLine) {
    ScratchDir dir;
    dir.write("dose.txt", kDoseUnit);
    Outcome o = run_in(dir);

    EXPECT_EQ(o.run.exit_status, 0);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk);
    EXPECT_FALSE(dir.exists("result.txt"));
    EXPECT_FALSE(dir.exists("method.txt"));
    expect_diagnostics(o.run.err, {"config.txt"});
}

// A config.txt without a token (empty, or white space only) prints the message
// with its slash-n literally and no line end, and touches no output file.
TEST(RunConfig, EmptyConfigPrintsWrongMethodFileName) {
    for (const char* config : {"", " \r\n\n\t"}) {
        ScratchDir dir;
        dir.write("dose.txt", kDoseUnit);
        dir.write("config.txt", config);
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.exit_status, 0);
        EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Wrong method file name/n");
        EXPECT_FALSE(dir.exists("result.txt"));
        EXPECT_FALSE(dir.exists("method.txt"));
    }
}

// ---------------------------------------------------------------------------
// Walking the entries. Spectra a, b, c hold counts in dose bin 4 only, so the
// dose column shows what the sum held: n counts over L s give
// n * 0.04442464 / (L / 1000).

// A plain entry loads the sum; the add-and-evaluate entry adds to it.
TEST(RunEntries, PlainThenEvaluateGivesTheSumOfBoth) {
    ScratchDir dir;
    setup_no_method(dir, "a.txt\n*b.txt\n");
    dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
    dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
    Outcome o = run_in(dir);

    // 400 counts over 2 s: 8.884928
    const std::vector<Row> rows = {{"*b.txt", "8.88"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
    EXPECT_EQ(o.run.exit_status, 0);
}

// Each evaluation empties the sum: the second row is b alone.
TEST(RunEntries, EachEvaluationStartsAFreshSum) {
    ScratchDir dir;
    setup_no_method(dir, "*a.txt *b.txt");
    dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
    dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
    Outcome o = run_in(dir);

    // 300 counts over 1 s: 13.327392; 100 counts over 1 s: 4.442464
    const std::vector<Row> rows = {{"*a.txt", "13.33"}, {"*b.txt", "4.44"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
}

// Add entries collect into the sum until an add-and-evaluate entry writes one row.
TEST(RunEntries, AddEntriesCollectUntilEvaluation) {
    ScratchDir dir;
    setup_no_method(dir, "+a.txt +b.txt *c.txt");
    dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
    dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
    dir.write("c.txt", spectrum(1000, 1000, bin4(100)));
    Outcome o = run_in(dir);

    // 500 counts over 3 s: 7.404106
    const std::vector<Row> rows = {{"*c.txt", "7.40"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
}

// Without an add-and-evaluate entry the table is the header and two empty lines.
TEST(RunEntries, NoEvaluationWritesNoRow) {
    for (const char* entries : {"", "a.txt ^2 +b.txt\n+a.txt\n"}) {
        ScratchDir dir;
        setup_no_method(dir, entries);
        dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
        dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
        Outcome o = run_in(dir);

        EXPECT_EQ(o.run.out, stdout_no_method({}));
        EXPECT_EQ(o.result, result_no_method({}));
        EXPECT_EQ(o.run.exit_status, 0);
    }
}

// A weight holds for every later row until the next weight entry; a weight
// entry that does not scan changes nothing and is reported against config.txt.
TEST(RunEntries, WeightHoldsUntilTheNextWeightThatScans) {
    ScratchDir dir;
    setup_no_method(dir, "*a.txt ^0.5 *a.txt ^abc *a.txt ^ *a.txt ^2 *a.txt");
    dir.write("a.txt", spectrum(1000, 1000, bin4(100)));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*a.txt", "4.44", {}, "  1.000"},
                                   {"*a.txt", "4.44", {}, "  0.500"},
                                   {"*a.txt", "4.44", {}, "  0.500"},
                                   {"*a.txt", "4.44", {}, "  0.500"},
                                   {"*a.txt", "4.44", {}, "  2.000"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
    expect_diagnostics(o.run.err, {"none.txt", "config.txt", "config.txt"});
}

// A plain entry replaces the sum's spectrum; one whose file is missing or
// incomplete leaves the sum as it was.
TEST(RunEntries, PlainEntryReplacesTheSumUnlessUnreadable) {
    ScratchDir dir;
    setup_no_method(dir, "+c.txt a.txt missing.txt trunc.txt *b.txt");
    dir.write("a.txt", spectrum(1000, 1000, bin4(300)));
    dir.write("b.txt", spectrum(1000, 1000, bin4(100)));
    dir.write("c.txt", spectrum(5000, 5000, bin4(40000)));
    // Times and 1023 zero counts: would clear a's bin 4 if it were taken.
    std::string trunc = "1000000000\n1000000000\n";
    for (int i = 0; i < 1023; ++i) trunc += "0\n";
    dir.write("trunc.txt", trunc);
    Outcome o = run_in(dir);

    // a + b: 400 counts over 2 s: 8.884928
    const std::vector<Row> rows = {{"*b.txt", "8.88"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
    expect_diagnostics(o.run.err, {"none.txt", "missing.txt", "trunc.txt"});
    EXPECT_EQ(o.run.exit_status, 0);
}

// Add entries whose file is missing, empty, short of counts, or holds a time
// that does not scan add nothing and write no row, and nothing of an earlier
// file shows up later. high.txt fills channels 1000..1023, which the 1023
// counts of trunc.txt would leave in place if it were taken. The ROI
// (1000, 1024) halves to (500, 512), beyond the fit's channels: it is reported
// up front, and each evaluation's failed fit right before its row.
TEST(RunEntries, UnusableAddEntriesAddNothingAndWriteNoRow) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"U", "Bq"}};
    m.rois[0] = roi(3000, 3072);  // channels 1000..1023
    dir.write("dose.txt", kDoseZero);
    dir.write("m.txt", m.text());
    dir.write("config.txt",
              "m.txt *high.txt *trunc.txt +empty.txt +missing.txt +neg.txt +huge.txt *b.txt\n");
    std::vector<long long> high(1024, 0);
    for (int i = 1000; i < 1024; ++i) high[static_cast<size_t>(i)] = 1;
    dir.write("high.txt", spectrum(60, 60, high));
    std::string trunc = "60000000\n60000000\n";
    for (int i = 0; i < 1023; ++i) trunc += "0\n";
    dir.write("trunc.txt", trunc);
    dir.write("empty.txt", "");
    dir.write("neg.txt", test_support::spectrum_text(0, 60000000, {}).replace(0, 1, "-60000000"));
    dir.write("huge.txt", "18446744073709551616\n60000000\n" +
                              test_support::spectrum_text(0, 0, {}).substr(4));
    dir.write("b.txt", spectrum(60, 60, counts({{1010, 6}})));
    Outcome o = run_in(dir);

    // 24 counts over 60 s: 24.0 cpm; b alone, 6 counts over 60 s: 6.0 cpm
    const std::vector<Row> rows = {{"*high.txt", "0.00", {"24.0"}}, {"*b.txt", "0.00", {" 6.0"}}};
    EXPECT_EQ(mask_fit(o.run.out, 1), stdout_with(m, rows));
    EXPECT_EQ(mask_fit(o.result, 1), result_with(m, rows));
    expect_diagnostics(o.run.err, {"m.txt", "high.txt", "trunc.txt", "empty.txt", "missing.txt", "neg.txt",
                                   "huge.txt", "b.txt"});
    EXPECT_EQ(o.run.exit_status, 0);
}

// ---------------------------------------------------------------------------
// Count rates: counts of the first ROI [first, end), added as floats in
// ascending order, divided by the live time and multiplied by 60.

// The ROIs of Cs137, Ra226 and Th232 are no use to the fit (an end below the
// first, an end beyond the halved channels, a negative first channel): each
// is reported up front, and the fit of s fails.
TEST(RunCountRate, FirstRoiSummedAsFloatsPerMinute) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}, {"Ra226", "Bq"}, {"Th232", "Bq"}};
    m.rois[0] = {300, 330, 600, 660, 0, 0, 0, 0, 0, 0, 0, 0};  // (100, 110); the second ROI is not counted
    m.rois[1] = roi(90, 60);                                   // (30, 20): first above end
    m.rois[2] = roi(3000, 3300);                               // (1000, 1100): beyond the spectrum
    m.rois[3] = roi(-4, 6);                                    // (-1, 2): below it
    dir.write("dose.txt", kDoseZero);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    std::vector<long long> c(1024, 0);
    c[0] = 5;
    c[1] = 7;
    for (int i = 20; i <= 30; ++i) c[static_cast<size_t>(i)] = 9;
    c[99] = 500;
    c[100] = 16777216;  // 2^24: each further 1 is lost in a float sum
    for (int i = 101; i < 110; ++i) c[static_cast<size_t>(i)] = 1;
    c[110] = 500;
    for (int i = 200; i < 220; ++i) c[static_cast<size_t>(i)] = 1000;
    for (int i = 1000; i < 1024; ++i) c[static_cast<size_t>(i)] = 2;
    dir.write("s.txt", spectrum(60, 60, c));
    Outcome o = run_in(dir);

    // K40: float sum 16777216 (not 16777225) / 60 * 60 = 16777216.0
    // Cs137: first above end: 0.0; Ra226: channels 1000..1023, 48 counts: 48.0
    // Th232: channels 0 and 1, 12 counts: 12.0
    const std::vector<Row> rows = {{"*s.txt", "0.00", {"16777216.0", " 0.0", "48.0", "12.0"}}};
    EXPECT_EQ(mask_fit(o.run.out, 4), stdout_with(m, rows));
    EXPECT_EQ(mask_fit(o.result, 4), result_with(m, rows));
    expect_diagnostics(o.run.err, {"m.txt", "m.txt", "m.txt", "s.txt"});
    EXPECT_EQ(o.run.exit_status, 0);
}

// A live time of 0 s (below one second) divides by zero: counts give +inf, no
// counts 0/0, the default NaN of x86-64 arithmetic, whose sign bit is set: the
// table shows "-nan", on Windows as on Linux. The dose rate of a spectrum
// without live time is 0.
TEST(RunCountRate, ZeroLiveTimePrintsInfAndMinusNan) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}};
    m.rois[0] = roi(300, 330);
    m.rois[1] = roi(90, 60);
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    dir.write("s.txt", test_support::spectrum_text(999999, 999999, counts({{105, 10}, {16, 100}})));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "0.00", {" inf", "-nan"}}};
    EXPECT_EQ(mask_fit(o.run.out, 2), stdout_with(m, rows));
    EXPECT_EQ(mask_fit(o.result, 2), result_with(m, rows));
}

// Corners of the method file: the sum of two NaNs in the strip is the
// table entry's NaN, a NaN keeps its sign in the echo and on the console on
// every platform, a referenced spectrum's trailing reals are four separate
// scans ("7 - 8 9" echoes as 7 0 8 9), and a time written "-0" is 0.
TEST(RunMethodCorners, NanSignsTrailingRealsAndMinusZeroTime) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.background = "1#bg.txt";
    std::string text = m.text();
    const size_t table = text.find("1 0 0 0 0 0\n");
    text.replace(table, 1, "nan");
    const size_t strip = text.find("0 0 0 0 0 0\n", text.find("0 0 0 0 0 1\n"));
    text.replace(strip, 1, "-nan");
    dir.write("m.txt", text);
    std::string bg = test_support::spectrum_text(1000000, 3600000000ULL, counts({{7, 5}}));
    bg.replace(0, bg.find('\n'), "-0");
    bg.replace(bg.rfind("0 0 0 0"), 7, "7 - 8 9");
    dir.write("bg.txt", bg);
    dir.write("dose.txt", kDoseUnit);
    dir.write("config.txt", "m.txt\n");
    Outcome o = run_in(dir);

    EXPECT_NE(o.run.out.find("nan 0.000000 0.000000 0.000000 0.000000 0.000000\n"
                             "0.000000 1.000000 0.000000 0.000000 0.000000 0.000000\n"),
              std::string::npos) << o.run.out;
    EXPECT_NE(o.run.out.find("\n-nan 0.000000 0.000000 0.000000 0.000000 0.000000\n"
                             "Stripped standards activities\n"
                             "nan 0.000000 0.000000 0.000000 0.000000 0.000000\n"
                             "-nan 1.000000 0.000000 0.000000 0.000000 0.000000\n"),
              std::string::npos) << o.run.out;
    EXPECT_EQ(o.run.out.find("damaged"), std::string::npos);
    EXPECT_NE(o.method.find("\r\nnan\r\n0.000000\r\n0.000000\r\n0.000000\r\n0.000000\r\n"
                            "0.000000\r\n0.000000\r\n1.000000\r\n"),
              std::string::npos);
    EXPECT_NE(o.method.find("\r\n-nan\r\n0.000000\r\n"), std::string::npos);
    EXPECT_NE(o.method.find("1\r\n0\r\n3600000000\r\n"), std::string::npos);
    EXPECT_NE(o.method.find("\r\n7 0 8 9\r\n"), std::string::npos);
    EXPECT_EQ(o.run.err, "");
}

// ---------------------------------------------------------------------------
// Dose rate.

// Worked example: 100 counts in channels 16..19, live = real = 1000 s, factor
// 1, gray table: 100 * 0.04442464 = 4.442464.
TEST(RunDoseRate, WorkedExample) {
    ScratchDir dir;
    setup_no_method(dir, "*s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, counts({{16, 10}, {17, 20}, {18, 30}, {19, 40}})));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "4.44"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
    expect_diagnostics(o.run.err, {"none.txt"});
}

// Without all five calibration values there is no "calibration OK" line and
// the dose column holds "nan" in every row, never an invented number.
TEST(RunDoseRate, IncompleteCalibrationWritesNan) {
    for (const std::string& dose : {std::string("absent"), std::string("1 0 0 0\n"),
                                   std::string("1 0 x 0 0\n")}) {
        SCOPED_TRACE(dose);
        ScratchDir dir;
        setup_no_method(dir, "*s.txt *s.txt\n", dose);
        if (dose == "absent") fs::remove(dir.path() / "dose.txt");
        dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
        Outcome o = run_in(dir);

        const std::vector<Row> rows = {{"*s.txt", "nan"}, {"*s.txt", "nan"}};
        EXPECT_EQ(o.run.out, stdout_no_method(rows, false));
        EXPECT_EQ(o.result, result_no_method(rows));
        expect_diagnostics(o.run.err, {"dose.txt", "none.txt"});
        EXPECT_EQ(o.run.exit_status, 0);
    }
}

// Live 100 s of real 1000 s: dead time 90 % is above 85 %, so the rate
// 4.442464 / 0.1 = 44.42464 is printed negated.
TEST(RunDoseRate, DeadTimeAboveLimitNegates) {
    ScratchDir dir;
    setup_no_method(dir, "*s.txt\n");
    dir.write("s.txt", spectrum(100, 1000, bin4(100)));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "-44.42"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
}

// dose.txt gives c3, c2, c1 in that order. Dead time 50 %: F = 1 + 0.01*50 +
// 0.001*50^2 + 0.00001*50^3 = 5.25; rate 4.442464 / (5.25 * 0.5) = 1.692367.
// (With c1 and c3 exchanged F would be 1253.0 and the rate 0.01.)
TEST(RunDoseRate, DeadTimeCorrectionTakesCoefficientsInFileOrder) {
    ScratchDir dir;
    setup_no_method(dir, "*s.txt\n", "1 0.01 1 10 0\n");
    dir.write("s.txt", spectrum(500, 1000, bin4(100)));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "1.69"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
}

// Table switch 1 selects the sievert table (bin 4: 0.07165694); 0 and any other
// value the gray table (0.04442464).
TEST(RunDoseRate, TableSwitchSelectsCoefficients) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1 0 0 0 1\n", "7.17"}, {"1 0 0 0 0\n", "4.44"}, {"1 0 0 0 2\n", "4.44"}};
    for (const auto& [dose, expected] : cases) {
        SCOPED_TRACE(dose);
        ScratchDir dir;
        setup_no_method(dir, "*s.txt\n", dose);
        dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
        Outcome o = run_in(dir);

        const std::vector<Row> rows = {{"*s.txt", expected}};
        EXPECT_EQ(o.run.out, stdout_no_method(rows));
        EXPECT_EQ(o.result, result_no_method(rows));
    }
}

// Four channels of 2e9 make a bin of 8e9, beyond int32: the 64-bit bin sum
// times 0.04442464 in float is 355397120.
TEST(RunDoseRate, BinSumBeyondInt32) {
    ScratchDir dir;
    setup_no_method(dir, "*s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, counts({{16, 2000000000}, {17, 2000000000},
                                                    {18, 2000000000}, {19, 2000000000}})));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "355397120.00"}};
    EXPECT_EQ(o.run.out, stdout_no_method(rows));
    EXPECT_EQ(o.result, result_no_method(rows));
    expect_diagnostics(o.run.err, {"none.txt"});
}

// ---------------------------------------------------------------------------
// Large values.

// 7200000000 µs is 7200 s, beyond what 32 bits hold (which would give 2905 s
// and a dose rate of 1.53). Dose: 4.442464 / 7.2 = 0.617009; count rate:
// 7200 counts in 7200 s = 60.0 cpm. Without standards the fit fails, which is
// reported.
TEST(RunLargeValues, TimesBeyond32BitMicroseconds) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021, whose dose coefficient is 0
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    std::vector<long long> c = bin4(100);
    c[1021] = 7200;
    dir.write("s.txt", test_support::spectrum_text(7200000000ULL, 7200000000ULL, c));
    Outcome o = run_in(dir);

    const std::vector<Row> rows = {{"*s.txt", "0.62", {"60.0"}}};
    EXPECT_EQ(mask_fit(o.run.out, 1), stdout_with(m, rows));
    EXPECT_EQ(mask_fit(o.result, 1), result_with(m, rows));
    // The method has no standard spectra: every evaluation fails, as said up front.
    expect_diagnostics(o.run.err, {"m.txt", "s.txt"});
}

// Adding 2e9 to 2e9 holds the channel at 2147483647 (float 2147483648), and
// -2e9 to -2e9 at -2147483648, instead of wrapping; the file whose addition
// overflowed is reported. 60 s of live time: rate * 60 / 60 is the sum itself.
// Cs137's ROI (1022, 1023) halves to (511, 512), beyond the fit's channels:
// it is reported up front, and the failed fit right before the row.
TEST(RunLargeValues, SumSaturatesAtInt32Limits) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}};
    m.rois[0] = roi(3063, 3066);  // channel 1021
    m.rois[1] = roi(3066, 3069);  // channel 1022
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt +s1.txt *s2.txt\n");
    const std::vector<long long> c = counts({{1021, 2000000000}, {1022, -2000000000}});
    dir.write("s1.txt", spectrum(30, 30, c));
    dir.write("s2.txt", spectrum(30, 30, c));
    Outcome o = run_in(dir);

    // Channels 1020..1023 have dose coefficient 0.
    const std::vector<Row> rows = {{"*s2.txt", "0.00", {"2147483648.0", "-2147483648.0"}}};
    EXPECT_EQ(mask_fit(o.run.out, 2), stdout_with(m, rows));
    EXPECT_EQ(mask_fit(o.result, 2), result_with(m, rows));
    expect_diagnostics(o.run.err, {"m.txt", "s2.txt", "s2.txt"});
    EXPECT_EQ(o.run.exit_status, 0);
}

// ---------------------------------------------------------------------------
// result.txt that cannot be written.

// result.txt cannot be created: everything up to the method is printed, then
// the run stops with status 1 before the header.
TEST(RunResultFile, CannotBeCreatedStopsBeforeTheHeader) {
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(300, 330);
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
    fs::create_directory(dir.path() / "result.txt");
    Outcome o = run_in(dir);

    EXPECT_EQ(o.run.exit_status, 1);
    EXPECT_EQ(o.run.out, kBanner + kDoseOk + "Reads Method m.txt\n" + m.console());
    EXPECT_EQ(o.method, m.echo());
    expect_diagnostics(o.run.err, {"result.txt"});
}

// Writes to result.txt that fail after it was opened (a device that is always
// full) end the run with status 1; the console table is complete. The ROI
// (1020, 1024) halves beyond the fit's channels: it is reported up front, the
// failed fit of s before its row, and the write failure once that row is
// flushed.
TEST(RunResultFile, WriteFailureGivesStatus1) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    ScratchDir dir;
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(3060, 3072);  // channels 1020..1023
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", m.text());
    dir.write("config.txt", "m.txt *s.txt\n");
    dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
    fs::create_symlink("/dev/full", dir.path() / "result.txt");
    // Not read back: reading the device never ends.
    Outcome o;
    o.run = test_support::run_assay_in(dir.path());
    fs::remove(dir.path() / "result.txt");

    const std::vector<Row> rows = {{"*s.txt", "4.44", {" 0.0"}}};
    EXPECT_EQ(o.run.exit_status, 1);
    EXPECT_EQ(mask_fit(o.run.out, 1), stdout_with(m, rows));
    expect_diagnostics(o.run.err, {"m.txt", "s.txt", "result.txt"});
}

// ---------------------------------------------------------------------------
// Line ends.

// The same inputs with CR LF line ends give the same bytes as with LF: the
// end of the component list, the "#" reference, config tokens and the values
// of every file. K40's ROI (1020, 1024) halves beyond the fit's channels:
// each run reports it, then the failed fits of its two rows, in the same bytes.
TEST(RunLineEnds, CrLfInputGivesTheSameBytesAsLf) {
    MethodFile m;
    m.components = {{"K40", "Bq"}, {"Cs137", "Bq"}};
    m.rois[0] = roi(3060, 3072);  // channels 1020..1023
    m.rois[1] = roi(15, 30);      // channels 5..9, whose dose coefficients are 0
    m.background = "1#bg.txt";
    std::vector<long long> c = bin4(100);
    for (int i = 1020; i < 1024; ++i) c[static_cast<size_t>(i)] = 50;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"dose.txt", kDoseUnit},
        {"m.txt", m.text()},
        {"bg.txt", spectrum(500, 500, counts({{7, 3}, {1020, 4}}))},
        {"config.txt", "m.txt\n^0.5\n*s.txt\n+s.txt\n*t.txt\n"},
        {"s.txt", spectrum(1000, 1000, c)},
        {"t.txt", spectrum(1000, 1000, counts({{7, 30}}))}};

    ScratchDir lf;
    ScratchDir crlf_dir;
    for (const auto& [name, text] : files) {
        lf.write(name, text);
        crlf_dir.write(name, crlf(text));
    }
    Outcome a = run_in(lf);
    Outcome b = run_in(crlf_dir);

    std::string console = m.console_head() + "bg.txt\n";
    for (int i = 0; i < 6; ++i) console += "Calibration spectrum not present\n";
    console += "Local BG spectrum not present\n";
    // s alone: 100 counts in bin 4 over 1 s: 4.442464; 200 counts in channels
    // 1020..1023 over 1000 s: 12.0 cpm; none in 5..9. s + t over 2 s: 2.221232,
    // 200 * 60 / 2000 = 6.0 and 30 * 60 / 2000 = 0.9 cpm.
    const std::vector<Row> rows = {{"*s.txt", "4.44", {"12.0", " 0.0"}, "  0.500"},
                                   {"*t.txt", "2.22", {" 6.0", " 0.9"}, "  0.500"}};
    std::string expected_out = kBanner + kDoseOk + "Reads Method m.txt\n" + console + header_console(m);
    for (const auto& r : rows) expected_out += row_console(r, 2);
    EXPECT_EQ(mask_fit(a.run.out, 2), expected_out);
    EXPECT_EQ(mask_fit(a.result, 2), result_with(m, rows));
    expect_diagnostics(a.run.err, {"m.txt", "s.txt", "t.txt"});

    EXPECT_EQ(b.run.out, a.run.out);
    EXPECT_EQ(b.result, a.result);
    EXPECT_EQ(b.method, a.method);
    EXPECT_EQ(b.run.err, a.run.err);
    EXPECT_EQ(b.run.exit_status, 0);
}

}  // namespace
