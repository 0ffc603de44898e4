// calc_activity: the spectra compressed, the ROIs mapped and checked, then
// the scan in the reference or the fast form, and the results written.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/fast_fit.h"
#include "analysis/reference_fit.h"

int32_t calc_activity(SampleRecord* sample, const MethodRecord* method,
                      const LocalBackground* local_background, const RoiList* rois,
                      int32_t channel_count, float* gain_factor, float* corrected_spectrum,
                      int32_t mode, const AnalysisOptions& options) {
    const int nc = std::clamp(method->component_count, 0, kMaxComponents);
    const int x_channels = working_channels(channel_count, mode);

    auto spectra = std::make_unique<FitSpectra>();
    std::memcpy(spectra->sample, sample->channel, sizeof spectra->sample);
    std::memcpy(spectra->local_background, local_background->channel,
                sizeof spectra->local_background);
    compress_spectrum(spectra->sample, channel_count, mode);
    compress_spectrum(spectra->local_background, channel_count, mode);

    // The ROI channels are the channels of the mapped ROIs in list order.
    std::vector<int32_t> roi_channel;
    bool rois_valid = true;
    const int roi_count = std::clamp(rois->count, 0, kRoiListCapacity);
    for (int r = 0; r < roi_count && rois_valid; ++r) {
        int32_t first = 0;
        int32_t end = 0;
        rois_valid = map_roi(rois->roi[r][0], rois->roi[r][1], channel_count, mode, &first, &end);
        for (int32_t ch = first; rois_valid && ch <= end; ++ch) roi_channel.push_back(ch);
    }

    int32_t status = -1;
    ScanOutcome outcome;
    if (rois_valid) {
        ScanInput input{nullptr, spectra->sample, spectra->local_background, &roi_channel, x_channels,
                        static_cast<double>(sample->live_time) /
                            static_cast<double>(local_background->live_time)};
        bool singular = false;
        if (options.straightforward) {
            Calibration calibration;
            copy_standards(*method, nc, channel_count, mode, spectra.get());
            calibrate(*method, nc, spectra->standard, spectra->background, roi_channel, &calibration);
            singular = calibration.singular;
            input.calibration = &calibration;
            if (!singular) reference_scan(input, gain_factor, &outcome);
        } else {
            FastCalibration local;
            const FastCalibration& calibration =
                fast_calibration(*method, nc, channel_count, mode, roi_channel, options.cache, &local);
            singular = calibration.calibration.singular;
            input.calibration = &calibration.calibration;
            if (!singular) fast_scan(input, calibration, options.kernel, gain_factor, &outcome);
        }
        status = singular || outcome.failed ? -1 : 0;

        // Activities per unit of the sample's weighted counting time.
        const double v = static_cast<double>(sample->weight) *
                         static_cast<double>(sample->live_time) / 1000.0;
        for (int k = 0; k < nc; ++k) {
            sample->activity[k] = static_cast<float>(outcome.solution[k] / v);
            sample->activity_sd[k] = static_cast<float>(outcome.deviation[k] / v);
        }
        sample->qfit = static_cast<float>(outcome.best);
    }
    if (options.detail != nullptr) options.detail->scan_range = outcome.range;
    gain(*gain_factor, sample->channel, corrected_spectrum, channel_count);
    return status;
}
