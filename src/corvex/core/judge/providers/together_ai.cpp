#include "corvex/core/judge/providers/together_ai.hpp"

#include "corvex/core/judge/chat_completions.hpp"

namespace velora::core::corvex {
namespace {

constexpr const char* kBaseVariable = "CORVEX_TOGETHERAI_BASE_URL";
constexpr const char* kBaseUrl = "https://api.together.xyz/v1";

std::shared_ptr<const ProviderSettings> read_settings(const ProviderEnv& env) {
    auto s = std::make_shared<TogetherAiSettings>();
    s->api_key = env.required("TOGETHERAI_API_KEY");
    s->base_url = env.base_url_or(kBaseVariable, kBaseUrl);
    return s;
}

}  // namespace

std::unique_ptr<JudgeModel> TogetherAiSettings::make_judge(const JudgeBasics& basics,
                                                           JudgeOptions options) const {
    return std::make_unique<ChatCompletionsJudge>(basics, secrets(), std::move(options),
                                                  base_url + "/chat/completions",
                                                  HttpHeaders{{"Authorization", "Bearer " + api_key}});
}

JudgeProvider together_ai_provider() {
    return {"together-ai", {"TOGETHERAI_API_KEY"}, "meta-llama/Llama-3.3-70B-Instruct-Turbo", read_settings};
}

}  // namespace velora::core::corvex
