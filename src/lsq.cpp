#include "lsq.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "lsq_fast.h"

namespace {

int32_t saturate(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

int32_t clamp_count(int32_t value, int32_t limit) { return std::clamp(value, 0, limit); }

// Fit figure that any real fit beats; also what qfit reports when none won.
constexpr double kNoFit = 6.0e12;

}  // namespace

// ---------------------------------------------------------------------------
// Matrices and the least-squares solver.

void alloc_matrix(Matrix* matrix, int32_t rows, int32_t cols) {
    matrix->rows = rows;
    matrix->cols = cols;
    matrix->data = nullptr;
    if (rows < 0 || cols < 0) return;
    matrix->data = new (std::nothrow) double[static_cast<size_t>(rows) * static_cast<size_t>(cols)]();
}

void free_matrix(Matrix* matrix) {
    matrix->rows = 0;
    matrix->cols = 0;
    delete[] matrix->data;
    matrix->data = nullptr;
}

int32_t lst_sqr(int32_t param_count, int32_t point_count, const Matrix& values,
                const Matrix& weights, const Matrix& design, Matrix& solution, Matrix& normal,
                Matrix& weighted_design, Matrix& pivot_flags, double* chi2) {
    const int m = param_count;
    const int n = point_count;
    const double* y = values.data;
    const double* w = weights.data;
    double* x = solution.data;
    double* flags = pivot_flags.data;
    auto a = [&](int i, int j) { return design.data[i * design.cols + j]; };
    auto wa = [&](int i, int j) -> double& { return weighted_design.data[i * weighted_design.cols + j]; };
    auto nm = [&](int i, int k) -> double& { return normal.data[i * normal.cols + k]; };

    for (int i = 0; i < m; ++i) {
        x[i] = 0.0;
        for (int j = 0; j < n; ++j) {
            wa(i, j) = a(i, j) * w[j];
            x[i] += wa(i, j) * y[j];
        }
    }
    // The full square: products are not commutative after rounding, so the
    // lower triangle is not a copy of the upper one.
    for (int i = 0; i < m; ++i) {
        for (int k = 0; k < m; ++k) {
            double sum = 0.0;
            for (int j = 0; j < n; ++j) sum += wa(i, j) * a(k, j);
            nm(i, k) = sum;
        }
    }

    // Gauss-Jordan elimination with full pivoting leaves the inverse in place.
    if (lsq_fast::gauss_jordan(m, nm, x, flags) != 0) return -1;

    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        double fit = 0.0;
        for (int i = 0; i < m; ++i) fit += a(i, j) * x[i];
        const double term = std::sqrt(w[j]) * (y[j] - fit);
        sum += term * term;
    }
    if (m != n) sum /= static_cast<double>(n - m);
    for (int i = 0; i < m; ++i) nm(i, i) = std::sqrt(std::fabs(nm(i, i) * sum));
    *chi2 = sum;
    return 0;
}

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

// ---------------------------------------------------------------------------
// Gain correction.

void gain(double gain_factor, const int32_t* counts, float* out, int32_t channel_count) {
    const double g = gain_factor;
    const int n = channel_count;
    if (!(g >= 0.001)) {
        for (int j = 0; j < n; ++j) out[j] = static_cast<float>(counts[j]);
        return;
    }
    for (int i = 1; i <= n - 1; ++i) out[i - 1] = lsq_fast::gain_at(g, counts, n, i);
}

