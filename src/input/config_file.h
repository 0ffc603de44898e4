// The run configuration, config.txt: the method file name, then entries.
//
// In: a stream of white-space-separated tokens (line breaks carry no
// meaning), read one at a time so that a long configuration is never held
// whole.
// Out: each token, and for an entry its kind and the file name or weight
// text it carries.
// Failure: a read error of the stream ends the tokens; the caller asks
// failed() to tell it from the end.
#pragma once

#include <cstdio>
#include <string>

// The kinds of entry, by the token's first character.
enum class EntryKind {
    weight,    // "^w": sets the weight factor
    add,       // "+name": adds the spectrum to the sum
    evaluate,  // "*name": adds it, evaluates the sum and writes a row
    plain,     // "name": loads the spectrum as the sum
};

struct Entry {
    std::string token;  // as written
    EntryKind kind = EntryKind::plain;
    std::string rest;   // the token without its kind character (all of it for a plain entry)
};

Entry classify_entry(std::string token);

// The token reader of an open configuration file (binary, so that no
// platform's text mode cuts the file short at a ^Z; CR is white space).
class ConfigReader {
public:
    explicit ConfigReader(FILE* file) : file_(file) {}
    // The next white-space-free word; false at the end (or on a read error).
    bool next(std::string* token);
    // Whether the tokens ended by a read error, and the system's words for it.
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

private:
    FILE* file_;
    bool failed_ = false;
    std::string error_;
};
