#include "common/completions_protocol.hpp"

#include <nlohmann/json.hpp>

namespace velora::core::completions {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

bool has_text(const std::optional<std::string>& value) { return value && !value->empty(); }

std::string normalise_base(std::string url) {
    while (url.ends_with('/')) url.pop_back();
    if (url.ends_with("/v1")) url.resize(url.size() - 3);
    while (url.ends_with('/')) url.pop_back();
    return url;
}

std::string text_member(const json& object, const char* name) {
    if (object.is_object()) {
        const auto it = object.find(name);
        if (it != object.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
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

// The "error" object, a bare "error" text, or "detail"/"message" of another error shape.
void read_error_words(const json& answer, ErrorAnswer& result, std::string& code, std::string& param) {
    const auto error = answer.find("error");
    if (error != answer.end() && error->is_object()) {
        result.message = text_member(*error, "message");
        code = text_member(*error, "code");
        param = text_member(*error, "param");
    } else if (error != answer.end() && error->is_string()) {
        result.message = error->get<std::string>();
    } else {
        result.message = text_member(answer, "detail");
        if (result.message.empty()) result.message = text_member(answer, "message");
    }
}

}  // namespace

Connection map_credentials(const Credentials& credentials, const std::optional<std::string>& project_id,
                           const std::optional<std::string>& url_fallback) {
    Connection connection;
    connection.deployment =
        (credentials.username || credentials.instance_id) ? Deployment::OnPremises : Deployment::Cloud;
    std::string url = has_text(credentials.url) ? *credentials.url : url_fallback.value_or("");
    if (url.empty()) {
        throw CredentialsError(std::string("credentials give no service address: set \"url\" or the "
                                           "environment variable ") +
                               kUrlVariable);
    }
    if (url.find("://") == std::string::npos) {
        throw CredentialsError("the service address must begin with http:// or https://");
    }
    connection.base_url = normalise_base(std::move(url));
    connection.headers.emplace_back("Accept", "application/json");
    if (has_text(credentials.apikey)) {
        connection.headers.emplace_back("Authorization", "Bearer " + *credentials.apikey);
        connection.secrets.push_back(*credentials.apikey);
    }
    if (project_id) connection.headers.emplace_back(kProjectHeader, *project_id);
    if (connection.deployment == Deployment::OnPremises) {
        if (credentials.username) {
            connection.headers.emplace_back(kUsernameHeader, *credentials.username);
            connection.secrets.push_back(*credentials.username);
        }
        if (credentials.instance_id)
            connection.headers.emplace_back(kInstanceHeader, *credentials.instance_id);
    }
    return connection;
}

std::string models_url(const Connection& connection) { return connection.base_url + "/v1/models"; }

std::string completions_url(const Connection& connection) { return connection.base_url + "/v1/completions"; }

std::string completion_body(std::string_view model_id, std::string_view prompt, std::optional<int> max_tokens,
                            std::optional<double> temperature, std::optional<std::int64_t> seed) {
    ordered_json body;
    body["model"] = model_id;
    body["prompt"] = prompt;
    if (max_tokens) body["max_tokens"] = *max_tokens;
    if (temperature) body["temperature"] = *temperature;
    if (seed) body["seed"] = *seed;
    // Invalid UTF-8 in a prompt is sent replaced rather than refused.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpRequest models_request(const Connection& connection) {
    HttpRequest request;
    request.method = HttpMethod::Get;
    request.url = models_url(connection);
    request.headers = connection.headers;
    return request;
}

HttpRequest completion_request(const Connection& connection, std::string_view model_id,
                               std::string_view prompt, const GenerationOptions& options) {
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = completions_url(connection);
    request.headers.emplace_back("Content-Type", "application/json");
    request.headers.insert(request.headers.end(), connection.headers.begin(), connection.headers.end());
    request.body = completion_body(model_id, prompt, options.max_tokens, options.temperature, options.seed);
    return request;
}

std::string parse_completion_text(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded()) throw std::invalid_argument("the answer is not JSON");
    if (!answer.is_object()) throw std::invalid_argument("the answer is not a JSON object");
    const auto choices = answer.find("choices");
    if (choices == answer.end() || !choices->is_array() || choices->empty()) {
        throw std::invalid_argument("the answer has no \"choices\"");
    }
    const auto& first = choices->front();
    if (!first.is_object()) throw std::invalid_argument("choices[0] is not an object");
    const auto text = first.find("text");
    if (text == first.end() || !text->is_string()) throw std::invalid_argument("choices[0] has no \"text\"");
    return text->get<std::string>();
}

std::vector<std::string> parse_model_ids(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded()) throw std::invalid_argument("the answer is not JSON");
    const auto data = answer.is_object() ? answer.find("data") : answer.end();
    if (!answer.is_object() || data == answer.end() || !data->is_array()) {
        throw std::invalid_argument("the answer has no \"data\" list");
    }
    std::vector<std::string> ids;
    for (const auto& entry : *data) {
        const std::string id = text_member(entry, "id");
        if (!id.empty()) ids.push_back(id);
    }
    return ids;
}

std::string model_not_listed_message(std::string_view model_id, std::string_view url,
                                     const std::vector<std::string>& served) {
    return "Model '" + std::string(model_id) + "' is not served at " + std::string(url) + "; it serves " +
           quoted_list(served, 10);
}

ErrorAnswer classify_error_answer(long status, std::string_view body) {
    ErrorAnswer result;
    const json answer = json::parse(body, nullptr, false);
    std::string code, param;
    if (answer.is_object()) {
        read_error_words(answer, result, code, param);
    } else if (answer.is_discarded()) {
        result.message = std::string(body);
    }
    const bool client_refusal = status == 400 || status == 403 || status == 404;
    if (client_refusal && (param == "project_id" || code.starts_with("project_"))) {
        result.refusal = Refusal::Project;
    } else if ((status == 400 || status == 404) && (code == "model_not_found" || param == "model")) {
        result.refusal = Refusal::Model;
    } else if (status == 401 || status == 403) {
        result.refusal = Refusal::Credentials;
    }
    return result;
}

}  // namespace velora::core::completions
