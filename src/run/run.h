// The run: walks config.txt in the working directory, keeps the sum of
// spectra, evaluates it at every evaluate entry and writes the outputs.
//
// In: DOSE, CONFIG, the method file named there and the spectrum files its
// entries name, all in the current directory; the options.
// Out: METHOD, RESULT and the table with progress lines on the console; the
// report and the pictures when asked for. Everything is written in
// configuration order, each row as soon as it and all rows before it are
// complete, although evaluations may run in parallel.
// Failure: problems with the input go to the diagnostics stream, one line
// each, and the entry concerned is skipped; the exit status is 1 only when an
// output cannot be created or written.
#pragma once

#include <cstdio>
#include <string>

// How a run may go about its work. Nothing here changes what the run writes
// to the console, RESULT and METHOD.
struct RunOptions {
    int threads = 0;               // evaluations at once; 0: one per hardware thread
    bool straightforward = false;  // the reference form of the analysis on one thread
    std::string report_path;       // when not empty: also write the JSON Lines report there
    std::string plot_directory;    // when not empty: also draw every evaluation there
};

// Runs the whole configuration in the current directory. Returns the exit
// status: 0, or 1 when RESULT, the report or a picture cannot be created or
// written.
int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options = {});
