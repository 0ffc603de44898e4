#include "run/output_paths.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/expected.h"
#include "core/file.h"
#include "core/records.h"
#include "core/text.h"
#include "input/config_file.h"
#include "input/method_file.h"
#include "input/method_metadata.h"
#include "input/text_file.h"
#include "output/plot.h"

namespace {

namespace fs = std::filesystem;

// Where a path leads: an existing file is known by its identity, and any
// path by its absolute form with every existing part resolved (all that tells
// one still to be written, and directories where the C++ library cannot
// compare them, as on Windows).
struct Place {
    bool known = false;  // false for a name no path can hold (bytes that a
                         // Windows name cannot have), which meets nothing
    fs::path path;
    bool exists = false;
    fs::path resolved;
};

Place place_of(const std::string& name) {
    Place place;
    try {
        place.path = name.empty() ? fs::path(".") : fs::path(name);
        std::error_code error;
        place.exists = fs::exists(place.path, error);
        const fs::path absolute = fs::absolute(place.path, error);
        place.resolved = fs::weakly_canonical(absolute, error);
        if (error) place.resolved = absolute.lexically_normal();
        // "plots/" and "plots" are one directory.
        if (!place.resolved.has_filename()) place.resolved = place.resolved.parent_path();
        place.known = true;
    } catch (const std::exception&) {
        place.known = false;
    }
    return place;
}

bool same_place(const Place& a, const Place& b) {
    if (!a.known || !b.known || a.exists != b.exists) return false;
    if (a.resolved == b.resolved) return true;
    std::error_code error;
    return a.exists && fs::equivalent(a.path, b.path, error) && !error;
}

// A file of the run, and what the run does with it.
struct RunFile {
    std::string name;
    std::string role;
};

// A file the options would write.
struct Output {
    std::string path;
    const char* what;
    Place place;
};

std::string clash_text(const std::string& path, const char* what, const RunFile& file) {
    return format("%s: %s would land on %s, %s", path.c_str(), what, file.name.c_str(), file.role.c_str());
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether `path` can be read here and again by the run: a pipe or a device
// would give the run what is left.
bool readable_twice(const std::string& path) {
    const Place place = place_of(path);
    std::error_code error;
    return place.known && fs::is_regular_file(place.path, error);
}

// Calls `visit` with every token of CONFIG until it returns false; nothing
// when CONFIG cannot be read.
void for_each_config_token(const std::function<bool(const std::string&)>& visit) {
    if (!readable_twice(CONFIG)) return;
    Expected<File> file = open_file(CONFIG, "rb");
    if (!file) return;
    ConfigReader config(file->get());
    std::string token;
    while (config.next(&token)) {
        if (!visit(token)) return;
    }
}

struct ClashFinder {
    std::vector<Output> outputs;
    std::optional<Place> picture_directory;
    // Files in the pictures' directory with a name that a picture may take:
    // whether one does depends on the evaluate entries, all of them.
    struct PictureLike {
        RunFile file;
        std::string name;  // the last part of its path
    };
    std::vector<PictureLike> picture_like;
    std::string clash;

    // Whether `file` is safe from the outputs; the first clash is kept.
    bool check(const RunFile& file) {
        const Place place = place_of(file.name);
        for (const Output& output : outputs) {
            if (same_place(output.place, place)) {
                clash = clash_text(output.path, output.what, file);
                return false;
            }
        }
        note_if_picture_like(file);
        return true;
    }

    void note_if_picture_like(const RunFile& file) {
        if (!picture_directory || !ends_with(file.name, ".svg")) return;
        try {
            const fs::path path(file.name);
            if (same_place(place_of(path.parent_path().string()), *picture_directory)) {
                picture_like.push_back({file, path.filename().string()});
            }
        } catch (const std::exception&) {
            // A name no path can hold is no picture.
        }
    }

    // Whether the picture of an evaluate entry, drawn as row 1 to
    // `evaluations` (earlier entries may be skipped), would land on one of
    // the picture-like files.
    bool check_pictures(const std::string& token, int evaluations) {
        const std::string tail = plot_file_name(0, token).substr(4);  // "_<entry>.svg"
        for (const auto& [file, name] : picture_like) {
            if (!ends_with(name, tail)) continue;
            const std::string number = name.substr(0, name.size() - tail.size());
            if (number.empty() || number.size() > 9 ||
                number.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const int row = std::stoi(number);
            if (row >= 1 && row <= evaluations && plot_file_name(row, token) == name) {
                const fs::path picture = picture_directory->path / name;
                clash = clash_text(picture.string(), "the picture of a row", file);
                return false;
            }
        }
        return true;
    }
};

}  // namespace

std::string output_path_clash(const RunOptions& options) {
    ClashFinder finder;
    if (!options.report_path.empty()) {
        finder.outputs.push_back({options.report_path, "the report", place_of(options.report_path)});
    }
    if (!options.db_path.empty()) {
        finder.outputs.push_back({options.db_path, "the results database", place_of(options.db_path)});
    }
    if (!options.plot_directory.empty()) {
        finder.picture_directory = place_of(options.plot_directory);
        finder.outputs.push_back({options.plot_directory, "the pictures' directory", *finder.picture_directory});
        const std::string index = finder.picture_directory->known
                                      ? (finder.picture_directory->path / "index.html").string()
                                      : options.plot_directory + "/index.html";
        finder.outputs.push_back({index, "the pictures' index", place_of(index)});
    }
    // Of the outputs only the report can meet another (the store is a database, not a picture).
    if (!options.report_path.empty()) {
        const RunFile report{options.report_path, "the report"};
        for (size_t i = 1; i < finder.outputs.size(); ++i) {
            const Output& output = finder.outputs[i];
            if (same_place(output.place, finder.outputs[0].place)) {
                return clash_text(output.path, output.what, report);
            }
        }
        finder.note_if_picture_like(report);
    }

    const RunFile fixed[] = {{CONFIG, "the configuration the run reads"},
                             {DOSE, "the dose calibration the run reads"},
                             {RESULT, "the table the run writes"},
                             {METHOD, "the method echo the run writes"}};
    for (const RunFile& file : fixed) {
        if (!finder.check(file)) return finder.clash;
    }
    std::string method_file;
    for_each_config_token([&](const std::string& token) {
        if (method_file.empty()) {
            method_file = token;
            return finder.check({token, "the method file the run reads"}) &&
                   finder.check({metadata_path(token), "the method's metadata file the run reads"});
        }
        const Entry entry = classify_entry(token);
        return entry.kind == EntryKind::weight ||
               finder.check({entry.rest, format("the spectrum that entry '%s' reads", token.c_str())});
    });
    if (!finder.clash.empty()) return finder.clash;
    if (!method_file.empty() && readable_twice(method_file)) {
        const Expected<std::string> text = load_text_file(method_file);
        for (const std::string& name : text ? referenced_spectrum_files(*text) : std::vector<std::string>{}) {
            if (!finder.check({name, format("a spectrum that %s names", method_file.c_str())})) {
                return finder.clash;
            }
        }
    }

    if (finder.picture_like.empty()) return {};
    int evaluations = 0;
    bool method_line = true;
    for_each_config_token([&](const std::string& token) {
        if (method_line) {
            method_line = false;
            return true;
        }
        if (classify_entry(token).kind != EntryKind::evaluate) return true;
        return finder.check_pictures(token, ++evaluations);
    });
    return finder.clash;
}
