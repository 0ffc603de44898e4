// Core records, the two file readers and the run driver of the assay processor.
//
// Every record is a plain fixed-size struct. The run driver creates each one
// zero-filled (value-initialised) once per run and hands it to the readers and
// the analysis by address; nothing in them grows at run time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// ---------------------------------------------------------------------------
// Limits, defined once and used as array sizes throughout.

inline constexpr int kMaxComponents = 6;      // components (nuclides or groups) per method
inline constexpr int kChannels = 1024;        // channels of every spectrum
inline constexpr int kComponentRois = 10;     // room for ROI pairs per component
inline constexpr int kMethodRois = 6;         // ROI pairs per component that a method file can give
inline constexpr int kTextField = 10;         // bytes of a name or unit field, NUL included
inline constexpr int kShortChannels = 256;    // channels of the short spectrum that method files carry

// Fixed file names in the working directory.
inline constexpr const char* DOSE = "dose.txt";
inline constexpr const char* CONFIG = "config.txt";
inline constexpr const char* RESULT = "result.txt";
inline constexpr const char* METHOD = "method.txt";

// Version text shown in the banner.
inline constexpr const char* kVersion = "1.2";

// ---------------------------------------------------------------------------
// Records.

// Everything the method file says about one component.
struct ComponentBlock {
    float weight;                          // scale of the standard spectrum; 1.0 once a method is read
    float standard_activity[kMaxComponents];  // activity of component k in this component's standard,
                                              // after the strip line was added (negative sums set to 0)
    uint64_t standard_live_time;           // s
    uint64_t standard_real_time;           // s
    int32_t standard_channel[kChannels];   // counts of the standard spectrum
    uint64_t background_live_time;         // s; the one background of the method, same in all blocks
    uint64_t background_real_time;         // s
    int32_t background_channel[kChannels]; // counts of the background spectrum
    uint64_t in_summary;                   // nonzero: counted in the summary sums; no input sets it
    int32_t roi_count;                     // leading ROI pairs in use, 0 to 6
    int32_t roi[kComponentRois][2];        // (first, end) in full-scale channels once read
};

// The method (calibration) of a whole run.
struct MethodRecord {
    int32_t component_count;                  // 0 to 6; 0 when no method file could be read
    float detection_limit[kMaxComponents];    // activity below this counts as not detected
    float partial_limit[kMaxComponents];      // limit for activity + sd; 0 or less switches it off
    ComponentBlock component[kMaxComponents]; // all six filled from the file; first component_count used
};

struct NameEntry {
    char name[kTextField];  // component name, at most 9 characters
    char unit[kTextField];  // unit of its activity, at most 9 characters
};

// Names and units of the components, for the result table's header.
struct NameTable {
    int32_t count;                     // name/unit pairs read; equals component_count
    NameEntry entry[kMaxComponents];   // unfilled entries stay empty
};

// Divisors applied to activities and standard deviations after each evaluation.
struct StandardFactors {
    float factor[kMaxComponents];  // 0 means: leave undivided
};

// The local background spectrum: the last spectrum of the method file.
struct LocalBackground {
    uint64_t live_time;          // s; 0 marks an absent spectrum
    uint64_t real_time;          // s
    int32_t channel[kChannels];  // counts
};

// One spectrum (or sum of spectra) and the results of its last evaluation.
struct SampleRecord {
    float weight;                       // weight factor; 1.0 at run start, set by "^" entries
    float summary_limit;                // limit for the summary activity; stays 0 in a run
    uint64_t live_time;                 // s
    uint64_t real_time;                 // s
    int32_t channel[kChannels];         // counts
    float activity[kMaxComponents];     // result, per component in method order
    float activity_sd[kMaxComponents];  // result: standard deviation of each activity
    float qfit;                         // result: fit quality figure
    float summary_activity;             // result: sum of activity + sd over summary components
    float summary_fraction;             // result: sum of (activity + sd) / partial_limit over them
    int32_t over_limit[kMaxComponents]; // result: 1 where activity + sd exceeds partial_limit
    int32_t below_limit[kMaxComponents];// result: 1 where the component counts as not detected
    int32_t limit_status;               // result: bit 0 over a partial limit, bit 1 total, bit 2 fraction
    int32_t unknown_found;              // result: 1 when an unexplained excess was found
    float gain;                         // result: best gain factor of the fit
};

// ---------------------------------------------------------------------------
// Spectrum file reader.
//
// A spectrum file holds, separated by any white space: live time and real time
// in microseconds (unsigned 64-bit decimals), 1024 counts (int32 decimals) and
// four trailing reals that are not used and may be missing. LF and CR LF line
// ends are both accepted.

// Reads the spectrum file `path` into live_time, real_time (converted to whole
// seconds, remainder dropped) and channel of `sample`; no other field is touched.
// Returns 1 when both times and all 1024 counts scanned. Returns 0 when the file
// cannot be opened or is incomplete (a missing or malformed time or count, an
// empty file); `sample` is then left exactly as it was, and when `problem` is
// given it receives a short description ("cannot be opened: ...", "holds only
// 17 of 1024 counts", ...).
int32_t read_sample(const char* path, SampleRecord* sample, std::string* problem = nullptr);

// ---------------------------------------------------------------------------
// Method file reader and method echo.

// Where the method reader writes. Console lines go to `console`; problems with
// the input (a file that cannot be opened, the first value that does not scan,
// an over-long name, ...) go to `diagnostics`, one line each, naming the file.
struct ReaderOutput {
    FILE* console;
    FILE* diagnostics;
};

// Reads the method file `path` into the four records (which must be
// zero-filled on entry) and writes its normalised echo to METHOD in the current
// directory, with every spectrum inline and every line ending in CR LF. The
// reading is lenient: a value that does not scan leaves its field as it was and
// reading goes on; values that go into no record read as 0. A method file that
// cannot be opened leaves the records zero (component_count 0) and METHOD
// empty. Always returns 1.
int32_t read_calibration(const char* path, MethodRecord* method, NameTable* names,
                         StandardFactors* factors, LocalBackground* local_background,
                         const ReaderOutput& output);

// ---------------------------------------------------------------------------
// Run driver.

// How a run may go about its work. Nothing here changes what the run writes
// to the console, RESULT and METHOD.
struct RunOptions {
    int threads = 0;               // evaluations at once; 0: one per hardware thread
    bool straightforward = false;  // plain form of the analysis on one thread (the reference)
    std::string report_path;       // when not empty: also write the JSON Lines report there
    std::string plot_directory;    // when not empty: also draw every evaluation there
};

// Runs the whole configuration in the current directory: reads DOSE, CONFIG and
// the method file named there, writes METHOD and RESULT, and prints progress and
// the result table to `console`. Problems with the input go to `diagnostics`.
// Evaluations may run in parallel; everything is written in configuration
// order, each row as soon as it and all rows before it are complete.
// Returns the exit status: 0, or 1 when RESULT cannot be created or written.
int run_assay(FILE* console, FILE* diagnostics, const RunOptions& options = {});

// ---------------------------------------------------------------------------
// Command line.

struct CommandLine {
    RunOptions run;
    std::string directory;  // -C / --directory: where to run
    bool help = false;
    bool version = false;
};

// Parses the arguments (argv[0] is the program). Returns 0, or 2 with a
// message in *error for an unknown option, a missing or wrong value, or an
// argument that is not an option.
int parse_command_line(int argc, const char* const* argv, CommandLine* line, std::string* error);

// The whole program: parses the command line, then runs. Returns the exit
// status: 2 for a wrong command line (before any file is touched), else that
// of run_assay.
int assay_main(int argc, const char* const* argv);
