#include "common/redaction.hpp"

#include <gtest/gtest.h>

namespace velora::core {
namespace {

TEST(Redact, HidesEverySecretOfThreeCharactersOrMore) {
    EXPECT_EQ(redact("key abc123 and abc123, user bob", {"abc123", "bob"}), "key *** and ***, user ***");
    EXPECT_EQ(redact("a b", {"a", ""}), "a b");
}

TEST(Shorten, CutsAtCharacterBoundaries) {
    EXPECT_EQ(shorten("abcdef", 10), "abcdef");
    EXPECT_EQ(shorten("abcdef", 3), "abc...");
    EXPECT_EQ(shorten("a\xC3\xA9z", 2), "a...");
}

TEST(RedactedExcerpt, ASecretAcrossTheCutLeavesNoPartBehind) {
    const std::string key = "sk-live-0123456789abcdef";
    const std::string said = std::string(290, 'x') + " " + key + " is not valid";
    const std::string excerpt = redacted_excerpt(said, {key}, 300);
    EXPECT_EQ(excerpt.find("sk-live"), std::string::npos) << excerpt;
    EXPECT_EQ(excerpt, std::string(290, 'x') + " *** is no...");
}

TEST(QuotedAnswer, RemovesSecretsBeforeCuttingAtCharacters) {
    const std::string key = "sk-0123456789";
    const std::string body = std::string(195, 'x') + key + " tail";
    const std::string quoted = quoted_answer(body, {key}, 200);
    EXPECT_EQ(quoted, std::string(195, 'x') + "*** t...");
    EXPECT_EQ(first_characters("été à", 3), "été...");
}

}  // namespace
}  // namespace velora::core
