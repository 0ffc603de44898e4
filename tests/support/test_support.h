// Helpers shared by the tests: scratch directories, files, and running the
// real executable in a working directory.
#pragma once

#include <filesystem>
#include <string>
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
    std::string err;       // standard error
};

// Runs `program` with `args` in `directory`, capturing both output streams.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& directory);

// Runs the built assay executable in `directory`.
RunResult run_assay_in(const std::filesystem::path& directory,
                       const std::vector<std::string>& args = {});

// Bytes of any file, empty if it cannot be read.
std::string read_file(const std::filesystem::path& path);

// A spectrum file in the program's format: times in microseconds, 1024 counts
// one per line, and "0 0 0 0" as trailing reals.
std::string spectrum_text(unsigned long long live_time_us, unsigned long long real_time_us,
                          const std::vector<long long>& counts);

}  // namespace test_support
