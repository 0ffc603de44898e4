#include "input/method_metadata.h"

#include <cmath>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/sha256.h"
#include "core/text.h"
#include "input/text_file.h"

// Errors as values here too: the parser returns its error instead of throwing.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace {

int64_t line_of(const toml::source_region& source) { return static_cast<int64_t>(source.begin.line); }

// Reads one file's tables, noting every problem.
class MetadataReader {
public:
    MetadataReader(const std::string& file, const std::vector<std::string>& names, MethodMetadata* metadata)
        : file_(file), names_(names), metadata_(metadata) {}

    void read(const toml::table& root) {
        for (const auto& [key, node] : root) {
            if (key.str() == "components") {
                components(key, node);
            } else {
                problem(line_of(key.source()), "unknown key '" + std::string(key.str()) + "' (known: components)");
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
            const std::string component(name.str());
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
                if (field.str() == "calibration_uncertainty") {
                    if (const std::optional<double> u = relative_uncertainty(field, value, component)) {
                        for (const int i : indices) metadata_->component[i].calibration_uncertainty = *u;
                    }
                } else {
                    problem(line_of(field.source()),
                            "unknown key '" + std::string(field.str()) + "' in component '" + component +
                                "' (known: calibration_uncertainty)");
                }
            }
        }
    }

    // A relative standard uncertainty: a finite number, 0 <= u < 1.
    std::optional<double> relative_uncertainty(const toml::key& key, const toml::node& node,
                                               const std::string& component) {
        const std::string what = std::string(key.str()) + " of component '" + component + "'";
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
    const toml::parse_result parsed = toml::parse(text, file);
    if (!parsed) {
        reader.problem(line_of(parsed.error().source()), std::string(parsed.error().description()));
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
    metadata.sha256 = sha256(*bytes);
    return metadata;
}