int32_t float_to_count(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
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

// ---------------------------------------------------------------------------
// The fit.

namespace {

// The spectra the fit reads, copied so that compression leaves the caller's
// records alone.
struct FitSpectra {
    int32_t sample[kChannels];
    int32_t local_background[kChannels];
    int32_t standard[kMaxComponents][kChannels];
    int32_t background[kMaxComponents][kChannels];
};

int working_channels(int32_t channel_count, int32_t mode) {
    if (channel_count != kChannels) return channel_count;
    if (mode == 1) return kLoiChannels;
    if (mode == 2) return kIvaChannels;
    return channel_count;
}

// The fit proper, from the compressed spectra and the checked ROI channels;
// the outputs are written as the failure cases require.
int32_t fit_sample(SampleRecord* sample, const MethodRecord* method, const FitSpectra& spectra,
                   const LocalBackground* local_background, const std::vector<int32_t>& roi_channel,
                   int x_channels, float* gain_factor, ScanRange* range) {
    const int nc = clamp_count(method->component_count, kMaxComponents);
    const int n = static_cast<int>(roi_channel.size());
    const int points = std::max(n, nc);

    MatrixHolder standards(nc, nc);
    MatrixHolder response(nc, n);
    MatrixHolder normal(nc, nc);
    MatrixHolder y(1, points);
    MatrixHolder w(1, points);
    MatrixHolder calibration_solution(1, nc);
    MatrixHolder sample_solution(1, nc);
    MatrixHolder work(nc, points);
    MatrixHolder calibration_pivots(1, nc);
    MatrixHolder sample_pivots(1, nc);
    std::vector<double> ratio(static_cast<size_t>(nc));
    std::vector<double> best_solution(static_cast<size_t>(nc), 0.0);
    std::vector<double> best_deviation(static_cast<size_t>(nc), 0.0);
    std::vector<float> stretched(static_cast<size_t>(std::max(x_channels, 1)), 0.0f);
    std::vector<double> corrected(static_cast<size_t>(std::max(x_channels, 1)), 0.0);
    for (const MatrixHolder* h : {&standards, &response, &normal, &y, &w, &calibration_solution,
                                  &sample_solution, &work, &calibration_pivots, &sample_pivots}) {
        if (h->m.data == nullptr) throw std::bad_alloc();
    }

    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method->component[k];
        ratio[k] = static_cast<double>(block.standard_live_time) /
                   static_cast<double>(block.background_live_time);
        const double scale = static_cast<double>(block.weight) *
                             static_cast<double>(block.standard_live_time) / 1000.0;
        for (int j = 0; j < nc; ++j) {
            standards.m.data[j * nc + k] = scale * static_cast<double>(block.standard_activity[j]);
        }
    }

    double best = kNoFit;
    bool failed = false;
    double figure = 0.0;

    // Calibration: per ROI channel, unmix the standards into the response of
    // each single component per unit of activity and time.
    for (int i = 0; i < n && !failed; ++i) {
        const int ch = roi_channel[i];
        for (int k = 0; k < nc; ++k) {
            const double c = spectra.standard[k][ch];
            const double b = spectra.background[k][ch];
            y.m.data[k] = c - ratio[k] * b;
            const double variance = ratio[k] * ratio[k] * b + c;
            w.m.data[k] = variance == 0.0 ? 1.0 : 1.0 / variance;
        }
        if (lst_sqr(nc, nc, y.m, w.m, standards.m, calibration_solution.m, normal.m, work.m,
                    calibration_pivots.m, &figure) != 0) {
            failed = true;
            break;
        }
        for (int j = 0; j < nc; ++j) response.m.data[j * n + i] = calibration_solution.m.data[j];
    }

    const double u = static_cast<double>(sample->live_time) /
                     static_cast<double>(local_background->live_time);
    const double v = static_cast<double>(sample->weight) * static_cast<double>(sample->live_time) /
                     1000.0;

    // Gain scan: 50 trials from 0.94 up, then 50 around the best of them.
    for (int pass = 0; pass < 2 && !failed; ++pass) {
        const lsq_fast::ScanPass trials = lsq_fast::scan_pass(pass, *gain_factor);
        for (int trial = 0; trial < lsq_fast::kScanTrials; ++trial) {
            const double g = trials.low + trial * trials.step;
            lsq_fast::note_trial(range, static_cast<float>(g));
            gain(g, spectra.sample, stretched.data(), x_channels);
            for (int ch = 0; ch < x_channels - 1; ++ch) corrected[ch] = stretched[ch];
            // The gain correction never writes the last working channel.
            if (x_channels > 0) corrected[x_channels - 1] = 0.0;
            for (int i = 0; i < n; ++i) {
                const int ch = roi_channel[i];
                const double d = corrected[ch];
                const double l = spectra.local_background[ch];
                y.m.data[i] = d - u * l;
                const double variance = u * u * l + d;
                w.m.data[i] = variance < 1.0 ? 0.0 : 1.0 / std::sqrt(variance);
            }
            if (lst_sqr(nc, n, y.m, w.m, response.m, sample_solution.m, normal.m, work.m,
                        sample_pivots.m, &figure) != 0) {
                failed = true;
                break;
            }
            // Strict: an equal figure keeps the earlier trial, NaN never wins.
            if (best > figure) {
                best = figure;
                *gain_factor = static_cast<float>(g);
                for (int k = 0; k < nc; ++k) {
                    best_solution[k] = sample_solution.m.data[k];
                    best_deviation[k] = normal.m.data[k * nc + k];
                }
            }
        }
    }

    for (int k = 0; k < nc; ++k) {
        sample->activity[k] = static_cast<float>(best_solution[k] / v);
        sample->activity_sd[k] = static_cast<float>(best_deviation[k] / v);
    }
    sample->qfit = static_cast<float>(best);
    return failed ? -1 : 0;
}

}  // namespace

