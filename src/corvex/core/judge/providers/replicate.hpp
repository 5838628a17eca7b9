// replicate: POST {base}/models/{owner}/{name}/predictions (or {base}/predictions with a version),
// then GET the prediction until it ends, the token as a Bearer token on every request.
//   REPLICATE_API_TOKEN (required); CORVEX_REPLICATE_BASE_URL (default https://api.replicate.com/v1).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

struct ReplicateSettings final : ProviderSettings {
    std::string api_token;
    std::string base_url;  // no trailing '/'

    std::vector<std::string> secrets() const override { return non_empty({api_token}); }
    std::vector<std::string> answer_identity() const override { return {base_url}; }
    std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const override;
};

// Official models "owner/name" -> {base}/models/owner/name/predictions with {"input": ...};
// "owner/name:version" or a bare version id -> {base}/predictions with {"version", "input"}.
std::string replicate_create_url(const ReplicateSettings& settings, std::string_view model);
std::string replicate_create_body(std::string_view model, std::string_view prompt, int max_tokens);

struct ReplicatePrediction {
    std::string id;
    std::string status;                 // starting, processing, succeeded, failed, canceled, aborted
    std::string get_url;                // urls.get, may be empty
    std::optional<std::string> output;  // the joined output, once there is one
    std::string error;
};
ReplicatePrediction parse_replicate_prediction(std::string_view body);  // std::invalid_argument
bool replicate_finished(const std::string& status);

JudgeProvider replicate_provider();

}  // namespace velora::core::corvex
