// The results database as runs write it: the same values as the report, a
// rerun that adds nothing, a killed run that leaves whole entries only, and
// runs side by side that all land.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "store/sqlite.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::lines_of;
using test_support::ScratchDir;

// The bundled example: 8 evaluations of 5 components.
constexpr int kDemoEvaluations = 8;
constexpr int kDemoComponents = 5;

void copy_demo(const fs::path& to) {
    fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples/demo", to, fs::copy_options::recursive);
}

sqlite::Database open_database(const fs::path& path) {
    Expected<sqlite::Database> database = sqlite::Database::open(path.string(), false, 10000);
    if (!database) throw std::runtime_error(database.error().message);
    return std::move(*database);
}

// The one value of a query, as text (empty for NULL).
std::string value(sqlite::Database& database, const std::string& sql) {
    Expected<sqlite::Statement> statement = database.prepare(sql);
    if (!statement) throw std::runtime_error(statement.error().message + ": " + sql);
    const Expected<sqlite::Step> step = statement->step();
    if (!step || *step != sqlite::Step::row) throw std::runtime_error("no row: " + sql);
    return statement->text(0);
}

int count(sqlite::Database& database, const std::string& table) {
    return std::stoi(value(database, "SELECT count(*) FROM " + table));
}

// A report value and the database's agree: both null, the same text, or
// the same float (the report writes floats in their shortest form).
void expect_same(sqlite::Database& database, const std::string& report_line, const std::string& path,
                 const std::string& sql) {
    Expected<sqlite::Statement> both = database.prepare("SELECT json_extract(?1, ?2), (" + sql + ")");
    ASSERT_TRUE(both) << both.error().message << ": " << sql;
    both->bind(1, report_line).bind(2, path);
    ASSERT_TRUE(both->step());
    ASSERT_EQ(both->is_null(0), both->is_null(1)) << path << " vs " << sql;
    if (both->is_null(0)) return;
    const std::string reported = both->text(0);
    const std::string stored = both->text(1);
    if (reported == stored) return;
    EXPECT_EQ(static_cast<float>(both->real(0)), static_cast<float>(both->real(1)))
        << path << ": " << reported << " vs " << stored;
}

