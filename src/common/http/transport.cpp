#include "common/http/transport.hpp"

namespace velora::core {

std::vector<TransportResult> Transport::perform_all(const std::vector<HttpRequest>& requests,
                                                    const TransportProgress& on_done) {
    std::vector<TransportResult> results(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        try {
            results[i].response = perform(requests[i]);
        } catch (const HttpError& error) {
            if (error.kind() == HttpError::Kind::Aborted) throw;
            results[i].error = std::current_exception();
        } catch (...) {
            results[i].error = std::current_exception();
        }
        if (on_done) on_done(i, results[i]);
    }
    return results;
}

}  // namespace velora::core