// The inputs that decide a calibration, and its result.
struct FitCache::State {
    bool valid = false;
    int component_count = 0;
    int x_channels = 0;
    bool compressed = false;
    std::vector<int32_t> roi_channel;
    struct Standard {
        float weight;
        float standard_activity[kMaxComponents];
        uint64_t standard_live_time;
        uint64_t background_live_time;
        int32_t standard_channel[kChannels];
        int32_t background_channel[kChannels];
    };
    std::unique_ptr<Standard[]> standards = std::make_unique<Standard[]>(kMaxComponents);
    lsq_fast::Response response;
};

FitCache::FitCache() : state_(std::make_unique<State>()) {}
FitCache::~FitCache() = default;

namespace {

bool same_bits(const void* a, const void* b, size_t size) { return std::memcmp(a, b, size) == 0; }

bool cache_matches(const FitCache::State& state, const MethodRecord& method, int nc, int x_channels,
                   bool compressed, const std::vector<int32_t>& roi_channel) {
    if (!state.valid || state.component_count != nc || state.x_channels != x_channels ||
        state.compressed != compressed || state.roi_channel != roi_channel) {
        return false;
    }
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method.component[k];
        const FitCache::State::Standard& kept = state.standards[k];
        if (!same_bits(&kept.weight, &block.weight, sizeof kept.weight) ||
            !same_bits(kept.standard_activity, block.standard_activity, sizeof(float) * nc) ||
            kept.standard_live_time != block.standard_live_time ||
            kept.background_live_time != block.background_live_time ||
            !same_bits(kept.standard_channel, block.standard_channel, sizeof kept.standard_channel) ||
            !same_bits(kept.background_channel, block.background_channel,
                       sizeof kept.background_channel)) {
            return false;
        }
    }
    return true;
}

void cache_inputs(FitCache::State* state, const MethodRecord& method, int nc, int x_channels,
                  bool compressed, const std::vector<int32_t>& roi_channel) {
    state->component_count = nc;
    state->x_channels = x_channels;
    state->compressed = compressed;
    state->roi_channel = roi_channel;
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method.component[k];
        FitCache::State::Standard& kept = state->standards[k];
        kept.weight = block.weight;
        std::memcpy(kept.standard_activity, block.standard_activity, sizeof kept.standard_activity);
        kept.standard_live_time = block.standard_live_time;
        kept.background_live_time = block.background_live_time;
        std::memcpy(kept.standard_channel, block.standard_channel, sizeof kept.standard_channel);
        std::memcpy(kept.background_channel, block.background_channel, sizeof kept.background_channel);
    }
    state->valid = true;
}

// The compressed standard and background spectra of the components, for a
// calibration.
void copy_standards(const MethodRecord& method, int nc, bool compressed, int32_t mode,
                    FitSpectra* spectra) {
    for (int k = 0; k < nc; ++k) {
        std::memcpy(spectra->standard[k], method.component[k].standard_channel,
                    sizeof spectra->standard[k]);
        std::memcpy(spectra->background[k], method.component[k].background_channel,
                    sizeof spectra->background[k]);
        if (compressed) {
            auto reduce = mode == 1 ? reduce_spc_loi : reduce_spc_iva;
            reduce(spectra->standard[k]);
            reduce(spectra->background[k]);
        }
    }
}

