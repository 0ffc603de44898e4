// End-to-end tests of the activity analysis: the built program evaluates
// methods and samples written for the purpose, and the activity, deviation,
// qfit and gain columns of result.txt are compared with values worked out
// independently of the program:
//   - by construction, where the sample is an exact combination of the pure
//     components the standards hold, so the fit must give back the mixture;
//   - by hand with the closed one-component formulas (python3, float32
//     emulated with struct), where the winning gain trial can be told in advance;
//   - within stated tolerances, for a gain-shifted sample and for the bundled
//     example, whose true activities its README documents.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::RunResult;
using test_support::ScratchDir;

constexpr int kChannels = 1024;
constexpr int kMaxComponents = 6;

using Spectrum = std::vector<long long>;

unsigned long long microseconds(unsigned long long seconds) { return seconds * 1000000ULL; }

// Real time a little longer than the live time, as a counting system reports it.
std::string spectrum_file(unsigned long long live_s, const Spectrum& counts) {
    return test_support::spectrum_text(microseconds(live_s), microseconds(live_s) + 1234567ULL, counts);
}

std::string fixed(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}
// Activity, deviation and qfit columns.
std::string f72(double value) { return fixed("%7.2f", value); }
// Gain column.
std::string f74(double value) { return fixed("%7.4f", value); }

// ROI bounds are written in thirds of a channel (the reader divides them by 3),
// so a ROI over full-scale channels first..end is written as 3*first, 3*end.
std::pair<int, int> roi_over_channels(int first, int end) { return {3 * first, 3 * end}; }

struct Component {
    std::string name;
    std::string unit = "Bq";
    // Activity of each component in this component's standard.
    std::array<double, kMaxComponents> standard_activity{};
    std::vector<std::pair<int, int>> rois;  // as written in the method file
    double factor = 1.0;
    unsigned long long standard_live_s = 0;
    Spectrum standard;
};

struct Method {
    std::vector<Component> components;
    std::optional<std::pair<unsigned long long, Spectrum>> background;
    std::optional<std::pair<unsigned long long, Spectrum>> local_background;

    // The method file, with every spectrum in a file of its own.
    void write(const ScratchDir& dir) const {
        std::string t = "TESTMETHOD\n";
        for (const auto& c : components) t += c.name + " " + c.unit + "\n";
        t += "\n\n";  // an empty line ends the list, and the reader swallows one more character
        for (int i = 0; i < kMaxComponents; ++i) {
            for (int k = 0; k < kMaxComponents; ++k) {
                const double a = i < count() ? components[i].standard_activity[k] : 0.0;
                t += fixed("%.6f", a) + (k + 1 < kMaxComponents ? " " : "\n");
            }
        }
        t += "0 0 0 0 0 0\n";  // strip line
        for (int i = 0; i < kMaxComponents; ++i) {
            std::array<int, 12> line{};
            if (i < count()) {
                for (size_t r = 0; r < components[i].rois.size(); ++r) {
                    line[2 * r] = components[i].rois[r].first;
                    line[2 * r + 1] = components[i].rois[r].second;
                }
            }
            for (int k = 0; k < 12; ++k) t += std::to_string(line[k]) + (k < 11 ? " " : "\n");
        }
        for (int i = 0; i < kMaxComponents; ++i) {
            t += fixed("%.6f", i < count() ? components[i].factor : 1.0) + (i + 1 < kMaxComponents ? " " : "\n");
        }
        t += "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0\n";  // detection limits, partial limits, reserved
        if (background) {
            dir.write("bg.spc", spectrum_file(background->first, background->second));
            t += "1#bg.spc\n";
        } else {
            t += "0\n";
        }
        for (int i = 0; i < kMaxComponents; ++i) {
            if (i < count()) {
                const std::string file = "std" + std::to_string(i) + ".spc";
                dir.write(file, spectrum_file(components[i].standard_live_s, components[i].standard));
                t += "1#" + file + "\n";
            } else {
                t += "0\n";
            }
        }
        if (local_background) {
            dir.write("lbg.spc", spectrum_file(local_background->first, local_background->second));
            t += "1#lbg.spc\n";
        } else {
            t += "0\n";
        }
        dir.write("method.cal", t);
    }

    int count() const { return static_cast<int>(components.size()); }
};

