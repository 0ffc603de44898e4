// The trend site opened in a real browser (Chromium, headless; skipped
// without it): no console errors, one chart per series, and every number
// drawn is the database's.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "store/sqlite.h"
#include "test_support.h"
#include "trend/trend.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

using Series = std::map<std::string, std::vector<std::pair<std::string, float>>>;  // (time, value)

const char* chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (fs::exists(path)) return path;
    }
    return nullptr;
}

// What the browser made of a page: its DOM, and its console's complaints
// (a script error, or an attribute it could not read, such as a NaN
// coordinate).
struct Loaded {
    std::string dom;
    std::vector<std::string> console;
};

Loaded load(const fs::path& page, const fs::path& profile) {
    const test_support::RunResult run = test_support::run_program(
        chromium(),
        {"--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile.string(),
         "--enable-logging=stderr", "--v=0", "--dump-dom", "file://" + page.string()},
        page.parent_path());
    Loaded loaded{run.out, {}};
    for (const std::string& line : test_support::lines_of(run.err)) {
        if (line.find(":CONSOLE") != std::string::npos) loaded.console.push_back(line);
    }
    return loaded;
}

// The marks of each chart in the DOM.
Series drawn(const std::string& dom, int* charts) {
    Series series;
    *charts = 0;
    const std::regex chart(R"re(<svg class="series" data-series="([^"]*)")re");
    const std::regex mark(R"re(data-time="([^"]*)" data-value="([^"]*)")re");
    std::vector<std::pair<size_t, std::string>> starts;
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), chart); it != std::sregex_iterator(); ++it) {
        starts.emplace_back(static_cast<size_t>(it->position()), (*it)[1]);
        ++*charts;
    }
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1].first : dom.size();
        const std::string body = dom.substr(starts[i].first, end - starts[i].first);
        auto& points = series[starts[i].second];
        for (auto it = std::sregex_iterator(body.begin(), body.end(), mark); it != std::sregex_iterator(); ++it) {
            points.emplace_back((*it)[1], std::stof((*it)[2]));
        }
        std::sort(points.begin(), points.end());
    }
    return series;
}

// The same from the database, with SQLite's own date arithmetic.
Series stored(const fs::path& db) {
    Expected<sqlite::Database> database = sqlite::Database::open(db.string(), false, 10000);
    if (!database) throw std::runtime_error(database.error().message);
    const char* time = "strftime('%Y-%m-%dT%H:%M:%S', e.start_seconds, 'unixepoch') || "
                       "CASE WHEN e.start_utc THEN 'Z' ELSE '' END";
    Series series;
    const std::string queries[] = {
        std::string("SELECT 'dose rate', ") + time + ", dose_rate FROM evaluation e WHERE dose_rate IS NOT NULL",
        std::string("SELECT c.name, ") + time +
            ", c.activity FROM component c JOIN evaluation e ON c.evaluation_id = e.id WHERE c.activity IS NOT NULL",
    };
    for (const std::string& sql : queries) {
        Expected<sqlite::Statement> rows = database->prepare(sql);
        if (!rows) throw std::runtime_error(rows.error().message);
        while (*rows->step() == sqlite::Step::row) {
            series[rows->text(0)].emplace_back(rows->text(1), static_cast<float>(rows->real(2)));
        }
    }
    for (auto& [name, points] : series) std::sort(points.begin(), points.end());
    return series;
}

TEST(TrendSite, OpensInABrowserWithTheDatabasesNumbers) {
    if (chromium() == nullptr) GTEST_SKIP() << "chromium not found (apt-get install chromium)";
    const ScratchDir dir;
    const fs::path db = dir.path() / "network.db";
    fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples/demo", dir.path() / "graz", fs::copy_options::recursive);
    ASSERT_EQ(test_support::run_assay_in(dir.path() / "graz", {"--db", db.string(), "--plot", "pictures"}).exit_status, 0);
    const test_support::RunResult trend =
        test_support::run_assay_in(dir.path(), {"trend", "--db", db.string(), "--out", "site"});
    ASSERT_EQ(trend.exit_status, 0) << trend.err;

    const Loaded index = load(dir.path() / "site/index.html", dir.path() / "profile");
    EXPECT_EQ(index.console, std::vector<std::string>{});
    EXPECT_NE(index.dom.find("href=\"station-graz.html\""), std::string::npos);

    const Loaded page = load(dir.path() / "site/station-graz.html", dir.path() / "profile");
    EXPECT_EQ(page.console, std::vector<std::string>{});
    int charts = 0;
    const Series on_page = drawn(page.dom, &charts);
    EXPECT_EQ(charts, 1 + 5);  // the dose rate and the demo's five components
    const Series in_db = stored(db);
    EXPECT_EQ(on_page, in_db);
    EXPECT_EQ(in_db.at("dose rate").size(), 8u);

    // Flagged marks link to pictures that exist.
    const std::regex link(R"re(<a href="([^"]*)"><g class="mark [a-z-]+ flagged")re");
    int links = 0;
    for (auto it = std::sregex_iterator(page.dom.begin(), page.dom.end(), link); it != std::sregex_iterator(); ++it) {
        EXPECT_TRUE(fs::is_regular_file(dir.path() / "site" / (*it)[1].str())) << (*it)[1];
        ++links;
    }
    EXPECT_GT(links, 0);
}

// Page names are safe file names, and names that differ keep apart.
TEST(TrendSite, StationPageNamesAreSafeAndDistinct) {
    const std::vector<std::string> stations = {"graz", "a b", "a_b", "../x", "", "Zürich", ".hidden"};
    std::vector<std::string> names;
    for (const std::string& station : stations) {
        const std::string name = station_page_name(station);
        SCOPED_TRACE(station);
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"),
                  std::string::npos);
        EXPECT_EQ(name.rfind("station-", 0), 0u);
        names.push_back(name);
    }
    EXPECT_EQ(names[0], "station-graz.html");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}

}  // namespace
