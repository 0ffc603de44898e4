#include "input/formats/native.h"

#include "core/text.h"
#include "input/formats/common.h"
#include "input/scan.h"

Expected<SpectrumFile, SpectrumFailure> parse_spectrum_text(std::string_view text) {
    const auto fail = formats::incomplete;
    SpectrumFile spectrum;
    TextScanner scanner{text};
    const char* time_names[2] = {"live time", "real time"};
    uint64_t* times[2] = {&spectrum.live_time_us, &spectrum.real_time_us};
    for (int t = 0; t < 2; ++t) {
        const size_t at = scanner.pos;
        const ScanStatus status = scan_uint64(scanner, times[t]);
        if (status == ScanStatus::end_of_input) {
            return fail(t == 0 && text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos
                            ? "is empty"
                            : format("ends before its %s", time_names[t]));
        }
        if (status == ScanStatus::out_of_range) {
            return fail(format("%s is negative or beyond 64 bits", time_names[t]));
        }
        if (status != ScanStatus::ok) {
            return fail(format("%s does not scan at '%s' (line %d)", time_names[t],
                               excerpt_at(text, at).c_str(), line_of(text, at)));
        }
    }
    for (int i = 0; i < kChannels; ++i) {
        const size_t at = scanner.pos;
        const ScanStatus status = scan_int32(scanner, &spectrum.channel[i]);
        if (status == ScanStatus::end_of_input) {
            return fail(format("holds only %d of %d counts", i, kChannels));
        }
        if (status == ScanStatus::out_of_range) {
            return fail(format("count of channel %d is beyond the int32 range (line %d)", i,
                               line_of(text, at)));
        }
        if (status != ScanStatus::ok) {
            return fail(format("count of channel %d does not scan at '%s' (line %d)", i,
                               excerpt_at(text, at).c_str(), line_of(text, at)));
        }
    }
    // Four separate scans: one that fails leaves its real at 0 and the next
    // starts where it stopped, as everywhere else.
    for (float& real : spectrum.trailing) scan_float(scanner, &real);
    return spectrum;
}
