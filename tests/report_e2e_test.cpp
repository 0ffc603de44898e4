// End-to-end tests of the command line and the JSON Lines report, running the
// built program in scratch directories.
//
// The command line only adds: without arguments the program writes exactly
// what it wrote before, and every option leaves the table alone. The report
// is checked against values worked out by hand on small methods built so the
// fit's outcome is known (an exact multiple of a standard, a peak no component
// explains, a sample shifted beyond the gain scan), and against the table of
// the same run for the bundled example.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"
#include "utf8.h"

namespace {

using test_support::utf8;
using test_support::valid_utf8;

namespace fs = std::filesystem;
using test_support::RunResult;
using test_support::ScratchDir;
using test_support::run_assay_in;

// ---------------------------------------------------------------------------
// A small, strict JSON reader: the report must be JSON, so anything JSON does
// not allow is an error here.



struct Json {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool truth = false;
    std::string text;  // a number as written, or a string's bytes
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    bool has(const std::string& key) const {
        return std::any_of(members.begin(), members.end(), [&](const auto& m) { return m.first == key; });
    }
    const Json& operator[](const std::string& key) const {
        if (kind != Kind::object) throw std::runtime_error("not an object, looking for '" + key + "'");
        for (const auto& m : members) {
            if (m.first == key) return m.second;
        }
        throw std::runtime_error("no member '" + key + "'");
    }
    const Json& operator[](size_t i) const {
        if (kind != Kind::array || i >= items.size()) throw std::runtime_error("no array item");
        return items[i];
    }
    size_t size() const {
        if (kind != Kind::array) throw std::runtime_error("not an array");
        return items.size();
    }
    bool is_null() const { return kind == Kind::null; }
    const std::string& number_text() const {
        if (kind != Kind::number) throw std::runtime_error("not a number");
        return text;
    }
    float f32() const { return std::strtof(number_text().c_str(), nullptr); }
    double f64() const { return std::strtod(number_text().c_str(), nullptr); }
    long long integer() const {
        if (number_text().find_first_of(".eE") != std::string::npos) {
            throw std::runtime_error("not an integer: " + text);
        }
        return std::stoll(text);
    }
    unsigned long long uinteger() const {
        if (number_text().find_first_of(".eE-") != std::string::npos) {
            throw std::runtime_error("not an unsigned integer: " + text);
        }
        return std::stoull(text);
    }
    bool boolean() const {
        if (kind != Kind::boolean) throw std::runtime_error("not a boolean");
        return truth;
    }
    const std::string& str() const {
        if (kind != Kind::string) throw std::runtime_error("not a string");
        return text;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : s_(text) {}

    Json document() {
        if (!valid_utf8(s_)) fail("not UTF-8");
        Json v = value();
        space();
        if (pos_ != s_.size()) fail("text after the value");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at byte " + std::to_string(pos_) + " of: " + std::string(s_));
    }
    void space() {
        while (pos_ < s_.size() && std::strchr(" \t\n\r", s_[pos_]) != nullptr && s_[pos_] != '\0') ++pos_;
    }
    bool word(std::string_view w) {
        if (s_.substr(pos_, w.size()) != w) return false;
        pos_ += w.size();
        return true;
    }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool digit() const { return peek() >= '0' && peek() <= '9'; }

    Json value() {
        space();
        Json v;
        const char c = peek();
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') {
            v.kind = Json::Kind::string;
            v.text = string();
        } else if (word("true")) {
            v.kind = Json::Kind::boolean;
            v.truth = true;
        } else if (word("false")) {
            v.kind = Json::Kind::boolean;
        } else if (word("null")) {
            v.kind = Json::Kind::null;
        } else {
            v = number();
        }
        return v;
    }

    Json object() {
        ++pos_;
        Json v;
        v.kind = Json::Kind::object;
        space();
        if (peek() == '}') {
            ++pos_;
            return v;
        }
        for (;;) {
            space();
            if (peek() != '"') fail("member name expected");
            std::string key = string();
            if (v.has(key)) fail("member '" + key + "' twice");
            space();
            if (peek() != ':') fail("':' expected");
            ++pos_;
            Json member = value();
            v.members.emplace_back(std::move(key), std::move(member));
            space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            fail("',' or '}' expected");
        }
    }

    Json array() {
        ++pos_;
        Json v;
        v.kind = Json::Kind::array;
        space();
        if (peek() == ']') {
            ++pos_;
            return v;
        }
        for (;;) {
            v.items.push_back(value());
            space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            fail("',' or ']' expected");
        }
    }

    uint32_t hex4() {
        if (pos_ + 4 > s_.size()) fail("short \\u escape");
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else fail("bad hex digit");
        }
        return v;
    }

    // The string's bytes; \udc80..\udcff (a low surrogate alone) stands for
    // the raw byte 0x80..0xff of a name that is not UTF-8.
    std::string string() {
        ++pos_;
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) fail("string not closed");
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c < 0x20) fail("raw control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            ++pos_;
            const char e = peek();
            ++pos_;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    const uint32_t unit = hex4();
                    if (unit >= 0xd800 && unit <= 0xdbff) {
                        if (!word("\\u")) fail("high surrogate alone");
                        const uint32_t low = hex4();
                        if (low < 0xdc00 || low > 0xdfff) fail("bad surrogate pair");
                        out += utf8(0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
                    } else if (unit >= 0xdc80 && unit <= 0xdcff) {
                        out += static_cast<char>(unit - 0xdc00);
                    } else if (unit >= 0xdc00 && unit <= 0xdfff) {
                        fail("low surrogate outside the byte escapes");
                    } else {
                        out += utf8(unit);
                    }
                    break;
                }
                default: fail("bad escape");
            }
        }
    }

    Json number() {
        const size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (digit()) {
            while (digit()) ++pos_;
        } else {
            fail("value expected");
        }
        if (peek() == '.') {
            ++pos_;
            if (!digit()) fail("digit expected after '.'");
            while (digit()) ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!digit()) fail("digit expected in exponent");
            while (digit()) ++pos_;
        }
        Json v;
        v.kind = Json::Kind::number;
        v.text = std::string(s_.substr(start, pos_ - start));
        return v;
    }

    std::string_view s_;
    size_t pos_ = 0;
};

Json parse_json(std::string_view text) { return JsonReader(text).document(); }

// ---------------------------------------------------------------------------
// Files and runs.

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

// The report's lines, each parsed; every line, the last included, must end in
// a line end, and every one must be a JSON object.
std::vector<Json> report_lines(const std::string& bytes) {
    std::vector<Json> lines;
    if (bytes.empty()) return lines;
    EXPECT_EQ(bytes.back(), '\n') << "the report ends inside a line";
    for (const std::string& line : split(bytes, '\n')) {
        Json v = parse_json(line);
        if (v.kind != Json::Kind::object) throw std::runtime_error("line is not an object: " + line);
        lines.push_back(std::move(v));
    }
    return lines;
}

// result.txt: the header's fields and each row's fields (tab-separated, each
// followed by a tab, so the text after the last tab is empty and dropped).
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

Table read_table(const std::string& text) {
    Table table;
    const std::vector<std::string> lines = split(text, '\n');
    if (lines.size() < 3 || !lines[1].empty() || !lines[2].empty()) {
        throw std::runtime_error("result.txt has no header and two empty lines");
    }
    table.header = split(lines[0], '\t');
    for (size_t i = 3; i < lines.size(); ++i) table.rows.push_back(split(lines[i], '\t'));
    return table;
}

std::string fmt(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// Every regular file under `dir` with its bytes, by relative path.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), dir).string()] = test_support::read_file(entry.path());
        }
    }
    return files;
}

std::vector<std::string> names_of(const std::map<std::string, std::string>& files) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);
    return names;
}

const fs::path& demo_dir() {
    static const fs::path demo = fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo";
    return demo;
}

void copy_demo(const fs::path& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::directory_iterator(demo_dir())) {
        fs::copy_file(entry.path(), to / entry.path().filename());
    }
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) text += (text.empty() ? "'" : " '") + a + "'";
    return text;
}

// The reason the diagnostic "<file>: <reason>; entry '<token>' skipped" on
// standard error gives for an entry.
std::string diagnostic_reason(const std::string& err, const std::string& file, const std::string& token) {
    const std::string tail = "; entry '" + token + "'";
    const std::string head = file + ": ";
    for (const std::string& line : split(err, '\n')) {
        const size_t t = line.find(tail);
        const size_t h = line.find(head);
        if (t == std::string::npos || h == std::string::npos || h > t) continue;
        return line.substr(h + head.size(), t - h - head.size());
    }
    return "(no diagnostic for " + token + ")";
}

// ---------------------------------------------------------------------------
// Input files.

std::string spectrum(unsigned long long live_s, unsigned long long real_s,
                     const std::vector<long long>& counts) {
    return test_support::spectrum_text(live_s * 1000000ULL, real_s * 1000000ULL, counts);
}

std::vector<long long> no_counts() { return std::vector<long long>(1024, 0); }

// A narrow symmetric peak of 14 channels; its pairs of channels, as the
// analysis halves the scale, hold 30 120 280 360 280 120 30.
constexpr std::array<long long, 14> kPeak = {10, 20, 40, 80, 120, 160, 180, 180, 160, 120, 80, 40, 20, 10};
// The counts of the peak's first 11 channels: what a count rate over an ROI
// [first, first + 11) sums.
constexpr long long kPeakFirst11 = 1150;

// `counts` plus `times` the peak, starting at channel `first`; `times` may be
// a half when the peak is even.
std::vector<long long> plus_peak(std::vector<long long> counts, int first, double times) {
    for (size_t i = 0; i < kPeak.size(); ++i) {
        counts.at(static_cast<size_t>(first) + i) += std::llround(static_cast<double>(kPeak[i]) * times);
    }
    return counts;
}