// The fast form of the fit: calibration (or the cached one), then the scan
// over the ROI channels only.
int32_t fit_sample_fast(SampleRecord* sample, const MethodRecord* method, FitSpectra& spectra,
                        bool compressed, int32_t mode, const LocalBackground* local_background,
                        const std::vector<int32_t>& roi_channel, int x_channels,
                        float* gain_factor, FitCache* cache, AnalysisKernel kernel,
                        ScanRange* range) {
    const int nc = clamp_count(method->component_count, kMaxComponents);
    lsq_fast::Response local_response;
    const lsq_fast::Response* response = &local_response;
    if (cache != nullptr && cache_matches(cache->state(), *method, nc, x_channels, compressed, roi_channel)) {
        response = &cache->state().response;
    } else {
        copy_standards(*method, nc, compressed, mode, &spectra);
        lsq_fast::Response* target = &local_response;
        if (cache != nullptr) {
            cache->state().valid = false;
            target = &cache->state().response;
        }
        lsq_fast::build_response(*method, spectra.standard, spectra.background, roi_channel, target);
        if (cache != nullptr) cache_inputs(&cache->state(), *method, nc, x_channels, compressed, roi_channel);
        response = target;
    }

    const double v = static_cast<double>(sample->weight) * static_cast<double>(sample->live_time) /
                     1000.0;
    lsq_fast::ScanOutcome outcome;
    outcome.best = kNoFit;
    if (!response->singular) {
        const double u = static_cast<double>(sample->live_time) /
                         static_cast<double>(local_background->live_time);
        lsq_fast::ScanPlan plan;
        plan.points = static_cast<int>(roi_channel.size());
        plan.channel = roi_channel;
        for (const int32_t ch : roi_channel) {
            const double l = spectra.local_background[ch];
            plan.position.push_back(ch + 1.0);
            plan.last_channel_mask.push_back(ch == x_channels - 1 ? std::bit_cast<double>(~uint64_t{0}) : 0.0);
            plan.scaled_background.push_back(u * l);
            plan.scaled_variance.push_back(u * u * l);
        }
        lsq_fast::scan(*response, spectra.sample, x_channels, plan, kernel, gain_factor, &outcome);
    }
    *range = outcome.range;
    for (int k = 0; k < nc; ++k) {
        sample->activity[k] = static_cast<float>(outcome.solution[k] / v);
        sample->activity_sd[k] = static_cast<float>(outcome.deviation[k] / v);
    }
    sample->qfit = static_cast<float>(outcome.best);
    return (response->singular || outcome.failed) ? -1 : 0;
}

}  // namespace

int32_t calc_activity(SampleRecord* sample, const MethodRecord* method,
                      const LocalBackground* local_background, const RoiList* rois,
                      int32_t channel_count, float* gain_factor, float* corrected_spectrum,
                      int32_t mode, const AnalysisOptions& options) {
    const int nc = clamp_count(method->component_count, kMaxComponents);
    const int x_channels = working_channels(channel_count, mode);
    const bool compress = channel_count == kChannels && (mode == 1 || mode == 2);

    auto spectra = std::make_unique<FitSpectra>();
    std::memcpy(spectra->sample, sample->channel, sizeof spectra->sample);
    std::memcpy(spectra->local_background, local_background->channel,
                sizeof spectra->local_background);
    if (compress) {
        auto reduce = mode == 1 ? reduce_spc_loi : reduce_spc_iva;
        reduce(spectra->sample);
        reduce(spectra->local_background);
    }
    // The fast path needs the standards only when it calibrates.
    if (options.straightforward) copy_standards(*method, nc, compress, mode, spectra.get());

    // Map and check the ROIs; the ROI channels are their channels in list order.
    std::vector<int32_t> roi_channel;
    bool rois_valid = true;
    const int roi_count = std::clamp(rois->count, 0, kRoiListCapacity);
    for (int r = 0; r < roi_count && rois_valid; ++r) {
        int32_t first = rois->roi[r][0];
        int32_t end = rois->roi[r][1];
        if (compress) {
            auto map = mode == 1 ? reduce_ch_loi : reduce_ch_iva;
            first = map(first);
            end = map(end);
        }
        if (first < 0 || end < 0 || end < first || end >= x_channels) {
            rois_valid = false;
            break;
        }
        for (int32_t ch = first; ch <= end; ++ch) roi_channel.push_back(ch);
    }

    int32_t status = -1;
    ScanRange range{NAN, NAN};
    if (rois_valid && options.straightforward) {
        status = fit_sample(sample, method, *spectra, local_background, roi_channel, x_channels,
                            gain_factor, &range);
    } else if (rois_valid) {
        status = fit_sample_fast(sample, method, *spectra, compress, mode, local_background,
                                 roi_channel, x_channels, gain_factor, options.cache, options.kernel,
                                 &range);
    }
    if (options.scan_range != nullptr) *options.scan_range = range;
    gain(*gain_factor, sample->channel, corrected_spectrum, channel_count);
    return status;
}

