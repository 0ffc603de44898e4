#include "output/table.h"

#include <charconv>

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

// Appends `value` as "%<width>.<precision>f" writes it: the shortest exact
// decimal rounded half to even, right-aligned, "nan", "-nan", "inf" and
// "-inf" as the C library spells them.
void append_fixed(std::string* text, double value, int width, int precision) {
    char digits[512];  // the largest double has 309 digits before the point
    const std::to_chars_result written =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    const auto length = static_cast<int>(written.ptr - digits);
    if (length < width) text->append(static_cast<size_t>(width - length), ' ');
    text->append(digits, static_cast<size_t>(length));
    text->push_back('\t');
}

}  // namespace

std::string table_row_text(const FinishedRow& row, bool file) {
    std::string text = row.entry.c_str();  // as "%s" shows it: up to a NUL
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
