// The method's metadata reader on any bytes: it must not crash, every value
// it gives must be a relative uncertainty (0 <= u < 1), and a file with a
// problem must say where it is.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "input/method_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const MethodMetadata metadata = parse_method_metadata(text, "m.toml", {"Cs-137", "K-40", "Th-232"});
    for (const ComponentMetadata& component : metadata.component) {
        const double u = component.calibration_uncertainty;
        if (!(u >= 0.0 && u < 1.0)) std::abort();
    }
    for (const MetadataProblem& problem : metadata.problems) {
        if (problem.file != "m.toml" || problem.problem.empty() || problem.line < 0) std::abort();
    }
    return 0;
}
