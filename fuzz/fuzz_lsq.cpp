// The analysis on records decoded from the input: any component count, ROIs,
// times, counts, limits, weights, channel count and mode; the fast form must
// agree with the straightforward one.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "analysis/analysis.h"
#include "analysis/solver.h"
#include "core/conversions.h"

namespace {

// Reads the input front to back; past its end every value is 0.
class Decoder {
public:
    Decoder(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <typename T>
    T raw() {
        T value{};
        uint8_t bytes[sizeof(T)];
        for (auto& b : bytes) b = byte();
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    // Mostly small, sometimes anything: the interesting values of a field.
    int32_t channel_number() {
        const uint8_t kind = byte();
        if (kind < 200) return static_cast<int32_t>(raw<uint16_t>() % 1100);
        if (kind < 230) return -static_cast<int32_t>(byte());
        return raw<int32_t>();
    }
    uint64_t seconds() {
        const uint8_t kind = byte();
        if (kind < 220) return raw<uint16_t>();
        return raw<uint64_t>();
    }
    float real() {
        const uint8_t kind = byte();
        if (kind < 200) return static_cast<float>(raw<int16_t>()) / 16.0f;
        return raw<float>();
    }
    // A spectrum from a short repeated pattern, scaled up to any magnitude.
    void spectrum(int32_t* channel) {
        uint8_t pattern[32];
        for (auto& p : pattern) p = byte();
        const int shift = byte() % 32;
        const bool negative = byte() > 240;
        for (int i = 0; i < kChannels; ++i) {
            int64_t value = static_cast<int64_t>(pattern[(i * 7 / 64) % 32]) << shift;
            if (value > INT32_MAX) value = INT32_MAX;
            channel[i] = static_cast<int32_t>(negative ? -value : value);
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Where two NaNs meet in one operation, which one survives is the compiler's
// choice (it may swap the factors of a product), so a NaN matches any NaN.
bool same_value(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The fields that may hold NaN are compared as values, the rest byte for byte.
bool same_record(const SampleRecord& a, const SampleRecord& b) {
    SampleRecord x = a;
    SampleRecord y = b;
    bool same = true;
    auto take = [&same](float& p, float& q) {
        same = same && same_value(p, q);
        p = q = 0.0f;
    };
    take(x.qfit, y.qfit);
    take(x.gain, y.gain);
    take(x.summary_activity, y.summary_activity);
    take(x.summary_fraction, y.summary_fraction);
    for (int i = 0; i < kMaxComponents; ++i) {
        take(x.activity[i], y.activity[i]);
        take(x.activity_sd[i], y.activity_sd[i]);
    }
    return same && std::memcmp(&x, &y, sizeof x) == 0;
}

int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Decoder in(data, size);
    auto method = std::make_unique<MethodRecord>();
    auto local_background = std::make_unique<LocalBackground>();
    auto sample = std::make_unique<SampleRecord>();
    auto extra = std::make_unique<RoiList>();

    method->component_count = in.byte() % 8;
    for (int i = 0; i < kMaxComponents; ++i) {
        ComponentBlock& block = method->component[i];
        block.weight = in.byte() < 230 ? 1.0f : in.real();
        for (float& a : block.standard_activity) a = in.real();
        block.standard_live_time = in.seconds();
        block.standard_real_time = block.standard_live_time + in.byte();
        in.spectrum(block.standard_channel);
        block.background_live_time = in.seconds();
        block.background_real_time = block.background_live_time;
        in.spectrum(block.background_channel);
        block.in_summary = in.byte() & 1;
        block.roi_count = in.byte() % 12;
        for (auto& roi : block.roi) {
            roi[0] = in.channel_number();
            roi[1] = wrap_add(roi[0], in.channel_number() % 64);
        }
        method->detection_limit[i] = in.real();
        method->partial_limit[i] = in.real();
    }
    local_background->live_time = in.seconds();
    local_background->real_time = local_background->live_time;
    in.spectrum(local_background->channel);
    sample->weight = in.byte() < 230 ? 1.0f : in.real();
    sample->summary_limit = in.real();
    sample->live_time = in.seconds();
    sample->real_time = sample->live_time + in.byte();
    in.spectrum(sample->channel);
    extra->count = in.byte() % 80 - 4;
    for (auto& roi : extra->roi) {
        roi[0] = in.channel_number();
        roi[1] = wrap_add(roi[0], in.channel_number() % 32);
    }
    const int32_t channel_counts[] = {1024, 1024, 1024, 512, 300, 1025, 0, -1};
    const int32_t channel_count = channel_counts[in.byte() % 8];
    AnalysisOptions options;
    options.extra_rois = extra->count == 0 ? nullptr : extra.get();
    options.channel_count = channel_count;
    options.two_pass = (in.byte() & 1) != 0;
    options.check_total = (in.byte() & 1) != 0;
    options.check_fraction = (in.byte() & 1) != 0;
    options.mode = in.byte() % 4;

    // The fast analysis against the straightforward one on copies of the
    // same sample: every field must come out the same.
    auto plain_sample = std::make_unique<SampleRecord>(*sample);
    const int32_t fast = lsq_calc_activity(sample.get(), *method, *local_background, options);
    options.straightforward = true;
    const int32_t plain = lsq_calc_activity(plain_sample.get(), *method, *local_background, options);
    if (fast != plain || !same_record(*sample, *plain_sample)) {
        std::fprintf(stderr, "fast and straightforward analyses differ\n");
        std::abort();
    }
    return 0;
}
