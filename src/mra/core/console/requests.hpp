// The console's request settings, in one place: which requests verify certificates, which carry a
// time-out, and the exact header sets of the two token requests.
//
//   queries            header dictionary, 300 s time-out
//   writes, deletes    header dictionary, the settings' write time-out (120 s unless configured)
//   on-premises token  POST https://<host>/quell-api/v1/authorize, only "content-type" and
//                      "cache-control" (lower case), no time-out
//   cloud token        POST <IAM URL>, form body, certificate check on, no time-out
//
// Every request to the console or the on-premises platform checks certificates exactly when the
// settings say so (off by default); the cloud token request always checks them against the
// system's CAs. "No time-out" bounds the connection attempt only (the client's connect time-out),
// so an unreachable host still fails in bounded time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/http/client.hpp"
#include "mra/core/console/settings.hpp"

namespace velora::core::console {

inline constexpr double kQueryTimeoutSeconds = 300.0;
inline constexpr const char* kOrrinAuthorizePath = "/quell-api/v1/authorize";
inline constexpr const char* kIamGrantType = "urn:velora:params:oauth:grant-type:apikey";

HttpRequest query_get_request(std::string url, const HttpHeaders& header, const ConsoleSettings& settings);
HttpRequest query_post_request(std::string url, std::string body, const HttpHeaders& header,
                               const ConsoleSettings& settings);
HttpRequest write_request(std::string url, std::string body, const HttpHeaders& header,
                          const ConsoleSettings& settings);
HttpRequest delete_request(std::string url, const HttpHeaders& header, const ConsoleSettings& settings);

// `host` is used as given (a port may follow it).
HttpRequest orrin_authorize_request(std::string_view host, std::string body, const ConsoleSettings& settings);

// The form fields in order; an absent API key leaves its field out, as form encoders do with None.
HttpRequest iam_token_request(std::string url, const std::optional<std::string>& apikey);

// "401 Client Error: Unauthorized for url: <url without credentials or query>" for a status of 400
// or above; nullopt below.
std::optional<std::string> http_status_error(long status, std::string_view url);

}  // namespace velora::core::console
