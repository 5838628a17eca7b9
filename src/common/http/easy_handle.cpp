#include "common/http/easy_handle.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>

#include "common/http/url_encoding.hpp"
#include "common/text.hpp"

namespace velora::core {
namespace {

static_assert(CURL_ERROR_SIZE <= 256, "ExchangeBuffers::error_text is too small for curl's error buffer");

void add_header(ExchangeBuffers& buffers, const std::string& line) {
    curl_slist* grown = curl_slist_append(static_cast<curl_slist*>(buffers.header_list), line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    buffers.header_list = grown;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* buffers = static_cast<ExchangeBuffers*>(user);
    std::string& body = buffers->response.body;
    if (size * count > buffers->request->max_response_bytes - body.size()) {
        buffers->too_large = true;
        return 0;  // curl ends the exchange; nothing more is read
    }
    body.append(data, size * count);
    return size * count;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto& headers = static_cast<ExchangeBuffers*>(user)->response.headers;
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new status line (after 100 Continue, say): only the final response's headers count.
        headers.clear();
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers.emplace_back(std::string(trim(line.substr(0, colon))),
                             std::string(trim(line.substr(colon + 1))));
    }
    return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* buffers = static_cast<ExchangeBuffers*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (now < buffers->next_abort_check) return 0;
    buffers->next_abort_check = now + std::chrono::milliseconds(200);
    if (buffers->request->should_abort()) {
        buffers->aborted = true;
        return 1;
    }
    return 0;
}

// Settings refuse longer time-outs; the bound here only keeps the conversion defined.
long to_millis(double seconds) {
    if (!(seconds > 0.0)) return 0L;
    return static_cast<long>(std::min(seconds, kMaxTimeoutSeconds) * 1000.0 + 0.5);
}

template <typename T>
void set(CURL* curl, CURLoption option, T value) {
    // Options set here are all supported by any libcurl we build against; a failure is a bug.
    if (curl_easy_setopt(curl, option, value) != CURLE_OK) {
        throw HttpError(HttpError::Kind::Other, CURLE_BAD_FUNCTION_ARGUMENT, "libcurl rejected an option");
    }
}

void set_headers(CURL* curl, const HttpRequest& request, ExchangeBuffers& buffers) {
    bool has_accept = false;
    for (const auto& [name, value] : request.headers) {
        // "Name;" is curl's way to send a header with an empty value; "Name:" would remove it.
        add_header(buffers, value.empty() ? name + ";" : name + ": " + value);
        has_accept = has_accept || iequals(name, "Accept");
    }
    if (!has_accept && !request.default_accept_header) add_header(buffers, "Accept:");
    add_header(buffers, "Expect:");
    set(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(buffers.header_list));
}

void set_callbacks(CURL* curl, const HttpRequest& request, ExchangeBuffers& buffers) {
    set(curl, CURLOPT_ERRORBUFFER, buffers.error_text.data());
    set(curl, CURLOPT_WRITEFUNCTION, on_body);
    set(curl, CURLOPT_WRITEDATA, &buffers);
    set(curl, CURLOPT_HEADERFUNCTION, on_header);
    set(curl, CURLOPT_HEADERDATA, &buffers);
    if (request.should_abort) {
        set(curl, CURLOPT_NOPROGRESS, 0L);
        set(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
        set(curl, CURLOPT_XFERINFODATA, &buffers);
    }
}

void set_limits_and_tls(CURL* curl, const HttpRequest& request) {
    set(curl, CURLOPT_NOSIGNAL, 1L);
    set(curl, CURLOPT_FOLLOWLOCATION, 0L);
    set(curl, CURLOPT_CONNECTTIMEOUT_MS, to_millis(request.connect_timeout_seconds));
    if (request.timeout_seconds)
        set(curl, CURLOPT_TIMEOUT_MS, std::max(1L, to_millis(*request.timeout_seconds)));
    // A declared length beyond the cap is refused before the body is read.
    constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max());
    set(curl, CURLOPT_MAXFILESIZE_LARGE,
        static_cast<curl_off_t>(std::min(request.max_response_bytes, kLargest)));
    set(curl, CURLOPT_SSL_VERIFYPEER, request.verify_tls ? 1L : 0L);
    set(curl, CURLOPT_SSL_VERIFYHOST, request.verify_tls ? 2L : 0L);
    if (!request.ca_file.empty()) set(curl, CURLOPT_CAINFO, request.ca_file.c_str());
}

void set_method_and_body(CURL* curl, const HttpRequest& request) {
    const auto send_body = [&] {
        set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        set(curl, CURLOPT_POSTFIELDS, request.body.data());
    };
    switch (request.method) {
        case HttpMethod::Get:
            set(curl, CURLOPT_HTTPGET, 1L);
            break;
        case HttpMethod::Post:
            set(curl, CURLOPT_POST, 1L);
            send_body();
            break;
        case HttpMethod::Delete:
            set(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
            if (!request.body.empty()) send_body();
            break;
    }
}

}  // namespace

ExchangeBuffers::~ExchangeBuffers() { curl_slist_free_all(static_cast<curl_slist*>(header_list)); }

void ensure_curl_initialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Process-wide and never undone: cleaning up while another module still holds a handle
        // would be worse than the few bytes it keeps.
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl could not be initialised");
        }
    });
}

void configure_easy_handle(void* handle, const HttpRequest& request, ExchangeBuffers& buffers) {
    check_request_text(request);
    auto* curl = static_cast<CURL*>(handle);
    // Reset drops the previous request's options but keeps the connection cache.
    curl_easy_reset(curl);
    buffers.request = &request;
    buffers.next_abort_check = std::chrono::steady_clock::now();
    set(curl, CURLOPT_URL, request.url.c_str());
    set_headers(curl, request, buffers);
    set_callbacks(curl, request, buffers);
    set_limits_and_tls(curl, request);
    set_method_and_body(curl, request);
}

HttpResponse finish_exchange(void* handle, int curl_code, const HttpRequest& request,
                             ExchangeBuffers& buffers) {
    auto* curl = static_cast<CURL*>(handle);
    // Nothing of this request may outlive it in a reused handle.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    const auto code = static_cast<CURLcode>(curl_code);
    if (code != CURLE_OK && (buffers.too_large || code == CURLE_FILESIZE_EXCEEDED)) {
        throw HttpError(HttpError::Kind::TooLarge, curl_code,
                        std::string(method_name(request.method)) + " " + url_for_messages(request.url) +
                            " failed: the answer is longer than " +
                            std::to_string(request.max_response_bytes) + " bytes");
    }
    if (code != CURLE_OK) {
        const std::string detail = buffers.aborted                 ? std::string("interrupted")
                                   : buffers.error_text[0] != '\0' ? std::string(buffers.error_text.data())
                                                                   : std::string(curl_easy_strerror(code));
        throw HttpError(http_error_kind(curl_code), curl_code,
                        std::string(method_name(request.method)) + " " + url_for_messages(request.url) +
                            " failed: " + detail);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &buffers.response.status);
    return std::move(buffers.response);
}

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

}  // namespace velora::core
