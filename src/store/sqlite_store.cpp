// The store in SQLite. One component of one station over a time range is
// what a chart of the trend pages reads: the components are kept in a table
// ordered by station, position in the method and start time (a clustered
// key, as a server database would keep it), and the evaluations have an
// index that holds everything a series of them needs.
#include <algorithm>
#include <map>

#include "core/text.h"
#include "store/sqlite.h"
#include "store/store.h"

namespace {

constexpr int kBusyTimeoutMs = 60000;
constexpr int64_t kDay = 86400;

constexpr const char* kSchema = R"sql(
CREATE TABLE station(
  name TEXT PRIMARY KEY
);
CREATE TABLE station_component(
  station TEXT NOT NULL REFERENCES station(name),
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  unit TEXT NOT NULL,
  PRIMARY KEY (station, position, name, unit)
) WITHOUT ROWID;
CREATE TABLE run(
  id INTEGER PRIMARY KEY,
  station TEXT NOT NULL REFERENCES station(name),
  working_directory TEXT NOT NULL,
  start_time TEXT NOT NULL,
  program_version TEXT NOT NULL,
  method_file TEXT NOT NULL,
  options TEXT NOT NULL
);
CREATE TABLE evaluation(
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES run(id),
  station TEXT NOT NULL REFERENCES station(name),
  entry_index INTEGER NOT NULL,
  files_sha256 TEXT NOT NULL,
  row_number INTEGER NOT NULL,
  entry TEXT NOT NULL,
  sum_of TEXT NOT NULL,
  status TEXT NOT NULL CHECK (status IN ('evaluated', 'analysis_failed')),
  measurement_start TEXT,
  measurement_end TEXT,
  start_seconds INTEGER NOT NULL,
  end_seconds INTEGER NOT NULL,
  start_utc INTEGER NOT NULL,
  start_time_source TEXT NOT NULL CHECK (start_time_source IN ('file', 'modified', 'run')),
  live_time_s INTEGER NOT NULL,
  real_time_s INTEGER NOT NULL,
  live_time_us INTEGER NOT NULL,
  real_time_us INTEGER NOT NULL,
  dead_time_percent REAL,
  weight REAL,
  qfit REAL,
  gain REAL,
  chi_square_per_dof REAL,
  p_value REAL,
  dose_rate REAL,
  dose_unit TEXT,
  flagged INTEGER NOT NULL,
  unknown_found INTEGER,
  gain_at_scan_edge INTEGER,
  fit_poor INTEGER,
  over_limit INTEGER NOT NULL,
  dose_dead_time_over_limit INTEGER,
  limit_status INTEGER NOT NULL,
  unknown_peaks INTEGER NOT NULL DEFAULT 0,
  summary_activity REAL,
  summary_fraction REAL,
  component_count INTEGER NOT NULL,
  row_text TEXT NOT NULL,
  picture TEXT,
  UNIQUE (station, entry_index, files_sha256)
);
CREATE INDEX evaluation_series ON evaluation(
  station, start_seconds, id, dose_rate, flagged, start_utc, start_time_source, dose_unit, picture);
CREATE INDEX evaluation_run ON evaluation(run_id);
CREATE TABLE component(
  station TEXT NOT NULL,
  start_seconds INTEGER NOT NULL,
  evaluation_id INTEGER NOT NULL REFERENCES evaluation(id),
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  unit TEXT NOT NULL,
  activity REAL,
  activity_sd REAL,
  decision_threshold REAL,
  detection_limit REAL,
  uncertainty REAL,
  best_estimate REAL,
  coverage_lower REAL,
  coverage_upper REAL,
  detected INTEGER,
  below_method_limit INTEGER,
  interfered INTEGER,
  over_limit INTEGER NOT NULL,
  count_rate_cpm REAL,
  PRIMARY KEY (station, position, start_seconds, evaluation_id)
) WITHOUT ROWID;
)sql";

std::optional<int64_t> optional_flag(const std::optional<bool>& flag) {
    if (!flag) return std::nullopt;
    return int64_t{*flag};
}

std::optional<bool> flag_column(const sqlite::Statement& row, int column) {
    if (row.is_null(column)) return std::nullopt;
    return row.integer(column) != 0;
}

class SqliteStore final : public ResultStore {
public:
    explicit SqliteStore(sqlite::Database database) : database_(std::move(database)) {}

