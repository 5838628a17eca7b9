// A Transport over libcurl's multi interface: a batch of exchanges overlapped on the caller's
// thread (no thread of ours), at most `max_in_flight` at a time, results in request order.
//
// Transient failures (see retry.hpp) are retried inside the batch under `retry`: the failed
// exchange waits out its pause while the others go on. The number in flight follows InFlightLimit
// (in_flight_limit.hpp): 429s, 5xx answers, time-outs and rising latency narrow it, so that a
// service that is limiting or queueing us is not hammered; it widens again as answers come back.
// A request's time-out counts from when it is sent, never while it waits for room in the window.
//
// Ctrl-C: the should_abort of every pending request is polled a few times a second; the first
// that says so abandons the whole batch with an HttpError of kind Aborted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/http/in_flight_limit.hpp"
#include "common/http/retry.hpp"
#include "common/http/transport.hpp"

namespace velora::core {

struct MultiTransportOptions {
    std::size_t max_in_flight = 16;  // the width, or the ceiling when adaptive
    RetryPolicy retry{1};            // attempts in total; 1: no retries
    // Told before each pause: the request's index in its batch, the attempt that failed, the
    // pause, and why ("HTTP 503", or the transport error's message).
    std::function<void(std::size_t, int, double, const std::string&)> on_retry;
    bool adaptive = false;  // start small and learn the width (InFlightLimit::adaptive)
};

class MultiTransport final : public Transport {
  public:
    explicit MultiTransport(MultiTransportOptions options = {});
    ~MultiTransport() override;
    MultiTransport(const MultiTransport&) = delete;
    MultiTransport& operator=(const MultiTransport&) = delete;

    HttpResponse perform(const HttpRequest& request) override;
    std::vector<TransportResult> perform_all(const std::vector<HttpRequest>& requests,
                                             const TransportProgress& on_done = {}) override;

    // Retries made since this transport was made.
    std::size_t retries() const noexcept { return retries_; }
    const MultiTransportOptions& options() const noexcept { return options_; }

  private:
    class Batch;
    MultiTransportOptions options_;
    InFlightLimit limit_;        // kept between batches: a service that limited us still does
    void* multi_;                // CURLM*: owns the connection cache shared by the batches
    std::vector<void*> spares_;  // CURL* easy handles kept for the next exchanges
    std::size_t retries_ = 0;
};

// Performs the batch, handing each result to `take` as it arrives. The first exception `take`
// throws ends the batch (the requests still out are abandoned within a poll interval) and is
// rethrown; so is the interruption of a request's own should_abort.
void perform_each(Transport& transport, std::vector<HttpRequest> requests,
                  const std::function<void(std::size_t, const TransportResult&)>& take);

}  // namespace velora::core
