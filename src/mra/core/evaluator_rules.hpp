// The evaluator's fixed tables and the texts of its validation messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

inline constexpr const char* kProviderVariable = "CORVEX_DEFAULT_PROVIDER";

// Judge providers that the evaluation library supports, in this order.
const std::vector<std::string>& supported_llmj_providers();
// Risks whose metrics need a language-model judge, in this order.
const std::vector<std::string>& llmj_specific_risks();
// Environment variables a provider needs, in table order; empty for a provider without an entry.
const std::vector<std::string>& required_env_vars(std::string_view provider);

// Cards the risk evaluator never runs, even when the catalogue lists them.
const std::vector<std::string>& invalid_cards();
bool is_invalid_card(std::string_view card);

// Checks the judge-provider environment for a run over `risks`; returns the value-error message of
// the first rule that fails, or nullopt when the environment is fine (or no judge risk is involved).
std::optional<std::string> judge_environment_problem(const std::vector<std::string>& risks);

}  // namespace velora::core