// ---------------------------------------------------------------------------
// Checks.

void check_partial_limit(SampleRecord* sample, const MethodRecord* method, int32_t* status) {
    int32_t word = status != nullptr ? *status : 0;
    const int n = std::min(method->component_count, kMaxComponents);
    if (n > 0) {
        for (int i = 0; i < n; ++i) sample->over_limit[i] = 0;
        for (int i = 0; i < n; ++i) {
            if (!(method->partial_limit[i] > 0.0f)) continue;
            const float ratio = (sample->activity_sd[i] + sample->activity[i]) / method->partial_limit[i];
            sample->over_limit[i] = ratio > 1.0f ? 1 : 0;
            if (sample->over_limit[i] != 0) word |= 1;
        }
    }
    if (status != nullptr) *status = word;
}

int32_t check_summary_limit(const SampleRecord* sample, const MethodRecord* method,
                            int32_t check_total, int32_t check_fraction, float total_limit,
                            int32_t* status, float* total_out, float* fraction_out) {
    float total = 0.0f;
    float fraction = 0.0f;
    const int n = std::min(method->component_count, kMaxComponents);
    for (int i = 0; i < n; ++i) {
        const float limit = method->partial_limit[i];
        if (!(limit > 0.0f) || method->component[i].in_summary == 0) continue;
        const float t = sample->activity[i] + sample->activity_sd[i];
        total += t;
        fraction += t / limit;
    }
    int32_t word = status != nullptr ? *status : 0;
    if (check_total != 0 && total > total_limit) word |= 2;
    if (check_fraction != 0 && fraction > 1.0f) word |= 4;
    if (status != nullptr) *status = word;
    if (total_out != nullptr) *total_out = total;
    if (fraction_out != nullptr) *fraction_out = fraction;
    return word;
}

