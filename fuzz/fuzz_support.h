// Shared by the fuzz targets: a private working directory for the files the
// program reads and writes, and a sink for its console output.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz_support {

// Enters a fresh temporary directory once per process; the program under test
// reads and writes fixed file names in the current directory.
inline void enter_work_directory() {
    static char directory[] = "/tmp/assay-fuzz-XXXXXX";
    static const bool entered = [] {
        if (mkdtemp(directory) == nullptr || chdir(directory) != 0) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(directory, ignored);
        });
        return true;
    }();
    (void)entered;
}

inline void write_file(const char* name, const void* data, size_t size) {
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

inline FILE* null_sink() {
    static FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

// A valid spectrum file: times and 1024 counts of a small peak.
inline std::string spectrum_text(unsigned long long live_us, int height) {
    std::string text = std::to_string(live_us) + "\n" + std::to_string(live_us + 1000000) + "\n";
    for (int i = 0; i < 1024; ++i) {
        int d = i - 300;
        text += std::to_string(5 + (d * d < 100 ? height : 0)) + "\n";
    }
    return text + "0 0 0 0\n";
}

}  // namespace fuzz_support
