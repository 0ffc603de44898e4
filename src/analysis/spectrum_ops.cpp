#include "analysis/spectrum_ops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

int32_t saturate(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

// ---------------------------------------------------------------------------
// Compression.

void reduce_spc_loi(int32_t* channel) {
    struct Band {
        int reduced_first;
        int source_first;
        int width;
        int count;
    };
    constexpr Band bands[] = {{0, 0, 1, 36}, {36, 36, 2, 116}, {152, 268, 4, 71}, {223, 552, 8, 59}};
    // Each reduced channel's sources lie at or after its own index, so the
    // in-place sum never reads a channel it has already overwritten.
    for (const Band& band : bands) {
        for (int r = 0; r < band.count; ++r) {
            const int source = band.source_first + r * band.width;
            int64_t sum = 0;
            for (int s = 0; s < band.width; ++s) sum += channel[source + s];
            channel[band.reduced_first + r] = saturate(sum);
        }
    }
    std::fill(channel + kLoiChannels, channel + kChannels, 0);
}

int32_t reduce_ch_loi(int32_t h) {
    if (h >= 1 && h <= 36) return h - 1;
    if (h >= 37 && h <= 268) return 36 + (h - 37) / 2;
    if (h >= 269 && h <= 552) return 152 + (h - 269) / 4;
    if (h >= 553 && h <= 1024) return 223 + (h - 553) / 8;
    return kLoiChannels - 1;
}

void reduce_spc_iva(int32_t* channel) {
    for (int i = 0; i < kIvaChannels; ++i) {
        channel[i] = saturate(int64_t{channel[2 * i]} + channel[2 * i + 1]);
    }
    std::fill(channel + kIvaChannels, channel + kChannels, 0);
}

int32_t reduce_ch_iva(int32_t h) {
    const float half = static_cast<float>(h * 0.5);
    return static_cast<int32_t>(std::roundf(half));
}

int working_channels(int32_t channel_count, int32_t mode) {
    if (channel_count != kChannels) return channel_count;
    if (mode == 1) return kLoiChannels;
    if (mode == 2) return kIvaChannels;
    return channel_count;
}

bool compresses(int32_t channel_count, int32_t mode) {
    return channel_count == kChannels && (mode == 1 || mode == 2);
}

void compress_spectrum(int32_t* channel, int32_t channel_count, int32_t mode) {
    if (!compresses(channel_count, mode)) return;
    if (mode == 1) {
        reduce_spc_loi(channel);
    } else {
        reduce_spc_iva(channel);
    }
}

bool map_roi(int32_t first, int32_t end, int32_t channel_count, int32_t mode, int32_t* mapped_first,
             int32_t* mapped_end) {
    if (compresses(channel_count, mode)) {
        auto map = mode == 1 ? reduce_ch_loi : reduce_ch_iva;
        first = map(first);
        end = map(end);
    }
    *mapped_first = first;
    *mapped_end = end;
    return first >= 0 && end >= 0 && end >= first && end < working_channels(channel_count, mode);
}

// ---------------------------------------------------------------------------
// Gain correction.

void gain(double gain_factor, const int32_t* counts, float* out, int32_t channel_count) {
    const double g = gain_factor;
    const int n = channel_count;
    if (!(g >= kSmallestGain)) {
        for (int j = 0; j < n; ++j) out[j] = static_cast<float>(counts[j]);
        return;
    }
    for (int i = 1; i <= n - 1; ++i) out[i - 1] = gain_at(g, counts, n, i);
}

// ---------------------------------------------------------------------------
// ROI joining.

int32_t roi_join_all(const RoiList* source, RoiList* destination) {
    if (source->count <= 0) return source->count;
    int32_t sequence[kRoiListCapacity][2];
    int length = std::min(source->count, kRoiListCapacity);
    std::memcpy(sequence, source->roi, sizeof(int32_t) * 2 * static_cast<size_t>(length));

    // A union can reach a range entered earlier, so passes repeat until one
    // merges nothing; each merge shortens the list, so this ends.
    for (bool merged = true; merged;) {
        merged = false;
        int32_t work[kRoiListCapacity][2];
        int work_length = 0;
        for (int s = 0; s < length; ++s) {
            const int32_t first = sequence[s][0];
            const int32_t end = sequence[s][1];
            int hit = 0;
            while (hit < work_length && !(first <= work[hit][1] && work[hit][0] <= end)) ++hit;
            if (hit < work_length) {
                work[hit][0] = std::min(work[hit][0], first);
                work[hit][1] = std::max(work[hit][1], end);
                merged = true;
            } else {
                work[work_length][0] = first;
                work[work_length][1] = end;
                ++work_length;
            }
        }
        std::memcpy(sequence, work, sizeof(int32_t) * 2 * static_cast<size_t>(work_length));
        length = work_length;
    }

    int count = std::max(destination->count, 0);
    for (int s = 0; s < length && count < kRoiListCapacity; ++s, ++count) {
        destination->roi[count][0] = sequence[s][0];
        destination->roi[count][1] = sequence[s][1];
    }
    destination->count = count;
    return count;
}

void roi_join_sort(const RoiList* source, RoiList* destination) {
    destination->count = 0;
    roi_join_all(source, destination);
    for (int i = 1; i < destination->count; ++i) {
        const int32_t first = destination->roi[i][0];
        const int32_t end = destination->roi[i][1];
        int j = i;
        while (j > 0 && destination->roi[j - 1][0] > first) {
            destination->roi[j][0] = destination->roi[j - 1][0];
            destination->roi[j][1] = destination->roi[j - 1][1];
            --j;
        }
        destination->roi[j][0] = first;
        destination->roi[j][1] = end;
    }
}

void append_rois(RoiList* list, const int32_t (*pairs)[2], int count) {
    for (int r = 0; r < count && list->count < kRoiListCapacity; ++r) {
        list->roi[list->count][0] = pairs[r][0];
        list->roi[list->count][1] = pairs[r][1];
        ++list->count;
    }
}
