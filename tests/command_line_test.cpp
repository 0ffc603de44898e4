// The command line parser, on whole argument lists: every option in each of
// its spellings, missing and wrong values, and everything that must be
// refused with status 2.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

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

// Every accepted command line sets exactly its own options and leaves every
// other one at the default of a bare run (which must run exactly as it always
// did).
TEST(CommandLine, AcceptedArgumentsSetExactlyTheirOptions) {
    struct Expected {
        std::string directory = "";
        std::string report = "";
        std::string plot = "";
        int threads = 0;  // 0: one per hardware thread
        bool straightforward = false;
        bool help = false;
        bool version = false;
        PlotSelect plot_select = PlotSelect::all;
        bool strict = false;
        std::string dose_unit = "";
        double alpha = 0.05;
        double beta = 0.05;
        double unknown_sigma = 5.0;
        double interference_p = 0.001;
        double coverage = 0.95;
    };
    const std::vector<std::pair<std::vector<std::string>, Expected>> cases = {
        {{}, {}},
        // -C DIR, --directory DIR and --directory=DIR all name the working directory.
        {{"-C", "runs/a b"}, {.directory = "runs/a b"}},
        {{"--directory", "runs/a b"}, {.directory = "runs/a b"}},
        {{"--directory=runs/a b"}, {.directory = "runs/a b"}},
        // After "--report=" everything is the name, "=" included.
        {{"--report", "out.jsonl"}, {.report = "out.jsonl"}},
        {{"--report=out.jsonl"}, {.report = "out.jsonl"}},
        {{"--report=a=b.jsonl"}, {.report = "a=b.jsonl"}},
        // --threads takes a whole number from 1 to 256, both bounds included.
        {{"--threads", "1"}, {.threads = 1}},
        {{"--threads", "2"}, {.threads = 2}},
        {{"--threads", "256"}, {.threads = 256}},
        {{"--threads=1"}, {.threads = 1}},
        {{"--threads=17"}, {.threads = 17}},
        {{"--threads=256"}, {.threads = 256}},
        {{"-h"}, {.help = true}},
        {{"--help"}, {.help = true}},
        {{"--version"}, {.version = true}},
        {{"--straightforward"}, {.straightforward = true}},
        {{"--plot-select", "flagged"}, {.plot_select = PlotSelect::flagged}},
        {{"--plot-select=all"}, {}},
        {{"--strict"}, {.strict = true}},
        {{"--dose-unit", "nSv/h"}, {.dose_unit = "nSv/h"}},
        {{"--dose-unit=uGy/h"}, {.dose_unit = "uGy/h"}},
        // --alpha and --beta: probabilities above 0 and below 0.5 (beyond it the
        // decision threshold would lie below zero activity).
        {{"--alpha", "0.01", "--beta=0.2"}, {.alpha = 0.01, .beta = 0.2}},
        {{"--unknown-sigma", "7.5", "--interference-p=1e-4"}, {.unknown_sigma = 7.5, .interference_p = 1e-4}},
        // --coverage: above 0 and below 1.
        {{"--coverage", "0.6827"}, {.coverage = 0.6827}},
        {{"--coverage=0.999"}, {.coverage = 0.999}},
        // Every option together, in two orders.
        {{"-C", "dir", "--report", "r.jsonl", "--threads", "3", "--plot", "p"},
         {.directory = "dir", .report = "r.jsonl", .plot = "p", .threads = 3}},
        {{"--plot=p", "--threads=3", "--report=r.jsonl", "--directory=dir"},
         {.directory = "dir", .report = "r.jsonl", .plot = "p", .threads = 3}},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.error, "");
        EXPECT_EQ(p.line.directory, expected.directory);
        EXPECT_EQ(p.line.run.report_path, expected.report);
        EXPECT_EQ(p.line.run.plot_directory, expected.plot);
        EXPECT_EQ(p.line.run.threads, expected.threads);
        EXPECT_EQ(p.line.run.straightforward, expected.straightforward);
        EXPECT_EQ(p.line.help, expected.help);
        EXPECT_EQ(p.line.version, expected.version);
        EXPECT_EQ(p.line.run.plot_select, expected.plot_select);
        EXPECT_EQ(p.line.run.strict, expected.strict);
        EXPECT_EQ(p.line.run.dose_unit, expected.dose_unit);
        EXPECT_EQ(p.line.run.alpha, expected.alpha);
        EXPECT_EQ(p.line.run.beta, expected.beta);
        EXPECT_EQ(p.line.run.unknown_sigma, expected.unknown_sigma);
        EXPECT_EQ(p.line.run.interference_p, expected.interference_p);
        EXPECT_EQ(p.line.run.coverage, expected.coverage);
    }
}