struct Component {
    std::string name;
    std::string unit;
    std::string standard_activity;  // the diagonal entry of the standards table
    std::array<int, 12> roi{};       // as written: thirds of a channel
    std::string factor = "0";
    std::string detection_limit = "0";
    std::string partial_limit = "0";
    std::string standard = "0";      // flag and what follows it
};

// A method file: one name/unit pair per line ended by an empty line, a
// diagonal standards table, a zero strip line, and spectra by reference.
struct Method {
    std::vector<Component> components;
    std::string background = "0";
    std::string local_background = "0";

    std::string text() const {
        auto six = [&](auto value_of) {
            std::string line;
            for (size_t i = 0; i < 6; ++i) {
                line += (i < components.size() ? value_of(components[i]) : std::string("0"));
                line += i < 5 ? " " : "\n";
            }
            return line;
        };
        std::string t = "handmade\n";
        for (const Component& c : components) t += c.name + " " + c.unit + "\n";
        t += "\n\n";  // the empty line ends the list; the character after it goes with it
        for (size_t i = 0; i < 6; ++i) {
            for (size_t k = 0; k < 6; ++k) {
                t += (i == k && i < components.size()) ? components[i].standard_activity : "0";
                t += k < 5 ? " " : "\n";
            }
        }
        t += "0 0 0 0 0 0\n";
        for (size_t i = 0; i < 6; ++i) {
            for (size_t k = 0; k < 12; ++k) {
                t += std::to_string(i < components.size() ? components[i].roi[k] : 0);
                t += k < 11 ? " " : "\n";
            }
        }
        t += six([](const Component& c) { return c.factor; });
        t += six([](const Component& c) { return c.detection_limit; });
        t += six([](const Component& c) { return c.partial_limit; });
        t += "0 0 0\n";
        t += background + "\n";
        for (size_t i = 0; i < 6; ++i) t += (i < components.size() ? components[i].standard : "0") + "\n";
        t += local_background + "\n";
        return t;
    }
};

std::array<int, 12> roi(int first, int end) { return {first, end, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// Runs in `dir` with the report in report.jsonl; the run must succeed.
struct ReportRun {
    RunResult run;
    Json run_line;           // the first line, describing the run
    std::vector<Json> lines;  // one per entry
    Json summary;            // the last line
    Table table;
};

// The report of a run split into its first line, the entries' lines and the
// summary line, each checked for its kind.
void split_report(std::vector<Json> all, ReportRun* r) {
    ASSERT_GE(all.size(), 2u);
    r->run_line = std::move(all.front());
    r->summary = std::move(all.back());
    EXPECT_EQ(r->run_line["kind"].str(), "run");
    EXPECT_EQ(r->summary["kind"].str(), "summary");
    r->lines.assign(std::make_move_iterator(all.begin() + 1), std::make_move_iterator(all.end() - 1));
}

ReportRun run_with_report(const ScratchDir& dir, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--report", "report.jsonl"});
    ReportRun r;
    r.run = run_assay_in(dir.path(), args);
    EXPECT_EQ(r.run.exit_status, 0) << r.run.err;
    split_report(report_lines(dir.read("report.jsonl")), &r);
    r.table = read_table(dir.read("result.txt"));
    return r;
}

std::vector<std::string> strings(const Json& array) {
    std::vector<std::string> out;
    for (size_t i = 0; i < array.size(); ++i) out.push_back(array[i].str());
    return out;
}

// The fields every report line has, whatever its entry.
void expect_entry(const Json& line, const std::string& token, long long index, const char* kind,
                  const std::string& file, const char* status) {
    EXPECT_EQ(line["entry"].str(), token);
    if (std::string(kind) != "evaluate") {
        EXPECT_TRUE(line["row"].is_null());
    }
    EXPECT_EQ(line["index"].integer(), index);
    EXPECT_EQ(line["kind"].str(), kind);
    EXPECT_EQ(line["file"].str(), file);
    EXPECT_EQ(line["status"].str(), status);
}

// ---------------------------------------------------------------------------
// Without arguments, and with any option, the run writes the same files.

class ReportOnBundledExample : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(demo_dir() / "config.txt")) GTEST_SKIP() << "no bundled example";
    }
};

// The files of a run without arguments: the inputs, result.txt and
// method.txt, nothing else; with --report the same plus the report, and with
// --threads or --straightforward exactly the same bytes everywhere.
TEST_F(ReportOnBundledExample, EveryOptionWritesTheSameFilesAsNoArguments) {
    ScratchDir plain;
    copy_demo(plain.path());
    const auto inputs = snapshot(plain.path());
    const RunResult base = run_assay_in(plain.path());
    ASSERT_EQ(base.exit_status, 0) << base.err;
    EXPECT_EQ(base.err, "");  // well-formed input: nothing on standard error
    const auto written = snapshot(plain.path());
    std::vector<std::string> expected_names = names_of(inputs);
    expected_names.push_back("method.txt");
    expected_names.push_back("result.txt");
    std::sort(expected_names.begin(), expected_names.end());
    EXPECT_EQ(names_of(written), expected_names);
    for (const auto& [name, bytes] : inputs) EXPECT_EQ(written.at(name), bytes) << name;
    ASSERT_GT(written.at("result.txt").size(), 0u);

    const std::vector<std::vector<std::string>> option_sets = {
        {"--report", "report.jsonl"}, {"--threads", "1"}, {"--threads", "2"},
        {"--straightforward"},        {"--report=report.jsonl", "--straightforward"}};
    for (const auto& args : option_sets) {
        SCOPED_TRACE(joined(args));
        ScratchDir dir;
        copy_demo(dir.path());
        const RunResult run = run_assay_in(dir.path(), args);
        EXPECT_EQ(run.exit_status, base.exit_status);
        EXPECT_EQ(run.out, base.out);
        EXPECT_EQ(run.err, base.err);
        auto files = snapshot(dir.path());
        const bool with_report = joined(args).find("report") != std::string::npos;
        EXPECT_EQ(files.erase("report.jsonl"), with_report ? 1u : 0u);
        EXPECT_EQ(files, written);
    }
}

// Evaluations may run in parallel; the report keeps the configuration's order
// and the same bytes whatever the number of threads.
TEST_F(ReportOnBundledExample, ReportIsTheSameWhateverTheThreads) {
    std::string first;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--threads", "1"}, {"--threads", "2"}, {"--threads", "7"}, {"--straightforward"}, {}}) {
        SCOPED_TRACE(joined(args));
        ScratchDir dir;
        copy_demo(dir.path());
        run_with_report(dir, args);
        // The first line names the run's own time, folder and options.
        std::string report = dir.read("report.jsonl");
        ASSERT_NE(report.find('\n'), std::string::npos);
        report.erase(0, report.find('\n') + 1);
        if (first.empty()) first = report;
        EXPECT_EQ(report, first);
    }
}

// --help and --version answer and end: status 0, nothing read or written, and
// a report named with them is not created.
TEST_F(ReportOnBundledExample, HelpAndVersionTouchNothing) {
    ScratchDir dir;
    copy_demo(dir.path());
    const auto before = snapshot(dir.path());

    // The project's version as CMakeLists.txt declares it.
    const std::string cmake = test_support::read_file(fs::path(ASSAY_SOURCE_DIR) / "CMakeLists.txt");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(cmake, match, std::regex(R"(project\s*\(\s*assay\s+VERSION\s+([0-9.]+))")));
    const std::string version_line = "assay " + match[1].str() + " (assay processor version 1.2)\n";

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--report", "r.jsonl", "--help"}, {"-C", ".", "-h"}}) {
        SCOPED_TRACE(joined(args));
        const RunResult run = run_assay_in(dir.path(), args);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.err, "");
        for (const char* option : {"-C", "--directory", "--report", "--threads", "--straightforward",
                                   "--help", "-h", "--version"}) {
            EXPECT_NE(run.out.find(option), std::string::npos) << "usage does not name " << option;
        }
        EXPECT_EQ(snapshot(dir.path()), before);
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"--version", "--report=r.jsonl"}, {"--threads", "2", "--version"}}) {
        SCOPED_TRACE(joined(args));
        const RunResult run = run_assay_in(dir.path(), args);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.out, version_line);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

