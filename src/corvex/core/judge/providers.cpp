#include "corvex/core/judge/providers.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/http/multi_transport.hpp"
#include "common/http/request_limits.hpp"
#include "common/http/url_encoding.hpp"
#include "common/pynum.hpp"
#include "common/pytext.hpp"
#include "corvex/core/error.hpp"
#include "corvex/core/judge/cached_judge.hpp"
#include "nimbra/core/inference.hpp"
#include "nimbra/core/protocol.hpp"

namespace velora::core::corvex {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

std::string dumped(const ordered_json& body) {
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string without_trailing_slashes(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::vector<std::string> provider_names() {
    std::vector<std::string> names;
    for (const auto& p : judge_providers()) names.push_back(p.name);
    return names;
}

// ---- the HTTP providers ------------------------------------------------------------------------

class HttpJudge : public JudgeModel {
  public:
    HttpJudge(JudgeSettings settings, JudgeOptions options)
        : settings_(std::move(settings)), options_(std::move(options)), transport_(make_transport()) {}

    std::string describe() const override { return settings_.provider + " judge " + settings_.model; }

  protected:
    std::string safe(std::string text) const { return nimbra::redact(std::move(text), settings_.secrets); }

    [[noreturn]] void fail(const HttpRequest& request, JudgeCause::Kind kind,
                           const std::string& cause) const {
        throw JudgeCallError(safe("the " + describe() + ": " + method_name(request.method) + " " +
                                  url_for_messages(request.url) + " failed"),
                             JudgeCause{kind, safe(cause)});
    }

    HttpRequest request(HttpMethod method, std::string url) const {
        HttpRequest r;
        r.method = method;
        r.url = std::move(url);
        RequestLimits{settings_.timeout_seconds, true, {}, options_.should_abort}.apply_to(r);
        return r;
    }

    // The response of one exchange (retried under the settings); a transport failure is a JudgeCallError.
    const HttpResponse& received(const HttpRequest& request, const TransportResult& result) const {
        if (result.error) {
            try {
                std::rethrow_exception(result.error);
            } catch (const HttpError& error) {
                const auto kind = error.kind() == HttpError::Kind::Timeout   ? JudgeCause::Kind::Timeout
                                  : error.kind() == HttpError::Kind::Aborted ? JudgeCause::Kind::Interrupted
                                                                             : JudgeCause::Kind::Transport;
                fail(request, kind, error.what());
            }
        }
        return *result.response;
    }

    // An error status is a JudgeCallError.
    void check_status(const HttpRequest& request, const HttpResponse& response) const {
        if (response.status >= 200 && response.status < 300) return;
        const auto answer = nimbra::classify_error_answer(response.status, response.body);
        const int attempts = settings_.max_retries + 1;
        const bool retried = is_transient_status(response.status) && attempts > 1;
        fail(request, JudgeCause::Kind::Service,
             "HTTP " + std::to_string(response.status) +
                 (retried ? " after " + std::to_string(attempts) + " attempts" : std::string()) +
                 (answer.message.empty() ? std::string() : ": " + answer.message));
    }

    // One exchange with bounded retries, as a batch of one would end.
    TransportResult performed(const HttpRequest& request) {
        TransportResult result;
        try {
            result.response = transport_->perform(request);
        } catch (const HttpError&) {
            result.error = std::current_exception();
        }
        return result;
    }

    // One exchange with bounded retries; a transport failure or an error status is a JudgeCallError.
    HttpResponse exchange(const HttpRequest& request) {
        HttpResponse response = received(request, performed(request));
        check_status(request, response);
        return response;
    }

    template <typename Parse>
    std::string read(const HttpRequest& request, const HttpResponse& response, const char* what,
                     Parse parse) const {
        try {
            return parse(response.body);
        } catch (const std::invalid_argument& problem) {
            fail(request, JudgeCause::Kind::Answer,
                 std::string("the answer is not ") + what + " (" + problem.what() +
                     "); body starts with: " + nimbra::shorten(response.body, 120));
        }
    }

    JudgeSettings settings_;
    JudgeOptions options_;
    std::unique_ptr<MultiTransport> transport_;

  private:
    std::unique_ptr<MultiTransport> make_transport() const {
        MultiTransportOptions o;
        o.max_in_flight = static_cast<std::size_t>(settings_.concurrency);
        o.retry.max_attempts = settings_.max_retries + 1;
        if (options_.log != nullptr) {
            o.on_retry = [this](std::size_t, int attempt, double delay, const std::string& reason) {
                options_.log->debug(safe("Retrying a request of the " + describe() + " in " +
                                         format_fixed(delay, 1) + " s after attempt " +
                                         std::to_string(attempt) + " of " +
                                         std::to_string(settings_.max_retries + 1) + ": " + reason));
            };
        }
        return std::make_unique<MultiTransport>(std::move(o));
    }
};

// A judge whose every call is one request: calls of a batch overlap, up to the settings' concurrency.
class BatchHttpJudge : public HttpJudge {
  public:
    using HttpJudge::HttpJudge;

    std::string ask(const std::string& prompt) override {
        const HttpRequest r = build(prompt);
        return answer_of(r, received(r, performed(r)));
    }

    std::vector<std::string> ask_all(const std::vector<std::string>& prompts,
                                     const JudgeAnswered& answered) override {
        std::vector<HttpRequest> requests;
        requests.reserve(prompts.size());
        for (const auto& prompt : prompts) requests.push_back(build(prompt));
        std::vector<std::string> answers(prompts.size());
        try {
            perform_each(*transport_, requests, [&](std::size_t i, const TransportResult& result) {
                try {
                    answers[i] = answer_of(requests[i], received(requests[i], result));
                } catch (const JudgeCallError& error) {
                    throw JudgeBatchError(i, error);
                }
                if (answered) answered(i, answers[i]);
            });
        } catch (const HttpError& error) {  // the caller gave up (Ctrl-C)
            fail(requests.front(), JudgeCause::Kind::Interrupted, error.what());
        }
        return answers;
    }

  protected:
    virtual HttpRequest build(const std::string& prompt) = 0;
    // The judge's text in a response, error statuses included; JudgeCallError when there is none.
    virtual std::string answer_of(const HttpRequest& request, const HttpResponse& response) const = 0;
};

// together-ai and azure: the common chat completions API, told apart by how the key travels.
class ChatJudge final : public BatchHttpJudge {
  public:
    using BatchHttpJudge::BatchHttpJudge;

  protected:
    HttpRequest build(const std::string& prompt) override {
        HttpRequest r = request(HttpMethod::Post, chat_completions_url(settings_));
        if (settings_.provider == "azure") {
            r.headers.emplace_back("api-key", settings_.api_key);
        } else {
            r.headers.emplace_back("Authorization", "Bearer " + settings_.api_key);
        }
        r.headers.emplace_back("Content-Type", "application/json");
        r.headers.emplace_back("Accept", "application/json");
        r.body = chat_request_body(settings_.model, prompt, settings_.max_tokens);
        return r;
    }

    std::string answer_of(const HttpRequest& r, const HttpResponse& response) const override {
        check_status(r, response);
        return read(r, response, "a chat completion", parse_chat_text);
    }
};

class ReplicateJudge final : public HttpJudge {
  public:
    using HttpJudge::HttpJudge;

    std::string ask(const std::string& prompt) override {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(settings_.timeout_seconds));
        HttpRequest create = request(HttpMethod::Post, replicate_create_url(settings_));
        add_headers(create);
        create.headers.emplace_back("Content-Type", "application/json");
        // The service holds the answer back a while when it can finish quickly, which saves polls.
        create.headers.emplace_back("Prefer", "wait");
        create.body = replicate_create_body(settings_.model, prompt, settings_.max_tokens);
        ReplicatePrediction prediction = parse(create, exchange(create));

        double pause = 0.25;
        std::string last_url = create.url;
        while (!replicate_finished(prediction.status)) {
            if (std::chrono::steady_clock::now() + std::chrono::duration<double>(pause) > deadline) {
                HttpRequest described = request(HttpMethod::Get, poll_url(prediction));
                fail(described, JudgeCause::Kind::Timeout,
                     "prediction " + prediction.id + " did not finish within " +
                         format_fixed(settings_.timeout_seconds, 1) +
                         " s (last status: " + prediction.status + ")");
            }
            wait(pause);
            pause = std::min(pause * 2.0, 2.0);
            HttpRequest poll = request(HttpMethod::Get, poll_url(prediction));
            add_headers(poll);
            const std::string id = prediction.id;
            prediction = parse(poll, exchange(poll));
            if (prediction.id.empty()) prediction.id = id;
        }
        HttpRequest last = request(HttpMethod::Get, poll_url(prediction));
        if (prediction.status != "succeeded") {
            fail(last, JudgeCause::Kind::Service,
                 "prediction " + prediction.id + " ended " + prediction.status +
                     (prediction.error.empty() ? std::string()
                                               : ": " + nimbra::shorten(prediction.error, 300)));
        }
        if (!prediction.output) {
            fail(last, JudgeCause::Kind::Answer,
                 "prediction " + prediction.id + " succeeded without a text output");
        }
        return *prediction.output;
    }

  private:
    void add_headers(HttpRequest& r) const {
        r.headers.emplace_back("Authorization", "Bearer " + settings_.api_key);
        r.headers.emplace_back("Accept", "application/json");
    }

    ReplicatePrediction parse(const HttpRequest& r, const HttpResponse& response) const {
        try {
            auto prediction = parse_replicate_prediction(response.body);
            if (prediction.status.empty()) throw std::invalid_argument("it has no \"status\"");
            return prediction;
        } catch (const std::invalid_argument& problem) {
            fail(r, JudgeCause::Kind::Answer,
                 std::string("the answer is not a prediction (") + problem.what() +
                     "); body starts with: " + nimbra::shorten(response.body, 120));
        }
    }

    // The service's own poll address, when it is one of ours to send the token to; else built.
    std::string poll_url(const ReplicatePrediction& prediction) const {
        const std::string own = settings_.base_url + "/";
        if (prediction.get_url.rfind(own, 0) == 0) return prediction.get_url;
        return settings_.base_url + "/predictions/" + aws::uri_encode(prediction.id, false);
    }

    void wait(double seconds) const {
        if (options_.poll_sleep) {
            options_.poll_sleep(seconds);
        } else {
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds));
            while (std::chrono::steady_clock::now() < until) {
                if (options_.should_abort && options_.should_abort()) break;
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    until - std::chrono::steady_clock::now(), std::chrono::milliseconds(100)));
            }
        }
        if (options_.should_abort && options_.should_abort()) {
            fail(request(HttpMethod::Get, settings_.base_url + "/predictions"), JudgeCause::Kind::Interrupted,
                 "interrupted while waiting for the prediction");
        }
    }
};

