// Shared by the fuzz targets of the readers of other spectrum formats: any
// bytes through one reader and the conversion must give a record that keeps
// the promises of input/formats/formats.h, or a failure that says why.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "input/formats/formats.h"

namespace fuzz_formats {

template <typename Reader>
int check_reader(Reader reader, const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto source = reader(bytes);
    if (!source) {
        if (source.error().message.empty()) std::abort();
        return 0;
    }
    for (double count : source->counts) {
        if (!std::isfinite(count)) std::abort();
    }
    if (source->counts.size() > static_cast<size_t>(kMaxSourceChannels)) std::abort();
    if (!source->calibration.empty() &&
        (source->calibration.size() < 2 || source->calibration.back() == 0.0)) {
        std::abort();
    }
    const size_t channels = source->counts.size();
    auto file = to_spectrum_file(std::move(*source));
    if (!file) {
        if (file.error().message.empty()) std::abort();
        return 0;
    }
    if (file->source_channels < 1 || file->source_channels > kMaxSourceChannels) std::abort();
    if (static_cast<size_t>(file->source_channels) != channels) std::abort();
    if (channels != static_cast<size_t>(kChannels) && file->conversion.empty()) std::abort();
    for (double c : file->calibration) {
        if (std::isnan(c)) std::abort();
    }
    return 0;
}

}  // namespace fuzz_formats
