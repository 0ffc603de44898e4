#include "input/method_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/conversions.h"
#include "core/file.h"
#include "core/text.h"
#include "input/scan.h"
#include "input/spectrum_file.h"
#include "input/text_file.h"

float stripped(float entry, float strip) {
    // On x86-64 the sum of two NaNs is the first one; the explicit choice
    // keeps that wherever the compiler puts the operands.
    const float sum = std::isnan(entry) ? entry : entry + strip;
    return sum < 0.0f ? 0.0f : sum;  // a NaN sum stays
}

namespace {

const char* describe_failure(ScanStatus status) {
    switch (status) {
        case ScanStatus::end_of_input: return "the file ends where a value is expected";
        case ScanStatus::out_of_range: return "value out of range";
        default: return "value does not scan";
    }
}

// ---------------------------------------------------------------------------
// Method file.

struct MethodReader {
    TextScanner scanner;
    FILE* echo;                 // method.txt, or null when it could not be created
    const ReaderOutput& output;
    const char* path;
    bool scan_failure_reported = false;

    // Every line with a real goes through format(), which writes NaNs alike on
    // every platform.
    void echo_line(const std::string& line) {
        if (echo != nullptr) std::fputs(line.c_str(), echo);
    }

    // "%d\r\n" without a format to parse: spectra are most of the echo.
    void echo_int(int32_t value) {
        if (echo == nullptr) return;
        char buffer[16];
        char* end = std::to_chars(buffer, buffer + sizeof buffer - 2, value).ptr;
        *end++ = '\r';
        *end++ = '\n';
        std::fwrite(buffer, 1, static_cast<size_t>(end - buffer), echo);
    }

    void console(const std::string& text) const { std::fputs(text.c_str(), output.console); }

    // Only the first value that does not scan is reported: after it, every
    // later scan of a malformed file tends to fail at the same place.
    void report_scan(ScanStatus status, size_t at, const std::string& item) {
        if (status == ScanStatus::ok || scan_failure_reported) return;
        scan_failure_reported = true;
        std::string where = format("%s:%d: %s: %s", path, line_of(scanner.text, at), item.c_str(),
                                   describe_failure(status));
        if (status == ScanStatus::no_match) {
            where += format(" ('%s')", excerpt_at(scanner.text, at).c_str());
        }
        diagnose(output.diagnostics, where);
    }

    // A value that goes into a record: a failed scan leaves the field alone.
    void read_into(int32_t* field, const std::string& item) {
        size_t at = scanner.pos;
        report_scan(scan_int32(scanner, field), at, item);
    }
    void read_into(float* field, const std::string& item) {
        size_t at = scanner.pos;
        report_scan(scan_float(scanner, field), at, item);
    }
    void read_into(uint64_t* field, const std::string& item) {
        size_t at = scanner.pos;
        report_scan(scan_uint64(scanner, field), at, item);
    }

    // A value that goes into no record reads as 0 when it does not scan.
    int32_t read_int(const std::string& item) {
        int32_t value = 0;
        read_into(&value, item);
        return value;
    }
    float read_float(const std::string& item) {
        float value = 0.0f;
        read_into(&value, item);
        return value;
    }
    uint64_t read_uint64(const std::string& item) {
        uint64_t value = 0;
        read_into(&value, item);
        return value;
    }

