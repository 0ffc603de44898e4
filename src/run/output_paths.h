// Whether the report, the results database or the pictures would land on a file the run itself
// reads or writes: a report written over config.txt empties it before it is
// read, and one written over result.txt mixes two outputs in one file.
//
// In: the options' report path, results database and picture directory (with index.html and a
// picture per evaluate entry in it); CONFIG, the method file it names, DOSE,
// RESULT, METHOD and the spectrum files that the configuration and the
// method file name. The configuration and the method file are read, nothing
// is written. Relative paths are taken from the current directory.
// Out: one line naming the first clash (the path of the option, the file it
// meets and what the run does with that file), or an empty text when there is
// none. Two paths meet when they are one existing file, whatever the names
// (links and "../" included), or, where no file exists yet, when their
// absolute forms with every existing directory resolved are equal.
// Failure: none; a configuration or method file that cannot be read, or is
// no regular file (a pipe read here would be lost to the run), names no
// further files, and the run itself says what is wrong with it.
#pragma once

#include <string>

#include "run/run.h"

std::string output_path_clash(const RunOptions& options);
