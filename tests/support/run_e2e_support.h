// Builders for the end-to-end tests of the run driver: input files written the
// way an operator writes them, and the output the program must give for them.
#pragma once

#include <array>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace run_e2e {

using test_support::crlf;
using test_support::lines_of;

inline const std::string kBanner = "Assay processor ORB ver. DR1.2 WIN32\n";
inline const std::string kDoseOk = "Dose Rate calibration OK\n";

// Dose factor 1, no dead-time correction, gray-based table: the dose column is
// the bare weighted sum over the live time in thousands of seconds.
inline const std::string kDoseUnit = "1 0 0 0 0\n";
// Dose factor 0: the dose column is 0.00 whatever the spectrum holds.
inline const std::string kDoseZero = "0 0 0 0 0\n";

// qfit and gain of an evaluation without components: the fit has no
// coefficients and no points, so its figure is 0 and the first trial gain of
// the scan (0.94) wins; later trials only tie.
inline const std::string kEmptyFit = "   0.00\t 0.9400\t";

// Counts of a 1024-channel spectrum: zero except the listed (channel, count).
inline std::vector<long long> counts(std::initializer_list<std::pair<int, long long>> set) {
    std::vector<long long> c(1024, 0);
    for (const auto& [channel, value] : set) c.at(static_cast<size_t>(channel)) = value;
    return c;
}

// `total` counts spread evenly over channels 16..19, the first dose bin that
// has a non-zero coefficient.
inline std::vector<long long> bin4(long long total) {
    return counts({{16, total / 4}, {17, total / 4}, {18, total / 4}, {19, total - 3 * (total / 4)}});
}

// Seconds as the microseconds a spectrum file holds.
inline unsigned long long us(unsigned long long seconds) { return seconds * 1000000ULL; }

inline std::string spectrum(unsigned long long live_s, unsigned long long real_s,
                            const std::vector<long long>& c) {
    return test_support::spectrum_text(us(live_s), us(real_s), c);
}

