#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace test_support {

namespace fs = std::filesystem;

std::string assay_program() {
    const char* chosen = std::getenv("ASSAY_TEST_EXE");
    return chosen != nullptr && *chosen != '\0' ? chosen : ASSAY_EXE;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "assay-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // A test may have taken permissions away; give them back before removing.
    // Symbolic links are left alone: their targets are not ours.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_symlink(ignored)) continue;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + name);
}

std::string ScratchDir::read(const std::string& name) const { return read_file(path_ / name); }

bool ScratchDir::exists(const std::string& name) const { return fs::exists(path_ / name); }

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const fs::path& directory) {
    RunResult result;
    char out_name[] = "/tmp/assay-out-XXXXXX";
    char err_name[] = "/tmp/assay-err-XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");

    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(directory.c_str()) != 0) _exit(127);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    close(out_fd);
    close(err_fd);
    result.out = read_file(out_name);
    result.err = read_file(err_name);
    unlink(out_name);
    unlink(err_name);
    return result;
}

RunResult run_assay_in(const fs::path& directory, const std::vector<std::string>& args) {
    RunResult result = run_program(assay_program(), args, directory);
    // The closing summary has tests of its own; the others see the rest.
    const std::string marker = "assay: summary: ";
    const size_t at = result.err.rfind(marker);
    if (at != std::string::npos && (at == 0 || result.err[at - 1] == '\n') &&
        result.err.find('\n', at) == result.err.size() - 1) {
        result.summary = result.err.substr(at);
        result.err.erase(at);
    }
    return result;
}

namespace {

// Starts `program` in `directory` with standard input from /dev/null and the
// two output streams on the given descriptors.
pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const fs::path& directory, int out_fd, int err_fd,
                    const Environment& environment = {}) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(directory.c_str()) != 0) _exit(127);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0) throw std::runtime_error("fork failed");
    return pid;
}

// Counts the line ends of a file that only grows, reading each byte once.
class LineEndCounter {
public:
    explicit LineEndCounter(fs::path path) : path_(std::move(path)) {}
    size_t update() {
        std::ifstream in(path_, std::ios::binary);
        if (!in) return count_;
        in.seekg(static_cast<std::streamoff>(offset_));
        char buffer[1 << 16];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            const auto got = static_cast<size_t>(in.gcount());
            count_ += static_cast<size_t>(std::count(buffer, buffer + got, '\n'));
            offset_ += got;
        }
        return count_;
    }

private:
    fs::path path_;
    size_t offset_ = 0;
    size_t count_ = 0;
};

// VmHWM of process `pid` in KiB once it runs `program` (after its exec), else -1.
long peak_rss_after_exec(pid_t pid, const fs::path& program) {
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    std::error_code error;
    // The executable is looked at first: once it is the program, every later
    // read of the status belongs to the program, since exec is not undone.
    const fs::path exe = fs::read_symlink(proc / "exe", error);
    if (error || exe != program) return -1;
    std::ifstream status(proc / "status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

MeasuredRun run_program_measured(const std::string& program, const std::vector<std::string>& args,
                                 const fs::path& directory, const Environment& environment) {
    MeasuredRun measured;
    char out_name[] = "/tmp/assay-out-XXXXXX";
    char err_name[] = "/tmp/assay-err-XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");

    std::error_code error;
    const fs::path canonical_program = fs::canonical(program, error);
    pid_t pid = start_program(program, args, directory, out_fd, err_fd, environment);
    int status = 0;
    bool ended_here = false;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended < 0) break;
        if (ended == pid) {
            ended_here = true;
            break;
        }
        const long sample = peak_rss_after_exec(pid, canonical_program);
        if (sample >= 0) {
            measured.peak_rss_kib = std::max(measured.peak_rss_kib, sample);
            ++measured.samples;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (ended_here && WIFEXITED(status)) measured.run.exit_status = WEXITSTATUS(status);
    close(out_fd);
    close(err_fd);
    measured.run.out = read_file(out_name);
    measured.run.err = read_file(err_name);
    unlink(out_name);
    unlink(err_name);
    return measured;
}

MeasuredRun run_assay_measured_in(const fs::path& directory, const std::vector<std::string>& args,
                                  const Environment& environment) {
    return run_program_measured(assay_program(), args, directory, environment);
}

KilledRun run_assay_killed_in(const fs::path& directory, const std::string& watched, size_t lines,
                              double timeout_seconds, const std::vector<std::string>& args) {
    KilledRun outcome;
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0) throw std::runtime_error("cannot open /dev/null");
    pid_t pid = start_program(assay_program(), args, directory, null_fd, null_fd);
    close(null_fd);

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(timeout_seconds);
    LineEndCounter counter(directory / watched);
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
            outcome.lines_seen = counter.update();
            return outcome;
        }
        outcome.lines_seen = counter.update();
        if (outcome.lines_seen >= lines || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
        outcome.killed = true;
    } else if (WIFEXITED(status)) {
        outcome.exit_status = WEXITSTATUS(status);
    }
    return outcome;
}

std::string spectrum_text(unsigned long long live_time_us, unsigned long long real_time_us,
                          const std::vector<long long>& counts) {
    std::string text = std::to_string(live_time_us) + "\n" + std::to_string(real_time_us) + "\n";
    for (size_t i = 0; i < 1024; ++i) {
        text += std::to_string(i < counts.size() ? counts[i] : 0);
        text += "\n";
    }
    text += "0 0 0 0\n";
    return text;
}

std::string counts_text(const std::vector<long long>& counts) {
    std::string text;
    for (long long count : counts) text += std::to_string(count) + "\n";
    return text;
}

std::string method_text(const std::string& title, const std::vector<MethodComponent>& components,
                        const std::string& background) {
    const size_t n = components.size();
    std::string text = title + "\n";
    for (const MethodComponent& component : components) text += component.name + " rel\n";
    // An empty line ends the component list, and the character after it is
    // taken with it: a second one keeps the standards table whole.
    text += "\n\n";
    for (size_t row = 0; row < 7; ++row) {  // the standards table, unit activities, and the strip line
        for (size_t k = 0; k < 6; ++k) text += std::string(k ? " " : "") + (row == k && row < n ? "1" : "0");
        text += "\n";
    }
    for (size_t i = 0; i < 6; ++i) {
        text += i < n ? std::to_string(components[i].roi_first) + " " + std::to_string(components[i].roi_end)
                      : std::string("0 0");
        text += " 0 0 0 0 0 0 0 0 0 0\n";
    }
    text += "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0\n1#" + background + "\n";
    for (size_t i = 0; i < 6; ++i) text += i < n ? "1#" + components[i].standard + "\n" : std::string("0\n");
    return text + "1#" + background + "\n";
}

std::string suro_method() {
    return method_text("suro",
                       {{"Cs-137", 180, 216, "29_spectrum_EG_3X_source_Cs-137.xml"},
                        {"Co-60", 318, 402, "33_spectrum_EG_3X_source_Co-60.xml"}},
                       "02_spectrum_background_office_1_hour.xml");
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

ByteStream::ByteStream(std::string bytes) : bytes_(std::move(bytes)) {
    // fmemopen wants a writable buffer, and none at all for an empty text.
    file_ = fmemopen(bytes_.empty() ? nullptr : bytes_.data(), bytes_.size(), "r");
}

ByteStream::~ByteStream() {
    if (file_ != nullptr) std::fclose(file_);
}

}  // namespace test_support