    Status write(const StoredRun& run, const StoredEvaluation& evaluation) override;
    Expected<std::vector<StationSummary>> stations(int64_t reference_seconds) override;
    Expected<std::vector<SeriesPoint>> series(const std::string& station, int64_t from, int64_t to) override;
    Expected<std::vector<ComponentName>> components(const std::string& station) override;
    Expected<std::vector<ComponentPoint>> component_series(const std::string& station, const std::string& name,
                                                           int64_t from, int64_t to) override;

private:
    Status replace_earlier(const StoredEvaluation& evaluation, const std::string& station);
    Expected<int64_t> insert_run(const StoredRun& run);
    Status insert(const StoredEvaluation& evaluation, const std::string& station, int64_t run_id);
    // Prepared once per store, on first use.
    Expected<sqlite::Statement*> statement(const char* sql);

    sqlite::Database database_;
    std::map<const char*, sqlite::Statement> statements_;
    std::optional<int64_t> run_id_;  // the run's row, once committed
};

Expected<sqlite::Statement*> SqliteStore::statement(const char* sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        Expected<sqlite::Statement> prepared = database_.prepare(sql);
        if (!prepared) return prepared.error();
        found = statements_.emplace(sql, std::move(*prepared)).first;
    }
    found->second.reset();
    return &found->second;
}

// Runs a statement that returns no rows, or returns its failure from the
// calling function.
#define STORE_TRY(expression)                                            \
    do {                                                                 \
        if (Status status_ = (expression); !status_) return Failure{status_.error()}; \
    } while (false)

Expected<int64_t> SqliteStore::insert_run(const StoredRun& run) {
    auto insert = statement(
        "INSERT INTO run(station, working_directory, start_time, program_version, method_file, options) "
        "VALUES (?, ?, ?, ?, ?, ?)");
    if (!insert) return insert.error();
    (*insert)->bind(1, run.station).bind(2, run.working_directory).bind(3, run.start_time);
    (*insert)->bind(4, run.program_version).bind(5, run.method_file).bind(6, run.options);
    STORE_TRY((*insert)->run());
    return database_.last_insert_rowid();
}

Status SqliteStore::replace_earlier(const StoredEvaluation& evaluation, const std::string& station) {
    auto earlier = statement(
        "SELECT id, start_seconds, run_id, component_count FROM evaluation WHERE station = ? AND "
        "entry_index = ? AND files_sha256 = ?");
    if (!earlier) return earlier.error();
    sqlite::Statement& found = **earlier;
    found.bind(1, station).bind(2, int64_t{evaluation.entry_index}).bind(3, evaluation.files_sha256);
    const Expected<sqlite::Step> step = found.step();
    if (!step) return step.error();
    if (*step == sqlite::Step::done) return {};
    const int64_t id = found.integer(0), start = found.integer(1), run_id = found.integer(2);
    const int64_t count = found.integer(3);
    found.reset();

    for (int64_t position = 0; position < count; ++position) {
        auto component = statement(
            "DELETE FROM component WHERE station = ? AND position = ? AND start_seconds = ? AND evaluation_id = ?");
        if (!component) return component.error();
        STORE_TRY((*component)->bind(1, station).bind(2, position).bind(3, start).bind(4, id).run());
    }
    auto row = statement("DELETE FROM evaluation WHERE id = ?");
    if (!row) return row.error();
    STORE_TRY((*row)->bind(1, id).run());
    // The earlier run's own row goes with its last evaluation.
    auto orphan = statement(
        "DELETE FROM run WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM evaluation WHERE run_id = ?1)");
    if (!orphan) return orphan.error();
    return (*orphan)->bind(1, run_id).run();
}

