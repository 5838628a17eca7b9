#include "common/pynum.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace velora::core {
namespace {

struct RoundCase {
    double value;
    int digits;
    double expected;
};

class RoundHalfEven : public testing::TestWithParam<RoundCase> {};

TEST_P(RoundHalfEven, MatchesTheRuntimeRound) {
    const auto& c = GetParam();
    EXPECT_EQ(round_half_even(c.value, c.digits), c.expected);
}

// Expected values are what Python's round() prints for the same inputs.
INSTANTIATE_TEST_SUITE_P(Cases, RoundHalfEven,
                         testing::Values(RoundCase{0.12345, 3, 0.123}, RoundCase{0.66666, 3, 0.667},
                                         RoundCase{2.675, 2, 2.67},  // binary value lies below the tie
                                         RoundCase{0.125, 2, 0.12},  // exact tie goes to even
                                         RoundCase{0.375, 2, 0.38}, RoundCase{-0.125, 2, -0.12},
                                         RoundCase{0.123456, 4, 0.1235}, RoundCase{62.45, 1, 62.5},
                                         RoundCase{0.25, 1, 0.2}, RoundCase{1e300, 3, 1e300},
                                         RoundCase{2.5, 0, 2.0}, RoundCase{3.5, 0, 4.0}));

TEST(RoundHalfEven, NonFiniteValuesPassThrough) {
    EXPECT_TRUE(std::isnan(round_half_even(std::nan(""), 3)));
    EXPECT_EQ(round_half_even(HUGE_VAL, 3), HUGE_VAL);
    EXPECT_EQ(round_half_even(-HUGE_VAL, 3), -HUGE_VAL);
}

struct FormatCase {
    double value;
    const char* expected;
};

class FormatFixed : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatFixed, MatchesTheRuntimeFormat) {
    EXPECT_EQ(format_fixed(GetParam().value, 3), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatFixed,
                         testing::Values(FormatCase{0.8, "0.800"}, FormatCase{0.05, "0.050"},
                                         FormatCase{0.0005, "0.001"}, FormatCase{0.0015, "0.002"},
                                         FormatCase{-0.0004, "-0.000"}, FormatCase{1234567.0, "1234567.000"},
                                         FormatCase{std::nan(""), "nan"}, FormatCase{-std::nan(""), "nan"},
                                         FormatCase{HUGE_VAL, "inf"}, FormatCase{-HUGE_VAL, "-inf"}));

struct ParseCase {
    const char* text;
    bool ok;
    double expected;
};

class ParsePythonFloat : public testing::TestWithParam<ParseCase> {};

TEST_P(ParsePythonFloat, AcceptsWhatTheRuntimeAccepts) {
    const auto& c = GetParam();
    const auto parsed = parse_python_float(c.text);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.text;
    if (c.ok) {
        EXPECT_EQ(*parsed, c.expected) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParsePythonFloat,
    testing::Values(ParseCase{"0.8123", true, 0.8123}, ParseCase{"  0.5\t\n", true, 0.5},
                    ParseCase{"+1e3", true, 1000.0}, ParseCase{"-.5", true, -0.5}, ParseCase{"5.", true, 5.0},
                    ParseCase{"1_000.5", true, 1000.5}, ParseCase{"Infinity", true, HUGE_VAL},
                    ParseCase{"-inf", true, -HUGE_VAL}, ParseCase{"1e999", true, HUGE_VAL},
                    ParseCase{"", false, 0}, ParseCase{"   ", false, 0}, ParseCase{".", false, 0},
                    ParseCase{"1__0", false, 0}, ParseCase{"_1", false, 0}, ParseCase{"1_", false, 0},
                    ParseCase{"0x10", false, 0}, ParseCase{"1e", false, 0}, ParseCase{"nan(1)", false, 0},
                    ParseCase{"0.8 +/- 0.1", false, 0}, ParseCase{"0.8±0.1", false, 0},
                    ParseCase{"1,5", false, 0}, ParseCase{"infinit", false, 0}));

TEST(ParsePythonFloat, NanInAnyCase) {
    for (const char* text : {"nan", "NaN", "-NAN", "+nan"}) {
        const auto parsed = parse_python_float(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_TRUE(std::isnan(*parsed)) << text;
    }
}

}  // namespace
}  // namespace velora::core
