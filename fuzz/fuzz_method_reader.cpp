// Any bytes as a method file, with a valid and a truncated spectrum file that
// it may reference as "#a.txt" and "#b.txt".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "cli/command_line.h"
#include "core/records.h"
#include "input/method_file.h"
#include "input/spectrum_file.h"
#include "run/run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::enter_work_directory();
    static const bool prepared = [] {
        const std::string valid = fuzz_support::spectrum_text(600000000, 50);
        fuzz_support::write_file("a.txt", valid.data(), valid.size());
        fuzz_support::write_file("b.txt", valid.data(), valid.size() / 2);
        return true;
    }();
    (void)prepared;
    fuzz_support::write_file("m.cal", data, size);

    auto method = std::make_unique<MethodRecord>();
    auto names = std::make_unique<NameTable>();
    auto factors = std::make_unique<StandardFactors>();
    auto local_background = std::make_unique<LocalBackground>();
    const ReaderOutput output{fuzz_support::null_sink(), fuzz_support::null_sink()};
    read_calibration("m.cal", method.get(), names.get(), factors.get(), local_background.get(), output);

    if (method->component_count < 0 || method->component_count > kMaxComponents) std::abort();
    if (names->count != method->component_count) std::abort();
    for (int i = 0; i < kMaxComponents; ++i) {
        if (std::memchr(names->entry[i].name, 0, kTextField) == nullptr) std::abort();
        if (std::memchr(names->entry[i].unit, 0, kTextField) == nullptr) std::abort();
        const int32_t rois = method->component[i].roi_count;
        if (rois < 0 || rois > kMethodRois) std::abort();
    }
    return 0;
}
