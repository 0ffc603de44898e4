// The core helpers: format() writes every value as the Linux C library does,
// and a NaN by its sign bit whatever the platform's library would do.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/expected.h"
#include "core/text.h"

namespace {

TEST(Format, NanIsWrittenByItsSignPaddedLikeAWord) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {format("%f", nan), "nan"},
        {format("%f", -nan), "-nan"},
        {format("%7.2f", -nan), "   -nan"},
        {format("%7.2f", nan), "    nan"},
        {format("%-6.1f|", -nan), "-nan  |"},
        {format("%+f %+f", nan, -nan), "+nan -nan"},
        {format("% f", nan), " nan"},
        {format("%4.1f\t%4.2f", -nan, nan), "-nan\t nan"},
        {format("%E %G", -nan, nan), "-NAN NAN"},
        {format("%*.*f", 6, 2, -nan), "  -nan"},
        {format("%Lf", static_cast<long double>(-nan)), "-nan"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(Format, EveryOtherValueAsPrintfWritesIt) {
    EXPECT_EQ(format("%7.2f\t%7.4f\t%10.7f", 1.005f, -0.5, 0.0), "   1.00\t-0.5000\t 0.0000000");
    EXPECT_EQ(format("%d %llu %s%%", -3, 18446744073709551615ULL, "x"), "-3 18446744073709551615 x%");
    EXPECT_EQ(format("%f %f", HUGE_VAL, -HUGE_VAL), "inf -inf");
    EXPECT_EQ(format("%g|%*d|%.3s", 1e-5, 4, 7, "abcdef"), "1e-05|   7|abc");
    EXPECT_EQ(format("no conversion"), "no conversion");
}

TEST(Expected, HoldsAValueOrItsFailure) {
    const Expected<int> value = 7;
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(*value, 7);
    const Expected<int> failure = Failure{"cannot be opened: No such file or directory"};
    ASSERT_FALSE(failure);
    EXPECT_EQ(failure.error().message, "cannot be opened: No such file or directory");
    const Status done;
    EXPECT_TRUE(done.ok());
    const Status failed = Failure{"write failed"};
    EXPECT_EQ(failed.error(), "write failed");
    EXPECT_EQ(system_error_text(0), "unknown error");
}

}  // namespace