namespace {

// The next float below a finite x.
float next_down(float x) {
    if (x == 0.0f) return -std::numeric_limits<float>::denorm_min();
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    return std::bit_cast<float>(x > 0.0f ? bits - 1u : bits + 1u);
}

// Window sums of counts, in channel order as single-precision additions. While
// a window's counts are integers whose magnitudes add up to at most 2^24,
// every such addition is exact, so the sum is the exact integer sum, read
// from prefix sums; other windows are added up one by one.
class WindowSums {
public:
    // `scaled` (may be null) holds each count times the ratio, in single
    // precision; when it is null the counts themselves are summed.
    // Only the first n + 1 prefix sums are written, and only they are read.
    WindowSums(const int32_t* counts, const float* scaled, int n) : counts_(counts), scaled_(scaled) {
        exact_[0] = 0;
        magnitude_[0] = 0;
        real_[0] = 0.0;
        real_magnitude_[0] = 0.0;
        for (int j = 0; j < n; ++j) {
            exact_[j + 1] = exact_[j] + counts[j];
            magnitude_[j + 1] = magnitude_[j] + std::abs(int64_t{counts[j]});
        }
        if (scaled_ != nullptr) {
            for (int j = 0; j < n; ++j) {
                real_[j + 1] = real_[j] + static_cast<double>(scaled_[j]);
                real_magnitude_[j + 1] = real_magnitude_[j] + std::fabs(static_cast<double>(scaled_[j]));
            }
            // Far below the float range, so no window's sum can overflow.
            const double all = real_magnitude_[n];
            bounded_ = std::isfinite(all) && all < 1e37;
            // Covers the rounding of the double prefix sums themselves.
            prefix_slack_ = 1e-12 * all;
        }
    }
    float sum(int lo, int end) const {
        if (scaled_ == nullptr && magnitude_[end] - magnitude_[lo] <= (int64_t{1} << 24)) {
            return static_cast<float>(exact_[end] - exact_[lo]);
        }
        float total = 0.0f;
        for (int j = lo; j < end; ++j) total += scaled_ != nullptr ? scaled_[j] : static_cast<float>(counts_[j]);
        return total;
    }
    // Whether bounds() gives the sum itself.
    bool exact() const { return scaled_ == nullptr; }
    // Bounds that hold the float sum(lo, end) without adding it up, from the
    // rounding error bound of a float sum of at most 1024 terms,
    // (n - 1) u / (1 - (n - 1) u) times the sum of magnitudes (u = 2^-24),
    // here rounded up generously. False where no bound is known.
    bool bounds(int lo, int end, float* low, float* high) const {
        if (scaled_ == nullptr) {
            *low = *high = sum(lo, end);
            return true;
        }
        if (!bounded_) return false;
        const double centre = real_[end] - real_[lo];
        const double magnitude = real_magnitude_[end] - real_magnitude_[lo] + prefix_slack_;
        const double error = 7e-5 * magnitude + prefix_slack_;
        *low = next_down(static_cast<float>(centre - error));
        *high = -next_down(-static_cast<float>(centre + error));
        return true;
    }

private:
    const int32_t* counts_;
    const float* scaled_;
    int64_t exact_[kChannels + 1];
    int64_t magnitude_[kChannels + 1];
    double real_[kChannels + 1];
    double real_magnitude_[kChannels + 1];
    bool bounded_ = false;
    double prefix_slack_ = 0.0;
};

// The excess search's window around channel m: channels lo up to hi, or none
// where the window would begin below channel 2. The same for every spectrum,
// so it is worked out once.
struct ExcessWindows {
    bool used[kChannels] = {};
    int lo[kChannels] = {};
    int hi[kChannels] = {};
};

const ExcessWindows& excess_windows() {
    static const ExcessWindows windows = [] {
        ExcessWindows w;
        for (int m = 3; m < kChannels; ++m) {
            // The window widens with the detector's resolution, about sqrt(energy).
            const float relative = static_cast<float>(118.65 / std::sqrt(static_cast<double>(m)));
            const float half_width = relative * static_cast<float>(m) / 100.0f;
            const float centre = static_cast<float>(m);
            if (centre - half_width < 2.0f) continue;
            w.used[m] = true;
            w.lo[m] = static_cast<int>(centre - half_width);
            w.hi[m] = static_cast<int>(centre + half_width);
        }
        return w;
    }();
    return windows;
}

}  // namespace

int32_t check_act_over_bg(const SampleRecord* sample, const LocalBackground* background,
                          int32_t channel_count) {
    const int n = std::min(channel_count, kChannels);
    if (n <= 0) return 0;
    const float ratio = static_cast<float>(sample->live_time) / static_cast<float>(background->live_time);
    // Each background count times the ratio is the same single-precision
    // product in every window it falls into; with a ratio of exactly 1 it is
    // the count itself.
    auto scaled = std::make_unique<float[]>(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) scaled[j] = static_cast<float>(background->channel[j]) * ratio;
    const auto sample_sums = std::make_unique<WindowSums>(sample->channel, nullptr, n);
    const auto background_sums =
        std::make_unique<WindowSums>(background->channel, ratio == 1.0f ? nullptr : scaled.get(), n);
    const ExcessWindows& windows = excess_windows();
    for (int m = 3; m <= n - 1; ++m) {
        if (!windows.used[m]) continue;
        const int lo = windows.lo[m];
        const int hi = windows.hi[m];
        if (hi > n) break;
        if (hi <= lo || lo >= n - 1) continue;
        // The last channel never enters a window.
        const int end = std::min(hi, n - 1);
        const float counts = sample_sums->sum(lo, end);
        const float deviation = static_cast<float>(10.0 * std::sqrt(static_cast<double>(counts)));
        // Float addition is monotonic, so a window whose background sum is
        // bounded away from an excess is passed over without adding it up.
        float low = 0.0f;
        float high = 0.0f;
        if (background_sums->bounds(lo, end, &low, &high) &&
            (!(high > 40.0f) || counts - deviation <= low + deviation)) {
            continue;
        }
        // Unscaled sums come out of bounds() exact; they are not added up twice.
        const float expected = background_sums->exact() ? low : background_sums->sum(lo, end);
        if (expected == 0.0f) continue;
        if (counts - deviation > expected + deviation && expected > 40.0f) return 1;
    }
    return 0;
}

