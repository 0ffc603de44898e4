// CSV exports of a multichannel analyser: header lines of "Key:,value"
// (Elapsed Live Time and Elapsed Real Time in seconds, Calibration
// Coefficients, Start Time), then a table under a "Channel,Energy,Counts" line, one row
// per channel, up to the end or a blank line that no row follows (rows after
// blank lines are read, and the blank lines named: dropping them would lose
// counts, and the channel numbers show that none is missing). A header time
// is one number; written with a decimal comma, separators of thousands or as
// hh:mm:ss it is read where only one reading is possible, and the reading is
// named; otherwise the file is refused. The analyser's program writes
// the calibration key without its line end, so that the next key follows on
// the same line ("Calibration Coefficients:Elapsed Real Time:,1267.11"): keys
// are found anywhere in a header line.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"
#include "input/formats/times.h"
#include "input/scan.h"

namespace {

using formats::incomplete;
using formats::trim;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}


std::vector<std::string_view> cells_of(std::string_view line) {
    std::vector<std::string_view> cells;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        cells.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return cells;
        start = comma + 1;
    }
}

// The text after a key and its ':' ',' separators.
std::string_view after_key(std::string_view line, size_t key_end) {
    std::string_view rest = line.substr(key_end);
    while (!rest.empty() && (rest.front() == ':' || rest.front() == ',' || rest.front() == ' ' ||
                             rest.front() == '\t' || rest.front() == '"')) {
        rest.remove_prefix(1);
    }
    return rest;
}

// The digits of `text`, when it is only digits (and at least one).
bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// hh:mm:ss(.s), minutes and seconds below 60, in seconds.
std::optional<double> clock_seconds(std::string_view text) {
    const size_t first = text.find(':');
    const size_t second = text.find(':', first + 1);
    if (first == std::string_view::npos || second != first + 3 || text.size() < second + 3) return std::nullopt;
    const std::string_view hours = text.substr(0, first);
    const std::string_view minutes = text.substr(first + 1, 2);
    const std::string_view seconds = text.substr(second + 1);
    if (!all_digits(hours) || !all_digits(minutes) || !all_digits(seconds.substr(0, 2))) return std::nullopt;
    const auto h = formats::whole_real(hours);
    const auto m = formats::whole_real(minutes);
    const auto s = formats::whole_real(seconds);
    if (!h || !m || !s || *m >= 60 || !(*s < 60) ||
        seconds.find_first_not_of("0123456789.") != std::string_view::npos) {
        return std::nullopt;
    }
    return *h * 3600 + *m * 60 + *s;
}

// A number written with a decimal comma and/or separators of thousands
// ("300,5", "1,267.11", "1.267,11", "1,267,110"), when it can be read one way
// only; `*reading` says how it was read. "1,267" could be either and is not.
Expected<double> separated_number(std::string_view text, std::string* reading) {
    const Failure not_one{"is not one number"};
    if (text.empty() || !all_digits(text.substr(0, 1)) || !all_digits(text.substr(text.size() - 1)) ||
        text.find_first_not_of("0123456789,.") != std::string_view::npos) {
        return not_one;
    }
    const auto commas = std::count(text.begin(), text.end(), ',');
    const auto dots = std::count(text.begin(), text.end(), '.');
    char decimal = 0;
    char group = 0;
    if (commas > 0 && dots > 0) {
        decimal = text.rfind(',') > text.rfind('.') ? ',' : '.';
        group = decimal == ',' ? '.' : ',';
        if ((decimal == ',' ? commas : dots) != 1) return not_one;
    } else if (commas + dots > 1) {
        group = commas > 0 ? ',' : '.';
    } else {
        // One comma: a decimal comma, unless three digits follow it.
        if (text.size() - text.rfind(',') - 1 == 3 && text.substr(0, text.rfind(',')) != "0") {
            return Failure{"could be read with ',' as a separator of thousands or as a decimal comma"};
        }
        decimal = ',';
    }
    const size_t point = decimal == 0 ? text.size() : text.find(decimal);
    std::string_view whole = text.substr(0, point);
    std::string plain;
    if (group != 0) {
        size_t start = 0;
        for (size_t at = whole.find(group); ; at = whole.find(group, start)) {
            const std::string_view digits = whole.substr(start, at == std::string_view::npos ? at : at - start);
            const bool first = start == 0;
            if (!all_digits(digits) || (first ? digits.size() > 3 : digits.size() != 3)) return not_one;
            plain += digits;
            if (at == std::string_view::npos) break;
            start = at + 1;
        }
    } else {
        plain = whole;
    }
    if (decimal != 0) {
        plain.push_back('.');
        plain.append(text.substr(point + 1));
    }
    const auto value = formats::whole_real(plain);
    if (!value) return not_one;
    *reading = group == 0 ? "a decimal comma"
                          : format("'%c' as a separator of thousands%s", group,
                                   decimal == ',' ? " and a decimal comma" : "");
    return *value;
}

