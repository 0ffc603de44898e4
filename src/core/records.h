// The core records and limits: every piece of data that passes between the
// modules. Everything above this layer includes it; it includes nothing of
// theirs.
//
// Every record is a plain fixed-size struct with no behaviour. The run creates
// each one zero-filled (value-initialised) and hands it to the readers and the
// analysis by address; nothing in them grows at run time. Times are whole
// seconds (the files give microseconds), counts int32, reals float.
#pragma once

#include <cstdint>

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
