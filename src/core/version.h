// The program's version (the project's, set by the build) and the version of
// the processor whose table it writes, shown in the banner.
#pragma once

// "0.2.0": what --version and the report name.
const char* program_version();

// The version text of the banner.
inline constexpr const char* kVersion = "1.2";
