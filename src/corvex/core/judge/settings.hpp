// Which judge CORVEX_DEFAULT_PROVIDER names and what it reads from the environment. What every judge
// shares (model, time-out, retries, CA bundle) is read here; each provider reads its own variables
// in its own unit under providers/, registered in the table (providers/table.cpp):
//
//   provider     required variables (this order)                           unit
//   aws          AWS_REGION_NAME, AWS_SECRET_ACCESS_KEY, AWS_ACCESS_KEY_ID  providers/aws.hpp
//   together-ai  TOGETHERAI_API_KEY                                         providers/together_ai.hpp
//   replicate    REPLICATE_API_TOKEN                                        providers/replicate.hpp
//   azure        AZURE_AI_API_BASE, AZURE_AI_API_KEY                        providers/azure.hpp
//   nimbra-sdk   QNR_APIKEY, QNR_URL, QNR_PROJECT_ID                        providers/nimbra_sdk.hpp
//
// Our own variables: CORVEX_JUDGE_MODEL (the judge model; default per provider), CORVEX_JUDGE_TIMEOUT
// (seconds per request, and for a whole prediction; default 120), CORVEX_JUDGE_MAX_RETRIES (extra
// attempts after a transient failure; default 2), CORVEX_JUDGE_CA_BUNDLE (a CA bundle file to verify
// the judge service's certificate against, instead of the system's), CORVEX_JUDGE_CONCURRENCY (calls
// in flight at most, 1 to 64; default 8: the size the binding gives the judge's transport),
// CORVEX_JUDGE_CACHE (path of a response cache for the judge's answers). A variable set to the empty
// string counts as set for the required ones, as the risk evaluator counts it, and as unset for ours.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/http/retry.hpp"
#include "common/http/transport.hpp"
#include "common/log_sink.hpp"
#include "corvex/core/error.hpp"
#include "corvex/core/judge/verdicts.hpp"

namespace velora::core::corvex {

inline constexpr const char* kProviderVariable = "CORVEX_DEFAULT_PROVIDER";
inline constexpr const char* kJudgeModelVariable = "CORVEX_JUDGE_MODEL";
inline constexpr const char* kJudgeTimeoutVariable = "CORVEX_JUDGE_TIMEOUT";
inline constexpr const char* kJudgeRetriesVariable = "CORVEX_JUDGE_MAX_RETRIES";
inline constexpr const char* kJudgeCaBundleVariable = "CORVEX_JUDGE_CA_BUNDLE";
inline constexpr const char* kJudgeConcurrencyVariable = "CORVEX_JUDGE_CONCURRENCY";
inline constexpr const char* kJudgeCacheVariable = "CORVEX_JUDGE_CACHE";

inline constexpr double kJudgeTimeoutSeconds = 120.0;
inline constexpr int kJudgeMaxRetries = 2;
inline constexpr int kJudgeConcurrency = 8;
// A verdict is one word; the room is for judges that write "Verdict:" or a short reason first.
inline constexpr int kJudgeMaxTokens = 64;

using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
EnvLookup process_environment();

// What every judge has, whatever its provider.
struct JudgeBasics {
    std::string provider;
    std::string model;
    double timeout_seconds = kJudgeTimeoutSeconds;
    int max_retries = kJudgeMaxRetries;
    int max_tokens = kJudgeMaxTokens;
    std::string ca_file;                    // empty: the system's CA bundle
    int concurrency = kJudgeConcurrency;    // calls in flight at most (replicate: one at a time)
    std::optional<std::string> cache_path;  // a response cache for the judge's answers
};

struct JudgeOptions {
    std::shared_ptr<Transport> transport;    // performs every request; the judge adds its retries
    std::function<bool()> should_abort;      // polled while a request blocks (Ctrl-C)
    LogSink* log = nullptr;                  // retries, at debug level
    RetryHooks hooks;                        // tests replace the retry sleep
    std::function<void(double)> poll_sleep;  // pause between prediction polls; default sleeps, abortable
    std::function<std::time_t()> clock;      // signing time; default the system clock
};

// A provider's own settings, as its unit read them: the secrets among them, and the judge they make.
class ProviderSettings {
  public:
    virtual ~ProviderSettings() = default;
    // Never written into a message.
    virtual std::vector<std::string> secrets() const = 0;
    // What decides an answer besides the prompt and the basics (address, API version, ...), never a
    // secret: part of the key of a cached answer.
    virtual std::vector<std::string> answer_identity() const = 0;
    // Nothing is sent until the judge's first ask.
    virtual std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const = 0;
};

struct JudgeSettings {
    JudgeBasics basics;
    std::shared_ptr<const ProviderSettings> own;

    // The provider's own settings as their type (std::bad_cast for another provider's).
    template <typename T>
    const T& as() const {
        return dynamic_cast<const T&>(*own);
    }
};

// One provider's view of the environment while its settings are read; its complaints name the card
// and the provider.
class ProviderEnv {
  public:
    ProviderEnv(const EnvLookup& env, std::string lead, std::string provider);
    // A required variable (present: the table checked it).
    std::string required(const char* name) const;
    // A variable of ours: nullopt when unset or empty.
    std::optional<std::string> ours(const char* name) const;
    // A variable as set, empty included.
    std::optional<std::string> raw(const char* name) const;
    // `value` as a base URL: http(s) only, trailing '/' removed; `variable` names it in the complaint.
    std::string base_url(const std::string& value, const char* variable) const;
    // The base URL our `variable` sets, `fallback` when it is unset or empty.
    std::string base_url_or(const char* variable, const std::string& fallback) const;
    // "card ... is scored by an LLM judge, and judge provider <name> cannot be used: <problem>".
    JudgeUnavailableError bad(const std::string& problem) const;

  private:
    const EnvLookup& env_;
    std::string lead_;
    std::string provider_;
};

struct JudgeProvider {
    std::string name;
    std::vector<std::string> required;  // environment variables, in the order they are reported
    std::string default_model;
    std::function<std::shared_ptr<const ProviderSettings>(const ProviderEnv&)> read;
};

// The table of providers: aws, together-ai, replicate, azure, nimbra-sdk, in that order.
const std::vector<JudgeProvider>& judge_providers();

// The judge settings for scoring `card_id`. No provider, an unknown one, a missing required
// variable or an unusable value: JudgeUnavailableError saying which.
JudgeSettings judge_settings(const std::string& card_id, const EnvLookup& env);

// The judge the settings describe, over options.transport, its answers kept in the response cache
// when the settings name one. Nothing is sent until the first ask().
std::unique_ptr<JudgeModel> make_judge(const JudgeSettings& settings, JudgeOptions options);

// The non-empty ones of `texts`, for a provider's secrets().
std::vector<std::string> non_empty(std::vector<std::string> texts);

}  // namespace velora::core::corvex
