// The wide gain search on a real detector's spectrum moved off its
// standards' gain: a RadiaCode-101 Co-60 + Cs-137 source, stretched by the
// program's own gain correction and drawn again as Poisson counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "input/spectrum_file.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

// What a report's evaluate line says of the fit.
struct Evaluated {
    double gain = NAN;
    bool edge = false;
    bool poor = false;
    std::vector<double> activity;
    std::vector<double> activity_sd;
    std::string search;
    double centre = NAN;
};

double number_after(const std::string& line, const std::string& key) {
    const size_t at = line.find("\"" + key + "\":");
    return at == std::string::npos ? NAN : std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

std::vector<Evaluated> evaluations(const std::string& report) {
    std::vector<Evaluated> found;
    const std::regex activity("\"activity\":([-0-9.eE+]+),\"activity_sd\":([-0-9.eE+]+)");
    const std::regex search("\"gain_search\":\"([a-z]+)\"");
    size_t start = 0;
    for (size_t end = report.find('\n'); end != std::string::npos; start = end + 1, end = report.find('\n', start)) {
        const std::string line = report.substr(start, end - start);
        if (line.find("\"kind\":\"evaluate\"") == std::string::npos) continue;
        Evaluated e;
        e.gain = number_after(line, "gain");
        e.edge = line.find("\"gain_at_scan_edge\":true") != std::string::npos;
        e.poor = line.find("\"fit_poor\":true") != std::string::npos;
        e.centre = number_after(line, "scan_centre");
        for (std::sregex_iterator m(line.begin(), line.end(), activity), none; m != none; ++m) {
            e.activity.push_back(std::stod((*m)[1]));
            e.activity_sd.push_back(std::stod((*m)[2]));
        }
        std::smatch s;
        if (std::regex_search(line, s, search)) e.search = s[1];
        found.push_back(e);
    }
    return found;
}

// The spectrum a detector of gain factor g relative to the standards would
// have given: the correction by 1 / g puts each peak where the correction by
// g takes it back; then Poisson counts of that.
std::vector<int64_t> shifted_counts(const SpectrumFile& file, double g, std::mt19937* random) {
    std::vector<float> stretched(kChannels);
    corrected_spectrum(file.channel, static_cast<float>(1.0 / g), stretched.data());
    std::vector<int64_t> counts;
    for (const float mean : stretched) {
        const double m = std::isfinite(mean) && mean > 0.0f ? mean : 0.0;
        counts.push_back(m > 0.0 ? std::poisson_distribution<int64_t>(m)(*random) : 0);
    }
    return counts;
}

std::string shifted_native(const SpectrumFile& file, double g, std::mt19937* random) {
    std::string text = std::to_string(file.live_time_us) + "\n" + std::to_string(file.real_time_us) + "\n";
    for (const int64_t count : shifted_counts(file, g, random)) text += std::to_string(count) + "\n";
    return text;
}

// The same as an IAEA SPE file whose calibration is `calibration` with every
// term but the offset scaled by g: g times the keV per channel everywhere.
std::string shifted_spe(const SpectrumFile& file, double g, const std::vector<double>& calibration,
                        std::mt19937* random) {
    const double seconds = static_cast<double>(file.live_time_us) / 1e6;
    std::string text = "$MEAS_TIM:\n" + std::to_string(seconds) + " " + std::to_string(seconds) +
                       "\n$DATA:\n0 1023\n";
    for (const int64_t count : shifted_counts(file, g, random)) text += std::to_string(count) + "\n";
    text += "$MCA_CAL:\n" + std::to_string(calibration.size()) + "\n";
    char term[40];
    for (size_t k = 0; k < calibration.size(); ++k) {
        std::snprintf(term, sizeof term, "%.17g ", k == 0 ? calibration[k] : calibration[k] * g);
        text += term;
    }
    return text + "keV\n";
}

// Gains of 0.85 to 1.15 lie outside the plain scan (0.94 to 1.06): without
// the search each result is flagged (edge or poor fit); with it, the gain is
// found within 0.5 % and every activity within two standard deviations
// (the shifted sample's and the original's combined) of the original's.
// A working directory with the method of the detector's own standards, its
// background and the mixture source.
const std::string kMixture = "37_spectrum_EG_3X_source_Co-60_and_Cs-137.xml";
const std::string kBackground = "02_spectrum_background_office_1_hour.xml";

fs::path suro_data() { return fs::path(ASSAY_SOURCE_DIR) / "tests/data/real/suro256"; }

void prepare(const ScratchDir& dir) {
    for (const std::string& file : {kBackground, std::string("29_spectrum_EG_3X_source_Cs-137.xml"),
                                    std::string("33_spectrum_EG_3X_source_Co-60.xml"), kMixture}) {
        fs::copy_file(suro_data() / file, dir.path() / file);
    }
    dir.write("suro.cal", test_support::suro_method());
    dir.write("dose.txt", "1 0 0 0 0\n");
}

TEST(GainSearch, WideSearchRecoversSpectraOffTheStandardsGain) {
    const std::string mixture = kMixture;
    ScratchDir dir;
    prepare(dir);
    const auto read = read_spectrum_file((suro_data() / mixture).string());
    ASSERT_TRUE(read);
    std::mt19937 random(20261208);
    const std::vector<double> factors = {0.85, 0.90, 1.10, 1.15};
    std::string config = "suro.cal\n*" + mixture + "\n";
    for (size_t i = 0; i < factors.size(); ++i) {
        const std::string name = "shifted_" + std::to_string(i) + ".txt";
        dir.write(name, shifted_native(*read, factors[i], &random));
        config += "*" + name + "\n";
    }
    dir.write("config.txt", config);

    // The reference form searches as the fast form does, to the bit.
    ASSERT_EQ(test_support::run_assay_in(dir.path(), {"--gain-search", "wide", "--straightforward"}).exit_status, 0);
    const std::string reference_table = dir.read("result.txt");
    for (const bool search : {false, true}) {
        SCOPED_TRACE(search ? "wide search" : "plain scan");
        std::vector<std::string> args = {"--report", "r.jsonl"};
        if (search) args.insert(args.end(), {"--gain-search", "wide"});
        const auto run = test_support::run_assay_in(dir.path(), args);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        if (search) {
            EXPECT_EQ(dir.read("result.txt"), reference_table);
        }
        const std::vector<Evaluated> found = evaluations(dir.read("r.jsonl"));
        ASSERT_EQ(found.size(), factors.size() + 1);
        const Evaluated& original = found[0];
        ASSERT_EQ(original.activity.size(), 2u);
        EXPECT_FALSE(original.edge);
        EXPECT_EQ(original.search, search ? "wide" : "");
        for (size_t i = 0; i < factors.size(); ++i) {
            const Evaluated& e = found[i + 1];
            SCOPED_TRACE("gain " + std::to_string(factors[i]));
            if (!search) {
                EXPECT_TRUE(e.edge || e.poor);
                continue;
            }
            EXPECT_NEAR(e.gain, factors[i], 0.005 * factors[i]);
            EXPECT_FALSE(e.edge);
            EXPECT_NEAR(e.centre, factors[i], 0.01);
            for (size_t k = 0; k < 2; ++k) {
                const double sd = std::hypot(e.activity_sd[k], original.activity_sd[k]);
                EXPECT_NEAR(e.activity[k], original.activity[k], 2.0 * sd) << "component " << k;
            }
        }
    }
}

// Samples whose calibrations imply gains of 0.92 and 1.08 against the
// standards' (the method's first file): the scan is centred there and gives
// the activities of the wide search; a sample without a calibration falls
// back to the wide search.
TEST(GainSearch, CalibrationsCentreTheScan) {
    ScratchDir dir;
    prepare(dir);
    const auto mixture = read_spectrum_file((suro_data() / kMixture).string());
    const auto background = read_spectrum_file((suro_data() / kBackground).string());
    ASSERT_TRUE(mixture && background);
    ASSERT_FALSE(background->calibration.empty());
    std::mt19937 random(8);
    const std::vector<double> factors = {0.92, 1.08};
    dir.write("low.spe", shifted_spe(*mixture, factors[0], background->calibration, &random));
    dir.write("high.spe", shifted_spe(*mixture, factors[1], background->calibration, &random));
    dir.write("plain.txt", shifted_native(*mixture, 1.1, &random));
    dir.write("config.txt", "suro.cal\n*low.spe\n*high.spe\n*plain.txt\n");

    std::vector<std::vector<Evaluated>> runs;
    for (const std::string how : {"wide", "calibration"}) {
        const auto run = test_support::run_assay_in(dir.path(), {"--report", "r.jsonl", "--gain-search", how});
        ASSERT_EQ(run.exit_status, 0) << run.err;
        runs.push_back(evaluations(dir.read("r.jsonl")));
        ASSERT_EQ(runs.back().size(), 3u);
    }
    for (size_t i = 0; i < factors.size(); ++i) {
        SCOPED_TRACE("gain " + std::to_string(factors[i]));
        const Evaluated& wide = runs[0][i];
        const Evaluated& by_calibration = runs[1][i];
        EXPECT_EQ(by_calibration.search, "calibration");
        EXPECT_NEAR(by_calibration.centre, factors[i], 1e-9);
        EXPECT_NEAR(by_calibration.gain, factors[i], 0.005 * factors[i]);
        EXPECT_FALSE(by_calibration.edge);
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_NEAR(by_calibration.activity[k], wide.activity[k], 0.5 * wide.activity_sd[k]) << k;
        }
    }
    EXPECT_EQ(runs[1][2].search, "wide");
    EXPECT_NEAR(runs[1][2].gain, 1.1, 0.0055);
}