class BedrockJudge final : public BatchHttpJudge {
  public:
    using BatchHttpJudge::BatchHttpJudge;

  protected:
    HttpRequest build(const std::string& prompt) override {
        HttpRequest r = request(HttpMethod::Post, converse_url(settings_));
        r.default_accept_header = false;  // every header sent is signed; curl must add none of its own
        r.headers.emplace_back("Host", aws::host_of(r.url));
        r.headers.emplace_back("Content-Type", "application/json");
        r.headers.emplace_back("Accept", "application/json");
        r.body = converse_body(prompt, settings_.max_tokens);
        const std::time_t now = options_.clock ? options_.clock() : std::time(nullptr);
        aws::sign(r, settings_.aws, aws::Scope{settings_.region, "bedrock"}, aws::amz_date(now));
        return r;
    }

    std::string answer_of(const HttpRequest& r, const HttpResponse& response) const override {
        check_status(r, response);
        return read(r, response, "a Converse answer", parse_converse_text);
    }
};

// nimbra-sdk: the inference SDK's own requests and answers, so the judge speaks exactly what the
// SDK speaks; the calls of a batch overlap like those of the other HTTP judges.
class NimbraJudge final : public BatchHttpJudge {
  public:
    NimbraJudge(const JudgeSettings& settings, const JudgeOptions& options)
        : BatchHttpJudge(settings, options), inference_(make_inference(settings, options)) {}

