#include "common/http/client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>

#include "common/http/url_encoding.hpp"

namespace velora::core {
namespace {

void global_init_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Process-wide and never undone: cleaning up while another module still holds a handle
        // would be worse than the few bytes it keeps.
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl could not be initialised");
        }
    });
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) throw std::bad_alloc();
        list = grown;
    }
};

struct Exchange {
    HttpResponse* response;
    const HttpRequest* request;
    std::chrono::steady_clock::time_point next_abort_check;
    bool aborted = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    exchange->response->body.append(data, size * count);
    return size * count;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line (after 100 Continue, say): only the final response's headers count.
        exchange->response->headers.clear();
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        exchange->response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                                 std::string(trim(line.substr(colon + 1))));
    }
    return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* exchange = static_cast<Exchange*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (now < exchange->next_abort_check) return 0;
    exchange->next_abort_check = now + std::chrono::milliseconds(200);
    if (exchange->request->should_abort()) {
        exchange->aborted = true;
        return 1;
    }
    return 0;
}

long to_millis(double seconds) { return static_cast<long>(seconds * 1000.0 + 0.5); }

template <typename T>
void set(CURL* curl, CURLoption option, T value) {
    // Options set here are all supported by any libcurl we build against; a failure is a bug.
    if (curl_easy_setopt(curl, option, value) != CURLE_OK) {
        throw HttpError(HttpError::Kind::Other, CURLE_BAD_FUNCTION_ARGUMENT, "libcurl rejected an option");
    }
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

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (iequals(key, name)) return value;
    }
    return std::nullopt;
}

HttpError::HttpError(Kind kind, int curl_code, const std::string& message)
    : std::runtime_error(message), kind_(kind), curl_code_(curl_code) {}

HttpError::Kind http_error_kind(int curl_code) {
    switch (static_cast<CURLcode>(curl_code)) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return HttpError::Kind::Resolve;
        case CURLE_COULDNT_CONNECT:
            return HttpError::Kind::Connect;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return HttpError::Kind::Transfer;
        case CURLE_OPERATION_TIMEDOUT:
            return HttpError::Kind::Timeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
            return HttpError::Kind::Tls;
        case CURLE_ABORTED_BY_CALLBACK:
            return HttpError::Kind::Aborted;
        default:
            return HttpError::Kind::Other;
    }
}

HttpClient::HttpClient() {
    global_init_once();
    handle_ = curl_easy_init();
    if (handle_ == nullptr) {
        throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl could not create a handle");
    }
}

HttpClient::~HttpClient() {
    if (handle_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

HttpClient::HttpClient(HttpClient&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

HttpClient& HttpClient::operator=(HttpClient&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle_));
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

HttpResponse HttpClient::perform(const HttpRequest& request) {
    if (handle_ == nullptr) {
        throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "HTTP client used after move");
    }
    auto* curl = static_cast<CURL*>(handle_);
    // Reset drops the previous request's options but keeps the connection cache.
    curl_easy_reset(curl);

    HttpResponse response;
    Exchange exchange{&response, &request, std::chrono::steady_clock::now()};
    char error_text[CURL_ERROR_SIZE] = {0};
    HeaderList headers;
    bool has_accept = false;
    for (const auto& [name, value] : request.headers) {
        // "Name;" is curl's way to send a header with an empty value; "Name:" would remove it.
        headers.add(value.empty() ? name + ";" : name + ": " + value);
        has_accept = has_accept || iequals(name, "Accept");
    }
    if (!has_accept && !request.default_accept_header) headers.add("Accept:");
    headers.add("Expect:");

    set(curl, CURLOPT_URL, request.url.c_str());
    set(curl, CURLOPT_NOSIGNAL, 1L);
    set(curl, CURLOPT_ERRORBUFFER, error_text);
    set(curl, CURLOPT_HTTPHEADER, headers.list);
    set(curl, CURLOPT_WRITEFUNCTION, on_body);
    set(curl, CURLOPT_WRITEDATA, &exchange);
    set(curl, CURLOPT_HEADERFUNCTION, on_header);
    set(curl, CURLOPT_HEADERDATA, &exchange);
    set(curl, CURLOPT_FOLLOWLOCATION, 0L);
    set(curl, CURLOPT_CONNECTTIMEOUT_MS, to_millis(request.connect_timeout_seconds));
    if (request.timeout_seconds)
        set(curl, CURLOPT_TIMEOUT_MS, std::max(1L, to_millis(*request.timeout_seconds)));
    set(curl, CURLOPT_SSL_VERIFYPEER, request.verify_tls ? 1L : 0L);
    set(curl, CURLOPT_SSL_VERIFYHOST, request.verify_tls ? 2L : 0L);
    if (!request.ca_file.empty()) set(curl, CURLOPT_CAINFO, request.ca_file.c_str());
    if (request.should_abort) {
        set(curl, CURLOPT_NOPROGRESS, 0L);
        set(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
        set(curl, CURLOPT_XFERINFODATA, &exchange);
    }
    switch (request.method) {
        case HttpMethod::Get:
            set(curl, CURLOPT_HTTPGET, 1L);
            break;
        case HttpMethod::Post:
            set(curl, CURLOPT_POST, 1L);
            set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            set(curl, CURLOPT_POSTFIELDS, request.body.data());
            break;
        case HttpMethod::Delete:
            set(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
            if (!request.body.empty()) {
                set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
                set(curl, CURLOPT_POSTFIELDS, request.body.data());
            }
            break;
    }

    const CURLcode code = curl_easy_perform(curl);
    // Nothing of this request may outlive it in the reused handle.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    if (code != CURLE_OK) {
        const std::string detail = exchange.aborted        ? std::string("interrupted")
                                   : error_text[0] != '\0' ? std::string(error_text)
                                                           : std::string(curl_easy_strerror(code));
        throw HttpError(http_error_kind(code), static_cast<int>(code),
                        std::string(method_name(request.method)) + " " + url_for_messages(request.url) +
                            " failed: " + detail);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}

}  // namespace velora::core
