// The command line of the assay processor (part of the module main). Every
// option only adds: without arguments the program does exactly what it always
// did in the current directory.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "main.h"
#include "main_internal.h"

using namespace assay_internal;

#ifndef ASSAY_PROJECT_VERSION
#define ASSAY_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: assay [OPTION]...\n"
    "Evaluates the gamma-ray spectra listed in config.txt of the working directory\n"
    "and writes result.txt and method.txt there.\n"
    "\n"
    "  -C, --directory DIR  run in DIR as if started there (later paths are\n"
    "                       relative to DIR)\n"
    "      --report FILE    also write a JSON Lines report of every entry to FILE\n"
    "      --plot DIR       also draw every evaluation as an SVG picture in DIR,\n"
    "                       with an index.html of them all\n"
    "      --threads N      evaluate with N threads (default: one per hardware thread)\n"
    "      --straightforward\n"
    "                       use the plain reference form of the analysis on one\n"
    "                       thread (same results, slower; for checking)\n"
    "  -h, --help           show this text and end\n"
    "      --version        show the version and end\n"
    "\n"
    "Problems with the input are reported on standard error. Exit status: 0, 1 when\n"
    "result.txt, the report or a picture cannot be written, 2 for a wrong command line.\n";

// Takes the value of an option given as "--name=value" or "--name value".
bool option_value(int argc, const char* const* argv, int* i, std::string_view name,
                  std::string* value, bool* matched) {
    std::string_view arg = argv[*i];
    *matched = false;
    if (arg == name) {
        *matched = true;
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=' &&
        name.substr(0, 2) == "--") {
        *matched = true;
        *value = std::string(arg.substr(name.size() + 1));
        return true;
    }
    return true;
}

}  // namespace

int parse_command_line(int argc, const char* const* argv, CommandLine* line, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string value;
        bool matched = false;
        if (arg == "-h" || arg == "--help") {
            line->help = true;
            continue;
        }
        if (arg == "--version") {
            line->version = true;
            continue;
        }
        if (arg == "--straightforward") {
            line->run.straightforward = true;
            continue;
        }
        for (const char* name : {"-C", "--directory"}) {
            if (!option_value(argc, argv, &i, name, &value, &matched)) {
                *error = format("option %s needs a directory", name);
                return 2;
            }
            if (matched) break;
        }
        if (matched) {
            if (value.empty()) {
                *error = "option --directory needs a directory";
                return 2;
            }
            line->directory = value;
            continue;
        }
        if (!option_value(argc, argv, &i, "--report", &value, &matched)) {
            *error = "option --report needs a file name";
            return 2;
        }
        if (matched) {
            if (value.empty()) {
                *error = "option --report needs a file name";
                return 2;
            }
            line->run.report_path = value;
            continue;
        }
        if (!option_value(argc, argv, &i, "--plot", &value, &matched)) {
            *error = "option --plot needs a directory";
            return 2;
        }
        if (matched) {
            if (value.empty()) {
                *error = "option --plot needs a directory";
                return 2;
            }
            line->run.plot_directory = value;
            continue;
        }
        if (!option_value(argc, argv, &i, "--threads", &value, &matched)) {
            *error = "option --threads needs a number";
            return 2;
        }
        if (matched) {
            char* end = nullptr;
            errno = 0;
            const long threads = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || threads < 1 || threads > 256) {
                *error = format("option --threads needs a number from 1 to 256, not '%s'", value.c_str());
                return 2;
            }
            line->run.threads = static_cast<int>(threads);
            continue;
        }
        *error = arg.size() > 0 && arg[0] == '-'
                     ? format("unknown option '%s'", argv[i])
                     : format("unexpected argument '%s'; assay reads its files from config.txt", argv[i]);
        return 2;
    }
    return 0;
}

int assay_main(int argc, const char* const* argv) {
    CommandLine line;
    std::string error;
    if (parse_command_line(argc, argv, &line, &error) != 0) {
        std::fprintf(stderr, "assay: %s\nTry 'assay --help' for more information.\n", error.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("assay %s (assay processor version %s)\n", ASSAY_PROJECT_VERSION, kVersion);
        return 0;
    }
    if (!line.directory.empty() && chdir(line.directory.c_str()) != 0) {
        std::fprintf(stderr, "assay: %s: cannot enter the directory: %s\n", line.directory.c_str(),
                     std::strerror(errno));
        return 2;
    }
    return run_assay(stdout, stderr, line.run);
}
