// Setting up a libcurl easy handle for one HttpRequest, for transports that run the handle
// themselves (the multi transport adds it to a multi handle instead of performing it). The rules
// are those of client.hpp: no redirects, no "Expect: 100-continue", the connection attempt always
// bounded, header names and order as given.
#pragma once

#include <array>
#include <string>

#include "common/http/client.hpp"

namespace velora::core {

// What one exchange writes into while it runs; it must stay in place until the handle is reset.
struct EasyExchange {
    EasyExchange() = default;
    EasyExchange(const EasyExchange&) = delete;
    EasyExchange& operator=(const EasyExchange&) = delete;
    ~EasyExchange();

    HttpResponse response;               // body and headers; the status is read from the handle
    std::array<char, 256> error_text{};  // CURL_ERROR_SIZE
    void* header_list = nullptr;         // curl_slist*

    // curl's own words for a failed exchange: its error buffer, else the code's text.
    std::string error_detail(int curl_code) const;
};

// libcurl's process-wide initialisation, once.
void ensure_curl_initialised();

// Options of `request` on the (freshly reset) easy handle `easy` (a CURL*), writing into `exchange`.
void configure_easy(void* easy, const HttpRequest& request, EasyExchange& exchange);

}  // namespace velora::core
