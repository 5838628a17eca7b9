// Bounded retries of transient HTTP failures, as a wrapper around any Transport, for requests that
// are safe to repeat (reads and generation calls; never the console writes, which must not be sent
// twice).
//
// Retried: connection refused, connection reset or closed mid-exchange (empty reply included),
// HTTP 429 and every 5xx except 501 (a server that does not implement a method never will).
// Not retried: unknown hosts, TLS failures, every other status, and time-outs unless the policy
// says so (the caller already waited the whole time-out once; a service that queues requests
// times them out while they wait, and then a repeat, sent into a narrower window, is worth it).
// Pause before the next attempt: initial_backoff * multiplier^(attempt-1), capped at max_backoff,
// without jitter (one client, deterministic behaviour in tests). A Retry-After header (seconds or
// an HTTP date) on a 429/5xx replaces that pause when it lies within max_retry_after; a server that
// asks for a longer wait ends the retries at once and its answer is returned as it is.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/http/message.hpp"
#include "common/http/transport.hpp"
#include "common/log_sink.hpp"

namespace velora::core {

struct RetryPolicy {
    int max_attempts = 3;  // in total, the first attempt included; 1 disables retries
    double initial_backoff_seconds = 0.5;
    double backoff_multiplier = 2.0;
    double max_backoff_seconds = 8.0;
    double max_retry_after_seconds = 30.0;
    bool retry_timeouts = false;
};

bool is_transient_status(long status);
bool is_transient_error(HttpError::Kind kind);

// Seconds to wait according to a Retry-After value (delta-seconds or IMF-fixdate), relative to
// `now` for a date; nullopt when the value is neither. A date in the past gives 0.
std::optional<double> parse_retry_after(std::string_view value, std::time_t now);

// How attempt number `attempt` (1-based) ended: a response with a status (and its Retry-After
// header, if any) or a transport failure.
struct AttemptOutcome {
    std::optional<long> status;
    std::optional<std::string> retry_after;
    std::optional<HttpError::Kind> error;
};

// The pause before the next attempt, or nullopt when this outcome is final.
std::optional<double> retry_delay(const RetryPolicy& policy, int attempt, const AttemptOutcome& outcome,
                                  std::time_t now);

struct RetryHooks {
    // Told before each pause: the request, the attempt that failed, the pause, and why ("HTTP 503",
    // or the transport error's message).
    using OnRetry = std::function<void(const HttpRequest&, int, double, const std::string&)>;
    // Waits the given seconds; the default sleeps in short slices and gives up (HttpError of kind
    // Aborted) when the request's should_abort says so.
    std::function<void(double)> sleep;
    OnRetry on_retry;
};

// The one wording of a retry note, at debug level on `log`, with the secrets taken out:
// "Retrying POST <url><context> in 0.5 s after attempt 1 of 3: HTTP 503".
RetryHooks::OnRetry retry_logger(LogSink& log, int max_attempts, std::vector<std::string> secrets,
                                 std::string context = {});

// How a failure message names a final status: "HTTP 503", and " after 3 attempts" when retries
// came before it.
std::string status_text(const HttpResponse& response);

// Performs each request on `inner` until it succeeds, fails for good or the attempts run out. The
// result is the last response (which may still carry a transient status; its `attempts` says how
// many exchanges it took), or the last transport failure, its message then ending with
// " (after N attempts)" when N > 1. A batch goes to inner's batch in rounds: the first round holds
// every request, each later one those still worth repeating, after one pause (the longest asked).
class RetryingTransport final : public Transport {
  public:
    RetryingTransport(std::shared_ptr<Transport> inner, RetryPolicy policy, RetryHooks hooks = {});

    HttpResponse perform(const HttpRequest& request) override;
    std::vector<TransportResult> perform_all(const std::vector<HttpRequest>& requests,
                                             const TransportProgress& on_done = {}) override;

    const RetryPolicy& policy() const noexcept { return policy_; }

  private:
    // The pause before repeating `request` after attempt `attempt` ended in `result` (told to
    // on_retry), or nullopt when that result is final.
    std::optional<double> next_delay(const HttpRequest& request, int attempt,
                                     const TransportResult& result) const;
    static TransportResult settled(TransportResult result, int attempts);
    void pause(const HttpRequest& request, double seconds) const;

    std::shared_ptr<Transport> inner_;
    RetryPolicy policy_;
    RetryHooks hooks_;
};

}  // namespace velora::core
