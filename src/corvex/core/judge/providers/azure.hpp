// azure: POST {AZURE_AI_API_BASE}/chat/completions?api-version=..., the key in the "api-key" header.
//   AZURE_AI_API_BASE, AZURE_AI_API_KEY (required); CORVEX_AZURE_API_VERSION (default
//   2024-05-01-preview; set empty, no api-version is sent).
#pragma once

#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

struct AzureSettings final : ProviderSettings {
    std::string api_key;
    std::string base_url;  // no trailing '/'
    std::string api_version;

    std::vector<std::string> secrets() const override { return non_empty({api_key}); }
    std::vector<std::string> answer_identity() const override { return {base_url, api_version}; }
    std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const override;
};

// {base}/chat/completions, with ?api-version=<encoded> unless the version is empty.
std::string azure_chat_url(const AzureSettings& settings);

JudgeProvider azure_provider();

}  // namespace velora::core::corvex