namespace {

// Adds one component's net standard counts, scaled to the sample, to every
// channel of e. Kept apart (not inlined) so that the loop stays simple enough
// to vectorise.
__attribute__((noinline)) void add_net_standard(float* __restrict e, const int32_t* __restrict standard,
                                                const int32_t* __restrict background, float standard_time,
                                                float background_time, float t, float share) {
    for (int j = 0; j < kChannels; ++j) {
        const float p = static_cast<float>(standard[j]) / standard_time * t * share;
        const float q = static_cast<float>(background[j]) / background_time * t;
        // Only a net excess of the standard counts; an undefined one adds nothing.
        const float net = p - q;
        e[j] += net > 0.0f ? net : 0.0f;
    }
}

}  // namespace

void expected_counts(const SampleRecord* sample, const MethodRecord* method,
                     const LocalBackground* local_background, int32_t channel_count, float* out) {
    const int n = std::min(channel_count, kChannels);
    if (n <= 0) return;
    const int nc = clamp_count(method->component_count, kMaxComponents);
    const float t = static_cast<float>(sample->live_time);
    // Components in the outer loop and channels in the inner one, into a
    // local sum per channel: each channel still adds its components in order,
    // and the channel loops run in vector lanes. All 1024 channels are worked
    // out, a fixed count that vectorises; those beyond n are not copied out.
    float e[kChannels];
    const float background_time = static_cast<float>(local_background->live_time);
    for (int j = 0; j < kChannels; ++j) e[j] = static_cast<float>(local_background->channel[j]) / background_time * t;
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method->component[k];
        const float standard_time = static_cast<float>(block.standard_live_time);
        const float block_background_time = static_cast<float>(block.background_live_time);
        const float share = sample->activity[k] / block.standard_activity[k];
        add_net_standard(e, block.standard_channel, block.background_channel, standard_time,
                         block_background_time, t, share);
    }
    std::copy(e, e + n, out);
}

int32_t check_unknown(const SampleRecord* sample, const MethodRecord* method,
                      const LocalBackground* local_background, int32_t channel_count) {
    const int n = std::min(channel_count, kChannels);
    auto expected = std::make_unique<LocalBackground>();
    expected->live_time = sample->live_time;
    expected->real_time = sample->real_time;
    float counts[kChannels];
    expected_counts(sample, method, local_background, channel_count, counts);
    for (int j = 0; j < n; ++j) expected->channel[j] = float_to_count(counts[j]);
    return check_act_over_bg(sample, expected.get(), channel_count);
}

// ---------------------------------------------------------------------------
// The evaluation driver.

namespace {

struct EvaluationState {
    SampleRecord working;
    MethodRecord reduced;
    RoiList collected;
    RoiList joined;
    float corrected[kChannels];   // zero-filled, so nothing unwritten is ever read
    SampleRecord check;
};

void append_rois(RoiList* list, const int32_t (*pairs)[2], int count) {
    for (int r = 0; r < count && list->count < kRoiListCapacity; ++r) {
        list->roi[list->count][0] = pairs[r][0];
        list->roi[list->count][1] = pairs[r][1];
        ++list->count;
    }
}

}  // namespace

void default_backgrounds(MethodRecord* method, LocalBackground* local_background,
                         int32_t channel_count) {
    const int n = clamp_count(method->component_count, kMaxComponents);
    const int channels = clamp_count(channel_count, kChannels);
    for (int i = 0; i < n; ++i) {
        ComponentBlock& block = method->component[i];
        if (block.background_live_time == 0) {
            block.background_live_time = 1;
            block.background_real_time = 1;
            std::fill(block.background_channel, block.background_channel + channels, 0);
        }
    }
    if (local_background->live_time == 0) {
        local_background->live_time = 1;
        local_background->real_time = 1;
        std::fill(local_background->channel, local_background->channel + channels, 0);
    }
}

