// The console operations over a scripted transport: request forms, roll-back order, payload
// values, and what passes through untranslated.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>

#include "common/http/url_encoding.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"

namespace velora::core::console {
namespace {

struct RecordingLog final : LogSink {
    std::vector<std::string> lines;
    void debug(const std::string& message) override { lines.push_back(message); }
    void warning(const std::string& message) override { lines.push_back("W:" + message); }
};

// Answers requests from a script, in order; a missing answer fails the test.
struct Script final : Transport {
    std::deque<std::function<HttpResponse(const HttpRequest&)>> answers;
    std::vector<HttpRequest> requests;

    void answer(long status, std::string body) {
        answers.emplace_back([=](const HttpRequest&) { return HttpResponse{status, body, {}}; });
    }
    void fail(HttpError::Kind kind) {
        answers.emplace_back(
            [=](const HttpRequest&) -> HttpResponse { throw HttpError(kind, 7, "GET x failed: boom"); });
    }
    HttpResponse perform(const HttpRequest& request) override {
        requests.push_back(request);
        if (answers.empty()) throw std::logic_error("unexpected request " + request.url);
        auto next = std::move(answers.front());
        answers.pop_front();
        return next(request);
    }
    Transport& transport() { return *this; }
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : requests) out.push_back(std::string(method_name(r.method)) + " " + r.url);
        return out;
    }
};

const HttpHeaders kHeader = header_dictionary("tok");

std::string rows_with_ids(std::initializer_list<const char*> ids) {
    Json rows = Json::array();
    for (const char* id : ids) {
        rows.push_back({{"fields", {{"field", Json::array({{{"name", "Resource ID"}, {"value", id}}})}}}});
    }
    return Json{{"rows", rows}}.dump();
}

TEST(ConsoleClient, HeaderDictionaryHasTheThreeEntriesInOrder) {
    EXPECT_EQ(kHeader, (HttpHeaders{{"Content-Type", "application/json"},
                                    {"Accept", "application/json"},
                                    {"Authorization", "Bearer tok"}}));
}

TEST(ConsoleClient, RequestSettingsPerOperation) {
    Script script;
    RecordingLog log;
    script.answer(200, R"({"token":"t"})");
    connect_orrin(script.transport(), log, "orrin.example:8443", Json("u"), Json(nullptr));
    script.answer(200, R"({"access_token":"t"})");
    connect_cloud(
        script.transport(), log, [] { return std::optional<std::string>("https://iam.example/token"); },
        std::string("k"));
    script.answer(200, R"({"rows":[{"fields":[{"value":"M"}]}]})");
    get_model_id(script.transport(), log, kHeader, "m", "https://c.example");
    script.answer(200, R"({"id":"1"})");
    post_content(script.transport(), "{}", "https://c.example", kHeader);

    const auto& r = script.requests;
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].url, "https://orrin.example:8443/quell-api/v1/authorize");
    EXPECT_EQ(r[0].body, R"({"username":"u","api_key":null})");
    EXPECT_FALSE(r[0].verify_tls);
    EXPECT_FALSE(r[0].default_accept_header);
    EXPECT_FALSE(r[0].timeout_seconds.has_value());
    EXPECT_TRUE(r[1].verify_tls);  // the only request that checks certificates
    EXPECT_FALSE(r[1].timeout_seconds.has_value());
    EXPECT_EQ(r[2].timeout_seconds, std::optional<double>(300.0));
    EXPECT_FALSE(r[2].verify_tls);
    EXPECT_EQ(r[2].headers, kHeader);
    EXPECT_FALSE(r[3].timeout_seconds.has_value());
    EXPECT_FALSE(r[3].verify_tls);
}

TEST(ConsoleClient, CloudTranslatesTransportFailuresButNotInterrupts) {
    RecordingLog log;
    const auto iam = [] { return std::optional<std::string>("https://iam.example/token"); };
    Script refused;
    refused.fail(HttpError::Kind::Connect);
    try {
        connect_cloud(refused.transport(), log, iam, std::string("k"));
        FAIL();
    } catch (const ConsoleError& error) {
        EXPECT_STREQ(error.what(), "Failed to authenticate with Velora Cloud IAM: GET x failed: boom");
    }
    Script interrupted;
    interrupted.fail(HttpError::Kind::Aborted);
    EXPECT_THROW(connect_cloud(interrupted.transport(), log, iam, std::string("k")), HttpError);
}