TEST(ResultsDatabase, EveryReportValueIsTheDatabases) {
    const ScratchDir dir;
    copy_demo(dir.path() / "station");
    const fs::path work = dir.path() / "station";
    const test_support::RunResult run =
        test_support::run_assay_in(work, {"--report", "report.jsonl", "--plot", "pictures", "--db", "r.db"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    sqlite::Database database = open_database(work / "r.db");
    EXPECT_EQ(value(database, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(value(database, "SELECT DISTINCT station FROM evaluation"), "station");

    const struct {
        const char* report;  // JSON path in an evaluate line
        const char* column;  // of evaluation
    } fields[] = {
        {"$.row", "row_number"}, {"$.entry", "entry"}, {"$.measurement_start", "measurement_start"},
        {"$.measurement_end", "measurement_end"}, {"$.live_time_s", "live_time_s"},
        {"$.real_time_us", "real_time_us"}, {"$.dead_time_percent", "dead_time_percent"},
        {"$.weight", "weight"}, {"$.qfit", "qfit"}, {"$.gain", "gain"}, {"$.p_value", "p_value"},
        {"$.chi_square_per_dof", "chi_square_per_dof"}, {"$.dose_rate", "dose_rate"},
        {"$.summary_activity", "summary_activity"}, {"$.status", "status"},
        {"$.sum_of", "json(sum_of)"}, {"$.unknown_found", "unknown_found"},
        {"$.gain_at_scan_edge", "gain_at_scan_edge"}, {"$.fit_poor", "fit_poor"},
        {"$.dose_dead_time_over_limit", "dose_dead_time_over_limit"}, {"$.over_partial_limit", "limit_status & 1"},
        {"$.over_total_limit", "limit_status >> 1 & 1"}, {"$.summary_fraction", "summary_fraction"},
        {"$.live_time_us", "live_time_us"}, {"$.real_time_s", "real_time_s"},
    };
    const struct {
        const char* report;  // key of a component in the report
        const char* column;  // of component
    } component_fields[] = {
        {"name", "name"}, {"unit", "unit"}, {"activity", "activity"}, {"activity_sd", "activity_sd"},
        {"decision_threshold", "decision_threshold"}, {"detection_limit", "detection_limit"},
        {"detected", "detected"}, {"below_method_limit", "below_method_limit"},
        {"over_limit", "over_limit"}, {"count_rate_cpm", "count_rate_cpm"}, {"uncertainty", "uncertainty"},
        {"best_estimate", "best_estimate"}, {"coverage_interval[0]", "coverage_lower"},
        {"coverage_interval[1]", "coverage_upper"},
    };
    const std::vector<std::string> table = lines_of(test_support::read_file(work / "result.txt"));
    int evaluations = 0;
    for (const std::string& line : lines_of(test_support::read_file(work / "report.jsonl"))) {
        if (line.find("\"status\":\"evaluated\"") == std::string::npos) continue;
        ++evaluations;
        const std::string index = value(database, "SELECT json_extract('" + line + "', '$.index')");
        const std::string where = " FROM evaluation WHERE entry_index = " + index;
        SCOPED_TRACE("entry " + index);
        for (const auto& field : fields) {
            expect_same(database, line, field.report, std::string("SELECT ") + field.column + where);
        }
        EXPECT_EQ(value(database, "SELECT json_array_length('" + line + "', '$.unknown_peaks')"),
                  value(database, "SELECT unknown_peaks" + where));
        // The row as result.txt has it (after the header and two empty lines),
        // the picture where the run drew it.
        const int row = std::stoi(value(database, "SELECT row_number" + where));
        EXPECT_EQ(value(database, "SELECT row_text" + where), table.at(2 + static_cast<size_t>(row)));
        // An absolute path (a Windows build's when it runs under Wine).
        const std::string picture = value(database, "SELECT picture" + where);
        const std::string drawn = value(database, "SELECT json_extract('" + line + "', '$.picture')");
        const std::string work_name = work.filename().string();
        EXPECT_TRUE(std::regex_match(picture, std::regex("(/|[A-Z]:\\\\).*" + work_name + "[/\\\\]pictures[/\\\\]" + drawn)))
            << picture;
        for (int i = 0; i < kDemoComponents; ++i) {
            const std::string position = std::to_string(i);
            for (const auto& field : component_fields) {
                std::string path = "$.components[";
                path += position + "]." + field.report;
                expect_same(database, line, path,
                            "SELECT c." + std::string(field.column) +
                                " FROM component c JOIN evaluation e ON c.evaluation_id = e.id WHERE "
                                "e.entry_index = " + index + " AND c.position = " + position);
            }
            // Named in the row's list of interfered components.
            const std::string named = "SELECT EXISTS(SELECT 1 FROM json_each('" + line +
                                      "', '$.interfered') WHERE value = json_extract('" + line +
                                      "', '$.components[" + position + "].name'))";
            EXPECT_EQ(value(database, named),
                      value(database, "SELECT coalesce(c.interfered, 0) FROM component c JOIN evaluation e ON "
                                      "c.evaluation_id = e.id WHERE e.entry_index = " + index +
                                      " AND c.position = " + position));
        }
    }
    EXPECT_EQ(evaluations, kDemoEvaluations);
    EXPECT_EQ(count(database, "evaluation"), kDemoEvaluations);
}

// The same directory again adds nothing; a changed spectrum file adds the
// evaluations whose sums hold it (grass_1.txt: only *grass_3.txt's) and
// leaves the earlier ones.
TEST(ResultsDatabase, RerunReplacesItsOwnRowsOnly) {
    const ScratchDir dir;
    copy_demo(dir.path() / "station");
    const fs::path work = dir.path() / "station";
    const std::string db = (dir.path() / "r.db").string();
    const struct {
        const char* change;
        int runs, evaluations;
    } steps[] = {{"first run", 1, 8}, {"same inputs", 1, 8}, {"grass_1.txt changed", 2, 9}, {"again", 2, 9}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.change);
        if (std::string(step.change) == "grass_1.txt changed") {
            std::fstream(work / "grass_1.txt", std::ios::app) << "\n";
        }
        ASSERT_EQ(test_support::run_assay_in(work, {"--db", db}).exit_status, 0);
        sqlite::Database database = open_database(db);
        EXPECT_EQ(count(database, "run"), step.runs);
        EXPECT_EQ(count(database, "evaluation"), step.evaluations);
        EXPECT_EQ(count(database, "component"), step.evaluations * kDemoComponents);
    }
}

// Killed part-way, the database holds a prefix of the evaluations, each
// with all its components.
TEST(ResultsDatabase, KilledRunLeavesWholeEntriesOnly) {
    constexpr int kEvaluations = 3000;
    const ScratchDir dir;
    copy_demo(dir.path() / "station");
    const fs::path work = dir.path() / "station";
    std::string config = "envmon.cal\n";
    for (int i = 0; i < kEvaluations; ++i) config += i % 2 ? "*soil_a.txt\n" : "*fallout.txt\n";
    std::ofstream(work / "config.txt", std::ios::binary) << config;
    const test_support::KilledRun killed =
        test_support::run_assay_killed_in(work, "result.txt", 3 + 100, 120.0, {"--db", "r.db", "--threads", "2"});
    ASSERT_TRUE(killed.killed) << "the run ended before it could be killed";
    sqlite::Database database = open_database(work / "r.db");
    EXPECT_EQ(value(database, "PRAGMA integrity_check"), "ok");
    const int stored = count(database, "evaluation");
    EXPECT_GE(stored, 1);
    EXPECT_LT(stored, kEvaluations);
    // Entries 1, 2, ... without a gap, and every one whole.
    EXPECT_EQ(value(database, "SELECT min(entry_index) FROM evaluation"), "1");
    EXPECT_EQ(value(database, "SELECT max(entry_index) FROM evaluation"), std::to_string(stored));
    EXPECT_EQ(count(database, "component"), stored * kDemoComponents);
    EXPECT_EQ(value(database, "SELECT count(*) FROM evaluation e WHERE (SELECT count(*) FROM component c "
                              "WHERE c.evaluation_id = e.id) != 5"),
              "0");
}

std::string station(int i) {
    std::string name = "s";
    name += std::to_string(i);
    return name;
}

// Eight runs into one database at once, as GNU parallel -j8 starts them.
TEST(ResultsDatabase, EightRunsSideBySideAllLand) {
    constexpr int kRuns = 8;
    const ScratchDir dir;
    const std::string db = (dir.path() / "network.db").string();
    for (int i = 0; i < kRuns; ++i) copy_demo(dir.path() / station(i));
    std::vector<int> statuses(kRuns, -1);
    std::vector<std::thread> runs;
    for (int i = 0; i < kRuns; ++i) {
        runs.emplace_back([&, i] {
            statuses[i] = test_support::run_assay_in(dir.path() / station(i),
                                                     {"--db", db, "--threads", "1"})
                              .exit_status;
        });
    }
    for (std::thread& run : runs) run.join();
    for (int i = 0; i < kRuns; ++i) EXPECT_EQ(statuses[i], 0) << "s" << i;
    sqlite::Database database = open_database(db);
    EXPECT_EQ(count(database, "station"), kRuns);
    EXPECT_EQ(count(database, "run"), kRuns);
    EXPECT_EQ(value(database, "SELECT count(*) FROM (SELECT station FROM evaluation GROUP BY station HAVING "
                              "count(*) = 8)"),
              std::to_string(kRuns));
    EXPECT_EQ(count(database, "component"), kRuns * kDemoEvaluations * kDemoComponents);
}

}  // namespace
