// Tests of the dose-rate module.
//
// Expected values: the table checks come from the published coefficient
// tables, the dose values from the worked example or from a step-by-step
// emulation of the algorithm in Python, with each single-precision
// operation rounded to float32 through struct.pack('f'). No expected value was
// taken from this implementation.
#include "dose/dose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kRunDeadTimeLimit = 85.0;  // what the run driver passes

SampleRecord make_sample(uint64_t live_time, uint64_t real_time) {
    SampleRecord sample{};
    sample.live_time = live_time;
    sample.real_time = real_time;
    return sample;
}

// Puts `counts` into channels first..first+3 (one bin when first is a multiple of 4).
void fill_bin(SampleRecord* sample, int first, int32_t c0, int32_t c1, int32_t c2, int32_t c3) {
    sample->channel[first] = c0;
    sample->channel[first + 1] = c1;
    sample->channel[first + 2] = c2;
    sample->channel[first + 3] = c3;
}

// A spectrum with counts in bins 10, 50, 100 and 200. Its weighted sum S in
// float is 2191.4932 with effi_bgo_2x2_gy and 2655.134 with effi_bgo_2x2_sv
// (Python emulation of step 4).
SampleRecord mixed_sample(uint64_t live_time, uint64_t real_time) {
    SampleRecord sample = make_sample(live_time, real_time);
    fill_bin(&sample, 40, 1234, 987, 1001, 876);
    sample.channel[200] = 4321;
    sample.channel[401] = 77;
    sample.channel[802] = 5;
    return sample;
}

float dose_of(const SampleRecord& sample, float dose_factor, double c3, double c2, double c1,
              double limit, int32_t table_select) {
    float out = 123.0f;  // must be overwritten
    dose_calc_nai16(&sample, &out, dose_factor, c3, c2, c1, limit, table_select);
    return out;
}

float plain_dose(const SampleRecord& sample, int32_t table_select = 0) {
    return dose_of(sample, 1.0f, 0.0, 0.0, 0.0, kRunDeadTimeLimit, table_select);
}

}  // namespace

// ---------------------------------------------------------------------------
// The coefficient tables against their published values.

// Sums of the 256 values of each table, from the printed decimals (Python:
// float32 of each decimal, then summed). The double sums are exact (every
// value is a multiple of 2^-29 and the sums stay below 2^17), so one wrong
// digit anywhere changes them; the weight g + 1 also catches two values swapped.
TEST(DoseTables, GyTableMatchesPublishedSums) {
    double sum = 0.0;
    double weighted = 0.0;
    float float_sum = 0.0f;
    for (int g = 0; g < kDoseBins; ++g) {
        sum += effi_bgo_2x2_gy[g];
        weighted += (g + 1) * static_cast<double>(effi_bgo_2x2_gy[g]);
        float_sum += effi_bgo_2x2_gy[g];
    }
    EXPECT_EQ(sum, 302.5086844339967);         // exact sum of the printed values
    EXPECT_EQ(weighted, 50938.226920759305);   // exact sum of (g + 1) x value
    EXPECT_EQ(float_sum, 302.50873f);          // float sum, bins in increasing order
}

TEST(DoseTables, SvTableMatchesPublishedSums) {
    double sum = 0.0;
    double weighted = 0.0;
    float float_sum = 0.0f;
    for (int g = 0; g < kDoseBins; ++g) {
        sum += effi_bgo_2x2_sv[g];
        weighted += (g + 1) * static_cast<double>(effi_bgo_2x2_sv[g]);
        float_sum += effi_bgo_2x2_sv[g];
    }
    EXPECT_EQ(sum, 350.3031356409192);         // exact sum of the printed values
    EXPECT_EQ(weighted, 58713.85139656067);    // exact sum of (g + 1) x value
    EXPECT_EQ(float_sum, 350.30313f);          // float sum, bins in increasing order
}

struct SpotValue {
    int bin;
    float value;
};

// One printed value from every row of eight, column (row mod 8), so every
// row and every column of the printed table is sampled.
TEST(DoseTables, GyTableSpotValuesFromEveryRow) {
    const SpotValue spots[] = {
        {0, 0.0f},            {9, 0.025841001f},    {18, 0.06180173f},   {27, 0.13227645f},
        {36, 0.2474105f},     {45, 0.38351232f},    {54, 0.5180795f},    {63, 0.64716023f},
        {64, 0.66085774f},    {73, 0.7783519f},     {82, 0.8778181f},    {91, 0.9624858f},
        {100, 1.0414414f},    {109, 1.1216333f},    {118, 1.2069882f},   {127, 1.2984755f},
        {128, 1.3088461f},    {137, 1.4021819f},    {146, 1.4905883f},   {155, 1.5691361f},
        {164, 1.6372094f},    {173, 1.6935754f},    {182, 1.7419312f},   {191, 1.7865903f},
        {192, 1.7907995f},    {201, 1.8329936f},    {210, 1.8745717f},   {219, 1.9167662f},
        {228, 1.9583442f},    {237, 2.0005386f},    {246, 2.042733f},    {255, 0.0f},
    };
    for (const SpotValue& spot : spots) {
        EXPECT_EQ(effi_bgo_2x2_gy[spot.bin], spot.value) << "bin " << spot.bin;
    }
}

