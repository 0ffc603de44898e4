#include "run/run_state.h"

#include "core/text.h"

SourceFile source_of(const SpectrumFile& file) {
    return SourceFile{file.format,  file.source_channels, file.conversion, file.calibration, file.unread,
                      file.start_time ? iso_8601(*file.start_time) : std::string()};
}

void write_report_line(Run& run, const std::string& line) {
    if (!run.report || line.empty()) return;
    const std::string whole = line + '\n';
    std::fwrite(whole.data(), 1, whole.size(), run.report.get());
    // Flushed line by line, so the report can be followed while it grows.
    if (Status flushed = flush_file(run.report.get()); !flushed) {
        run.write_failure(format("%s: write failed: %s", run.options.report_path.c_str(),
                                 flushed.error().c_str()));
    }
}

