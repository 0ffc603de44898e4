// JSON syntax for the report (JSON Lines: one object per line).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A JSON string literal for any bytes: quotes, backslashes and control
// characters escaped; bytes that are not UTF-8 written as the escapes
// \udc80..\udcff (one per byte), so every file name survives the round trip.
std::string json_string(std::string_view bytes);

// The shortest decimal that reads back as exactly this value; NaN and the
// infinities, which JSON lacks, as null.
std::string json_number(float value);
std::string json_number(double value);

// Builds one JSON object; keys are plain identifiers.
class JsonObject {
public:
    JsonObject& field(const char* key, std::string_view raw_json);  // value already JSON
    JsonObject& text(const char* key, std::string_view value) { return field(key, json_string(value)); }
    JsonObject& number(const char* key, float value) { return field(key, json_number(value)); }
    JsonObject& number(const char* key, double value) { return field(key, json_number(value)); }
    JsonObject& integer(const char* key, long long value) { return field(key, std::to_string(value)); }
    JsonObject& unsigned_integer(const char* key, unsigned long long value) {
        return field(key, std::to_string(value));
    }
    JsonObject& boolean(const char* key, bool value) { return field(key, value ? "true" : "false"); }
    JsonObject& null(const char* key) { return field(key, "null"); }
    std::string str() const { return body_.empty() ? "{}" : body_ + "}"; }

private:
    std::string body_;
};

// A JSON array of already-rendered values.
std::string json_array(const std::string* values, size_t count);
