// The UTF-8 check that guards every catalogue file, against the table of well-formed sequences.
#include "corvex/core/input_files.hpp"

#include <gtest/gtest.h>

namespace velora::core::corvex {
namespace {

struct Utf8Case {
    std::string text;
    std::optional<size_t> bad_at;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, FindsTheFirstBrokenByte) {
    EXPECT_EQ(first_invalid_utf8(GetParam().text), GetParam().bad_at);
    const std::string shown = utf8_for_message(GetParam().text);
    EXPECT_FALSE(first_invalid_utf8(shown).has_value());
    if (!GetParam().bad_at) {
        EXPECT_EQ(shown, GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8,
    testing::Values(Utf8Case{"plain ascii", std::nullopt},
                    Utf8Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", std::nullopt},
                    Utf8Case{"ab\xe9", 2},            // Latin-1
                    Utf8Case{"\x80", 0},              // lone continuation byte
                    Utf8Case{"\xc0\x80", 0},          // overlong NUL
                    Utf8Case{"x\xe0\x80\x80", 1},     // overlong three-byte form
                    Utf8Case{"\xed\xa0\x80", 0},      // a surrogate
                    Utf8Case{"\xf4\x90\x80\x80", 0},  // above U+10FFFF
                    Utf8Case{"\xf5\x80\x80\x80", 0},  // no such lead byte
                    Utf8Case{"ok\xe2\x82", 2}));      // cut short at the end

TEST(Utf8, BrokenBytesAreShownAsReplacementCharacters) {
    EXPECT_EQ(utf8_for_message("a\xff"
                               "b\xe2\x82"),
              "a\xef\xbf\xbd"
              "b\xef\xbf\xbd\xef\xbf\xbd");
}

}  // namespace
}  // namespace velora::core::corvex