    // A name or unit: the whole word is consumed, at most 9 characters kept.
    bool read_text(char (&field)[kTextField], const std::string& item) {
        size_t at = scanner.pos;
        std::string word;
        ScanStatus status = scan_word(scanner, &word);
        if (status != ScanStatus::ok) {
            report_scan(status, at, item);
            return false;
        }
        if (word.size() > kTextField - 1) {
            diagnose(output.diagnostics,
                     format("%s:%d: %s '%s' is longer than %d characters; kept as '%.*s'", path,
                            line_of(scanner.text, at), item.c_str(), word.c_str(), kTextField - 1,
                            kTextField - 1, word.c_str()));
            word.resize(kTextField - 1);
        }
        std::memcpy(field, word.c_str(), word.size() + 1);
        return true;
    }
};

void echo_short_spectrum_zero(MethodReader& reader) {
    reader.echo_line(format("%llu\r\n%llu\r\n", 0ULL, 0ULL));
    for (int i = 0; i < kShortChannels; ++i) reader.echo_int(0);
    reader.echo_line(format("%d %d %d %d\r\n", 0, 0, 0, 0));
}

// Reads one spectrum after its non-zero flag: a "#" reference to a spectrum
// file directly after the flag's digits, or the spectrum inline.
void read_method_spectrum(MethodReader& reader, uint64_t* live_time, uint64_t* real_time,
                          int32_t* channel, const std::string& item) {
    size_t mark = reader.scanner.pos;
    if (take_char(reader.scanner) == '#') {
        std::string name;
        size_t at = reader.scanner.pos;
        ScanStatus status = scan_word(reader.scanner, &name);
        reader.report_scan(status, at, item + " file name");
        reader.console(format("%s\n", name.c_str()));
        const auto spectrum = std::make_unique<Expected<SpectrumFile, SpectrumFailure>>(
            status == ScanStatus::ok ? read_spectrum_file(name)
                                     : SpectrumFailure{SpectrumFailure::Kind::cannot_open, "no file name"});
        if (!*spectrum) {
            const std::string& problem = spectrum->error().message;
            // Nothing of a damaged file is stored or echoed.
            reader.console("Spectrum file damaged\n");
            diagnose(reader.output.diagnostics,
                     format("%s: %s (%s referenced by %s); left empty", name.c_str(),
                            problem.c_str(), item.c_str(), reader.path));
            return;
        }
        const SpectrumFile& file = spectrum->value();
        if (file.counts_held) {
            diagnose(reader.output.diagnostics,
                     format("%s: counts beyond the int32 range held at its limit (%s referenced by %s)",
                            name.c_str(), item.c_str(), reader.path));
        }
        reader.echo_line(format("%llu\r\n%llu\r\n", static_cast<unsigned long long>(file.live_time_us),
                                static_cast<unsigned long long>(file.real_time_us)));
        *live_time = microseconds_to_seconds(file.live_time_us);
        *real_time = microseconds_to_seconds(file.real_time_us);
        for (int i = 0; i < kChannels; ++i) {
            channel[i] = file.channel[i];
            reader.echo_int(channel[i]);
        }
        reader.echo_line(format("%d %d %d %d\r\n", float_to_count(file.trailing[0]),
                                float_to_count(file.trailing[1]), float_to_count(file.trailing[2]),
                                float_to_count(file.trailing[3])));
        echo_short_spectrum_zero(reader);
        return;
    }

    reader.console("Reading from method file\n");
    reader.scanner.pos = mark;
    // A time that does not scan keeps the field's value, which is then converted
    // like a scanned one.
    uint64_t live_us = *live_time;
    uint64_t real_us = *real_time;
    reader.read_into(&live_us, item + " live time");
    reader.read_into(&real_us, item + " real time");
    reader.echo_line(format("%llu\r\n%llu\r\n", static_cast<unsigned long long>(live_us),
                     static_cast<unsigned long long>(real_us)));
    *live_time = microseconds_to_seconds(live_us);
    *real_time = microseconds_to_seconds(real_us);
    for (int i = 0; i < kChannels; ++i) {
        reader.read_into(&channel[i], item + " counts");
        reader.echo_int(channel[i]);
    }
    float reals[4];
    for (float& real : reals) real = reader.read_float(item + " trailing reals");
    reader.echo_line(format("%d %d %d %d\r\n", float_to_count(reals[0]), float_to_count(reals[1]),
                     float_to_count(reals[2]), float_to_count(reals[3])));

    // The short spectrum is carried along and not kept.
    uint64_t short_live = reader.read_uint64(item + " short spectrum");
    uint64_t short_real = reader.read_uint64(item + " short spectrum");
    reader.echo_line(format("%llu\r\n%llu\r\n", static_cast<unsigned long long>(short_live),
                     static_cast<unsigned long long>(short_real)));
    for (int i = 0; i < kShortChannels; ++i) {
        reader.echo_int(reader.read_int(item + " short spectrum"));
    }
    for (float& real : reals) real = reader.read_float(item + " short spectrum");
    reader.echo_line(format("%d %d %d %d\r\n", float_to_count(reals[0]), float_to_count(reals[1]),
                     float_to_count(reals[2]), float_to_count(reals[3])));
}

void read_component_list(MethodReader& reader, NameTable* names) {
    names->count = 0;
    for (;;) {
        NameEntry& entry = names->entry[names->count];
        const std::string item = format("component list, pair %d", names->count + 1);
        // A pair counts only when its name scanned.
        if (!reader.read_text(entry.name, item + " name")) break;
        take_char(reader.scanner);
        if (reader.read_text(entry.unit, item + " unit")) take_char(reader.scanner);
        reader.console(format("%s %s\n", entry.name, entry.unit));
        ++names->count;

        // The list ends at a unit whose separator is directly followed by a
        // line end; the character after that line end goes with it.
        size_t remembered = reader.scanner.pos;
        int first = take_char(reader.scanner);
        take_char(reader.scanner);
        if (first == '\n') {
            reader.console(format("components total %d\n", names->count));
            break;
        }
        reader.scanner.pos = remembered;
        if (names->count == kMaxComponents) break;
    }
}

void print_row(MethodReader& reader, const float* row) {
    reader.console(format("%f %f %f %f %f %f\n", row[0], row[1], row[2], row[3], row[4], row[5]));
}

void read_method(MethodReader& reader, MethodRecord* method, NameTable* names,
                 StandardFactors* factors, LocalBackground* local_background) {
    std::string method_name;
    {
        size_t at = reader.scanner.pos;
        reader.report_scan(scan_word(reader.scanner, &method_name), at, "method name");
    }
    reader.console(format("%s\n", method_name.c_str()));
    reader.echo_line(format("%s\r\n", method_name.c_str()));

    read_component_list(reader, names);
    method->component_count = names->count;
    for (ComponentBlock& block : method->component) block.weight = 1.0f;
    for (const NameEntry& entry : names->entry) {
        if (entry.name[0] != '\0') {
            reader.echo_line(format("%s\r\n", entry.name));
            reader.echo_line(format("%s\r\n", entry.unit));
        } else {
            reader.echo_line("\r\n\r\n");
        }
    }

    for (int i = 0; i < kMaxComponents; ++i) {
        float* row = method->component[i].standard_activity;
        for (int k = 0; k < kMaxComponents; ++k) {
            reader.read_into(&row[k], format("standards table row %d", i + 1));
        }
        print_row(reader, row);
        for (int k = 0; k < kMaxComponents; ++k) reader.echo_line(format("%f\r\n", row[k]));
    }

    float strip[kMaxComponents];
    for (float& value : strip) value = reader.read_float("strip line");
    print_row(reader, strip);
    for (float value : strip) reader.echo_line(format("%f\r\n", value));
    reader.console("Stripped standards activities\n");
    for (ComponentBlock& block : method->component) {
        for (int k = 0; k < kMaxComponents; ++k) {
            block.standard_activity[k] = stripped(block.standard_activity[k], strip[k]);
        }
        print_row(reader, block.standard_activity);
    }

    for (int i = 0; i < kMaxComponents; ++i) {
        ComponentBlock& block = method->component[i];
        const std::string item = format("ROI line of component %d", i + 1);
        for (int r = 0; r < kMethodRois; ++r) {
            reader.read_into(&block.roi[r][0], item);
            reader.read_into(&block.roi[r][1], item);
        }
        block.roi_count = 0;
        while (block.roi_count < kMethodRois &&
               (block.roi[block.roi_count][0] != 0 || block.roi[block.roi_count][1] != 0)) {
            ++block.roi_count;
        }
        for (int r = 0; r < kMethodRois; ++r) {
            reader.echo_line(format("%d\r\n%d\r\n", block.roi[r][0], block.roi[r][1]));
        }
        // The file gives ROIs in thirds of a channel.
        for (int r = 0; r < block.roi_count; ++r) {
            block.roi[r][0] /= 3;
            block.roi[r][1] /= 3;
        }
    }

    for (float& value : factors->factor) reader.read_into(&value, "standard factors");
    for (float value : factors->factor) reader.echo_line(format("%f\r\n", value));
    for (float& value : method->detection_limit) reader.read_into(&value, "detection limits");
    for (float value : method->detection_limit) reader.echo_line(format("%f\r\n", value));
    for (float& value : method->partial_limit) reader.read_into(&value, "partial limits");
    for (float value : method->partial_limit) reader.echo_line(format("%f\r\n", value));
    for (int i = 0; i < 3; ++i) reader.echo_int(reader.read_int("reserved integers"));

    // One background serves all components.
    int32_t flag = reader.read_int("background flag");
    reader.echo_int(flag);
    if (flag == 0) {
        reader.console("BG spectrum not present\n");
    } else {
        ComponentBlock& first = method->component[0];
        read_method_spectrum(reader, &first.background_live_time, &first.background_real_time,
                             first.background_channel, "background spectrum");
        for (int i = 1; i < kMaxComponents; ++i) {
            ComponentBlock& block = method->component[i];
            block.background_live_time = first.background_live_time;
            block.background_real_time = first.background_real_time;
            std::copy(std::begin(first.background_channel), std::end(first.background_channel),
                      block.background_channel);
        }
    }

    for (int i = 0; i < kMaxComponents; ++i) {
        const std::string item = format("standard spectrum of component %d", i + 1);
        flag = reader.read_int(item + " flag");
        reader.echo_int(flag);
        if (flag == 0) {
            reader.console("Calibration spectrum not present\n");
            continue;
        }
        ComponentBlock& block = method->component[i];
        read_method_spectrum(reader, &block.standard_live_time, &block.standard_real_time,
                             block.standard_channel, item);
    }

    flag = reader.read_int("local background flag");
    reader.echo_int(flag);
    if (flag == 0) {
        reader.console("Local BG spectrum not present\n");
    } else {
        read_method_spectrum(reader, &local_background->live_time, &local_background->real_time,
                             local_background->channel, "local background spectrum");
    }
}

}  // namespace

