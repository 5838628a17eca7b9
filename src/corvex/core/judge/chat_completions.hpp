// The common chat completions API, which together-ai and azure both speak: the same body and answer,
// told apart by their URL and by how the key travels (a provider unit gives both).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "corvex/core/judge/http_judge.hpp"

namespace velora::core::corvex {

// {"model", "messages": [{"role": "user", "content": prompt}], "max_tokens", "temperature": 0}
std::string chat_request_body(std::string_view model, std::string_view prompt, int max_tokens);
// choices[0].message.content (a text, or a list of {"type": "text", "text"} parts). std::invalid_argument.
std::string parse_chat_text(std::string_view body);

// POST <url> with the key headers, then Content-Type and Accept, and the chat body.
class ChatCompletionsJudge final : public SingleExchangeJudge {
  public:
    ChatCompletionsJudge(JudgeBasics basics, std::vector<std::string> secrets, JudgeOptions options,
                         std::string url, HttpHeaders key_headers);

  private:
    HttpRequest build_request(const std::string& prompt) override;
    std::string read_answer(const HttpRequest& request, const HttpResponse& response) const override;

    std::string url_;
    HttpHeaders key_headers_;
};

}  // namespace velora::core::corvex
