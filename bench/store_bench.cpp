// Benchmarks of the results database at a network's scale: a station's year
// at ten-minute spectra is about 52,000 evaluations, a network some tens of
// millions of component rows. The large databases are built once, in the
// system's temporary folder, and kept for later runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "store/sqlite.h"
#include "store/store.h"
#include "trend/trend.h"

namespace {

namespace fs = std::filesystem;

constexpr int kComponents = 6;
constexpr int64_t kTenMinutes = 600;
constexpr int64_t kYearStart = 1767225600;  // 2026-01-01T00:00:00Z
constexpr int kYear = 52560;                // ten-minute evaluations in 365 days
const char* const kNames[kComponents] = {"K-40", "Cs-137", "Ra-226", "Th-232", "I-131", "Co-60"};

std::string station_name(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "station-%03d", i);
    return name;
}

// An evaluation as a run writes it, with values that vary a little.
StoredEvaluation evaluation(int index, int64_t start) {
    StoredEvaluation e;
    e.entry_index = index;
    e.row = index;
    e.entry = "*s.txt";
    e.files_sha256 = std::to_string(start);
    e.sum_of = "[\"s.txt\"]";
    e.start_seconds = start;
    e.end_seconds = start + kTenMinutes;
    e.start_utc = true;
    e.start_time_source = kStartFromFile;
    e.measurement_start = "2026-01-01T00:00:00Z";
    e.live_time_s = e.real_time_s = 600;
    e.dose_rate = 80.0 + index % 17;
    e.flagged = index % 97 == 0;
    e.row_text = "*s.txt\t  12.34\t...";
    for (int c = 0; c < kComponents; ++c) {
        StoredComponent component;
        component.name = kNames[c];
        component.unit = "Bq";
        component.activity = 10.0 + (index * (c + 3)) % 23;
        component.activity_sd = 1.5;
        component.decision_threshold = 3.0;
        component.detection_limit = 6.1;
        component.detected = true;
        component.below_method_limit = false;
        component.count_rate_cpm = 120.0;
        e.components.push_back(std::move(component));
    }
    return e;
}

// A network database of `stations` stations with `evaluations` ten-minute
// evaluations each, written time step by time step (as the stations report)
// in one transaction with prepared statements.
fs::path network(const char* name, int stations, int evaluations) {
    const fs::path path = fs::temp_directory_path() / name;
    if (fs::exists(path)) return path;
    const fs::path building = path.string() + ".building";
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(building.string() + suffix);
    if (!open_sqlite_store(building.string(), true)) std::abort();
    Expected<sqlite::Database> db = sqlite::Database::open(building.string(), false, 60000);
    if (!db ||
        !db->execute("PRAGMA journal_mode = DELETE; PRAGMA synchronous = OFF; PRAGMA cache_size = -1000000; BEGIN")) {
        std::abort();
    }
    Expected<sqlite::Statement> run = db->prepare(
        "INSERT INTO run(station, working_directory, start_time, program_version, method_file, options) "
        "VALUES (?, '/data', '2026-01-01T00:00:00Z', '0', 'method.cal', '{}')");
    Expected<sqlite::Statement> station = db->prepare("INSERT INTO station(name) VALUES (?)");
    Expected<sqlite::Statement> known = db->prepare(
        "INSERT INTO station_component(station, position, name, unit) VALUES (?, ?, ?, 'Bq')");
    Expected<sqlite::Statement> row = db->prepare(
        "INSERT INTO evaluation(run_id, station, entry_index, files_sha256, row_number, entry, sum_of, status, "
        "start_seconds, end_seconds, start_utc, start_time_source, live_time_s, real_time_s, live_time_us, "
        "real_time_us, weight, dose_rate, flagged, unknown_found, gain_at_scan_edge, fit_poor, over_limit, "
        "dose_dead_time_over_limit, limit_status, row_text, component_count) VALUES (?1, ?2, ?3, ?4, ?3, "
        "'*s.txt', '[]', 'evaluated', ?5, ?5 + 600, 1, 'file', 600, 600, 600000000, 600000000, 1, ?6, ?7, 0, 0, "
        "0, 0, 0, 0, '', 6)");
    Expected<sqlite::Statement> component = db->prepare(
        "INSERT INTO component(station, start_seconds, evaluation_id, position, name, unit, activity, "
        "activity_sd, decision_threshold, detection_limit, detected, below_method_limit, over_limit, "
        "count_rate_cpm) VALUES (?, ?, ?, ?, ?, 'Bq', ?, 1.5, 3.0, 6.1, 1, 0, 0, 120.0)");
    if (!run || !station || !known || !row || !component) std::abort();
    for (int s = 0; s < stations; ++s) {
        station->reset();
        run->reset();
        if (!station->bind(1, station_name(s)).run() || !run->bind(1, station_name(s)).run()) std::abort();
        for (int c = 0; c < kComponents; ++c) {
            known->reset();
            if (!known->bind(1, station_name(s)).bind(2, int64_t{c}).bind(3, kNames[c]).run()) std::abort();
        }
    }
    for (int i = 0; i < evaluations; ++i) {
        const int64_t start = kYearStart + i * kTenMinutes;
        for (int s = 0; s < stations; ++s) {
            row->reset();
            row->bind(1, int64_t{s + 1}).bind(2, station_name(s)).bind(3, int64_t{i + 1});
            row->bind(4, std::to_string(start)).bind(5, start).bind(6, 80.0 + i % 17).bind(7, int64_t{i % 97 == 0});
            if (!row->run()) std::abort();
            const int64_t id = db->last_insert_rowid();
            for (int c = 0; c < kComponents; ++c) {
                component->reset();
                component->bind(1, station_name(s)).bind(2, start).bind(3, id).bind(4, int64_t{c});
                component->bind(5, kNames[c]).bind(6, 10.0 + (i * (c + 3)) % 23);
                if (!component->run()) std::abort();
            }
        }
    }
    if (!db->execute("COMMIT; PRAGMA journal_mode = WAL")) std::abort();
    fs::rename(building, path);
    return path;
}

