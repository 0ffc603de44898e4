// The scanner against the C library's own scanning: any bytes, one value of
// each kind read from the start, compared with fscanf on the same bytes for
// the result, the value (bit for bit) and where the scan stopped. Numerals out
// of the target type's range are the one intended difference: there the
// scanner refuses and the C library stores something; only the stop must agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input/scan.h"
#include "input/text_file.h"

namespace {

struct LibraryScan {
    int result;
    long stop;
};

template <typename T>
LibraryScan library_scan(const std::string& bytes, const char* format, T* value) {
    std::string copy = bytes;
    FILE* stream = fmemopen(copy.empty() ? nullptr : copy.data(), copy.size(), "r");
    if (stream == nullptr) return {-2, 0};
    const int result = std::fscanf(stream, format, value);
    const long stop = std::ftell(stream);
    std::fclose(stream);
    return {result, stop};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // fmemopen of an empty buffer fails; NUL bytes end what glibc sees in some
    // paths, so both are left out.
    if (size == 0 || std::memchr(data, 0, size) != nullptr) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    {
        int32_t ours = 7;
        int theirs = 7;
        TextScanner scanner{bytes};
        const ScanStatus status = scan_int32(scanner, &ours);
        const LibraryScan library = library_scan(bytes, "%d", &theirs);
        if (library.result == -2) return 0;
        if (static_cast<long>(scanner.pos) != library.stop) std::abort();
        if (status == ScanStatus::ok && (library.result != 1 || ours != theirs)) std::abort();
        if (status == ScanStatus::no_match && library.result != 0) std::abort();
        if (status == ScanStatus::end_of_input && library.result != EOF) std::abort();
        if (status == ScanStatus::out_of_range && library.result != 1) std::abort();
    }
    {
        float ours = 7.0f;
        float theirs = 7.0f;
        TextScanner scanner{bytes};
        const ScanStatus status = scan_float(scanner, &ours);
        const LibraryScan library = library_scan(bytes, "%f", &theirs);
        if (static_cast<long>(scanner.pos) != library.stop) std::abort();
        if (status == ScanStatus::ok &&
            (library.result != 1 || std::memcmp(&ours, &theirs, sizeof ours) != 0)) {
            std::abort();
        }
        if (status == ScanStatus::no_match && library.result != 0) std::abort();
        if (status == ScanStatus::end_of_input && library.result != EOF) std::abort();
    }
    {
        uint64_t ours = 7;
        unsigned long theirs = 7;
        TextScanner scanner{bytes};
        const ScanStatus status = scan_uint64(scanner, &ours);
        const LibraryScan library = library_scan(bytes, "%lu", &theirs);
        if (static_cast<long>(scanner.pos) != library.stop) std::abort();
        if (status == ScanStatus::ok && (library.result != 1 || ours != theirs)) std::abort();
        if (status == ScanStatus::no_match && library.result != 0) std::abort();
        if (status == ScanStatus::end_of_input && library.result != EOF) std::abort();
    }
    return 0;
}
