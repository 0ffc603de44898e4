// Any bytes as a spectrum file: the reader must not crash, and must leave the
// record untouched whenever it reports the file as unusable.
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
    fuzz_support::write_file("s.txt", data, size);

    auto sample = std::make_unique<SampleRecord>();
    std::memset(sample.get(), 0x5a, sizeof(SampleRecord));
    auto before = std::make_unique<SampleRecord>(*sample);
    std::string problem;
    const int32_t result = read_sample("s.txt", sample.get(), &problem);
    if (result == 0 && std::memcmp(sample.get(), before.get(), sizeof(SampleRecord)) != 0) std::abort();
    if (result == 0 && problem.empty()) std::abort();
    if (result == 1 && sample->weight != before->weight) std::abort();
    return 0;
}
