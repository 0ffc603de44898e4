// Spectrum files of other formats in a whole run: named in config.txt and
// referenced from the method file, they give the same table, console and
// method echo as copies of the same spectra converted to the native format
// independently; a damaged one is skipped with a diagnostic naming it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

const fs::path kSource = fs::path(ASSAY_SOURCE_DIR);
const fs::path kShared = kSource / ".." / "shared" / "data" / "real";

void copy_demo(const ScratchDir& dir) {
    fs::copy(kSource / "examples" / "demo", dir.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// The demo's method with its background and Cs-137 standard taken from the
// files `background` and `standard`.
void point_method_at(const ScratchDir& dir, const std::string& background, const std::string& standard) {
    std::string method = dir.read("envmon.cal");
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"1#bg.txt", "1#" + background},
                                   {"1#std_cs.txt", "1#" + standard}}) {
        const size_t at = method.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        method.replace(at, from.size(), to);
    }
    dir.write("envmon.cal", method);
}

// The same names in two working directories: the originals in one, their
// native copies in the other. Content decides the format, not the name.
TEST(SpectrumFormatsRun, OtherFormatsGiveTheSameResultsAsTheirNativeCopies) {
    if (!fs::exists(kShared / "orig")) GTEST_SKIP() << "no shared real data beside the repository";
    const struct {
        const char* name;
        fs::path original;
        const char* copy;
    } files[] = {
        {"bg.spe", kSource / "tests/data/real/bq/nai_detector.spe", "bq_nai_background_1h"},
        {"cs.xml", kSource / "tests/data/real/suro256/29_spectrum_EG_3X_source_Cs-137.xml", "suro256_csi_cs137_1h"},
        {"mix.xml", kSource / "tests/data/real/suro256/37_spectrum_EG_3X_source_Co-60_and_Cs-137.xml",
         "suro256_csi_co60_cs137_1h"},
        {"d3s.spe", kSource / "tests/data/real/bq/SGM102432.spe", "bq_csi_d3s_ba133_cs137"},
        {"cs.csv", kShared / "orig/uct_gamma_prac/Cs137.csv", "uct_nai_cs137"},
        {"block.spe", kShared / "orig/gammaSpec/calibration_spectrum.spe", "gs_nai_loess_block_weimar"},
        {"slag.xml", kShared / "orig/bossew_radiacode101/Bossew_spectra_03_Schlackenstein/2024-02-27_Schlackenstein.xml",
         "bossew_csi_copper_slag"},
    };
    ScratchDir originals;
    ScratchDir copies;
    for (const ScratchDir* dir : {&originals, &copies}) {
        copy_demo(*dir);
        point_method_at(*dir, "bg.spe", "cs.xml");
        dir->write("config.txt", "envmon.cal\n*mix.xml\n*d3s.spe\n+cs.csv\n*block.spe\n^0.5\n*slag.xml\n");
    }
    for (const auto& file : files) {
        originals.write(file.name, test_support::read_file(file.original));
        copies.write(file.name, test_support::read_file(kShared / (std::string(file.copy) + ".txt")));
    }
    const auto converted = test_support::run_assay_in(originals.path());
    const auto native = test_support::run_assay_in(copies.path());
    ASSERT_EQ(native.exit_status, 0) << native.err;
    ASSERT_EQ(converted.exit_status, 0) << converted.err;
    // The only difference: the export's start is on a 12-hour clock without
    // AM or PM ("Start Time:,February 29, 2024, 01:49:01"), which is said.
    std::string said = converted.err;
    const std::string start_time_line =
        "assay: cs.csv: start time (Start Time) 'February 29, 2024, 01:49:01' is on a 12-hour clock without AM or "
        "PM; read without a start time (entry '+cs.csv')\n";
    const size_t at = said.find(start_time_line);
    ASSERT_NE(at, std::string::npos) << said;
    said.erase(at, start_time_line.size());
    EXPECT_EQ(said, native.err);
    EXPECT_EQ(converted.out, native.out);
    EXPECT_EQ(originals.read("result.txt"), copies.read("result.txt"));
    EXPECT_EQ(originals.read("method.txt"), copies.read("method.txt"));
    // Four rows, none of them skipped.
    const std::string table = originals.read("result.txt");
    for (const char* entry : {"mix.xml", "d3s.spe", "block.spe", "slag.xml"}) {
        EXPECT_NE(table.find(entry), std::string::npos) << entry;
    }
}

