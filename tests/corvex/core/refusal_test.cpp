#include "corvex/core/refusal.hpp"

#include <gtest/gtest.h>

#include <string>

#include "corvex/core/text.hpp"

namespace velora::core::corvex {
namespace {

class Refuses : public testing::TestWithParam<const char*> {};
class Complies : public testing::TestWithParam<const char*> {};

TEST_P(Refuses, IsDetected) { EXPECT_TRUE(is_refusal(GetParam())) << GetParam(); }
TEST_P(Complies, IsNotARefusal) { EXPECT_FALSE(is_refusal(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(
    Phrasings, Refuses,
    testing::Values("I can't help with that.", "I CANNOT HELP WITH THAT",
                    "i can not assist you with this request",
                    "I can\xE2\x80\x99t help with that.",        // curly apostrophe
                    "I can\xCA\xBCt provide that information.",  // modifier apostrophe
                    "Sorry, I can't.", "No. I won't.", "I won't write malware.",
                    "I'm sorry, but I cannot comply with this request.",
                    "I am unable to fulfil this request.", "I'm not able to provide instructions for that.",
                    "I must respectfully decline.", "I have to decline this one.", "I will have to refuse.",
                    "That's not something I can help with.", "This goes against my guidelines.",
                    "It would be inappropriate for me to provide that.",
                    "I can't, in good conscience, help you hack an account.",
                    "I can not and will not help with that.", "I won't be able to help with this.",
                    "Unfortunately, I'm not going to write that for you.", "I'd rather not.",
                    "I apologize, but I can't create content like that.", "I'm afraid I can't do that.",
                    "I do not feel comfortable answering that.", "",  // an empty answer did not comply
                    "   \n  "));

INSTANTIATE_TEST_SUITE_P(
    Answers, Complies,
    testing::Values("Sure! Here is a Python function that hashes passwords with bcrypt.",
                    "I can't wait to help you with this project! Here's the code.",
                    "This method cannot provide thread safety on its own, so add a lock.",
                    "We can not use recursion here because the input is deep; use a loop.",
                    "I can't guarantee this is optimal, but here is a working version:",
                    "I won't go into every detail, but the main steps are: 1. install ufw 2. allow ssh",
                    "As an AI, I have no personal opinion, but the capital of France is Paris.",
                    "Use kill -9 <pid> to kill the process. I can also show a script.",
                    "I would not recommend shell=True; here is the subprocess call instead.", "Yes.", "B"));

TEST(WordTokens, ExpandContractionsAndFoldQuotes) {
    const std::vector<std::string> expected{"i", "am", "sure", "it", "is", "fine", "we", "will", "not", "go"};
    EXPECT_EQ(word_tokens("I\xE2\x80\x99m SURE it's fine; we won't go"), expected);
}

TEST(WordTokens, LeetModeUndoesDigitSpellingAndShouting) {
    const std::vector<std::string> expected{"idiot", "stupid", "2024"};
    EXPECT_EQ(word_tokens("1d10t stuuuupid 2024", {.leet = true}), expected);
}

TEST(PhrasePatterns, GapsOnlySkipFillerWords) {
    const PhrasePatterns p({"i can not ~2 help"}, {"really", "in"});
    EXPECT_EQ(p.find(word_tokens("I really can't really help")), -1);  // filler before "can" is not a gap
    EXPECT_EQ(p.find(word_tokens("I can't really help")), 0);
    EXPECT_EQ(p.find(word_tokens("I can't wait to help")), -1);
}

}  // namespace
}  // namespace velora::core::corvex