    std::string ask(const std::string& prompt) override {
        verify();
        return BatchHttpJudge::ask(prompt);
    }

    std::vector<std::string> ask_all(const std::vector<std::string>& prompts,
                                     const JudgeAnswered& answered) override {
        try {
            verify();
        } catch (const JudgeCallError& error) {
            throw JudgeBatchError(0, error);  // made for the first call
        }
        return BatchHttpJudge::ask_all(prompts, answered);
    }

  protected:
    HttpRequest build(const std::string& prompt) override { return inference_.completion_request(prompt); }

    std::string answer_of(const HttpRequest& r, const HttpResponse& response) const override {
        try {
            return inference_.read_completion(r, response);
        } catch (const nimbra::NimbraError& error) {
            throw service_error("POST", r.url, error);
        }
    }

  private:
    static nimbra::NimbraInference make_inference(const JudgeSettings& settings,
                                                  const JudgeOptions& options) {
        nimbra::InferenceOptions o;
        o.timeout_seconds = settings.timeout_seconds;
        o.retry.max_attempts = settings.max_retries + 1;
        o.max_tokens = settings.max_tokens;
        o.temperature = 0.0;
        o.should_abort = options.should_abort;
        o.log = options.log;
        o.hooks = options.hooks;
        try {
            return nimbra::NimbraInference(settings.model,
                                           nimbra::Credentials{settings.base_url, settings.api_key, {}, {}},
                                           settings.project_id, std::move(o), std::nullopt);
        } catch (const nimbra::NimbraCredentialsError& error) {
            throw JudgeUnavailableError("judge provider nimbra-sdk cannot use QNR_URL: " +
                                        std::string(error.what()));
        }
    }