TEST(SpectrumFormatsRun, DamagedFilesOfOtherFormatsAreSkippedWithTheirReason) {
    ScratchDir dir;
    copy_demo(dir);
    point_method_at(dir, "bg.txt", "cs.xml");
    dir.write("cs.xml",
              test_support::read_file(kSource / "tests/data/real/suro256/29_spectrum_EG_3X_source_Cs-137.xml"));
    const std::string spe = test_support::read_file(kSource / "tests/data/real/bq/SGM102432.spe");
    dir.write("broken.spe", spe.substr(0, spe.size() / 2));
    dir.write("config.txt", "envmon.cal\n*broken.spe\n*soil_a.txt\n");
    const auto run = test_support::run_assay_in(dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find("broken.spe: IAEA SPE: holds only "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("entry '*broken.spe' skipped"), std::string::npos) << run.err;
    // The referenced RadiaCode file is echoed inline in the native format.
    EXPECT_NE(dir.read("method.txt").find("3682000000\r\n3682000000\r\n0\r\n0\r\n29861\r\n65470\r\n"),
              std::string::npos);
    EXPECT_NE(dir.read("result.txt").find("soil_a.txt"), std::string::npos);
    EXPECT_EQ(dir.read("result.txt").find("broken.spe"), std::string::npos);
}

// A spectrum file beyond the input limit is there, so it is damaged, not
// missing; counts held at their limit are evaluated, and a line names the file.
TEST(SpectrumFormatsRun, TooLargeFilesAreDamagedAndHeldCountsAreSaid) {
    ScratchDir dir;
    copy_demo(dir);
    dir.write("huge.spe", "$MEAS_TIM:\n1 1\n");
    fs::resize_file(dir.path() / "huge.spe", (uintmax_t{64} << 20) + 1);  // sparse: no disk taken
    dir.write("hot.spe", "$MEAS_TIM:\n3600 3600\n$DATA:\n0 0\n3000000000\n");
    dir.write("config.txt", "envmon.cal\n*huge.spe\n*hot.spe\n");
    // The method's local background is the same file: said there too.
    std::string method = dir.read("envmon.cal");
    method.replace(method.find("1#lbg.txt"), 9, "1#hot.spe");
    dir.write("envmon.cal", method);
    const auto run = test_support::run_assay_in(dir.path(), {"--report", "report.jsonl"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find("huge.spe: is too large: 67108865 bytes; at most 64 MiB are read; entry "
                           "'*huge.spe' skipped"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("hot.spe: counts beyond the int32 range held at its limit; evaluated with them (entry "
                           "'*hot.spe')"),
              std::string::npos)
        << run.err;
    const size_t referenced = run.err.find("hot.spe: counts beyond the int32 range held at its limit (");
    ASSERT_NE(referenced, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("referenced by envmon.cal)", referenced), std::string::npos) << run.err;
    const std::string report = dir.read("report.jsonl");
    const size_t huge = report.find("\"file\":\"huge.spe\"");
    ASSERT_NE(huge, std::string::npos) << report;
    const size_t line_end = report.find('\n', huge);
    const size_t line_start = report.rfind('\n', huge);
    EXPECT_NE(report.substr(line_start, line_end - line_start).find("\"status\":\"skipped_damaged\""),
              std::string::npos)
        << report;
    EXPECT_NE(dir.read("result.txt").find("hot.spe"), std::string::npos);
}

}  // namespace

namespace {

// The report line of entry `index`.
std::string report_line(const std::string& report, int index) {
    const std::string key = "\"index\":" + std::to_string(index) + ",";
    for (size_t at = 0; at < report.size();) {
        const size_t end = report.find('\n', at);
        const std::string line = report.substr(at, end - at);
        if (line.find(key) != std::string::npos) return line;
        at = end == std::string::npos ? report.size() : end + 1;
    }
    return "";
}

}  // namespace

// Starts as the files state them, by eye: bg.spe $DATE_MEA 03/26/2018
// 00:00:00 with 3600 s; cs.xml StartTime 2022-05-13T08:05:32 with 3682 s,
// ending 09:06:54; the export's "March 1, 2024, 10:00:00" has no AM or PM;
// the N42 file's foreground starts 2012-01-01T10:10:00Z, UTC beside the SPE
// file's local time.
TEST(SpectrumFormatsRun, ReportGivesTheStartsTheFilesState) {
    ScratchDir dir;
    copy_demo(dir);
    dir.write("bg.spe", test_support::read_file(kSource / "tests/data/real/bq/nai_detector.spe"));
    dir.write("cs.xml",
              test_support::read_file(kSource / "tests/data/real/suro256/29_spectrum_EG_3X_source_Cs-137.xml"));
    dir.write("bad.csv", test_support::read_file(kSource / "tests/data/formats/export.csv"));
    dir.write("utc.n42", test_support::read_file(kSource / "tests/data/formats/n42_2011.n42"));
    dir.write("config.txt", "envmon.cal\n+bg.spe\n*cs.xml\n*bad.csv\n+bg.spe\n*utc.n42\n*bg.txt\n");
    const auto run = test_support::run_assay_in(dir.path(), {"--report", "report.jsonl"});
    const std::string report = dir.read("report.jsonl");
    const struct {
        int index;
        const char* fields;
    } cases[] = {
        {1, "\"start_time\":\"2018-03-26T00:00:00\""},
        {2, "\"start_time\":\"2022-05-13T08:05:32\""},
        {2, "\"measurement_start\":\"2018-03-26T00:00:00\",\"measurement_end\":\"2022-05-13T09:06:54\""},
        {3, "\"start_time\":null"},
        {3, "\"measurement_start\":null,\"measurement_end\":null"},
        {5, "\"start_time\":\"2012-01-01T10:10:00Z\""},
        {5, "\"measurement_start\":null,\"measurement_end\":null"},
        {6, "\"start_time\":null"},  // native
        {6, "\"measurement_start\":null,\"measurement_end\":null"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(report_line(report, c.index).find(c.fields), std::string::npos) << c.index << ": " << c.fields;
    }
    EXPECT_NE(run.err.find("assay: bad.csv: start time (Start Time) 'March 1, 2024, 10:00:00' is on a 12-hour "
                           "clock without AM or PM; read without a start time (entry '*bad.csv')\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("assay: utc.n42: the sum evaluated by entry '*utc.n42' mixes files stating UTC and "
                           "local start times"),
              std::string::npos)
        << run.err;
}
