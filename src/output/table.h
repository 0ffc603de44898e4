// The result table: written piece by piece to the console and to RESULT
// ("result.txt"), console first. The file has three location columns (always
// zero) that the console leaves out; both end every field with a tab.
//
// In: the component names and units, and finished rows.
// Out: the header line and two empty lines, then one line per row, in the
// formats the table has always had ("%7.2f" activities, "%4.2f" dose rate,
// "nan" without a complete dose calibration).
// Failure: a write error of the file is returned by flush().
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/expected.h"
#include "output/row.h"

// One row as the table writes it, line end included: with the location
// columns for RESULT (`file`), without them for the console.
std::string table_row_text(const FinishedRow& row, bool file);

class TableWriter {
public:
    TableWriter(FILE* console, FILE* file) : console_(console), file_(file) {}

    // `names` and `units` of the components, in method order.
    void header(const std::vector<std::string>& names, const std::vector<std::string>& units);
    void row(const FinishedRow& row);
    // Pushes the file's rows out, so that a finished row survives whatever
    // happens to the run later.
    Status flush();

private:
    void both(const std::string& text) const;

    FILE* console_;
    FILE* file_;
};