Status SqliteStore::insert(const StoredEvaluation& e, const std::string& station, int64_t run_id) {
    auto row = statement(
        "INSERT INTO evaluation(run_id, station, entry_index, files_sha256, row_number, entry, sum_of, "
        "status, measurement_start, measurement_end, start_seconds, end_seconds, start_utc, "
        "start_time_source, live_time_s, real_time_s, live_time_us, real_time_us, dead_time_percent, "
        "weight, qfit, gain, chi_square_per_dof, p_value, dose_rate, dose_unit, flagged, unknown_found, "
        "gain_at_scan_edge, fit_poor, over_limit, dose_dead_time_over_limit, limit_status, "
        "unknown_peaks, summary_activity, summary_fraction, row_text, picture, component_count) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, "
        "?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29, ?30, ?31, ?32, ?33, ?34, ?35, ?36, ?37, ?38, ?39)");
    if (!row) return row.error();
    sqlite::Statement& s = **row;
    const auto optional_text = [&s](int position, const std::optional<std::string>& text) {
        if (text) {
            s.bind(position, std::string_view(*text));
        } else {
            s.bind_null(position);
        }
    };
    s.bind(1, run_id).bind(2, station).bind(3, int64_t{e.entry_index}).bind(4, e.files_sha256);
    s.bind(5, int64_t{e.row}).bind(6, e.entry).bind(7, e.sum_of);
    s.bind(8, e.analysis_failed ? "analysis_failed" : "evaluated");
    optional_text(9, e.measurement_start);
    optional_text(10, e.measurement_end);
    s.bind(11, e.start_seconds).bind(12, e.end_seconds).bind(13, int64_t{e.start_utc});
    s.bind(14, e.start_time_source);
    s.bind(15, static_cast<int64_t>(e.live_time_s)).bind(16, static_cast<int64_t>(e.real_time_s));
    s.bind(17, static_cast<int64_t>(e.live_time_us)).bind(18, static_cast<int64_t>(e.real_time_us));
    s.bind(19, e.dead_time_percent).bind(20, e.weight).bind(21, e.qfit).bind(22, e.gain);
    s.bind(23, e.chi_square_per_dof).bind(24, e.p_value).bind(25, e.dose_rate);
    optional_text(26, e.dose_unit.empty() ? std::nullopt : std::optional<std::string>(e.dose_unit));
    s.bind(27, int64_t{e.flagged}).bind(28, optional_flag(e.unknown_found));
    s.bind(29, optional_flag(e.gain_at_scan_edge)).bind(30, optional_flag(e.fit_poor)).bind(31, int64_t{e.over_limit});
    s.bind(32, optional_flag(e.dose_dead_time_over_limit)).bind(33, int64_t{e.limit_status});
    s.bind(34, int64_t{e.unknown_peaks}).bind(35, e.summary_activity).bind(36, e.summary_fraction);
    s.bind(37, e.row_text);
    optional_text(38, e.picture.empty() ? std::nullopt : std::optional<std::string>(e.picture));
    s.bind(39, static_cast<int64_t>(e.components.size()));
    STORE_TRY(s.run());
    const int64_t evaluation_id = database_.last_insert_rowid();

    auto component = statement(
        "INSERT INTO component(station, start_seconds, evaluation_id, position, name, unit, activity, "
        "activity_sd, decision_threshold, detection_limit, uncertainty, best_estimate, coverage_lower, "
        "coverage_upper, detected, below_method_limit, interfered, over_limit, count_rate_cpm) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19)");
    if (!component) return component.error();
    for (size_t i = 0; i < e.components.size(); ++i) {
        const StoredComponent& c = e.components[i];
        sqlite::Statement& t = **component;
        t.reset();
        t.bind(1, station).bind(2, e.start_seconds).bind(3, evaluation_id).bind(4, static_cast<int64_t>(i));
        t.bind(5, c.name).bind(6, c.unit).bind(7, c.activity).bind(8, c.activity_sd);
        t.bind(9, c.decision_threshold).bind(10, c.detection_limit).bind(11, c.uncertainty);
        t.bind(12, c.best_estimate).bind(13, c.coverage_lower).bind(14, c.coverage_upper);
        t.bind(15, optional_flag(c.detected)).bind(16, optional_flag(c.below_method_limit));
        t.bind(17, optional_flag(c.interfered)).bind(18, int64_t{c.over_limit}).bind(19, c.count_rate_cpm);
        STORE_TRY(t.run());
        auto known = statement("INSERT OR IGNORE INTO station_component(station, position, name, unit) "
                               "VALUES (?, ?, ?, ?)");
        if (!known) return known.error();
        STORE_TRY((*known)->bind(1, station).bind(2, static_cast<int64_t>(i)).bind(3, c.name).bind(4, c.unit).run());
    }
    return {};
}

Status SqliteStore::write(const StoredRun& run, const StoredEvaluation& evaluation) {
    Expected<sqlite::Transaction> transaction = sqlite::Transaction::begin(database_, sqlite::Transaction::Kind::write);
    if (!transaction) return transaction.error();
    auto station = statement("INSERT OR IGNORE INTO station(name) VALUES (?)");
    if (!station) return station.error();
    STORE_TRY((*station)->bind(1, run.station).run());
    STORE_TRY(replace_earlier(evaluation, run.station));
    std::optional<int64_t> run_id = run_id_;
    if (!run_id) {
        Expected<int64_t> inserted = insert_run(run);
        if (!inserted) return inserted.error();
        run_id = *inserted;
    }
    STORE_TRY(insert(evaluation, run.station, *run_id));
    STORE_TRY(transaction->commit());
    run_id_ = run_id;
    return {};
}

