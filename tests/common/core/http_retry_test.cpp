#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "common/http/retry.hpp"
#include "support/http_loopback_server.hpp"

namespace velora::core {
namespace {

using testing_support::LoopbackServer;

TEST(TransientStatus, Is429AndServerErrorsButNot501) {
    for (long status : {429L, 500L, 502L, 503L, 504L, 599L})
        EXPECT_TRUE(is_transient_status(status)) << status;
    for (long status : {200L, 301L, 400L, 401L, 403L, 404L, 501L, 600L})
        EXPECT_FALSE(is_transient_status(status)) << status;
}

TEST(TransientError, IsConnectAndTransferOnly) {
    EXPECT_TRUE(is_transient_error(HttpError::Kind::Connect));
    EXPECT_TRUE(is_transient_error(HttpError::Kind::Transfer));
    for (auto kind : {HttpError::Kind::Timeout, HttpError::Kind::Resolve, HttpError::Kind::Tls,
                      HttpError::Kind::Aborted, HttpError::Kind::Other}) {
        EXPECT_FALSE(is_transient_error(kind));
    }
}

TEST(RetryAfter, ReadsSecondsAndDates) {
    const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    EXPECT_EQ(parse_retry_after("7", now), 7.0);
    EXPECT_EQ(parse_retry_after(" 0 ", now), 0.0);
    EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:49:47 GMT", now), 10.0);
    EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:49:30 GMT", now), 0.0);  // in the past
    EXPECT_EQ(parse_retry_after("soon", now), std::nullopt);
    EXPECT_EQ(parse_retry_after("-3", now), std::nullopt);
    EXPECT_EQ(parse_retry_after("Sun, 06 Xyz 1994 08:49:47 GMT", now), std::nullopt);
}

struct DelayCase {
    int attempt;
    AttemptOutcome outcome;
    std::optional<double> delay;
};

class RetryDelay : public testing::TestWithParam<DelayCase> {};

TEST_P(RetryDelay, FollowsThePolicy) {
    RetryPolicy policy;
    policy.max_attempts = 4;
    policy.initial_backoff_seconds = 0.5;
    policy.backoff_multiplier = 2.0;
    policy.max_backoff_seconds = 1.5;
    policy.max_retry_after_seconds = 10.0;
    EXPECT_EQ(retry_delay(policy, GetParam().attempt, GetParam().outcome, 0), GetParam().delay);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryDelay,
    testing::Values(DelayCase{1, {503L, {}, {}}, 0.5}, DelayCase{2, {503L, {}, {}}, 1.0},
                    DelayCase{3, {429L, {}, {}}, 1.5},           // capped backoff
                    DelayCase{4, {503L, {}, {}}, std::nullopt},  // attempts used up
                    DelayCase{1, {200L, {}, {}}, std::nullopt}, DelayCase{1, {404L, {}, {}}, std::nullopt},
                    DelayCase{1, {501L, {}, {}}, std::nullopt},
                    DelayCase{1, {429L, "3", {}}, 3.0},            // Retry-After replaces the backoff
                    DelayCase{1, {503L, "11", {}}, std::nullopt},  // asks for more than the cap
                    DelayCase{1, {503L, "later", {}}, 0.5},        // unreadable: backoff
                    DelayCase{1, {200L, "3", {}}, std::nullopt},   // only on a transient status
                    DelayCase{1, {{}, {}, HttpError::Kind::Connect}, 0.5},
                    DelayCase{2, {{}, {}, HttpError::Kind::Transfer}, 1.0},
                    DelayCase{1, {{}, {}, HttpError::Kind::Timeout}, std::nullopt},
                    DelayCase{1, {{}, {}, HttpError::Kind::Tls}, std::nullopt}));

struct Recorder {
    std::vector<double> pauses;
    std::vector<std::string> reasons;
    RetryHooks hooks() {
        return {[this](double s) { pauses.push_back(s); },
                [this](const HttpRequest&, int, double, const std::string& why) { reasons.push_back(why); }};
    }
};

HttpRequest get(const std::string& url) {
    HttpRequest request;
    request.url = url;
    request.timeout_seconds = 5;
    return request;
}

TEST(RetryingTransport, RetriesTransientStatusesUntilSuccess) {
    LoopbackServer server({LoopbackServer::respond(503, "busy"),
                           LoopbackServer::respond(429, "slow down", "Retry-After: 2\r\n"),
                           LoopbackServer::respond(200, "done")});
    Recorder recorder;
    RetryingTransport retrying(std::make_shared<CurlTransport>(), RetryPolicy{}, recorder.hooks());
    const auto response = retrying.perform(get(server.url("/x")));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.attempts, 3);
    EXPECT_EQ(response.body, "done");
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(recorder.pauses, (std::vector<double>{0.5, 2.0}));
    EXPECT_EQ(recorder.reasons, (std::vector<std::string>{"HTTP 503", "HTTP 429"}));
}

TEST(RetryingTransport, ReportsTheAttemptsOfAFinalTransportFailure) {
    LoopbackServer server({LoopbackServer::reset()});
    Recorder recorder;
    RetryingTransport retrying(std::make_shared<CurlTransport>(), RetryPolicy{}, recorder.hooks());
    try {
        retrying.perform(get(server.url("/v1/models")));
        FAIL() << "no error";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Transfer);
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("GET " + server.url("/v1/models") + " failed: ", 0), 0u) << message;
        EXPECT_NE(message.find("(after 3 attempts)"), std::string::npos) << message;
    }
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST(RetryingTransport, DoesNotRepeatATimeOut) {
    LoopbackServer server({LoopbackServer::stall(std::chrono::milliseconds(600))});
    Recorder recorder;
    RetryingTransport retrying(std::make_shared<CurlTransport>(), RetryPolicy{}, recorder.hooks());
    auto request = get(server.url());
    request.timeout_seconds = 0.2;
    EXPECT_THROW(retrying.perform(request), HttpError);
    EXPECT_TRUE(recorder.pauses.empty());
}

