#include "input/method_metadata.h"

#include <cmath>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "core/sha256.h"
#include "core/text.h"
#include "input/text_file.h"

// Errors as values here too: the parser returns its error instead of throwing.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace {

int64_t line_of(const toml::source_region& source) { return static_cast<int64_t>(source.begin.line); }

// The TOML library's test for horizontal white space reaches undefined
// behaviour for most characters from U+00A1 to U+FEFE, which may stand in
// keys, strings and comments. Before it sees the text, each such character
// c that is no white space moves to U+F0000 + c (private use, which it
// tests safely and reads alike in strings and comments); keys are moved
// back. Lines and columns stay as they were.
constexpr uint32_t kShieldOffset = 0xF0000;

bool shielded_character(uint32_t c) {
    const bool space = c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200B) ||
                       c == 0x202F || c == 0x205F || c == 0x2060 || c == 0x3000 || c == 0xFEFF;
    return c >= 0xA1 && c <= 0xFEFE && !space;
}

void append_utf8(uint32_t c, std::string* out) {
    if (c < 0x800) {
        *out += static_cast<char>(0xC0 | c >> 6);
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    }
    *out += static_cast<char>(0x80 | (c & 0x3F));
}

// The well-formed two-, three- or four-byte sequence at `at` (its length
// and character), or length 0.
std::pair<size_t, uint32_t> sequence_at(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    const size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return {0, 0};
    uint32_t c = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        c = c << 6 | (byte(i) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, 0};
    return {length, c};
}

// `text` with every shielded character moved (shield) or moved back.
std::string moved(std::string_view text, bool shield) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto [length, c] = sequence_at(text, i);
        if (length > 0 && shield && shielded_character(c)) {
            append_utf8(kShieldOffset + c, &out);
        } else if (length > 0 && !shield && c > kShieldOffset && shielded_character(c - kShieldOffset)) {
            append_utf8(c - kShieldOffset, &out);
        } else {
            const size_t copied = length > 0 ? length : 1;
            out.append(text.substr(i, copied));
            i += copied;
            continue;
        }
        i += length;
    }
    return out;
}

std::string key_text(const toml::key& key) { return moved(key.str(), false); }

// Reads one file's tables, noting every problem.
class MetadataReader {
public:
    MetadataReader(const std::string& file, const std::vector<std::string>& names, MethodMetadata* metadata)
        : file_(file), names_(names), metadata_(metadata) {}

    void read(const toml::table& root) {
        for (const auto& [key, node] : root) {
            if (key_text(key) == "components") {
                components(key, node);
            } else {
                problem(line_of(key.source()), "unknown key '" + key_text(key) + "' (known: components)");
            }
        }
    }

    void problem(int64_t line, std::string what) {
        metadata_->problems.push_back({file_, line, std::move(what)});
    }

private:
    void components(const toml::key& key, const toml::node& node) {
        const toml::table* table = node.as_table();
        if (table == nullptr) {
            problem(line_of(key.source()), "'components' is not a table of components");
            return;
        }
        for (const auto& [name, entry] : *table) {
            const std::string component = key_text(name);
            const int64_t line = line_of(name.source());
            const toml::table* fields = entry.as_table();
            if (fields == nullptr) {
                problem(line, "component '" + component + "' is not a table");
                continue;
            }
            std::vector<int> indices;
            for (size_t i = 0; i < names_.size() && i < static_cast<size_t>(kMaxComponents); ++i) {
                if (names_[i] == component) indices.push_back(static_cast<int>(i));
            }
            if (indices.empty()) {
                problem(line, "component '" + component + "' is not in the method" + known_names());
                continue;
            }
            for (const auto& [field, value] : *fields) {
                if (key_text(field) == "calibration_uncertainty") {
                    if (const std::optional<double> u = relative_uncertainty(field, value, component)) {
                        for (const int i : indices) metadata_->component[i].calibration_uncertainty = *u;
                    }
                } else {
                    problem(line_of(field.source()),
                            "unknown key '" + key_text(field) + "' in component '" + component +
                                "' (known: calibration_uncertainty)");
                }
            }
        }
    }

    // A relative standard uncertainty: a finite number, 0 <= u < 1.
    std::optional<double> relative_uncertainty(const toml::key& key, const toml::node& node,
                                               const std::string& component) {
        const std::string what = key_text(key) + " of component '" + component + "'";
        const int64_t line = line_of(key.source());
        const std::optional<double> value = node.is_number() ? node.value<double>() : std::nullopt;
        if (!value) {
            problem(line, what + " is not a number");
        } else if (!std::isfinite(*value)) {
            problem(line, what + " is not finite");
        } else if (*value < 0.0) {
            problem(line, what + format(" is negative (%g)", *value));
        } else if (*value >= 1.0) {
            problem(line, what + format(" is %g; a relative uncertainty is below 1", *value));
        } else {
            return value;
        }
        return std::nullopt;
    }

    std::string known_names() const {
        std::string list;
        for (const std::string& name : names_) list += (list.empty() ? "" : ", ") + ("'" + name + "'");
        return list.empty() ? " (it has no components)" : " (it has " + list + ")";
    }

    const std::string& file_;
    const std::vector<std::string>& names_;
    MethodMetadata* metadata_;
};

}  // namespace

std::string metadata_message(const MetadataProblem& problem) {
    if (problem.line <= 0) return problem.file + ": " + problem.problem;
    return problem.file + ":" + std::to_string(problem.line) + ": " + problem.problem;
}

std::string metadata_path(const std::string& method_file) { return method_file + ".toml"; }

MethodMetadata parse_method_metadata(std::string_view text, const std::string& file,
                                     const std::vector<std::string>& names) {
    MethodMetadata metadata;
    metadata.file = file;
    MetadataReader reader(file, names, &metadata);
    const std::string shielded = moved(text, true);
    const toml::parse_result parsed = toml::parse(shielded, file);
    if (!parsed) {
        reader.problem(line_of(parsed.error().source()), moved(parsed.error().description(), false));
        return metadata;
    }
    reader.read(parsed.table());
    return metadata;
}

MethodMetadata read_method_metadata(const std::string& method_file, const std::vector<std::string>& names) {
    const std::string path = metadata_path(method_file);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return MethodMetadata{};
    const Expected<std::string> bytes = read_file_bytes(path);
    if (!bytes) {
        MethodMetadata metadata;
        metadata.file = path;
        metadata.problems.push_back({path, 0, "cannot be read: " + bytes.error().message});
        return metadata;
    }
    MethodMetadata metadata = parse_method_metadata(*bytes, path, names);
    metadata.sha256 = sha256_hex(*bytes);
    return metadata;
}