// The columns of one result row that the analysis fills.
struct Row {
    std::string name;
    std::vector<std::string> activity;
    std::vector<std::string> sd;
    std::string qfit;
    std::string gain;
    std::string weight;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char ch : text) {
        if (ch == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current += ch;
        }
    }
    parts.push_back(current);
    return parts;
}

struct Outcome {
    RunResult run;
    std::vector<Row> rows;
    std::string result;
};

// Runs the program on `config` (entries after the method file name) and reads
// the rows of result.txt: header, two empty lines, then one row per evaluation.
Outcome run(const ScratchDir& dir, const Method& method, const std::string& config) {
    method.write(dir);
    dir.write("dose.txt", "0.0160 0.0 0.02 1.5 1\n");
    dir.write("config.txt", "method.cal\n" + config);
    Outcome o;
    o.run = test_support::run_assay_in(dir.path());
    o.result = dir.read("result.txt");
    const std::vector<std::string> lines = split(o.result, '\n');
    const int n = method.count();
    for (size_t i = 3; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::vector<std::string> f = split(lines[i], '\t');
        if (f.size() < static_cast<size_t>(2 * n + 8)) {
            ADD_FAILURE() << "short row: " << lines[i];
            continue;
        }
        Row r;
        r.name = f[0];
        for (int k = 0; k < n; ++k) r.activity.push_back(f[1 + k]);
        for (int k = 0; k < n; ++k) r.sd.push_back(f[1 + n + k]);
        r.qfit = f[1 + 2 * n];
        r.gain = f[2 + 2 * n];
        r.weight = f[6 + 2 * n];
        o.rows.push_back(r);
    }
    return o;
}

// ---------------------------------------------------------------------------
// Synthetic detector response, full scale (1024 channels).

double gaussian(double channel, double centre, double sigma, double area) {
    const double z = (channel - centre) / sigma;
    return area / (sigma * std::sqrt(2.0 * std::numbers::pi)) * std::exp(-0.5 * z * z);
}

// Compton continuum: flat below the edge, falling off smoothly over `width`;
// nothing below the discriminator.
double continuum(double channel, double edge, double width, double height) {
    if (channel < 8.0) return 0.0;
    return height * 0.5 * std::erfc((channel - edge) / width);
}

struct Line {
    double centre, sigma, area;
};

struct Shape {
    std::vector<Line> lines;
    double edge = 0.0, edge_width = 1.0, height = 0.0;

    double operator()(double channel) const {
        double v = continuum(channel, edge, edge_width, height);
        for (const auto& l : lines) v += gaussian(channel, l.centre, l.sigma, l.area);
        return v;
    }
};

// Counts of a shape, each a multiple of `unit` so that fractions of the
// spectrum down to 1/unit stay whole counts.
Spectrum counts_of(const Shape& shape, long long unit) {
    Spectrum s(kChannels);
    for (int c = 0; c < kChannels; ++c) s[c] = unit * std::llround(shape(c));
    return s;
}

Spectrum falling_background(double scale) {
    Spectrum s(kChannels);
    for (int c = 0; c < kChannels; ++c) {
        const double v = c < 8 ? 0.0
                               : scale * (180.0 * std::exp(-c / 220.0) + 3.0 + gaussian(c, 487, 12, 400) +
                                          gaussian(c, 170, 6, 300));
        s[c] = std::llround(v);
    }
    return s;
}

// The sum of (weight / denominator) x spectrum over the parts; every channel must
// come out in whole counts, or the mixture would not be exact.
Spectrum mix(const std::vector<std::pair<long long, const Spectrum*>>& parts, long long denominator) {
    Spectrum s(kChannels, 0);
    for (int c = 0; c < kChannels; ++c) {
        long long numerator = 0;
        for (const auto& [w, spectrum] : parts) numerator += w * (*spectrum)[c];
        EXPECT_EQ(numerator % denominator, 0) << "channel " << c;
        s[c] = numerator / denominator;
    }
    return s;
}

// ---------------------------------------------------------------------------
// One component, one ROI channel: the closed formula by hand.

// Standard, background, local background and sample of the closed-formula case.
// The ROI (600, 601) in thirds is channel 200 on the full scale, 100 halved.
Method single_channel_method() {
    Method m;
    Component c;
    c.name = "Cs-137";
    c.standard_activity = {1000, 0, 0, 0, 0, 0};
    c.rois = {{600, 601}};
    c.standard_live_s = 3600;
    c.standard = Spectrum(kChannels, 0);
    c.standard[200] = 5000;
    c.standard[201] = 4800;
    m.components = {c};
    Spectrum bg(kChannels, 0);
    bg[200] = 300;
    bg[201] = 260;
    m.background = {{1800, bg}};
    Spectrum lbg(kChannels, 0);
    lbg[200] = 150;
    lbg[201] = 130;
    m.local_background = {{900, lbg}};
    return m;
}

