#include "mra/core/screening/card_runs.hpp"

#include <gtest/gtest.h>

namespace velora::core::screening {
namespace {

struct CapCase {
    const char* recipe;
    std::uint64_t cap;
    const char* capped;
};

class CappedRecipe : public ::testing::TestWithParam<CapCase> {};

TEST_P(CappedRecipe, LoadsAtMostTheCap) {
    EXPECT_EQ(capped_recipe(GetParam().recipe, GetParam().cap), GetParam().capped);
}

INSTANTIATE_TEST_SUITE_P(
    Recipes, CappedRecipe,
    ::testing::Values(CapCase{"card=cards.a", 5, "card=cards.a,max_test_instances=5"},
                      CapCase{"card=cards.a,max_test_instances=100", 5, "card=cards.a,max_test_instances=5"},
                      CapCase{"max_test_instances = 3 ,card=cards.a", 5,
                              "max_test_instances = 3 ,card=cards.a"},
                      CapCase{"card=cards.a,max_test_instances=x", 5, "card=cards.a,max_test_instances=5"}));

struct ReasonCase {
    const char* warning;
    const char* reason;  // nullptr: not a card failure of the risk
};

class CardFailureReason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(CardFailureReason, IsOneReadableLine) {
    const auto reason = card_failure_reason(GetParam().warning, "jailbreaking");
    if (GetParam().reason == nullptr) {
        EXPECT_FALSE(reason.has_value());
    } else {
        EXPECT_EQ(reason.value_or("<none>"), GetParam().reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Warnings, CardFailureReason,
    ::testing::Values(
        ReasonCase{
            "Error processing card cards.j in risk dimension jailbreaking: Error:POST x answered HTTP 500: "
            "{}; cause:None This benchmark relies on LLMJ, and an error occurred ",
            "card cards.j: POST x answered HTTP 500: {}"},
        ReasonCase{"Error processing card cards.j in risk dimension jailbreaking: Error: judge failed; "
                   "cause:time-out This benchmark relies on LLMJ, and an error occurred ",
                   "card cards.j: judge failed (cause: time-out)"},
        ReasonCase{
            "Error processing card cards.j in risk dimension jailbreaking: Error:a; cause: b\nc;  cause:None",
            "card cards.j: a; cause: b c"},
        ReasonCase{"Error processing card cards.j in risk dimension prompt-leaking: Error:a;  cause:None",
                   nullptr},
        ReasonCase{"Risk jailbreaking failed due to card errors.", nullptr}));

}  // namespace
}  // namespace velora::core::screening
