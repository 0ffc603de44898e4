#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace test_support {

namespace fs = std::filesystem;

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
    return run_program(ASSAY_EXE, args, directory);
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

}  // namespace test_support
