// The blocking HTTP(S) client over one reusable easy handle: configure_easy_handle, then
// curl_easy_perform, then finish_exchange (easy_handle.hpp). Callers outside src/common/http take a
// Transport (transport.hpp) instead; CurlTransport is this client as one.
//
// Redirects are not followed. curl's own "Expect: 100-continue" is never sent (it costs a round trip
// on every POST of more than 1 KiB).
#pragma once

#include "common/http/message.hpp"

namespace velora::core {

class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    HttpClient(HttpClient&& other) noexcept;
    HttpClient& operator=(HttpClient&& other) noexcept;

    // One exchange. Any HTTP status is a response; only transport failures throw HttpError, and a
    // request that cannot be sent as written std::invalid_argument (check_request_text).
    // Connections stay open between calls on the same client and are reused.
    HttpResponse perform(const HttpRequest& request);

  private:
    void* handle_;  // CURL*
};

}  // namespace velora::core
