// Helpers shared by the source files of the module main (readers and run driver).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace assay_internal {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// printf into a std::string, for texts that go to more than one place.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One diagnostic line "assay: <message>" (nothing when `diagnostics` is null).
void diagnose(FILE* diagnostics, const std::string& message);

// The text of the current errno (EIO when errno is 0).
std::string describe_errno();

}  // namespace assay_internal
