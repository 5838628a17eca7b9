#include "mra/core/scoring/openai_compatible.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "common/completions_protocol.hpp"
#include "common/http/request_limits.hpp"
#include "common/http/url_encoding.hpp"
#include "common/redaction.hpp"
#include "common/text.hpp"

namespace velora::core::scoring {
namespace {

using Clock = std::chrono::steady_clock;

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// Rows handled between two polls of should_abort while no request is out (grouping a large
// table, cache look-ups): a Ctrl-C is then honoured well within a second.
constexpr std::size_t kRowsPerAbortPoll = 256;

// Headers that carry credentials: a different key must not ask anew, nor may a key reach the file.
bool is_credential_header(std::string_view name) {
    for (const std::string_view credential :
         {"authorization", "proxy-authorization", "cookie", "api-key", "x-api-key"}) {
        if (iequals(name, credential)) return true;
    }
    return false;
}

// What the extra headers add to a cache key: name and value of each, names lower-cased, sorted,
// credential headers left out. Nothing when none is left, so such a request keeps the key it had
// before headers counted.
std::vector<std::string> headers_key_parts(const HttpHeaders& headers) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& [name, value] : headers) {
        if (!is_credential_header(name)) kept.emplace_back(ascii_lower(name), value);
    }
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> parts;
    for (auto& [name, value] : kept) {
        parts.push_back(std::move(name));
        parts.push_back(std::move(value));
    }
    return parts;
}

