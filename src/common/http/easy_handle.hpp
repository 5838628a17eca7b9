// One exchange on a libcurl easy handle, in two steps that any driver can put around its own wait:
// configure_easy_handle sets the handle up from an HttpRequest, the driver runs it (curl_easy_perform
// for the blocking client, a multi handle for a concurrent one), and finish_exchange turns curl's
// result code into the HttpResponse or the HttpError. The handles are passed as void* (a CURL*), so
// this header needs no curl include.
//
//     ExchangeBuffers buffers;                     // stays put until finish_exchange returns
//     configure_easy_handle(curl, request, buffers);
//     const int code = curl_easy_perform(curl);    // or: add to a multi handle, drive, read its code
//     HttpResponse response = finish_exchange(curl, code, request, buffers);
//
// Both `request` and `buffers` must outlive the exchange: the handle points into them.
#pragma once

#include <array>
#include <chrono>

#include "common/http/message.hpp"

namespace velora::core {

// What the handle writes into while the exchange runs. Neither copied nor moved: curl holds its
// address.
struct ExchangeBuffers {
    HttpResponse response;               // body and headers as they arrive
    std::array<char, 256> error_text{};  // curl's own words for a failure (CURL_ERROR_SIZE bytes)
    void* header_list = nullptr;         // the request's headers as a curl_slist*, freed here
    const HttpRequest* request = nullptr;
    std::chrono::steady_clock::time_point next_abort_check{};
    bool aborted = false;    // should_abort ended the exchange
    bool too_large = false;  // the body outgrew the request's max_response_bytes

    ExchangeBuffers() = default;
    ~ExchangeBuffers();
    ExchangeBuffers(const ExchangeBuffers&) = delete;
    ExchangeBuffers& operator=(const ExchangeBuffers&) = delete;
};

// libcurl's process-wide initialisation, done once and never undone. Call before the first handle.
void ensure_curl_initialised();

// Resets the handle (keeping its connection cache) and sets every option of `request` on it:
// method, URL, headers in order (no curl "Expect:", no curl "Accept" when the request says so),
// body, time-outs, TLS verification, abort polling, and the callbacks that fill `buffers`.
// Redirects are not followed. A request that cannot be sent as written (check_request_text) is
// refused with std::invalid_argument before the handle is touched.
void configure_easy_handle(void* curl, const HttpRequest& request, ExchangeBuffers& buffers);

// The end of the exchange whose CURLcode is `curl_code`: the response (any HTTP status), or an
// HttpError naming the method, the URL fit for messages and curl's error text. Leaves no pointer
// into `request` or `buffers` in the handle.
HttpResponse finish_exchange(void* curl, int curl_code, const HttpRequest& request, ExchangeBuffers& buffers);

// Classification of a curl result code (CURLcode as int).
HttpError::Kind http_error_kind(int curl_code);

}  // namespace velora::core
