#include "nimbra/core/inference.hpp"

#include <mutex>
#include <set>

#include "common/http/request_limits.hpp"
#include "common/http/url_encoding.hpp"
#include "common/redaction.hpp"
#include "common/response_cache.hpp"

namespace velora::core::nimbra {
namespace {

// Connections whose model check passed in this process, by verification_key. A new inference
// object per card (as the default scoring function makes them) then costs no round trip.
struct VerifiedConnections {
    std::mutex mutex;
    std::set<std::string> keys;
};

VerifiedConnections& verified_connections() {
    static VerifiedConnections verified;
    return verified;
}

// Everything the check depends on; hashed, so no credential is kept in the clear.
std::string verification_key(const completions::Connection& connection, const std::string& model,
                             const InferenceOptions& options) {
    std::vector<std::string> parts{connection.base_url, model, options.verify_tls ? "verified" : "unverified",
                                   options.ca_file, options.check_model ? "listed" : "any"};
    for (const auto& [name, value] : connection.headers) parts.push_back(name + ": " + value);
    return cache_key(std::vector<std::string_view>(parts.begin(), parts.end()));
}

using completions::Refusal;

bool succeeded(const HttpResponse& response) { return response.status >= 200 && response.status < 300; }

std::shared_ptr<RetryingTransport> retrying(std::shared_ptr<Transport> transport,
                                            const InferenceOptions& options,
                                            const completions::Connection& connection) {
    if (!transport) throw std::invalid_argument("the inference object needs a transport");
    RetryHooks hooks = options.hooks;
    if (options.log != nullptr && !hooks.on_retry) {
        hooks.on_retry = retry_logger(*options.log, options.retry.max_attempts, connection.secrets);
    }
    return std::make_shared<RetryingTransport>(std::move(transport), options.retry, std::move(hooks));
}

}  // namespace

NimbraInference::NimbraInference(std::string model_id, const Credentials& credentials,
                                 std::optional<std::string> project_id, InferenceOptions options,
                                 const std::optional<std::string>& url_fallback,
                                 std::shared_ptr<Transport> transport)
    : model_id_(std::move(model_id)),
      project_id_(std::move(project_id)),
      options_(std::move(options)),
      connection_(completions::map_credentials(credentials, project_id_, url_fallback)),
      transport_(retrying(std::move(transport), options_, connection_)) {}

std::string NimbraInference::safe(std::string text) const {
    return redact(std::move(text), connection_.secrets);
}

HttpRequest NimbraInference::prepared(HttpRequest request) const {
    RequestLimits{options_.timeout_seconds, options_.verify_tls, options_.ca_file, options_.should_abort}
        .apply_to(request);
    return request;
}

HttpResponse NimbraInference::send(const HttpRequest& request) {
    try {
        return transport_->perform(request);
    } catch (const HttpError& error) {
        fail_transport(error);
    }
}

void NimbraInference::fail_transport(const HttpError& error) const {
    throw NimbraRequestError(safe(error.what()));
}

void NimbraInference::fail(const HttpRequest& request, const HttpResponse& response) const {
    const auto answer = completions::classify_error_answer(response.status, response.body);
    const std::string endpoint = url_for_messages(request.url);
    const std::string status = " (HTTP " + std::to_string(response.status) + ")";
    const std::string said =
        answer.message.empty()
            ? std::string()
            : ": " + redacted_excerpt(answer.message, connection_.secrets, completions::kServiceMessageLimit);
    switch (answer.refusal) {
        case Refusal::Project:
            throw NimbraProjectRejected(
                safe(project_id_ ? "The service at " + endpoint + " rejected project '" + *project_id_ + "'" +
                                       status + said
                                 : "The service at " + endpoint + " requires a project id" + status + said));
        case Refusal::Model:
            throw NimbraModelNotServed(
                safe("Model '" + model_id_ + "' is not served at " + endpoint + status + said));
        case Refusal::Credentials:
            throw NimbraRequestError(
                safe("The service at " + endpoint + " refused the credentials" + status + said));
        case Refusal::Other:
            break;
    }
    throw NimbraRequestError(safe(std::string(method_name(request.method)) + " " + endpoint + " answered " +
                                  status_text(response) + said));
}

void NimbraInference::verify() {
    const std::string key = verification_key(connection_, model_id_, options_);
    auto& verified = verified_connections();
    {
        std::lock_guard lock(verified.mutex);
        if (verified.keys.count(key)) return;
    }
    check_model();
    std::lock_guard lock(verified.mutex);
    verified.keys.insert(key);
}

void NimbraInference::check_model() {
    const HttpRequest request = prepared(completions::models_request(connection_));
    const HttpResponse response = send(request);
    if (!succeeded(response)) fail(request, response);
    std::vector<std::string> ids;
    try {
        ids = completions::parse_model_ids(response.body);
    } catch (const std::invalid_argument& problem) {
        throw NimbraRequestError(
            safe("GET " + url_for_messages(request.url) + " gave no model list (" + problem.what() +
                 "); body starts with: " +
                 redacted_excerpt(response.body, connection_.secrets, completions::kBodyExcerptLimit)));
    }
    if (!options_.check_model) return;
    for (const auto& id : ids) {
        if (id == model_id_) return;
    }
    throw NimbraModelNotServed(
        safe(completions::model_not_listed_message(model_id_, url_for_messages(request.url), ids)));
}

HttpRequest NimbraInference::completion_request(const std::string& prompt) const {
    return prepared(completions::completion_request(
        connection_, model_id_, prompt, {options_.max_tokens, options_.temperature, options_.seed}));
}

std::string NimbraInference::read_completion(const HttpRequest& request, const HttpResponse& response) const {
    if (!succeeded(response)) fail(request, response);
    try {
        return completions::parse_completion_text(response.body);
    } catch (const std::invalid_argument& problem) {
        throw NimbraRequestError(
            safe("POST " + url_for_messages(request.url) + " gave no completion text (" + problem.what() +
                 "); body starts with: " +
                 redacted_excerpt(response.body, connection_.secrets, completions::kBodyExcerptLimit)));
    }
}

std::string NimbraInference::generate_text(const std::string& prompt) {
    const HttpRequest request = completion_request(prompt);
    return read_completion(request, send(request));
}

std::vector<std::string> NimbraInference::generate_texts(const std::vector<std::string>& prompts) {
    std::vector<HttpRequest> requests;
    requests.reserve(prompts.size());
    for (const auto& prompt : prompts) requests.push_back(completion_request(prompt));
    std::vector<TransportResult> results;
    try {
        results = transport_->perform_all(requests);
    } catch (const HttpError& error) {  // an interrupted batch
        fail_transport(error);
    }
    std::vector<std::string> texts;
    texts.reserve(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].error) {
            try {
                std::rethrow_exception(results[i].error);
            } catch (const HttpError& error) {
                fail_transport(error);
            }
        }
        texts.push_back(read_completion(requests[i], *results[i].response));
    }
    return texts;
}

}  // namespace velora::core::nimbra
