#include "mra/core/evaluator_rules.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "common/pytext.hpp"

namespace velora::core {
namespace {

bool contains(const std::vector<std::string>& items, std::string_view item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

}  // namespace

const std::vector<std::string>& supported_llmj_providers() {
    static const std::vector<std::string> providers{"aws", "together-ai", "replicate", "azure", "nimbra-sdk"};
    return providers;
}

const std::vector<std::string>& llmj_specific_risks() {
    static const std::vector<std::string> risks{"prompt-injection", "jailbreaking",
                                                "harmful-code-generation"};
    return risks;
}

const std::vector<std::string>& required_env_vars(std::string_view provider) {
    static const std::map<std::string, std::vector<std::string>, std::less<>> table{
        {"nimbra-sdk", {"QNR_APIKEY", "QNR_URL", "QNR_PROJECT_ID"}},
        {"aws", {"AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID"}},
        {"azure", {"AZURE_AI_API_BASE", "AZURE_AI_API_KEY"}},
        {"replicate", {"REPLICATE_API_TOKEN"}},
        {"together-ai", {"TOGETHERAI_API_KEY"}},
    };
    static const std::vector<std::string> none;
    const auto it = table.find(provider);
    return it == table.end() ? none : it->second;
}

const std::vector<std::string>& invalid_cards() {
    static const std::vector<std::string> cards{
        "cards.safety.goadset",
        "cards.data_leakage.empty_data_leakage_card",
        "cards.safety.simple_safety_tests",
        "cards.toxigen",
        "cards.pop_qa",
        "cards.ethos_binary",
        "cards.prompt_leakage.glue_qnli_with_system_prompt",
    };
    return cards;
}

bool is_invalid_card(std::string_view card) { return contains(invalid_cards(), card); }

std::optional<std::string> judge_environment_problem(const std::vector<std::string>& risks) {
    const bool needs_judge = std::any_of(risks.begin(), risks.end(), [](const std::string& risk) {
        return contains(llmj_specific_risks(), risk);
    });
    if (!needs_judge) return std::nullopt;

    const char* provider = std::getenv(kProviderVariable);
    if (provider == nullptr || !contains(supported_llmj_providers(), provider)) {
        return "CORVEX_DEFAULT_PROVIDER must be set for risks that uses LLMJ such as " +
               python_list_repr(llmj_specific_risks()) + ".CORVEX_DEFAULT_PROVIDER was not set. Received " +
               (provider == nullptr ? std::string("None") : std::string(provider)) +
               ". you must set CORVEX_DEFAULT_PROVIDER to one of the following: " +
               python_list_repr(supported_llmj_providers());
    }
    std::vector<std::string> missing;
    for (const auto& variable : required_env_vars(provider)) {
        if (std::getenv(variable.c_str()) == nullptr) missing.push_back(variable);
    }
    if (missing.empty()) return std::nullopt;
    return std::string("The following environment variables must be set for ") + provider + ": " +
           python_list_repr(missing);
}

}  // namespace velora::core
