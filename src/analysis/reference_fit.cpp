#include "analysis/reference_fit.h"

#include <algorithm>
#include <new>

#include "analysis/solver.h"

void reference_scan(const ScanInput& input, float* gain_factor, ScanOutcome* outcome) {
    const Calibration& calibration = *input.calibration;
    const int nc = calibration.component_count;
    const int n = calibration.point_count;
    const std::vector<int32_t>& roi_channel = *input.roi_channel;
    const int points = std::max(n, 1);

    MatrixHolder response(nc, n);
    MatrixHolder normal(nc, nc);
    MatrixHolder y(1, points);
    MatrixHolder w(1, points);
    MatrixHolder solution(1, nc);
    MatrixHolder work(nc, points);
    MatrixHolder pivots(1, nc);
    for (const MatrixHolder* h : {&response, &normal, &y, &w, &solution, &work, &pivots}) {
        if (h->m.data == nullptr) throw std::bad_alloc();
    }
    std::copy(calibration.response.begin(), calibration.response.end(), response.m.data);

    *outcome = ScanOutcome{};
    for (int pass = 0; pass < scan_passes(input); ++pass) {
        const ScanPass trials = scan_pass(input, pass, *gain_factor);
        for (int trial = 0; trial < scan_trials(input); ++trial) {
            const double g = scan_gain(input, trials, trial);
            note_trial(&outcome->range, static_cast<float>(g));
            for (int i = 0; i < n; ++i) {
                const int ch = roi_channel[i];
                const double d = corrected_count(g, input.sample, input.x_channels, ch);
                const double l = input.local_background[ch];
                y.m.data[i] = d - input.u * l;
                w.m.data[i] = sample_weight(input.u * input.u * l + d);
            }
            double figure = 0.0;
            if (lst_sqr(nc, n, y.m, w.m, response.m, solution.m, normal.m, work.m, pivots.m,
                        &figure) != 0) {
                outcome->failed = true;
                return;
            }
            if (note_figure(outcome, pass, trial, g, figure, gain_factor)) {
                for (int k = 0; k < nc; ++k) {
                    outcome->solution[k] = solution.m.data[k];
                    outcome->deviation[k] = normal.m.data[k * nc + k];
                }
            }
        }
    }
}