TEST(DoseTables, SvTableSpotValuesFromEveryRow) {
    const SpotValue spots[] = {
        {0, 0.0f},            {9, 0.042203523f},    {18, 0.08751125f},   {27, 0.17036147f},
        {36, 0.303256f},      {45, 0.4600614f},     {54, 0.6152713f},    {63, 0.7650729f},
        {64, 0.7808695f},     {73, 0.9154975f},     {82, 1.0277494f},    {91, 1.1248434f},
        {100, 1.215511f},     {109, 1.3073758f},    {118, 1.4050033f},   {127, 1.5094963f},
        {128, 1.521328f},     {137, 1.6276528f},    {146, 1.7279751f},   {155, 1.8166113f},
        {164, 1.8928947f},    {173, 1.9554505f},    {182, 2.008596f},    {191, 2.0573354f},
        {192, 2.0618753f},    {201, 2.1076283f},    {210, 2.1525438f},   {219, 2.1980379f},
        {228, 2.2426958f},    {237, 2.2879303f},    {246, 2.3330345f},   {255, 0.0f},
    };
    for (const SpotValue& spot : spots) {
        EXPECT_EQ(effi_bgo_2x2_sv[spot.bin], spot.value) << "bin " << spot.bin;
    }
}

// "bins 0 to 3 (channels 0 to 15) and bin 255 (channels 1020 to 1023) are 0".
TEST(DoseTables, OnlyBinsZeroToThreeAndLastBinAreZero) {
    for (int g = 0; g < kDoseBins; ++g) {
        const bool zero_bin = g <= 3 || g == kDoseBins - 1;
        if (zero_bin) {
            EXPECT_EQ(effi_bgo_2x2_gy[g], 0.0f) << "bin " << g;
            EXPECT_EQ(effi_bgo_2x2_sv[g], 0.0f) << "bin " << g;
        } else {
            EXPECT_GT(effi_bgo_2x2_gy[g], 0.0f) << "bin " << g;
            EXPECT_GT(effi_bgo_2x2_sv[g], 0.0f) << "bin " << g;
        }
    }
}

// "fall from bin 4 to a minimum at bin 7 (gy, 0.023406195) or bin 8 (sv,
// 0.03911458) and then rise steadily to their maximum at bin 254 (2.0801017
// and 2.3728611)".
TEST(DoseTables, FallToMinimumThenRiseToMaximumAtBin254) {
    struct Shape {
        const float* table;
        int minimum_bin;
        float minimum;
        float maximum;
    };
    const Shape shapes[] = {
        {effi_bgo_2x2_gy, 7, 0.023406195f, 2.0801017f},
        {effi_bgo_2x2_sv, 8, 0.03911458f, 2.3728611f},
    };
    for (const Shape& shape : shapes) {
        for (int g = 4; g < shape.minimum_bin; ++g) {
            EXPECT_GT(shape.table[g], shape.table[g + 1]) << "bin " << g;
        }
        for (int g = shape.minimum_bin; g < 254; ++g) {
            EXPECT_LT(shape.table[g], shape.table[g + 1]) << "bin " << g;
        }
        EXPECT_EQ(shape.table[shape.minimum_bin], shape.minimum);
        EXPECT_EQ(shape.table[254], shape.maximum);
    }
}

// "The effi_bgo_2x2_sv value exceeds the effi_bgo_2x2_gy value in every
// non-zero bin, by a factor between 1.14 and 1.70 ... falling to 1.141 at bin 254."
TEST(DoseTables, SvExceedsGyInEveryNonZeroBin) {
    for (int g = 4; g < kDoseBins - 1; ++g) {
        EXPECT_GT(effi_bgo_2x2_sv[g], effi_bgo_2x2_gy[g]) << "bin " << g;
        const double ratio = static_cast<double>(effi_bgo_2x2_sv[g]) / effi_bgo_2x2_gy[g];
        EXPECT_GE(ratio, 1.14) << "bin " << g;
        EXPECT_LE(ratio, 1.70) << "bin " << g;
    }
    EXPECT_NEAR(static_cast<double>(effi_bgo_2x2_sv[254]) / effi_bgo_2x2_gy[254], 1.141, 0.0005);
}

// ---------------------------------------------------------------------------
// dose_calc_nai16.

