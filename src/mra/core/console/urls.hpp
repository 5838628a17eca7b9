// Which identity service issues tokens for which governance console.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velora::core {

// Environment variable that, when set, names the token endpoint for every console (on-premises
// identity services, staging, tests).
inline constexpr const char* kIamUrlOverrideVariable = "VELORA_IAM_URL";

// The token-endpoint URL of the cloud identity service that serves the console at `console_url`,
// or nullopt for a console this table does not know. See the README for the table.
std::optional<std::string> iam_url_for_console(std::string_view console_url);

// The host part of an URL ("https://a.b:8443/x" -> "a.b"), lower-cased; empty if there is none.
std::string url_host(std::string_view url);

}  // namespace velora::core
