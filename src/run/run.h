// The run: walks config.txt in the working directory, keeps the sum of
// spectra, evaluates it at every evaluate entry and writes the outputs.
//
// In: DOSE, CONFIG, the method file named there and the spectrum files its
// entries name, all in the current directory; the options.
// Out: METHOD, RESULT and the table with progress lines on the console; the
// report, the pictures and the rows of the results database when asked for
// (one transaction per evaluation, so a run cut short leaves whole ones).
// Everything is written in
// configuration order, each row as soon as it and all rows before it are
// complete, although evaluations may run in parallel.
// Failure: problems with the input go to the diagnostics stream, one line
// each, and the entry concerned is skipped; root causes that spoil the whole
// run (no config.txt, no method, a component without a usable standard) are
// said once, up front, and a run in which anything was skipped, failed or
// flagged ends with a one-line summary there. The exit status is 1 when an
// output cannot be created or written, 2 when the report or a picture would
// land on a file the run reads or writes (refused before anything is
// written), and with --strict 3 when the run did not evaluate everything it
// was asked to or the method's metadata file has a problem.
#pragma once

#include <cstdio>
#include <string>

#include "analysis/analysis.h"

// How a run may go about its work. Nothing here changes what the run writes
// to the console, RESULT and METHOD.
enum class PlotSelect {
    all,      // every evaluation
    flagged,  // those with a flag: unknown nuclide, a limit exceeded, a failed or poor
              // fit, the gain at the scan's edge, a component's ROIs interfered
};

struct RunOptions {
    int threads = 0;               // evaluations at once; 0: one per hardware thread
    bool straightforward = false;  // the reference form of the analysis on one thread
    std::string report_path;       // when not empty: also write the JSON Lines report there
    std::string plot_directory;    // when not empty: also draw evaluations there
    PlotSelect plot_select = PlotSelect::all;
    bool strict = false;           // exit status 3 when anything was skipped or failed
    std::string dose_unit;         // the dose column's unit, for the report and the pictures
    double alpha = 0.05;           // false-detection probability at the decision threshold
    double beta = 0.05;            // probability of missing an activity at the detection limit
    GainSearch gain_search = GainSearch::none;  // how the gain scan is placed
    double unknown_sigma = kUnknownSigma;  // significance of an unknown peak, standard deviations
    double interference_p = kInterferenceProbability;  // below it a component's ROIs are interfered
    // When not empty: also write every evaluation to the results database
    // there, tagged with `station` (empty: the working directory's name).
    std::string db_path;
    std::string station;
    double coverage = 0.95;        // probability of the coverage intervals, 0 < coverage < 1
};

// Exit statuses besides 0.
inline constexpr int kExitWriteFailed = 1;  // an output could not be created or written (the
                                            // results database included)
inline constexpr int kExitUsage = 2;        // a wrong command line, such as a report or
                                            // picture path that is a file of the run itself
inline constexpr int kExitIncomplete = 3;   // --strict: an entry skipped, a fit failed, no
                                            // dose calibration, or nothing to run

// Runs the whole configuration in the current directory and returns the exit
// status.
int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options = {});