// A wrong command line is refused before any file is touched: status 2, a
// message on standard error, and the directory exactly as it was, even with
// a configuration ready to run and an old result.txt in place.
TEST_F(ReportOnBundledExample, WrongCommandLineExitsTwoAndTouchesNothing) {
    ScratchDir dir;
    copy_demo(dir.path());
    dir.write("result.txt", "an older result\n");
    const auto before = snapshot(dir.path());
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--bogus"},
             {"config.txt"},
             {"--report", "r.jsonl", "--bogus"},
             {"--report", "r.jsonl", "stray"},
             {"--threads", "0", "--report", "r.jsonl"},
             {"--threads", "257"},
             {"--report"},
             {"-C"},
             {"--straightforward=yes"},
             {"--threads", "2", "--straightforward"},
             {"--report", "--plot", "plots"}}) {
        SCOPED_TRACE(joined(args));
        const RunResult run = run_assay_in(dir.path(), args);
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

// A report that cannot be created stops the run before it starts: status 1,
// the reason on standard error, and no result.txt or method.txt.
TEST_F(ReportOnBundledExample, ReportThatCannotBeCreatedStopsTheRun) {
    ScratchDir dir;
    copy_demo(dir.path());
    const auto before = snapshot(dir.path());
    const RunResult run = run_assay_in(dir.path(), {"--report", "no such dir/r.jsonl"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no such dir/r.jsonl"), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(dir.path()), before);
}

// An existing report is replaced, not appended to.
TEST_F(ReportOnBundledExample, ExistingReportIsReplaced) {
    ScratchDir dir;
    copy_demo(dir.path());
    dir.write("report.jsonl", "{\"stale\":true}\n");
    const ReportRun r = run_with_report(dir);
    ASSERT_FALSE(r.lines.empty());
    for (const Json& line : r.lines) EXPECT_FALSE(line.has("stale"));
}

// -C DIR and --directory=DIR run in DIR as if started there: every file,
// the report named after the option included, is read and written in DIR.
TEST_F(ReportOnBundledExample, DirectoryOptionRunsThere) {
    ScratchDir reference;
    copy_demo(reference.path());
    const RunResult base = run_assay_in(reference.path());
    ASSERT_EQ(base.exit_status, 0);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-C", "work dir", "--report", "r.jsonl"}, {"--directory=work dir", "--report=r.jsonl"}}) {
        SCOPED_TRACE(joined(args));
        ScratchDir outer;
        copy_demo(outer.path() / "work dir");
        const RunResult run = run_assay_in(outer.path(), args);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(run.out, base.out);
        auto files = snapshot(outer.path());
        for (const auto& [name, bytes] : files) {
            EXPECT_EQ(name.rfind("work dir/", 0), 0u) << name << " written outside the directory";
        }
        EXPECT_EQ(files["work dir/result.txt"], reference.read("result.txt"));
        EXPECT_EQ(files["work dir/method.txt"], reference.read("method.txt"));
        EXPECT_FALSE(files["work dir/r.jsonl"].empty());
    }
}

// ---------------------------------------------------------------------------
// The bundled example: every number of the report against the table.

// A spectrum file's live and real time in microseconds, as written.
std::pair<unsigned long long, unsigned long long> file_times_us(const fs::path& path) {
    std::ifstream in(path);
    unsigned long long live = 0;
    unsigned long long real = 0;
    in >> live >> real;
    return {live, real};
}

// The same in seconds, as the reader converts them (remainder dropped).
std::pair<unsigned long long, unsigned long long> file_times(const fs::path& path) {
    const auto [live, real] = file_times_us(path);
    return {live / 1000000ULL, real / 1000000ULL};
}

TEST_F(ReportOnBundledExample, ReportAgreesWithTheTableNumberForNumber) {
    ScratchDir dir;
    copy_demo(dir.path());
    const ReportRun r = run_with_report(dir);

    std::istringstream config(dir.read("config.txt"));
    std::string method_file;
    config >> method_file;
    std::vector<std::string> entries;
    for (std::string token; config >> token;) entries.push_back(token);

    const size_t n = r.table.header.size() >= 8 ? (r.table.header.size() - 8) / 3 : 0;
    ASSERT_EQ(r.table.header.size(), 3 * n + 8) << "header of result.txt";

    size_t line = 0;
    size_t row = 0;
    float weight = 1.0f;
    std::vector<std::string> sum_of;
    for (size_t e = 0; e < entries.size(); ++e) {
        const std::string& token = entries[e];
        SCOPED_TRACE("entry " + std::to_string(e + 1) + " " + token);
        ASSERT_LT(line, r.lines.size());
        const Json& l = r.lines[line++];
        if (token[0] == '^') {
            weight = std::strtof(token.c_str() + 1, nullptr);
            EXPECT_EQ(l["kind"].str(), "weight");
            EXPECT_EQ(l["entry"].str(), token);
            EXPECT_EQ(l["index"].integer(), static_cast<long long>(e + 1));
            EXPECT_EQ(l["weight"].f32(), weight);
            continue;
        }
        const std::string file = token[0] == '+' || token[0] == '*' ? token.substr(1) : token;
        // A plain entry replaces the sum, the others add to it.
        if (token[0] != '+' && token[0] != '*') sum_of.clear();
        sum_of.push_back(file);
        if (token[0] != '*') {
            expect_entry(l, token, static_cast<long long>(e + 1), token[0] == '+' ? "add" : "plain", file,
                         token[0] == '+' ? "added" : "read");
            continue;
        }
        expect_entry(l, token, static_cast<long long>(e + 1), "evaluate", file, "evaluated");
        EXPECT_EQ(strings(l["sum_of"]), sum_of);
        unsigned long long live = 0;
        unsigned long long real = 0;
        for (const std::string& f : sum_of) {
            const auto [fl, fr] = file_times(dir.path() / f);
            live += fl;
            real += fr;
        }
        const std::vector<std::string> files_of_sum = sum_of;
        sum_of.clear();
        EXPECT_EQ(l["live_time_s"].uinteger(), live);
        EXPECT_EQ(l["real_time_s"].uinteger(), real);
        // Dead time in per cent from the two times as the files give them.
        unsigned long long live_us = 0;
        unsigned long long real_us = 0;
        for (const std::string& f : files_of_sum) {
            const auto [fl, fr] = file_times_us(dir.path() / f);
            live_us += fl;
            real_us += fr;
        }
        EXPECT_EQ(l["live_time_us"].uinteger(), live_us);
        EXPECT_EQ(l["real_time_us"].uinteger(), real_us);
        EXPECT_NEAR(l["dead_time_percent"].f64(),
                    (1.0 - static_cast<double>(live_us) / static_cast<double>(real_us)) * 100.0, 1e-9);
        EXPECT_EQ(l["weight"].f32(), weight);

        ASSERT_LT(row, r.table.rows.size());
        const std::vector<std::string>& cols = r.table.rows[row++];
        ASSERT_EQ(cols.size(), 3 * n + 8);
        EXPECT_EQ(cols[0], token);
        const Json& components = l["components"];
        ASSERT_EQ(components.size(), n);
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE("component " + std::to_string(i));
            const Json& c = components[i];
            EXPECT_EQ(r.table.header[1 + i], c["name"].str());
            EXPECT_EQ(r.table.header[1 + n + i], "sd" + c["name"].str() + "[" + c["unit"].str() + "]");
            EXPECT_EQ(fmt("%7.2f", c["activity"].f32()), cols[1 + i]);
            EXPECT_EQ(fmt("%7.2f", c["activity_sd"].f32()), cols[1 + n + i]);
            EXPECT_EQ(fmt("%4.1f", c["count_rate_cpm"].f32()), cols[2 * n + 8 + i]);
            c["detected"].boolean();
            c["below_method_limit"].boolean();
            EXPECT_LT(c["decision_threshold"].f64(), c["detection_limit"].f64());
            EXPECT_EQ(c["detected"].boolean(), c["activity"].f64() > c["decision_threshold"].f64());
            c["over_limit"].boolean();
        }
        // The fit's statistics; the scan range holds the gain and the first pass's best.
        EXPECT_NEAR(l["chi_square_per_dof"].f64() * l["degrees_of_freedom"].integer(), l["chi_square"].f64(),
                    1e-9 * l["chi_square"].f64());
        EXPECT_EQ(l["fit_poor"].boolean(), l["p_value"].f64() < 0.001);
        EXPECT_LE(l["scan_lowest_gain"].f64(), l["gain"].f64());
        EXPECT_GE(l["scan_highest_gain"].f64(), l["gain"].f64());
        EXPECT_GE(l["first_pass_gain"].f64(), 0.94 - 1e-6);
        EXPECT_LE(l["first_pass_gain"].f64(), 1.0576 + 1e-6);
        EXPECT_EQ(fmt("%7.2f", l["qfit"].f32()), cols[2 * n + 1]);
        EXPECT_EQ(fmt("%7.4f", l["gain"].f32()), cols[2 * n + 2]);
        EXPECT_EQ(fmt("%7.3f", l["weight"].f32()), cols[2 * n + 6]);
        EXPECT_EQ(fmt("%4.2f", l["dose_rate"].f32()), cols[2 * n + 7]);
        l["gain_at_scan_edge"].boolean();
        l["unknown_found"].boolean();
        l["dose_dead_time_over_limit"].boolean();
        for (const char* key : {"over_partial_limit", "over_total_limit", "over_fraction_limit"}) l[key].boolean();
        l["summary_activity"].f32();
        l["summary_fraction"].f32();
    }
    EXPECT_EQ(line, r.lines.size()) << "report lines beyond the entries";
    EXPECT_EQ(row, r.table.rows.size()) << "rows without a report line";
}

// The report is written and flushed line by line: a run killed part-way
// leaves only whole lines, each a complete JSON object.
TEST_F(ReportOnBundledExample, KilledRunLeavesWholeLines) {
    ScratchDir dir;
    copy_demo(dir.path());
    std::istringstream config(dir.read("config.txt"));
    std::string method_file;
    config >> method_file;
    std::string long_config = method_file + "\n";
    for (int i = 0; i < 4000; ++i) long_config += i % 2 ? "*soil_a.txt\n" : "+grass_1.txt\n";
    dir.write("config.txt", long_config);

    const int null_fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        const std::string program = test_support::assay_program();
        execl(program.c_str(), program.c_str(), "--report", "report.jsonl", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(null_fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool ended_early = false;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended_early = true;
            break;
        }
        const std::string report = dir.read("report.jsonl");
        if (std::count(report.begin(), report.end(), '\n') >= 11 ||
            std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    if (!ended_early) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    ASSERT_FALSE(ended_early) << "the run ended before it could be killed";

    std::string report = dir.read("report.jsonl");
    ASSERT_FALSE(report.empty());
    // Each line goes out in one write. The kernel may still end a write that
    // a SIGKILL interrupts at a page boundary (a line of six components is
    // longer than a page): only there may the file end inside a line.
    if (report.back() != '\n') {
        EXPECT_EQ(report.size() % 4096, 0u) << "the report ends inside a line";
        report.erase(report.rfind('\n') + 1);
    }
    std::vector<Json> lines;
    ASSERT_NO_THROW(lines = report_lines(report));
    EXPECT_GE(lines.size(), 11u);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["kind"].str(), "run");
    for (size_t i = 1; i < lines.size(); ++i) {
        // Entries alternate add and evaluate, from index 1.
        EXPECT_EQ(lines[i]["index"].integer(), static_cast<long long>(i));
        EXPECT_EQ(lines[i]["status"].str(), i % 2 ? "added" : "evaluated");
    }
}

// ---------------------------------------------------------------------------
// Hand-derived reports.
//
// Components A and B have standards of 1000 s holding the peak kPeak at
// channels 100..113 and 200..213 respectively, standard activities 50 and 40,
// and no background spectra: the calibration then gives each component the
// response c / (1 * 50) (or / 40) in its own ROI channels and 0 in the other's.
// A sample of 1000 s that is exactly a times A's standard plus b times B's is
// fitted exactly at gain 1.0 (trial 25 of the first pass, exactly 1.0 in
// double; every other gain shifts the peaks against the response), with
// activities 50 a and 40 b and standard deviations 0 up to rounding.

Component component_a() {
    Component a;
    a.name = "A";
    a.unit = "Bq";
    a.standard_activity = "50";
    a.roi = roi(300, 333);  // channels 100..111; halved 50..56
    a.standard = "1#std_a.txt";
    return a;
}

Component component_b() {
    Component b;
    b.name = "B";
    b.unit = "Bq";
    b.standard_activity = "40";
    b.roi = roi(600, 633);  // channels 200..211; halved 100..106
    b.standard = "1#std_b.txt";
    return b;
}

void write_standards(const ScratchDir& dir) {
    dir.write("std_a.txt", spectrum(1000, 1000, plus_peak(no_counts(), 100, 1)));
    dir.write("std_b.txt", spectrum(1000, 1000, plus_peak(no_counts(), 200, 1)));
}

// Count rate of `counts` summed over the first ROI in `live` seconds, per minute.
double cpm(double counts, double live) { return counts / live * 60.0; }

constexpr double kActivityTolerance = 1e-3;  // rounding of an exact fit

// Detection limit and partial limit, with a standard factor on A:
//   A: factor 2, detection limit 10, partial limit 150;
//   B: factor 0 (undivided), detection limit 30, no partial limit.
// s1 = 4 A + 0.5 B: A 200 (shown as 200 / 2 = 100), B 20.
//   A: detected (200 > 10, sd 0), over its limit ((200 + 0) / 150 > 1) though
//   the table shows 100: the limit is checked before the standard factor.
//   B: not detected (30 > 20); no partial limit, so never over.
//   limit_status = bit 0.
// s2 = 2 A + 2 B: A 100 (shown 50), not over (100 / 150 < 1); B 80, detected.
// No local background: every window of the excess search has a background
// sum of exactly 0 and is skipped, so unknown_found is false.
TEST(HandDerivedReport, DetectionAndPartialLimitsFollowTheFit) {
    ScratchDir dir;
    Method m;
    m.components = {component_a(), component_b()};
    m.components[0].factor = "2";
    m.components[0].detection_limit = "10";
    m.components[0].partial_limit = "150";
    m.components[1].detection_limit = "30";
    dir.write("test.cal", m.text());
    write_standards(dir);
    dir.write("s1.txt", spectrum(1000, 2000, plus_peak(plus_peak(no_counts(), 100, 4), 200, 0.5)));
    dir.write("s2.txt", spectrum(1000, 1000, plus_peak(plus_peak(no_counts(), 100, 2), 200, 2)));
    dir.write("dose.txt", "0 0 0 0 0\n");  // dose factor 0: dose rate 0
    dir.write("config.txt", "test.cal\n*s1.txt\n*s2.txt\n");

    const ReportRun r = run_with_report(dir);
    EXPECT_EQ(r.run.err, "");
    ASSERT_EQ(r.lines.size(), 2u);
    ASSERT_EQ(r.table.rows.size(), 2u);

    struct Expected {
        const char* token;
        unsigned long long real_time;
        double dead_time;  // (1 - live / real) * 100
        double activity_a, activity_b;
        bool detected_b, over_a;
        long long limit_status;
        double rate_a, rate_b;
    };
    const Expected expected[] = {
        {"*s1.txt", 2000, 50.0, 100.0, 20.0, false, true, 1, cpm(4 * kPeakFirst11, 1000),
         cpm(0.5 * kPeakFirst11, 1000)},
        {"*s2.txt", 1000, 0.0, 50.0, 80.0, true, false, 0, cpm(2 * kPeakFirst11, 1000),
         cpm(2 * kPeakFirst11, 1000)},
    };
    for (size_t k = 0; k < 2; ++k) {
        const Expected& x = expected[k];
        const Json& l = r.lines[k];
        SCOPED_TRACE(x.token);
        expect_entry(l, x.token, static_cast<long long>(k + 1), "evaluate", x.token + 1, "evaluated");
        EXPECT_EQ(strings(l["sum_of"]), std::vector<std::string>{x.token + 1});
        EXPECT_EQ(l["live_time_s"].uinteger(), 1000u);
        EXPECT_EQ(l["real_time_s"].uinteger(), x.real_time);
        EXPECT_EQ(l["dead_time_percent"].f64(), x.dead_time);  // exact in float
        EXPECT_EQ(l["weight"].f64(), 1.0);
        EXPECT_NEAR(l["qfit"].f64(), 0.0, 1e-6);
        EXPECT_EQ(l["gain"].f32(), 1.0f);
        EXPECT_FALSE(l["gain_at_scan_edge"].boolean());  // 0.94 and about 1.0599 were tried
        EXPECT_EQ(l["over_partial_limit"].boolean(), (x.limit_status & 1) != 0);
        EXPECT_FALSE(l["over_total_limit"].boolean());
        EXPECT_FALSE(l["over_fraction_limit"].boolean());
        EXPECT_FALSE(l["unknown_found"].boolean());
        // No component is marked for the summary: both sums stay 0.
        EXPECT_EQ(l["summary_activity"].f64(), 0.0);
        EXPECT_EQ(l["summary_fraction"].f64(), 0.0);
        EXPECT_EQ(l["dose_rate"].f64(), 0.0);
        EXPECT_FALSE(l["dose_dead_time_over_limit"].boolean());
        const Json& c = l["components"];
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0]["name"].str(), "A");
        EXPECT_EQ(c[0]["unit"].str(), "Bq");
        EXPECT_EQ(c[1]["name"].str(), "B");
        EXPECT_NEAR(c[0]["activity"].f64(), x.activity_a, kActivityTolerance);
        EXPECT_NEAR(c[1]["activity"].f64(), x.activity_b, kActivityTolerance);
        EXPECT_NEAR(c[0]["activity_sd"].f64(), 0.0, kActivityTolerance);
        EXPECT_NEAR(c[1]["activity_sd"].f64(), 0.0, kActivityTolerance);
        // The method's own detection limit; "detected" is the decision threshold's.
        EXPECT_FALSE(c[0]["below_method_limit"].boolean());
        EXPECT_EQ(c[1]["below_method_limit"].boolean(), !x.detected_b);
        EXPECT_TRUE(c[0]["detected"].boolean());
        EXPECT_EQ(c[0]["over_limit"].boolean(), x.over_a);
        EXPECT_FALSE(c[1]["over_limit"].boolean());
        EXPECT_NEAR(c[0]["count_rate_cpm"].f64(), x.rate_a, 1e-3);
        EXPECT_NEAR(c[1]["count_rate_cpm"].f64(), x.rate_b, 1e-3);
        // The row shows the same values.
        const std::vector<std::string>& row = r.table.rows[k];
        EXPECT_EQ(row[0], x.token);
        EXPECT_EQ(row[1], fmt("%7.2f", x.activity_a));
        EXPECT_EQ(row[2], fmt("%7.2f", x.activity_b));
        EXPECT_EQ(row[6], " 1.0000");
    }
}

