// Text forms of log lines and the reading of the log-level setting.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velora::core {

// Name of the environment variable that sets the level of the package's loggers.
inline constexpr const char* kLogLevelVariable = "VELORA_METRICS_LOG_LEVEL";
// Level used when the variable is unset or unreadable: warnings shown, debug hidden.
inline constexpr int kDefaultLogLevel = 30;

// Reads a level the way logging names them ("DEBUG", "info", ...) or as a number; nullopt if neither.
std::optional<int> parse_log_level(std::string_view text);

// Text from outside (a server's answer, a name read from a file) as it may be shown on a terminal
// or written to a log: no user information in its URLs, no control characters but tab and line feed.
std::string printable_text(std::string_view text);

// One JSON object per line: {"time": ..., "level": ..., "logger": ..., "message": ...}.
// The message is printable_text.
std::string json_log_line(std::string_view time, std::string_view level, std::string_view logger,
                          std::string_view message);

}  // namespace velora::core
