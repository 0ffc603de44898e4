#include "analysis/fit_common.h"

#include <cstring>
#include <new>

#include "analysis/solver.h"

void copy_standards(const MethodRecord& method, int nc, int32_t channel_count, int32_t mode,
                    FitSpectra* spectra) {
    for (int k = 0; k < nc; ++k) {
        std::memcpy(spectra->standard[k], method.component[k].standard_channel,
                    sizeof spectra->standard[k]);
        std::memcpy(spectra->background[k], method.component[k].background_channel,
                    sizeof spectra->background[k]);
        compress_spectrum(spectra->standard[k], channel_count, mode);
        compress_spectrum(spectra->background[k], channel_count, mode);
    }
}

void calibrate(const MethodRecord& method, int nc, const int32_t (*standard)[kChannels],
               const int32_t (*background)[kChannels], const std::vector<int32_t>& roi_channel,
               Calibration* calibration) {
    const int n = static_cast<int>(roi_channel.size());
    calibration->component_count = nc;
    calibration->point_count = n;
    calibration->singular = false;
    calibration->response.assign(static_cast<size_t>(n) * static_cast<size_t>(nc), 0.0);

    MatrixHolder standards(nc, nc);
    MatrixHolder y(1, nc);
    MatrixHolder w(1, nc);
    MatrixHolder solution(1, nc);
    MatrixHolder normal(nc, nc);
    MatrixHolder work(nc, nc);
    MatrixHolder pivots(1, nc);
    for (const MatrixHolder* h : {&standards, &y, &w, &solution, &normal, &work, &pivots}) {
        if (h->m.data == nullptr) throw std::bad_alloc();
    }
    double ratio[kMaxComponents] = {};
    for (int k = 0; k < nc; ++k) {
        const ComponentBlock& block = method.component[k];
        ratio[k] = static_cast<double>(block.standard_live_time) /
                   static_cast<double>(block.background_live_time);
        // Standard k holds standard_activity[j] of component j, counted for
        // weight * standard_live_time / 1000.
        const double scale = static_cast<double>(block.weight) *
                             static_cast<double>(block.standard_live_time) / 1000.0;
        for (int j = 0; j < nc; ++j) {
            standards.m.data[j * nc + k] = scale * static_cast<double>(block.standard_activity[j]);
        }
    }
    for (int i = 0; i < n; ++i) {
        const int ch = roi_channel[i];
        for (int k = 0; k < nc; ++k) {
            const double c = standard[k][ch];
            const double b = background[k][ch];
            y.m.data[k] = c - ratio[k] * b;
            w.m.data[k] = calibration_weight(ratio[k] * ratio[k] * b + c);
        }
        double figure = 0.0;
        if (lst_sqr(nc, nc, y.m, w.m, standards.m, solution.m, normal.m, work.m, pivots.m,
                    &figure) != 0) {
            calibration->singular = true;
            return;
        }
        for (int j = 0; j < nc; ++j) calibration->response[j * n + i] = solution.m.data[j];
    }
}
