#include "input/dose_file.h"

#include <string>

#include "core/records.h"
#include "core/text.h"
#include "input/scan.h"
#include "input/text_file.h"

DoseCalibration read_dose_calibration(FILE* diagnostics) {
    DoseCalibration calibration;
    const Expected<std::string> text = load_text_file(DOSE);
    if (!text) {
        diagnose(diagnostics, format("%s: cannot be opened: %s; dose rates are written as nan", DOSE,
                                     text.error().message.c_str()));
        return calibration;
    }
    TextScanner scanner{*text};
    float* reals[4] = {&calibration.dose_factor, &calibration.dead_time_c3,
                       &calibration.dead_time_c2, &calibration.dead_time_c1};
    const char* names[5] = {"dose factor", "cubic dead-time coefficient",
                            "quadratic dead-time coefficient", "linear dead-time coefficient",
                            "table switch"};
    int read = 0;
    ScanStatus status = ScanStatus::ok;
    size_t at = 0;
    for (; read < 5; ++read) {
        at = scanner.pos;
        status = read < 4 ? scan_float(scanner, reals[read])
                          : scan_int32(scanner, &calibration.table_select);
        if (status != ScanStatus::ok) break;
    }
    calibration.complete = read == 5;
    if (!calibration.complete) {
        const std::string what = status == ScanStatus::end_of_input
                                     ? format("holds only %d of the 5 calibration values", read)
                                     : format("the %s does not scan at '%s'", names[read],
                                              excerpt_at(*text, at).c_str());
        diagnose(diagnostics, format("%s: %s; dose rates are written as nan", DOSE, what.c_str()));
    }
    return calibration;
}