// Worked example: 100 counts in channels 16 to 19,
// live = real = 1000 s, dose_factor 1, table 0: 100 x 0.04442464 = 4.442464.
TEST(DoseCalcNai16, WorkedExampleHundredCountsInBinFour) {
    SampleRecord sample = make_sample(1000, 1000);
    fill_bin(&sample, 16, 25, 25, 25, 25);
    EXPECT_EQ(plain_dose(sample), 4.442464f);  // 100 x 0.04442464
}

// With t = 1, F = 1 and factor 1, one count in channel c gives exactly K[c / 4]
// (1 x K / (1 x 1)): every channel goes to its bin, with the right table.
TEST(DoseCalcNai16, EachChannelIsWeightedByItsBinCoefficient) {
    for (int c = 0; c < kChannels; ++c) {
        SampleRecord sample = make_sample(1000, 1000);
        sample.channel[c] = 1;
        EXPECT_EQ(plain_dose(sample, 0), effi_bgo_2x2_gy[c / 4]) << "channel " << c;
        EXPECT_EQ(plain_dose(sample, 1), effi_bgo_2x2_sv[c / 4]) << "channel " << c;
    }
}

// Step 2: a live time of 0 gives 0 and nothing else is done, so even a
// spectrum with counts and a dead time of 100 % gives +0, not -0 (live 0 and
// real 0 would otherwise divide 0 by 0).
TEST(DoseCalcNai16, LiveTimeZeroGivesPositiveZero) {
    for (const uint64_t real_time : {uint64_t{0}, uint64_t{1000}}) {
        SampleRecord sample = mixed_sample(0, real_time);
        const float dose = dose_of(sample, 1.25f, 0.00043, 0.0316, 4.927, kRunDeadTimeLimit, 0);
        EXPECT_EQ(dose, 0.0f) << "real time " << real_time;
        EXPECT_FALSE(std::signbit(dose)) << "real time " << real_time;
    }
}

// Live time equal to real time: D = 0, F = 1 whatever the coefficients.
// 1.25 x 2191.4932 / 0.6 in float = 4565.6104 (Python emulation).
TEST(DoseCalcNai16, LiveTimeEqualToRealTimeIgnoresPolynomial) {
    const SampleRecord sample = mixed_sample(600, 600);
    EXPECT_EQ(dose_of(sample, 1.25f, 0.0, 0.0, 0.0, kRunDeadTimeLimit, 0), 4565.6104f);
    EXPECT_EQ(dose_of(sample, 1.25f, 5.0, 0.7, 9.0, kRunDeadTimeLimit, 0), 4565.6104f);
    EXPECT_EQ(dose_of(sample, 1.25f, -5.0, -0.7, -9.0, kRunDeadTimeLimit, 0), 4565.6104f);
}

// Channels 0 to 15 and 1020 to 1023 have coefficient 0 in both tables.
TEST(DoseCalcNai16, CountsOnlyBelowChannel16OrAbove1019GiveZero) {
    SampleRecord sample = make_sample(1000, 1000);
    for (int c = 0; c < 16; ++c) {
        sample.channel[c] = 1000000;
    }
    fill_bin(&sample, 1020, 1000000, 1000000, 1000000, 1000000);
    EXPECT_EQ(plain_dose(sample, 0), 0.0f);
    EXPECT_EQ(plain_dose(sample, 1), 0.0f);
}

