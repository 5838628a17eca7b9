#include "mra/core/console/settings.hpp"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "common/http/message.hpp"
#include "common/pytext.hpp"
#include "common/text.hpp"
#include "mra/core/console/errors.hpp"

namespace velora::core::console {
namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

bool switch_value(const std::string& text, const char* name) {
    const std::string word = ascii_lower(text);
    if (word == "1" || word == "true" || word == "yes" || word == "on") return true;
    if (word == "0" || word == "false" || word == "no" || word == "off") return false;
    throw ConsoleValueError(std::string(name) + " must be one of 1, true, yes, on, 0, false, no, off");
}

double seconds_value(const std::string& text, const char* name) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        throw ConsoleValueError(std::string(name) + " must be a positive number of seconds");
    }
    return seconds;
}

}  // namespace

ConsoleSettings settings_from_environment() {
    ConsoleSettings settings;
    if (const auto bundle = variable(kCaBundleVariable)) use_ca_bundle(settings, *bundle, kCaBundleVariable);
    if (const auto verify = variable(kVerifyTlsVariable)) {
        settings.verify_tls = switch_value(*verify, kVerifyTlsVariable);
    }
    if (const auto timeout = variable(kWriteTimeoutVariable)) {
        set_write_timeout(settings, seconds_value(*timeout, kWriteTimeoutVariable), kWriteTimeoutVariable);
    }
    return settings;
}

void use_ca_bundle(ConsoleSettings& settings, const std::string& path, std::string_view setting) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw ConsoleValueError(std::string(setting) + " names no CA bundle file: " + path);
    }
    settings.verify_tls = true;
    settings.ca_file = path;
}

void set_write_timeout(ConsoleSettings& settings, double seconds, std::string_view setting) {
    if (const auto problem = timeout_problem(seconds))
        throw ConsoleValueError(std::string(setting) + " " + *problem);
    settings.write_timeout_seconds = seconds;
}

void require_web_url(std::string_view url, std::string_view setting) {
    const std::string start = ascii_lower(url.substr(0, 8));
    if (start.rfind("http://", 0) != 0 && start.rfind("https://", 0) != 0) {
        throw ConsoleValueError(std::string(setting) + " must be an http:// or https:// URL");
    }
}

}  // namespace velora::core::console
