// The OpenAI-compatible scoring function's engine: a card's prompts in, the model's answers out in
// the same order, with as many requests in flight as the settings allow (or as the service keeps
// up with, for auto_concurrency), transient failures and time-outs retried, identical prompts sent
// once, and answers kept in a response cache when one is given (a prompt whose answer is there is
// not sent again, so a stopped run resumes).
//
// The model check (GET {root}/models must list the model) runs once per engine, before the first
// request that has to be sent; a run answered wholly from the cache sends nothing at all. check()
// runs it (or, without the model check, one look at the server) at once, for callers that want a bad
// target found before their run starts.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/http/multi_transport.hpp"
#include "common/log_sink.hpp"
#include "common/openai_protocol.hpp"
#include "common/response_cache.hpp"

namespace velora::core::scoring {

inline constexpr int kDefaultConcurrency = 16;
inline constexpr int kDefaultMaxConcurrency = 64;
inline constexpr int kDefaultMaxTokens = 512;
inline constexpr double kDefaultTemperature = 0.0;
inline constexpr double kDefaultTimeoutSeconds = 120.0;
inline constexpr int kDefaultMaxRetries = 5;
inline constexpr std::size_t kQuotedCharacters = 200;
inline constexpr const char* kSkipModelCheck = "check_model=False";

struct ScoringSettings {
    std::string base_url;
    openai::GenerationSettings generation;
    std::optional<std::string> system_prompt;  // chat only; a prompt's own system prompt wins
    std::optional<std::string> api_key;        // sent as "Authorization: Bearer <key>"
    HttpHeaders headers;                       // extra headers; one named like ours replaces it
    int concurrency = kDefaultConcurrency;
    // Learn the width from the answers instead (InFlightLimit::adaptive), never above max_concurrency.
    bool auto_concurrency = false;
    int max_concurrency = kDefaultMaxConcurrency;
    double timeout_seconds = kDefaultTimeoutSeconds;
    int max_retries = kDefaultMaxRetries;
    bool verify_tls = true;
    std::string ca_file;
    bool check_model = true;
    std::optional<std::string> cache_path;
    std::size_t max_response_bytes = kDefaultMaxResponseBytes;  // a longer answer fails its prompt
};

// Throws std::invalid_argument naming the first setting that cannot be used, before any request.
void validate(const ScoringSettings& settings);

struct Prompt {
    std::string text;
    std::optional<std::string> system_prompt;  // the card's own, when it has one
};

struct ScoringStats {
    std::size_t total = 0;       // prompts asked
    std::size_t done = 0;        // prompts answered so far
    std::size_t cache_hits = 0;  // answered from the cache
    std::size_t sent = 0;        // generation requests answered by the service
    std::size_t retries = 0;
    std::size_t truncated = 0;  // answers cut by the length limit (finish_reason "length")
    double seconds = 0.0;
    // Answers from the service per second: what a progress display needs for the time left.
    double rate() const { return seconds > 0.0 ? static_cast<double>(sent) / seconds : 0.0; }
};

struct ScoringHooks {
    std::function<bool()> should_abort;  // polled while waiting (Ctrl-C)
    std::function<void(const ScoringStats&)>
        on_progress;         // at the start, every kProgressInterval, at the end
    LogSink* log = nullptr;  // retries (debug), truncations (warning)
};

inline constexpr std::chrono::milliseconds kProgressInterval{100};

// A failed exchange with the service, or an answer without the API's shape. Messages hold no
// secret (API key, header values).
class ServiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The user part of a prompt written "System: <system prompt>", a blank line, "User: <prompt>" for
// that very system prompt (how the evaluation library writes prompts of cards with a system
// prompt); any other prompt as it is. Chat sends the system prompt as the system message instead.
std::string user_part(const std::string& prompt, const std::string& system_prompt);

class OpenAICompatibleScorer {
  public:
    explicit OpenAICompatibleScorer(ScoringSettings settings, ScoringHooks hooks = {});

    // The answers, in prompt order. Throws ServiceError, ResponseCacheError, or HttpError of kind
    // Aborted when should_abort said so; answers that arrived before are in the cache. `card`, when
    // known, is named in the call's warnings.
    std::vector<std::string> score(const std::vector<Prompt>& prompts, const std::string& card = {});

    // The pre-flight: the cache file can take new answers, and the server answers GET {root}/models,
    // accepts the key and (with the model check) lists the model. Sends that one request at most, and
    // tries it once unless the server answers a transient status (then as retried as any request).
    // `skip_with` is what the caller's users write to skip the model check, named in its message.
    // Throws ServiceError or ResponseCacheError; a passed model check is not made again.
    void check(const std::string& skip_with = kSkipModelCheck);

    const ScoringStats& last_stats() const noexcept { return last_; }
    const ScoringStats& total_stats() const noexcept { return total_; }
    const ScoringSettings& settings() const noexcept { return settings_; }

  private:
    class Run;
    HttpRequest request(HttpMethod method, std::string url, std::string body) const;
    void check_model();
    void check_listing(const HttpRequest& listing, const HttpResponse& response,
                       const std::string& skip_with);
    void fail_on_refused_key(const HttpRequest& listing, const HttpResponse& response) const;
    HttpResponse first_answer(const HttpRequest& request);
    void require_writable_cache() const;
    [[noreturn]] void fail_answer(const HttpRequest& request, const HttpResponse& response,
                                  const std::string& problem) const;
    std::string safe(std::string text) const;

    ScoringSettings settings_;
    ScoringHooks hooks_;
    std::string root_;
    std::vector<std::string> secrets_;
    std::vector<std::string> headers_key_;  // what the extra headers add to every cache key
    std::unique_ptr<ResponseCache> cache_;
    std::unique_ptr<MultiTransport> transport_;
    bool model_checked_ = false;
    ScoringStats last_, total_;
};

}  // namespace velora::core::scoring
