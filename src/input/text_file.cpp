#include "input/text_file.h"

#include <cerrno>
#include <cstdio>

#include "core/file.h"

Expected<std::string> read_file_bytes(const std::string& path) {
    Expected<File> file = open_file(path, "rb");
    if (!file) return file.error();
    // Read straight into our buffer, and stop at the first short read: a
    // spectrum then costs an open, two reads and a close, where a buffered
    // stream adds a status query and a read at the end.
    std::setvbuf(file->get(), nullptr, _IONBF, 0);
    std::string bytes;
    char buffer[1 << 16];
    size_t got = 0;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file->get())) > 0) {
        if (bytes.size() + got > kMaxInputFileBytes) return Failure{system_error_text(EFBIG)};
        bytes.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    if (std::ferror(file->get())) return Failure{system_error_text(errno)};
    return bytes;
}

std::string fold_line_ends(std::string bytes) {
    size_t out = bytes.find('\r');
    if (out == std::string::npos) return bytes;
    for (size_t in = out; in < bytes.size(); ++in) {
        if (bytes[in] == '\r' && in + 1 < bytes.size() && bytes[in + 1] == '\n') continue;
        bytes[out++] = bytes[in];
    }
    bytes.resize(out);
    return bytes;
}

Expected<std::string> load_text_file(const std::string& path) {
    Expected<std::string> bytes = read_file_bytes(path);
    if (!bytes) return bytes;
    return fold_line_ends(std::move(*bytes));
}
