#include "common/http/message.hpp"

#include <algorithm>
#include <cmath>

#include "common/text.hpp"

namespace velora::core {
namespace {

bool breaks_lines(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
}

}  // namespace

const char* method_name(HttpMethod method) {
    switch (method) {
        case HttpMethod::Get:
            return "GET";
        case HttpMethod::Post:
            return "POST";
        case HttpMethod::Delete:
            return "DELETE";
    }
    return "GET";
}

std::optional<std::string> timeout_problem(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) return "must be a positive number of seconds";
    if (seconds > kMaxTimeoutSeconds)
        return "must be at most " + std::to_string(static_cast<long>(kMaxTimeoutSeconds)) + " seconds";
    return std::nullopt;
}

void set_exchange_timeout(HttpRequest& request, double seconds) {
    request.timeout_seconds = seconds;
    request.connect_timeout_seconds = std::min(kDefaultConnectTimeoutSeconds, seconds);
}

void check_request_text(const HttpRequest& request) {
    if (breaks_lines(request.url)) {
        throw std::invalid_argument("the URL holds a line break or a NUL character");
    }
    for (const auto& [name, value] : request.headers) {
        if (breaks_lines(name)) {
            throw std::invalid_argument("a header name holds a line break or a NUL character");
        }
        if (breaks_lines(value)) {
            throw std::invalid_argument("the value of header " + name +
                                        " holds a line break or a NUL character");
        }
    }
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (iequals(key, name)) return value;
    }
    return std::nullopt;
}

HttpError::HttpError(Kind kind, int curl_code, const std::string& message)
    : std::runtime_error(message), kind_(kind), curl_code_(curl_code) {}

}  // namespace velora::core
