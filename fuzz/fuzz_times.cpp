// The start-time parsers on any text: none may crash, and a time any of them
// gives must write as ISO 8601 that the xs:dateTime parser reads back as the
// same time, so that the report never carries a date no reader would take.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "input/formats/times.h"

namespace {

void check_round_trip(const Expected<StartTime, std::string>& parsed) {
    if (!parsed) return;
    const std::string written = iso_8601(*parsed);
    const auto again = formats::parse_xml_date_time(written);
    if (!again || again->seconds != parsed->seconds || again->utc != parsed->utc) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_round_trip(formats::parse_spe_date(text));
    check_round_trip(formats::parse_xml_date_time(text));
    check_round_trip(formats::parse_export_date_time(text));
    if (size >= 14) {
        check_round_trip(formats::parse_chn_date_time(text.substr(0, 8), text.substr(8, 4), text.substr(12, 2)));
    }
    return 0;
}
