// Whole input files in memory. Every reader works on the bytes of a file,
// never on a stream, so that a file is read once and a damaged one is
// refused before anything of it is stored.
#pragma once

#include <cstddef>
#include <string>

#include "core/expected.h"

// Largest input file read, 64 MiB: far beyond any real input, it stops a
// device or a runaway file from taking all memory.
inline constexpr size_t kMaxInputFileBytes = size_t{64} << 20;

// The bytes of the file at `path` as they are. The failure is the system's
// reason ("No such file or directory"), or "File too large" beyond
// kMaxInputFileBytes.
Expected<std::string> read_file_bytes(const std::string& path);

// The same with every CR LF pair turned into one LF, as a text-mode read on
// the platforms the files come from does.
Expected<std::string> load_text_file(const std::string& path);

// `bytes` with every CR LF pair turned into one LF.
std::string fold_line_ends(std::string bytes);
