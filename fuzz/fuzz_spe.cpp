// Any bytes through the reader read_iaea_spe and the conversion to the record;
// and the same bytes with a blank before every line end, which the reader's
// shortcut for fixed-width lines never takes, must give the same counts.
#include <cstdlib>
#include <string>

#include "fuzz_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string spaced;
    for (char c : bytes) {
        if (c == '\n') spaced += ' ';
        spaced += c;
    }
    const auto fast = read_iaea_spe(bytes);
    const auto plain = read_iaea_spe(spaced);
    if (fast.ok() != plain.ok()) std::abort();
    if (fast && (fast->counts != plain->counts || fast->live_time_s != plain->live_time_s)) std::abort();
    return fuzz_formats::check_reader(read_iaea_spe, data, size);
}