std::string number_text(double value) {
    std::string text = std::to_string(value);
    while (text.size() > 1 && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

void validate(const ScoringSettings& settings) {
    const bool http = starts_with_nocase(settings.base_url, "http://") && settings.base_url.size() > 7;
    const bool https = starts_with_nocase(settings.base_url, "https://") && settings.base_url.size() > 8;
    if (!http && !https)
        throw std::invalid_argument("base_url must be an http:// or https:// URL, got '" +
                                    url_for_messages(settings.base_url) + "'");
    if (settings.generation.model.empty()) throw std::invalid_argument("model must not be empty");
    if (!settings.auto_concurrency && settings.concurrency < 1)
        throw std::invalid_argument("concurrency must be at least 1, got " +
                                    std::to_string(settings.concurrency));
    if (settings.max_concurrency < 1)
        throw std::invalid_argument("max_concurrency must be at least 1, got " +
                                    std::to_string(settings.max_concurrency));
    if (const auto problem = timeout_problem(settings.timeout_seconds))
        throw std::invalid_argument("timeout " + *problem + ", got " + number_text(settings.timeout_seconds));
    if (settings.max_response_bytes < 1) throw std::invalid_argument("max_response_bytes must be at least 1");
    if (settings.max_retries < 0)
        throw std::invalid_argument("max_retries must not be negative, got " +
                                    std::to_string(settings.max_retries));
    if (settings.generation.max_tokens && *settings.generation.max_tokens < 1)
        throw std::invalid_argument("max_tokens must be at least 1 or None, got " +
                                    std::to_string(*settings.generation.max_tokens));
    const auto& temperature = settings.generation.temperature;
    if (temperature && (!(*temperature >= 0.0) || !std::isfinite(*temperature)))
        throw std::invalid_argument("temperature must be a number >= 0 or None, got " +
                                    number_text(*temperature));
    if (settings.system_prompt && settings.generation.api != openai::Api::Chat)
        throw std::invalid_argument(
            "system_prompt needs api='chat': the completions API has no system message");
}

std::string user_part(const std::string& prompt, const std::string& system_prompt) {
    const std::string head = "System: " + system_prompt + "\n\nUser: ";
    return prompt.rfind(head, 0) == 0 ? prompt.substr(head.size()) : prompt;
}

// ---- one call: prompts grouped by request, answered from the cache, the rest sent ---------------

class OpenAICompatibleScorer::Run {
  public:
    Run(OpenAICompatibleScorer& owner, const std::vector<Prompt>& prompts)
        : owner_(owner), answers_(prompts.size()), started_(Clock::now()) {
        stats_.total = prompts.size();
        group(prompts);
    }

    std::vector<std::string> answers() {
        answer_from_cache();
        report(false);
        send_rest();
        report(true);
        return std::move(answers_);
    }

    const ScoringStats& stats() const { return stats_; }

  private:
    struct Request {
        std::string body;
        std::string key;  // cache key; empty without a cache
        std::vector<std::size_t> rows;
        bool answered = false;
    };

    void group(const std::vector<Prompt>& prompts) {
        const auto& settings = owner_.settings_;
        const bool chat = settings.generation.api == openai::Api::Chat;
        url_ = openai::generation_url(owner_.root_, settings.generation.api);
        std::unordered_map<std::string, std::size_t> by_body;
        for (std::size_t row = 0; row < prompts.size(); ++row) {
            poll_abort(row);
            const Prompt& prompt = prompts[row];
            const auto& system = chat && prompt.system_prompt ? prompt.system_prompt : settings.system_prompt;
            const std::string text =
                chat && prompt.system_prompt ? user_part(prompt.text, *prompt.system_prompt) : prompt.text;
            std::string body = openai::request_body(settings.generation, text, chat ? system : std::nullopt);
            const auto [it, fresh] = by_body.try_emplace(body, requests_.size());
            if (fresh) {
                const std::string key = owner_.cache_ ? request_key(body) : std::string();
                requests_.push_back({std::move(body), key, {}});
            }
            requests_[it->second].rows.push_back(row);
        }
    }

    void answer_from_cache() {
        if (!owner_.cache_) return;
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            poll_abort(i);
            Request& request = requests_[i];
            if (const auto cached = owner_.cache_->find(request.key)) {
                settle(request, openai::Generation{cached->text, cached->finish_reason});
                stats_.cache_hits += request.rows.size();
            }
        }
    }

    std::string request_key(const std::string& body) const {
        std::vector<std::string_view> parts{url_, body};
        parts.insert(parts.end(), owner_.headers_key_.begin(), owner_.headers_key_.end());
        return cache_key(parts);
    }

    void poll_abort(std::size_t done) const {
        const auto& should_abort = owner_.hooks_.should_abort;
        if (done % kRowsPerAbortPoll != 0 || !should_abort || !should_abort()) return;
        throw HttpError(HttpError::Kind::Aborted, 0, "interrupted");
    }

    void settle(Request& request, const openai::Generation& generation) {
        request.answered = true;
        for (const auto row : request.rows) answers_[row] = generation.text;
        stats_.done += request.rows.size();
        if (generation.cut_by_length()) stats_.truncated += request.rows.size();
    }

    void send_rest();
    void take(Request& request, const HttpRequest& sent, const TransportResult& result);

    void report(bool final) {
        const auto now = Clock::now();
        stats_.seconds = std::chrono::duration<double>(now - started_).count();
        stats_.retries = owner_.transport_->retries() - retries_before_;
        if (!owner_.hooks_.on_progress || (!final && now < next_report_)) return;
        next_report_ = now + kProgressInterval;
        owner_.hooks_.on_progress(stats_);
    }

    OpenAICompatibleScorer& owner_;
    std::vector<std::string> answers_;
    std::vector<Request> requests_;
    std::string url_;
    ScoringStats stats_;
    Clock::time_point started_;
    Clock::time_point next_report_{};
    std::size_t retries_before_ = owner_.transport_->retries();
};

void OpenAICompatibleScorer::Run::send_rest() {
    std::vector<Request*> pending;
    for (auto& request : requests_) {
        if (!request.answered) pending.push_back(&request);
    }
    if (pending.empty()) return;
    owner_.require_writable_cache();
    owner_.check_model();
    std::vector<HttpRequest> batch;
    batch.reserve(pending.size());
    for (const Request* request : pending) {
        poll_abort(batch.size());
        batch.push_back(owner_.request(HttpMethod::Post, url_, request->body));
    }
    // A failed answer ends the batch: the card fails whatever the other answers say.
    perform_each(*owner_.transport_, batch, [&](std::size_t index, const TransportResult& result) {
        take(*pending[index], batch[index], result);
    });
}

void OpenAICompatibleScorer::Run::take(Request& request, const HttpRequest& sent,
                                       const TransportResult& result) {
    if (result.error) {
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& error) {
            throw ServiceError(owner_.safe(error.what()));
        }
    }
    const HttpResponse& response = *result.response;
    if (response.status < 200 || response.status >= 300)
        owner_.fail_answer(sent, response, "answered HTTP " + std::to_string(response.status));
    openai::Generation generation;
    try {
        generation = openai::parse_generation(owner_.settings_.generation.api, response.body);
    } catch (const std::invalid_argument& problem) {
        const bool chat = owner_.settings_.generation.api == openai::Api::Chat;
        owner_.fail_answer(sent, response,
                           std::string("answered with something other than a ") +
                               (chat ? "chat completion" : "completion") + " (" + problem.what() + ")");
    }
    if (owner_.cache_) owner_.cache_->store(request.key, {generation.text, generation.finish_reason});
    ++stats_.sent;
    settle(request, generation);
    report(false);
}

