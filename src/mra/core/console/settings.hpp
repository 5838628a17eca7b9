// Settings that apply to every request of a console session: certificate checks and the time-outs
// of writes, deletes and the roll-back. Certificates go unchecked unless asked for, as consoles are
// often reached through self-signed deployments; a caller turns checks on with the credential key
// "vn_verify_tls" (True, or the path of a CA bundle) or the environment variables below.
//
//   VELORA_VARNEL_VERIFY_TLS     1/true/yes/on or 0/false/no/off
//   VELORA_VARNEL_CA_BUNDLE      CA bundle file to check against; turns checks on
//   VELORA_VARNEL_WRITE_TIMEOUT  seconds a write or a delete may take (default 120)
//
// Queries time out after 300 s (requests.hpp); the whole roll-back after a failed publish is
// bounded by kRollbackBoundSeconds, every request of it cut to the time left.
#pragma once

#include <string>
#include <string_view>

namespace velora::core::console {

inline constexpr double kWriteTimeoutSeconds = 120.0;
inline constexpr double kRollbackBoundSeconds = 120.0;

inline constexpr const char* kVerifyTlsVariable = "VELORA_VARNEL_VERIFY_TLS";
inline constexpr const char* kCaBundleVariable = "VELORA_VARNEL_CA_BUNDLE";
inline constexpr const char* kWriteTimeoutVariable = "VELORA_VARNEL_WRITE_TIMEOUT";

struct ConsoleSettings {
    bool verify_tls = false;  // certificate and host-name checks on every console request
    std::string ca_file;      // CA bundle the checks use; empty: the system's
    double write_timeout_seconds = kWriteTimeoutSeconds;
    double rollback_bound_seconds = kRollbackBoundSeconds;
};

// The defaults with what the environment variables above ask for; ConsoleValueError naming the
// variable for a value that cannot be read.
ConsoleSettings settings_from_environment();

// Checks on, against the CA bundle at `path`; ConsoleValueError naming `setting` when there is no
// such file.
void use_ca_bundle(ConsoleSettings& settings, const std::string& path, std::string_view setting);

// ConsoleValueError naming `setting` unless `seconds` is a positive finite number.
void set_write_timeout(ConsoleSettings& settings, double seconds, std::string_view setting);

// ConsoleValueError naming `setting` unless `url` is an http:// or https:// URL, so that no other
// scheme (a local file, say) is ever fetched in the console's name.
void require_web_url(std::string_view url, std::string_view setting);

}  // namespace velora::core::console