    void verify() {
        if (verified_) return;
        try {
            inference_.verify();
        } catch (const nimbra::NimbraError& error) {
            throw service_error("GET", nimbra::models_url(inference_.connection()), error);
        }
        verified_ = true;
    }

    JudgeCallError service_error(const char* method, const std::string& url,
                                 const nimbra::NimbraError& error) const {
        return JudgeCallError(
            safe("the " + describe() + ": " + method + " " + url_for_messages(url) + " failed"),
            JudgeCause{JudgeCause::Kind::Service, safe(error.what())});
    }

    nimbra::NimbraInference inference_;
    bool verified_ = false;
};

std::optional<std::string> ours(const EnvLookup& env, const char* name) {
    auto value = env(name);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

}  // namespace

const std::vector<ProviderInfo>& judge_providers() {
    static const std::vector<ProviderInfo> providers{
        {"aws",
         {"AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID"},
         "meta.llama3-70b-instruct-v1:0"},
        {"together-ai", {"TOGETHERAI_API_KEY"}, "meta-llama/Llama-3.3-70B-Instruct-Turbo"},
        {"replicate", {"REPLICATE_API_TOKEN"}, "meta/meta-llama-3-70b-instruct"},
        {"azure", {"AZURE_AI_API_BASE", "AZURE_AI_API_KEY"}, "gpt-4o-mini"},
        // The bundled reference model answers judge prompts, so the demo needs no model choice.
        {"nimbra-sdk", {"QNR_APIKEY", "QNR_URL", "QNR_PROJECT_ID"}, "velora/reference-model"},
    };
    return providers;
}

EnvLookup process_environment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
}

