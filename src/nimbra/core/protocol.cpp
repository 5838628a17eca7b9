#include "nimbra/core/protocol.hpp"

#include <nlohmann/json.hpp>

namespace velora::core::nimbra {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

bool has_text(const std::optional<std::string>& value) { return value && !value->empty(); }

std::string normalise_base(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    if (url.size() >= 3 && url.compare(url.size() - 3, 3, "/v1") == 0) url.resize(url.size() - 3);
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string text_member(const json& object, const char* name) {
    if (object.is_object()) {
        const auto it = object.find(name);
        if (it != object.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
}

}  // namespace

Connection map_credentials(const Credentials& credentials, const std::optional<std::string>& project_id,
                           const std::optional<std::string>& url_fallback) {
    Connection connection;
    connection.deployment =
        (credentials.username || credentials.instance_id) ? Deployment::OnPremises : Deployment::Cloud;
    std::string url = has_text(credentials.url) ? *credentials.url : url_fallback.value_or("");
    if (url.empty()) {
        throw NimbraCredentialsError(std::string("credentials give no service address: set \"url\" or the "
                                                 "environment variable ") +
                                     kUrlVariable);
    }
    if (url.find("://") == std::string::npos) {
        throw NimbraCredentialsError("the service address must begin with http:// or https://");
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

ErrorAnswer classify_error_answer(long status, std::string_view body) {
    ErrorAnswer result;
    const json answer = json::parse(body, nullptr, false);
    std::string code, param;
    if (answer.is_object()) {
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
    } else if (answer.is_discarded()) {
        result.message = std::string(body);
    }
    result.message = shorten(result.message, 300);
    const bool client_refusal = status == 400 || status == 403 || status == 404;
    if (client_refusal && (param == "project_id" || code.rfind("project_", 0) == 0)) {
        result.refusal = Refusal::Project;
    } else if ((status == 400 || status == 404) && (code == "model_not_found" || param == "model")) {
        result.refusal = Refusal::Model;
    } else if (status == 401 || status == 403) {
        result.refusal = Refusal::Credentials;
    }
    return result;
}

std::string shorten(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

}  // namespace velora::core::nimbra