// An excess that no component explains. The local background holds 2 counts
// in every channel over 1000 s, as long as the samples. Both samples are
// 4 A plus that background; u1 also holds 1000 counts in each of the
// channels 615..624, where neither the background nor any standard has counts
// and no ROI lies.
//   The fit subtracts the background exactly (2 channels of 2 per halved
//   channel, times 1000 / 1000), so A is 200 at gain 1.0 in both.
//   The window centred on 620 has the half-width 118.65 / sqrt(620) * 620 / 100
//   = 29.54, so it sums channels 590..648: 59 channels. Against the expected
//   spectrum (background 2 per channel plus 200 / 50 = 4 times A's standard,
//   which is 0 there) its background sum is B = 118 > 40, and u1's sum is
//   S = 118 + 10000, so S - 10 sqrt(S) = 9112 > B + 10 sqrt(S) = 1124: an
//   excess over the known components. u2 follows the expected spectrum to
//   within the truncation of each channel (less than 1 count), far below
//   20 sqrt(S) in every window.
TEST(HandDerivedReport, UnknownFoundOnlyForAnExcessNoComponentExplains) {
    ScratchDir dir;
    Method m;
    m.components = {component_a()};
    m.local_background = "1#lbg.txt";
    dir.write("test.cal", m.text());
    write_standards(dir);
    const std::vector<long long> background(1024, 2);
    dir.write("lbg.txt", spectrum(1000, 1000, background));
    std::vector<long long> u2 = plus_peak(background, 100, 4);
    std::vector<long long> u1 = u2;
    for (int ch = 615; ch <= 624; ++ch) u1[static_cast<size_t>(ch)] += 1000;
    dir.write("u1.txt", spectrum(1000, 1000, u1));
    dir.write("u2.txt", spectrum(1000, 1000, u2));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "test.cal\n*u1.txt\n*u2.txt\n");

    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k == 0 ? "u1" : "u2");
        const Json& l = r.lines[k];
        EXPECT_EQ(l["status"].str(), "evaluated");
        EXPECT_EQ(l["gain"].f32(), 1.0f);
        EXPECT_NEAR(l["components"][0]["activity"].f64(), 200.0, kActivityTolerance);
        EXPECT_TRUE(l["components"][0]["detected"].boolean());
        EXPECT_EQ(l["unknown_found"].boolean(), k == 0);
    }
}

