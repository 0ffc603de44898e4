// The report: JSON Lines, one object per entry that reads a spectrum, in
// configuration order (field reference in the README).
//
// In: finished rows, and the outcome of entries that write no row.
// Out: one line of JSON each, without its line end.
// Failure: none; writing the lines is the run's.
#pragma once

#include <string>

#include "output/row.h"

// An entry that read (or failed to read) a spectrum file and wrote no row.
struct ReportEntry {
    std::string token;   // as written in config.txt
    int index = 0;       // position among the configuration's entries, from 1
    const char* kind;    // "evaluate", "add" or "plain"
    std::string file;
    const char* status;  // "read", "added", "skipped_missing" or "skipped_damaged"
    std::string reason;  // for the skipped ones, in the words of the diagnostic
};

std::string report_entry_line(const ReportEntry& entry);
std::string report_row_line(const FinishedRow& row);
