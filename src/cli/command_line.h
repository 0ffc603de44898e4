// The command line: options that only add to what a bare run does.
//
// In: the program's arguments.
// Out: the options of the run, the directory to run in, and whether help or
// the version was asked for.
// Failure: every usage error (an unknown option, a missing or wrong value, an
// option where a value is expected, a stray argument, --threads with
// --straightforward, a run's option with the trend subcommand) is refused with a message before any file is touched;
// the program then ends with status 2.
#pragma once

#include <string>

#include "run/run.h"
#include "trend/trend.h"

struct CommandLine {
    RunOptions run;
    std::string directory;  // -C / --directory: where to run
    bool help = false;
    bool version = false;
    // `assay trend ...`: write the trend site instead of running. Its
    // reference time is --to where given, else the time it starts.
    bool trend = false;
    TrendOptions trend_options;
    bool trend_to_given = false;
};

// Parses the arguments (argv[0] is the program). Returns 0, or 2 with a
// message in *error.
int parse_command_line(int argc, const char* const* argv, CommandLine* line, std::string* error);

// The text of --help; of `assay trend --help` with `trend`.
std::string command_line_help(bool trend = false);

// The whole program: parses the command line, then runs. Returns the exit
// status: 2 for a wrong command line (before any file is touched), else that
// of run_assay.
int assay_main(int argc, const char* const* argv);
