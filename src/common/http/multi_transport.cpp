#include "common/http/multi_transport.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <queue>

#include "common/http/easy_handle.hpp"
#include "common/http/url_encoding.hpp"

namespace velora::core {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAbortCheckInterval = std::chrono::milliseconds(100);

struct Transfer {
    std::size_t index = 0;
    int attempt = 1;
    InFlightLimit::Start window;  // what the window was when it was sent
    Clock::time_point sent;
    CURL* easy = nullptr;
    ExchangeBuffers buffers;
};

struct Pending {
    Clock::time_point due;
    std::size_t index;
    int attempt;
    bool operator>(const Pending& other) const { return due > other.due; }
};

}  // namespace

// One perform_all: the requests not yet started, those waiting out a retry pause, those in flight.
class MultiTransport::Batch {
  public:
    Batch(MultiTransport& owner, InFlightLimit& limit, const std::vector<HttpRequest>& requests,
          const TransportProgress& on_done)
        : owner_(owner), limit_(limit), requests_(requests), on_done_(on_done), results_(requests.size()) {
        for (std::size_t i = 0; i < requests.size(); ++i) ready_.push_back({Clock::now(), i, 1});
        limit_.new_batch();
    }

    ~Batch() {
        while (!in_flight_.empty()) release(*in_flight_.back());
    }

    std::vector<TransportResult> run() {
        auto next_abort_check = Clock::now() + kAbortCheckInterval;
        while (finished_ < results_.size()) {
            start_what_may_start();
            int running = 0;
            curl_multi_perform(multi(), &running);
            const bool freed_room = collect_finished();
            if (finished_ == results_.size()) break;
            if (Clock::now() >= next_abort_check) {
                throw_if_aborted();
                next_abort_check = Clock::now() + kAbortCheckInterval;
            }
            if (freed_room) continue;  // start the next exchanges before waiting on the others
            curl_multi_poll(multi(), nullptr, 0, poll_millis(), nullptr);
        }
        return std::move(results_);
    }

  private:
    CURLM* multi() const { return static_cast<CURLM*>(owner_.multi_); }

    void start_what_may_start() {
        const auto now = Clock::now();
        while (!waiting_.empty() && waiting_.top().due <= now) {
            ready_.push_front(waiting_.top());  // a retry goes before requests not yet tried
            waiting_.pop();
        }
        while (!ready_.empty() && in_flight_.size() < limit_.allowed()) {
            const bool demand = in_flight_.size() + ready_.size() >= limit_.allowed();
            start(ready_.front(), demand);
            ready_.pop_front();
        }
    }

    void start(const Pending& pending, bool demand) {
        auto transfer = std::make_unique<Transfer>();
        transfer->index = pending.index;
        transfer->attempt = pending.attempt;
        transfer->window = limit_.start(demand);
        transfer->sent = Clock::now();
        transfer->easy = spare_or_new_handle();
        Transfer& added = *in_flight_.emplace_back(std::move(transfer));
        try {
            configure_easy_handle(added.easy, requests_[added.index], added.buffers);
        } catch (const std::invalid_argument&) {  // a request that cannot be sent as written
            const std::size_t index = added.index;
            release(added);
            settle(index, TransportResult{std::nullopt, std::current_exception()});
            return;
        }
        curl_easy_setopt(added.easy, CURLOPT_PRIVATE, &added);
        if (curl_multi_add_handle(multi(), added.easy) != CURLM_OK) {
            release(added);
            throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl refused a transfer");
        }
    }

