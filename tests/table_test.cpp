// The result table's rows, checked against the C library's formatted printing
// of the table's column formats.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "output/table.h"

namespace {

std::string printed(const char* format, double value) {
    char text[512];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A row of two components whose every number is `value`; the entry's name
// stops at a NUL, as "%s" stops.
FinishedRow row_of(float value) {
    FinishedRow row;
    row.entry = std::string("*s1.txt\0tail", 12);
    RowComponent component;
    component.activity = value;
    component.activity_sd = -value;
    component.count_rate_cpm = value;
    row.components = {component, component};
    row.qfit = value;
    row.gain = value;
    row.weight = -value;
    row.dose_rate = value;
    return row;
}

std::string expected_row(float value, bool file) {
    std::string text = "*s1.txt\t";
    for (int k = 0; k < 2; ++k) text += printed("%7.2f\t", value);
    for (int k = 0; k < 2; ++k) text += printed("%7.2f\t", -value);
    text += printed("%7.2f\t", value) + printed("%7.4f\t", value);
    if (file) text += printed("%10.7f\t", 0.0) + printed("%10.7f\t", 0.0) + printed("%10.7f\t", 0.0);
    text += printed("%7.3f\t", -value) + printed("%4.2f\t", value);
    for (int k = 0; k < 2; ++k) text += printed("%4.1f\t", value);
    return text + "\n";
}

}  // namespace

// Exact ties at every precision the table uses (half to even), values wider
// than their column, the largest float, negative zero and the non-numbers,
// then floats of every magnitude from random bit patterns.
TEST(TableRow, NumbersAsTheCLibraryPrintsThem) {
    std::vector<float> values = {0.0f,    -0.0f,     0.125f,     0.375f,   2.5f,       0.25f,     0.05f,
                                 1.005f,  99.995f,   0.00005f,   1.5e-5f,  123456.8f,  1e7f,      3.4028235e38f,
                                 1e-40f,  -0.004f,   NAN,        -NAN,     INFINITY,   -INFINITY, 0.00625f};
    std::mt19937 bits(2026);
    for (int i = 0; i < 20000; ++i) values.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits())));
    // Binary fractions, many of them ties at one of the precisions, and the
    // magnitudes a table holds.
    for (int i = -3000; i <= 3000; i += 7) {
        for (int j = 1; j <= 12; ++j) values.push_back(std::ldexp(static_cast<float>(i), -j));
    }
    std::uniform_real_distribution<float> usual(-2e5f, 2e5f);
    for (int i = 0; i < 5000; ++i) values.push_back(usual(bits));
    for (const float value : values) {
        for (const bool file : {false, true}) {
            ASSERT_EQ(table_row_text(row_of(value), file), expected_row(value, file))
                << "value " << value << (file ? " (file)" : " (console)");
        }
    }
    FinishedRow without_dose = row_of(1.0f);
    without_dose.dose_rate.reset();
    EXPECT_NE(table_row_text(without_dose, false).find("\t -1.000\tnan\t 1.0\t 1.0\t\n"), std::string::npos);
}
