// A whole run on fuzzed files. The input is split at NUL bytes into
// config.txt, the method file m.cal, the spectrum files a.txt and b.txt, and
// dose.txt; missing parts are absent files.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "cli/command_line.h"
#include "core/records.h"
#include "input/method_file.h"
#include "input/spectrum_file.h"
#include "run/run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::enter_work_directory();
    const char* names[] = {"config.txt", "m.cal", "a.txt", "b.txt", "dose.txt"};
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (const char* name : names) {
        std::remove(name);
        if (rest.data() == nullptr) continue;
        const size_t cut = rest.find('\0');
        const std::string_view part = rest.substr(0, cut);
        fuzz_support::write_file(name, part.data(), part.size());
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    std::remove("result.txt");
    const int status = run_assay(fuzz_support::null_sink(), fuzz_support::null_sink());
    if (status != 0 && status != 1) __builtin_trap();
    return 0;
}
