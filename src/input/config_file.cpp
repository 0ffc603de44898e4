#include "input/config_file.h"

#include <cerrno>

#include "core/expected.h"

#include "input/scan.h"

Entry classify_entry(std::string token) {
    Entry entry;
    const char first = token.empty() ? '\0' : token[0];
    entry.kind = first == '^'   ? EntryKind::weight
                 : first == '+' ? EntryKind::add
                 : first == '*' ? EntryKind::evaluate
                                : EntryKind::plain;
    entry.rest = entry.kind == EntryKind::plain ? token : token.substr(1);
    entry.token = std::move(token);
    return entry;
}

bool ConfigReader::next(std::string* token) {
    token->clear();
    int c = 0;
    errno = 0;
    while ((c = std::getc(file_)) != EOF && is_space(c)) {
    }
    while (c != EOF && !is_space(c)) {
        token->push_back(static_cast<char>(c));
        c = std::getc(file_);
    }
    if (c == EOF && std::ferror(file_) && !failed_) {
        failed_ = true;
        error_ = system_error_text(errno);
    }
    return !token->empty();
}