// Each evaluation in a transaction of its own, as runs write them.
void BM_store_insert(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const fs::path path = fs::temp_directory_path() / "assay-bench-insert.db";
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix);
        Expected<std::unique_ptr<ResultStore>> store = open_sqlite_store(path.string(), true);
        if (!store) std::abort();
        const StoredRun run{"graz", "/data/graz", "2026-01-01T00:00:00Z", "0", "method.cal", "{}"};
        for (int i = 0; i < count; ++i) {
            if (!(*store)->write(run, evaluation(i + 1, kYearStart + i * kTenMinutes))) std::abort();
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_store_insert)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

// One station's year out of 32 stations' (10,091,520 component rows): the
// series of one component (one chart), and all a station page draws (the
// evaluations and six components).
void BM_station_year_series(benchmark::State& state) {
    const fs::path path = network("assay-bench-network-10M.db", 32, kYear);
    Expected<std::unique_ptr<ResultStore>> store = open_sqlite_store(path.string(), false);
    if (!store) std::abort();
    const bool whole_page = state.range(0) != 0;
    size_t points = 0;
    for (auto _ : state) {
        if (whole_page) {
            const Expected<StationSeries> series =
                station_series(**store, station_name(17), kYearStart, kYearStart + 365 * 86400LL);
            if (!series) std::abort();
            points = series->evaluations.size();
        } else {
            const Expected<std::vector<ComponentPoint>> series =
                (*store)->component_series(station_name(17), "Cs-137", kYearStart, kYearStart + 365 * 86400LL);
            if (!series) std::abort();
            points = series->size();
        }
    }
    state.counters["evaluations"] = static_cast<double>(points);
}
BENCHMARK(BM_station_year_series)->ArgNames({"whole_page"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The whole site of 100 stations with a week of ten-minute evaluations each.
void BM_trend_site(benchmark::State& state) {
    TrendOptions options;
    options.db_path = network("assay-bench-network-100.db", 100, 1008).string();
    options.out_directory = (fs::temp_directory_path() / "assay-bench-trend").string();
    options.reference = kYearStart + 7 * 86400;
    for (auto _ : state) {
        if (write_trend_site(options, stderr) != 0) std::abort();
    }
}
BENCHMARK(BM_trend_site)->Unit(benchmark::kMillisecond);

}  // namespace