// ---- the engine -----------------------------------------------------------------------------------

OpenAICompatibleScorer::OpenAICompatibleScorer(ScoringSettings settings, ScoringHooks hooks)
    : settings_(std::move(settings)), hooks_(std::move(hooks)) {
    validate(settings_);
    root_ = openai::api_root(settings_.base_url);
    if (settings_.api_key) secrets_.push_back(*settings_.api_key);
    for (const auto& header : settings_.headers) secrets_.push_back(header.second);
    headers_key_ = headers_key_parts(settings_.headers);
    MultiTransportOptions options;
    options.adaptive = settings_.auto_concurrency;
    options.max_in_flight =
        static_cast<std::size_t>(options.adaptive ? settings_.max_concurrency : settings_.concurrency);
    options.retry.max_attempts = settings_.max_retries + 1;
    // A service that queues requests times out those at the back; sent again into the narrowed
    // window, they are answered.
    options.retry.retry_timeouts = true;
    if (hooks_.log != nullptr) {
        options.on_retry = [this](std::size_t, int attempt, double pause, const std::string& why) {
            hooks_.log->debug(safe("Retrying a request to " + url_for_messages(root_) + " in " +
                                   number_text(pause) + " s after attempt " + std::to_string(attempt) + ": " +
                                   why));
        };
    }
    transport_ = std::make_unique<MultiTransport>(std::move(options));
    if (settings_.cache_path) cache_ = std::make_unique<ResponseCache>(*settings_.cache_path);
}

std::vector<std::string> OpenAICompatibleScorer::score(const std::vector<Prompt>& prompts,
                                                       const std::string& card) {
    Run run(*this, prompts);
    std::vector<std::string> answers;
    try {
        answers = run.answers();
    } catch (...) {
        last_ = run.stats();
        throw;
    }
    last_ = run.stats();
    total_.total += last_.total;
    total_.done += last_.done;
    total_.cache_hits += last_.cache_hits;
    total_.sent += last_.sent;
    total_.retries += last_.retries;
    total_.truncated += last_.truncated;
    total_.seconds += last_.seconds;
    if (last_.truncated > 0 && hooks_.log != nullptr) {
        const auto limit = settings_.generation.max_tokens;
        hooks_.log->warning(
            (card.empty() ? std::string() : "Card " + card + ": ") + std::to_string(last_.truncated) +
            " of " + std::to_string(last_.total) + " answers were cut by the length limit (max_tokens=" +
            (limit ? std::to_string(*limit) : std::string("None")) + ") and are scored as they are");
    }
    return answers;
}

HttpRequest OpenAICompatibleScorer::request(HttpMethod method, std::string url, std::string body) const {
    HttpRequest request;
    request.method = method;
    request.url = std::move(url);
    request.body = std::move(body);
    if (method == HttpMethod::Post) request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Accept", "application/json");
    if (settings_.api_key) request.headers.emplace_back("Authorization", "Bearer " + *settings_.api_key);
    for (const auto& header : settings_.headers) {
        std::erase_if(request.headers, [&](const auto& ours) { return iequals(ours.first, header.first); });
        request.headers.push_back(header);
    }
    RequestLimits{settings_.timeout_seconds, settings_.verify_tls, settings_.ca_file, hooks_.should_abort,
                  settings_.max_response_bytes}
        .apply_to(request);
    return request;
}

