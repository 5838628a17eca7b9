#include "common/http/retry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "common/abortable_sleep.hpp"
#include "common/http/url_encoding.hpp"
#include "common/pynum.hpp"
#include "common/redaction.hpp"
#include "common/text.hpp"

namespace velora::core {
namespace {

// IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT", the only date form servers are told to send.
std::optional<std::time_t> parse_http_date(std::string_view text) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text[3] != ',' || !text.ends_with(" GMT")) return std::nullopt;
    auto number = [&](size_t pos, size_t len) -> std::optional<int> {
        int value = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto day = number(5, 2), year = number(12, 4), hour = number(17, 2), minute = number(20, 2),
               second = number(23, 2);
    if (!day || !year || !hour || !minute || !second || text[19] != ':' || text[22] != ':')
        return std::nullopt;
    int month = -1;
    for (int i = 0; i < 12; ++i) {
        if (text.substr(8, 3) == kMonths[i]) month = i;
    }
    if (month < 0) return std::nullopt;
    std::tm tm{};
    tm.tm_year = *year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = *day;
    tm.tm_hour = *hour;
    tm.tm_min = *minute;
    tm.tm_sec = *second;
    return timegm(&tm);
}

std::string attempts_text(int attempts) { return "after " + std::to_string(attempts) + " attempts"; }

}  // namespace

bool is_transient_status(long status) {
    return status == 429 || (status >= 500 && status <= 599 && status != 501);
}

bool is_transient_error(HttpError::Kind kind) {
    return kind == HttpError::Kind::Connect || kind == HttpError::Kind::Transfer;
}

std::optional<double> parse_retry_after(std::string_view value, std::time_t now) {
    value = trim(value);
    if (value.empty()) return std::nullopt;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (value.size() > 9) return 1e9;  // absurdly long; the cap decides
        return static_cast<double>(std::strtol(std::string(value).c_str(), nullptr, 10));
    }
    const auto date = parse_http_date(value);
    if (!date) return std::nullopt;
    return std::max(0.0, std::difftime(*date, now));
}

std::optional<double> retry_delay(const RetryPolicy& policy, int attempt, const AttemptOutcome& outcome,
                                  std::time_t now) {
    if (attempt >= policy.max_attempts) return std::nullopt;
    if (outcome.error) {
        const bool timed_out = *outcome.error == HttpError::Kind::Timeout;
        if (!is_transient_error(*outcome.error) && !(timed_out && policy.retry_timeouts)) return std::nullopt;
    } else if (!outcome.status || !is_transient_status(*outcome.status)) {
        return std::nullopt;
    }
    if (outcome.retry_after) {
        if (const auto asked = parse_retry_after(*outcome.retry_after, now)) {
            if (*asked > policy.max_retry_after_seconds) return std::nullopt;
            return *asked;
        }
    }
    const double backoff = policy.initial_backoff_seconds * std::pow(policy.backoff_multiplier, attempt - 1);
    return std::min(backoff, policy.max_backoff_seconds);
}

RetryHooks::OnRetry retry_logger(LogSink& log, int max_attempts, std::vector<std::string> secrets,
                                 std::string context) {
    return [&log, max_attempts, secrets = std::move(secrets), context = std::move(context)](
               const HttpRequest& request, int attempt, double delay, const std::string& reason) {
        log.debug(redact("Retrying " + std::string(method_name(request.method)) + " " +
                             url_for_messages(request.url) + context + " in " + format_fixed(delay, 1) +
                             " s after attempt " + std::to_string(attempt) + " of " +
                             std::to_string(max_attempts) + ": " + reason,
                         secrets));
    };
}

std::string status_text(const HttpResponse& response) {
    return "HTTP " + std::to_string(response.status) +
           (response.attempts > 1 ? " " + attempts_text(response.attempts) : std::string());
}

RetryingTransport::RetryingTransport(std::shared_ptr<Transport> inner, RetryPolicy policy, RetryHooks hooks)
    : inner_(std::move(inner)), policy_(policy), hooks_(std::move(hooks)) {}

HttpResponse RetryingTransport::perform(const HttpRequest& request) {
    auto results = perform_all({request});
    if (results.front().error) std::rethrow_exception(results.front().error);
    return std::move(*results.front().response);
}

std::vector<TransportResult> RetryingTransport::perform_all(const std::vector<HttpRequest>& requests,
                                                            const TransportProgress& on_done) {
    std::vector<TransportResult> results(requests.size());
    std::vector<std::size_t> round(requests.size());
    for (std::size_t i = 0; i < round.size(); ++i) round[i] = i;
    for (int attempt = 1; !round.empty(); ++attempt) {
        std::vector<HttpRequest> batch;
        for (const auto i : round) batch.push_back(requests[i]);
        auto outcomes = inner_->perform_all(batch);
        std::vector<std::size_t> again;
        double longest = 0.0;
        for (std::size_t k = 0; k < round.size(); ++k) {
            const auto i = round[k];
            if (const auto delay = next_delay(requests[i], attempt, outcomes[k])) {
                again.push_back(i);
                longest = std::max(longest, *delay);
                continue;
            }
            results[i] = settled(std::move(outcomes[k]), attempt);
            if (on_done) on_done(i, results[i]);
        }
        // One pause for the whole round: the longest any of its requests asked for.
        if (!again.empty()) pause(requests[again.front()], longest);
        round = std::move(again);
    }
    return results;
}

std::optional<double> RetryingTransport::next_delay(const HttpRequest& request, int attempt,
                                                    const TransportResult& result) const {
    AttemptOutcome outcome;
    std::string reason;
    if (result.response) {
        outcome.status = result.response->status;
        outcome.retry_after = result.response->header("Retry-After");
        reason = "HTTP " + std::to_string(result.response->status);
    } else {
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& error) {
            outcome.error = error.kind();
            reason = error.what();
        } catch (...) {
            return std::nullopt;  // not a transport failure: never worth repeating
        }
    }
    const auto delay = retry_delay(policy_, attempt, outcome, std::time(nullptr));
    if (delay && hooks_.on_retry) hooks_.on_retry(request, attempt, *delay, reason);
    return delay;
}

TransportResult RetryingTransport::settled(TransportResult result, int attempts) {
    if (result.response) {
        result.response->attempts = attempts;
    } else if (attempts > 1) {
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& error) {
            result.error = std::make_exception_ptr(
                HttpError(error.kind(), error.curl_code(),
                          std::string(error.what()) + " (" + attempts_text(attempts) + ")"));
        } catch (...) {
        }
    }
    return result;
}

void RetryingTransport::pause(const HttpRequest& request, double seconds) const {
    if (hooks_.sleep) {
        hooks_.sleep(seconds);
    } else if (!abortable_sleep(seconds, request.should_abort)) {
        throw HttpError(HttpError::Kind::Aborted, 0,
                        std::string(method_name(request.method)) + " interrupted while waiting to retry");
    }
}

}  // namespace velora::core