// table_select 1 is sievert; every other value is gray. Weighted sums of the
// mixed spectrum: 2655.134 (sv) and 2191.4932 (gy), Python emulation.
TEST(DoseCalcNai16, TableSelectOneChoosesSievertTableOtherValuesGray) {
    const SampleRecord sample = mixed_sample(1000, 1000);
    EXPECT_EQ(plain_dose(sample, 1), 2655.134f);
    for (const int32_t table_select : {0, 2, -1, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(plain_dose(sample, table_select), 2191.4932f) << "table_select " << table_select;
    }
}

// Live 15 s, real 100 s: D = (1 - 0.015f / 0.1f) x 100 is exactly 85.0f in
// float arithmetic (Python emulation; the same formula in double gives
// 85.00000055879353, so a double dead time would wrongly negate). 85 is not
// above the limit 85. Value: 4.442464 / 0.015 in float = 296.16428.
TEST(DoseCalcNai16, DeadTimeExactlyAtLimitIsNotNegated) {
    SampleRecord sample = make_sample(15, 100);
    fill_bin(&sample, 16, 25, 25, 25, 25);
    EXPECT_EQ(plain_dose(sample), 296.16428f);
    // The comparison is strict: a limit just below 85 negates the same value.
    const double just_below = std::nextafter(85.0, 0.0);
    EXPECT_EQ(dose_of(sample, 1.0f, 0.0, 0.0, 0.0, just_below, 0), -296.16428f);
}

// Live 149 s, real 1000 s: D = 85.1 per cent (85.0999984741211 in float) is
// above 85, so the value 4.442464 / 0.149 = 29.815193 comes back negated.
TEST(DoseCalcNai16, DeadTimeAboveLimitIsNegated) {
    SampleRecord sample = make_sample(149, 1000);
    fill_bin(&sample, 16, 25, 25, 25, 25);
    EXPECT_EQ(plain_dose(sample), -29.815193f);
}

// An all-zero spectrum above the limit: 0 / positive = +0, negated to -0.
TEST(DoseCalcNai16, AllZeroSpectrumAboveLimitGivesNegativeZero) {
    const SampleRecord sample = make_sample(100, 1000);  // D = 90 per cent
    const float dose = dose_of(sample, 2.5f, 0.0, 0.0, 0.0, kRunDeadTimeLimit, 0);
    EXPECT_EQ(dose, 0.0f);
    EXPECT_TRUE(std::signbit(dose));
}

// A non-trivial dead-time correction: live 437 s, real 1116 s (D = 60.8423),
// c1 4.927, c2 0.0316, c3 0.00043 (thousandths), dose_factor 1.25, S = 2191.4932.
// Expected 4141.517 from the Python emulation of steps 5 to 7. Each of these
// departures gives 4141.5176 instead: D in double, the polynomial in float,
// a1..a3 kept in double, term1 formed in double, the quotient formed in
// double, or dividing by F and t one after the other.
TEST(DoseCalcNai16, DeadTimeCorrectionUsesFixedPrecisions) {
    const SampleRecord sample = mixed_sample(437, 1116);
    EXPECT_EQ(dose_of(sample, 1.25f, 0.00043, 0.0316, 4.927, kRunDeadTimeLimit, 0), 4141.517f);
}

// The same times with c3 and c2 found by a search so that the double sum
// ((term2 + term3) + term1) + 1 lies next to a float rounding boundary of F:
// adding in the order 1 + term1 + term2 + term3 rounds F one step higher and
// gives 3826.8052. Expected 3826.8054 from the Python emulation.
TEST(DoseCalcNai16, DeadTimeCorrectionAddsTermsInFixedOrder) {
    const SampleRecord sample = mixed_sample(437, 1116);
    EXPECT_EQ(dose_of(sample, 1.25f, 0.0004300023, 0.065225846, 4.927, kRunDeadTimeLimit, 0),
              3826.8054f);
}

// The same coefficients with live 100 s, real 1000 s (D = 90): the corrected
// value is negated. -13609.324 from the Python emulation.
TEST(DoseCalcNai16, DeadTimeCorrectionAboveLimitIsNegated) {
    const SampleRecord sample = mixed_sample(100, 1000);
    EXPECT_EQ(dose_of(sample, 1.25f, 0.00043, 0.0316, 4.927, kRunDeadTimeLimit, 0), -13609.324f);
}

// Team decision: a bin's four counts are added in 64 bits, so four channels of
// INT32_MAX give 8589934588 -> 2^33 in float (a 32-bit sum would wrap to -4).
// 2^33 x 0.04442464 in float = 3.8160474e8; -2^33 x 0.03468781 = -2.97966e8.
TEST(DoseCalcNai16, BinSumBeyondInt32RangeDoesNotOverflow) {
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    SampleRecord high = make_sample(1000, 1000);
    fill_bin(&high, 16, max, max, max, max);
    EXPECT_EQ(plain_dose(high), 3.8160474e+08f);
    SampleRecord low = make_sample(1000, 1000);
    fill_bin(&low, 20, min, min, min, min);
    EXPECT_EQ(plain_dose(low), -2.97966e+08f);
}

// Step 4 converts the bin's integer sum to float, not each channel: 2^24 + 3
// rounds to 2^24 + 4, so 16777220 x 0.04442464 = 745321.94 in float; adding
// the channels as floats would lose the three single counts (745321.75).
TEST(DoseCalcNai16, BinCountsAreAddedAsIntegersBeforeConversion) {
    SampleRecord sample = make_sample(1000, 1000);
    fill_bin(&sample, 16, 1 << 24, 1, 1, 1);
    EXPECT_EQ(plain_dose(sample), 745321.94f);
}

// Step 4 adds bins in increasing order. One count in bins 4, 5 and 6 is
// 0.106 in total, more than half a float step (0.0625) at 2^20, though each
// alone is less; 504099 counts in bin 254 weigh about 1048577.2. Increasing
// order keeps the small counts: 1048577.4; decreasing order would give
// 1048577.2 (Python emulation of both orders).
TEST(DoseCalcNai16, BinsAreAddedInIncreasingOrder) {
    SampleRecord sample = make_sample(1000, 1000);
    sample.channel[16] = 1;
    sample.channel[20] = 1;
    sample.channel[24] = 1;
    sample.channel[1016] = 504099;
    EXPECT_EQ(plain_dose(sample), 1048577.4f);
}