// A header time's value, one number in seconds; `*reading` says how it was
// read when it was not a plain number.
Expected<double> header_seconds(std::string_view value, std::string* reading) {
    reading->clear();
    if (const auto plain = formats::whole_real(value)) return *plain;
    if (const auto clock = clock_seconds(value)) {
        *reading = "hh:mm:ss";
        return *clock;
    }
    return separated_number(value, reading);
}

struct Column {
    int channel = -1;
    int energy = -1;
    int counts = -1;
};

// The table's heading: cells naming the channel and the counts.
std::optional<Column> table_heading(std::string_view line) {
    Column column;
    const auto cells = cells_of(line);
    for (size_t i = 0; i < cells.size(); ++i) {
        const std::string name = lower(trim(cells[i]));
        if (name == "channel" || name == "channels") column.channel = static_cast<int>(i);
        if (name == "energy" || name.rfind("energy ", 0) == 0 || name.rfind("energy(", 0) == 0) {
            column.energy = static_cast<int>(i);
        }
        if (name == "counts" || name == "count") column.counts = static_cast<int>(i);
    }
    if (column.channel < 0 || column.counts < 0) return std::nullopt;
    return column;
}

}  // namespace

Expected<SourceSpectrum, SpectrumFailure> read_csv_export(std::string_view text) {
    SourceSpectrum source;
    source.format = "CSV export";
    source.live_time_name = "Elapsed Live Time";
    source.real_time_name = "Elapsed Real Time";
    std::vector<double> coefficients;
    bool has_keys = false;
    std::optional<Column> column;
    size_t pos = 0;
    size_t plain_rows = 0;
    // The header.
    while (pos < text.size() && !column) {
        const size_t eol = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, eol - pos);
        const size_t line_start = pos;
        pos = eol + 1;
        if (formats::whole_real(cells_of(line).front())) {
            ++plain_rows;
            continue;
        }
        column = table_heading(line);
        if (column) break;
        const std::string key = lower(line);
        if (key.find(':') != std::string::npos) has_keys = true;
        if (key.find("preset") != std::string::npos) continue;
        const struct {
            const char* phrase;
            std::optional<double>* time;
        } times[2] = {{"live time", &source.live_time_s}, {"real time", &source.real_time_s}};
        for (const auto& time : times) {
            const size_t at = key.find(time.phrase);
            if (at == std::string::npos) continue;
            std::string_view value = trim(after_key(line, at + std::strlen(time.phrase)));
            // The value's quotes, and empty cells after it.
            while (!value.empty() && (value.back() == ',' || value.back() == '"' || is_space(value.back()))) {
                value.remove_suffix(1);
            }
            std::string reading;
            const Expected<double> seconds = header_seconds(value, &reading);
            if (!seconds) {
                return incomplete(format("%s '%s' (line %d) %s", time.phrase, std::string(value.substr(0, 40)).c_str(),
                                         line_of(text, line_start), seconds.error().message.c_str()));
            }
            if (!reading.empty()) {
                source.notes.push_back(format("%s '%s' read as %.15g s (%s)", time.phrase,
                                              std::string(value).c_str(), *seconds, reading.c_str()));
            }
            *time.time = *seconds;
        }
        if (const size_t at = key.find("start time"); at != std::string::npos) {
            std::string_view value = trim(after_key(line, at + std::strlen("start time")));
            while (!value.empty() && (value.back() == ',' || value.back() == '"')) value.remove_suffix(1);
            formats::take_start_time(formats::parse_export_date_time(value), "Start Time", value, &source);
        }
        const size_t calibration_at = key.find("calibration coefficients");
        if (calibration_at != std::string::npos) {
            std::string_view rest = after_key(line, calibration_at + std::strlen("calibration coefficients"));
            size_t used = 0;
            while (coefficients.size() < 16) {
                const auto value = formats::parse_real(rest, &used);
                if (!value) break;
                coefficients.push_back(*value);
                rest = after_key(rest, used);
            }
        }
    }
    if (!column) {
        if (!has_keys) {
            return incomplete(format("a plain list of %zu counts without live and real time; an export "
                                     "with its header (Elapsed Live Time, Elapsed Real Time) can be read",
                                     plain_rows));
        }
        return incomplete("holds no spectrum (no Channel,Counts table)");
    }
    if (!has_keys && !source.live_time_s && !source.real_time_s) {
        return incomplete("a plain table of counts without live and real time; an export with its "
                          "header (Elapsed Live Time, Elapsed Real Time) can be read");
    }

    // The table.
    std::vector<double> energy_channel;
    std::vector<double> energy;
    bool all_energies = column->energy >= 0;
    long long first = -1;
    long long expected = 0;
    size_t rows = 0;
    size_t blank_at = 0;  // where the first blank line inside the table is (0: none)
    int blank_lines = 0;
    while (pos < text.size()) {
        const size_t eol = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, eol - pos);
        const size_t line_start = pos;
        pos = eol + 1;
        if (trim(line).empty()) {
            // A blank line ends the table, unless rows go on after it: those
            // are read, and the blank lines are named.
            size_t next = pos;
            while (next < text.size() && trim(text.substr(next, text.find('\n', next) - next)).empty()) {
                next = std::min(text.find('\n', next), text.size()) + 1;
            }
            const std::string_view after = text.substr(std::min(next, text.size()));
            const auto cells = cells_of(after.substr(0, after.find('\n')));
            if (next >= text.size() || static_cast<int>(cells.size()) <= column->channel ||
                !formats::whole_real(cells[static_cast<size_t>(column->channel)])) {
                break;
            }
            if (blank_at == 0) blank_at = line_start;
            blank_lines += static_cast<int>(std::count(text.begin() + static_cast<ptrdiff_t>(line_start),
                                                       text.begin() + static_cast<ptrdiff_t>(next), '\n'));
            pos = next;
            continue;
        }
        const auto cells = cells_of(line);
        const int needed = std::max(column->channel, column->counts);
        if (static_cast<int>(cells.size()) <= needed) {
            return incomplete(format("row '%s' has no %s cell (line %d)", excerpt_at(text, line_start).c_str(),
                                     static_cast<int>(cells.size()) <= column->counts ? "Counts" : "Channel",
                                     line_of(text, line_start)));
        }
        const auto channel = formats::whole_real(cells[static_cast<size_t>(column->channel)]);
        if (!channel || *channel != std::floor(*channel) || *channel < 0) {
            return incomplete(format("channel number does not scan at '%s' (line %d)",
                                     excerpt_at(text, line_start).c_str(), line_of(text, line_start)));
        }
        if (first < 0) {
            if (*channel >= kMaxSourceChannels) {
                return incomplete(format("table starts at channel %g; at most %d channels can be read", *channel,
                                         kMaxSourceChannels));
            }
            first = static_cast<long long>(*channel);
            expected = first;
            source.counts.assign(static_cast<size_t>(first), 0.0);
        }
        if (*channel != static_cast<double>(expected)) {
            return incomplete(format("channel %g follows channel %lld (line %d)", *channel, expected - 1,
                                     line_of(text, line_start)));
        }
        const std::string_view count_cell = cells[static_cast<size_t>(column->counts)];
        const auto count = formats::whole_real(count_cell);
        if (!count || !std::isfinite(*count)) {
            const size_t at = line_start + static_cast<size_t>(count_cell.data() - line.data());
            return incomplete(format("count of channel %lld does not scan at '%s' (line %d)", expected,
                                     excerpt_at(text, at).c_str(), line_of(text, at)));
        }
        ++expected;
        ++rows;
        // Beyond the most channels only the rows are counted, for the message.
        if (source.counts.size() < static_cast<size_t>(kMaxSourceChannels) + 1) {
            source.counts.push_back(*count);
            if (all_energies) {
                const auto keV = static_cast<size_t>(column->energy) < cells.size()
                                     ? formats::whole_real(cells[static_cast<size_t>(column->energy)])
                                     : std::nullopt;
                if (keV && std::isfinite(*keV)) {
                    energy_channel.push_back(static_cast<double>(expected - 1));
                    energy.push_back(*keV);
                } else {
                    all_energies = false;
                }
            }
        }
    }
    if (rows == 0) return incomplete("holds no spectrum (the Channel,Counts table is empty)");
    if (first + static_cast<long long>(rows) > kMaxSourceChannels) {
        return incomplete(format("holds %lld channels; at most %d can be read", first + static_cast<long long>(rows),
                                 kMaxSourceChannels));
    }
    if (blank_lines > 0) {
        source.notes.push_back(format("%d blank line%s inside the table read past (the first is line %d)", blank_lines,
                                      blank_lines == 1 ? "" : "s", line_of(text, blank_at)));
    }
    if (first > 0) source.notes.push_back(format("table starts at channel %lld; the channels below are 0", first));
    source.calibration = formats::tidy_calibration(coefficients, &source.unread);
    if (source.calibration.empty() && all_energies) {
        double worst = 0.0;
        source.calibration = formats::fit_calibration(energy_channel, energy, &worst);
        if (!source.calibration.empty()) {
            source.notes.push_back(format("calibration fitted to the Energy column (within %.3g keV)", worst));
        }
    }
    return source;
}