std::string OpenAICompatibleScorer::safe(std::string text) const { return redact(std::move(text), secrets_); }

void OpenAICompatibleScorer::fail_answer(const HttpRequest& request, const HttpResponse& response,
                                         const std::string& problem) const {
    throw ServiceError(
        safe(std::string(method_name(request.method)) + " " + url_for_messages(request.url) + " " + problem) +
        ": " + quoted_answer(response.body, secrets_, kQuotedCharacters));
}

void OpenAICompatibleScorer::check_model() {
    if (!settings_.check_model || model_checked_) return;
    const HttpRequest listing = request(HttpMethod::Get, openai::models_url(root_), {});
    HttpResponse response;
    try {
        response = transport_->perform(listing);
    } catch (const HttpError& error) {
        if (error.kind() == HttpError::Kind::Aborted) throw;
        throw ServiceError(safe(error.what()));
    }
    check_listing(listing, response, kSkipModelCheck);
}

void OpenAICompatibleScorer::check_listing(const HttpRequest& listing, const HttpResponse& response,
                                           const std::string& skip_with) {
    const std::string hint = " (" + skip_with + " skips this check)";
    fail_on_refused_key(listing, response);
    if (response.status < 200 || response.status >= 300)
        fail_answer(listing, response, "answered HTTP " + std::to_string(response.status) + hint);
    std::vector<std::string> ids;
    try {
        ids = completions::parse_model_ids(response.body);
    } catch (const std::invalid_argument& problem) {
        fail_answer(listing, response, std::string("gave no model list (") + problem.what() + ")" + hint);
    }
    if (std::find(ids.begin(), ids.end(), settings_.generation.model) == ids.end()) {
        throw ServiceError(safe(
            completions::model_not_listed_message(settings_.generation.model, url_for_messages(root_), ids) +
            hint));
    }
    model_checked_ = true;
}

// ---- the pre-flight ------------------------------------------------------------------------------

void OpenAICompatibleScorer::check(const std::string& skip_with) {
    require_writable_cache();
    if (settings_.check_model && model_checked_) return;
    const HttpRequest listing = request(HttpMethod::Get, openai::models_url(root_), {});
    const HttpResponse response = first_answer(listing);
    if (settings_.check_model) return check_listing(listing, response, skip_with);
    fail_on_refused_key(listing, response);  // any other answer: the server is there
}

// A refused key is told as such: skipping the model check would not help.
void OpenAICompatibleScorer::fail_on_refused_key(const HttpRequest& listing,
                                                 const HttpResponse& response) const {
    if (response.status == 401 || response.status == 403)
        fail_answer(listing, response,
                    "answered HTTP " + std::to_string(response.status) + ": the API key was refused");
}

// A server that is down or a host that does not resolve fails at once; one that answers a transient
// status (a model still loading) gets the usual retries.
HttpResponse OpenAICompatibleScorer::first_answer(const HttpRequest& request) {
    try {
        MultiTransport once(MultiTransportOptions{1, RetryPolicy{1}, {}});
        HttpResponse response = once.perform(request);
        return is_transient_status(response.status) ? transport_->perform(request) : response;
    } catch (const HttpError& error) {
        if (error.kind() == HttpError::Kind::Aborted) throw;
        throw ServiceError(safe(error.what()));
    }
}

// Checked before anything is sent: a write-protected cache would fail at the first answer, once it
// has been paid for.
void OpenAICompatibleScorer::require_writable_cache() const {
    if (cache_ && !cache_->writable())
        throw ResponseCacheError("Response cache " + cache_->path() +
                                 " is read-only: new answers could not be kept in it (make it writable, or "
                                 "name another file)");
}

}  // namespace velora::core::scoring
