// How long an exchange may take, how its server is trusted, and when it is abandoned: the settings
// every client of a model service puts on each of its requests.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "common/http/message.hpp"

namespace velora::core {

struct RequestLimits {
    double timeout_seconds = 120.0;  // the whole exchange; the connection attempt too when shorter
    bool verify_tls = true;
    std::string ca_file;
    std::function<bool()> should_abort;
    std::size_t max_response_bytes = kDefaultMaxResponseBytes;

    void apply_to(HttpRequest& request) const {
        set_exchange_timeout(request, timeout_seconds);
        request.verify_tls = verify_tls;
        request.ca_file = ca_file;
        request.should_abort = should_abort;
        request.max_response_bytes = max_response_bytes;
    }
};

}  // namespace velora::core
