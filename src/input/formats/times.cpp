#include "input/formats/times.h"

#include <cstdio>
#include <optional>

#include "input/formats/common.h"

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (the civil-from-days inverse by H. Hinnant, "chrono-Compatible Low-Level
// Date Algorithms").
int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct Civil {
    int64_t year;
    int month;
    int day;
};

Civil civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t mp = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

bool leap(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int64_t year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// A date-time as read, before it is checked.
struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    enum class Half { none, am, pm } half = Half::none;
    std::optional<int> offset_minutes;  // east of UTC; 0 for Z
};

// A cursor over the text with the few tokens dates are made of.
struct Cursor {
    std::string_view text;
    size_t pos = 0;

    bool at_end() const { return pos == text.size(); }
    void blanks() {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    }
    bool literal(char c) {
        if (pos < text.size() && text[pos] == c) return ++pos, true;
        return false;
    }
    // From `least` to `most` decimal digits.
    std::optional<int> number(size_t least, size_t most) {
        size_t p = pos;
        int value = 0;
        while (p < text.size() && p - pos < most && static_cast<unsigned>(text[p] - '0') < 10u) {
            value = value * 10 + (text[p] - '0');
            ++p;
        }
        if (p - pos < least) return std::nullopt;
        pos = p;
        return value;
    }
    // A run of at least one digit, of any length; whether there was one.
    bool digits() {
        const size_t start = pos;
        while (pos < text.size() && static_cast<unsigned>(text[pos] - '0') < 10u) ++pos;
        return pos > start;
    }
    // A run of letters (ASCII or any byte of a UTF-8 sequence).
    std::string_view word() {
        const size_t start = pos;
        while (pos < text.size()) {
            const unsigned char c = static_cast<unsigned char>(text[pos]);
            if (!(c >= 0x80 || static_cast<unsigned>((c | 0x20) - 'a') < 26u)) break;
            ++pos;
        }
        return text.substr(start, pos - start);
    }
};

// "h:mm[:ss[.fff]]" and an optional AM or PM after blanks.
bool read_clock(Cursor* in, Fields* f) {
    const auto hour = in->number(1, 2);
    if (!hour || !in->literal(':')) return false;
    const auto minute = in->number(2, 2);
    if (!minute) return false;
    f->hour = *hour;
    f->minute = *minute;
    if (in->literal(':')) {
        const auto second = in->number(2, 2);
        if (!second) return false;
        f->second = *second;
        if (in->literal('.') || in->literal(',')) {
            if (!in->digits()) return false;  // fractions are dropped: only skipped
        }
    }
    const size_t before = in->pos;
    in->blanks();
    const std::string_view half = in->word();
    if (formats::same_word(half, "AM")) {
        f->half = Fields::Half::am;
    } else if (formats::same_word(half, "PM")) {
        f->half = Fields::Half::pm;
    } else {
        in->pos = before;
    }
    return true;
}

// "Z", "+hh:mm", "+hhmm" or "-hh" after the clock.
bool read_zone(Cursor* in, Fields* f) {
    if (in->literal('Z') || in->literal('z')) {
        f->offset_minutes = 0;
        return true;
    }
    const bool east = in->literal('+');
    if (!east && !in->literal('-')) return true;
    const auto hours = in->number(2, 2);
    if (!hours) return false;
    in->literal(':');
    const int minutes = in->number(2, 2).value_or(0);
    if (*hours > 14 || minutes > 59) return false;
    f->offset_minutes = (east ? 1 : -1) * (*hours * 60 + minutes);
    return true;
}

const std::string kNotADate = "does not read as a date";

// The fields checked and turned into the record.
Expected<StartTime, std::string> checked(const Fields& f) {
    int hour = f.hour;
    if (f.half != Fields::Half::none) {
        if (hour < 1 || hour > 12) return std::string("has an hour beyond 1 to 12 with AM or PM");
        hour = hour % 12 + (f.half == Fields::Half::pm ? 12 : 0);
    }
    if (f.year < 1 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > days_in_month(f.year, f.month) ||
        hour > 23 || f.minute > 59 || f.second > 60) {
        return std::string("is not a date of the calendar");
    }
    // A leap second is read as the first second after it.
    StartTime time;
    time.seconds = days_from_civil(f.year, f.month, f.day) * 86400 + hour * 3600 + f.minute * 60 + f.second;
    if (f.offset_minutes) {
        time.seconds -= *f.offset_minutes * int64_t{60};
        time.utc = true;
    }
    return time;
}

// The month whose name (in any of the languages exports are written in) or
// whose first three letters `name` is, 1 to 12; 0 for none.
int month_of(std::string_view name) {
    static constexpr const char* kNames[12][6] = {
        {"january", "januari", "januar", "janvier", "enero", "jänner"},
        {"february", "februari", "februar", "février", "febrero", "fevrier"},
        {"march", "maart", "märz", "mars", "marzo", "maerz"},
        {"april", "april", "april", "avril", "abril", "apr"},
        {"may", "mei", "mai", "mai", "mayo", "may"},
        {"june", "juni", "juni", "juin", "junio", "jun"},
        {"july", "juli", "juli", "juillet", "julio", "jul"},
        {"august", "augustus", "august", "août", "agosto", "aout"},
        {"september", "september", "september", "septembre", "septiembre", "setiembre"},
        {"october", "oktober", "oktober", "octobre", "octubre", "okt"},
        {"november", "november", "november", "novembre", "noviembre", "nov"},
        {"december", "december", "dezember", "décembre", "diciembre", "dez"},
    };
    // Letters beyond ASCII are compared as they are: the names above hold
    // them in lower case, as the exports write them inside a word.
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower.size() >= 4 && lower.back() == '.') lower.pop_back();
    for (int m = 0; m < 12; ++m) {
        for (const char* candidate : kNames[m]) {
            if (lower == candidate) return m + 1;
        }
        if (lower.size() == 3 && lower == std::string_view(kNames[m][0]).substr(0, 3)) return m + 1;
    }
    return 0;
}

