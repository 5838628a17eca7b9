// What an HTTP exchange is made of, independent of who performs it: the request, the response and
// the transport failure. Every HTTP caller builds these; only src/common/http knows libcurl.
//
// Time-outs: `timeout_seconds` bounds the whole exchange; absent means none, as the console writes
// require. The connection attempt alone is always bounded (`connect_timeout_seconds`, 30 s by
// default), so an unreachable host fails in bounded time even when the exchange has no time-out.
//
// Messages of HttpError name the method, the URL without user information and query string, and
// the transport's error text. Header values (tokens, API keys) never appear in them.
#pragma once

#include <cstddef>
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

// The longest time-out any setting may ask for (about 11.5 days). Every time-out setting refuses a
// longer one by name (timeout_problem), and an exchange never waits longer whatever it is given.
inline constexpr double kMaxTimeoutSeconds = 1'000'000.0;

// What is wrong with `seconds` as a time-out, worded to follow the setting's name ("must be a
// positive number of seconds", "must be at most 1000000 seconds"); nullopt when it can be used.
std::optional<std::string> timeout_problem(double seconds);

// The largest response body a request accepts by default (16 MiB): a longer answer fails the
// exchange (HttpError of kind TooLarge) as soon as it is known to be longer, unread beyond that.
inline constexpr std::size_t kDefaultMaxResponseBytes = std::size_t{16} << 20;

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
    // The body of the answer may hold at most this many bytes.
    std::size_t max_response_bytes = kDefaultMaxResponseBytes;
    // Polled a few times a second while the exchange blocks; returning true abandons it with an
    // HttpError of kind Aborted (the bindings use it to honour Ctrl-C).
    std::function<bool()> should_abort;
};

// Bounds the whole exchange by `seconds`, and the connection attempt by the same when that is
// shorter than the default connect time-out.
void set_exchange_timeout(HttpRequest& request, double seconds);

// Refuses a request that cannot be sent as written: a header name or value holding CR, LF or NUL
// (it would end the header early and smuggle in one of its own) or a URL holding any of them.
// std::invalid_argument names the header or says "URL", never the value, which may be a secret.
void check_request_text(const HttpRequest& request);

struct HttpResponse {
    long status = 0;
    std::string body;
    HttpHeaders headers;  // of the final response, as the server wrote them
    int attempts = 1;     // exchanges it took; more than 1 when retries came before it
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
        TooLarge,  // the answer's body is longer than max_response_bytes
        Other,
    };
    HttpError(Kind kind, int curl_code, const std::string& message);
    Kind kind() const noexcept { return kind_; }
    int curl_code() const noexcept { return curl_code_; }

  private:
    Kind kind_;
    int curl_code_;
};

}  // namespace velora::core