TEST(ConsoleClient, WritersTurnFailuresIntoNoIdButLetInterruptsThrough) {
    Script script;
    script.fail(HttpError::Kind::Transfer);
    script.answer(400, R"({"code":400})");
    script.answer(200, R"(["id"])");
    script.answer(201, R"({"id":7})");
    script.fail(HttpError::Kind::Aborted);
    Transport& t = script.transport();
    EXPECT_FALSE(post_content(t, "{}", "https://c", kHeader));
    EXPECT_FALSE(post_content(t, "{}", "https://c", kHeader));
    EXPECT_FALSE(post_content(t, "{}", "https://c", kHeader));
    EXPECT_EQ(post_content(t, "{}", "https://c", kHeader), Json(7));
    EXPECT_THROW(post_content(t, "{}", "https://c", kHeader), HttpError);
    EXPECT_EQ(script.requests[0].url, "https://c/api/contents");
}

TEST(ConsoleClient, PublishWritesTheRoundedValueAsANumber) {
    Script script;
    RecordingLog log;
    script.answer(201, R"({"id":"5001"})");
    script.answer(201, R"({"id":"5002"})");
    const auto ids = publish_metric(script.transport(), log, "r, c, score", MetricNumber{0.123456},
                                    Json("MOD-1"), "https://c", kHeader, {"r"});
    EXPECT_EQ(ids.metric_object_id, Json("5001"));
    const Json value = Json::parse(script.requests[1].body);
    EXPECT_EQ(value["primaryParentId"], Json("5001"));
    EXPECT_TRUE(value["fields"]["field"][2]["value"].is_number_float());
    EXPECT_EQ(value["fields"]["field"][2]["value"].get<double>(), 0.1235);
    EXPECT_EQ(log.lines.back(), "r, c, score: Metric Object ID: 5001, Metric Value Object ID: 5002\n");
}

TEST(ConsoleClient, FailedValueAddDeletesEveryListedObjectInRiskOrder) {
    Script script;
    RecordingLog log;
    script.answer(201, R"({"id":"5003"})");
    script.answer(200, "<html>no</html>");
    script.answer(200, rows_with_ids({"5003"}));          // listing for risk "b"
    script.answer(200, rows_with_ids({"5001", "5002"}));  // listing for risk "a"
    for (int i = 0; i < 3; ++i) script.answer(204, "");
    try {
        publish_metric(script.transport(), log, "b, c, score", MetricNumber{std::int64_t{3}}, Json("MOD 1"),
                       "https://c/", kHeader, {"b", "a"});
        FAIL();
    } catch (const ConsoleError& error) {
        EXPECT_STREQ(error.what(), "Unable to add metric value to metric object, please try again");
    }
    const auto calls = script.calls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(percent_decode(calls[2].substr(calls[2].find("q=") + 2)),
              "SELECT [Metric].[Resource ID] FROM [Model] JOIN [Metric] ON PARENT([Model]) WHERE "
              "[Model].[Resource ID]='MOD 1' AND [Metric].[Description] LIKE '%b%'");
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 4, calls.end()),
              (std::vector<std::string>{"DELETE https://c//api/contents/5003",
                                        "DELETE https://c//api/contents/5001",
                                        "DELETE https://c//api/contents/5002"}));
    EXPECT_EQ(log.lines.back(), "all metrics object got deleted");
}

TEST(ConsoleClient, UnpublishableValueIsFoundOutBeforeAnyWrite) {
    for (const PublishValue& value : {PublishValue{Unpublishable{"type str doesn't define __round__ method"}},
                                      PublishValue{MetricNumber{std::nan("")}}}) {
        Script script;
        RecordingLog log;
        script.answer(200, R"({"rows":[]})");
        EXPECT_ANY_THROW(publish_metric(script.transport(), log, "r, c, m", value, Json("MOD-1"), "https://c",
                                        kHeader, {"r"}));
        ASSERT_EQ(script.requests.size(), 1u);  // the roll-back's listing, nothing written
        EXPECT_EQ(script.requests[0].method, HttpMethod::Get);
    }
}

TEST(ConsoleClient, StoredValuesKeepDictionarySemantics) {
    Script script;
    RecordingLog log;
    const auto row = [](const char* description, double value) {
        return Json{{"fields",
                     {{"field", Json::array({{{"name", "Description"}, {"value", description}},
                                             {{"name", "TQS-MetricVal:Value"}, {"value", value}}})}}}};
    };
    script.answer(
        200, Json{{"rows", Json::array({row("MRA score for 'r, c, a'", 1), row("MRA score for 'r, c, b'", 2),
                                        row("MRA score for 'r, c, a'", 3)})}}
                 .dump());
    const auto stored = get_metric_values(script.transport(), log, {{"r", {"5001"}}}, kHeader, "https://c");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].second, (std::vector<std::pair<Json, Json>>{{Json("r, c, a'"), Json(3.0)},
                                                                    {Json("r, c, b'"), Json(2.0)}}));
    EXPECT_EQ(script.requests[0].method, HttpMethod::Post);
    EXPECT_EQ(script.requests[0].url, "https://c/grc/api/query");
}

}  // namespace
}  // namespace velora::core::console
