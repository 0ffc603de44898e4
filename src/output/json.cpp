#include "output/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "output/utf8.h"

namespace {

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
        } else if (const size_t length = utf8_sequence(bytes.substr(i)).length; length > 0) {
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

