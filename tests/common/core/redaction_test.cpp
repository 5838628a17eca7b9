#include "common/redaction.hpp"

#include <gtest/gtest.h>

namespace velora::core {
namespace {

TEST(Redact, HidesEverySecretOfThreeCharactersOrMore) {
    EXPECT_EQ(redact("key abc123 and abc123, user bob", {"abc123", "bob"}), "key *** and ***, user ***");
    EXPECT_EQ(redact("a b", {"a", ""}), "a b");
}

TEST(WithoutUrlUserInfo, TakesOutWhatStandsBeforeTheHostOfEveryUrl) {
    EXPECT_EQ(without_url_user_info("http://user:pw@host:8/v1"), "http://host:8/v1");
    EXPECT_EQ(without_url_user_info("http://a:p@ss@host/"), "http://host/");  // the last @ ends it
    EXPECT_EQ(without_url_user_info("(see https://k@h1, then ftp://x@h2)"),
              "(see https://h1, then ftp://h2)");
    EXPECT_EQ(without_url_user_info("x+y://u@h"), "x+y://h");
    EXPECT_EQ(without_url_user_info("http://h/p?to=a@b #c@d"), "http://h/p?to=a@b #c@d");
    EXPECT_EQ(without_url_user_info("://u@h and 1://u@h"), "://u@h and 1://u@h");  // no scheme
    EXPECT_EQ(without_url_user_info("no url, mail a@b"), "no url, mail a@b");
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