// Answers each URL with its scripted statuses in turn; records the size of every batch.
struct ScriptedStatuses final : Transport {
    std::map<std::string, std::deque<long>> statuses;
    std::vector<std::size_t> batches;
    HttpResponse perform(const HttpRequest& request) override {
        auto& next = statuses.at(request.url);
        HttpResponse response{next.front(), "", {}};
        next.pop_front();
        return response;
    }
    std::vector<TransportResult> perform_all(const std::vector<HttpRequest>& requests,
                                             const TransportProgress& on_done) override {
        batches.push_back(requests.size());
        return Transport::perform_all(requests, on_done);
    }
};

TEST(RetryingTransport, RepeatsOnlyTheTransientPartOfABatch) {
    auto scripted = std::make_shared<ScriptedStatuses>();
    scripted->statuses = {{"a", {503, 200}}, {"b", {200}}, {"c", {404}}};
    Recorder recorder;
    RetryingTransport retrying(scripted, RetryPolicy{}, recorder.hooks());
    std::vector<std::size_t> done;
    const auto results = retrying.perform_all(
        {get("a"), get("b"), get("c")}, [&](std::size_t i, const TransportResult&) { done.push_back(i); });
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].response->status, 200);
    EXPECT_EQ(results[0].response->attempts, 2);
    EXPECT_EQ(results[1].response->attempts, 1);
    EXPECT_EQ(status_text(*results[2].response), "HTTP 404");
    EXPECT_EQ(status_text(*results[0].response), "HTTP 200 after 2 attempts");
    EXPECT_EQ(scripted->batches, (std::vector<std::size_t>{3, 1}));
    EXPECT_EQ(done, (std::vector<std::size_t>{1, 2, 0}));
    EXPECT_EQ(recorder.pauses, std::vector<double>{0.5});
}

}  // namespace
}  // namespace velora::core
