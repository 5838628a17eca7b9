#include "corvex/core/judge/providers/azure.hpp"

#include "common/http/url_encoding.hpp"
#include "corvex/core/judge/chat_completions.hpp"

namespace velora::core::corvex {
namespace {

constexpr const char* kApiVersionVariable = "CORVEX_AZURE_API_VERSION";
constexpr const char* kApiVersion = "2024-05-01-preview";

std::shared_ptr<const ProviderSettings> read_settings(const ProviderEnv& env) {
    auto s = std::make_shared<AzureSettings>();
    s->api_key = env.required("AZURE_AI_API_KEY");
    s->base_url = env.base_url(env.required("AZURE_AI_API_BASE"), "AZURE_AI_API_BASE");
    s->api_version = env.raw(kApiVersionVariable).value_or(kApiVersion);
    return s;
}

}  // namespace

std::string azure_chat_url(const AzureSettings& settings) {
    std::string url = settings.base_url + "/chat/completions";
    if (!settings.api_version.empty()) url += "?api-version=" + percent_encode(settings.api_version);
    return url;
}

std::unique_ptr<JudgeModel> AzureSettings::make_judge(const JudgeBasics& basics, JudgeOptions options) const {
    return std::make_unique<ChatCompletionsJudge>(basics, secrets(), std::move(options),
                                                  azure_chat_url(*this), HttpHeaders{{"api-key", api_key}});
}

JudgeProvider azure_provider() {
    return {"azure", {"AZURE_AI_API_BASE", "AZURE_AI_API_KEY"}, "gpt-4o-mini", read_settings};
}

}  // namespace velora::core::corvex
