// `assay --plot DIR` end to end: one picture per row of the table, named after
// the row and its entry, and an index of them; without the option, nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

void copy_demo(const ScratchDir& dir) {
    fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo", dir.path(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

std::set<std::string> files_in(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

TEST(PlotOption, DrawsEveryRowAndAnIndexBesideAnUnchangedTable) {
    ScratchDir plain;
    ScratchDir plotted;
    copy_demo(plain);
    copy_demo(plotted);
    const auto without = test_support::run_assay_in(plain.path());
    const auto with = test_support::run_assay_in(plotted.path(), {"--plot", "pictures", "--report", "r.jsonl"});
    ASSERT_EQ(without.exit_status, 0);
    ASSERT_EQ(with.exit_status, 0) << with.err;
    EXPECT_EQ(with.out, without.out);
    EXPECT_EQ(with.err, "");
    EXPECT_EQ(plotted.read("result.txt"), plain.read("result.txt"));
    EXPECT_FALSE(plain.exists("pictures"));

    // The bundled configuration evaluates these entries, in this order.
    const std::set<std::string> expected = {
        "0001__bg.txt.svg",      "0002__soil_a.txt.svg",  "0003__soil_b.txt.svg",
        "0004__cs_contam.txt.svg", "0005__fallout.txt.svg", "0006__grass_3.txt.svg",
        "0007__water_2.txt.svg", "0008__soil_half.txt.svg", "index.html"};
    EXPECT_EQ(files_in(plotted.path() / "pictures"), expected);

    const std::string index = test_support::read_file(plotted.path() / "pictures" / "index.html");
    for (const std::string& name : expected) {
        if (name != "index.html") {
            EXPECT_NE(index.find(name), std::string::npos) << name;
        }
    }
    const std::string picture = test_support::read_file(plotted.path() / "pictures" / "0005__fallout.txt.svg");
    EXPECT_TRUE(picture.rfind("<svg", 0) == 0 || picture.rfind("<?xml", 0) == 0);
    EXPECT_NE(picture.find("fallout.txt"), std::string::npos);
    EXPECT_NE(picture.find("I-131"), std::string::npos);
}

TEST(PlotOption, DirectoryThatCannotBeMadeStopsBeforeTheRun) {
    ScratchDir dir;
    copy_demo(dir);
    dir.write("taken", "a file, not a directory");
    const auto run = test_support::run_assay_in(dir.path(), {"--plot", "taken"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("assay: taken", 0), 0u) << run.err;
    EXPECT_FALSE(dir.exists("result.txt"));
    EXPECT_FALSE(dir.exists("method.txt"));
}

// Every spectrum file of the fuzz corpora, odd calibrations among them (1e12
// keV a channel in an SPE, 3e38 in a CHN trailer, 1e300 in a CSV Energy
// column, on which the energy axis once looped for ever), drawn in runs of
// one corpus each: each run ends, within a few seconds a file.
TEST(PlotOption, EndsOnEveryFuzzCorpusSpectrum) {
    const fs::path corpus = fs::path(ASSAY_SOURCE_DIR) / "fuzz" / "corpus";
    for (const char* reader : {"spectrum_reader", "spe", "csv", "chn", "n42", "radiacode"}) {
        SCOPED_TRACE(reader);
        ScratchDir dir;
        copy_demo(dir);
        std::string config = "envmon.cal\n";
        int files = 0;
        for (const auto& file : fs::directory_iterator(corpus / reader)) {
            const std::string name = std::to_string(++files) + ".spectrum";
            fs::copy_file(file.path(), dir.path() / name);
            config += "*" + name + "\n";
        }
        ASSERT_GT(files, 0);
        dir.write("config.txt", config);
        const auto run = test_support::run_program(
            "/usr/bin/timeout", {"-s", "KILL", std::to_string(10 + 5 * files), test_support::assay_program(),
                                 "--plot", "pictures"},
            dir.path());
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_TRUE(dir.exists("pictures/index.html"));
    }
}

// A RadiaCode-101 Cs-137 source (256 channels of CsI) against a method of that
// detector's own standards: its picture shows channels 0 to 255, the measured
// curve reaching the right edge (x = 64 + 3.5 * 255.5 = 958.25), channels
// labelled every 25 up to 250, the energies only under them.
TEST(PlotOption, ShortDetectorSpectrumFillsThePicture) {
    const fs::path data = fs::path(ASSAY_SOURCE_DIR) / "tests/data/real/suro256";
    const std::string background = "02_spectrum_background_office_1_hour.xml";
    const std::string source = "29_spectrum_EG_3X_source_Cs-137.xml";
    ScratchDir dir;
    for (const std::string& file : {background, source, std::string("33_spectrum_EG_3X_source_Co-60.xml")}) {
        fs::copy_file(data / file, dir.path() / file);
    }
    dir.write("suro.cal", test_support::suro_method());
    dir.write("dose.txt", "1 0 0 0 0\n");
    dir.write("config.txt", "suro.cal\n*" + source + "\n");
    const auto run = test_support::run_assay_in(dir.path(), {"--plot", "pictures"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string svg = dir.read("pictures/0001__" + source + ".svg");
    EXPECT_NE(svg.find("channels 0\u2013255 of 1024"), std::string::npos);

    // The measured curve's last point, "x y" after the last but one space.
    const std::string start = "id=\"measured\" d=\"";
    const size_t d = svg.find(start);
    ASSERT_NE(d, std::string::npos);
    const std::string path = svg.substr(d, svg.find('"', d + start.size()) - d);
    EXPECT_NEAR(std::stod(path.substr(path.rfind(' ', path.rfind(' ') - 1) + 1)), 958.25, 0.051);

    const size_t axis = svg.find("<g id=\"channel-axis\"");
    const size_t energies = svg.find("<g id=\"energy-axis\"", axis);
    ASSERT_NE(energies, std::string::npos);
    const std::string channels = svg.substr(axis, energies - axis);
    EXPECT_NE(channels.find(">250</text>"), std::string::npos);
    EXPECT_EQ(channels.find(">275</text>"), std::string::npos);
    const std::string keV = svg.substr(energies, svg.find("</g>", energies) - energies);
    int labels = 0;
    for (size_t at = keV.find("<text x=\""); at != std::string::npos; at = keV.find("<text x=\"", at + 1)) {
        const double x = std::stod(keV.substr(at + 9));
        EXPECT_GE(x, 0.0);
        EXPECT_LE(x, 960.0);
        ++labels;
    }
    EXPECT_GT(labels, 3);  // "keV" and a few energies, about 10 keV a channel
}

}  // namespace
