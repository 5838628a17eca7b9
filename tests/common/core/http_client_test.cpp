#include <gtest/gtest.h>

#include <atomic>

#include "common/http/client.hpp"
#include "support/http_loopback_server.hpp"

namespace velora::core {
namespace {

using testing_support::LoopbackServer;

std::string head_of(const std::string& raw) { return raw.substr(0, raw.find("\r\n\r\n") + 2); }
std::string body_of(const std::string& raw) { return raw.substr(raw.find("\r\n\r\n") + 4); }

TEST(HttpClient, SendsMethodPathHeadersAndBodyAsGiven) {
    LoopbackServer server({LoopbackServer::respond(201, "{\"id\": 7}", "X-Answer: yes\r\n")});
    HttpClient client;
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = server.url("/api/contents?q=%5BModel%5D");
    request.headers = {
        {"Content-Type", "application/json"}, {"Accept", "application/json"}, {"Authorization", "Bearer t"}};
    request.body = std::string(3000, 'x');  // above curl's threshold for Expect: 100-continue
    const auto response = client.perform(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "{\"id\": 7}");
    EXPECT_EQ(response.header("x-answer"), "yes");
    EXPECT_EQ(response.header("Missing"), std::nullopt);

    const auto raw = server.requests().at(0);
    const auto head = head_of(raw);
    EXPECT_EQ(head.rfind("POST /api/contents?q=%5BModel%5D HTTP/1.1\r\n", 0), 0u) << head;
    const auto content_type = head.find("Content-Type: application/json\r\n");
    const auto accept = head.find("Accept: application/json\r\n");
    const auto authorization = head.find("Authorization: Bearer t\r\n");
    ASSERT_NE(content_type, std::string::npos);
    ASSERT_NE(accept, std::string::npos);
    ASSERT_NE(authorization, std::string::npos);
    EXPECT_LT(content_type, accept);
    EXPECT_LT(accept, authorization);
    EXPECT_EQ(head.find("Expect:"), std::string::npos);
    EXPECT_EQ(body_of(raw), request.body);
}

TEST(HttpClient, KeepsLowerCaseHeaderNamesAndCanLeaveOutItsOwnAccept) {
    LoopbackServer server({LoopbackServer::respond(200, "{}")});
    HttpClient client;
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = server.url("/quell-api/v1/authorize");
    request.headers = {{"content-type", "application/json"}, {"cache-control", "no-cache"}};
    request.body = R"({"username": "u", "api_key": "k"})";
    request.default_accept_header = false;
    client.perform(request);
    const auto head = head_of(server.requests().at(0));
    EXPECT_NE(head.find("\r\ncontent-type: application/json\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\ncache-control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Accept"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Type"), std::string::npos) << head;
}

TEST(HttpClient, SendsDeleteAndGetWithoutBody) {
    LoopbackServer server({LoopbackServer::respond(204, "")});
    HttpClient client;
    HttpRequest request;
    request.method = HttpMethod::Delete;
    request.url = server.url("/api/contents/12");
    EXPECT_EQ(client.perform(request).status, 204);
    request.method = HttpMethod::Get;
    request.headers = {{"X-Empty", ""}};
    client.perform(request);
    const auto requests = server.requests();
    EXPECT_EQ(requests.at(0).rfind("DELETE /api/contents/12 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(requests.at(1).rfind("GET /api/contents/12 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(requests.at(1).find("\r\nX-Empty:"), std::string::npos);
    EXPECT_EQ(body_of(requests.at(1)), "");
}

TEST(HttpClient, TimeOutNamesTheEndpointButNoCredentials) {
    LoopbackServer server({LoopbackServer::stall(std::chrono::milliseconds(800))});
    HttpClient client;
    HttpRequest request;
    request.url = server.url("/api/query?q=SELECT&apikey=hidden-in-query");
    request.headers = {{"Authorization", "Bearer hidden-token"}};
    request.timeout_seconds = 0.2;
    try {
        client.perform(request);
        FAIL() << "no time-out";
    } catch (const HttpError& error) {
        const std::string message = error.what();
        EXPECT_EQ(error.kind(), HttpError::Kind::Timeout);
        EXPECT_EQ(message.rfind("GET " + server.url("/api/query") + " failed: ", 0), 0u) << message;
        EXPECT_EQ(message.find("hidden"), std::string::npos) << message;
    }
}

TEST(HttpClient, RefusedConnectionIsAConnectError) {
    int port = 0;
    { port = LoopbackServer({LoopbackServer::respond(200, "")}).port(); }  // closed again at once
    HttpClient client;
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    try {
        client.perform(request);
        FAIL() << "connected";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Connect) << error.what();
    }
}

TEST(HttpClient, AbortCheckEndsAWaitWithNoTimeOut) {
    LoopbackServer server({LoopbackServer::stall(std::chrono::milliseconds(1500))});
    HttpClient client;
    HttpRequest request;
    request.url = server.url();
    int polls = 0;
    request.should_abort = [&] { return ++polls >= 2; };
    try {
        client.perform(request);
        FAIL() << "not aborted";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Aborted);
        EXPECT_NE(std::string(error.what()).find("interrupted"), std::string::npos);
    }
}

TEST(HttpClient, ReusesOneClientAcrossRequests) {
    LoopbackServer server({LoopbackServer::respond(200, "one"), LoopbackServer::respond(500, "two")});
    HttpClient client;
    HttpRequest request;
    request.url = server.url();
    EXPECT_EQ(client.perform(request).body, "one");
    const auto second = client.perform(request);
    EXPECT_EQ(second.status, 500);
    EXPECT_EQ(second.body, "two");
}

// Streams `total` bytes of body without a declared length; `sent` says how many got out before the
// client hung up.
LoopbackServer::Step stream_body(std::size_t total, std::atomic<std::size_t>& sent) {
    return [total, &sent](int fd, const std::string&) {
        const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string chunk(64 * 1024, 'x');
        while (sent < total) {
            const auto n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    };
}

TEST(HttpClient, AnAnswerLongerThanTheCapFailsAndIsNotReadToItsEnd) {
    std::atomic<std::size_t> sent{0};
    const std::size_t total = std::size_t{512} << 20;
    LoopbackServer server({LoopbackServer::respond(200, std::string(2000, 'x')), stream_body(total, sent),
                           LoopbackServer::respond(200, std::string(1000, 'x'))});
    HttpClient client;
    HttpRequest request;
    request.url = server.url("/v1/completions");
    request.max_response_bytes = 1000;
    for (int declared_length = 1; declared_length >= 0; --declared_length) {
        try {
            client.perform(request);
            FAIL() << "read whole";
        } catch (const HttpError& error) {
            EXPECT_EQ(error.kind(), HttpError::Kind::TooLarge);
            EXPECT_EQ(std::string(error.what()),
                      "GET " + request.url + " failed: the answer is longer than 1000 bytes");
        }
    }
    EXPECT_LT(sent.load(), total);
    EXPECT_EQ(client.perform(request).body.size(), 1000u);  // up to the cap is fine
}

TEST(HttpClient, ATimeOutTooLongForMillisecondsStillWaits) {
    const auto late = [](int fd, const std::string& request) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        LoopbackServer::respond(200, "late")(fd, request);
    };
    LoopbackServer server({late});
    HttpClient client;
    HttpRequest request;
    request.url = server.url();
    set_exchange_timeout(request, 1e16);
    EXPECT_EQ(client.perform(request).body, "late");
}

struct UnsendableCase {
    std::string url_tail;
    HttpHeaders headers;
    std::string says;
};

class UnsendableRequest : public testing::TestWithParam<UnsendableCase> {};

TEST_P(UnsendableRequest, IsRefusedBeforeAnythingIsSentWithoutEchoingTheValue) {
    LoopbackServer server({LoopbackServer::respond(200, "")});
    HttpRequest request;
    request.url = server.url("/x") + GetParam().url_tail;
    request.headers = GetParam().headers;
    HttpClient client;
    try {
        client.perform(request);
        FAIL() << "sent";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().says);
    }
    EXPECT_TRUE(server.requests().empty());
    request.url = server.url("/x");
    request.headers.clear();
    EXPECT_EQ(client.perform(request).status, 200);  // the client is still usable
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsendableRequest,
    testing::Values(
        UnsendableCase{"",
                       {{"Authorization", "Bearer sk-1\r\nX-Injected: 1"}},
                       "the value of header Authorization holds a line break or a NUL character"},
        UnsendableCase{
            "", {{"api-key", "sk-2\n"}}, "the value of header api-key holds a line break or a NUL character"},
        UnsendableCase{"", {{"X-Evil\r\nHost", "h"}}, "a header name holds a line break or a NUL character"},
        UnsendableCase{
            std::string("?token=sk-3\0tail", 16), {}, "the URL holds a line break or a NUL character"},
        UnsendableCase{"?a=1\r\nHost: evil", {}, "the URL holds a line break or a NUL character"}));

}  // namespace
}  // namespace velora::core
