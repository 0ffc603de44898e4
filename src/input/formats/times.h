// When a measurement started, as the files of other programs state it: the
// parsers of their date-time texts and the one form every output writes.
// Below the readers, beside common.h (whose text helpers it uses); the face
// (spectrum_file.h) passes iso_8601 and later_by on to the run.
//
// A file's clock is taken as it is: where it states a zone or an offset the
// time is converted to UTC, where it states none the time stays the file's
// local time, and no zone is ever guessed. Fractional seconds are dropped.
// Failure: the reason in words, which does not yet name the key or the file
// ("is on a 12-hour clock without AM or PM", "does not read as a date").
#pragma once

#include <string>
#include <string_view>

#include "core/expected.h"
#include "input/spectrum_record.h"

// ISO 8601 to the second: "2014-01-12T15:12:28" for local time,
// "2014-01-12T14:12:28Z" for UTC.
std::string iso_8601(const StartTime& time);

// `time` moved on by `seconds` on its own clock.
StartTime later_by(const StartTime& time, int64_t seconds);

namespace formats {

// SPE $DATE_MEA: "mm/dd/yyyy hh:mm:ss" on a 24-hour clock, or the 12-hour
// form "mm/dd/yyyy h:mm:ss PM"; seconds may be left out.
Expected<StartTime, std::string> parse_spe_date(std::string_view text);

// xs:dateTime ("2014-01-12T15:12:28", fractional seconds, "Z" or an offset
// "+01:00") and the 12-hour forms some converters write
// ("2014-01-12T3:12:28 PM", a blank instead of the T): N42 StartDateTime and
// RadiaCode StartTime.
Expected<StartTime, std::string> parse_xml_date_time(std::string_view text);

// The CHN header's start: `date` its 8 bytes "ddMmmyyC" (C '1' for years
// 2000 to 2099, else 1900 to 1999), `clock` its 4 bytes "hhmm", `seconds` its
// 2 bytes "ss". A date of blanks or zero bytes is no date: the error text is
// then empty.
Expected<StartTime, std::string> parse_chn_date_time(std::string_view date, std::string_view clock,
                                                     std::string_view seconds);

// A CSV export's start: "Month d, yyyy, hh:mm:ss" or "d Month yyyy hh:mm:ss"
// with the month's name in English, Dutch, German, French or Spanish (or its
// first three letters), and an optional AM or PM. These exports write a
// 12-hour clock, so an hour from 1 to 12 without AM or PM is refused as
// ambiguous; 0 and 13 to 23 can only be a 24-hour clock.
Expected<StartTime, std::string> parse_export_date_time(std::string_view text);

// Puts `parsed` into source->start_time, or where it failed with a reason
// source->start_time_problem: "start time (<key>) '<text>' <reason>" (the
// text cut at 60 bytes, control characters as '?'). An empty reason means no
// time is stated: neither is set.
void take_start_time(const Expected<StartTime, std::string>& parsed, const char* key, std::string_view text,
                     SourceSpectrum* source);

}  // namespace formats
