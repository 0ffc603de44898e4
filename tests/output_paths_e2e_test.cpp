// A report or picture path that is a file of the run itself: refused with
// status 2 before anything is written, whatever the path's spelling.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

// Every regular file under `dir` with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) files[entry.path().string()] = test_support::read_file(entry.path());
    }
    return files;
}

// The bundled example, whose envmon.cal names std_cs.txt, with an old
// result.txt, a configuration entry for a file that does not exist, and a
// hard link to config.txt. Its second evaluate entry, *soil_a.txt, is drawn
// as 0002__soil_a.txt.svg.
TEST(OutputPaths, ReportOrPicturesOnAFileOfTheRunAreRefused) {
    ScratchDir dir;
    fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo", dir.path(), fs::copy_options::recursive);
    dir.write("config.txt", dir.read("config.txt") + "*later.txt\n");
    dir.write("result.txt", "an older result\n");
    fs::create_directory(dir.path() / "sub");
    fs::create_hard_link(dir.path() / "config.txt", dir.path() / "linked.jsonl");
    const auto before = snapshot(dir.path());
    const std::vector<std::vector<std::string>> refused = {
        {"--report", "config.txt"},
        {"--report", "dose.txt"},
        {"--report", "envmon.cal"},
        {"--report", "std_cs.txt"},  // named by the method file
        {"--report", "envmon.cal.toml"},  // the method's metadata file, there or not
        {"--report", "./soil_a.txt"},
        {"--report", "sub/../water_1.txt"},
        {"--report", "later.txt"},  // a spectrum not there yet
        {"--report", "linked.jsonl"},
        {"--report", "result.txt"},
        {"--report", "method.txt"},  // an output not there yet
        {"--plot", "config.txt"},
        {"--plot", "method.txt"},
        {"--plot", "sub", "--report", "sub/index.html"},
        {"--plot", "sub/", "--report", "sub"},
        {"--plot", ".", "--report", "0002__soil_a.txt.svg"},
        {"--plot", "sub/..", "--report", "./0002__soil_a.txt.svg"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const test_support::RunResult run = test_support::run_assay_in(dir.path(), args);
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(test_support::lines_of(run.err).size(), 1u) << run.err;
        EXPECT_EQ(snapshot(dir.path()), before);
    }
    // Picture names that no row of this configuration takes: the second
    // evaluate entry is never row 3 or beyond.
    const test_support::RunResult run =
        test_support::run_assay_in(dir.path(), {"--plot", ".", "--report", "0003__soil_a.txt.svg"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(dir.exists("0002__soil_a.txt.svg"));
}

}  // namespace
