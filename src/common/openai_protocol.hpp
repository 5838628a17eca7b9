// The wire rules of the OpenAI-compatible generation APIs that model servers speak (local
// servers and hosted services alike):
//   GET  {root}/models             -> {"data": [{"id": "<model>"}, ...]}
//   POST {root}/chat/completions   {"model", "messages": [{"role", "content"}, ...], settings...}
//                                  -> {"choices": [{"message": {"content"}, "finish_reason"}]}
//   POST {root}/completions        {"model", "prompt", settings...}
//                                  -> {"choices": [{"text", "finish_reason"}]}
// Settings are sent only when set, in the order max_tokens, temperature, seed, stop. The model list
// has the shape the completions protocol reads (completions::parse_model_ids).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core::openai {

enum class Api { Chat, Completions };

// "chat" or "completions"; nullopt for any other name.
std::optional<Api> api_named(std::string_view name);
const char* api_name(Api api);

struct GenerationSettings {
    std::string model;
    Api api = Api::Chat;
    std::optional<int> max_tokens;
    std::optional<double> temperature;
    std::optional<std::int64_t> seed;
    std::vector<std::string> stop;
};

// The API root of a base URL as users write it: a URL without a path gets "/v1"
// ("http://localhost:8000" -> "http://localhost:8000/v1"); one with a path is taken as it is
// ("https://host/openai/v1"), without its trailing "/".
std::string api_root(std::string_view base_url);
std::string generation_url(std::string_view root, Api api);
std::string models_url(std::string_view root);

// The request body for one prompt. Chat: the system message (when given), then the prompt as the
// user message. Completions: the prompt as it is (no system message exists there).
std::string request_body(const GenerationSettings& settings, std::string_view prompt,
                         const std::optional<std::string>& system_message);

struct Generation {
    std::string text;
    std::string finish_reason;  // may be empty when the service does not say
    bool cut_by_length() const { return finish_reason == "length"; }
};

// The first choice of a generation answer. Chat content may be a text, a list of text parts, or
// null (then the refusal text, if any, else empty). Throws std::invalid_argument saying what is
// missing when the answer does not have the API's shape.
Generation parse_generation(Api api, std::string_view body);

}  // namespace velora::core::openai
