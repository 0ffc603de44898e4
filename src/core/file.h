// Files as owned resources: a FILE* closed when its owner goes, and whole
// files written or read in one call with the reason of a failure as a value.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/expected.h"

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens `path` with the fopen `mode`; the failure names the system's reason.
Expected<File> open_file(const std::string& path, const char* mode);

// Writes `bytes` to a new file at `path` (binary: the bytes as they are) and
// closes it; the failure says what went wrong ("cannot be written: ...").
Status write_whole_file(const std::string& path, std::string_view bytes);

// Flushes `file`; the failure says why the last writes did not reach it.
Status flush_file(FILE* file);

// Closes `file` (null: nothing to do); the failure says why the last writes
// did not reach it.
Status close_file(File file);
