// The common completions API as the inference SDK speaks it, and the judge's nimbra-sdk provider
// with it: how credentials become request headers, what the requests look like and how answers
// (good and bad) are read.
//   GET  {base}/v1/models        -> {"data": [{"id": "<model>"}, ...]}
//   POST {base}/v1/completions   {"model": ..., "prompt": ..., "max_tokens": ...}
//                                -> {"choices": [{"text": "..."}], ...}
//
// Credentials (both shapes carry "url", the service address):
//   cloud        {"apikey", "url"}                             -> Authorization: Bearer <apikey>
//   on-premises  {"username", "apikey", "url", "instance_id"}  -> Authorization: Bearer <apikey>,
//                                                                 Nimbra-Username: <username>,
//                                                                 Nimbra-Instance-Id: <instance_id>
// A credentials dictionary holding "username" or "instance_id" is the on-premises shape. An absent
// or empty API key sends no Authorization header (local servers need none). The project id, when
// given, travels with every request as Nimbra-Project-Id. An empty "url" falls back to the
// environment variable VELORA_NIMBRA_AI_URL. A base address ending in "/v1" is accepted too.
//
// A service rejects a project by answering 400, 403 or 404 with a JSON error object whose "param"
// is "project_id" or whose "code" begins with "project_"; a model it does not serve is a 404/400
// whose error "code" is "model_not_found" or whose "param" is "model", or a model list without it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/http/message.hpp"

namespace velora::core::completions {

inline constexpr const char* kProjectHeader = "Nimbra-Project-Id";
inline constexpr const char* kUsernameHeader = "Nimbra-Username";
inline constexpr const char* kInstanceHeader = "Nimbra-Instance-Id";
inline constexpr const char* kUrlVariable = "VELORA_NIMBRA_AI_URL";

// Credentials that cannot be used (no service address, or one without a scheme).
class CredentialsError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

struct Credentials {
    std::optional<std::string> url;
    std::optional<std::string> apikey;
    std::optional<std::string> username;
    std::optional<std::string> instance_id;
};

enum class Deployment { Cloud, OnPremises };

struct Connection {
    Deployment deployment = Deployment::Cloud;
    std::string base_url;              // no trailing "/" and no trailing "/v1"
    HttpHeaders headers;               // sent with every request, in this order
    std::vector<std::string> secrets;  // texts that never go into a message
};

// `url_fallback` is the value of VELORA_NIMBRA_AI_URL (the caller reads the environment).
Connection map_credentials(const Credentials& credentials, const std::optional<std::string>& project_id,
                           const std::optional<std::string>& url_fallback);

std::string models_url(const Connection& connection);
std::string completions_url(const Connection& connection);

// JSON body of a completion request, members in the order model, prompt, max_tokens, temperature,
// seed (each of the last three only when set).
std::string completion_body(std::string_view model_id, std::string_view prompt, std::optional<int> max_tokens,
                            std::optional<double> temperature,
                            std::optional<std::int64_t> seed = std::nullopt);

// GET of the model list, with the connection's headers (no time-out set).
HttpRequest models_request(const Connection& connection);

struct GenerationOptions {
    std::optional<int> max_tokens;
    std::optional<double> temperature;
    std::optional<std::int64_t> seed;
};

// POST of one completion: Content-Type, then the connection's headers (no time-out set).
HttpRequest completion_request(const Connection& connection, std::string_view model_id,
                               std::string_view prompt, const GenerationOptions& options);

// choices[0].text of a completion answer. Throws std::invalid_argument saying what is wrong.
std::string parse_completion_text(std::string_view body);

// The "id" of every entry of "data" in a model list. Throws std::invalid_argument.
std::vector<std::string> parse_model_ids(std::string_view body);

// "Model '<model>' is not served at <url>; it serves '<a>', '<b>'" (ten at most, then "...").
std::string model_not_listed_message(std::string_view model_id, std::string_view url,
                                     const std::vector<std::string>& served);

enum class Refusal { Project, Model, Credentials, Other };

struct ErrorAnswer {
    Refusal refusal = Refusal::Other;
    std::string message;  // the service's own words, whole: quote it through redacted_excerpt
};

// What an answer with an error status means.
ErrorAnswer classify_error_answer(long status, std::string_view body);

// How much of a service's own words a message quotes, after redaction.
inline constexpr std::size_t kServiceMessageLimit = 300;
// How much of an unreadable answer's body a message quotes, after redaction.
inline constexpr std::size_t kBodyExcerptLimit = 120;

}  // namespace velora::core::completions
