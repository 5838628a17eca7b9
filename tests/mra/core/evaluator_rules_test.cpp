#include "mra/core/evaluator_rules.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <utility>

namespace velora::core {
namespace {

// Sets the given variables for one test and clears every judge variable around it.
class JudgeEnvironment {
  public:
    JudgeEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
        clear();
        for (const auto& [name, value] : values) setenv(name, value, 1);
    }
    ~JudgeEnvironment() { clear(); }

  private:
    static void clear() {
        unsetenv(kProviderVariable);
        for (const auto& provider : supported_llmj_providers()) {
            for (const auto& variable : required_env_vars(provider)) unsetenv(variable.c_str());
        }
    }
};

TEST(JudgeEnvironment, RisksWithoutJudgeNeedNothing) {
    JudgeEnvironment env({});
    EXPECT_FALSE(judge_environment_problem({"toxic-output", "output-bias"}).has_value());
    EXPECT_FALSE(judge_environment_problem({}).has_value());
}

TEST(JudgeEnvironment, UnsetProviderReadsNone) {
    JudgeEnvironment env({});
    const auto problem = judge_environment_problem({"toxic-output", "jailbreaking"});
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(
        *problem,
        "CORVEX_DEFAULT_PROVIDER must be set for risks that uses LLMJ such as ['prompt-injection', "
        "'jailbreaking', 'harmful-code-generation'].CORVEX_DEFAULT_PROVIDER was not set. Received None. "
        "you must set CORVEX_DEFAULT_PROVIDER to one of the following: ['aws', 'together-ai', 'replicate', "
        "'azure', 'nimbra-sdk']");
}

struct MissingCase {
    std::vector<std::pair<const char*, const char*>> values;
    const char* expected;
};

class MissingVariables : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingVariables, AreListedInTableOrder) {
    JudgeEnvironment env({});
    for (const auto& [name, value] : GetParam().values) setenv(name, value, 1);
    const auto problem = judge_environment_problem({"prompt-injection"});
    if (GetParam().expected == nullptr) {
        EXPECT_FALSE(problem.has_value()) << *problem;
    } else {
        ASSERT_TRUE(problem.has_value());
        EXPECT_EQ(*problem, GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Providers, MissingVariables,
    testing::Values(
        MissingCase{{{"CORVEX_DEFAULT_PROVIDER", "aws"}, {"AWS_REGION_NAME", "eu"}},
                    "The following environment variables must be set for aws: ['AWS_SECRET_ACCESS_KEY', "
                    "'AWS_ACCESS_KEY_ID']"},
        MissingCase{
            {{"CORVEX_DEFAULT_PROVIDER", "nimbra-sdk"}, {"QNR_PROJECT_ID", ""}},
            "The following environment variables must be set for nimbra-sdk: ['QNR_APIKEY', 'QNR_URL']"},
        MissingCase{{{"CORVEX_DEFAULT_PROVIDER", "together-ai"}, {"TOGETHERAI_API_KEY", ""}}, nullptr},
        MissingCase{{{"CORVEX_DEFAULT_PROVIDER", "azure"}, {"AZURE_AI_API_KEY", "k"}},
                    "The following environment variables must be set for azure: ['AZURE_AI_API_BASE']"}));

TEST(InvalidCards, AreRecognisedExactly) {
    EXPECT_TRUE(is_invalid_card("cards.toxigen"));
    EXPECT_TRUE(is_invalid_card("cards.prompt_leakage.glue_qnli_with_system_prompt"));
    EXPECT_FALSE(is_invalid_card("cards.prompt_leakage.glue_qnli"));
    EXPECT_EQ(invalid_cards().size(), 7u);
}

}  // namespace
}  // namespace velora::core