JudgeSettings judge_settings(const std::string& card_id, const EnvLookup& env) {
    const std::string lead = "card " + card_id + " is scored by an LLM judge, and ";
    const auto provider = env(kProviderVariable);
    if (!provider) {
        throw JudgeUnavailableError(lead + kProviderVariable + " is not set; set it to one of " +
                                    python_list_repr(provider_names()));
    }
    const auto info = std::find_if(judge_providers().begin(), judge_providers().end(),
                                   [&](const ProviderInfo& p) { return p.name == *provider; });
    if (info == judge_providers().end()) {
        throw JudgeUnavailableError(lead + kProviderVariable + " names " + python_repr(*provider) +
                                    ", which is not a judge provider; use one of " +
                                    python_list_repr(provider_names()));
    }
    std::vector<std::string> missing;
    for (const auto& name : info->required) {
        if (!env(name)) missing.push_back(name);
    }
    if (!missing.empty()) {
        throw JudgeUnavailableError(lead + "judge provider " + info->name +
                                    " needs the environment variables " + python_list_repr(missing) +
                                    ", which are not set");
    }
    const auto bad = [&](const std::string& problem) -> JudgeUnavailableError {
        return JudgeUnavailableError(lead + "judge provider " + info->name + " cannot be used: " + problem);
    };
    const auto url = [&](const std::string& value, const char* variable) {
        if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) {
            throw bad(std::string(variable) + " must be an http:// or https:// URL, not " +
                      python_repr(url_for_messages(value)));
        }
        return without_trailing_slashes(value);
    };

    JudgeSettings s;
    s.provider = info->name;
    s.model = ours(env, kJudgeModelVariable).value_or(info->default_model);
    if (const auto timeout = ours(env, kJudgeTimeoutVariable)) {
        const auto seconds = parse_python_float(*timeout);
        if (!seconds || !std::isfinite(*seconds) || *seconds <= 0.0) {
            throw bad(std::string(kJudgeTimeoutVariable) + " must be a positive number of seconds, not " +
                      python_repr(*timeout));
        }
        s.timeout_seconds = *seconds;
    }
    if (const auto retries = ours(env, kJudgeRetriesVariable)) {
        const bool digits = retries->size() <= 2 && std::all_of(retries->begin(), retries->end(),
                                                                [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoi(*retries) > 10) {
            throw bad(std::string(kJudgeRetriesVariable) + " must be a whole number from 0 to 10, not " +
                      python_repr(*retries));
        }
        s.max_retries = std::stoi(*retries);
    }
    if (const auto concurrency = ours(env, kJudgeConcurrencyVariable)) {
        const bool digits =
            concurrency->size() <= 2 && std::all_of(concurrency->begin(), concurrency->end(),
                                                    [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoi(*concurrency) < 1 || std::stoi(*concurrency) > 64) {
            throw bad(std::string(kJudgeConcurrencyVariable) + " must be a whole number from 1 to 64, not " +
                      python_repr(*concurrency));
        }
        s.concurrency = std::stoi(*concurrency);
    }
    s.cache_path = ours(env, kJudgeCacheVariable);
    const auto required = [&](const char* name) { return *env(name); };
    if (s.provider == "aws") {
        s.region = required("AWS_REGION_NAME");
        if (s.region.empty()) throw bad("AWS_REGION_NAME is empty");
        s.aws.access_key_id = required("AWS_ACCESS_KEY_ID");
        s.aws.secret_access_key = required("AWS_SECRET_ACCESS_KEY");
        if (auto token = ours(env, "AWS_SESSION_TOKEN")) s.aws.session_token = std::move(token);
        s.base_url = url(ours(env, kBedrockEndpointVariable)
                             .value_or("https://bedrock-runtime." + s.region + ".amazonaws.com"),
                         kBedrockEndpointVariable);
        s.secrets = {s.aws.secret_access_key};
        if (s.aws.session_token) s.secrets.push_back(*s.aws.session_token);
    } else if (s.provider == "together-ai") {
        s.api_key = required("TOGETHERAI_API_KEY");
        s.base_url = url(ours(env, kTogetherBaseVariable).value_or(kTogetherBaseUrl), kTogetherBaseVariable);
    } else if (s.provider == "replicate") {
        s.api_key = required("REPLICATE_API_TOKEN");
        s.base_url =
            url(ours(env, kReplicateBaseVariable).value_or(kReplicateBaseUrl), kReplicateBaseVariable);
    } else if (s.provider == "azure") {
        s.api_key = required("AZURE_AI_API_KEY");
        s.base_url = url(required("AZURE_AI_API_BASE"), "AZURE_AI_API_BASE");
        const auto version = env(kAzureApiVersionVariable);
        s.azure_api_version = version ? *version : kAzureApiVersion;
    } else {
        s.api_key = required("QNR_APIKEY");
        s.base_url = url(required("QNR_URL"), "QNR_URL");
        s.project_id = required("QNR_PROJECT_ID");
    }
    if (!s.api_key.empty()) s.secrets.push_back(s.api_key);
    return s;
}

namespace {

// What decides a judge's answer besides the prompt (the temperature is always 0).
std::vector<std::string> judge_identity(const JudgeSettings& settings) {
    return {settings.provider,
            settings.base_url,
            settings.model,
            std::to_string(settings.max_tokens),
            settings.azure_api_version,
            settings.region,
            settings.project_id.value_or("")};
}

std::unique_ptr<JudgeModel> make_provider_judge(const JudgeSettings& settings, JudgeOptions options) {
    if (settings.provider == "together-ai" || settings.provider == "azure") {
        return std::make_unique<ChatJudge>(settings, std::move(options));
    }
    if (settings.provider == "replicate")
        return std::make_unique<ReplicateJudge>(settings, std::move(options));
    if (settings.provider == "aws") return std::make_unique<BedrockJudge>(settings, std::move(options));
    if (settings.provider == "nimbra-sdk") return std::make_unique<NimbraJudge>(settings, options);
    throw JudgeUnavailableError("there is no judge provider " + python_repr(settings.provider));
}

}  // namespace

std::unique_ptr<JudgeModel> make_judge(const JudgeSettings& settings, JudgeOptions options) {
    auto judge = make_provider_judge(settings, std::move(options));
    if (!settings.cache_path) return judge;
    try {
        return std::make_unique<CachedJudge>(std::move(judge),
                                             std::make_unique<ResponseCache>(*settings.cache_path),
                                             judge_identity(settings));
    } catch (const ResponseCacheError& error) {
        throw JudgeUnavailableError(std::string(kJudgeCacheVariable) + ": " + error.what());
    }
}

// ---- wire formats ------------------------------------------------------------------------------

std::string chat_request_body(std::string_view model, std::string_view prompt, int max_tokens) {
    ordered_json message;
    message["role"] = "user";
    message["content"] = prompt;
    ordered_json body;
    body["model"] = model;
    body["messages"] = ordered_json::array({message});
    body["max_tokens"] = max_tokens;
    body["temperature"] = 0;
    return dumped(body);
}

namespace {

// The "text" members of a content list joined in order; nullopt when no part carries text.
std::optional<std::string> joined_text_parts(const json& content) {
    std::string text;
    bool any = false;
    for (const auto& part : content) {
        if (part.is_object() && part.contains("text") && part["text"].is_string()) {
            text += part["text"].get<std::string>();
            any = true;
        }
    }
    if (!any) return std::nullopt;
    return text;
}

}  // namespace

std::string parse_chat_text(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) throw std::invalid_argument("it is not a JSON object");
    const auto choices = answer.find("choices");
    if (choices == answer.end() || !choices->is_array() || choices->empty() ||
        !choices->front().is_object()) {
        throw std::invalid_argument("it has no \"choices\"");
    }
    const auto message = choices->front().find("message");
    if (message == choices->front().end() || !message->is_object()) {
        throw std::invalid_argument("choices[0] has no \"message\"");
    }
    const auto content = message->find("content");
    if (content != message->end() && content->is_string()) return content->get<std::string>();
    if (content != message->end() && content->is_array()) {
        if (auto text = joined_text_parts(*content)) return *text;
    }
    throw std::invalid_argument("choices[0].message has no text \"content\"");
}

