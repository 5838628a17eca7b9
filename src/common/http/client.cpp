#include "common/http/client.hpp"

#include <curl/curl.h>

#include <utility>

#include "common/http/easy_handle.hpp"

namespace velora::core {

HttpClient::HttpClient() {
    ensure_curl_initialised();
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
    ExchangeBuffers buffers;
    configure_easy_handle(handle_, request, buffers);
    const CURLcode code = curl_easy_perform(static_cast<CURL*>(handle_));
    return finish_exchange(handle_, static_cast<int>(code), request, buffers);
}

}  // namespace velora::core