int32_t read_calibration(const char* path, MethodRecord* method, NameTable* names,
                         StandardFactors* factors, LocalBackground* local_background,
                         const ReaderOutput& output) {
    Expected<File> echo = open_file(METHOD, "wb");
    if (!echo) {
        diagnose(output.diagnostics, format("%s: cannot be created: %s; no method echo is written",
                                            METHOD, echo.error().message.c_str()));
    }
    FILE* echo_file = echo ? echo->get() : nullptr;
    const Expected<std::string> text = load_text_file(path);
    if (!text) {
        diagnose(output.diagnostics, format("%s: method file cannot be opened: %s; the run has no components",
                                            path, text.error().message.c_str()));
        return 1;
    }
    MethodReader reader{TextScanner{*text}, echo_file, output, path};
    read_method(reader, method, names, factors, local_background);
    if (echo) {
        if (Status closed = close_file(std::move(*echo)); !closed) {
            diagnose(output.diagnostics, format("%s: write failed: %s", METHOD, closed.error().c_str()));
        }
    }
    return 1;
}

std::vector<std::string> referenced_spectrum_files(const std::string& text) {
    std::vector<std::string> names;
    TextScanner scanner{text};
    for (size_t mark = text.find('#'); mark != std::string::npos; mark = text.find('#', mark + 1)) {
        if (mark == 0 || text[mark - 1] < '0' || text[mark - 1] > '9') continue;
        scanner.pos = mark + 1;
        std::string name;
        if (scan_word(scanner, &name) == ScanStatus::ok) names.push_back(std::move(name));
    }
    return names;
}
