// IAEA SPE: text blocks, each a line "$NAME:" and its lines up to the next
// line that starts with '$', in any order. Read: $MEAS_TIM: (live and real
// time in seconds), $DATA: (first and last channel, then one count per
// channel, any number to a line), $MCA_CAL: (number of coefficients, then
// the polynomial from the constant up, an optional unit) or else $ENER_FIT:
// (offset and slope). Other blocks are passed over.
#include <cmath>

#include "core/text.h"
#include "input/formats/formats.h"
#include "input/formats/numbers.h"
#include "input/scan.h"

namespace {

using formats::next_number;
using formats::Token;

SpectrumFailure incomplete(std::string message) {
    return SpectrumFailure{SpectrumFailure::Kind::incomplete, std::move(message)};
}

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

// Reads up to `count` numbers of a block's body that starts at `*pos`.
std::vector<double> numbers_of(std::string_view body, size_t count) {
    std::vector<double> values;
    size_t pos = 0;
    double value = 0.0;
    while (values.size() < count && next_number(body, &pos, &value) == Token::number) values.push_back(value);
    return values;
}

struct DataBlock {
    std::vector<double> counts;
    int first = 0;
};

Expected<DataBlock, SpectrumFailure> read_data(std::string_view text, size_t body, size_t end) {
    const std::string_view block = text.substr(0, end);
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
    for (size_t channel = static_cast<size_t>(data.first); channel <= last; ++channel) {
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
        data.counts[channel] = value;
    }
    double extra = 0.0;
    if (next_number(block, &pos, &extra, '$') != Token::end) {
        return incomplete(format("holds more counts than $DATA %d to %zu says (line %d)", data.first, last,
                                 line_of(text, pos)));
    }
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
        const size_t end = next_block(text, body);
        const std::string_view content = text.substr(body, end - body);
        if (name == "$DATA") {
            if (have_data) {
                source.unread.push_back(format("a further $DATA block (line %d)", line_of(text, pos)));
            } else {
                auto data = read_data(text, body, end);
                if (!data) return data.error();
                source.counts = std::move(data->counts);
                if (data->first > 0) {
                    source.notes.push_back(format("data start at channel %d; the channels below are 0", data->first));
                }
                have_data = true;
            }
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
    source.calibration = formats::tidy_calibration(mca_cal);
    std::vector<double> linear = formats::tidy_calibration(ener_fit);
    if (source.calibration.size() <= 2 && !linear.empty()) source.calibration = std::move(linear);
    return source;
}
