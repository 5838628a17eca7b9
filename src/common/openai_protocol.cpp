#include "common/openai_protocol.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace velora::core::openai {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

json parsed_object(std::string_view body) {
    json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded()) throw std::invalid_argument("the answer is not JSON");
    if (!answer.is_object()) throw std::invalid_argument("the answer is not a JSON object");
    return answer;
}

const json& first_choice(const json& answer) {
    const auto choices = answer.find("choices");
    if (choices == answer.end() || !choices->is_array() || choices->empty() || !choices->front().is_object())
        throw std::invalid_argument("the answer has no \"choices\"");
    return choices->front();
}

std::string chat_text(const json& choice) {
    const auto message = choice.find("message");
    if (message == choice.end() || !message->is_object())
        throw std::invalid_argument("choices[0] has no \"message\"");
    const auto content = message->find("content");
    if (content == message->end() || content->is_null()) {
        const auto refusal = message->find("refusal");
        return refusal != message->end() && refusal->is_string() ? refusal->get<std::string>()
                                                                 : std::string();
    }
    if (content->is_string()) return content->get<std::string>();
    if (!content->is_array()) throw std::invalid_argument("choices[0].message.content is not a text");
    std::string text;
    for (const auto& part : *content) {
        const auto piece = part.is_object() ? part.find("text") : part.end();
        if (piece == part.end() || !piece->is_string())
            throw std::invalid_argument("choices[0].message.content holds a part without text");
        text += piece->get<std::string>();
    }
    return text;
}

}  // namespace

std::optional<Api> api_named(std::string_view name) {
    if (name == "chat") return Api::Chat;
    if (name == "completions") return Api::Completions;
    return std::nullopt;
}

const char* api_name(Api api) { return api == Api::Chat ? "chat" : "completions"; }

std::string api_root(std::string_view base_url) {
    std::string root(base_url);
    while (!root.empty() && root.back() == '/') root.pop_back();
    const auto scheme = root.find("://");
    const auto path = root.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return path == std::string::npos ? root + "/v1" : root;
}

std::string generation_url(std::string_view root, Api api) {
    return std::string(root) + (api == Api::Chat ? "/chat/completions" : "/completions");
}

std::string models_url(std::string_view root) { return std::string(root) + "/models"; }

std::string request_body(const GenerationSettings& settings, std::string_view prompt,
                         const std::optional<std::string>& system_message) {
    ordered_json body;
    body["model"] = settings.model;
    if (settings.api == Api::Chat) {
        ordered_json messages = ordered_json::array();
        if (system_message) messages.push_back({{"role", "system"}, {"content", *system_message}});
        messages.push_back({{"role", "user"}, {"content", prompt}});
        body["messages"] = std::move(messages);
    } else {
        body["prompt"] = prompt;
    }
    if (settings.max_tokens) body["max_tokens"] = *settings.max_tokens;
    if (settings.temperature) body["temperature"] = *settings.temperature;
    if (settings.seed) body["seed"] = *settings.seed;
    if (!settings.stop.empty()) body["stop"] = settings.stop;
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

Generation parse_generation(Api api, std::string_view body) {
    const json answer = parsed_object(body);
    const json& choice = first_choice(answer);
    Generation generation;
    if (api == Api::Chat) {
        generation.text = chat_text(choice);
    } else {
        const auto text = choice.find("text");
        if (text == choice.end() || !text->is_string())
            throw std::invalid_argument("choices[0] has no \"text\"");
        generation.text = text->get<std::string>();
    }
    const auto reason = choice.find("finish_reason");
    if (reason != choice.end() && reason->is_string()) generation.finish_reason = reason->get<std::string>();
    return generation;
}

}  // namespace velora::core::openai