std::string chat_completions_url(const JudgeSettings& settings) {
    std::string url = settings.base_url + "/chat/completions";
    if (settings.provider == "azure" && !settings.azure_api_version.empty()) {
        url += "?api-version=" + percent_encode(settings.azure_api_version);
    }
    return url;
}

namespace {

// The version id of a model written "owner/name:version" or as a bare version id; else empty.
std::string replicate_version(std::string_view model) {
    if (const auto colon = model.find(':'); colon != std::string_view::npos)
        return std::string(model.substr(colon + 1));
    if (model.find('/') == std::string_view::npos) return std::string(model);
    return {};
}

}  // namespace

std::string replicate_create_url(const JudgeSettings& settings) {
    if (!replicate_version(settings.model).empty()) return settings.base_url + "/predictions";
    const auto slash = settings.model.find('/');
    return settings.base_url + "/models/" + aws::uri_encode(settings.model.substr(0, slash), false) + "/" +
           aws::uri_encode(settings.model.substr(slash + 1), false) + "/predictions";
}

std::string replicate_create_body(std::string_view model, std::string_view prompt, int max_tokens) {
    ordered_json input;
    input["prompt"] = prompt;
    input["max_tokens"] = max_tokens;
    ordered_json body;
    const std::string version = replicate_version(model);
    if (!version.empty()) body["version"] = version;
    body["input"] = input;
    return dumped(body);
}

ReplicatePrediction parse_replicate_prediction(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) throw std::invalid_argument("it is not a JSON object");
    ReplicatePrediction p;
    const auto text = [&](const json& object, const char* name) -> std::string {
        const auto it = object.find(name);
        return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    p.id = text(answer, "id");
    p.status = text(answer, "status");
    if (const auto urls = answer.find("urls"); urls != answer.end() && urls->is_object())
        p.get_url = text(*urls, "get");
    if (const auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
        p.error = error->is_string() ? error->get<std::string>() : error->dump();
    }
    if (const auto output = answer.find("output"); output != answer.end() && !output->is_null()) {
        if (output->is_string()) {
            p.output = output->get<std::string>();
        } else if (output->is_array()) {
            std::string joined;
            for (const auto& piece : *output) {
                if (!piece.is_string()) throw std::invalid_argument("its \"output\" is not a list of texts");
                joined += piece.get<std::string>();
            }
            p.output = joined;
        } else {
            throw std::invalid_argument("its \"output\" is neither a text nor a list of texts");
        }
    }
    return p;
}

bool replicate_finished(const std::string& status) {
    return status == "succeeded" || status == "failed" || status == "canceled" || status == "aborted";
}

std::string converse_url(const JudgeSettings& settings) {
    return settings.base_url + "/model/" + aws::uri_encode(settings.model, false) + "/converse";
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

}  // namespace velora::core::corvex