// The gain scan tries 0.94 + m * 0.0024 (m = 0..49) and then 50 gains from
// G - 0.0024 in steps of 0.000096 around the best G of the first pass. The
// standard is a broad peak (sigma 12 channels around 106.5) over an ROI of
// channels 80..139; each sample holds the same peak moved so that the gain
// that would bring it back lies outside the scan:
//   low: centred at 106.5 / 0.90, best gain 0.90: the fit improves towards
//   lower gains, so 0.94 wins the first pass and G - 0.0024 the second; that
//   is the lowest gain tried.
//   high: centred at 106.5 / 1.10: the last trial of each pass wins, and the
//   second pass's last, G + 0.002304, is the highest gain tried.
//   centre: exactly twice the standard: gain 1.0, inside the scan.
void write_gain_edge_folder(const ScratchDir& dir) {
    auto broad_peak = [](double centre, double height, long long base) {
        std::vector<long long> c = no_counts();
        for (int ch = 60; ch < 180; ++ch) {
            c[static_cast<size_t>(ch)] =
                std::llround(height * std::exp(-(ch - centre) * (ch - centre) / (2.0 * 12.0 * 12.0))) + base;
        }
        return c;
    };
    Method m;
    Component a = component_a();
    a.roi = roi(240, 417);  // channels 80..139
    m.components = {a};
    dir.write("test.cal", m.text());
    const std::vector<long long> standard = broad_peak(106.5, 2000, 20);
    std::vector<long long> twice = standard;
    for (long long& c : twice) c *= 2;
    dir.write("std_a.txt", spectrum(1000, 1000, standard));
    dir.write("low.txt", spectrum(1000, 1000, broad_peak(106.5 / 0.90, 4000, 40)));
    dir.write("high.txt", spectrum(1000, 1000, broad_peak(106.5 / 1.10, 4000, 40)));
    dir.write("centre.txt", spectrum(1000, 1000, twice));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "test.cal\n*low.txt\n*high.txt\n*centre.txt\n");
}

TEST(HandDerivedReport, GainAtTheEdgeOfTheScanIsFlagged) {
    ScratchDir dir;
    write_gain_edge_folder(dir);

    const double step1 = (1.06 - 0.94) / 50.0;
    const float lowest = static_cast<float>(static_cast<double>(static_cast<float>(0.94)) - step1);
    const double last_of_first = static_cast<float>(0.94 + 49 * step1);
    const double low2 = last_of_first - step1;
    const double step2 = ((last_of_first + step1) - low2) / 50.0;
    const float highest = static_cast<float>(low2 + 49 * step2);

    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0]["gain"].f32(), lowest);
    EXPECT_TRUE(r.lines[0]["gain_at_scan_edge"].boolean());
    EXPECT_EQ(r.lines[1]["gain"].f32(), highest);
    EXPECT_TRUE(r.lines[1]["gain_at_scan_edge"].boolean());
    EXPECT_EQ(r.lines[2]["gain"].f32(), 1.0f);
    EXPECT_FALSE(r.lines[2]["gain_at_scan_edge"].boolean());
    EXPECT_NEAR(r.lines[2]["components"][0]["activity"].f64(), 100.0, kActivityTolerance);
}

// Without components every trial of the scan ties (no coefficients, no
// points: the figure is 0), so the first, 0.94, wins the first pass and the
// second pass, which starts below it at 0.9376, only ties. 0.94 is then
// neither the lowest nor the highest gain tried, but it is the first pass's
// first trial: at the edge, as for any first pass that settles there.
TEST(HandDerivedReport, TiedScanKeepsItsFirstGainAtTheFirstPassEdge) {
    ScratchDir dir;
    dir.write("flat.txt", spectrum(1000, 1000, std::vector<long long>(1024, 5)));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "none.cal\n*flat.txt\n");  // no method file: no components
    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 1u);
    const Json& l = r.lines[0];
    EXPECT_EQ(l["status"].str(), "evaluated");
    EXPECT_EQ(l["gain"].f32(), 0.94f);
    EXPECT_EQ(l["qfit"].f64(), 0.0);
    EXPECT_TRUE(l["gain_at_scan_edge"].boolean());
    EXPECT_EQ(l["components"].size(), 0u);
    EXPECT_EQ(r.table.rows.at(0).at(2), " 0.9400");
}

// Entries whose file cannot be opened, or is opened but incomplete, each
// have their line with the diagnostic's reason, in configuration order, and
// add nothing to the sum: the last evaluation is of good.txt alone.
TEST(HandDerivedReport, SkippedEntriesCarryTheDiagnosticsReason) {
    ScratchDir dir;
    Method m;
    m.components = {component_a()};
    dir.write("test.cal", m.text());
    write_standards(dir);
    std::string seventeen = "1000000000\n1000000000\n";
    for (int i = 0; i < 17; ++i) seventeen += "5\n";
    dir.write("seventeen.txt", seventeen);
    dir.write("empty.txt", "");
    dir.write("times_only.txt", "1000000000 1000000000\n");
    dir.write("good.txt", spectrum(1000, 1000, plus_peak(no_counts(), 100, 2)));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt",
              "test.cal\nabsent_plain.txt\n+absent_add.txt\n*absent_eval.txt\n"
              "seventeen.txt\n+empty.txt\n*times_only.txt\n*good.txt\n");

    const ReportRun r = run_with_report(dir);
    struct Skipped {
        const char* token;
        const char* kind;
        const char* file;
        const char* status;
    };
    const Skipped skipped[] = {
        {"absent_plain.txt", "plain", "absent_plain.txt", "skipped_missing"},
        {"+absent_add.txt", "add", "absent_add.txt", "skipped_missing"},
        {"*absent_eval.txt", "evaluate", "absent_eval.txt", "skipped_missing"},
        {"seventeen.txt", "plain", "seventeen.txt", "skipped_damaged"},
        {"+empty.txt", "add", "empty.txt", "skipped_damaged"},
        {"*times_only.txt", "evaluate", "times_only.txt", "skipped_damaged"},
    };
    ASSERT_EQ(r.lines.size(), 7u);
    for (size_t k = 0; k < 6; ++k) {
        const Skipped& s = skipped[k];
        SCOPED_TRACE(s.token);
        const Json& l = r.lines[k];
        expect_entry(l, s.token, static_cast<long long>(k + 1), s.kind, s.file, s.status);
        const std::string reason = diagnostic_reason(r.run.err, s.file, s.token);
        EXPECT_EQ(l["reason"].str(), reason);
        EXPECT_FALSE(reason.empty());
    }
    const Json& good = r.lines[6];
    expect_entry(good, "*good.txt", 7, "evaluate", "good.txt", "evaluated");
    EXPECT_FALSE(good.has("reason"));
    EXPECT_EQ(strings(good["sum_of"]), std::vector<std::string>{"good.txt"});
    EXPECT_EQ(good["live_time_s"].uinteger(), 1000u);
    EXPECT_NEAR(good["components"][0]["activity"].f64(), 100.0, kActivityTolerance);
    ASSERT_EQ(r.table.rows.size(), 1u);  // skipped evaluations write no row
    EXPECT_EQ(r.table.rows[0][0], "*good.txt");
}

// sum_of lists the files whose counts are in the evaluated sum: a plain entry
// starts the list afresh, an add or evaluate entry appends, an evaluation
// empties it, and a skipped entry changes nothing. The times are the sums of
// the listed files' times.
TEST(HandDerivedReport, SumOfListsTheFilesInTheSum) {
    ScratchDir dir;
    const unsigned long long live[] = {100, 200, 300, 400};
    const char* names[] = {"a.txt", "b.txt", "c.txt", "d.txt"};
    for (int i = 0; i < 4; ++i) {
        dir.write(names[i], spectrum(live[i], live[i] + 10, std::vector<long long>(1024, i + 1)));
    }
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt",
              "none.cal\n"
              "a.txt +b.txt *c.txt\n"                      // 1..3
              "d.txt a.txt absent.txt +absent.txt ^0.5\n"   // 4..8
              "*c.txt *d.txt +b.txt *absent.txt *c.txt\n"); // 9..13
    const ReportRun r = run_with_report(dir);

    struct Line {
        long long index;
        const char* status;
    };
    const Line expected_lines[] = {{1, "read"},  {2, "added"},           {3, "evaluated"},
                                   {4, "read"},  {5, "read"},            {6, "skipped_missing"},
                                   {7, "skipped_missing"},               {8, "set"},
                                   {9, "evaluated"},
                                   {10, "evaluated"}, {11, "added"},     {12, "skipped_missing"},
                                   {13, "evaluated"}};
    ASSERT_EQ(r.lines.size(), std::size(expected_lines));  // every entry has its line
    for (size_t k = 0; k < r.lines.size(); ++k) {
        EXPECT_EQ(r.lines[k]["index"].integer(), expected_lines[k].index);
        EXPECT_EQ(r.lines[k]["status"].str(), expected_lines[k].status);
    }
    struct Evaluation {
        size_t line;
        std::vector<std::string> sum_of;
        unsigned long long live;
        double weight;
    };
    const Evaluation evaluations[] = {
        {2, {"a.txt", "b.txt", "c.txt"}, 100 + 200 + 300, 1.0},
        {8, {"a.txt", "c.txt"}, 100 + 300, 0.5},
        {9, {"d.txt"}, 400, 0.5},
        {12, {"b.txt", "c.txt"}, 200 + 300, 0.5},
    };
    for (const Evaluation& e : evaluations) {
        SCOPED_TRACE("line " + std::to_string(e.line + 1));
        const Json& l = r.lines[e.line];
        EXPECT_EQ(strings(l["sum_of"]), e.sum_of);
        EXPECT_EQ(l["live_time_s"].uinteger(), e.live);
        EXPECT_EQ(l["real_time_s"].uinteger(), e.live + 10 * e.sum_of.size());
        EXPECT_EQ(l["weight"].f64(), e.weight);
    }
    EXPECT_EQ(r.table.rows.size(), 4u);
}