// Halved sample H(h) = 20000 + 300 (h - 100) - 7 (h - 100)^2 for h = 90..119,
// split over full channels 2h and 2h + 1: curved, so the interpolation between
// neighbours matters.
Spectrum single_channel_sample() {
    Spectrum s(kChannels, 0);
    for (int h = 90; h < 120; ++h) {
        const long long v = 20000 + 300LL * (h - 100) - 7LL * (h - 100) * (h - 100);
        s[2 * h] = v / 2;
        s[2 * h + 1] = v - v / 2;
    }
    return s;
}

TEST(ClosedFormulaOneComponent, SingleRoiChannelGivesFormulaWithFirstTrialGain) {
    // With one point and one coefficient the fit is exact; at the first trial
    // (g = 0.94) the residual y - R x is exactly 0 in double (checked by
    // repeating the solver's operations in python), no figure is below 0 and
    // an equal one keeps the earlier trial, so g = 0.94 wins both passes.
    //   c0 = 5000 + 4800 = 9800, b0 = 560, rho = 3600/1800 = 2
    //   U = 1800/900 = 2, l = 150 + 130 = 280
    //   d = gain(0.94) at halved channel 100: x = 101/0.94 = 107.4468, k = 107,
    //       (a, b, e) = H(105..107) = (21325, 21548, 21757), offset 0.4468:
    //       (2b + (e-a) d + (a-2b+e) d^2) / (2g) = 23024.587890625 (float32)
    //   activity = ((d - U l)/1800) / ((c0 - rho b0)/3600) * 1000 = 5176.1723
    ScratchDir dir;
    dir.write("s.spc", spectrum_file(1800, single_channel_sample()));
    const Outcome o = run(dir, single_channel_method(), "*s.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_EQ(o.rows[0].activity[0], f72(5176.17));
    EXPECT_EQ(o.rows[0].sd[0], f72(0.0));  // exact fit: no residual to scale the deviation
    EXPECT_EQ(o.rows[0].qfit, f72(0.0));   // one point, one coefficient: undivided residual 0
    EXPECT_EQ(o.rows[0].gain, f74(0.94));
    EXPECT_EQ(o.run.err, "");
}

// ---------------------------------------------------------------------------
// One component, four ROI channels, a sample flat over the whole gain range.

// ROI (600, 615) in thirds: full channels 200..205, halved 100..103. Halved
// standard 4000, 6000, 5000, 3000 for 250 Bq over 1000 s (no background), so
// the responses are R = (16, 24, 20, 12). The sample holds 5000 counts in each
// full channel 80..401, a flat 10000 per halved channel well beyond every
// channel the gain interpolation can reach from the ROI.
Method flat_method(double factor) {
    Method m;
    Component c;
    c.name = "Cs-137";
    c.standard_activity = {250, 0, 0, 0, 0, 0};
    c.rois = {{600, 615}};
    c.factor = factor;
    c.standard_live_s = 1000;
    c.standard = Spectrum(kChannels, 0);
    const long long halved[4] = {4000, 6000, 5000, 3000};
    for (int i = 0; i < 4; ++i) {
        c.standard[200 + 2 * i] = halved[i] / 2;
        c.standard[201 + 2 * i] = halved[i] - halved[i] / 2;
    }
    m.components = {c};
    return m;
}

Spectrum flat_sample() {
    Spectrum s(kChannels, 0);
    for (int c = 80; c <= 401; ++c) s[c] = 5000;
    return s;
}

// Every trial turns the flat sample into d = 10000/g in each ROI channel, so
// the figure w * sum (d - R_i x)^2 / 3 with w = 1/sqrt(d) grows like d^1.5 and
// falls strictly as g grows: the last trial of each pass wins.
//   pass 1: g = 0.94 + 49 * 0.0024 = 1.0576 (float 1.0576000213623047)
//   pass 2: g = 1.0576 - 0.0024 + 49 * 0.000096 = 1.059904; d = 9434.81640625
//   x = d * sum R / sum R^2 = d * 72 / 1376; F = w sum (d - R_i x)^2 / 3 = 71041.23
//   sd(x) = sqrt(F / (w sum R^2)); activity = x / 2, sd = sd(x) / 2 (2000 s)
//   -> 246.8411, 35.4078 undivided
TEST(FitOverSeveralRoiChannels, FallingFigurePicksLastTrialOfSecondPass) {
    ScratchDir dir;
    dir.write("flat.spc", spectrum_file(2000, flat_sample()));
    // A standard factor of 0 leaves the results undivided.
    const Outcome o = run(dir, flat_method(0.0), "*flat.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_EQ(o.rows[0].activity[0], f72(246.84));
    EXPECT_EQ(o.rows[0].sd[0], f72(35.41));
    EXPECT_EQ(o.rows[0].qfit, f72(71041.23));
    EXPECT_EQ(o.rows[0].gain, f74(1.0599));
    EXPECT_EQ(o.run.err, "");
}

TEST(StandardFactorAndWeight, DivideActivityAndDeviation) {
    // Factor 2 halves the values of the test above: 123.42 and 17.70.
    // ^2 doubles weight x live time / 1000, halving them again: 61.71 and 8.85.
    // qfit and gain are not scaled.
    ScratchDir dir;
    dir.write("flat.spc", spectrum_file(2000, flat_sample()));
    const Outcome o = run(dir, flat_method(2.0), "*flat.spc\n^2\n*flat.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 2u) << o.result;
    EXPECT_EQ(o.rows[0].activity[0], f72(123.42));
    EXPECT_EQ(o.rows[0].sd[0], f72(17.70));
    EXPECT_EQ(o.rows[0].weight, "  1.000");
    EXPECT_EQ(o.rows[1].activity[0], f72(61.71));
    EXPECT_EQ(o.rows[1].sd[0], f72(8.85));
    EXPECT_EQ(o.rows[1].weight, "  2.000");
    for (const Row& r : o.rows) {
        EXPECT_EQ(r.qfit, f72(71041.23));
        EXPECT_EQ(r.gain, f74(1.0599));
    }
}

// ---------------------------------------------------------------------------
// Failed evaluations still write their row.

TEST(FailedEvaluation, RoiOnLastChannelLeavesZeroResultsOnFirstRow) {
    // (3066, 3069) in thirds is 1022..1023, halved 511..512: the end is not
    // below the 512 working channels, so the evaluation fails before any fit
    // and the row shows what the zero-filled sum record held.
    Method m;
    Component c;
    c.name = "K-40";
    c.standard_activity = {1000, 0, 0, 0, 0, 0};
    c.rois = {{3066, 3069}};
    c.standard_live_s = 1000;
    c.standard = Spectrum(kChannels, 100);
    m.components = {c};
    ScratchDir dir;
    dir.write("s.spc", spectrum_file(1000, Spectrum(kChannels, 100)));
    const Outcome o = run(dir, m, "*s.spc\n*s.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 2u) << o.result;
    for (const Row& r : o.rows) {
        EXPECT_EQ(r.name, "*s.spc");
        EXPECT_EQ(r.activity[0], f72(0.0));
        EXPECT_EQ(r.sd[0], f72(0.0));
        EXPECT_EQ(r.qfit, f72(0.0));
        EXPECT_EQ(r.gain, f74(0.0));
    }
}

TEST(FailedEvaluation, SingularSampleFitRepeatsPreviousRowDividedAgain) {
    // An empty sample has no count in any ROI channel: every weight is 0, the
    // first sample fit is singular and the evaluation fails. The sum record
    // keeps the previous row's results, which the run driver has already
    // divided by the standard factors, and divides them once more:
    //   row 2 (weight 2, factor 2): 61.71, 8.85 -> row 3: 30.86, 4.43
    // qfit, gain and weight stay as they were.
    ScratchDir dir;
    dir.write("flat.spc", spectrum_file(2000, flat_sample()));
    dir.write("empty.spc", spectrum_file(2000, Spectrum(kChannels, 0)));
    const Outcome o = run(dir, flat_method(2.0), "*flat.spc\n^2\n*flat.spc\n*empty.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 3u) << o.result;
    const Row& r = o.rows[2];
    EXPECT_EQ(r.name, "*empty.spc");
    EXPECT_EQ(r.activity[0], f72(30.86));
    EXPECT_EQ(r.sd[0], f72(4.43));
    EXPECT_EQ(r.qfit, f72(71041.23));
    EXPECT_EQ(r.gain, f74(1.0599));
    EXPECT_EQ(r.weight, "  2.000");
}

// ---------------------------------------------------------------------------
// Samples that are exact mixtures of the pure components.

// Pure responses, in multiples of 16 counts, of four components with lines that
// share ROIs and continua that run under each other's peaks.
struct PureSet {
    Spectrum potassium, caesium, radium, iodine;
};

PureSet pure_set() {
    const Shape k{{{487, 12, 40000}}, 370, 25, 60};
    const Shape cs{{{220, 7.5, 30000}}, 160, 15, 50};
    const Shape ra{{{200, 7, 12000}, {370, 10, 9000}, {588, 13, 8000}}, 450, 30, 40};
    const Shape i{{{121, 5, 25000}}, 70, 10, 40};
    return {counts_of(k, 16), counts_of(cs, 16), counts_of(ra, 16), counts_of(i, 16)};
}

// Standards counted on top of the method background (1800 s): 3600 s standards
// carry twice the background, the 1800 s one once, so subtracting the
// background scaled by the live-time ratio leaves the pure response exactly.
// ROIs: K 460..500, Cs 208..232, Ra 190..210 + 355..385 + 570..606, I 112..130
// (full scale); the Cs ROI and the first Ra ROI overlap and are joined.
Method mixture_method(const PureSet& p, const std::array<double, 4>& factors) {
    const Spectrum bg = falling_background(1.0);
    Method m;
    m.background = {{1800, bg}};
    m.local_background = {{900, falling_background(1.06)}};
    auto standard = [&](const Spectrum& pure, unsigned long long live_s) {
        return mix({{1, &pure}, {static_cast<long long>(live_s / 1800), &bg}}, 1);
    };
    Component k{"K-40", "Bq", {4000, 0, 0, 0, 0, 0}, {roi_over_channels(460, 500)}, factors[0], 3600,
                standard(p.potassium, 3600)};
    Component cs{"Cs-137", "Bq", {0, 1000, 0, 0, 0, 0}, {roi_over_channels(208, 232)}, factors[1], 3600,
                 standard(p.caesium, 3600)};
    Component ra{"Ra-226", "Bq", {0, 0, 1000, 0, 0, 0},
                 {roi_over_channels(190, 210), roi_over_channels(355, 385), roi_over_channels(570, 606)},
                 factors[2], 3600, standard(p.radium, 3600)};
    Component io{"I-131", "Bq", {0, 0, 0, 1000, 0, 0}, {roi_over_channels(112, 130)}, factors[3], 1800,
                 standard(p.iodine, 1800)};
    m.components = {k, cs, ra, io};
    return m;
}

// 1800 s sample: 1/16 of the K standard's pure response, 2/16 of Cs, 6/16 of
// Ra and 2/16 of I, on top of twice the 900 s local background.
// activity = fraction x standard activity x standard live time / sample live time:
//   K 1/16 x 4000 x 2 = 500, Cs 2/16 x 1000 x 2 = 250, Ra 6/16 x 1000 x 2 = 750,
//   I 2/16 x 1000 x 1 = 125 Bq.
Spectrum mixture_sample(const PureSet& p, const Method& m) {
    const Spectrum& lbg = m.local_background->second;
    return mix({{1, &p.potassium}, {2, &p.caesium}, {6, &p.radium}, {2, &p.iodine}, {32, &lbg}}, 16);
}

// The pass-1 trial 0.94 + 25 x 0.0024 is exactly 1.0 in double, and there the
// gain correction reproduces the halved counts, so the fit is exact (figure and
// deviations 0 up to rounding) and beats every shifted trial; pass 2's trial
// 25 is 1.0 again and only ties.
TEST(ExactMixture, RecoversEachComponentInMethodOrder) {
    const PureSet p = pure_set();
    const Method m = mixture_method(p, {1, 1, 1, 1});
    ScratchDir dir;
    dir.write("mix.spc", spectrum_file(1800, mixture_sample(p, m)));
    const Outcome o = run(dir, m, "*mix.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    const Row& r = o.rows[0];
    EXPECT_EQ(r.activity, (std::vector<std::string>{f72(500), f72(250), f72(750), f72(125)}));
    EXPECT_EQ(r.sd, std::vector<std::string>(4, f72(0.0)));
    EXPECT_EQ(r.qfit, f72(0.0));
    EXPECT_EQ(r.gain, f74(1.0));
    EXPECT_EQ(o.run.err, "");
}

TEST(ExactMixture, StandardFactorsApplyPerComponent) {
    // Factors 2, 0, 1, 4: 500/2, 250 undivided, 750, 125/4.
    const PureSet p = pure_set();
    const Method m = mixture_method(p, {2, 0, 1, 4});
    ScratchDir dir;
    dir.write("mix.spc", spectrum_file(1800, mixture_sample(p, m)));
    const Outcome o = run(dir, m, "*mix.spc\n");
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_EQ(o.rows[0].activity, (std::vector<std::string>{f72(250), f72(250), f72(750), f72(31.25)}));
}

TEST(ExactMixture, SumOfPartsIsEvaluatedAsOneSpectrum) {
    // The mixture sample counted in two parts of 900 s: their sum is the 1800 s
    // sample, whatever the split of the counts, so the activities are the same.
    const PureSet p = pure_set();
    const Method m = mixture_method(p, {1, 1, 1, 1});
    const Spectrum whole = mixture_sample(p, m);
    Spectrum first(kChannels), second(kChannels);
    for (int c = 0; c < kChannels; ++c) {
        first[c] = whole[c] / 3;
        second[c] = whole[c] - first[c];
    }
    ScratchDir dir;
    dir.write("a.spc", spectrum_file(900, first));
    dir.write("b.spc", spectrum_file(900, second));
    const Outcome o = run(dir, m, "+a.spc\n*b.spc\n");
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_EQ(o.rows[0].name, "*b.spc");
    EXPECT_EQ(o.rows[0].activity, (std::vector<std::string>{f72(500), f72(250), f72(750), f72(125)}));
    EXPECT_EQ(o.rows[0].gain, f74(1.0));
}

TEST(ExactMixture, StandardHoldingTwoComponentsIsUnmixed) {
    // The Th standard holds 1000 Bq Th and 250 Bq Ra (row 1 of the table: 250,
    // 1000), counted 1000 s like the Ra standard; no backgrounds. A 1000 s sample
    // of 3/4 of the pure Ra response and 1/2 of the pure Th response holds
    // 750 Bq Ra and 500 Bq Th. Taking the Th standard as pure would read Ra as
    // (3/4 - 1/2 x 1/4) x 1000 = 625.
    const Shape ra{{{200, 7, 12000}, {370, 10, 9000}, {588, 13, 8000}}, 450, 30, 40};
    const Shape th{{{870, 18, 9000}, {303, 8, 8000}, {190, 7, 6000}}, 700, 35, 45};
    const Spectrum pure_ra = counts_of(ra, 16);
    const Spectrum pure_th = counts_of(th, 16);
    Method m;
    Component cra{"Ra-226", "Bq", {1000, 0, 0, 0, 0, 0},
                  {roi_over_channels(190, 210), roi_over_channels(355, 385), roi_over_channels(570, 606)},
                  1.0, 1000, pure_ra};
    Component cth{"Th-232", "Bq", {250, 1000, 0, 0, 0, 0},
                  {roi_over_channels(820, 920), roi_over_channels(293, 313), roi_over_channels(180, 200)},
                  1.0, 1000, mix({{4, &pure_th}, {1, &pure_ra}}, 4)};
    m.components = {cra, cth};
    ScratchDir dir;
    dir.write("s.spc", spectrum_file(1000, mix({{3, &pure_ra}, {2, &pure_th}}, 4)));
    const Outcome o = run(dir, m, "*s.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_EQ(o.rows[0].activity, (std::vector<std::string>{f72(750), f72(500)}));
    EXPECT_EQ(o.rows[0].sd, std::vector<std::string>(2, f72(0.0)));
    EXPECT_EQ(o.rows[0].gain, f74(1.0));
}

// ---------------------------------------------------------------------------
// A sample measured with a higher gain of the detector.

double number(const std::string& field) { return std::stod(field); }

TEST(GainShift, SampleCompressedByThreePercentIsStretchedBack) {
    // The sample is the standards' smooth shapes on a scale compressed by
    // k = 1.03, with the area kept: S(c) = k f(k (c + 1.5) - 1.5). The gain
    // correction maps halved position p (counted from 1) to p/g, which is full
    // scale 2p - 1.5, so at g = k it gives back f exactly up to the
    // interpolation. Second-pass trials are 0.000096 apart, which puts one
    // within 0.00005 of 1.03; the quadratic interpolation of peaks 6 to 12
    // halved channels wide biases areas by far less than 0.5 %. Hence: gain
    // within 0.0005 of 1.03, activities within 1 %.
    const double k = 1.03;
    const Shape cs{{{220, 7.5, 300000}}, 160, 15, 500};
    const Shape kk{{{487, 12, 400000}}, 370, 25, 600};
    Spectrum std_cs(kChannels), std_k(kChannels), sample(kChannels);
    for (int c = 0; c < kChannels; ++c) {
        std_cs[c] = std::llround(cs(c));
        std_k[c] = std::llround(kk(c));
        const double shifted = k * (c + 1.5) - 1.5;
        // 1/2 of the Cs standard and 1/4 of the K standard, same live time.
        sample[c] = std::llround(k * (0.5 * cs(shifted) + 0.25 * kk(shifted)));
    }
    Method m;
    m.components = {
        Component{"Cs-137", "Bq", {1000, 0, 0, 0, 0, 0}, {roi_over_channels(200, 240)}, 1.0, 3600, std_cs},
        Component{"K-40", "Bq", {0, 4000, 0, 0, 0, 0}, {roi_over_channels(455, 520)}, 1.0, 3600, std_k}};
    ScratchDir dir;
    dir.write("s.spc", spectrum_file(3600, sample));
    const Outcome o = run(dir, m, "*s.spc\n");
    ASSERT_EQ(o.run.exit_status, 0);
    ASSERT_EQ(o.rows.size(), 1u) << o.result;
    EXPECT_NEAR(number(o.rows[0].gain), 1.03, 0.0005);
    EXPECT_NEAR(number(o.rows[0].activity[0]), 500.0, 5.0);   // 1/2 x 1000 Bq
    EXPECT_NEAR(number(o.rows[0].activity[1]), 1000.0, 10.0);  // 1/4 x 4000 Bq
}

// ---------------------------------------------------------------------------
// The bundled example.

struct Truth {
    std::string name;
    std::array<double, 5> activity;  // K-40, Cs-137, Ra-226, Th-232, I-131
    double gain;
    std::string weight;
};

TEST(BundledExample, RecoversTheDocumentedActivities) {
    const fs::path demo = fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo";
    if (!fs::exists(demo / "config.txt")) GTEST_SKIP() << "no bundled example";
    ScratchDir dir;
    for (const auto& entry : fs::directory_iterator(demo)) {
        fs::copy_file(entry.path(), dir.path() / entry.path().filename());
    }
    const RunResult run_result = test_support::run_assay_in(dir.path());
    ASSERT_EQ(run_result.exit_status, 0);
    EXPECT_EQ(run_result.err, "");

    // True activities and gains from the table "True activities" of
    // examples/README.md; the gain column is the inverse of the gain the sample
    // was simulated with. The background row's values are the ones it calls
    // "about"; soil_half with ^0.5 reads in Bq/kg.
    const std::vector<Truth> truth = {
        {"*bg.txt", {-5, 0, -2, -0.3, 0}, 1.0, "  1.000"},
        {"*soil_a.txt", {450, 12, 35, 40, 0}, 1.0, "  1.000"},
        {"*soil_b.txt", {600, 5, 60, 55, 0}, 1.0 / 1.02, "  1.000"},
        {"*cs_contam.txt", {300, 850, 25, 30, 0}, 1.0, "  1.000"},
        {"*fallout.txt", {200, 150, 20, 20, 400}, 1.0 / 0.985, "  1.000"},
        {"*grass_3.txt", {250, 40, 10, 8, 60}, 1.0, "  1.000"},
        {"*water_2.txt", {15, 2, 3, 1, 0}, 1.0, "  1.000"},
        {"*soil_half.txt", {500, 40, 36, 44, 0}, 1.0, "  0.500"},
    };

    std::vector<Row> rows;
    const std::vector<std::string> lines = split(dir.read("result.txt"), '\n');
    for (size_t i = 3; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::vector<std::string> f = split(lines[i], '\t');
        ASSERT_GE(f.size(), 18u) << lines[i];
        Row r;
        r.name = f[0];
        for (int c = 0; c < 5; ++c) r.activity.push_back(f[1 + c]);
        for (int c = 0; c < 5; ++c) r.sd.push_back(f[6 + c]);
        r.qfit = f[11];
        r.gain = f[12];
        r.weight = f[16];
        rows.push_back(r);
    }
    ASSERT_EQ(rows.size(), truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        SCOPED_TRACE(truth[i].name);
        EXPECT_EQ(rows[i].name, truth[i].name);
        EXPECT_EQ(rows[i].weight, truth[i].weight);
        // A little more than one step of the coarse scan (0.0024): a scan that
        // searched the wrong way or the wrong range misses by 0.02 or more.
        EXPECT_NEAR(number(rows[i].gain), truth[i].gain, 0.003);
        for (int c = 0; c < 5; ++c) {
            const double sd = number(rows[i].sd[c]);
            EXPECT_GT(sd, 0.0) << "component " << c;
            // The printed deviation counts the sample's statistics only; the
            // README warns that deviations of two or three occur, and the noise
            // of the standards and backgrounds adds a few per cent on top.
            const double tolerance = 4.0 * sd + 0.03 * std::fabs(truth[i].activity[c]) + 0.5;
            EXPECT_NEAR(number(rows[i].activity[c]), truth[i].activity[c], tolerance) << "component " << c;
        }
    }
}

}  // namespace

namespace {

// The values of `key` in the report line `line`, in the order written (one
// per component for a component's key).
std::vector<double> report_numbers(const std::string& line, const std::string& key) {
    std::vector<double> values;
    const std::string pattern = "\"" + key + "\":";
    for (size_t at = line.find(pattern); at != std::string::npos; at = line.find(pattern, at + 1)) {
        values.push_back(line.compare(at + pattern.size(), 4, "null") == 0
                             ? NAN
                             : std::strtod(line.c_str() + at + pattern.size(), nullptr));
    }
    return values;
}

// The same RadiaCode method: its check sources (each standard evaluated on
// its own is fitted exactly, so the table's deviation is 0 there) have an
// uncertainty above 0, and the office and the outdoor background, with no
// activity of their own, at least the uncertainty at zero activity,
// u(0) = y* / k(1 - alpha) (k = 1.6448536 for the default alpha 0.05).
TEST(RealSpectra, UncertaintyAboveZeroAndAtLeastItsValueAtZeroOnBackgrounds) {
    const fs::path data = fs::path(ASSAY_SOURCE_DIR) / "tests/data/real/suro256";
    ScratchDir dir;
    for (const auto& file : fs::directory_iterator(data)) fs::copy(file.path(), dir.path() / file.path().filename());
    dir.write("suro.cal", test_support::suro_method());
    dir.write("dose.txt", "1 0 0 0 0\n");
    const std::vector<std::pair<std::string, bool>> samples = {
        {"29_spectrum_EG_3X_source_Cs-137.xml", false},
        {"33_spectrum_EG_3X_source_Co-60.xml", false},
        {"37_spectrum_EG_3X_source_Co-60_and_Cs-137.xml", false},
        {"02_spectrum_background_office_1_hour.xml", true},
        {"23_spectrum_outside_grass_50_min.xml", true}};
    std::string config = "suro.cal\n";
    for (const auto& [file, background] : samples) config += "*" + file + "\n";
    dir.write("config.txt", config);
    const RunResult run = test_support::run_assay_in(dir.path(), {"--report", "r.jsonl"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string report = dir.read("r.jsonl");
    const double k = 1.6448536269514722;
    for (const auto& [file, background] : samples) {
        SCOPED_TRACE(file);
        const size_t at = report.find("\"entry\":\"*" + file + "\"");
        ASSERT_NE(at, std::string::npos);
        const std::string line = report.substr(at, report.find('\n', at) - at);
        const std::vector<double> uncertainty = report_numbers(line, "uncertainty");
        const std::vector<double> threshold = report_numbers(line, "decision_threshold");
        ASSERT_EQ(uncertainty.size(), 2u);
        ASSERT_EQ(threshold.size(), 2u);
        for (size_t c = 0; c < 2; ++c) {
            EXPECT_GT(uncertainty[c], 0.0) << "component " << c;
            // The report's numbers are floats' and doubles' shortest forms.
            if (background) {
                EXPECT_GE(uncertainty[c], threshold[c] / k * (1.0 - 1e-6)) << "component " << c;
            }
        }
    }
}

}  // namespace
