// Text for the pictures: bytes from files as characters, XML escaping, width
// estimates, and numbers as labels and coordinates.
#include "output/plot_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "output/utf8.h"

namespace plot {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEllipsis = 0x2026;

// Controls, which XML 1.0 mostly forbids and which would only break the line
// otherwise, and the two noncharacters XML excludes.
bool unfit_for_label(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFFFE || c == 0xFFFF;
}

}  // namespace

// A stray byte costs one character and never swallows the text after it.
std::u32string decode(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Sequence sequence = utf8_sequence(bytes.substr(i));
        const char32_t c = sequence.length > 0 ? sequence.code : kReplacement;
        out.push_back(unfit_for_label(c) ? kReplacement : c);
        i += sequence.length > 0 ? sequence.length : 1;
    }
    return out;
}

std::string escape(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        switch (c) {
            case U'&':
                out += "&amp;";
                break;
            case U'<':
                out += "&lt;";
                break;
            case U'>':
                out += "&gt;";
                break;
            case U'"':
                out += "&quot;";
                break;
            case U'\'':
                out += "&#39;";
                break;
            default:
                append_utf8(out, c);
        }
    }
    return out;
}

std::string xml(std::string_view bytes) { return escape(decode(bytes)); }

std::u32string shorten(const std::u32string& text, size_t limit) {
    if (text.size() <= limit) return text;
    if (limit == 0) return {};
    const size_t head = (limit - 1) * 2 / 3;
    const size_t tail = limit - 1 - head;
    return text.substr(0, head) + kEllipsis + text.substr(text.size() - tail);
}

double text_width(const std::u32string& text, double font_size, bool bold) {
    double ems = 0.0;
    for (const char32_t c : text) {
        if (c == U' ' || c == U'.' || c == U',' || c == U':' || c == U'i' || c == U'l' ||
            c == U'I' || c == U'j' || c == U'!' || c == U'|' || c == U'\'' || c == U'f' ||
            c == U't' || c == U'r') {
            ems += 0.34;
        } else if (c == U'm' || c == U'w' || c == U'M' || c == U'W' || c == U'@') {
            ems += 0.9;
        } else if (c >= U'A' && c <= U'Z') {
            ems += 0.72;
        } else if (c < 0x80) {
            ems += 0.58;
        } else if (c >= 0x1100) {
            ems += 1.0;  // wide scripts, symbols
        } else {
            ems += 0.7;
        }
    }
    return ems * font_size * (bold ? 1.1 : 1.0);
}

std::u32string shorten_to_width(const std::u32string& text, double width, double font_size,
                                bool bold) {
    // Cut absurd lengths at once; the loop below then runs a few hundred times at most.
    size_t limit =
        std::min<size_t>(text.size(), static_cast<size_t>(width / (0.3 * font_size)) + 1);
    std::u32string candidate = shorten(text, limit);
    while (limit > 1 && text_width(candidate, font_size, bold) > width) {
        candidate = shorten(text, --limit);
    }
    return candidate;
}

std::string fixed(double value, int digits) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    if (std::strlen(buffer) > 14) std::snprintf(buffer, sizeof buffer, "%.6e", value);
    return buffer;
}

std::pair<std::string, std::string> rounded_pair(double value, double deviation) {
    if (!(deviation > 0.0) || !std::isfinite(deviation) || !std::isfinite(value)) {
        return {fixed(value, 2), fixed(deviation, 2)};
    }
    const int decimals = 1 - static_cast<int>(std::floor(std::log10(deviation)));
    if (decimals >= 0) return {fixed(value, std::min(decimals, 12)), fixed(deviation, std::min(decimals, 12))};
    const double unit = std::pow(10.0, -decimals);
    return {fixed(std::round(value / unit) * unit, 0), fixed(std::round(deviation / unit) * unit, 0)};
}

UncertainText uncertain_text(double value, double uncertainty, double lower, double upper,
                             double coverage) {
    UncertainText text;
    std::tie(text.value, text.uncertainty) = rounded_pair(value, uncertainty);
    if (uncertainty > 0.0 && std::isfinite(uncertainty) && std::isfinite(lower) && std::isfinite(upper)) {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%g", coverage * 100.0);
        text.interval = std::string(percent) + " %: " + rounded_pair(lower, uncertainty).first + "\u2013" +
                        rounded_pair(upper, uncertainty).first;
    }
    return text;
}

std::string two_digits(double value) {
    if (!(value > 0.0) || !std::isfinite(value)) return fixed(value, 2);
    return rounded_pair(value, value).first;
}

std::string px(double value) {
    const long long tenths = std::llround(value * 10.0);
    const unsigned long long magnitude = tenths < 0 ? 0ULL - static_cast<unsigned long long>(tenths)
                                                    : static_cast<unsigned long long>(tenths);
    std::string out = tenths < 0 ? "-" : "";
    out += std::to_string(magnitude / 10);
    if (magnitude % 10 != 0) {
        out += '.';
        out += static_cast<char>('0' + magnitude % 10);
    }
    return out;
}

}  // namespace plot