Expected<std::vector<StationSummary>> SqliteStore::stations(int64_t reference) {
    Expected<sqlite::Transaction> snapshot = sqlite::Transaction::begin(database_, sqlite::Transaction::Kind::read);
    if (!snapshot) return snapshot.error();
    auto names = statement("SELECT name FROM station ORDER BY name");
    if (!names) return names.error();
    std::vector<StationSummary> summaries;
    for (;;) {
        const Expected<sqlite::Step> step = (*names)->step();
        if (!step) return step.error();
        if (*step == sqlite::Step::done) break;
        StationSummary summary;
        summary.station = (*names)->text(0);
        summaries.push_back(std::move(summary));
    }
    for (StationSummary& summary : summaries) {
        auto last = statement(
            "SELECT start_seconds, start_utc, dose_rate, dose_unit, (SELECT count(*) FROM evaluation "
            "WHERE station = ?1) FROM evaluation WHERE station = ?1 ORDER BY start_seconds DESC LIMIT 1");
        if (!last) return last.error();
        const Expected<sqlite::Step> step = (*last)->bind(1, summary.station).step();
        if (!step) return step.error();
        if (*step == sqlite::Step::row) {
            const sqlite::Statement& row = **last;
            summary.last_start_seconds = row.integer(0);
            summary.last_start_utc = row.integer(1) != 0;
            summary.last_dose_rate = row.optional_real(2);
            summary.dose_unit = row.text(3);
            summary.evaluations = static_cast<int>(row.integer(4));
        }
        // Flagged evaluations, and evaluations with a component detected, that
        // started within a day and within 30 days before the reference time.
        const char* flagged_sql =
            "SELECT count(*) FROM evaluation WHERE station = ? AND start_seconds > ? AND start_seconds <= ? "
            "AND flagged";
        const char* detected_sql =
            "SELECT count(DISTINCT evaluation_id) FROM component WHERE station = ?1 AND position IN "
            "(SELECT position FROM station_component WHERE station = ?1) AND start_seconds > ?2 AND "
            "start_seconds <= ?3 AND detected";
        const struct {
            const char* sql;
            int64_t span;
            int* count;
        } windows[] = {{flagged_sql, kDay, &summary.flagged_day},
                       {flagged_sql, 30 * kDay, &summary.flagged_month},
                       {detected_sql, kDay, &summary.detected_day},
                       {detected_sql, 30 * kDay, &summary.detected_month}};
        for (const auto& window : windows) {
            auto counting = statement(window.sql);
            if (!counting) return counting.error();
            (*counting)->bind(1, summary.station).bind(2, reference - window.span).bind(3, reference);
            const Expected<sqlite::Step> counted = (*counting)->step();
            if (!counted) return counted.error();
            *window.count = static_cast<int>((*counting)->integer(0));
        }
    }
    return summaries;
}

Expected<std::vector<SeriesPoint>> SqliteStore::series(const std::string& station, int64_t from, int64_t to) {
    auto points = statement(
        "SELECT id, start_seconds, start_utc, start_time_source, dose_rate, dose_unit, flagged, picture "
        "FROM evaluation WHERE station = ? AND start_seconds BETWEEN ? AND ? ORDER BY start_seconds, id");
    if (!points) return points.error();
    sqlite::Statement& p = **points;
    p.bind(1, station).bind(2, from).bind(3, to);
    std::vector<SeriesPoint> series;
    for (;;) {
        const Expected<sqlite::Step> step = p.step();
        if (!step) return step.error();
        if (*step == sqlite::Step::done) break;
        SeriesPoint point;
        point.evaluation_id = p.integer(0);
        point.start_seconds = p.integer(1);
        point.start_utc = p.integer(2) != 0;
        point.start_time_source = p.text(3);
        point.dose_rate = p.optional_real(4);
        point.dose_unit = p.text(5);
        point.flagged = p.integer(6) != 0;
        point.picture = p.text(7);
        series.push_back(std::move(point));
    }
    return series;
}

Expected<std::vector<ComponentName>> SqliteStore::components(const std::string& station) {
    auto names = statement("SELECT name, unit FROM station_component WHERE station = ? ORDER BY position, name");
    if (!names) return names.error();
    (*names)->bind(1, station);
    std::vector<ComponentName> components;
    for (;;) {
        const Expected<sqlite::Step> step = (*names)->step();
        if (!step) return step.error();
        if (*step == sqlite::Step::done) break;
        ComponentName component{(*names)->text(0), (*names)->text(1)};
        const bool seen = std::any_of(components.begin(), components.end(),
                                      [&](const ComponentName& c) { return c.name == component.name; });
        if (!seen) components.push_back(std::move(component));
    }
    return components;
}

