// Any bytes through the reader read_csv_export and the conversion to the record.
#include "fuzz_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_formats::check_reader(read_csv_export, data, size);
}
