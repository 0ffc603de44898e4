// End-to-end tests of long runs: a configuration of tens of thousands of
// entries over a few hundred spectrum files must give exactly one row per
// usable add-and-evaluate entry, in memory that does not grow with the number
// of entries; and a run killed part-way must leave a result.txt that is a
// prefix of the complete table, line by line, at most its last line cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "run_e2e_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using run_e2e::lines_of;
using test_support::ScratchDir;

constexpr int kSpectra = 300;

std::string numbered(const char* stem, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d.txt", stem, n);
    return name;
}

// Every 37th spectrum file stops short of its counts, so entries naming it are
// skipped like entries naming a missing file.
bool is_damaged(int n) { return n % 37 == 5; }

// One component with one narrow ROI (channels 300..310) keeps each evaluation
// cheap; its standard and the samples hold counts over 250..400 so that every
// trial gain of the scan finds counts in the ROI and the fit runs through.
std::string method_text() {
    std::string t = "load\nK40 Bq\n\n\n";
    for (int i = 0; i < 6; ++i) {
        for (int k = 0; k < 6; ++k) {
            t += i == k ? '1' : '0';
            t += k < 5 ? ' ' : '\n';
        }
    }
    t += "0 0 0 0 0 0\n";
    t += "900 930 0 0 0 0 0 0 0 0 0 0\n";
    for (int i = 0; i < 5; ++i) t += "0 0 0 0 0 0 0 0 0 0 0 0\n";
    t += "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0\n";
    t += "0\n1#std.txt\n0\n0\n0\n0\n0\n0\n";
    return t;
}

std::vector<long long> sample_counts(int n) {
    std::vector<long long> c(1024, 0);
    for (int ch = 250; ch <= 400; ++ch) {
        c[static_cast<size_t>(ch)] = (1 + n % 5) * (100 + ch) + (ch * 7 + n) % 11;
    }
    c[16] = n;  // dose bin 4
    return c;
}

// The files every generated configuration refers to.
void write_inputs(const ScratchDir& dir) {
    dir.write("dose.txt", "1 0 0 0 0\n");
    dir.write("m.txt", method_text());
    std::vector<long long> standard(1024, 0);
    for (int ch = 250; ch <= 400; ++ch) standard[static_cast<size_t>(ch)] = 100 + ch;
    dir.write("std.txt", test_support::spectrum_text(1000000000ULL, 1000000000ULL, standard));
    for (int n = 0; n < kSpectra; ++n) {
        std::string text = test_support::spectrum_text(600000000ULL + 1000000ULL * static_cast<unsigned>(n),
                                                       610000000ULL + 1000000ULL * static_cast<unsigned>(n),
                                                       sample_counts(n));
        if (is_damaged(n)) text.resize(text.size() / 2);
        dir.write(numbered("s", n), text);
    }
}

// A configuration and what it must give.
struct Workload {
    std::string config;
    std::vector<std::string> row_names;  // the add-and-evaluate entries that write a row, in order
    std::vector<std::string> skipped;    // files of the entries skipped as missing or damaged, in order
};

// `entries` entries after the method file name, of every kind: add-and-evaluate
// (10 %), weight (2 %), add (32 %) and plain (56 %), and about one entry in
// twenty-five names a file that does not exist.
Workload make_workload(int entries, uint32_t seed) {
    std::mt19937 engine(seed);
    Workload w;
    w.config = "m.txt\n";
    for (int i = 0; i < entries; ++i) {
        const uint32_t kind = engine() % 100;
        const int n = static_cast<int>(engine() % kSpectra);
        const bool missing = engine() % 25 == 0;
        const std::string file = missing ? numbered("missing", n) : numbered("s", n);
        const bool usable = !missing && !is_damaged(n);
        std::string entry;
        if (kind < 10) {
            entry = "*" + file;
            if (usable) w.row_names.push_back(entry);
        } else if (kind < 12) {
            entry = n % 2 == 0 ? "^0.5" : "^1";
        } else if (kind < 44) {
            entry = "+" + file;
        } else {
            entry = file;
        }
        const bool weight = kind >= 10 && kind < 12;  // these always scan
        if (!weight && !usable) w.skipped.push_back(file);
        w.config += entry + (i % 8 == 7 ? "\n" : " ");
    }
    w.config += "\n";
    return w;
}

// The first field of every result row (rows follow the header and two empty lines).
std::vector<std::string> row_names_of(const std::string& result) {
    std::vector<std::string> names;
    const std::vector<std::string> lines = lines_of(result);
    for (size_t i = 3; i < lines.size(); ++i) names.push_back(lines[i].substr(0, lines[i].find('\t')));
    return names;
}

// A build with AddressSanitizer holds freed memory back (256 MiB by default)
// to catch late uses, so its peak memory grows with every allocation however
// little is live. For the measurement the hold-back is switched off; every
// other sanitizer option stays as given.
test_support::Environment without_free_quarantine() {
    const char* given = std::getenv("ASAN_OPTIONS");
    std::string options = given != nullptr && *given != '\0' ? std::string(given) + ":" : std::string();
    return {{"ASAN_OPTIONS", options + "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"}};
}

