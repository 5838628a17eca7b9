#include "mra/core/console/requests.hpp"

#include "common/http/url_encoding.hpp"

namespace velora::core::console {
namespace {

const char* reason_phrase(long status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 413:
            return "Payload Too Large";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "";
    }
}

void apply_tls(HttpRequest& request, const ConsoleSettings& settings) {
    request.verify_tls = settings.verify_tls;
    if (settings.verify_tls) request.ca_file = settings.ca_file;
}

HttpRequest console_request(HttpMethod method, std::string url, const HttpHeaders& header,
                            const ConsoleSettings& settings) {
    HttpRequest request;
    request.method = method;
    request.url = std::move(url);
    request.headers = header;
    apply_tls(request, settings);
    return request;
}

}  // namespace

HttpRequest query_get_request(std::string url, const HttpHeaders& header, const ConsoleSettings& settings) {
    auto request = console_request(HttpMethod::Get, std::move(url), header, settings);
    request.timeout_seconds = kQueryTimeoutSeconds;
    return request;
}

HttpRequest query_post_request(std::string url, std::string body, const HttpHeaders& header,
                               const ConsoleSettings& settings) {
    auto request = console_request(HttpMethod::Post, std::move(url), header, settings);
    request.body = std::move(body);
    request.timeout_seconds = kQueryTimeoutSeconds;
    return request;
}

HttpRequest write_request(std::string url, std::string body, const HttpHeaders& header,
                          const ConsoleSettings& settings) {
    auto request = console_request(HttpMethod::Post, std::move(url), header, settings);
    request.body = std::move(body);
    request.timeout_seconds = settings.write_timeout_seconds;
    return request;
}

HttpRequest delete_request(std::string url, const HttpHeaders& header, const ConsoleSettings& settings) {
    auto request = console_request(HttpMethod::Delete, std::move(url), header, settings);
    request.timeout_seconds = settings.write_timeout_seconds;
    return request;
}

HttpRequest orrin_authorize_request(std::string_view host, std::string body,
                                    const ConsoleSettings& settings) {
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = "https://" + std::string(host) + kOrrinAuthorizePath;
    request.headers = {{"content-type", "application/json"}, {"cache-control", "no-cache"}};
    request.body = std::move(body);
    apply_tls(request, settings);
    request.default_accept_header = false;  // the platform gets exactly these two headers
    return request;
}

HttpRequest iam_token_request(std::string url, const std::optional<std::string>& apikey) {
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = std::move(url);
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Cache-Control", "no-cache"}};
    std::vector<std::pair<std::string, std::string>> fields;
    if (apikey) fields.emplace_back("apikey", *apikey);
    fields.emplace_back("grant_type", kIamGrantType);
    request.body = form_encode(fields);
    request.verify_tls = true;
    return request;
}

std::optional<std::string> http_status_error(long status, std::string_view url) {
    if (status < 400) return std::nullopt;
    const std::string side = status < 500 ? " Client Error: " : " Server Error: ";
    return std::to_string(status) + side + reason_phrase(status) + " for url: " + url_for_messages(url);
}

}  // namespace velora::core::console
