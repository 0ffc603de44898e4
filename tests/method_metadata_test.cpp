// The method's metadata file: what a sound file gives, and the exact message
// for each kind of malformed file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "input/method_metadata.h"

namespace {

const std::vector<std::string> kNames = {"Cs-137", "K-40", "Th-232"};

TEST(MethodMetadata, SoundFilesGiveTheirValuesAndDefaults) {
    struct Case {
        const char* text;
        double expected[3];
    };
    const Case cases[] = {
        {"", {0, 0, 0}},
        {"[components.\"Cs-137\"]\ncalibration_uncertainty = 0.03   # certificate\n", {0.03, 0, 0}},
        {"[components]\nK-40 = { calibration_uncertainty = 0.05 }\n\"Th-232\".calibration_uncertainty = 0\n",
         {0, 0.05, 0}},
        {"[components.Th-232]\ncalibration_uncertainty = 0.999\n[components.Cs-137]\n", {0, 0, 0.999}},
    };
    for (const Case& c : cases) {
        const MethodMetadata metadata = parse_method_metadata(c.text, "m.toml", kNames);
        EXPECT_TRUE(metadata.problems.empty()) << c.text;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(metadata.component[i].calibration_uncertainty, c.expected[i]) << c.text;
    }
}

TEST(MethodMetadata, MalformedFilesSayWhereAndWhat) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[components.\"Cs-137\"\ncalibration_uncertainty = 0.03\n",
         "m.toml:1: Error while parsing table header: expected ']', saw '\\n'"},
        {"# remarks\nhalf_lives = 3\n", "m.toml:2: unknown key 'half_lives' (known: components)"},
        {"components = 0.03\n", "m.toml:1: 'components' is not a table of components"},
        {"[components]\nK-40 = 0.05\n", "m.toml:2: component 'K-40' is not a table"},
        {"[components.Cs-134]\ncalibration_uncertainty = 0.03\n",
         "m.toml:1: component 'Cs-134' is not in the method (it has 'Cs-137', 'K-40', 'Th-232')"},
        {"[components.K-40]\nhalf_life = 3\n",
         "m.toml:2: unknown key 'half_life' in component 'K-40' (known: calibration_uncertainty)"},
        {"[components.K-40]\ncalibration_uncertainty = \"3 %\"\n",
         "m.toml:2: calibration_uncertainty of component 'K-40' is not a number"},
        {"[components.K-40]\ncalibration_uncertainty = nan\n",
         "m.toml:2: calibration_uncertainty of component 'K-40' is not finite"},
        {"[components.K-40]\ncalibration_uncertainty = -inf\n",
         "m.toml:2: calibration_uncertainty of component 'K-40' is not finite"},
        {"[components.K-40]\ncalibration_uncertainty = -0.01\n",
         "m.toml:2: calibration_uncertainty of component 'K-40' is negative (-0.01)"},
        {"[components.K-40]\ncalibration_uncertainty = 3\n",
         "m.toml:2: calibration_uncertainty of component 'K-40' is 3; a relative uncertainty is below 1"},
        {"[components.K-40]\ncalibration_uncertainty = 0.1\ncalibration_uncertainty = 0.2\n",
         "m.toml:3: Error while parsing key-value pair: cannot redefine existing floating-point "
         "'calibration_uncertainty'"},
        // Characters the TOML library once mishandled (U+0334, U+FEFB) where
        // no character but white space may stand.
        {"[comp\t\xEF\xBB\xBBnt[c", "m.toml:1: Error while parsing table header: expected ']', saw '\xEF\xBB\xBB'"},
        {"components\xCC\xB4 = 1\n", "m.toml:1: Error while parsing key-value pair: expected '=', saw '\xCC\xB4'"},
    };
    for (const Case& c : cases) {
        const MethodMetadata metadata = parse_method_metadata(c.text, "m.toml", kNames);
        ASSERT_EQ(metadata.problems.size(), 1u) << c.text;
        EXPECT_EQ(metadata_message(metadata.problems[0]), c.message);
    }
    // Any character in comments, strings and quoted names.
    const MethodMetadata accented = parse_method_metadata(
        "# 2\u03c3 of the certificate \u00b5\n[components.\"Ra-226\u00e9\u0334\"]\ncalibration_uncertainty = 0.02 "
        "# \u00b1 \ufefb\n",
        "m.toml", {"Ra-226\u00e9\u0334"});
    EXPECT_TRUE(accented.problems.empty()) << metadata_message(accented.problems.at(0));
    EXPECT_EQ(accented.component[0].calibration_uncertainty, 0.02);
    // Every problem is said, not only the first.
    const MethodMetadata two = parse_method_metadata(
        "[components.K-40]\ncalibration_uncertainty = 2\nunit = \"Bq\"\n", "m.toml", kNames);
    EXPECT_EQ(two.problems.size(), 2u);
}

// Beside the method file: none at all is no problem; a directory in its place
// cannot be read (a file read is checked end to end with the report).
TEST(MethodMetadata, FileBesideTheMethod) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "assay_method_metadata_test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string method = (folder / "envmon.cal").string();
    EXPECT_EQ(metadata_path(method), method + ".toml");
    const MethodMetadata none = read_method_metadata(method, kNames);
    EXPECT_TRUE(none.file.empty() && none.sha256.empty() && none.problems.empty());

    std::filesystem::create_directory(method + ".toml");
    const MethodMetadata directory = read_method_metadata(method, kNames);
    ASSERT_EQ(directory.problems.size(), 1u);
    EXPECT_EQ(directory.problems[0].line, 0);
    EXPECT_EQ(directory.problems[0].problem.rfind("cannot be read: ", 0), 0u);
    std::filesystem::remove(method + ".toml");
    std::filesystem::remove_all(folder);
}

}  // namespace
