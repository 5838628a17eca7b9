// The seam every HTTP caller goes through: a request in, a response out, cancellable through the
// request's should_abort. The console client, the inference SDK and the judge providers take a
// Transport and never name a concrete client, so a concurrent transport, a response cache, retries
// (RetryingTransport, retry.hpp) or a scripted fake in a test plug in under all of them without
// touching protocol code. The bindings choose and assemble the transports.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

#include "common/http/client.hpp"
#include "common/http/message.hpp"

namespace velora::core {

// How one exchange of a batch ended: a response (any HTTP status) or the failure it raised
// (an HttpError for transport failures).
struct TransportResult {
    std::optional<HttpResponse> response;
    std::exception_ptr error;
};

// Told as each exchange of a batch finishes, in completion order, with its index in the batch.
using TransportProgress = std::function<void(std::size_t, const TransportResult&)>;

class Transport {
  public:
    virtual ~Transport() = default;

    // One exchange. Any HTTP status is a response; transport failures throw HttpError.
    virtual HttpResponse perform(const HttpRequest& request) = 0;

    // Many exchanges; the results come back in request order. This default performs them one
    // after the other on this transport; a concurrent transport overlaps them. An HttpError of
    // kind Aborted ends the batch at once and is thrown, whatever the others did.
    virtual std::vector<TransportResult> perform_all(const std::vector<HttpRequest>& requests,
                                                     const TransportProgress& on_done = {});
};

// The libcurl client as a Transport: one easy handle, connections kept open between exchanges.
class CurlTransport final : public Transport {
  public:
    HttpResponse perform(const HttpRequest& request) override { return client_.perform(request); }

  private:
    HttpClient client_;
};

}  // namespace velora::core