// 20,000 entries give exactly the rows their add-and-evaluate entries call for,
// and need no more memory than 1,000 entries: nothing of an entry is kept once
// it is written. The margin allows for allocator and page noise only.
TEST(LargeRun, TwentyThousandEntriesGiveEveryRowInConstantMemory) {
    constexpr long kMarginKib = 2048;
    struct Measured {
        long peak_kib;
        size_t rows;
    };
    auto run = [](int entries) {
        ScratchDir dir;
        write_inputs(dir);
        const Workload w = make_workload(entries, 2024);
        dir.write("config.txt", w.config);
        const test_support::MeasuredRun m =
            test_support::run_assay_measured_in(dir.path(), {}, without_free_quarantine());
        EXPECT_EQ(m.run.exit_status, 0);
        const std::string result = dir.read("result.txt");
        const std::vector<std::string> names = row_names_of(result);
        EXPECT_EQ(names, w.row_names) << "rows of the run with " << entries << " entries";
        size_t console_rows = 0;
        for (const std::string& line : lines_of(m.run.out)) console_rows += line.rfind('*', 0) == 0 ? 1 : 0;
        EXPECT_EQ(console_rows, w.row_names.size());
        // One diagnostic per skipped entry, in the order of the entries, each
        // naming its file, then the summary that counts them.
        std::vector<std::string> diagnostics = lines_of(m.run.err);
        if (diagnostics.empty()) diagnostics.push_back("(no summary)");
        EXPECT_EQ(diagnostics.back().rfind("assay: summary: " + std::to_string(entries) + " entries, ", 0), 0u)
            << diagnostics.back();
        EXPECT_NE(diagnostics.back().find(": " + std::to_string(w.skipped.size()) + " skipped"),
                  std::string::npos) << diagnostics.back();
        diagnostics.pop_back();
        EXPECT_EQ(diagnostics.size(), w.skipped.size());
        for (size_t i = 0; i < diagnostics.size() && i < w.skipped.size(); ++i) {
            if (diagnostics[i].rfind("assay: " + w.skipped[i], 0) != 0) {
                ADD_FAILURE() << "diagnostic " << i << " should name " << w.skipped[i] << ": " << diagnostics[i];
                break;
            }
        }
        EXPECT_GE(m.samples, 10) << "too few memory samples to trust the peak";
        return Measured{m.peak_rss_kib, names.size()};
    };

    const Measured small = run(1000);
    const Measured large = run(20000);
    RecordProperty("peak_rss_kib_1000_entries", std::to_string(small.peak_kib));
    RecordProperty("peak_rss_kib_20000_entries", std::to_string(large.peak_kib));
    std::printf("peak memory: %ld KiB for 1,000 entries (%zu rows), %ld KiB for 20,000 entries (%zu rows)\n",
                small.peak_kib, small.rows, large.peak_kib, large.rows);
    ASSERT_GT(small.peak_kib, 0);
    ASSERT_GT(large.peak_kib, 0);
    EXPECT_LE(large.peak_kib - small.peak_kib, kMarginKib);
    EXPECT_GT(large.rows, 1500u);  // the workload is what it claims to be
}

// Every row is flushed as soon as it and all rows before it are complete: a run
// killed part-way leaves a prefix of the complete table. The complete table
// comes from the same inputs run to the end in a copy of the directory.
TEST(KilledRun, ResultFileHoldsAPrefixOfTheCompleteTable) {
    constexpr int kEvaluations = 3000;
    ScratchDir killed_dir;
    ScratchDir complete_dir;
    std::string config = "m.txt\n";
    for (int i = 0; i < kEvaluations; ++i) {
        int n = (i * 7) % kSpectra;
        if (is_damaged(n)) ++n;
        config += '*';
        config += numbered("s", n);
        config += '\n';
    }
    for (const ScratchDir* dir : {&killed_dir, &complete_dir}) {
        write_inputs(*dir);
        dir->write("config.txt", config);
    }

    const test_support::RunResult complete = test_support::run_assay_in(complete_dir.path());
    ASSERT_EQ(complete.exit_status, 0);
    const std::string full = complete_dir.read("result.txt");
    const std::vector<std::string> full_lines = lines_of(full);
    ASSERT_EQ(full_lines.size(), 3u + kEvaluations);

    // Killed once early and once about half-way; header lines count as lines.
    for (size_t wait_for : {size_t{4}, size_t{3 + kEvaluations / 2}}) {
        SCOPED_TRACE("killed after " + std::to_string(wait_for) + " lines");
        fs::remove(killed_dir.path() / "result.txt");
        const test_support::KilledRun k = test_support::run_assay_killed_in(killed_dir.path(), "result.txt", wait_for);
        ASSERT_TRUE(k.killed) << "the run ended before it could be killed (" << k.lines_seen
                              << " lines seen); make it longer";

        const std::string partial = killed_dir.read("result.txt");
        const std::vector<std::string> lines = lines_of(partial);
        std::printf("killed with %zu of %zu lines in result.txt\n", lines.size(), full_lines.size());
        ASSERT_GE(lines.size(), wait_for);
        ASSERT_LE(lines.size(), full_lines.size());
        const bool last_cut = !partial.empty() && partial.back() != '\n';
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i + 1 == lines.size() && last_cut) {
                EXPECT_EQ(full_lines[i].rfind(lines[i], 0), 0u) << "cut line " << i << " is no prefix: " << lines[i];
            } else {
                ASSERT_EQ(lines[i], full_lines[i]) << "line " << i;
            }
        }
    }
}

}  // namespace