int32_t lsq_calc_activity(SampleRecord* sample, MethodRecord* method,
                          LocalBackground* local_background, const RoiList* extra_rois,
                          int32_t channel_count, int32_t two_pass, int32_t check_total,
                          int32_t check_fraction, int32_t mode, const AnalysisOptions& options) {
    if (channel_count < 0 || channel_count > kChannels) return -1;
    const int n = clamp_count(method->component_count, kMaxComponents);

    // Absent backgrounds become empty spectra of one second.
    default_backgrounds(method, local_background, channel_count);

    sample->summary_activity = 0.0f;
    sample->summary_fraction = 0.0f;
    sample->limit_status = 0;
    for (int i = 0; i < n; ++i) {
        sample->over_limit[i] = 0;
        sample->below_limit[i] = 1;
    }

    bool active[kMaxComponents] = {true, true, true, true, true, true};
    float gain_value = 1.0f;
    int32_t unknown = 0;
    int passes = 0;
    auto state = std::make_unique<EvaluationState>();
    SampleRecord& working = state->working;
    MethodRecord& reduced = state->reduced;

    for (;;) {
        working = *sample;
        state->collected.count = 0;
        reduced.component_count = 0;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            if (!active[i]) continue;
            const ComponentBlock& block = method->component[i];
            reduced.detection_limit[m] = method->detection_limit[i];
            reduced.partial_limit[m] = method->partial_limit[i];
            reduced.component[m] = block;
            int column = 0;
            for (int k = 0; k < n; ++k) {
                if (active[k]) reduced.component[m].standard_activity[column++] = block.standard_activity[k];
            }
            append_rois(&state->collected, block.roi, clamp_count(block.roi_count, kComponentRois));
            ++m;
        }
        reduced.component_count = m;
        if (extra_rois != nullptr && extra_rois->count > 0) {
            append_rois(&state->collected, extra_rois->roi,
                        std::min(extra_rois->count, kRoiListCapacity));
        }
        roi_join_sort(&state->collected, &state->joined);

        if (calc_activity(&working, &reduced, local_background, &state->joined, channel_count,
                          &gain_value, state->corrected, mode, options) != 0) {
            return -1;
        }

        int32_t status = 0;
        for (int k = 0; k < m; ++k) working.over_limit[k] = 0;
        for (int k = 0; k < m; ++k) {
            if (!(reduced.partial_limit[k] > 0.0f)) continue;
            working.over_limit[k] =
                (working.activity[k] + working.activity_sd[k]) / reduced.partial_limit[k] > 1.0f;
            if (working.over_limit[k] != 0) status |= 1;
        }
        float summary_activity = 0.0f;
        float summary_fraction = 0.0f;
        for (int k = 0; k < m; ++k) {
            if (!(reduced.partial_limit[k] > 0.0f) || reduced.component[k].in_summary == 0) continue;
            const float t = working.activity[k] + working.activity_sd[k];
            summary_activity += t;
            summary_fraction += t / reduced.partial_limit[k];
        }
        if (check_total != 0 && summary_activity > working.summary_limit) status |= 2;
        if (check_fraction != 0 && summary_fraction > 1.0f) status |= 4;
        working.limit_status = status;
        working.summary_activity = summary_activity;
        working.summary_fraction = summary_fraction;

        if (check_act_over_bg(&working, local_background, channel_count) != 0) {
            SampleRecord& check = state->check;
            check.live_time = working.live_time;
            check.real_time = working.real_time;
            for (int i = 0; i < n; ++i) check.activity[i] = working.activity[i];
            for (int j = 0; j < channel_count; ++j) check.channel[j] = float_to_count(state->corrected[j]);
            unknown = check_unknown(&check, &reduced, local_background, channel_count);
        }

        if (two_pass == 0) break;
        if (++passes == 2) break;
        // Pass 1 ran with every component, so working order is method order.
        for (int i = 0; i < n; ++i) {
            if (method->detection_limit[i] > working.activity[i]) active[i] = false;
        }
    }

    *sample = working;
    for (int i = 0, m = 0; i < n; ++i) {
        if (active[i]) {
            sample->activity[i] = working.activity[m];
            sample->activity_sd[i] = working.activity_sd[m];
            sample->over_limit[i] = working.over_limit[m];
            sample->below_limit[i] = (method->detection_limit[i] > sample->activity[i] ||
                                      sample->activity_sd[i] > sample->activity[i])
                                         ? 1
                                         : 0;
            ++m;
        } else {
            sample->activity[i] = 0.0f;
            sample->activity_sd[i] = 0.0f;
            sample->over_limit[i] = 0;
            sample->below_limit[i] = 1;
        }
    }
    sample->unknown_found = unknown;
    sample->gain = gain_value;
    return 0;
}
