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

}  // namespace

// Every number of a row of two components is the value or its negative.
// Exact ties at each precision the table uses (half to even), values wider
// than their column, the largest float, negative zero and the non-numbers,
// binary fractions, the magnitudes a table holds, and floats of every
// magnitude from random bit patterns. The entry's name stops at a NUL.
TEST(TableRow, NumbersAsTheCLibraryPrintsThem) {
    std::vector<float> values = {0.0f,   -0.0f,    0.125f,   0.375f, 2.5f,      0.05f,     1.005f,    99.995f,
                                 1e7f,   1.5e-5f,  -0.004f,  1e-40f, NAN,       -NAN,      INFINITY,  -INFINITY,
                                 3.4028235e38f};
    for (int i = -3000; i <= 3000; i += 7) {
        for (int j = 1; j <= 12; ++j) values.push_back(std::ldexp(static_cast<float>(i), -j));
    }
    std::mt19937 bits(2026);
    std::uniform_real_distribution<float> usual(-2e5f, 2e5f);
    for (int i = 0; i < 5000; ++i) values.push_back(usual(bits));
    for (int i = 0; i < 20000; ++i) values.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits())));
    for (const float value : values) {
        FinishedRow row;
        row.entry = std::string("*s1.txt\0tail", 12);
        RowComponent component;
        component.activity = component.count_rate_cpm = value;
        component.activity_sd = -value;
        row.components = {component, component};
        row.qfit = row.gain = value;
        row.weight = -value;
        row.dose_rate = value;
        for (const bool file : {false, true}) {
            std::string expected = "*s1.txt\t" + printed("%7.2f\t", value) + printed("%7.2f\t", value) +
                                   printed("%7.2f\t", -value) + printed("%7.2f\t", -value) +
                                   printed("%7.2f\t", value) + printed("%7.4f\t", value);
            if (file) expected += printed("%10.7f\t", 0.0) + printed("%10.7f\t", 0.0) + printed("%10.7f\t", 0.0);
            expected += printed("%7.3f\t", -value) + printed("%4.2f\t", value) + printed("%4.1f\t", value) +
                        printed("%4.1f\t", value) + "\n";
            ASSERT_EQ(table_row_text(row, file), expected) << "value " << value;
        }
    }
}
