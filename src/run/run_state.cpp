#include "run/run_state.h"

#include <cstdint>

#include "core/text.h"

void SumSources::add(const SpectrumFile& file) {
    const auto add_held = [](uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; };
    live_time_us = add_held(live_time_us, file.live_time_us);
    real_time_us = add_held(real_time_us, file.real_time_us);
    if (files == 0) {
        calibration = file.calibration;
    } else if (calibration != file.calibration) {
        calibration_agrees = false;
    }
    ++files;
}

SourceFile source_of(const SpectrumFile& file) {
    return SourceFile{file.format, file.source_channels, file.conversion, file.calibration, file.unread};
}

void write_report_line(Run& run, const std::string& line) {
    if (!run.report || line.empty()) return;
    std::fputs(line.c_str(), run.report.get());
    std::fputc('\n', run.report.get());
    // Flushed line by line, so the report can be followed while it grows.
    if (Status flushed = flush_file(run.report.get()); !flushed) {
        run.write_failure(format("%s: write failed: %s", run.options.report_path.c_str(),
                                 flushed.error().c_str()));
    }
}

