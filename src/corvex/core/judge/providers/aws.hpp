// aws: the Converse API, POST {endpoint}/model/{model}/converse, signed with Signature Version 4
// for the service "bedrock".
//   AWS_REGION_NAME, AWS_SECRET_ACCESS_KEY, AWS_ACCESS_KEY_ID (required); AWS_SESSION_TOKEN
//   (temporary credentials); CORVEX_AWS_BEDROCK_ENDPOINT (default
//   https://bedrock-runtime.<region>.amazonaws.com).
#pragma once

#include <string_view>

#include "corvex/core/judge/aws_sigv4.hpp"
#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

struct AwsSettings final : ProviderSettings {
    std::string region;
    aws::Credentials credentials;
    std::string base_url;  // no trailing '/'

    std::vector<std::string> secrets() const override;
    std::vector<std::string> answer_identity() const override { return {base_url, region}; }
    std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const override;
};

// {endpoint}/model/<model, URI-encoded>/converse
std::string converse_url(const AwsSettings& settings, std::string_view model);
// {"messages": [{"role": "user", "content": [{"text": prompt}]}], "inferenceConfig": {"maxTokens",
// "temperature": 0}}
std::string converse_body(std::string_view prompt, int max_tokens);
// output.message.content[*].text joined. std::invalid_argument.
std::string parse_converse_text(std::string_view body);

JudgeProvider aws_provider();

}  // namespace velora::core::corvex
