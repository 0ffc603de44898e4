#include "cli/command_line.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.h"
#include "core/records.h"
#include "core/text.h"
#include "core/version.h"
#include "input/formats/times.h"

namespace {

constexpr int kMaxThreads = 256;

// A whole decimal number from 1 to kMaxThreads, and nothing else.
std::string check_threads(const std::string& value) {
    int threads = 0;
    bool digits = !value.empty() && value.size() <= 3;
    for (const char c : value) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) threads = threads * 10 + (c - '0');
    }
    if (digits && threads >= 1 && threads <= kMaxThreads) return {};
    return format("needs a number from 1 to %d, not '%s'", kMaxThreads, value.c_str());
}

// A probability strictly between 0 and `high`, written as a plain decimal.
std::string check_probability_below(const std::string& value, double high) {
    char* end = nullptr;
    errno = 0;
    const double p = std::strtod(value.c_str(), &end);
    if (!value.empty() && end == value.c_str() + value.size() && errno == 0 && p > 0.0 && p < high) return {};
    return format("needs a probability above 0 and below %g, not '%s'", high, value.c_str());
}

// A plain decimal number in the open range (low, high).
std::string check_between(const std::string& value, double low, double high, const char* what) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value.c_str(), &end);
    if (!value.empty() && end == value.c_str() + value.size() && errno == 0 && v > low && v < high) return {};
    return format("needs %s, not '%s'", what, value.c_str());
}
// Beyond 0.5 a decision threshold would lie below zero activity.
std::string check_probability(const std::string& value) { return check_probability_below(value, 0.5); }

std::string check_coverage(const std::string& value) { return check_probability_below(value, 1.0); }

std::string check_not_empty(const std::string& value) {
    return value.empty() ? std::string("needs a value that is not empty") : std::string();
}

// A bound of `assay trend`'s range: "yyyy-mm-dd" (the whole day) or an ISO
// 8601 date and time. None where it does not read.
std::optional<int64_t> time_bound(const std::string& text, bool end_of_range) {
    const bool date_only = text.size() == 10;
    const Expected<StartTime, std::string> time =
        formats::parse_xml_date_time(date_only ? text + "T00:00:00" : text);
    if (!time) return std::nullopt;
    return time->seconds + (date_only && end_of_range ? 86399 : 0);
}

std::string check_time_bound(const std::string& value) {
    if (time_bound(value, false)) return {};
    return format("needs a date (2026-01-31) or a date and time (2026-01-31T12:00:00), not '%s'", value.c_str());
}

struct Parser {
    CLI::App app{"Evaluates the gamma-ray spectra listed in config.txt of the working directory\n"
                 "and writes result.txt and method.txt there.",
                 "assay"};
    CommandLine* line;
    std::string threads;
    std::string alpha;
    std::string beta;
    std::string plot_select = "all";
    std::string gain_search;
    std::string unknown_sigma;
    std::string interference_p;
    std::string coverage;
    CLI::Option* threads_option = nullptr;
    CLI::Option* straightforward_option = nullptr;
    CLI::App* trend = nullptr;
    CLI::Option* directory_option = nullptr;
    std::string trend_from;
    std::string trend_to;

