#include "nimbra/core/inference.hpp"

#include <set>

#include "common/http/request_limits.hpp"
#include "common/http/url_encoding.hpp"
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
std::string verification_key(const Connection& connection, const std::string& model,
                             const InferenceOptions& options) {
    std::vector<std::string> parts{connection.base_url, model, options.verify_tls ? "verified" : "unverified",
                                   options.ca_file, options.check_model ? "listed" : "any"};
    for (const auto& [name, value] : connection.headers) parts.push_back(name + ": " + value);
    return cache_key(std::vector<std::string_view>(parts.begin(), parts.end()));
}

std::string quoted_list(const std::vector<std::string>& items, size_t limit) {
    std::string out;
    for (size_t i = 0; i < items.size() && i < limit; ++i) {
        if (i) out += ", ";
        out += "'" + items[i] + "'";
    }
    if (items.size() > limit) out += ", ...";
    return out.empty() ? std::string("no model") : out;
}

}  // namespace

NimbraInference::NimbraInference(std::string model_id, const Credentials& credentials,
                                 std::optional<std::string> project_id, InferenceOptions options,
                                 const std::optional<std::string>& url_fallback)
    : model_id_(std::move(model_id)),
      project_id_(std::move(project_id)),
      options_(std::move(options)),
      connection_(map_credentials(credentials, project_id_, url_fallback)) {}

HttpRequest NimbraInference::prepared(HttpRequest request) const {
    request.headers.insert(request.headers.end(), connection_.headers.begin(), connection_.headers.end());
    RequestLimits{options_.timeout_seconds, options_.verify_tls, options_.ca_file, options_.should_abort}
        .apply_to(request);
    return request;
}

HttpResponse NimbraInference::send(const HttpRequest& request) {
    RetryHooks hooks = options_.hooks;
    if (options_.log != nullptr && !hooks.on_retry) {
        const std::string what =
            std::string(method_name(request.method)) + " " + url_for_messages(request.url);
        const int attempts = options_.retry.max_attempts;
        hooks.on_retry = [this, what, attempts](int attempt, double delay, const std::string& reason) {
            options_.log->debug(safe("Retrying " + what + " in " + std::to_string(delay) +
                                     " s after attempt " + std::to_string(attempt) + " of " +
                                     std::to_string(attempts) + ": " + reason));
        };
    }
    std::lock_guard lock(mutex_);
    try {
        return perform_with_retry(client_, request, options_.retry, hooks);
    } catch (const HttpError& error) {
        throw NimbraRequestError(safe(error.what()));
    }
}

void NimbraInference::fail(const HttpRequest& request, const HttpResponse& response) const {
    const ErrorAnswer answer = classify_error_answer(response.status, response.body);
    const std::string endpoint = url_for_messages(request.url);
    const std::string said = answer.message.empty() ? std::string() : ": " + answer.message;
    switch (answer.refusal) {
        case Refusal::Project:
            throw NimbraProjectRejected(
                safe(project_id_ ? "The service at " + endpoint + " rejected project '" + *project_id_ +
                                       "' (HTTP " + std::to_string(response.status) + ")" + said
                                 : "The service at " + endpoint + " requires a project id (HTTP " +
                                       std::to_string(response.status) + ")" + said));
        case Refusal::Model:
            throw NimbraModelNotServed(safe("Model '" + model_id_ + "' is not served at " + endpoint +
                                            " (HTTP " + std::to_string(response.status) + ")" + said));
        case Refusal::Credentials:
            throw NimbraRequestError(safe("The service at " + endpoint + " refused the credentials (HTTP " +
                                          std::to_string(response.status) + ")" + said));
        case Refusal::Other:
            break;
    }
    const bool retried = is_transient_status(response.status) && options_.retry.max_attempts > 1;
    throw NimbraRequestError(safe(
        std::string(method_name(request.method)) + " " + endpoint + " answered HTTP " +
        std::to_string(response.status) +
        (retried ? " after " + std::to_string(options_.retry.max_attempts) + " attempts" : std::string()) +
        said));
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
    HttpRequest described;
    described.method = HttpMethod::Get;
    described.url = models_url(connection_);
    const HttpRequest request = prepared(std::move(described));
    const HttpResponse response = send(request);
    if (response.status < 200 || response.status >= 300) fail(request, response);
    std::vector<std::string> ids;
    try {
        ids = parse_model_ids(response.body);
    } catch (const std::invalid_argument& problem) {
        throw NimbraRequestError(safe("GET " + url_for_messages(request.url) + " gave no model list (" +
                                      problem.what() +
                                      "); body starts with: " + shorten(response.body, 120)));
    }
    if (!options_.check_model) return;
    for (const auto& id : ids) {
        if (id == model_id_) return;
    }
    throw NimbraModelNotServed(safe("Model '" + model_id_ + "' is not served at " +
                                    url_for_messages(request.url) + "; it serves " + quoted_list(ids, 10)));
}

std::string NimbraInference::generate_text(const std::string& prompt) {
    const HttpRequest request = completion_request(prompt);
    return read_completion(request, send(request));
}

HttpRequest NimbraInference::completion_request(const std::string& prompt) const {
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = completions_url(connection_);
    request.headers.emplace_back("Content-Type", "application/json");
    request.body =
        completion_body(model_id_, prompt, options_.max_tokens, options_.temperature, options_.seed);
    return prepared(std::move(request));
}

std::string NimbraInference::read_completion(const HttpRequest& request, const HttpResponse& response) const {
    if (response.status < 200 || response.status >= 300) fail(request, response);
    try {
        return parse_completion_text(response.body);
    } catch (const std::invalid_argument& problem) {
        throw NimbraRequestError(safe("POST " + url_for_messages(request.url) + " gave no completion text (" +
                                      problem.what() +
                                      "); body starts with: " + shorten(response.body, 120)));
    }
}

}  // namespace velora::core::nimbra
