#include "corvex/core/judge/providers/nimbra_sdk.hpp"

#include <algorithm>

#include "common/completions_protocol.hpp"
#include "common/http/url_encoding.hpp"
#include "corvex/core/judge/http_judge.hpp"

namespace velora::core::corvex {
namespace {

std::shared_ptr<const ProviderSettings> read_settings(const ProviderEnv& env) {
    auto s = std::make_shared<NimbraSdkSettings>();
    s->api_key = env.required("QNR_APIKEY");
    s->base_url = env.base_url(env.required("QNR_URL"), "QNR_URL");
    s->project_id = env.required("QNR_PROJECT_ID");
    return s;
}

class CompletionsJudge final : public SingleExchangeJudge {
  public:
    CompletionsJudge(const JudgeBasics& basics, std::vector<std::string> secrets, JudgeOptions options,
                     completions::Connection connection)
        : SingleExchangeJudge(basics, std::move(secrets), std::move(options)),
          connection_(std::move(connection)) {}

  private:
    void prepare() override {
        if (checked_) return;
        const HttpRequest check = bounded(completions::models_request(connection_));
        const auto served = read(check, exchange(check), "a model list", completions::parse_model_ids);
        if (std::find(served.begin(), served.end(), basics_.model) == served.end()) {
            fail(check, JudgeCause::Kind::Service,
                 completions::model_not_listed_message(basics_.model, url_for_messages(check.url), served));
        }
        checked_ = true;
    }

    HttpRequest build_request(const std::string& prompt) override {
        return bounded(completions::completion_request(connection_, basics_.model, prompt,
                                                       {basics_.max_tokens, 0.0, std::nullopt}));
    }

    std::string read_answer(const HttpRequest& r, const HttpResponse& response) const override {
        return read(r, response, "a completion", completions::parse_completion_text);
    }

    completions::Connection connection_;
    bool checked_ = false;
};

}  // namespace

std::unique_ptr<JudgeModel> NimbraSdkSettings::make_judge(const JudgeBasics& basics,
                                                          JudgeOptions options) const {
    completions::Connection connection;
    try {
        connection = completions::map_credentials({base_url, api_key, {}, {}}, project_id, std::nullopt);
    } catch (const completions::CredentialsError& error) {
        throw JudgeUnavailableError("judge provider nimbra-sdk cannot use QNR_URL: " +
                                    std::string(error.what()));
    }
    return std::make_unique<CompletionsJudge>(basics, secrets(), std::move(options), std::move(connection));
}

JudgeProvider nimbra_sdk_provider() {
    // The bundled reference model answers judge prompts, so the demo needs no model choice.
    return {
        "nimbra-sdk", {"QNR_APIKEY", "QNR_URL", "QNR_PROJECT_ID"}, "velora/reference-model", read_settings};
}

}  // namespace velora::core::corvex
