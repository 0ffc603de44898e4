// ORTEC CHN, little-endian binary: a 32-byte header (type word -1, MCA and
// segment numbers, the start's seconds, real and live time in ticks of 20 ms,
// start date and time, first channel and number of channels), one 32-bit
// count per channel, then optionally a 512-byte trailer (type word -101 or
// -102) whose first terms are the energy calibration as 32-bit reals:
// offset, slope and quadratic term.
#include <cstdint>
#include <cstring>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"
#include "input/formats/times.h"

namespace {

constexpr size_t kHeaderBytes = 32;
constexpr size_t kTrailerBytes = 512;
constexpr double kTickSeconds = 0.02;

using formats::incomplete;

uint32_t u16(std::string_view bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

uint32_t u32(std::string_view bytes, size_t at) { return u16(bytes, at) | u16(bytes, at + 2) << 16; }

int32_t i32(std::string_view bytes, size_t at) {
    const uint32_t raw = u32(bytes, at);
    int32_t value = 0;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

float f32(std::string_view bytes, size_t at) {
    const uint32_t raw = u32(bytes, at);
    float value = 0;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

}  // namespace

Expected<SourceSpectrum, SpectrumFailure> read_ortec_chn(std::string_view bytes) {
    SourceSpectrum source;
    source.format = "ORTEC CHN";
    source.live_time_name = "header live time";
    source.real_time_name = "header real time";
    if (bytes.size() < kHeaderBytes) {
        return incomplete(format("holds only %zu of the %zu header bytes", bytes.size(), kHeaderBytes));
    }
    if (u16(bytes, 0) != 0xFFFFu) return incomplete("type word is not -1");
    source.real_time_s = i32(bytes, 8) * kTickSeconds;
    source.live_time_s = i32(bytes, 12) * kTickSeconds;
    const uint32_t first = u16(bytes, 28);
    const uint32_t count = u16(bytes, 30);
    if (count == 0) return incomplete("holds no channels (channel count 0)");
    if (first + count > static_cast<uint32_t>(kMaxSourceChannels)) {
        return incomplete(format("holds channels %u to %u; at most %d can be read", first, first + count - 1,
                                 kMaxSourceChannels));
    }
    const size_t counts_end = kHeaderBytes + 4 * size_t{count};
    if (bytes.size() < counts_end) {
        return incomplete(format("holds only %zu of its %u counts", (bytes.size() - kHeaderBytes) / 4, count));
    }
    source.counts.assign(first, 0.0);
    source.counts.reserve(first + count);
    for (size_t at = kHeaderBytes; at < counts_end; at += 4) source.counts.push_back(u32(bytes, at));
    if (first > 0) source.notes.push_back(format("data start at channel %u; the channels below are 0", first));
    const std::string_view date = bytes.substr(16, 8), clock = bytes.substr(24, 4), seconds = bytes.substr(6, 2);
    const std::string stated = std::string(date) + " " + std::string(clock) + std::string(seconds);
    formats::take_start_time(formats::parse_chn_date_time(date, clock, seconds), "header date and time", stated,
                             &source);

    const size_t rest = bytes.size() - counts_end;
    if (rest == 0) return source;
    if (rest < kTrailerBytes) {
        return incomplete(format("calibration trailer holds only %zu of its %zu bytes", rest, kTrailerBytes));
    }
    const uint32_t type = u16(bytes, counts_end);
    if (type != 0x10000u - 101u && type != 0x10000u - 102u) {
        return incomplete(format("ends with %zu bytes that are no calibration trailer (type word %d)", rest,
                                 static_cast<int>(type) - (type >= 0x8000u ? 0x10000 : 0)));
    }
    source.calibration = formats::tidy_calibration(
        {f32(bytes, counts_end + 4), f32(bytes, counts_end + 8), f32(bytes, counts_end + 12)}, &source.unread);
    if (rest > kTrailerBytes) source.unread.push_back(format("%zu bytes after the trailer", rest - kTrailerBytes));
    return source;
}
