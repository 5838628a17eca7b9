// The one place that talks libcurl: a blocking HTTP(S) client over one reusable easy handle.
//
// Time-outs: `timeout_seconds` bounds the whole exchange; absent means none, as the console writes
// require. The connection attempt alone is always bounded (`connect_timeout_seconds`, 30 s by
// default), so an unreachable host fails in bounded time even when the exchange has no time-out.
// Redirects are not followed. curl's own "Expect: 100-continue" is never sent (it costs a round
// trip on every POST of more than 1 KiB).
//
// Messages of HttpError name the method, the URL without user information and query string, and
// curl's error text. Header values (tokens, API keys) never appear in them.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velora::core {

enum class HttpMethod { Get, Post, Delete };

const char* method_name(HttpMethod method);

// Header name and value pairs, sent in this order with the names spelled as written.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

inline constexpr double kDefaultConnectTimeoutSeconds = 30.0;

struct HttpRequest {
    HttpMethod method = HttpMethod::Get;
    std::string url;
    HttpHeaders headers;
    std::string body;                       // sent with POST (also when empty) and DELETE when not empty
    std::optional<double> timeout_seconds;  // whole exchange; nullopt: no time-out
    double connect_timeout_seconds = kDefaultConnectTimeoutSeconds;
    bool verify_tls = true;  // certificate and host-name verification
    std::string ca_file;     // CA bundle to verify against; empty: the system's
    // curl adds "Accept: */*" when the request has no Accept header; false leaves it out, for a
    // request whose header set is fixed exactly.
    bool default_accept_header = true;
    // Polled a few times a second while the exchange blocks; returning true abandons it with an
    // HttpError of kind Aborted (the bindings use it to honour Ctrl-C).
    std::function<bool()> should_abort;
};

struct HttpResponse {
    long status = 0;
    std::string body;
    HttpHeaders headers;  // of the final response, as the server wrote them
    // First header of that name (case-insensitive), if any.
    std::optional<std::string> header(std::string_view name) const;
};

class HttpError : public std::runtime_error {
  public:
    enum class Kind {
        Resolve,   // host name not found
        Connect,   // connection refused or unreachable
        Transfer,  // connection reset or closed mid-exchange, empty reply
        Timeout,   // connect or exchange time-out
        Tls,       // handshake or certificate failure
        Aborted,   // should_abort said so
        Other,
    };
    HttpError(Kind kind, int curl_code, const std::string& message);
    Kind kind() const noexcept { return kind_; }
    int curl_code() const noexcept { return curl_code_; }

  private:
    Kind kind_;
    int curl_code_;
};

// Classification of a curl result code (CURLcode as int, so this header needs no curl include).
HttpError::Kind http_error_kind(int curl_code);

class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    HttpClient(HttpClient&& other) noexcept;
    HttpClient& operator=(HttpClient&& other) noexcept;

    // One exchange. Any HTTP status is a response; only transport failures throw HttpError.
    // Connections stay open between calls on the same client and are reused.
    HttpResponse perform(const HttpRequest& request);

  private:
    void* handle_;  // CURL*
};

}  // namespace velora::core
