// End-to-end tests of what a run says about itself: the root causes said once
// and up front, the per-entry warnings, the closing summary on standard error,
// and the exit status with --strict.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_e2e_support.h"
#include "test_support.h"

namespace {

using namespace run_e2e;
using test_support::RunResult;
using test_support::ScratchDir;

// The diagnostic lines of a run, the closing summary included.
std::vector<std::string> diagnostic_lines(const RunResult& run) { return lines_of(run.err + run.summary); }

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

MethodFile one_component() {
    MethodFile m;
    m.components = {{"K40", "Bq"}};
    m.rois[0] = roi(300, 330);
    return m;
}

// A folder ready to run: a method without standard spectra, one good spectrum.
void ready(const ScratchDir& dir, const std::string& config) {
    dir.write("dose.txt", kDoseUnit);
    dir.write("m.txt", one_component().text());
    dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
    dir.write("config.txt", config);
}

// Each case: what the folder holds, and what standard error must say, in
// order (one part of each line), with the exit status of a bare run and of
// one with --strict.
TEST(RunOutcome, RootCausesAndWarningsAreSaidOnceInOrder) {
    struct Case {
        const char* name;
        std::string config;          // empty: no config.txt at all
        bool method_file = true;
        std::vector<std::string> said;  // a part of each diagnostic line, in order
        int strict_status;
    };
    const std::vector<Case> cases = {
        {"no config.txt: said first, before dose.txt", "", true,
         {"config.txt: cannot be opened", "dose.txt: cannot be opened"}, 3},
        {"no method file: the run has no components", "absent.txt *s.txt\n", true,
         {"absent.txt: method file cannot be opened", "the run has no components"}, 3},
        {"no standard spectra: said once before the first failure", "m.txt *s.txt *s.txt\n", true,
         {"m.txt: every evaluation will fail because component 'K40' has no usable standard",
          "s.txt: the fit failed", "s.txt: the fit failed", "summary: 2 entries, 2 evaluations: 2 with a failed fit"},
         3},
        {"no standard spectra, nothing evaluated: nothing to say", "m.txt s.txt\n", true, {}, 0},
        {"weight 0 and a negative weight", "m.txt ^0 ^-2 ^x s.txt\n", true,
         {"config.txt: weight entry '^0' sets the weight to 0",
          "config.txt: weight entry '^-2' sets a negative weight",
          "config.txt: weight entry '^x' does not scan"},
         0},
        {"a name with a blank", "m.txt my soil.txt\n", true,
         {"my: cannot be opened", "soil.txt: cannot be opened",
          "names cannot contain white space; did you mean 'my soil.txt'?", "summary: 2 entries, 0 evaluations: 2 skipped"},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool strict : {false, true}) {
            ScratchDir dir;
            ready(dir, c.config);
            if (c.config.empty()) std::filesystem::remove(dir.path() / "config.txt");
            std::filesystem::remove(dir.path() / "dose.txt");
            if (!c.config.empty()) dir.write("dose.txt", kDoseUnit);
            dir.write("my soil.txt", spectrum(1000, 1000, bin4(100)));
            const RunResult run = test_support::run_assay_in(
                dir.path(), strict ? std::vector<std::string>{"--strict"} : std::vector<std::string>{});
            const std::vector<std::string> lines = diagnostic_lines(run);
            size_t at = 0;
            for (const std::string& part : c.said) {
                while (at < lines.size() && !holds(lines[at], part)) ++at;
                EXPECT_LT(at, lines.size()) << "not said (in this order): " << part << "\n" << run.err << run.summary;
            }
            if (c.said.empty()) {
                EXPECT_EQ(run.err + run.summary, "");
            }
            EXPECT_EQ(run.exit_status, strict ? c.strict_status : 0);
        }
    }
}

// A sum whose live time is below one second is said to give infinite or
// undefined values, which the table then shows.
TEST(RunOutcome, ZeroLiveTimeIsSaid) {
    ScratchDir dir;
    ready(dir, "m.txt *short.txt\n");
    dir.write("short.txt", test_support::spectrum_text(999999, 999999, bin4(100)));
    const RunResult run = test_support::run_assay_in(dir.path());
    EXPECT_TRUE(holds(run.err, "short.txt: the sum evaluated by entry '*short.txt' has a live time of 0 s (999999 us)"))
        << run.err;
}

// The summary is the last line and only where something was skipped, failed
// or flagged; --strict turns a skipped entry, a failed fit or an incomplete
// dose.txt into status 3, and leaves a clean run at 0.
TEST(RunOutcome, SummaryAndStrictStatus) {
    struct Case {
        const char* name;
        std::string config;
        std::string dose;
        bool summary;
        int strict_status;
    };
    const std::vector<Case> cases = {
        {"clean run", "m.txt s.txt +s.txt\n", kDoseUnit, false, 0},
        {"skipped entry", "m.txt +s.txt +gone.txt\n", kDoseUnit, true, 3},
        {"incomplete dose.txt", "m.txt s.txt\n", "1 0 0\n", false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        dir.write("m.txt", one_component().text());
        dir.write("s.txt", spectrum(1000, 1000, bin4(100)));
        dir.write("dose.txt", c.dose);
        dir.write("config.txt", c.config);
        const RunResult bare = test_support::run_assay_in(dir.path());
        EXPECT_EQ(bare.exit_status, 0);
        EXPECT_EQ(!bare.summary.empty(), c.summary) << bare.summary;
        if (c.summary) {
            EXPECT_TRUE(holds(bare.summary, "1 skipped")) << bare.summary;
        }
        EXPECT_EQ(test_support::run_assay_in(dir.path(), {"--strict"}).exit_status, c.strict_status);
    }
}

}  // namespace
