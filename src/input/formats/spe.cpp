// IAEA SPE: text blocks, each a line "$NAME:" and its lines up to the next
// line that starts with '$', in any order. Read: $MEAS_TIM: (live and real
// time in seconds), $DATA: (first and last channel, then one count per
// channel, any number to a line), $MCA_CAL: (number of coefficients, then
// the polynomial from the constant up, an optional unit) or else $ENER_FIT:
// (offset and slope), $DATE_MEA: (the start). Other blocks are passed over.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"
#include "input/formats/times.h"
#include "input/scan.h"

namespace {

using formats::next_number;
using formats::Token;

using formats::incomplete;

// The start of the line after the one `pos` is in (or the end).
size_t next_line(std::string_view text, size_t pos) {
    const size_t eol = text.find('\n', pos);
    return eol == std::string_view::npos ? text.size() : eol + 1;
}

// The start of the next line that begins with '$', from the line at `pos`.
size_t next_block(std::string_view text, size_t pos) {
    while (pos < text.size() && text[pos] != '$') pos = next_line(text, pos);
    return pos;
}

// The first numbers of a block's body, at most `count`, up to one that does not scan.
std::vector<double> numbers_of(std::string_view body, size_t count) {
    std::vector<double> values;
    size_t pos = 0;
    double value = 0.0;
    while (values.size() < count && next_number(body, &pos, &value) == Token::number) values.push_back(value);
    return values;
}

// The programs that write SPE put one count on a line, right-aligned in a
// field of fixed width ("       0\r\n"). Once a line of that layout has been
// read, the next lines are tried as the same layout: the position then moves
// by a constant, and the field is checked and converted eight bytes at once,
// so that no step waits for the bytes of the one before.
struct FixedLines {
    size_t line_end = 0;  // bytes of the line end before each field: 1 (LF) or 2 (CR LF); 0: no layout
    size_t width = 0;     // bytes of a field, 1 to 8
};

// The value of eight decimal digits in memory order (three multiplications).
constexpr uint32_t eight_digits(uint64_t word) {
    word -= 0x3030303030303030u;
    word = word * 10 + (word >> 8);
    word = (((word & 0x000000FF000000FFu) * 0x000F424000000064u) +
            (((word >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >> 32;
    return static_cast<uint32_t>(word);
}

// Reads counts into `counts` from channel `*channel` on, as long as the
// lines after `*pos` keep the layout `lines` (blanks, then at least one
// digit, then a line end or the end of the text), and no further than
// channel `last`; `*pos` and `*channel` move past what was read.
void read_fixed_lines(std::string_view text, const FixedLines& lines, size_t last, size_t* pos, size_t* channel,
                      double* counts) {
    if constexpr (std::endian::native != std::endian::little) return;
    const char* const data = text.data();
    const size_t size = text.size();
    const size_t stride = lines.line_end + lines.width;
    const uint64_t field = ~uint64_t{0} << (8 * (8 - lines.width));
    const uint64_t blanks_before = 0x2020202020202020u & ~field;
    size_t p = *pos;
    size_t c = *channel;
    while (c <= last) {
        const size_t end = p + stride;
        if (end > size || end < 8) break;
        const bool line_end = lines.line_end == 2 ? data[p] == '\r' && data[p + 1] == '\n' : data[p] == '\n';
        const bool field_end = end == size || data[end] == '\r' || data[end] == '\n';
        uint64_t word = 0;
        std::memcpy(&word, data + end - 8, sizeof word);  // the field in the high bytes
        // The bytes before the field count as blanks, and the blanks become
        // '0': then all eight bytes must be digits, and one at least was.
        word = (word & field) | blanks_before;
        const uint64_t not_blank = word ^ 0x2020202020202020u;
        const unsigned blanks = static_cast<unsigned>(std::countr_zero(not_blank)) / 8;
        const uint64_t low = blanks == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * blanks)) - 1;
        word = (word & ~low) | (0x3030303030303030u & low);
        const bool digits = ((word & 0xF0F0F0F0F0F0F0F0u) |
                             (((word + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) == 0x3333333333333333u;
        if (!(line_end && field_end && digits && blanks < 8)) break;
        counts[c++] = eight_digits(word);
        p = end;
    }
    *pos = p;
    *channel = c;
}

// The layout of the line whose count ends at `after`, when it is a field of
// blanks and the count after a line end, followed by a line end.
FixedLines layout_of(std::string_view text, size_t after) {
    size_t start = after;
    while (start > 0 && static_cast<unsigned>(text[start - 1] - '0') < 10u) --start;
    while (start > 0 && text[start - 1] == ' ') --start;
    FixedLines lines;
    const size_t width = after - start;
    if (start == 0 || text[start - 1] != '\n' || width == 0 || width > 8 || after >= text.size()) return lines;
    if (text[after] == '\n') lines.line_end = 1;
    if (text[after] == '\r' && after + 1 < text.size() && text[after + 1] == '\n') lines.line_end = 2;
    if (lines.line_end != 0) lines.width = width;
    return lines;
}

struct DataBlock {
    std::vector<double> counts;
    int first = 0;
};

// Reads the $DATA block whose body starts at `body`, up to the next '$' (the
// counts are not scanned twice to find their end first); `*end` receives
// where it stopped.
Expected<DataBlock, SpectrumFailure> read_data(std::string_view text, size_t body, size_t* end) {
    const std::string_view block = text;
    size_t pos = body;
    double range[2] = {0.0, 0.0};
    const char* range_names[2] = {"first channel", "last channel"};
    for (int i = 0; i < 2; ++i) {
        const Token token = next_number(block, &pos, &range[i], '$');
        if (token == Token::end) return incomplete(format("$DATA ends before its %s", range_names[i]));
        if (token == Token::bad || range[i] != std::floor(range[i])) {
            return incomplete(format("$DATA %s does not scan at '%s' (line %d)", range_names[i],
                                     excerpt_at(text, pos).c_str(), line_of(text, pos)));
        }
    }
    if (range[0] < 0 || range[1] < range[0]) {
        return incomplete(format("$DATA channel range %g to %g is not a range of channels", range[0], range[1]));
    }
    if (range[1] >= kMaxSourceChannels) {
        return incomplete(format("holds %g channels ($DATA %g to %g); at most %d can be read",
                                 range[1] - range[0] + 1, range[0], range[1], kMaxSourceChannels));
    }
    DataBlock data;
    data.first = static_cast<int>(range[0]);
    const size_t last = static_cast<size_t>(range[1]);
    data.counts.assign(last + 1, 0.0);
    FixedLines lines;
    size_t channel = static_cast<size_t>(data.first);
    while (channel <= last) {
        if (lines.line_end != 0) {
            read_fixed_lines(text, lines, last, &pos, &channel, data.counts.data());
            lines = FixedLines{};
            if (channel > last) break;
        }
        double value = 0.0;
        const Token token = next_number(block, &pos, &value, '$');
        if (token == Token::end) {
            return incomplete(format("holds only %zu of the %zu counts of $DATA %d to %zu",
                                     channel - static_cast<size_t>(data.first), last + 1 - data.first,
                                     data.first, last));
        }
        if (token == Token::bad) {
            return incomplete(format("count of channel %zu does not scan at '%s' (line %d)", channel,
                                     excerpt_at(text, pos).c_str(), line_of(text, pos)));
        }
        if (!std::isfinite(value)) {
            return incomplete(format("count of channel %zu is not a finite number (line %d)", channel,
                                     line_of(text, pos)));
        }
        data.counts[channel++] = value;
        lines = layout_of(text, pos);
    }
    double extra = 0.0;
    if (next_number(block, &pos, &extra, '$') != Token::end) {
        return incomplete(format("holds more counts than $DATA %d to %zu says (line %d)", data.first, last,
                                 line_of(text, pos)));
    }
    *end = pos;
    return data;
}

}  // namespace

Expected<SourceSpectrum, SpectrumFailure> read_iaea_spe(std::string_view text) {
    SourceSpectrum source;
    source.format = "IAEA SPE";
    source.live_time_name = "$MEAS_TIM";
    source.real_time_name = "$MEAS_TIM";
    bool have_data = false;
    std::vector<double> mca_cal;
    std::vector<double> ener_fit;
    size_t pos = next_block(text, 0);
    while (pos < text.size()) {
        const size_t body = next_line(text, pos);
        std::string_view name = text.substr(pos, body - pos);
        const size_t colon = name.find(':');
        name = name.substr(0, colon == std::string_view::npos ? name.find_first_of(" \t\r\n") : colon);
        if (name == "$DATA" && !have_data) {
            size_t end = body;
            auto data = read_data(text, body, &end);
            if (!data) return data.error();
            source.counts = std::move(data->counts);
            if (data->first > 0) {
                source.notes.push_back(format("data start at channel %d; the channels below are 0", data->first));
            }
            have_data = true;
            pos = next_block(text, end);
            continue;
        }
        const size_t end = next_block(text, body);
        const std::string_view content = text.substr(body, end - body);
        if (name == "$DATA") {
            source.unread.push_back(format("a further $DATA block (line %d)", line_of(text, pos)));
        } else if (name == "$MEAS_TIM") {
            size_t at = 0;
            double seconds[2] = {0.0, 0.0};
            const char* names[2] = {"live time", "real time"};
            for (int i = 0; i < 2; ++i) {
                const Token token = next_number(content, &at, &seconds[i]);
                if (token == Token::bad) {
                    return incomplete(format("%s ($MEAS_TIM) does not scan at '%s' (line %d)", names[i],
                                             excerpt_at(text, body + at).c_str(), line_of(text, body + at)));
                }
                if (token == Token::end) break;
                (i == 0 ? source.live_time_s : source.real_time_s) = seconds[i];
            }
        } else if (name == "$DATE_MEA") {
            formats::take_start_time(formats::parse_spe_date(content), "$DATE_MEA", content, &source);
        } else if (name == "$MCA_CAL") {
            size_t at = 0;
            double count = 0.0;
            if (next_number(content, &at, &count) == Token::number && count >= 1 && count <= 16) {
                mca_cal = numbers_of(content.substr(at), static_cast<size_t>(count));
            }
        } else if (name == "$ENER_FIT") {
            ener_fit = numbers_of(content, 2);
        }
        pos = end;
    }
    if (!have_data) return incomplete("holds no spectrum (no $DATA block)");
    // $ENER_FIT has more digits than $MCA_CAL in the programs that write
    // both; $MCA_CAL wins where it has a quadratic term.
    source.calibration = formats::tidy_calibration(mca_cal, &source.unread);
    std::vector<double> linear = formats::tidy_calibration(ener_fit, &source.unread);
    if (source.calibration.size() <= 2 && !linear.empty()) source.calibration = std::move(linear);
    return source;
}
