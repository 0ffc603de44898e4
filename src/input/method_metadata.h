// The method's metadata: an optional TOML file beside the method file, named
// after it with ".toml" appended (envmon.cal -> envmon.cal.toml), for what
// the method file itself has no room for. Today it holds each component's
// relative calibration uncertainty:
//
//     [components."Cs-137"]
//     calibration_uncertainty = 0.03   # relative standard uncertainty
//
// It is where further facts of the method belong (half-lives, reference
// dates, units): each is one more known key in the table of its level, read
// by the same rules.
//
// In: the method file's name and the names of its components, in method
// order; the bytes of the TOML file.
// Out: per component, in method order, what the file says or the default
// (0 for the calibration uncertainty, that is: taken as exact); the file's
// name and SHA-256 when there is one.
// Failure: problems are values, each naming the file, the line (0 for the
// file as a whole) and what is wrong: a file that exists but cannot be read,
// TOML that does not parse, an unknown key, a component the method lacks, a
// value of the wrong kind or outside its range. Nothing is guessed: with
// any problem the caller must take every value of the file as unknown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"

// What the file says of one component.
struct ComponentMetadata {
    // Relative standard uncertainty of the component's calibration (the
    // certified activity, geometry, density, emission probability), 0 <= u < 1.
    double calibration_uncertainty = 0.0;
};

struct MetadataProblem {
    std::string file;
    int64_t line = 0;     // from 1; 0 for the file as a whole
    std::string problem;  // "unknown key 'half_lfe' in component 'Cs-137'"
};

// "<file>:<line>: <problem>", or "<file>: <problem>" for line 0.
std::string metadata_message(const MetadataProblem& problem);

struct MethodMetadata {
    std::string file;    // the file read; empty when there is none
    std::string sha256;  // of its bytes; empty when there is none
    ComponentMetadata component[kMaxComponents];  // method order
    std::vector<MetadataProblem> problems;        // empty when the file is sound or absent
};

// The metadata file's name for the method file `method_file`.
std::string metadata_path(const std::string& method_file);

// Reads the metadata beside `method_file` for the components `names` (method
// order, at most kMaxComponents). No file there: the defaults, no file, no
// problem.
MethodMetadata read_method_metadata(const std::string& method_file, const std::vector<std::string>& names);

// The same for the bytes `text` of a file named `file`; sha256 is left empty.
MethodMetadata parse_method_metadata(std::string_view text, const std::string& file,
                                     const std::vector<std::string>& names);
