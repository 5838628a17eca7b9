#include "common/http/multi_transport.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "support/http_loopback_server.hpp"

namespace velora::core {
namespace {

using testing_support::LoopbackServer;

HttpRequest get(const LoopbackServer& server, const std::string& path) {
    HttpRequest request;
    request.url = server.url(path);
    request.timeout_seconds = 5.0;
    return request;
}

TEST(MultiTransport, RetriesTransientFailuresWhileTheOthersGoOnAndKeepsRequestOrder) {
    // One at a time: /a gets a 503 (retried at once, as Retry-After says), then a reset (retried
    // after its back-off pause, during which /b and /c are served).
    LoopbackServer server({LoopbackServer::respond(503, "busy", "Retry-After: 0\r\n"),
                           LoopbackServer::reset(), LoopbackServer::respond(200, "b"),
                           LoopbackServer::respond(404, "c"), LoopbackServer::respond(200, "a")});
    MultiTransport transport({1, RetryPolicy{3, 0.05}, {}});
    std::vector<std::size_t> told;
    const auto results =
        transport.perform_all({get(server, "/a"), get(server, "/b"), get(server, "/c")},
                              [&](std::size_t index, const TransportResult&) { told.push_back(index); });
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].response->body, "a");
    EXPECT_EQ(results[1].response->body, "b");
    EXPECT_EQ(results[2].response->status, 404);  // not transient: returned as it is
    EXPECT_EQ(transport.retries(), 2u);
    EXPECT_EQ(told, (std::vector<std::size_t>{1, 2, 0}));
}

TEST(MultiTransport, RepeatsATimedOutExchangeWhenThePolicySaysSo) {
    // The first exchange waits in a queue past its time-out; the repeat is answered.
    LoopbackServer server(
        {LoopbackServer::stall(std::chrono::milliseconds(250)), LoopbackServer::respond(200, "late")});
    RetryPolicy policy{3, 0.01};
    policy.retry_timeouts = true;
    MultiTransport transport({1, policy, {}});
    HttpRequest request = get(server, "/queued");
    request.timeout_seconds = 0.2;
    const auto results = transport.perform_all({request});
    ASSERT_TRUE(results[0].response);
    EXPECT_EQ(results[0].response->body, "late");
    EXPECT_EQ(results[0].response->attempts, 2);
    EXPECT_EQ(transport.retries(), 1u);
}

TEST(MultiTransport, ReportsTheLastFailureWithItsAttemptCount) {
    LoopbackServer server({LoopbackServer::reset()});
    MultiTransport transport({4, RetryPolicy{2, 0.01}, {}});
    const auto results = transport.perform_all({get(server, "/gone")});
    ASSERT_TRUE(results[0].error);
    try {
        std::rethrow_exception(results[0].error);
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Transfer);
        EXPECT_NE(std::string(error.what()).find("GET " + server.url("/gone") + " failed: "),
                  std::string::npos);
        EXPECT_NE(std::string(error.what()).find(" (after 2 attempts)"), std::string::npos);
    }
}

TEST(MultiTransport, AnUnsendableRequestIsItsOwnFailureAndTheOthersAreSent) {
    LoopbackServer server({LoopbackServer::respond(200, "b")});
    MultiTransport transport;
    HttpRequest smuggling = get(server, "/a");
    smuggling.headers.emplace_back("X-Note", "a\r\nX-Admin: yes");
    const auto results = transport.perform_all({smuggling, get(server, "/b")});
    ASSERT_TRUE(results[0].error);
    EXPECT_THROW(std::rethrow_exception(results[0].error), std::invalid_argument);
    EXPECT_EQ(results[1].response->body, "b");
    EXPECT_EQ(results[1].response->attempts, 1);
}

TEST(MultiTransport, AbandonsTheBatchSoonAfterShouldAbortSaysSo) {
    LoopbackServer server({LoopbackServer::stall(std::chrono::milliseconds(3000))});
    MultiTransport transport;
    HttpRequest request = get(server, "/slow");
    const auto started = std::chrono::steady_clock::now();
    request.should_abort = [&] {
        return std::chrono::steady_clock::now() - started > std::chrono::milliseconds(200);
    };
    try {
        transport.perform_all({request});
        FAIL() << "not abandoned";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Aborted);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace velora::core
