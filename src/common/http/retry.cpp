#include "common/http/retry.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace velora::core {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT", the only date form servers are told to send.
std::optional<std::time_t> parse_http_date(std::string_view text) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text[3] != ',' || text.substr(25) != " GMT") return std::nullopt;
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

void sliced_sleep(double seconds, const HttpRequest& request) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds));
    while (true) {
        if (request.should_abort && request.should_abort()) {
            throw HttpError(HttpError::Kind::Aborted, 0,
                            std::string(method_name(request.method)) + " interrupted while waiting to retry");
        }
        const std::chrono::steady_clock::duration left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100)));
    }
}

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
        if (!is_transient_error(*outcome.error)) return std::nullopt;
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

HttpResponse perform_with_retry(HttpClient& client, const HttpRequest& request, const RetryPolicy& policy,
                                const RetryHooks& hooks) {
    for (int attempt = 1;; ++attempt) {
        AttemptOutcome outcome;
        std::optional<HttpResponse> response;
        std::optional<HttpError> failure;
        try {
            response = client.perform(request);
            outcome.status = response->status;
            outcome.retry_after = response->header("Retry-After");
        } catch (const HttpError& error) {
            outcome.error = error.kind();
            failure = error;
        }
        const auto delay = retry_delay(policy, attempt, outcome, std::time(nullptr));
        if (!delay) {
            if (response) return std::move(*response);
            if (attempt == 1) throw *failure;
            throw HttpError(
                failure->kind(), failure->curl_code(),
                std::string(failure->what()) + " (after " + std::to_string(attempt) + " attempts)");
        }
        if (hooks.on_retry) {
            hooks.on_retry(attempt, *delay,
                           response ? "HTTP " + std::to_string(response->status) : failure->what());
        }
        if (hooks.sleep) {
            hooks.sleep(*delay);
        } else {
            sliced_sleep(*delay, request);
        }
    }
}

}  // namespace velora::core