// Every usage error gives status 2 and a message; where one argument is at
// fault the message names it, and a valid option before or after it does not
// save the command line.
TEST(CommandLine, UsageErrorIsRefusedWithStatus2) {
    // (arguments, what the message must name; "" for any message)
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        // A value missing: at the end of the list, or empty after "=".
        {{"-C"}, ""},
        {{"--directory"}, ""},
        {{"--report"}, ""},
        {{"--threads"}, ""},
        {{"--directory="}, ""},
        {{"--report="}, ""},
        {{"--threads="}, ""},
        {{"--threads", ""}, ""},
        {{"--straightforward", "--report"}, ""},
        {{"--report", "r.jsonl", "-C"}, ""},
        // Not one of the options, or not an option at all.
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
        // Stray arguments are listed as given.
        {{"a", "b", "--report", "r.jsonl", "c"}, "expected: a b c"},
        {{"--", "--report", "x"}, "expected: -- --report x"},
        // An option where a value is expected is no value.
        {{"--report", "--plot", "p"}, "--plot"},
        {{"-C", "--report=r.jsonl"}, "--report=r.jsonl"},
        {{"--plot", "-x"}, "-x"},
        // The reference form runs on one thread.
        {{"--threads", "2", "--straightforward"}, "--straightforward"},
        {{"--straightforward", "--threads=2"}, "--threads"},
        {{"--plot-select", "some"}, "some"},
        {{"--plot-select"}, ""},
        {{"--strict=1"}, "--strict=1"},
        {{"--dose-unit="}, ""},
        {{"--dose-unit", "--strict"}, "--strict"},
    };
    for (const std::string value : {"0", "0.5", "1", "-0.1", "abc", "0.05x", "nan", ""}) {
        cases.push_back({{"--alpha=" + value}, ""});
        cases.push_back({{"--beta=" + value}, ""});
    }
    for (const std::string value : {"0", "-1", "abc", "nan", "inf", ""}) cases.push_back({{"--unknown-sigma=" + value}, ""});
    for (const std::string value : {"0", "1", "1.5", "abc", ""}) cases.push_back({{"--interference-p=" + value}, ""});
    for (const std::string value : {"0", "1", "1.5", "-0.95", "95%", "nan", ""}) cases.push_back({{"--coverage=" + value}, ""});
    // --threads outside 1 to 256 or not a whole number, in both forms.
    for (const std::string value : {"0", "257", "-1", "-256", "abc", "4x", "1.5", "0x10", "1e2",
                                    "2147483648", "4294967297", "99999999999999999999999"}) {
        cases.push_back({{"--threads", value}, ""});
        cases.push_back({{"--threads=" + value}, ""});
    }
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 2);
        EXPECT_NE(p.error, "");
        EXPECT_NE(p.error.find(named), std::string::npos) << "message: " << p.error;
    }
}

// The results database and `assay trend`.
// 2026-01-01T00:00:00Z is 20454 days after 1970-01-01 (56 years, 14 of them
// leap years): 1767225600 s; 2026-01-31 is 30 days later.
constexpr int64_t kJanuary31 = 1767225600 + 30 * 86400LL;

TEST(DatabaseCommandLine, OptionsSetTheirFields) {
    const struct {
        std::vector<std::string> args;
        std::string db, station;
        bool trend;
        std::string out;
        int64_t from, to;
    } cases[] = {
        {{"--db", "r.db"}, "r.db", "", false, "", INT64_MIN, INT64_MAX},
        {{"--db=r.db", "--station", "graz"}, "r.db", "graz", false, "", INT64_MIN, INT64_MAX},
        {{"trend", "--db", "r.db", "--out", "site"}, "", "", true, "site", INT64_MIN, INT64_MAX},
        // A date for --to is the whole day; a time is that second.
        {{"trend", "--db=r.db", "--out=site", "--from", "2026-01-31", "--to", "2026-01-31"}, "", "", true, "site",
         kJanuary31, kJanuary31 + 86399},
        {{"-C", "dir", "trend", "--out", "site", "--db", "r.db", "--from", "2026-01-31T12:00:00Z"}, "", "", true,
         "site", kJanuary31 + 43200, INT64_MAX},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        SCOPED_TRACE(c.args.front());
        ASSERT_EQ(p.status, 0) << p.error;
        EXPECT_EQ(p.line.run.db_path, c.db);
        EXPECT_EQ(p.line.run.station, c.station);
        EXPECT_EQ(p.line.trend, c.trend);
        EXPECT_EQ(p.line.trend_options.db_path, c.trend ? "r.db" : "");
        EXPECT_EQ(p.line.trend_options.out_directory, c.out);
        EXPECT_EQ(p.line.trend_options.from, c.from);
        EXPECT_EQ(p.line.trend_options.to, c.to);
    }
}

TEST(DatabaseCommandLine, UsageErrorsAreRefused) {
    const struct {
        std::vector<std::string> args;
        std::string named;
    } cases[] = {
        {{"--db"}, ""},
        {{"--db="}, ""},
        {{"--station", "--db", "r.db"}, "--db"},
        {{"trend", "--db", "r.db"}, "--out"},
        {{"trend", "--out", "site"}, "--db"},
        {{"--report", "r.jsonl", "trend", "--db", "r.db", "--out", "s"}, "--report"},
        {{"trend", "--db", "r.db", "--out", "s", "--threads", "2"}, "--threads"},
        {{"trend", "--db", "r.db", "--out", "s", "extra"}, "extra"},
        {{"trend", "--db", "r.db", "--out", "s", "--from", "2026-02-30"}, "2026-02-30"},
        {{"trend", "--db", "r.db", "--out", "s", "--to", "yesterday"}, "yesterday"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(p.status, 2);
        EXPECT_NE(p.error.find(c.named), std::string::npos) << p.error;
    }
}

}  // namespace