// The analysis takes each file's whole seconds. Where that makes the sum's
// live time more than 0.1 % shorter than its microseconds the run says so
// before the row, and the report gives the share: 1.9 s is analysed as 1 s,
// 0.9 / 1.9 shorter; two files of 1.5 s as 2 s instead of 3 s; 100.2 s as
// 100 s, 0.2 / 100.2; 1000.5 s as 1000 s, 0.5 / 1000.5 (not said).
TEST(HandDerivedReport, LiveTimeShortenedByWholeSecondsIsSaid) {
    struct Case {
        std::vector<unsigned long long> live_us;
        double percent;
        const char* said;  // the warning's words, or null
    };
    const std::vector<Case> cases = {
        {{1900000}, 0.9 / 1.9 * 100.0, "a live time of 1 s instead of 1.900000 s, 47.37 % shorter"},
        {{1500000, 1500000}, 1.0 / 3.0 * 100.0, "a live time of 2 s instead of 3.000000 s, 33.33 % shorter"},
        {{100200000}, 0.2 / 100.2 * 100.0, "a live time of 100 s instead of 100.200000 s, 0.20 % shorter"},
        {{1000500000}, 0.5 / 1000.5 * 100.0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.live_us.front());
        ScratchDir dir;
        std::string config = "none.cal\n";
        for (size_t i = 0; i < c.live_us.size(); ++i) {
            const std::string name = i == 0 ? "a.txt" : "b.txt";
            dir.write(name, test_support::spectrum_text(c.live_us[i], c.live_us[i], no_counts()));
            config += i + 1 < c.live_us.size() ? '+' : '*';
            config += name + "\n";
        }
        dir.write("config.txt", config);
        const ReportRun r = run_with_report(dir);
        ASSERT_EQ(r.lines.size(), c.live_us.size());
        EXPECT_NEAR(r.lines.back()["live_time_dropped_percent"].f64(), c.percent, 1e-9);
        const bool said = r.run.err.find("is analysed with a live time") != std::string::npos;
        EXPECT_EQ(said, c.said != nullptr) << r.run.err;
        if (c.said != nullptr) {
            EXPECT_NE(r.run.err.find(c.said), std::string::npos) << r.run.err;
        }
    }
}

// The dose rate needs all five calibration values: without them it is null
// (the table shows nan), and so is the dead-time flag. With them, a dead time
// above 85 % is flagged and the dose rate comes negated.
TEST(HandDerivedReport, DoseRateNullWithoutACompleteCalibration) {
    std::vector<long long> counts = no_counts();
    for (int ch = 16; ch <= 19; ++ch) counts[static_cast<size_t>(ch)] = 1000;  // a dose bin
    for (const char* dose : {"", "1 0 0\n", "1 0 0 0 x\n"}) {
        SCOPED_TRACE(std::string("dose.txt: ") + (*dose ? dose : "(missing)"));
        ScratchDir dir;
        if (*dose) dir.write("dose.txt", dose);
        dir.write("s.txt", spectrum(100, 1000, counts));
        dir.write("config.txt", "none.cal\n*s.txt\n");
        const ReportRun r = run_with_report(dir);
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_TRUE(r.lines[0]["dose_rate"].is_null());
        EXPECT_TRUE(r.lines[0]["dose_dead_time_over_limit"].is_null());
        EXPECT_NEAR(r.lines[0]["dead_time_percent"].f64(), 90.0, 1e-4);  // times alone
        EXPECT_EQ(r.table.rows.at(0).at(7), "nan");
    }
    ScratchDir dir;
    dir.write("dose.txt", "1 0 0 0 0\n");
    dir.write("dead.txt", spectrum(100, 1000, counts));    // dead time 90 %
    dir.write("alive.txt", spectrum(1000, 1000, counts));  // dead time 0 %
    dir.write("config.txt", "none.cal\n*dead.txt\n*alive.txt\n");
    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_TRUE(r.lines[0]["dose_dead_time_over_limit"].boolean());
    EXPECT_LT(r.lines[0]["dose_rate"].f64(), 0.0);
    EXPECT_FALSE(r.lines[1]["dose_dead_time_over_limit"].boolean());
    EXPECT_GT(r.lines[1]["dose_rate"].f64(), 0.0);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(fmt("%4.2f", r.lines[k]["dose_rate"].f32()), r.table.rows.at(k).at(7));
    }
}

// An ROI reaching channel 1023 halves to (500, 512), whose end is not below
// the 512 working channels: the evaluation fails. Its row still appears with
// what the sum record held: zeros in a first evaluation. The report says
// analysis_failed and has no scan edge to report.
TEST(HandDerivedReport, FailedEvaluationIsReportedWithItsRow) {
    ScratchDir dir;
    Method m;
    Component a = component_a();
    a.roi = roi(3000, 3069);  // channels 1000..1023
    m.components = {a};
    dir.write("test.cal", m.text());
    write_standards(dir);
    dir.write("s.txt", spectrum(1000, 1000, plus_peak(no_counts(), 100, 4)));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "test.cal\n*s.txt\n");
    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 1u);
    const Json& l = r.lines[0];
    expect_entry(l, "*s.txt", 1, "evaluate", "s.txt", "analysis_failed");
    EXPECT_EQ(l["row"].integer(), 1);
    // The fit's own results do not exist; the table repeats the zeros of the
    // run's start, no row's.
    EXPECT_TRUE(l["table_repeats_row"].is_null());
    EXPECT_TRUE(l["gain_at_scan_edge"].is_null());
    EXPECT_TRUE(l["qfit"].is_null());
    EXPECT_TRUE(l["gain"].is_null());
    EXPECT_FALSE(l["over_partial_limit"].boolean());
    EXPECT_TRUE(l["unknown_found"].is_null());
    EXPECT_EQ(strings(l["sum_of"]), std::vector<std::string>{"s.txt"});
    const Json& c = l["components"][0];
    EXPECT_TRUE(c["activity"].is_null());
    EXPECT_TRUE(c["activity_sd"].is_null());
    EXPECT_TRUE(c["detected"].is_null());
    EXPECT_FALSE(c["over_limit"].boolean());
    EXPECT_EQ(c["count_rate_cpm"].f64(), 0.0);  // no counts in 1000..1022
    ASSERT_EQ(r.table.rows.size(), 1u);
    const std::vector<std::string> row = r.table.rows[0];
    EXPECT_EQ(row[0], "*s.txt");
    EXPECT_EQ(row[1], "   0.00");
    EXPECT_EQ(row[4], " 0.0000");
}

// A failed evaluation after a good one: the fit's results (activities,
// standard deviations, qfit, gain, unknown_found) stay as the previous
// evaluation left them in the sum record, where they were already divided by
// the standard factor, so the row divides A's again: 100 / 2 = 50. The
// limit flags were reset before the fit: nothing detected, nothing over.
// zero.txt holds no counts, so every ROI channel has weight 0 and the first
// fit of the scan is singular.
TEST(HandDerivedReport, FailedEvaluationShowsThePreviousResults) {
    ScratchDir dir;
    Method m;
    m.components = {component_a(), component_b()};
    m.components[0].factor = "2";
    m.components[0].detection_limit = "10";
    m.components[0].partial_limit = "150";
    dir.write("test.cal", m.text());
    write_standards(dir);
    dir.write("s1.txt", spectrum(1000, 1000, plus_peak(plus_peak(no_counts(), 100, 4), 200, 0.5)));
    dir.write("zero.txt", spectrum(1000, 1000, no_counts()));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "test.cal\n*s1.txt\n*zero.txt\n");
    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), 2u);
    const Json& good = r.lines[0];
    const Json& failed = r.lines[1];
    EXPECT_EQ(good["status"].str(), "evaluated");
    EXPECT_TRUE(good["over_partial_limit"].boolean());
    expect_entry(failed, "*zero.txt", 2, "evaluate", "zero.txt", "analysis_failed");
    // The table repeats row 1's results (divided once more); the report says
    // so and gives no activities of its own.
    EXPECT_EQ(failed["table_repeats_row"].integer(), 1);
    EXPECT_TRUE(failed["gain_at_scan_edge"].is_null());
    EXPECT_TRUE(failed["qfit"].is_null());
    EXPECT_TRUE(failed["gain"].is_null());
    EXPECT_FALSE(failed["over_partial_limit"].boolean());
    EXPECT_TRUE(failed["unknown_found"].is_null());
    const Json& c = failed["components"];
    EXPECT_TRUE(c[0]["activity"].is_null());
    EXPECT_TRUE(c[1]["activity"].is_null());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(c[i]["detected"].is_null());
        EXPECT_FALSE(c[i]["over_limit"].boolean());
        EXPECT_EQ(c[i]["count_rate_cpm"].f64(), 0.0);
    }
    ASSERT_EQ(r.table.rows.size(), 2u);
    EXPECT_EQ(r.table.rows[1][1], "  50.00");
    EXPECT_EQ(r.table.rows[1][2], "  20.00");
}

