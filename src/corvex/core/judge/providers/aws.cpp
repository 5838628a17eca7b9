#include "corvex/core/judge/providers/aws.hpp"

#include <stdexcept>

#include "corvex/core/judge/http_judge.hpp"
#include "corvex/core/judge/wire_formats.hpp"

namespace velora::core::corvex {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr const char* kEndpointVariable = "CORVEX_AWS_BEDROCK_ENDPOINT";

std::shared_ptr<const ProviderSettings> read_settings(const ProviderEnv& env) {
    auto s = std::make_shared<AwsSettings>();
    s->region = env.required("AWS_REGION_NAME");
    if (s->region.empty()) throw env.bad("AWS_REGION_NAME is empty");
    s->credentials.access_key_id = env.required("AWS_ACCESS_KEY_ID");
    s->credentials.secret_access_key = env.required("AWS_SECRET_ACCESS_KEY");
    s->credentials.session_token = env.ours("AWS_SESSION_TOKEN");
    s->base_url =
        env.base_url_or(kEndpointVariable, "https://bedrock-runtime." + s->region + ".amazonaws.com");
    return s;
}

class ConverseJudge final : public SingleExchangeJudge {
  public:
    ConverseJudge(const JudgeBasics& basics, const AwsSettings& settings, JudgeOptions options)
        : SingleExchangeJudge(basics, settings.secrets(), std::move(options)), settings_(settings) {}

  private:
    HttpRequest build_request(const std::string& prompt) override {
        HttpRequest r = request(HttpMethod::Post, converse_url(settings_, basics_.model));
        r.default_accept_header = false;  // every header sent is signed; curl must add none of its own
        r.headers.emplace_back("Host", aws::host_of(r.url));
        r.headers.emplace_back("Content-Type", "application/json");
        r.headers.emplace_back("Accept", "application/json");
        r.body = converse_body(prompt, basics_.max_tokens);
        const std::time_t now = options_.clock ? options_.clock() : std::time(nullptr);
        aws::sign(r, settings_.credentials, aws::Scope{settings_.region, "bedrock"}, aws::amz_date(now));
        return r;
    }

    std::string read_answer(const HttpRequest& r, const HttpResponse& response) const override {
        return read(r, response, "a Converse answer", parse_converse_text);
    }

    AwsSettings settings_;
};

}  // namespace

std::vector<std::string> AwsSettings::secrets() const {
    return non_empty({credentials.secret_access_key, credentials.session_token.value_or("")});
}

std::unique_ptr<JudgeModel> AwsSettings::make_judge(const JudgeBasics& basics, JudgeOptions options) const {
    return std::make_unique<ConverseJudge>(basics, *this, std::move(options));
}

std::string converse_url(const AwsSettings& settings, std::string_view model) {
    return settings.base_url + "/model/" + aws::uri_encode(model, false) + "/converse";
}

std::string converse_body(std::string_view prompt, int max_tokens) {
    ordered_json part;
    part["text"] = prompt;
    ordered_json message;
    message["role"] = "user";
    message["content"] = ordered_json::array({part});
    ordered_json config;
    config["maxTokens"] = max_tokens;
    config["temperature"] = 0;
    ordered_json body;
    body["messages"] = ordered_json::array({message});
    body["inferenceConfig"] = config;
    return dumped(body);
}

std::string parse_converse_text(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) throw std::invalid_argument("it is not a JSON object");
    const auto output = answer.find("output");
    if (output == answer.end() || !output->is_object() || !output->contains("message") ||
        !(*output)["message"].is_object()) {
        throw std::invalid_argument("it has no \"output\".\"message\"");
    }
    const auto& message = (*output)["message"];
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array())
        throw std::invalid_argument("the message has no \"content\" list");
    auto text = joined_text_parts(*content);
    if (!text) throw std::invalid_argument("the message content holds no text");
    return *text;
}

JudgeProvider aws_provider() {
    return {"aws",
            {"AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID"},
            "meta.llama3-70b-instruct-v1:0",
            read_settings};
}

}  // namespace velora::core::corvex
