#include "input/formats/encoding.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace {

// UTF-16 code units as UTF-8; the encoding itself is pugixml's, which reads
// UTF-16 documents the same way.
std::string utf8_from_utf16(std::string_view bytes, bool big_endian) {
    constexpr wchar_t kReplacement = 0xFFFD;
    auto unit = [&](size_t at) {
        const auto a = static_cast<unsigned char>(bytes[at]);
        const auto b = static_cast<unsigned char>(bytes[at + 1]);
        return static_cast<char32_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
    };
    std::wstring wide;
    wide.reserve(bytes.size() / 2 + 1);
    size_t at = 0;
    while (at + 1 < bytes.size()) {
        const char32_t first = unit(at);
        at += 2;
        if (first < 0xD800 || first > 0xDFFF) {
            wide.push_back(static_cast<wchar_t>(first));
            continue;
        }
        if (first <= 0xDBFF && at + 1 < bytes.size()) {
            const char32_t second = unit(at);
            if (second >= 0xDC00 && second <= 0xDFFF) {
                at += 2;
                // A wide character of 16 bits is itself UTF-16.
                if constexpr (sizeof(wchar_t) == 2) {
                    wide.push_back(static_cast<wchar_t>(first));
                    wide.push_back(static_cast<wchar_t>(second));
                } else {
                    wide.push_back(static_cast<wchar_t>(0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00)));
                }
                continue;
            }
        }
        wide.push_back(kReplacement);
    }
    if (at < bytes.size()) wide.push_back(kReplacement);
    return pugi::as_utf8(wide);
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
    if (text.find('\n') == std::string::npos) std::replace(text.begin(), text.end(), '\r', '\n');
    return text;
}
