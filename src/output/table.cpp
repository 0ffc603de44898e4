#include "output/table.h"

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

std::string table_row_text(const FinishedRow& row, bool file) {
    std::string text = format("%s\t", row.entry.c_str());
    for (const RowComponent& c : row.components) text += format("%7.2f\t", c.activity);
    for (const RowComponent& c : row.components) text += format("%7.2f\t", c.activity_sd);
    if (file) {
        text += format("%7.2f\t%7.4f\t%10.7f\t%10.7f\t%10.7f\t%7.3f\t", row.qfit, row.gain, 0.0, 0.0, 0.0,
                       row.weight);
    } else {
        text += format("%7.2f\t%7.4f\t%7.3f\t", row.qfit, row.gain, row.weight);
    }
    // Without a complete calibration no dose rate is invented.
    text += row.dose_rate ? format("%4.2f\t", *row.dose_rate) : std::string("nan\t");
    for (const RowComponent& c : row.components) text += format("%4.1f\t", c.count_rate_cpm);
    return text + "\n";
}

void TableWriter::row(const FinishedRow& row) {
    std::fputs(table_row_text(row, false).c_str(), console_);
    std::fputs(table_row_text(row, true).c_str(), file_);
}

Status TableWriter::flush() { return flush_file(file_); }