inline std::string fmt(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// A method file with one name/unit pair per line, a unit standards table, a
// zero strip line and, unless set otherwise, no spectra at all (console() and
// echo() describe it only then).
struct MethodFile {
    std::string name = "demo";
    std::vector<std::pair<std::string, std::string>> components;
    std::array<std::array<int, 12>, 6> rois{};  // as written: thirds of a channel
    std::string background = "0";               // flag and what follows it
    std::array<std::string, 6> standards = {"0", "0", "0", "0", "0", "0"};
    std::string local_background = "0";

    std::string text() const {
        std::string t = name + "\n";
        for (const auto& [n, u] : components) t += n + " " + u + "\n";
        t += "\n\n";  // an empty line ends the list; the next character is consumed with it
        for (int i = 0; i < 6; ++i) {
            for (int k = 0; k < 6; ++k) {
                t += i == k ? '1' : '0';
                t += k < 5 ? ' ' : '\n';
            }
        }
        t += "0 0 0 0 0 0\n";
        for (const auto& line : rois) {
            for (int k = 0; k < 12; ++k) t += std::to_string(line[k]) + (k < 11 ? " " : "\n");
        }
        t += "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0\n";
        t += background + "\n";
        for (const auto& standard : standards) t += standard + "\n";
        t += local_background + "\n";
        return t;
    }

    // What the reader prints up to the spectra.
    std::string console_head() const {
        std::string t = name + "\n";
        for (const auto& [n, u] : components) t += n + " " + u + "\n";
        t += "components total " + std::to_string(components.size()) + "\n";
        const std::string rows =
            "1.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n"
            "0.000000 1.000000 0.000000 0.000000 0.000000 0.000000\n"
            "0.000000 0.000000 1.000000 0.000000 0.000000 0.000000\n"
            "0.000000 0.000000 0.000000 1.000000 0.000000 0.000000\n"
            "0.000000 0.000000 0.000000 0.000000 1.000000 0.000000\n"
            "0.000000 0.000000 0.000000 0.000000 0.000000 1.000000\n";
        t += rows;
        t += "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n";
        t += "Stripped standards activities\n";
        t += rows;  // a zero strip line changes nothing
        return t;
    }

    // Console of a method without spectra.
    std::string console() const {
        std::string t = console_head() + "BG spectrum not present\n";
        for (int i = 0; i < 6; ++i) t += "Calibration spectrum not present\n";
        return t + "Local BG spectrum not present\n";
    }

    // method.txt up to and including the three reserved integers.
    std::string echo_head() const {
        std::string t = name + "\r\n";
        for (size_t i = 0; i < 6; ++i) {
            if (i < components.size()) {
                t += components[i].first + "\r\n" + components[i].second + "\r\n";
            } else {
                t += "\r\n\r\n";
            }
        }
        for (int i = 0; i < 6; ++i) {
            for (int k = 0; k < 6; ++k) t += i == k ? "1.000000\r\n" : "0.000000\r\n";
        }
        for (int k = 0; k < 6; ++k) t += "0.000000\r\n";
        for (const auto& line : rois) {
            for (int v : line) t += std::to_string(v) + "\r\n";
        }
        for (int k = 0; k < 18; ++k) t += "0.000000\r\n";  // factors, detection, partial limits
        return t + "0\r\n0\r\n0\r\n";
    }

    // method.txt of a method without spectra: eight flags of 0.
    std::string echo() const {
        return echo_head() + "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n";
    }

    int count() const { return static_cast<int>(components.size()); }
};

// A ROI line whose first pair is (first, end) as written in the file.
inline std::array<int, 12> roi(int first, int end) { return {first, end, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

inline std::string header_console(const MethodFile& m) {
    std::string t = "Name\t";
    for (const auto& c : m.components) t += c.first + "\t";
    for (const auto& c : m.components) t += "sd" + c.first + "[" + c.second + "]\t";
    t += "qfit\tgain\tweightF\t DRate\t";
    for (const auto& c : m.components) t += c.first + "[cpm]\t";
    return t + "\n\n\n";
}

inline std::string header_file(const MethodFile& m) {
    std::string t = "Name\t";
    for (const auto& c : m.components) t += c.first + "\t";
    for (const auto& c : m.components) t += "sd" + c.first + "[" + c.second + "]\t";
    t += "qfit\tgain\tlongitude\tlatitude\taltitude\tweightF\t DRate\t";
    for (const auto& c : m.components) t += c.first + "[cpm]\t";
    return t + "\n\n\n";
}

// The activity, deviation, qfit and gain columns of a row, masked with "~"
// where a fit over components runs (its values are checked elsewhere), and
// exact for a run without components.
inline std::string fit_columns(int components) {
    if (components == 0) return kEmptyFit;
    std::string t;
    for (int i = 0; i < 2 * components + 2; ++i) t += "~\t";
    return t;
}

struct Row {
    std::string name;
    std::string dose;                     // as printed, without the tab
    std::vector<std::string> rates = {};  // as printed, one per component
    std::string weight = "  1.000";
};

inline std::string row_console(const Row& r, int components) {
    std::string t = r.name + "\t" + fit_columns(components) + r.weight + "\t" + r.dose + "\t";
    for (const auto& rate : r.rates) t += rate + "\t";
    return t + "\n";
}

inline std::string row_file(const Row& r, int components) {
    std::string t = r.name + "\t" + fit_columns(components) +
                    " 0.0000000\t 0.0000000\t 0.0000000\t" + r.weight + "\t" + r.dose + "\t";
    for (const auto& rate : r.rates) t += rate + "\t";
    return t + "\n";
}

// Replaces the activity, deviation, qfit and gain columns of every result row
// (the only lines that start with "*") by "~".
inline std::string mask_fit(const std::string& text, int components) {
    if (components == 0) return text;
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size() - 1;
        std::string line = text.substr(start, end - start + 1);
        if (line[0] == '*') {
            std::vector<std::string> fields;
            size_t f = 0;
            for (size_t tab; (tab = line.find('\t', f)) != std::string::npos; f = tab + 1) {
                fields.push_back(line.substr(f, tab - f));
            }
            std::string rest = line.substr(f);
            for (int i = 1; i <= 2 * components + 2 && i < static_cast<int>(fields.size()); ++i) {
                fields[static_cast<size_t>(i)] = "~";
            }
            line.clear();
            for (const auto& field : fields) line += field + "\t";
            line += rest;
        }
        out += line;
        start = end + 1;
    }
    return out;
}

// What a run leaves: its streams, result.txt and method.txt.
struct Outcome {
    test_support::RunResult run;
    std::string result;
    std::string method;
};

inline Outcome run_in(const test_support::ScratchDir& dir) {
    Outcome o;
    o.run = test_support::run_assay_in(dir.path());
    o.result = dir.read("result.txt");
    o.method = dir.read("method.txt");
    return o;
}

// Diagnostics are one line each and begin with the name of the file at fault;
// their wording is free.
inline void expect_diagnostics(const std::string& err, const std::vector<std::string>& files) {
    const std::vector<std::string> lines = lines_of(err);
    ASSERT_EQ(lines.size(), files.size()) << err;
    ASSERT_TRUE(err.empty() || err.back() == '\n') << err;
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("assay: " + files[i], 0), 0u)
            << "line " << i << " should name " << files[i] << ": " << lines[i];
    }
}

}  // namespace run_e2e
