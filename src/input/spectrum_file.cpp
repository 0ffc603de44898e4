#include "input/spectrum_file.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/encoding.h"
#include "input/formats/formats.h"
#include "input/scan.h"
#include "input/text_file.h"

namespace {

// The name of the first element of an XML text, skipping the declaration,
// processing instructions, comments and a document type; empty when none.
std::string_view first_element_name(std::string_view text) {
    size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string_view::npos) {
        if (text.compare(pos, 4, "<!--") == 0) {
            const size_t end = text.find("-->", pos + 4);
            if (end == std::string_view::npos) return {};
            pos = end + 3;
        } else if (text.compare(pos, 2, "<?") == 0) {
            const size_t end = text.find("?>", pos + 2);
            if (end == std::string_view::npos) return {};
            pos = end + 2;
        } else if (text.compare(pos, 2, "<!") == 0) {
            // A document type, possibly with an internal subset in brackets.
            int depth = 0;
            ++pos;
            while (pos < text.size() && !(text[pos] == '>' && depth == 0)) {
                if (text[pos] == '[') ++depth;
                if (text[pos] == ']' && depth > 0) --depth;
                ++pos;
            }
            if (pos == text.size()) return {};
            ++pos;
        } else {
            const size_t start = pos + 1;
            size_t end = start;
            while (end < text.size() && !is_space(static_cast<unsigned char>(text[end])) && text[end] != '>' &&
                   text[end] != '/') {
                ++end;
            }
            return text.substr(start, end - start);
        }
    }
    return {};
}

std::string_view local_part(std::string_view name) {
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The name a format's failures start with, one per format.
const char* failure_name(SpectrumFormat kind) {
    switch (kind) {
        case SpectrumFormat::iaea_spe: return "IAEA SPE";
        case SpectrumFormat::n42: return "N42.42";
        case SpectrumFormat::radiacode_xml: return "RadiaCode XML";
        case SpectrumFormat::csv_export: return "CSV";
        case SpectrumFormat::ortec_chn: return "ORTEC CHN";
        case SpectrumFormat::other_xml: return "XML";
        case SpectrumFormat::native: break;
    }
    return "";
}

Expected<SourceSpectrum, SpectrumFailure> read_source(SpectrumFormat kind, std::string_view bytes) {
    switch (kind) {
        case SpectrumFormat::iaea_spe: return read_iaea_spe(bytes);
        case SpectrumFormat::n42: return read_n42(bytes);
        case SpectrumFormat::radiacode_xml: return read_radiacode_xml(bytes);
        case SpectrumFormat::csv_export: return read_csv_export(bytes);
        case SpectrumFormat::ortec_chn: return read_ortec_chn(bytes);
        case SpectrumFormat::other_xml: {
            const std::string root(first_element_name(bytes).substr(0, 40));
            return formats::incomplete(root.empty() ? "holds no element"
                                                    : "root element '" + root +
                                                          "' is none of N42.42 RadInstrumentData or "
                                                          "N42InstrumentData or RadiaCode ResultDataFile");
        }
        case SpectrumFormat::native: break;
    }
    return formats::incomplete("is not a format read");
}

Expected<SpectrumFile, SpectrumFailure> read_by_format(std::string bytes) {
    const SpectrumFormat kind = recognise_format(bytes);
    if (kind == SpectrumFormat::native) return parse_spectrum_text(fold_line_ends(std::move(bytes)));
    if (kind == SpectrumFormat::iaea_spe || kind == SpectrumFormat::csv_export) {
        bytes = lone_carriage_returns_to_line_feeds(std::move(bytes));
    }
    auto named = [kind](SpectrumFailure failure) {
        failure.message = std::string(failure_name(kind)) + ": " + failure.message;
        return failure;
    };
    Expected<SourceSpectrum, SpectrumFailure> source = read_source(kind, bytes);
    if (!source) return named(source.error());
    Expected<SpectrumFile, SpectrumFailure> file = to_spectrum_file(std::move(*source));
    if (!file) return named(file.error());
    return file;
}

}  // namespace

SpectrumFormat recognise_format(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        return SpectrumFormat::ortec_chn;
    }
    const std::string_view text = bytes;
    size_t start = 0;
    while (start < text.size() && is_space(static_cast<unsigned char>(text[start]))) ++start;
    if (start == text.size()) return SpectrumFormat::native;
    const char first = text[start];
    if (first == '<') {
        const std::string_view root = local_part(first_element_name(text.substr(start)));
        if (root == "RadInstrumentData" || root == "N42InstrumentData") return SpectrumFormat::n42;
        if (root == "ResultDataFile") return SpectrumFormat::radiacode_xml;
        return SpectrumFormat::other_xml;
    }
    if (first == '$') return SpectrumFormat::iaea_spe;
    const size_t line_end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, line_end - start);
    if (is_letter(first)) {
        // A header of words, then a table with commas: a CSV export. Words
        // alone (a damaged native file, a note) stay native, whose reader
        // says where the numbers stop.
        const std::string_view head = text.substr(start, 1 << 16);
        if (line.find(',') != std::string_view::npos || head.find("\n0,") != std::string_view::npos ||
            head.find("Channel") != std::string_view::npos || head.find("Count") != std::string_view::npos ||
            head.find("count") != std::string_view::npos) {
            return SpectrumFormat::csv_export;
        }
        return SpectrumFormat::native;
    }
    // "12,5": a number directly followed by a comma, which no native file has
    // (its live time is followed by white space).
    size_t digit = (first == '+' || first == '-') ? 1 : 0;
    const size_t digits_start = digit;
    while (digit < line.size() && line[digit] >= '0' && line[digit] <= '9') ++digit;
    if (digit > digits_start && digit < line.size() && (line[digit] == ',' || line[digit] == ';')) {
        return SpectrumFormat::csv_export;
    }
    return SpectrumFormat::native;
}

Expected<SpectrumFile, SpectrumFailure> read_spectrum_bytes(std::string bytes) {
    std::string encoding;
    Expected<SpectrumFile, SpectrumFailure> file = read_by_format(without_byte_order_mark(std::move(bytes), &encoding));
    if (file && !encoding.empty()) {
        file->conversion = file->conversion.empty() ? encoding : encoding + "; " + file->conversion;
    }
    return file;
}

Expected<SpectrumFile, SpectrumFailure> read_spectrum_file(const std::string& path) {
    Expected<std::string> bytes = read_file_bytes(path);
    if (!bytes) {
        // A file beyond the limit is there: damaged, not missing.
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(path, error);
        if (!error && size > kMaxInputFileBytes) {
            return SpectrumFailure{SpectrumFailure::Kind::too_large,
                                   format("is too large: %ju bytes; at most %zu MiB are read", size,
                                          kMaxInputFileBytes >> 20)};
        }
        return SpectrumFailure{SpectrumFailure::Kind::cannot_open, "cannot be opened: " + bytes.error().message};
    }
    return read_spectrum_bytes(std::move(*bytes));
}

void store_spectrum(const SpectrumFile& spectrum, SampleRecord* sample) {
    sample->live_time = microseconds_to_seconds(spectrum.live_time_us);
    sample->real_time = microseconds_to_seconds(spectrum.real_time_us);
    std::copy(std::begin(spectrum.channel), std::end(spectrum.channel), sample->channel);
}

int32_t read_sample(const char* path, SampleRecord* sample, std::string* problem) {
    const Expected<SpectrumFile, SpectrumFailure> spectrum = read_spectrum_file(path);
    if (!spectrum) {
        if (problem != nullptr) *problem = spectrum.error().message;
        return 0;
    }
    store_spectrum(*spectrum, sample);
    return 1;
}
