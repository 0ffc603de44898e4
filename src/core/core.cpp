#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/expected.h"
#include "core/file.h"
#include "core/text.h"
#include "core/version.h"

#ifndef ASSAY_PROJECT_VERSION
#define ASSAY_PROJECT_VERSION "unknown"
#endif

const char* program_version() { return ASSAY_PROJECT_VERSION; }

std::string system_error_text(int error_number) {
    return error_number != 0 ? std::strerror(error_number) : "unknown error";
}

namespace {

// One conversion of a format: the text from '%' to its conversion letter.
struct Conversion {
    std::string directive;     // "%7.2f", the length modifier included
    char letter = 0;      // 'd', 'f', 's', ...
    std::string length;   // "", "h", "hh", "l", "ll", "j", "z", "t" or "L"
    int stars = 0;        // '*' fields taking an int argument each
};

// Reads the conversion at fmt[i] == '%'; returns the index after it.
size_t read_conversion(const char* fmt, size_t i, Conversion* c) {
    const size_t start = i++;
    while (fmt[i] != '\0' && std::strchr("-+ #0'", fmt[i]) != nullptr) ++i;
    if (fmt[i] == '*') {
        ++c->stars;
        ++i;
    }
    while (fmt[i] >= '0' && fmt[i] <= '9') ++i;
    if (fmt[i] == '.') {
        ++i;
        if (fmt[i] == '*') {
            ++c->stars;
            ++i;
        }
        while (fmt[i] >= '0' && fmt[i] <= '9') ++i;
    }
    const size_t length_start = i;
    while (fmt[i] != '\0' && std::strchr("hlLjzt", fmt[i]) != nullptr) ++i;
    c->length.assign(fmt + length_start, i - length_start);
    c->letter = fmt[i];
    if (fmt[i] != '\0') ++i;
    c->directive.assign(fmt + start, i - start);
    return i;
}

template <typename... Args>
void append_formatted(std::string& out, const char* directive, Args... args) {
    // Most conversions fit a small buffer, and then one call does.
    char buffer[128];
    const int size = std::snprintf(buffer, sizeof buffer, directive, args...);
    if (size <= 0) return;
    if (static_cast<size_t>(size) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(size));
        return;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(size) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(size) + 1, directive, args...);
    out.resize(at + static_cast<size_t>(size));
}

// A NaN as the C library of the Linux build writes it: the conversion turned
// into "%s" with the same flags (but '0') and width.
void append_nan(std::string& out, const Conversion& c, bool negative, const int* star) {
    std::string directive = "%";
    bool plus = false, space = false;
    size_t i = 1;
    for (; i < c.directive.size() && std::strchr("-+ #0'", c.directive[i]) != nullptr; ++i) {
        if (c.directive[i] == '-') directive += '-';
        plus |= c.directive[i] == '+';
        space |= c.directive[i] == ' ';
    }
    int width = 0;
    bool have_width = false;
    if (c.directive[i] == '*') {
        width = star[0];
        have_width = true;
    } else {
        while (i < c.directive.size() && c.directive[i] >= '0' && c.directive[i] <= '9') {
            width = width * 10 + (c.directive[i++] - '0');
            have_width = true;
        }
    }
    if (have_width && width < 0) {
        directive += '-';
        width = -width;
    }
    if (have_width) directive += std::to_string(width);
    directive += 's';
    const bool upper = c.letter >= 'A' && c.letter <= 'Z';
    std::string word = negative ? "-" : plus ? "+" : space ? " " : "";
    word += upper ? "NAN" : "nan";
    append_formatted(out, directive.c_str(), word.c_str());
}

}  // namespace

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out;
    for (size_t i = 0; fmt[i] != '\0';) {
        if (fmt[i] != '%') {
            const size_t next = std::strcspn(fmt + i, "%");
            out.append(fmt + i, next);
            i += next;
            continue;
        }
        if (fmt[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        Conversion c;
        i = read_conversion(fmt, i, &c);
        int star[2] = {0, 0};
        for (int s = 0; s < c.stars; ++s) star[s] = va_arg(args, int);
        const char* directive = c.directive.c_str();
        auto append_int = [&](auto value) {
            if (c.stars == 0) append_formatted(out, directive, value);
            else if (c.stars == 1) append_formatted(out, directive, star[0], value);
            else append_formatted(out, directive, star[0], star[1], value);
        };
        switch (c.letter) {
            case 'd': case 'i': case 'o': case 'u': case 'x': case 'X': case 'c':
                if (c.length == "ll") append_int(va_arg(args, long long));
                else if (c.length == "l") append_int(va_arg(args, long));
                else if (c.length == "j") append_int(va_arg(args, intmax_t));
                else if (c.length == "z") append_int(va_arg(args, size_t));
                else if (c.length == "t") append_int(va_arg(args, ptrdiff_t));
                else append_int(va_arg(args, int));
                break;
            case 's':
                append_int(va_arg(args, const char*));
                break;
            case 'p':
                append_int(va_arg(args, void*));
                break;
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
                if (c.length == "L") {
                    const long double value = va_arg(args, long double);
                    if (std::isnan(value)) append_nan(out, c, std::signbit(value), star);
                    else append_int(value);
                } else {
                    const double value = va_arg(args, double);
                    if (std::isnan(value)) append_nan(out, c, std::signbit(value), star);
                    else append_int(value);
                }
                break;
            default:
                // Not used by this program ("%n" above all): written as it stands.
                out += c.directive;
                break;
        }
    }
    va_end(args);
    return out;
}

void diagnose(FILE* diagnostics, const std::string& message) {
    if (diagnostics != nullptr) std::fprintf(diagnostics, "assay: %s\n", message.c_str());
}

Expected<File> open_file(const std::string& path, const char* mode) {
    errno = 0;
    File file(std::fopen(path.c_str(), mode));
    if (!file) return Failure{system_error_text(errno)};
    return file;
}

Status flush_file(FILE* file) {
    errno = 0;
    if (std::fflush(file) != 0 || std::ferror(file)) return Failure{system_error_text(errno)};
    return {};
}

Status close_file(File file) {
    if (!file) return {};
    const bool had_error = std::ferror(file.get()) != 0;
    errno = 0;
    const int closed = std::fclose(file.release());
    if (closed != 0 || had_error) return Failure{system_error_text(errno)};
    return {};
}

Status write_whole_file(const std::string& path, std::string_view bytes) {
    Expected<File> file = open_file(path, "wb");
    if (!file) return Failure{"cannot be written: " + file.error().message};
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file->get()) != bytes.size()) {
        return Failure{"cannot be written: " + system_error_text(errno)};
    }
    if (Status closed = close_file(std::move(*file)); !closed) {
        return Failure{"cannot be written: " + closed.error()};
    }
    return {};
}
