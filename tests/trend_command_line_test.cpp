// The command line of the results database and of `assay trend`: what each
// spelling sets, and what is refused with status 2.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "cli/command_line.h"

namespace {

struct Parsed {
    int status = -1;
    CommandLine line;
    std::string error;
};

Parsed parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"assay"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    Parsed parsed;
    parsed.status = parse_command_line(static_cast<int>(args.size() + 1), argv.data(), &parsed.line, &parsed.error);
    return parsed;
}

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
