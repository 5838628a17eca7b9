#include "common/http/easy_setup.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>

namespace velora::core {
namespace {

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view stripped(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

size_t take_body(char* data, size_t size, size_t count, void* user) {
    static_cast<EasyExchange*>(user)->response.body.append(data, size * count);
    return size * count;
}

size_t take_header(char* data, size_t size, size_t count, void* user) {
    auto& headers = static_cast<EasyExchange*>(user)->response.headers;
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        headers.clear();  // only the final response's headers count
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers.emplace_back(std::string(stripped(line.substr(0, colon))),
                             std::string(stripped(line.substr(colon + 1))));
    }
    return size * count;
}

void append_header(EasyExchange& exchange, const std::string& line) {
    auto* grown = curl_slist_append(static_cast<curl_slist*>(exchange.header_list), line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    exchange.header_list = grown;
}

long millis(double seconds) { return std::max(1L, static_cast<long>(seconds * 1000.0 + 0.5)); }

void set_body(CURL* curl, const HttpRequest& request) {
    const bool has_body = request.method == HttpMethod::Post || !request.body.empty();
    if (request.method == HttpMethod::Delete) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
    if (request.method == HttpMethod::Get) curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    if (request.method == HttpMethod::Post) curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (request.method != HttpMethod::Get && has_body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    }
}

}  // namespace

EasyExchange::~EasyExchange() { curl_slist_free_all(static_cast<curl_slist*>(header_list)); }

std::string EasyExchange::error_detail(int curl_code) const {
    return error_text[0] != '\0' ? std::string(error_text.data())
                                 : std::string(curl_easy_strerror(static_cast<CURLcode>(curl_code)));
}

void ensure_curl_initialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl could not be initialised");
    });
}

void configure_easy(void* easy, const HttpRequest& request, EasyExchange& exchange) {
    auto* curl = static_cast<CURL*>(easy);
    bool has_accept = false;
    for (const auto& [name, value] : request.headers) {
        // "Name;" sends a header with an empty value; "Name:" would remove it.
        append_header(exchange, value.empty() ? name + ";" : name + ": " + value);
        has_accept = has_accept || same_name(name, "Accept");
    }
    if (!has_accept && !request.default_accept_header) append_header(exchange, "Accept:");
    append_header(exchange, "Expect:");

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, exchange.error_text.data());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(exchange.header_list));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, take_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, take_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, millis(request.connect_timeout_seconds));
    if (request.timeout_seconds) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, millis(*request.timeout_seconds));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, request.verify_tls ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, request.verify_tls ? 2L : 0L);
    if (!request.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.c_str());
    set_body(curl, request);
}

}  // namespace velora::core