// A file name may hold any byte but "/" and NUL: quotes, backslashes and
// control characters are escaped, and bytes that are not UTF-8 become
// \udc80..\udcff, so the name reads back exactly; valid UTF-8 is kept as is.
TEST(HandDerivedReport, FileNamesWithAnyBytesAreEscaped) {
    ScratchDir dir;
    const std::string odd = "q\"b\\s\x01\x7f\xff.txt";
    const std::string accented = "caf\xc3\xa9.txt";
    dir.write(accented, spectrum(100, 100, std::vector<long long>(1024, 1)));
    dir.write(odd, spectrum(100, 100, std::vector<long long>(1024, 1)));
    dir.write("dose.txt", "0 0 0 0 0\n");
    dir.write("config.txt", "none.cal\n" + accented + "\n*" + odd + "\n");
    const ReportRun r = run_with_report(dir);
    const std::string raw = dir.read("report.jsonl");
    ASSERT_EQ(r.lines.size(), 2u);
    expect_entry(r.lines[0], accented, 1, "plain", accented, "read");
    expect_entry(r.lines[1], "*" + odd, 2, "evaluate", odd, "evaluated");
    EXPECT_EQ(strings(r.lines[1]["sum_of"]), (std::vector<std::string>{accented, odd}));

    // As written: the accented name whole, each odd byte by its escape.
    std::string lowered = raw;
    for (size_t i = 0; i + 1 < lowered.size(); ++i) {
        if (lowered[i] == '\\' && lowered[i + 1] == 'u') {
            for (size_t k = i + 2; k < i + 6 && k < lowered.size(); ++k) {
                lowered[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowered[k])));
            }
        }
    }
    EXPECT_NE(lowered.find("\"file\":\"" + accented + "\""), std::string::npos) << raw;
    EXPECT_NE(lowered.find(R"("file":"q\"b\\s\u0001\u007f\udcff.txt")"), std::string::npos) << raw;
    EXPECT_EQ(r.table.rows.at(0).at(0), "*" + odd);  // the table keeps the bytes
}

// The bundled example's samples hold only the method's nuclides: no row
// flags an unknown one. A peak of 8000 counts at channel 265 (795 keV, a
// line the method does not know, away from every ROI) added to the fallout
// sample is flagged on that row alone.
TEST_F(ReportOnBundledExample, UnknownNuclideOnlyWhereTheMethodLacksOne) {
    ScratchDir dir;
    copy_demo(dir.path());
    auto unknown_rows = [&]() {
        std::vector<std::string> flagged;
        for (const Json& l : run_with_report(dir).lines) {
            if (l["kind"].str() == "evaluate" && l["unknown_found"].boolean()) flagged.push_back(l["entry"].str());
        }
        return flagged;
    };
    EXPECT_EQ(unknown_rows(), std::vector<std::string>{});

    // Line 0 and 1 are the times; channel c is line c + 2.
    std::istringstream lines(dir.read("fallout.txt"));
    std::string text;
    int index = 0;
    for (std::string line; std::getline(lines, line); ++index) {
        const int channel = index - 2;
        if (channel >= 250 && channel <= 280) {
            const double d = (channel - 265) / 5.0;
            line = std::to_string(std::stoll(line) + std::llround(8000 * std::exp(-0.5 * d * d) / (5.0 * 2.5066283)));
        }
        text += line + "\n";
    }
    dir.write("fallout.txt", text);
    EXPECT_EQ(unknown_rows(), std::vector<std::string>{"*fallout.txt"});
    // Found at its energy, within one FWHM: the files give no calibration,
    // and the example is 3 keV per channel of the sample's own scale (the
    // peak's channel is on the standards' scale, the sample's times the gain).
    for (const Json& l : run_with_report(dir).lines) {
        if (l["entry"].str() != "*fallout.txt") continue;
        ASSERT_EQ(l["unknown_peaks"].size(), 1u);
        const Json& peak = l["unknown_peaks"][0];
        EXPECT_TRUE(peak["energy_kev"].is_null());
        const double energy = 3.0 * static_cast<double>(peak["channel"].integer()) / l["gain"].f64();
        EXPECT_LE(std::fabs(energy - 795.0), 3.0 * peak["fwhm_channels"].f64()) << energy;
    }
}

}  // namespace

namespace {

// --plot-select flagged draws only the rows with a flag (here the two whose
// gain lies at the scan's edge); the report names each row's picture, or
// null, and the index lists the pictures drawn.
TEST(HandDerivedReport, PlotSelectFlaggedDrawsOnlyFlaggedRows) {
    ScratchDir dir;
    write_gain_edge_folder(dir);
    const ReportRun r = run_with_report(dir, {"--plot", "p", "--plot-select", "flagged"});
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0]["picture"].str(), "0001__low.txt.svg");
    EXPECT_EQ(r.lines[1]["picture"].str(), "0002__high.txt.svg");
    EXPECT_TRUE(r.lines[2]["picture"].is_null());
    EXPECT_TRUE(dir.exists("p/0001__low.txt.svg"));
    EXPECT_TRUE(dir.exists("p/0002__high.txt.svg"));
    EXPECT_FALSE(dir.exists("p/0003__centre.txt.svg"));
    const std::string index = dir.read("p/index.html");
    EXPECT_NE(index.find("0002__high.txt.svg"), std::string::npos);
    EXPECT_EQ(index.find("centre.txt"), std::string::npos);
    EXPECT_EQ(r.summary["pictures"].integer(), 2);
    EXPECT_EQ(r.summary["flagged"]["gain_at_scan_edge"].integer(), 2);
}

