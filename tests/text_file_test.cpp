// Whole input files: CR LF folded to LF and nothing else changed, and the
// reason of a failure as a value.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/text_file.h"
#include "test_support.h"

namespace {

using test_support::ScratchDir;

TEST(LoadTextFile, FoldsEveryCrLfPairAndNothingElse) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    std::string many, many_folded;
    for (int i = 0; i < 40000; ++i) {  // across the read buffer's boundaries
        many += std::to_string(i) + "\r\n";
        many_folded += std::to_string(i) + "\n";
    }
    const std::vector<Case> cases = {
        {"a\r\nb\r\n\r\nc", "a\nb\n\nc"},
        // A lone CR stays, also at the end and before another CR; CR CR LF
        // becomes CR LF, as a text-mode read makes it; LF CR stays.
        {"a\rb\r\r\nc\n\rd\r", "a\rb\r\nc\n\rd\r"},
        {std::string("1\0002\xff\r\n", 6), std::string("1\0002\xff\n", 5)},
        {"", ""},
        {many, many_folded},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        dir.write("f.txt", c.bytes);
        const Expected<std::string> text = load_text_file((dir.path() / "f.txt").string());
        ASSERT_TRUE(text.ok()) << text.error().message;
        EXPECT_EQ(*text, c.text);
        const Expected<std::string> bytes = read_file_bytes((dir.path() / "f.txt").string());
        ASSERT_TRUE(bytes.ok());
        EXPECT_EQ(*bytes, c.bytes);
    }
}

TEST(LoadTextFile, FailureSaysWhy) {
    ScratchDir dir;
    const Expected<std::string> missing = load_text_file((dir.path() / "absent.txt").string());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message, "No such file or directory");
    const Expected<std::string> directory = load_text_file(dir.path().string());
    ASSERT_FALSE(directory.ok());
    EXPECT_NE(directory.error().message, "");
    EXPECT_NE(directory.error().message, "unknown error");
}

}  // namespace
