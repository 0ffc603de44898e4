#include "input/formats/encoding.h"

#include <cstdint>
#include <string_view>

namespace {

void append_utf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string utf8_from_utf16(std::string_view bytes, bool big_endian) {
    constexpr char32_t kReplacement = 0xFFFD;
    auto unit = [&](size_t at) {
        const auto a = static_cast<unsigned char>(bytes[at]);
        const auto b = static_cast<unsigned char>(bytes[at + 1]);
        return static_cast<char32_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
    };
    std::string out;
    out.reserve(bytes.size() / 2);
    size_t at = 0;
    while (at + 1 < bytes.size()) {
        const char32_t first = unit(at);
        at += 2;
        if (first < 0xD800 || first > 0xDFFF) {
            append_utf8(first, &out);
            continue;
        }
        if (first <= 0xDBFF && at + 1 < bytes.size()) {
            const char32_t second = unit(at);
            if (second >= 0xDC00 && second <= 0xDFFF) {
                append_utf8(0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00), &out);
                at += 2;
                continue;
            }
        }
        append_utf8(kReplacement, &out);
    }
    if (at < bytes.size()) append_utf8(kReplacement, &out);
    return out;
}

}  // namespace

std::string without_byte_order_mark(std::string bytes, std::string* note) {
    note->clear();
    const std::string_view view = bytes;
    if (view.substr(0, 3) == "\xEF\xBB\xBF") return bytes.substr(3);
    const bool little = view.substr(0, 2) == "\xFF\xFE";
    if (!little && view.substr(0, 2) != "\xFE\xFF") return bytes;
    *note = little ? "UTF-16 (little-endian) text read as UTF-8" : "UTF-16 (big-endian) text read as UTF-8";
    return utf8_from_utf16(view.substr(2), !little);
}

std::string lone_carriage_returns_to_line_feeds(std::string text) {
    for (size_t i = text.find('\r'); i != std::string::npos; i = text.find('\r', i + 1)) {
        if (i + 1 == text.size() || text[i + 1] != '\n') text[i] = '\n';
    }
    return text;
}
