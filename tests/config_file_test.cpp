// The run configuration's tokens and the kinds of entry they make.
#include "input/config_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test_support::ByteStream;

// Only the first character makes the kind; the rest is passed on as written.
TEST(ClassifyEntry, FirstCharacterMakesTheKind) {
    struct Case {
        std::string token;
        EntryKind kind;
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"^0.5", EntryKind::weight, "0.5"},
        {"+a.txt", EntryKind::add, "a.txt"},
        {"*b.txt", EntryKind::evaluate, "b.txt"},
        {"c.txt", EntryKind::plain, "c.txt"},
        {"^", EntryKind::weight, ""},
        {"++a.txt", EntryKind::add, "+a.txt"},
        {"a*b", EntryKind::plain, "a*b"},
        {"#bg.txt", EntryKind::plain, "#bg.txt"},
        {"", EntryKind::plain, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token);
        const Entry entry = classify_entry(c.token);
        EXPECT_EQ(entry.token, c.token);
        EXPECT_EQ(entry.kind, c.kind);
        EXPECT_EQ(entry.rest, c.rest);
    }
}

std::vector<std::string> all_tokens(ConfigReader& reader) {
    std::vector<std::string> tokens;
    for (std::string token; reader.next(&token);) tokens.push_back(token);
    return tokens;
}

// Line breaks carry no meaning: every byte the C locale takes for white space
// separates tokens, and every other byte, high bytes and NUL included, belongs
// to one. The last token needs no line end.
TEST(ConfigReader, TokensAreSeparatedByAnyWhiteSpace) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> tokens;
    };
    const std::vector<Case> cases = {
        {"LF line ends", "m.txt\n+a.txt\n*a.txt\n", {"m.txt", "+a.txt", "*a.txt"}},
        {"CR LF line ends", "m.txt\r\n^2\r\n*a.txt\r\n", {"m.txt", "^2", "*a.txt"}},
        {"CR alone", "m.txt\r*a.txt\r", {"m.txt", "*a.txt"}},
        {"every kind of white space", " \t\v\fm.txt \t\n\v\f\r*a.txt  ", {"m.txt", "*a.txt"}},
        {"no line end after the last token", "m.txt *a.txt", {"m.txt", "*a.txt"}},
        {"high bytes", "\xff\xfe *\xe9.txt", {"\xff\xfe", "*\xe9.txt"}},
        {"NUL and ^Z inside tokens", std::string("a\0b c\x1a d", 8), {std::string("a\0b", 3), "c\x1a", "d"}},
        {"empty file", "", {}},
        {"white space only", " \r\n\t\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ByteStream stream(c.bytes);
        ASSERT_NE(stream.file(), nullptr);
        ConfigReader reader(stream.file());
        EXPECT_EQ(all_tokens(reader), c.tokens);
        std::string token;
        EXPECT_FALSE(reader.next(&token)) << "the end stays the end";
        EXPECT_FALSE(reader.failed());
    }
}

// A read error is told apart from the end: a directory opens for reading on
// POSIX systems, and the first read of it fails.
TEST(ConfigReader, ReadErrorEndsTheTokensAndIsTold) {
    test_support::ScratchDir dir;
    struct Close {
        void operator()(FILE* file) const { std::fclose(file); }
    };
    const std::unique_ptr<FILE, Close> file(std::fopen(dir.path().c_str(), "rb"));
    ASSERT_NE(file, nullptr);
    ConfigReader reader(file.get());
    std::string token;
    EXPECT_FALSE(reader.next(&token));
    EXPECT_TRUE(reader.failed());
    EXPECT_NE(reader.error(), "");
}

}  // namespace
