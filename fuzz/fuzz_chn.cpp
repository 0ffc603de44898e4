// Any bytes through the reader read_ortec_chn and the conversion to the record.
#include "fuzz_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_formats::check_reader(read_ortec_chn, data, size);
}
