// Helpers shared by the source files of the module main: the readers, the run
// driver, the report and the command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "main.h"

// printf-style checking of format strings; mingw's C99 stdio follows the GNU
// rules, not those of the system's own printf.
#if defined(__MINGW32__)
#define ASSAY_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ASSAY_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace assay_internal {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// printf into a std::string, for texts that go to more than one place.
std::string format(const char* fmt, ...) ASSAY_PRINTF_FORMAT(1, 2);

// One diagnostic line "assay: <message>" (nothing when `diagnostics` is null).
void diagnose(FILE* diagnostics, const std::string& message);

// The text of the current errno (EIO when errno is 0).
std::string describe_errno();

// read_sample with the reason a file was not used.
enum class SpectrumFileState { read, cannot_open, incomplete };
SpectrumFileState read_spectrum_file(const char* path, SampleRecord* sample, std::string* problem);

// ---------------------------------------------------------------------------
// JSON for the report (JSON Lines: one object per line).

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

}  // namespace assay_internal