// A NaI unknown measured the same day as its Cs-137 standard, its Cs-137
// line at channel 309 against the standard's 331: a gain of about
// 331 / 309 = 1.071. The plain scan ends at its edge with a fit far off; the
// wide search finds the gain and a chi-square per degree of freedom a
// hundredth of the plain scan's.
TEST(GainSearch, NaiUnknownOffItsStandardsGain) {
    const fs::path shared = fs::path(ASSAY_SOURCE_DIR) / ".." / "shared" / "data" / "real";
    if (!fs::exists(shared / "uct_nai_unknown.txt")) GTEST_SKIP() << "no shared real data beside the repository";
    ScratchDir dir;
    for (const char* file : {"uct_nai_background.txt", "uct_nai_cs137.txt", "uct_nai_unknown.txt"}) {
        fs::copy_file(shared / file, dir.path() / file);
    }
    // Cs-137 in channels 280 to 370.
    dir.write("uct.cal", test_support::method_text("uct", {{"Cs-137", 840, 1110, "uct_nai_cs137.txt"}},
                                                   "uct_nai_background.txt"));
    dir.write("dose.txt", "1 0 0 0 0\n");
    dir.write("config.txt", "uct.cal\n*uct_nai_unknown.txt\n");
    double chi_square_per_dof[2] = {};
    for (const bool search : {false, true}) {
        std::vector<std::string> args = {"--report", "r.jsonl"};
        if (search) args.insert(args.end(), {"--gain-search", "wide"});
        ASSERT_EQ(test_support::run_assay_in(dir.path(), args).exit_status, 0);
        const std::string report = dir.read("r.jsonl");
        const std::vector<Evaluated> found = evaluations(report);
        ASSERT_EQ(found.size(), 1u);
        chi_square_per_dof[search] = number_after(report.substr(report.find("\"kind\":\"evaluate\"")), "chi_square_per_dof");
        EXPECT_EQ(found[0].edge, !search);
        if (search) {
            EXPECT_NEAR(found[0].gain, 331.0 / 309.0, 0.01);
        }
    }
    EXPECT_LT(chi_square_per_dof[1], chi_square_per_dof[0] / 100.0);
}

}  // namespace