    explicit Parser(CommandLine* target) : line(target) {
        // Stray arguments are gathered and refused after parsing, in the order
        // given (the parser's own message lists them backwards).
        app.allow_extras();
        app.set_help_flag("-h,--help", "show this text and end");
        app.add_flag("--version", line->version, "show the version and end");
        directory_option = app.add_option("-C,--directory", line->directory,
                       "run in DIR as if started there (later paths are relative to DIR)")
            ->type_name("DIR")
            ->check(check_not_empty);
        app.add_option("--report", line->run.report_path,
                       "also write a JSON Lines report of every entry to FILE")
            ->type_name("FILE")
            ->check(check_not_empty);
        app.add_option("--plot", line->run.plot_directory,
                       "also draw every evaluation as an SVG picture in DIR, with an index.html of "
                       "them all")
            ->type_name("DIR")
            ->check(check_not_empty);
        threads_option = app.add_option("--threads", threads,
                                        "evaluate with N threads, 1 to 256 (default: one per "
                                        "hardware thread)")
                             ->type_name("N")
                             ->check(check_threads);
        straightforward_option =
            app.add_flag("--straightforward", line->run.straightforward,
                         "use the plain reference form of the analysis on one thread (same "
                         "results, slower; for checking)");
        threads_option->excludes(straightforward_option);
        app.add_option("--plot-select", plot_select,
                       "which evaluations --plot draws: all (the default) or flagged (an unknown "
                       "nuclide, a limit exceeded, a failed or poor fit, the gain at the scan's edge, "
                       "interference in a component's ROIs)")
            ->type_name("WHICH")
            ->check(CLI::IsMember({"all", "flagged"}));
        app.add_flag("--strict", line->run.strict,
                     "end with status 3 when an entry was skipped, a fit failed, dose.txt was "
                     "incomplete or there was nothing to run");
        app.add_option("--dose-unit", line->run.dose_unit,
                       "the unit of the dose column, for the report and the pictures (by default "
                       "none is named: it follows from the factor in dose.txt)")
            ->type_name("TEXT")
            ->check(check_not_empty);
        app.add_option("--alpha", alpha,
                       "probability of a false detection at the decision threshold (default 0.05)")
            ->type_name("P")
            ->check(check_probability);
        app.add_option("--beta", beta,
                       "probability of missing an activity at the detection limit (default 0.05)")
            ->type_name("P")
            ->check(check_probability);
        app.add_option("--gain-search", gain_search,
                       "place the gain scan for a detector off the standards' gain: wide (search "
                       "0.75 to 1.35 first) or calibration (by the files' energy calibrations, "
                       "else wide); by default the scan covers 0.94 to 1.06")
            ->type_name("HOW")
            ->check(CLI::IsMember({"wide", "calibration"}));
        app.add_option("--unknown-sigma", unknown_sigma,
                       format("standard deviations of net counts a peak the method does not explain "
                              "needs to flag an unknown nuclide (default %g)",
                              kUnknownSigma))
            ->type_name("S")
            ->check([](const std::string& v) { return check_between(v, 0.0, 1e6, "a number above 0"); });
        app.add_option("--interference-p", interference_p,
                       format("probability below which a component's ROIs count as interfered by "
                              "something the method lacks (default %g)",
                              kInterferenceProbability))
            ->type_name("P")
            ->check([](const std::string& v) {
                return check_between(v, 0.0, 1.0, "a probability above 0 and below 1");
            });
        app.add_option("--db", line->run.db_path,
                       "also write every evaluation to the SQLite results database FILE (made when "
                       "absent; many runs may write one at once)")
            ->type_name("FILE")
            ->check(check_not_empty);
        app.add_option("--station", line->run.station,
                       "the station that tags the rows of --db (default: the working directory's name)")
            ->type_name("NAME")
            ->check(check_not_empty);
        trend = app.add_subcommand("trend", "write a static site of time series per station from a results "
                                            "database (no scripts; opens from the file system)");
        trend->add_option("--db", line->trend_options.db_path, "the results database to read")
            ->type_name("FILE")
            ->required()
            ->check(check_not_empty);
        trend->add_option("--out", line->trend_options.out_directory,
                          "where the pages go: index.html and one page per station")
            ->type_name("DIR")
            ->required()
            ->check(check_not_empty);
        trend->add_option("--from", trend_from, "draw from this date or time on (default: the first)")
            ->type_name("TIME")
            ->check(check_time_bound);
        trend->add_option("--to", trend_to, "draw up to this date (the whole day) or time (default: the last)")
            ->type_name("TIME")
            ->check(check_time_bound);
        app.add_option("--coverage", coverage,
                       "probability of the coverage intervals in the report and the pictures "
                       "(default 0.95)")
            ->type_name("P")
            ->check(check_coverage);
        app.get_formatter()->column_width(26);
        app.footer(
            "Problems with the input are reported on standard error. Exit status: 0; 1 when\n"
            "result.txt, the report or a picture cannot be written; 2 for a wrong command line;\n"
            "3 with --strict when the run did not evaluate all it was asked to, or the method's\n"
            "metadata file (the method file's name with .toml appended) has a problem.");
    }
};

constexpr const char* kValueOptions[] = {"-C",        "--directory",   "--report",   "--plot",
                                         "--threads", "--plot-select", "--dose-unit",
                                         "--alpha",   "--beta",        "--gain-search",
                                         "--unknown-sigma", "--interference-p", "--db",
                                         "--station", "--out",         "--from",     "--to",
                                         "--coverage"};
constexpr const char* kFlags[] = {"-h", "--help", "--version", "--straightforward", "--strict"};

bool one_of(std::string_view arg, const auto& names) {
    for (const char* name : names) {
        if (arg == name) return true;
    }
    return false;
}