    CURL* spare_or_new_handle() {
        if (owner_.spares_.empty()) {
            CURL* easy = curl_easy_init();
            if (easy == nullptr)
                throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT,
                                "libcurl could not create a handle");
            return easy;
        }
        auto* easy = static_cast<CURL*>(owner_.spares_.back());
        owner_.spares_.pop_back();
        return easy;
    }

    // Takes the transfer out of the multi handle and keeps its easy handle for the next one.
    void release(Transfer& transfer) {
        curl_multi_remove_handle(multi(), transfer.easy);
        curl_easy_reset(transfer.easy);  // nothing of this exchange may outlive it in the handle
        owner_.spares_.push_back(transfer.easy);
        const auto it = std::find_if(in_flight_.begin(), in_flight_.end(),
                                     [&](const auto& held) { return held.get() == &transfer; });
        in_flight_.erase(it);
    }

    // True when an exchange ended.
    bool collect_finished() {
        bool any = false;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi(), &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
            finish(*transfer, message->data.result);
            any = true;
        }
        return any;
    }

    void finish(Transfer& transfer, CURLcode code) {
        TransportResult result;
        AttemptOutcome outcome;
        try {
            result.response =
                finish_exchange(transfer.easy, code, requests_[transfer.index], transfer.buffers);
            result.response->attempts = transfer.attempt;
            outcome.status = result.response->status;
            outcome.retry_after = result.response->header("Retry-After");
            adjust_limit(*result.response, transfer);
        } catch (const HttpError& error) {
            if (error.kind() == HttpError::Kind::Aborted) throw;  // Ctrl-C ends the whole batch
            result.error = std::current_exception();
            outcome.error = error.kind();
            if (error.kind() == HttpError::Kind::Timeout) {
                if (request_sent(transfer.easy)) {
                    limit_.on_congestion(transfer.window);  // it waited in the service's queue
                } else {
                    outcome.error = HttpError::Kind::Other;  // an unreachable host: not worth repeating
                }
            }
        }
        const std::size_t index = transfer.index;
        const int attempt = transfer.attempt;
        release(transfer);
        if (const auto delay = retry_delay(owner_.options_.retry, attempt, outcome, std::time(nullptr))) {
            retry_later(index, attempt, *delay, result);
            return;
        }
        settle(index, after_attempts(std::move(result), attempt));
    }

    // True when the request went out (on a new connection or a kept one), so a time-out was spent
    // waiting on the service.
    static bool request_sent(CURL* easy) {
        long sent_bytes = 0;
        return curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &sent_bytes) == CURLE_OK && sent_bytes > 0;
    }

    void adjust_limit(const HttpResponse& response, const Transfer& transfer) {
        if (is_transient_status(response.status)) {
            limit_.on_congestion(transfer.window);
        } else if (response.status < 400) {
            limit_.on_answer(transfer.window,
                             std::chrono::duration<double>(Clock::now() - transfer.sent).count());
        }
    }

    void retry_later(std::size_t index, int attempt, double delay, const TransportResult& result) {
        ++owner_.retries_;
        if (owner_.options_.on_retry) {
            owner_.options_.on_retry(index, attempt, delay, reason_of(result));
        }
        const auto pause = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
        waiting_.push({Clock::now() + pause, index, attempt + 1});
    }

    static std::string reason_of(const TransportResult& result) {
        if (result.response) return "HTTP " + std::to_string(result.response->status);
        try {
            std::rethrow_exception(result.error);
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    // A transport failure after retries says how many attempts it took.
    static TransportResult after_attempts(TransportResult result, int attempt) {
        if (!result.error || attempt == 1) return result;
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& failure) {
            result.error = std::make_exception_ptr(
                HttpError(failure.kind(), failure.curl_code(),
                          std::string(failure.what()) + " (after " + std::to_string(attempt) + " attempts)"));
        } catch (...) {
        }
        return result;
    }

    void settle(std::size_t index, TransportResult result) {
        results_[index] = std::move(result);
        ++finished_;
        if (on_done_) on_done_(index, results_[index]);
    }

    void throw_if_aborted() const {
        const auto asks = [&](std::size_t index) {
            const auto& should_abort = requests_[index].should_abort;
            return should_abort && should_abort();
        };
        std::optional<std::size_t> asked;
        for (const auto& transfer : in_flight_) {
            if (asks(transfer->index)) asked = transfer->index;
            if (asked) break;
        }
        if (!asked && in_flight_.empty() && !waiting_.empty() && asks(waiting_.top().index))
            asked = waiting_.top().index;
        if (!asked) return;
        const HttpRequest& request = requests_[*asked];
        throw HttpError(HttpError::Kind::Aborted, CURLE_ABORTED_BY_CALLBACK,
                        std::string(method_name(request.method)) + " " + url_for_messages(request.url) +
                            " failed: interrupted");
    }

    int poll_millis() const {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kAbortCheckInterval);
        if (in_flight_.empty() && !waiting_.empty()) {
            const auto until_due =
                std::chrono::duration_cast<std::chrono::milliseconds>(waiting_.top().due - Clock::now());
            wait = std::clamp(until_due, std::chrono::milliseconds(0), wait);
        }
        return static_cast<int>(wait.count());
    }

    MultiTransport& owner_;
    InFlightLimit& limit_;
    const std::vector<HttpRequest>& requests_;
    const TransportProgress& on_done_;
    std::vector<TransportResult> results_;
    std::size_t finished_ = 0;
    std::deque<Pending> ready_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> waiting_;
    std::vector<std::unique_ptr<Transfer>> in_flight_;
};

MultiTransport::MultiTransport(MultiTransportOptions options)
    : options_(std::move(options)),
      limit_(options_.adaptive ? InFlightLimit::adaptive(options_.max_in_flight)
                               : InFlightLimit::fixed(options_.max_in_flight)) {
    ensure_curl_initialised();
    multi_ = curl_multi_init();
    if (multi_ == nullptr)
        throw HttpError(HttpError::Kind::Other, CURLE_FAILED_INIT, "libcurl could not create a multi handle");
    // Enough kept connections for a full window, so that no batch opens them anew.
    curl_multi_setopt(static_cast<CURLM*>(multi_), CURLMOPT_MAXCONNECTS,
                      static_cast<long>(std::max<std::size_t>(options_.max_in_flight, 1) + 4));
}

MultiTransport::~MultiTransport() {
    for (void* easy : spares_) curl_easy_cleanup(static_cast<CURL*>(easy));
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

HttpResponse MultiTransport::perform(const HttpRequest& request) {
    auto results = perform_all({request});
    if (results[0].error) std::rethrow_exception(results[0].error);
    return std::move(*results[0].response);
}

std::vector<TransportResult> MultiTransport::perform_all(const std::vector<HttpRequest>& requests,
                                                         const TransportProgress& on_done) {
    Batch batch(*this, limit_, requests, on_done);
    return batch.run();
}

void perform_each(Transport& transport, std::vector<HttpRequest> requests,
                  const std::function<void(std::size_t, const TransportResult&)>& take) {
    std::exception_ptr failure;
    for (auto& request : requests) {
        request.should_abort = [&failure, asked = std::move(request.should_abort)] {
            return failure != nullptr || (asked && asked());
        };
    }
    try {
        transport.perform_all(requests, [&](std::size_t index, const TransportResult& result) {
            if (failure) return;
            try {
                take(index, result);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const HttpError&) {
        if (!failure) throw;  // interrupted by the caller
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace velora::core
