// together-ai: POST {base}/chat/completions with the key as a Bearer token.
//   TOGETHERAI_API_KEY (required); CORVEX_TOGETHERAI_BASE_URL (default https://api.together.xyz/v1).
#pragma once

#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

struct TogetherAiSettings final : ProviderSettings {
    std::string api_key;
    std::string base_url;  // no trailing '/'

    std::vector<std::string> secrets() const override { return non_empty({api_key}); }
    std::vector<std::string> answer_identity() const override { return {base_url}; }
    std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const override;
};

JudgeProvider together_ai_provider();

}  // namespace velora::core::corvex
