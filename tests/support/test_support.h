// Helpers shared by the tests: scratch directories, files, and running the
// real executable in a working directory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// A fresh empty directory under the system's temporary folder, removed with
// everything in it when the object goes out of scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` exactly (binary) to the file `name` inside the directory.
    void write(const std::string& name, const std::string& bytes) const;
    // The bytes of the file `name` inside the directory; empty if it is absent.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// What a run of the program produced.
struct RunResult {
    int exit_status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;       // standard output
    std::string err;       // standard error, but for the closing summary line
    std::string summary;   // the closing "assay: summary: ..." line of run_assay_in, if any
};

// Runs `program` with `args` in `directory`, capturing both output streams.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& directory);

// The program the end-to-end tests run: $ASSAY_TEST_EXE when set (the
// Windows run points it at assay.exe under Wine), else the built assay.
std::string assay_program();

// Runs the built assay executable in `directory`; a closing summary line on
// standard error is moved from `err` to `summary`.
RunResult run_assay_in(const std::filesystem::path& directory,
                       const std::vector<std::string>& args = {});

// A run of the program together with the peak resident memory of the program
// itself, in KiB: the largest VmHWM of /proc/<pid>/status sampled while it ran
// (every few hundred microseconds, from its exec on; -1 when no sample was
// taken). ru_maxrss of the child would not do: it also counts the copy of this
// test process that the child was until its exec.
struct MeasuredRun {
    RunResult run;
    long peak_rss_kib = -1;
    int samples = 0;  // how many samples were taken
};

// Environment variables set for a child process only: (name, value).
using Environment = std::vector<std::pair<std::string, std::string>>;

// As run_program, and also measures the child's peak memory. `environment` is
// set in the child in addition to what it inherits.
MeasuredRun run_program_measured(const std::string& program, const std::vector<std::string>& args,
                                 const std::filesystem::path& directory,
                                 const Environment& environment = {});

// Runs the built assay executable in `directory` and measures its peak memory.
MeasuredRun run_assay_measured_in(const std::filesystem::path& directory,
                                  const std::vector<std::string>& args = {},
                                  const Environment& environment = {});

// How a run that was to be killed part-way went.
struct KilledRun {
    bool killed = false;    // true when SIGKILL ended it; false when it ended first
    int exit_status = -1;   // exit status when it ended on its own, else -1
    size_t lines_seen = 0;  // line ends in the watched file when the kill was sent
};

// Starts the built assay executable in `directory` (standard output and error
// discarded), waits until the file `watched` in that directory holds at least
// `lines` line ends, and kills the process with SIGKILL at once. Gives up and
// kills it after `timeout_seconds` as well (then lines_seen tells the shortfall).
// `args` are the program's options.
KilledRun run_assay_killed_in(const std::filesystem::path& directory, const std::string& watched,
                              size_t lines, double timeout_seconds = 120.0,
                              const std::vector<std::string>& args = {});

// Bytes of any file, empty if it cannot be read.
std::string read_file(const std::filesystem::path& path);

// A spectrum file in the program's format: times in microseconds, 1024 counts
// one per line, and "0 0 0 0" as trailing reals.
std::string spectrum_text(unsigned long long live_time_us, unsigned long long real_time_us,
                          const std::vector<long long>& counts);

// Each value on a line of its own, as the counts of a spectrum stand.
std::string counts_text(const std::vector<long long>& counts);

// A method of up to six components in unit "rel", each with one ROI [first,
// end) in thirds of a channel and the file of its standard spectrum at unit
// activity; `background` is the background under every standard and the
// local background. No factors or limits.
struct MethodComponent {
    std::string name;
    int roi_first;
    int roi_end;
    std::string standard;
};
std::string method_text(const std::string& title, const std::vector<MethodComponent>& components,
                        const std::string& background);

// The method of the RadiaCode-101 check sources in tests/data/real/suro256:
// Cs-137 in channels 60..72 and Co-60 in 106..134 (thirds 180..216 and
// 318..402), over the office background.
std::string suro_method();

// `text` with a CR before every LF, as the files come from Windows machines.
std::string crlf(const std::string& text);

// The lines of `text` without their LF; a last line without one counts too.
std::vector<std::string> lines_of(const std::string& text);

// A read-only stream over a copy of `bytes`, NUL bytes included, for the C
// library's own scanning and for readers that take a FILE*. Closed with the
// object; file() is null when the stream could not be opened.
class ByteStream {
public:
    explicit ByteStream(std::string bytes);
    ~ByteStream();
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    FILE* file() const { return file_; }

private:
    std::string bytes_;
    FILE* file_ = nullptr;
};

}  // namespace test_support
