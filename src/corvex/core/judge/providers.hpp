// The judge providers: which one CORVEX_DEFAULT_PROVIDER names, the settings each reads from the
// environment, and each one's request format.
//
//   provider     required variables (this order)                          request
//   aws          AWS_REGION_NAME, AWS_SECRET_ACCESS_KEY, AWS_ACCESS_KEY_ID  POST
//   {endpoint}/model/{model}/converse,
//                (AWS_SESSION_TOKEN optional)                               Signature Version 4, service
//                "bedrock"
//   together-ai  TOGETHERAI_API_KEY                                         POST {base}/chat/completions,
//   Bearer key replicate    REPLICATE_API_TOKEN                                        POST
//   {base}/models/{owner}/{name}/predictions
//                                                                           (or {base}/predictions with a
//                                                                           version), then GET the prediction
//                                                                           until it ends
//   azure        AZURE_AI_API_BASE, AZURE_AI_API_KEY                        POST
//   {AZURE_AI_API_BASE}/chat/completions
//                                                                           ?api-version=..., header api-key
//   nimbra-sdk   QNR_APIKEY, QNR_URL, QNR_PROJECT_ID                        the inference SDK's completions
//   protocol
//
// Our own variables: CORVEX_JUDGE_MODEL (the judge model; defaults below), CORVEX_JUDGE_TIMEOUT
// (seconds per request, and for a whole prediction; default 120), CORVEX_JUDGE_MAX_RETRIES (extra
// attempts after a transient failure; default 2), CORVEX_JUDGE_CONCURRENCY (calls in flight at
// most, 1 to 64; default 8), CORVEX_JUDGE_CACHE (path of a response cache for the answers),
// CORVEX_TOGETHERAI_BASE_URL, CORVEX_REPLICATE_BASE_URL, CORVEX_AWS_BEDROCK_ENDPOINT (base URLs),
// CORVEX_AZURE_API_VERSION (the api-version query value; empty sends none). A variable set to the empty
// string counts as set for the required ones, as the risk evaluator counts it, and as unset for our own.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/http/retry.hpp"
#include "common/log_sink.hpp"
#include "corvex/core/judge/aws_sigv4.hpp"
#include "corvex/core/judge/verdicts.hpp"

namespace velora::core::corvex {

inline constexpr const char* kProviderVariable = "CORVEX_DEFAULT_PROVIDER";
inline constexpr const char* kJudgeModelVariable = "CORVEX_JUDGE_MODEL";
inline constexpr const char* kJudgeTimeoutVariable = "CORVEX_JUDGE_TIMEOUT";
inline constexpr const char* kJudgeRetriesVariable = "CORVEX_JUDGE_MAX_RETRIES";
inline constexpr const char* kJudgeConcurrencyVariable = "CORVEX_JUDGE_CONCURRENCY";
inline constexpr const char* kJudgeCacheVariable = "CORVEX_JUDGE_CACHE";
inline constexpr const char* kTogetherBaseVariable = "CORVEX_TOGETHERAI_BASE_URL";
inline constexpr const char* kReplicateBaseVariable = "CORVEX_REPLICATE_BASE_URL";
inline constexpr const char* kBedrockEndpointVariable = "CORVEX_AWS_BEDROCK_ENDPOINT";
inline constexpr const char* kAzureApiVersionVariable = "CORVEX_AZURE_API_VERSION";

inline constexpr const char* kTogetherBaseUrl = "https://api.together.xyz/v1";
inline constexpr const char* kReplicateBaseUrl = "https://api.replicate.com/v1";
inline constexpr const char* kAzureApiVersion = "2024-05-01-preview";
inline constexpr double kJudgeTimeoutSeconds = 120.0;
inline constexpr int kJudgeMaxRetries = 2;
inline constexpr int kJudgeConcurrency = 8;
// A verdict is one word; the room is for judges that write "Verdict:" or a short reason first.
inline constexpr int kJudgeMaxTokens = 64;

struct ProviderInfo {
    std::string name;
    std::vector<std::string> required;  // environment variables, in the order they are reported
    std::string default_model;
};

// aws, together-ai, replicate, azure, nimbra-sdk, in that order.
const std::vector<ProviderInfo>& judge_providers();

using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
EnvLookup process_environment();

struct JudgeSettings {
    std::string provider;
    std::string model;
    std::string base_url;                   // no trailing '/'
    std::string api_key;                    // together-ai, azure, replicate, nimbra-sdk
    std::optional<std::string> project_id;  // nimbra-sdk
    std::string region;                     // aws
    aws::Credentials aws;
    std::string azure_api_version;
    double timeout_seconds = kJudgeTimeoutSeconds;
    int max_retries = kJudgeMaxRetries;
    int concurrency = kJudgeConcurrency;    // calls in flight at most (replicate: one at a time)
    std::optional<std::string> cache_path;  // a response cache for the judge's answers
    int max_tokens = kJudgeMaxTokens;
    std::vector<std::string> secrets;  // never written into a message
};

// The judge settings for scoring `card_id`. No provider, an unknown one, a missing required
// variable or an unusable value of ours: JudgeUnavailableError saying which.
JudgeSettings judge_settings(const std::string& card_id, const EnvLookup& env);

struct JudgeOptions {
    std::function<bool()> should_abort;      // polled while a request blocks (Ctrl-C)
    LogSink* log = nullptr;                  // retries, at debug level
    RetryHooks hooks;                        // tests replace the retry sleep
    std::function<void(double)> poll_sleep;  // pause between prediction polls; default sleeps, abortable
    std::function<std::time_t()> clock;      // signing time; default the system clock
};

// The judge the settings describe, its answers kept in the response cache when the settings name
// one. Nothing is sent until the first ask().
std::unique_ptr<JudgeModel> make_judge(const JudgeSettings& settings, JudgeOptions options);

// ---- wire formats (pure, so that tests check them without a server) ----------------------------

// {"model", "messages": [{"role": "user", "content": prompt}], "max_tokens", "temperature": 0}
std::string chat_request_body(std::string_view model, std::string_view prompt, int max_tokens);
// choices[0].message.content (a text, or a list of {"type": "text", "text"} parts). std::invalid_argument.
std::string parse_chat_text(std::string_view body);

std::string chat_completions_url(const JudgeSettings& settings);

// Official models "owner/name" -> {base}/models/owner/name/predictions with {"input": ...};
// "owner/name:version" or a bare version id -> {base}/predictions with {"version", "input"}.
std::string replicate_create_url(const JudgeSettings& settings);
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

// {endpoint}/model/<model, URI-encoded>/converse
std::string converse_url(const JudgeSettings& settings);
// {"messages": [{"role": "user", "content": [{"text": prompt}]}], "inferenceConfig": {"maxTokens",
// "temperature": 0}}
std::string converse_body(std::string_view prompt, int max_tokens);
// output.message.content[*].text joined. std::invalid_argument.
std::string parse_converse_text(std::string_view body);

}  // namespace velora::core::corvex
