// JSON for the run report (part of the module main).
#include <charconv>
#include <cmath>

#include "main_internal.h"

namespace assay_internal {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0.
size_t utf8_sequence(std::string_view bytes) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
        (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return length;
}

template <typename T>
std::string shortest(T value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (const size_t length = utf8_sequence(bytes.substr(i)); length > 0) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            std::snprintf(escape, sizeof escape, "\\udc%02x", c);
            out += escape;
            ++i;
        }
    }
    return out + "\"";
}

std::string json_number(float value) { return shortest(value); }
std::string json_number(double value) { return shortest(value); }

std::string json_array(const std::string* values, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) out += ',';
        out += values[i];
    }
    return out + "]";
}

JsonObject& JsonObject::field(const char* key, std::string_view raw_json) {
    body_ += body_.empty() ? "{" : ",";
    body_ += json_string(key);
    body_ += ':';
    body_.append(raw_json);
    return *this;
}

}  // namespace assay_internal
