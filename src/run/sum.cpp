#include "run/sum.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

namespace {

// a + b, or the type's limit where that does not fit; *held then set.
template <typename T>
T held_add(T a, T b, bool* held) {
    using Limits = std::numeric_limits<T>;
    if (b > 0 && a > Limits::max() - b) {
        *held = true;
        return Limits::max();
    }
    if constexpr (Limits::is_signed) {
        if (b < 0 && a < Limits::min() - b) {
            *held = true;
            return Limits::min();
        }
    }
    return static_cast<T>(a + b);
}

// Adds `counts` to `sum` channel by channel with held_add. The usual sum
// overflows nowhere, which one pass in wrapping arithmetic (vector lanes)
// tells; only then is each channel added on its own.
void add_channels(const int32_t* counts, int32_t* sum, bool* held) {
    uint32_t overflow = 0;
    for (int i = 0; i < kChannels; ++i) {
        const auto a = static_cast<uint32_t>(sum[i]);
        const auto b = static_cast<uint32_t>(counts[i]);
        const uint32_t wrapped = a + b;
        overflow |= (a ^ wrapped) & (b ^ wrapped);  // sign bit: both signs alike, the sum's not
    }
    if ((overflow >> 31) == 0) {
        for (int i = 0; i < kChannels; ++i) {
            sum[i] = static_cast<int32_t>(static_cast<uint32_t>(sum[i]) + static_cast<uint32_t>(counts[i]));
        }
        return;
    }
    for (int i = 0; i < kChannels; ++i) sum[i] = held_add(sum[i], counts[i], held);
}

}  // namespace

bool add_to_sum(const SpectrumFile& file, const std::string& name, SpectrumSum* sum) {
    bool held = false;
    sum->live_time_us = held_add(sum->live_time_us, file.live_time_us, &held);
    sum->real_time_us = held_add(sum->real_time_us, file.real_time_us, &held);
    sum->live_time_s = held_add(sum->live_time_s, microseconds_to_seconds(file.live_time_us), &held);
    sum->real_time_s = held_add(sum->real_time_s, microseconds_to_seconds(file.real_time_us), &held);
    add_channels(file.channel, sum->channel, &held);
    if (sum->files.empty()) {
        sum->calibration = file.calibration;
    } else if (sum->calibration != file.calibration) {
        sum->calibration_agrees = false;
    }
    sum->files.push_back(SumFile{name, file.start_time, file.real_time_us});
    return held;
}

std::vector<double> agreed_calibration(const SpectrumSum& sum) {
    return sum.calibration_agrees ? sum.calibration : std::vector<double>{};
}

MeasurementSpan measurement_span(const SpectrumSum& sum) {
    MeasurementSpan span;
    for (const SumFile& file : sum.files) {
        if (!file.start_time) continue;
        if (span.start && span.start->utc != file.start_time->utc) return MeasurementSpan{{}, {}, true};
        const int64_t real_s = static_cast<int64_t>(microseconds_to_seconds(file.real_time_us));
        const StartTime end = later_by(*file.start_time, real_s);
        if (!span.start || file.start_time->seconds < span.start->seconds) span.start = file.start_time;
        if (!span.end || end.seconds > span.end->seconds) span.end = end;
    }
    return span;
}

std::vector<std::string> file_names(const SpectrumSum& sum) {
    std::vector<std::string> names;
    for (const SumFile& file : sum.files) names.push_back(file.name);
    return names;
}

double dead_time_percent(const SpectrumSum& sum) {
    return (1.0 - static_cast<double>(sum.live_time_us) / static_cast<double>(sum.real_time_us)) * 100.0;
}

double live_time_dropped_percent(const SpectrumSum& sum) {
    if (sum.live_time_us == 0) return 0.0;
    const double exact = static_cast<double>(sum.live_time_us) / 1e6;
    return (exact - static_cast<double>(sum.live_time_s)) / exact * 100.0;
}

void sample_of(const SpectrumSum& sum, float weight, SampleRecord* sample) {
    *sample = SampleRecord{};
    sample->weight = weight;
    sample->live_time = sum.live_time_s;
    sample->real_time = sum.real_time_s;
    std::copy(std::begin(sum.channel), std::end(sum.channel), sample->channel);
}

float count_rate(const SampleRecord& sum, const ComponentBlock& block) {
    const float live_time = static_cast<float>(sum.live_time);
    const int32_t first = block.roi[0][0];
    const int32_t end = block.roi[0][1];
    float counts = 0.0f;
    if (first < end) {
        for (int32_t ch = std::max(first, 0); ch < std::min(end, kChannels); ++ch) {
            counts += static_cast<float>(sum.channel[ch]);
        }
    }
    float rate = counts / live_time;
    return static_cast<float>(rate * 60.0);
}