// What the parser would let through: a flag given a value ("--help=yes"),
// and an option taken as another option's value ("--report --plot"). A file
// or folder whose name begins with "-" is still given as "--report=-x".
std::string refuse_before_parsing(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const size_t equals = arg.find('=');
        if (arg.substr(0, 2) == "--" && equals != std::string_view::npos &&
            one_of(arg.substr(0, equals), kFlags)) {
            return format("%s: the option %.*s takes no value", argv[i], static_cast<int>(equals),
                          argv[i]);
        }
        if (one_of(arg, kValueOptions) && i + 1 < argc) {
            const std::string_view value = argv[i + 1];
            if (value.size() > 1 && value[0] == '-') {
                if (arg == "--threads") return format("--threads %s", check_threads(argv[i + 1]).c_str());
                return format("%s needs a value, not the option '%s' (for a name that begins "
                              "with '-', write %s=%s)",
                              argv[i], argv[i + 1], arg[1] == '-' ? argv[i] : "--directory", argv[i + 1]);
            }
            ++i;
        }
    }
    return {};
}

}  // namespace

int parse_command_line(int argc, const char* const* argv, CommandLine* line, std::string* error) {
    *line = CommandLine{};
    if (std::string refused = refuse_before_parsing(argc, argv); !refused.empty()) {
        *error = std::move(refused);
        return kExitUsage;
    }
    Parser parser(line);
    try {
        parser.app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        line->help = true;
        line->trend = parser.trend->parsed();
        return 0;
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return kExitUsage;
    }
    std::vector<std::string> strays = parser.app.remaining();
    if (parser.trend->parsed()) {
        for (const std::string& stray : parser.trend->remaining()) strays.push_back(stray);
    }
    if (!strays.empty()) {
        *error = strays.size() == 1 ? "The following argument was not expected:"
                                    : "The following arguments were not expected:";
        for (const std::string& stray : strays) *error += " " + stray;
        return kExitUsage;
    }
    if (parser.trend->parsed()) {
        for (const CLI::Option* option : parser.app.get_options()) {
            if (option->count() > 0 && option != parser.directory_option) {
                *error = format("%s is an option of a run, not of 'trend'", option->get_name().c_str());
                return kExitUsage;
            }
        }
        line->trend = true;
        if (!parser.trend_from.empty()) line->trend_options.from = *time_bound(parser.trend_from, false);
        if (!parser.trend_to.empty()) line->trend_options.to = *time_bound(parser.trend_to, true);
        line->trend_to_given = !parser.trend_to.empty();
        return 0;
    }
    if (!parser.threads.empty()) line->run.threads = std::stoi(parser.threads);
    if (!parser.alpha.empty()) line->run.alpha = std::strtod(parser.alpha.c_str(), nullptr);
    if (!parser.beta.empty()) line->run.beta = std::strtod(parser.beta.c_str(), nullptr);
    if (!parser.unknown_sigma.empty()) line->run.unknown_sigma = std::strtod(parser.unknown_sigma.c_str(), nullptr);
    if (!parser.interference_p.empty()) {
        line->run.interference_p = std::strtod(parser.interference_p.c_str(), nullptr);
    }
    if (!parser.coverage.empty()) line->run.coverage = std::strtod(parser.coverage.c_str(), nullptr);
    if (parser.gain_search == "wide") line->run.gain_search = GainSearch::wide;
    if (parser.gain_search == "calibration") line->run.gain_search = GainSearch::calibration;
    line->run.plot_select = parser.plot_select == "flagged" ? PlotSelect::flagged : PlotSelect::all;
    return 0;
}

std::string command_line_help(bool trend) {
    CommandLine line;
    Parser parser(&line);
    return trend ? parser.trend->help() : parser.app.help();
}

int assay_main(int argc, const char* const* argv) {
    CommandLine line;
    std::string error;
    if (parse_command_line(argc, argv, &line, &error) != 0) {
        std::fprintf(stderr, "assay: %s\nTry 'assay --help' for more information.\n", error.c_str());
        return kExitUsage;
    }
    if (line.help) {
        std::fputs(command_line_help(line.trend).c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::printf("assay %s (assay processor version %s)\n", program_version(), kVersion);
        return 0;
    }
    if (!line.directory.empty() && chdir(line.directory.c_str()) != 0) {
        const int error_number = errno;
        std::fprintf(stderr, "assay: %s: cannot enter the directory: %s\n", line.directory.c_str(),
                     system_error_text(error_number).c_str());
        return kExitUsage;
    }
    if (line.trend) {
        TrendOptions options = line.trend_options;
        options.reference = line.trend_to_given ? options.to : static_cast<int64_t>(std::time(nullptr));
        return write_trend_site(options, stderr);
    }
    return run_assay(stdout, stderr, line.run);
}