Expected<std::vector<ComponentPoint>> SqliteStore::component_series(const std::string& station,
                                                                    const std::string& name, int64_t from,
                                                                    int64_t to) {
    // Where a method changed the components' order, the name stands at more
    // than one position: each is one range of the key.
    auto positions = statement("SELECT DISTINCT position FROM station_component WHERE station = ? AND name = ?");
    if (!positions) return positions.error();
    (*positions)->bind(1, station).bind(2, name);
    std::vector<int64_t> at;
    for (;;) {
        const Expected<sqlite::Step> step = (*positions)->step();
        if (!step) return step.error();
        if (*step == sqlite::Step::done) break;
        at.push_back((*positions)->integer(0));
    }
    std::vector<ComponentPoint> series;
    for (const int64_t position : at) {
        auto values = statement(
            "SELECT evaluation_id, start_seconds, unit, activity, activity_sd, decision_threshold, uncertainty, "
            "coverage_lower, coverage_upper, detected FROM component WHERE station = ? AND position = ? AND "
            "start_seconds BETWEEN ? AND ? AND name = ? ORDER BY start_seconds, evaluation_id");
        if (!values) return values.error();
        sqlite::Statement& c = **values;
        c.bind(1, station).bind(2, position).bind(3, from).bind(4, to).bind(5, name);
        for (;;) {
            const Expected<sqlite::Step> step = c.step();
            if (!step) return step.error();
            if (*step == sqlite::Step::done) break;
            ComponentPoint point;
            point.evaluation_id = c.integer(0);
            point.start_seconds = c.integer(1);
            StoredComponent& v = point.values;
            v.name = name;
            v.unit = c.text(2);
            v.activity = c.optional_real(3);
            v.activity_sd = c.optional_real(4);
            v.decision_threshold = c.optional_real(5);
            v.uncertainty = c.optional_real(6);
            v.coverage_lower = c.optional_real(7);
            v.coverage_upper = c.optional_real(8);
            v.detected = flag_column(c, 9);
            series.push_back(std::move(point));
        }
    }
    if (at.size() > 1) {
        std::sort(series.begin(), series.end(), [](const ComponentPoint& a, const ComponentPoint& b) {
            return std::pair(a.start_seconds, a.evaluation_id) < std::pair(b.start_seconds, b.evaluation_id);
        });
    }
    return series;
}

// Makes the tables in a new database (`create`), or checks their version.
Status apply_schema(sqlite::Database& database, bool create) {
    Expected<sqlite::Transaction> transaction = sqlite::Transaction::begin(
        database, create ? sqlite::Transaction::Kind::write : sqlite::Transaction::Kind::read);
    if (!transaction) return Failure{transaction.error().message};
    int64_t found = 0;
    {
        Expected<sqlite::Statement> version = database.prepare("PRAGMA user_version");
        if (!version) return Failure{version.error().message};
        const Expected<sqlite::Step> step = version->step();
        if (!step) return Failure{step.error().message};
        found = version->integer(0);
    }
    if (found == kStoreSchemaVersion) return {};
    if (found == 0 && !create) return Failure{"holds no results of this program"};
    if (found != 0) {
        return Failure{format("holds results of schema version %lld; this program writes version %d",
                              static_cast<long long>(found), kStoreSchemaVersion)};
    }
    if (Status made = database.execute(kSchema); !made) return made;
    if (Status set = database.execute(format("PRAGMA user_version = %d", kStoreSchemaVersion).c_str()); !set) {
        return set;
    }
    return transaction->commit();
}

}  // namespace

Expected<std::unique_ptr<ResultStore>> open_sqlite_store(const std::string& path, bool create) {
    Expected<sqlite::Database> database = sqlite::Database::open(path, create, kBusyTimeoutMs);
    if (!database) return database.error();
    // WAL: writers append while readers read; NORMAL syncs at checkpoints,
    // which a killed process cannot tear (only a power cut can lose the
    // last transactions, never half of one).
    // Pages read through a memory map, not copied by read() one by one: a
    // year of a station is some tens of megabytes.
    if (Status wal = database->execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                                       "PRAGMA mmap_size = 1073741824");
        !wal) {
        return Failure{wal.error()};
    }
    if (Status schema = apply_schema(*database, create); !schema) return Failure{schema.error()};
    return std::unique_ptr<ResultStore>(std::make_unique<SqliteStore>(std::move(*database)));
}