Expected<StartTime, std::string> finished(Cursor* in, const Fields& f) {
    in->blanks();
    if (!in->at_end()) return kNotADate;
    return checked(f);
}

}  // namespace

std::string iso_8601(const StartTime& time) {
    int64_t days = time.seconds / 86400;
    int64_t rest = time.seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    const Civil date = civil_from_days(days);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d%s", static_cast<long long>(date.year),
                  date.month, date.day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60), time.utc ? "Z" : "");
    return text;
}

StartTime later_by(const StartTime& time, int64_t seconds) { return {time.seconds + seconds, time.utc}; }

namespace formats {

Expected<StartTime, std::string> parse_spe_date(std::string_view text) {
    Cursor in{trim(text)};
    Fields f;
    const auto month = in.number(1, 2);
    if (!month || !in.literal('/')) return kNotADate;
    const auto day = in.number(1, 2);
    if (!day || !in.literal('/')) return kNotADate;
    const auto year = in.number(4, 4);
    if (!year) return kNotADate;
    f.month = *month, f.day = *day, f.year = *year;
    in.blanks();
    if (!read_clock(&in, &f)) return kNotADate;
    return finished(&in, f);
}

Expected<StartTime, std::string> parse_xml_date_time(std::string_view text) {
    Cursor in{trim(text)};
    Fields f;
    const auto year = in.number(4, 4);
    if (!year || !in.literal('-')) return kNotADate;
    const auto month = in.number(2, 2);
    if (!month || !in.literal('-')) return kNotADate;
    const auto day = in.number(2, 2);
    if (!day) return kNotADate;
    f.year = *year, f.month = *month, f.day = *day;
    if (!in.literal('T')) in.blanks();
    if (!read_clock(&in, &f) || !read_zone(&in, &f)) return kNotADate;
    return finished(&in, f);
}

Expected<StartTime, std::string> parse_chn_date_time(std::string_view date, std::string_view clock,
                                                     std::string_view seconds) {
    if (date.find_first_not_of(std::string_view(" \0", 2)) == std::string_view::npos) return std::string();
    Cursor day_in{date.substr(0, 2)}, month_in{date.size() >= 5 ? date.substr(2, 3) : ""},
        year_in{date.size() >= 7 ? date.substr(5, 2) : ""};
    Cursor clock_in{clock}, seconds_in{seconds};
    const auto day = day_in.number(1, 2);
    const int month = month_of(month_in.word());
    const auto year = year_in.number(2, 2);
    const auto hour = clock_in.number(2, 2);
    const auto minute = clock_in.number(2, 2);
    const auto second = seconds_in.number(2, 2);
    if (!day || month == 0 || !month_in.at_end() || !year || !hour || !minute || !second || date.size() != 8) {
        return kNotADate;
    }
    Fields f;
    f.day = *day, f.month = month, f.hour = *hour, f.minute = *minute, f.second = *second;
    f.year = (date[7] == '1' ? 2000 : 1900) + *year;
    return checked(f);
}

Expected<StartTime, std::string> parse_export_date_time(std::string_view text) {
    Cursor in{trim(text)};
    Fields f;
    auto separator = [&] {
        in.literal(',') || in.literal('.');
        in.blanks();
    };
    if (const auto day = in.number(1, 2)) {  // "15 januari 2026" or "15. März 2026"
        f.day = *day;
        separator();
        f.month = month_of(in.word());
        in.literal('.');
    } else {  // "januari 15, 2026"
        f.month = month_of(in.word());
        in.literal('.');
        in.blanks();
        const auto day_after = in.number(1, 2);
        if (!day_after) return kNotADate;
        f.day = *day_after;
    }
    separator();
    const auto year = in.number(4, 4);
    if (f.month == 0 || !year) return kNotADate;
    f.year = *year;
    separator();
    if (!read_clock(&in, &f)) return kNotADate;
    if (f.half == Fields::Half::none && f.hour >= 1 && f.hour <= 12) {
        return std::string("is on a 12-hour clock without AM or PM");
    }
    return finished(&in, f);
}

void take_start_time(const Expected<StartTime, std::string>& parsed, const char* key, std::string_view text,
                     SourceSpectrum* source) {
    if (parsed) {
        source->start_time = *parsed;
        return;
    }
    if (parsed.error().empty()) return;
    std::string shown(trim(text).substr(0, 60));
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    source->start_time_problem = "start time (" + std::string(key) + ") '" + shown + "' " + parsed.error();
}

}  // namespace formats