// The first line says what ran, where, when and how; the last counts what
// happened. Times come as read: two files of 600.64 s real time each make a
// dead time the whole seconds would hide. The dose column says what it is.
TEST(HandDerivedReport, RunAndSummaryLinesDescribeTheRun) {
    ScratchDir dir;
    const std::string one = test_support::spectrum_text(600000000, 600640000, std::vector<long long>(1024, 1));
    dir.write("a.txt", one);
    dir.write("b.txt", one);
    dir.write("dose.txt", "1 0 0 0 1\n");  // the sievert-based table
    dir.write("config.txt", "none.cal\n+a.txt\n*b.txt\n*gone.txt\n");
    ReportRun r;
    r.run = run_assay_in(dir.path(), {"--report", "r.jsonl", "--dose-unit", "nSv/h", "--strict", "--threads", "2"});
    EXPECT_EQ(r.run.exit_status, 3);  // --strict: a skipped entry, and no method
    split_report(report_lines(dir.read("r.jsonl")), &r);

    const Json& run = r.run_line;
    EXPECT_EQ(run["schema_version"].integer(), 2);
    const std::string cmake = test_support::read_file(fs::path(ASSAY_SOURCE_DIR) / "CMakeLists.txt");
    std::smatch version;
    ASSERT_TRUE(std::regex_search(cmake, version, std::regex(R"(project\s*\(\s*assay\s+VERSION\s+([0-9.]+))")));
    EXPECT_EQ(run["program_version"].str(), version[1].str());
    EXPECT_TRUE(std::regex_match(run["start_time"].str(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << run["start_time"].str();
    // Absolute, and the scratch folder's (under Wine as a Windows path: Z:\tmp\...).
    const std::string where = run["working_directory"].str();
    const std::string folder = dir.path().filename().string();
    EXPECT_TRUE(where.front() == '/' || where.substr(1, 2) == ":\\") << where;
    EXPECT_EQ(where.substr(where.size() - std::min(where.size(), folder.size())), folder) << where;
    EXPECT_EQ(run["method_file"].str(), "none.cal");
    const Json& options = run["options"];
    EXPECT_EQ(options["threads"].integer(), 2);
    EXPECT_FALSE(options["straightforward"].boolean());
    EXPECT_EQ(options["report"].str(), "r.jsonl");
    EXPECT_TRUE(options["plot"].is_null());
    EXPECT_EQ(options["plot_select"].str(), "all");
    EXPECT_TRUE(options["strict"].boolean());
    EXPECT_EQ(options["dose_unit"].str(), "nSv/h");
    EXPECT_EQ(options["unknown_sigma"].f64(), 5.0);
    EXPECT_EQ(options["interference_p"].f64(), 0.001);

    ASSERT_EQ(r.lines.size(), 3u);
    const Json& evaluated = r.lines[1];
    EXPECT_EQ(evaluated["row"].integer(), 1);
    EXPECT_EQ(evaluated["real_time_s"].uinteger(), 1200u);
    EXPECT_EQ(evaluated["real_time_us"].uinteger(), 1201280000u);
    EXPECT_EQ(evaluated["live_time_us"].uinteger(), 1200000000u);
    // (1 - 1200 / 1201.28) * 100
    EXPECT_NEAR(evaluated["dead_time_percent"].f64(), 0.10655301012253929, 1e-12);
    EXPECT_EQ(evaluated["dose_quantity"].str(), "ambient dose equivalent rate");
    EXPECT_EQ(evaluated["dose_unit"].str(), "nSv/h");
    EXPECT_EQ(r.lines[2]["status"].str(), "skipped_missing");

    const Json& summary = r.summary;
    EXPECT_EQ(summary["entries"].integer(), 3);
    EXPECT_EQ(summary["evaluations"].integer(), 1);
    EXPECT_EQ(summary["failed_fits"].integer(), 0);
    EXPECT_EQ(summary["skipped_entries"].integer(), 1);
    EXPECT_TRUE(summary["dose_calibration_complete"].boolean());
    EXPECT_EQ(summary["exit_status"].integer(), 3);
}

// ---------------------------------------------------------------------------
// The checks against the fit's model on real CsI spectra
// (tests/data/real/suro256), with a method of the Cs-137 and Co-60 check
// sources over the office background. Known lines (keV) from the nuclide
// tables: every unknown peak lies within one FWHM of a line of what the
// sample holds, or of the natural background (Pb X-rays 75, K-40 1461, Bi-214
// 609 and 1764, Tl-208 2614). The fertiliser's K-40 line at the Co-60 ROIs'
// edge names Co-60; the genuine Co-60 + Cs-137 source has no unknown peak.

struct RealSample {
    const char* file;
    bool unknown;                      // whether unknown_found
    std::vector<std::string> interfered;  // exactly; {"?"}: either way
    std::vector<double> lines;         // keV
};

TEST(RealSpectraChecks, FlagsWhereTheMethodLacksANuclideAndNamesItsLines) {
    const fs::path data = fs::path(ASSAY_SOURCE_DIR) / "tests/data/real/suro256";
    ScratchDir dir;
    for (const auto& file : fs::directory_iterator(data)) fs::copy(file.path(), dir.path() / file.path().filename());
    const std::vector<RealSample> samples = {
        {"02_spectrum_background_office_1_hour.xml", false, {}, {}},
        {"23_spectrum_outside_grass_50_min.xml", false, {}, {}},
        {"29_spectrum_EG_3X_source_Cs-137.xml", false, {}, {}},
        {"33_spectrum_EG_3X_source_Co-60.xml", false, {}, {}},
        {"37_spectrum_EG_3X_source_Co-60_and_Cs-137.xml", false, {"?"}, {}},
        {"03_spectrum_potassium_fertilizer.xml", true, {"Co-60"}, {1461}},
        {"45_spectrum_EG_3X_source_Am-241.xml", true, {"?"}, {59.5}},
        {"67_spectrum_EG_3_source_Ba-133.xml", true, {"?"}, {81, 160, 276, 303, 356, 384}},
        {"75_spectrum_EG_3X_source_Co-57.xml", true, {"?"}, {122, 136}},
        {"81_spectrum_EG_3_source_Eu-152.xml", true, {"?"},
         {40, 122, 245, 344, 411, 444, 779, 867, 964, 1086, 1112, 1408}},
        {"05_spectrum_pitchblende-uraninite.xml", true, {"?"},
         {92, 186, 242, 295, 352, 609, 768, 1120, 1238, 1378, 1408, 1764, 2204}},
        {"61_spectrum_thorium_material.xml", true, {"?"},
         {84, 239, 338, 583, 727, 795, 835, 911, 969, 1588, 1630}},
        {"11_spectrum_radon_bottle_1hour.xml", true, {"?"},
         {87, 242, 295, 352, 609, 1120, 1238, 1378, 1408, 1764, 2204}},
        {"04_spectrum_uranium_glass.xml", true, {"?"}, {63, 92, 766, 1001}},
        {"53_spectrum_granodiorite.xml", true, {"?"}, {87, 239, 352, 583, 911}},
    };
    const std::vector<double> natural = {75, 609, 1461, 1764, 2614};
    std::string config = "suro.cal\n";
    for (const RealSample& s : samples) config += std::string("*") + s.file + "\n";
    dir.write("suro.cal", test_support::suro_method());
    dir.write("config.txt", config);
    const ReportRun r = run_with_report(dir);
    ASSERT_EQ(r.lines.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        const RealSample& s = samples[i];
        const Json& line = r.lines[i];
        SCOPED_TRACE(s.file);
        const Json& peaks = line["unknown_peaks"];
        EXPECT_EQ(line["unknown_found"].boolean(), s.unknown);
        EXPECT_EQ(peaks.size() > 0, s.unknown);
        if (s.interfered != std::vector<std::string>{"?"}) {
            EXPECT_EQ(strings(line["interfered"]), s.interfered);
        }
        const bool interfered = line["interfered"].size() > 0;
        EXPECT_EQ(s.unknown || interfered, !s.lines.empty());
        // Every peak near a known line; the most significant near one of the sample's own.
        double strongest = 0.0;
        for (size_t p = 0; p < peaks.size(); ++p) {
            const double energy = peaks[p]["energy_kev"].f64();
            const double fwhm = peaks[p]["fwhm_kev"].f64();
            double nearest = INFINITY;
            double own = INFINITY;
            for (const double known : s.lines) own = std::min(own, std::fabs(energy - known));
            for (const double known : natural) nearest = std::min(nearest, std::fabs(energy - known));
            EXPECT_LE(std::min(nearest, own), fwhm) << energy << " keV";
            if (peaks[p]["significance"].f64() > strongest) {
                strongest = peaks[p]["significance"].f64();
                EXPECT_LE(own, fwhm) << energy << " keV";
            }
        }
    }
}

// With unknown peaks out of reach only interference flags the fertiliser: its
// picture alone is drawn with --plot-select flagged.
TEST(RealSpectraChecks, FlaggedPicturesCountInterference) {
    const fs::path data = fs::path(ASSAY_SOURCE_DIR) / "tests/data/real/suro256";
    ScratchDir dir;
    for (const auto& file : fs::directory_iterator(data)) fs::copy(file.path(), dir.path() / file.path().filename());
    dir.write("suro.cal", test_support::suro_method());
    dir.write("config.txt", "suro.cal\n*02_spectrum_background_office_1_hour.xml\n*03_spectrum_potassium_fertilizer.xml\n");
    const ReportRun r =
        run_with_report(dir, {"--unknown-sigma", "100000", "--plot", "p", "--plot-select", "flagged"});
    EXPECT_EQ(r.run_line["options"]["unknown_sigma"].f64(), 100000.0);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_TRUE(r.lines[0]["picture"].is_null());
    EXPECT_FALSE(r.lines[1]["unknown_found"].boolean());
    EXPECT_EQ(strings(r.lines[1]["interfered"]), std::vector<std::string>{"Co-60"});
    ASSERT_FALSE(r.lines[1]["picture"].is_null());
    const std::string svg = dir.read("p/" + r.lines[1]["picture"].str());
    EXPECT_NE(svg.find("INTERFERENCE Co-60"), std::string::npos);
    EXPECT_NE(svg.find("id=\"interference\""), std::string::npos);
    EXPECT_EQ(r.summary["flagged"]["interfered"].integer(), 1);
    EXPECT_NE(dir.read("p/index.html").find("interference: Co-60"), std::string::npos);
}

}  // namespace

namespace {

// The method's metadata file beside the bundled example's method: none, a
// sound one (its SHA-256 from sha256sum) and one naming a component the
// method lacks. The table is the same bytes in all three; the sound file
// puts (0.03 activity)^2 of Cs-137's squared uncertainty into its
// calibration share and nothing into the others'; the bad one is said on
// standard error, leaves the run's uncertainties and detection limits null
// and makes --strict end with 3.
TEST(MetadataReport, CalibrationUncertaintyFromTheFileBesideTheMethod) {
    struct Case {
        const char* toml;  // null: no file
        const char* sha256;
        const char* diagnostic;
        int strict_status;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, 0},
        {"[components.\"Cs-137\"]\ncalibration_uncertainty = 0.03\n",
         "dd461cc82f3e0dc118bde6e746f5121c102712695b8ab2b9ab4bb54e160f4395", nullptr, 0},
        {"[components.Cs-134]\ncalibration_uncertainty = 0.03\n", nullptr,
         "envmon.cal.toml:1: component 'Cs-134' is not in the method (it has 'K-40', 'Cs-137', 'Ra-226', "
         "'Th-232', 'I-131'); the run's uncertainties and detection limits are not given\n",
         3},
    };
    std::string table;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.toml == nullptr ? "none" : c.toml);
        ScratchDir dir;
        fs::copy(fs::path(ASSAY_SOURCE_DIR) / "examples" / "demo", dir.path(), fs::copy_options::recursive);
        if (c.toml != nullptr) dir.write("envmon.cal.toml", c.toml);
        ReportRun r;
        r.run = run_assay_in(dir.path(), {"--report", "r.jsonl", "--strict"});
        split_report(report_lines(dir.read("r.jsonl")), &r);
        EXPECT_EQ(r.run.exit_status, c.strict_status);
        if (c.diagnostic != nullptr) {
            EXPECT_NE(r.run.err.find(c.diagnostic), std::string::npos) << r.run.err;
        }
        if (table.empty()) table = dir.read("result.txt");
        EXPECT_EQ(dir.read("result.txt"), table);
        if (c.toml == nullptr) {
            EXPECT_TRUE(r.run_line["metadata_file"].is_null());
        } else {
            EXPECT_EQ(r.run_line["metadata_file"].str(), "envmon.cal.toml");
        }
        if (c.sha256 != nullptr) {
            EXPECT_EQ(r.run_line["metadata_sha256"].str(), c.sha256);
        }
        EXPECT_EQ(r.run_line["options"]["coverage"].f64(), 0.95);
        const auto fallout = std::find_if(r.lines.begin(), r.lines.end(),
                                          [](const Json& line) { return line["entry"].str() == "*fallout.txt"; });
        ASSERT_NE(fallout, r.lines.end());
        const Json& components = (*fallout)["components"];
        for (size_t i = 0; i < components.size(); ++i) {
            const Json& component = components[i];
            const bool cs = component["name"].str() == "Cs-137";
            SCOPED_TRACE(component["name"].str());
            if (c.diagnostic != nullptr) {
                EXPECT_TRUE(component["uncertainty"].is_null() && component["uncertainty_budget"].is_null() &&
                            component["coverage_interval"].is_null() && component["detection_limit"].is_null());
                EXPECT_EQ(component["detection_limit_missing"].str(), "calibration_uncertainty_unknown");
                EXPECT_GT(component["decision_threshold"].f64(), 0.0);
                continue;
            }
            const double u = component["uncertainty"].f64();
            const Json& budget = component["uncertainty_budget"];
            EXPECT_NEAR(budget["counting"].f64() + budget["standards"].f64() + budget["calibration"].f64(), 1.0, 1e-12);
            const double calibration = c.toml != nullptr && cs ? 0.03 * component["activity"].f64() : 0.0;
            EXPECT_NEAR(budget["calibration"].f64() * u * u, calibration * calibration, 1e-6 * u * u);
            EXPECT_TRUE(component["detection_limit_missing"].is_null());
            // Detected with y >> u: the interval is y -+ 1.96 u.
            const double y = component["activity"].f64();
            EXPECT_NEAR(component["coverage_interval"][1].f64(), y + 1.959963984540054 * u, 1e-5 * y);
        }
    }
}

}  // namespace
