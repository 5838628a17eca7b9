#include "corvex/core/judge/chat_completions.hpp"

#include <stdexcept>

#include "corvex/core/judge/wire_formats.hpp"

namespace velora::core::corvex {

using nlohmann::json;
using nlohmann::ordered_json;

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

ChatCompletionsJudge::ChatCompletionsJudge(JudgeBasics basics, std::vector<std::string> secrets,
                                           JudgeOptions options, std::string url, HttpHeaders key_headers)
    : SingleExchangeJudge(std::move(basics), std::move(secrets), std::move(options)),
      url_(std::move(url)),
      key_headers_(std::move(key_headers)) {}

HttpRequest ChatCompletionsJudge::build_request(const std::string& prompt) {
    HttpRequest r = request(HttpMethod::Post, url_);
    r.headers = key_headers_;
    r.headers.emplace_back("Content-Type", "application/json");
    r.headers.emplace_back("Accept", "application/json");
    r.body = chat_request_body(basics_.model, prompt, basics_.max_tokens);
    return r;
}

std::string ChatCompletionsJudge::read_answer(const HttpRequest& request,
                                              const HttpResponse& response) const {
    return read(request, response, "a chat completion", parse_chat_text);
}

}  // namespace velora::core::corvex
