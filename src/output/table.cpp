#include "output/table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "core/file.h"
#include "core/text.h"

void TableWriter::both(const std::string& text) const {
    std::fputs(text.c_str(), console_);
    std::fputs(text.c_str(), file_);
}

void TableWriter::header(const std::vector<std::string>& names, const std::vector<std::string>& units) {
    both("Name\t");
    for (const std::string& name : names) both(format("%s\t", name.c_str()));
    for (size_t i = 0; i < names.size(); ++i) {
        both(format("sd%s[%s]\t", names[i].c_str(), units[i].c_str()));
    }
    std::fputs(format("%s\t%s\t%s\t%s\t", "qfit", "gain", "weightF", " DRate").c_str(), console_);
    std::fputs(format("%s\t%s\t%s\t%s\t%s\t%s\t%s\t", "qfit", "gain", "longitude", "latitude",
                      "altitude", "weightF", " DRate")
                   .c_str(),
               file_);
    for (const std::string& name : names) both(format("%s[cpm]\t", name.c_str()));
    both("\n");
    both("\n\n");
}

namespace {

// The digits of a float's value times 10^precision (at most 7), rounded half
// to even as an exact decimal would be; false where that does not fit 64
// bits, or the value is not a finite float.
bool scaled_float(double value, int precision, uint64_t* scaled) {
    const auto single = static_cast<float>(value);
    if (!std::isfinite(single) || static_cast<double>(single) != value) return false;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);
    // |value| = mantissa 2^shift, the mantissa below 2^24.
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 24));
    const int shift = exponent - 24;
    uint64_t power = 1;
    for (int p = 0; p < precision; ++p) power *= 10;
    const uint64_t digits = mantissa * power;  // below 2^48
    if (shift >= 0) {
        if (shift > 15) return false;
        *scaled = digits << shift;
        return true;
    }
    if (-shift >= 50) {  // below a half
        *scaled = 0;
        return true;
    }
    const uint64_t below = uint64_t{1} << -shift;
    const uint64_t rest = digits & (below - 1);
    *scaled = digits >> -shift;
    if (rest > below / 2 || (rest == below / 2 && (*scaled & 1) != 0)) ++*scaled;
    return true;
}

// Appends `value` as "%<width>.<precision>f" writes it, then a tab: the
// exact decimal rounded half to even, right-aligned, "nan", "-nan", "inf"
// and "-inf" as the C library spells them.
void append_fixed(std::string* text, double value, int width, int precision) {
    char digits[512];  // the largest double has 309 digits before the point
    char* end = digits;
    uint64_t scaled = 0;
    if (precision <= 7 && scaled_float(value, precision, &scaled)) {
        // Written backwards from the end of `reversed`.
        char reversed[32];
        char* at = reversed + sizeof reversed;
        for (int p = 0; p < precision; ++p, scaled /= 10) *--at = static_cast<char>('0' + scaled % 10);
        if (precision > 0) *--at = '.';
        do {
            *--at = static_cast<char>('0' + scaled % 10);
            scaled /= 10;
        } while (scaled != 0);
        if (std::signbit(value)) *--at = '-';
        end = std::copy(at, reversed + sizeof reversed, digits);
    } else {
        end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision).ptr;
    }
    const auto length = static_cast<int>(end - digits);
    if (length < width) text->append(static_cast<size_t>(width - length), ' ');
    text->append(digits, static_cast<size_t>(length));
    text->push_back('\t');
}

}  // namespace

std::string table_row_text(const FinishedRow& row, bool file) {
    std::string text = row.entry.c_str();  // as "%s" shows it: up to a NUL
    text.reserve(text.size() + 256);
    text.push_back('\t');
    for (const RowComponent& c : row.components) append_fixed(&text, c.activity, 7, 2);
    for (const RowComponent& c : row.components) append_fixed(&text, c.activity_sd, 7, 2);
    append_fixed(&text, row.qfit, 7, 2);
    append_fixed(&text, row.gain, 7, 4);
    if (file) {
        for (int location = 0; location < 3; ++location) append_fixed(&text, 0.0, 10, 7);
    }
    append_fixed(&text, row.weight, 7, 3);
    // Without a complete calibration no dose rate is invented.
    if (row.dose_rate) {
        append_fixed(&text, *row.dose_rate, 4, 2);
    } else {
        text += "nan\t";
    }
    for (const RowComponent& c : row.components) append_fixed(&text, c.count_rate_cpm, 4, 1);
    return text + "\n";
}

void TableWriter::row(const FinishedRow& row) {
    std::fputs(table_row_text(row, false).c_str(), console_);
    std::fputs(table_row_text(row, true).c_str(), file_);
}

Status TableWriter::flush() { return flush_file(file_); }
