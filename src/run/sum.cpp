#include "run/sum.h"

#include <algorithm>
#include <iterator>
#include <limits>

bool add_to_sum(const SampleRecord& scratch, SampleRecord* sum) {
    bool saturated = false;
    auto add_time = [&saturated](uint64_t a, uint64_t b) {
        uint64_t total = a + b;
        if (total < a) {
            saturated = true;
            return std::numeric_limits<uint64_t>::max();
        }
        return total;
    };
    sum->live_time = add_time(sum->live_time, scratch.live_time);
    sum->real_time = add_time(sum->real_time, scratch.real_time);
    for (int i = 0; i < kChannels; ++i) {
        int64_t total = int64_t{sum->channel[i]} + scratch.channel[i];
        int64_t held = std::clamp<int64_t>(total, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max());
        saturated |= held != total;
        sum->channel[i] = static_cast<int32_t>(held);
    }
    return saturated;
}

void clear_sum(SampleRecord* sum) {
    sum->live_time = 0;
    sum->real_time = 0;
    std::fill(std::begin(sum->channel), std::end(sum->channel), 0);
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
