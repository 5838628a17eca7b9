// The console operations over a scripted transport: request forms, roll-back order, payload
// values, and what passes through untranslated.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <thread>

#include "common/http/url_encoding.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"
#include "mra/core/console/requests.hpp"

namespace velora::core::console {
namespace {

struct RecordingLog final : LogSink {
    std::vector<std::string> lines;
    void debug(const std::string& message) override { lines.push_back(message); }
    void warning(const std::string& message) override { lines.push_back("W:" + message); }
};

// Answers requests from a script, in order; a request beyond the script fails the test.
struct ScriptedTransport final : Transport {
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
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : requests) out.push_back(std::string(method_name(r.method)) + " " + r.url);
        return out;
    }
};

const HttpHeaders kHeader = header_dictionary("tok");

// A session over a scripted transport whose pauses are recorded, not waited.
struct ScriptedSession {
    ScriptedTransport script;
    RecordingLog log;
    std::vector<double> pauses;
    ConsoleSession session;

    explicit ScriptedSession(std::string url = "https://c", ConsoleSettings settings = {})
        : session(script, log, std::move(url), std::move(settings), kHeader) {
        session.set_pause([this](double seconds) { pauses.push_back(seconds); });
    }
};

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

HttpRequest sign_in_on_premises(ScriptedSession& s) {
    s.script.answer(200, R"({"token":"t"})");
    connect_orrin(s.session, "orrin.example:8443", Json("u"), Json(nullptr));
    return s.script.requests.back();
}

HttpRequest sign_in_cloud(ScriptedSession& s) {
    s.script.answer(200, R"({"access_token":"t"})");
    connect_cloud(
        s.session, [] { return std::optional<std::string>("https://iam.example/token"); }, std::string("k"));
    return s.script.requests.back();
}

HttpRequest query(ScriptedSession& s) {
    s.script.answer(200, R"({"rows":[{"fields":[{"value":"M"}]}]})");
    get_model_id(s.session, "m");
    return s.script.requests.back();
}

HttpRequest write(ScriptedSession& s) {
    s.script.answer(200, R"({"id":"1"})");
    post_content(s.session, "{}");
    return s.script.requests.back();
}

HttpRequest remove(ScriptedSession& s) {
    s.script.answer(200, rows_with_ids({"9"}));
    s.script.answer(204, "");
    delete_metric_objects(s.session, "MOD-1", {"r"});
    return s.script.requests.back();
}

struct RequestCase {
    const char* name;
    HttpRequest (*make)(ScriptedSession&);
    std::optional<double> timeout;  // with the default settings
};

class ConsoleRequests : public testing::TestWithParam<RequestCase> {};

TEST_P(ConsoleRequests, CheckCertificatesWhenAskedAndCarryTheirTimeOut) {
    ScriptedSession unchecked;
    const HttpRequest plain = GetParam().make(unchecked);
    EXPECT_FALSE(plain.verify_tls);
    ASSERT_EQ(plain.timeout_seconds.has_value(), GetParam().timeout.has_value());
    if (GetParam().timeout) {  // a delete's is cut to what is left of the roll-back's bound
        EXPECT_NEAR(*plain.timeout_seconds, *GetParam().timeout, 1.0);
    }

    ConsoleSettings settings;
    settings.verify_tls = true;
    settings.ca_file = "/etc/console-ca.pem";
    settings.write_timeout_seconds = 7;
    ScriptedSession checked("https://c", settings);
    const HttpRequest request = GetParam().make(checked);
    EXPECT_TRUE(request.verify_tls);
    EXPECT_EQ(request.ca_file, "/etc/console-ca.pem");
    if (GetParam().timeout == kWriteTimeoutSeconds) {
        EXPECT_NEAR(*request.timeout_seconds, 7.0, 0.5);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConsoleCall, ConsoleRequests,
                         testing::Values(RequestCase{"sign_in", sign_in_on_premises, std::nullopt},
                                         RequestCase{"query", query, kQueryTimeoutSeconds},
                                         RequestCase{"write", write, kWriteTimeoutSeconds},
                                         RequestCase{"delete", remove, kWriteTimeoutSeconds}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleClient, RequestShapes) {
    ConsoleSettings settings;
    settings.verify_tls = true;
    settings.ca_file = "/etc/console-ca.pem";
    ScriptedSession s("https://c.example", settings);
    const HttpRequest orrin = sign_in_on_premises(s);
    EXPECT_EQ(orrin.url, "https://orrin.example:8443/quell-api/v1/authorize");
    EXPECT_EQ(orrin.body, R"({"username":"u","api_key":null})");
    EXPECT_FALSE(orrin.default_accept_header);
    // The cloud identity service is checked against the system's CAs, whatever the console's settings.
    const HttpRequest iam = sign_in_cloud(s);
    EXPECT_TRUE(iam.verify_tls);
    EXPECT_EQ(iam.ca_file, "");
    EXPECT_FALSE(iam.timeout_seconds.has_value());
    EXPECT_EQ(query(s).headers, kHeader);
}

TEST(ConsoleClient, CloudTranslatesTransportFailuresButNotInterrupts) {
    const auto iam = [] { return std::optional<std::string>("https://iam.example/token"); };
    ScriptedSession refused;
    refused.script.fail(HttpError::Kind::Connect);
    try {
        connect_cloud(refused.session, iam, std::string("k"));
        FAIL();
    } catch (const ConsoleError& error) {
        EXPECT_STREQ(error.what(), "Failed to authenticate with Velora Cloud IAM: GET x failed: boom");
    }
    ScriptedSession interrupted;
    interrupted.script.fail(HttpError::Kind::Aborted);
    EXPECT_THROW(connect_cloud(interrupted.session, iam, std::string("k")), HttpError);
}

TEST(ConsoleClient, WritersTurnFailuresIntoNoIdButLetInterruptsThrough) {
    ScriptedSession s;
    s.script.fail(HttpError::Kind::Transfer);
    s.script.answer(400, R"({"code":400})");
    s.script.answer(200, R"(["id"])");
    s.script.answer(201, R"({"id":7})");
    s.script.fail(HttpError::Kind::Aborted);
    EXPECT_EQ(post_content(s.session, "{}").failure, "GET x failed: boom");
    EXPECT_EQ(post_content(s.session, "{}").failure, "HTTP 400, the answer has no \"id\"");
    EXPECT_EQ(post_content(s.session, "{}").failure, "HTTP 200, the answer is no JSON object");
    EXPECT_EQ(post_content(s.session, "{}").id, Json(7));
    EXPECT_THROW(post_content(s.session, "{}"), HttpError);
    EXPECT_EQ(s.script.requests[0].url, "https://c/api/contents");
}

TEST(ConsoleClient, PublishWritesTheRoundedValueAsANumber) {
    ScriptedSession s;
    s.script.answer(201, R"({"id":"5001"})");
    s.script.answer(201, R"({"id":"5002"})");
    const auto ids = publish_metric(s.session, "r, c, score", MetricNumber{0.123456}, Json("MOD-1"), {"r"});
    EXPECT_EQ(ids.metric_object_id, Json("5001"));
    const Json value = Json::parse(s.script.requests[1].body);
    EXPECT_EQ(value["primaryParentId"], Json("5001"));
    EXPECT_TRUE(value["fields"]["field"][2]["value"].is_number_float());
    EXPECT_EQ(value["fields"]["field"][2]["value"].get<double>(), 0.1235);
    EXPECT_EQ(s.log.lines.back(), "r, c, score: Metric Object ID: 5001, Metric Value Object ID: 5002\n");
}

TEST(ConsoleClient, FailedValueAddDeletesEveryListedObjectInRiskOrder) {
    ScriptedSession s("https://c/");
    s.script.answer(201, R"({"id":"5003"})");
    s.script.answer(200, "<html>no</html>");
    s.script.answer(200, rows_with_ids({"5003"}));          // listing for risk "b"
    s.script.answer(200, rows_with_ids({"5001", "5002"}));  // listing for risk "a"
    for (int i = 0; i < 3; ++i) s.script.answer(204, "");
    try {
        publish_metric(s.session, "b, c, score", MetricNumber{std::int64_t{3}}, Json("MOD 1"), {"b", "a"});
        FAIL();
    } catch (const ConsoleError& error) {
        EXPECT_STREQ(error.what(), "Unable to add metric value to metric object, please try again");
    }
    const auto calls = s.script.calls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(percent_decode(calls[2].substr(calls[2].find("q=") + 2)),
              "SELECT [Metric].[Resource ID] FROM [Model] JOIN [Metric] ON PARENT([Model]) WHERE "
              "[Model].[Resource ID]='MOD 1' AND [Metric].[Description] LIKE '%b%'");
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 4, calls.end()),
              (std::vector<std::string>{"DELETE https://c//api/contents/5003",
                                        "DELETE https://c//api/contents/5001",
                                        "DELETE https://c//api/contents/5002"}));
    EXPECT_EQ(s.log.lines.back(), "all metrics object got deleted");
}

TEST(ConsoleClient, RollBackRetriesTransientFailuresAndNamesWhatIsLeft) {
    ScriptedSession s;
    s.script.answer(200, rows_with_ids({"1", "2", "3"}));
    s.script.answer(503, "");  // 1: transient, then deleted
    s.script.answer(204, "");
    for (int i = 0; i < 4; ++i) s.script.fail(HttpError::Kind::Connect);  // 2: never reached
    s.script.answer(404, "");                                             // 3: already gone
    try {
        delete_metric_objects(s.session, "MOD-1", {"r"},
                              {"Unable to create metrics object, please try again"});
        FAIL();
    } catch (const ConsoleRollbackError& error) {
        EXPECT_STREQ(
            error.what(),
            "Unable to create metrics object, please try again; roll-back incomplete: metric objects "
            "left on the console (remove them by hand): 2");
        EXPECT_EQ(error.left(), std::vector<std::string>{"2"});
        EXPECT_FALSE(error.interrupted());
    }
    EXPECT_EQ(s.pauses, (std::vector<double>{0.5, 0.5, 1.0, 2.0}));
    EXPECT_EQ(s.log.lines.back(),
              "W:" + std::string("Unable to create metrics object, please try again; roll-back "
                                 "incomplete: metric objects left on the console (remove them "
                                 "by hand): 2"));
}

TEST(ConsoleClient, RollBackIsBoundedInTime) {
    ConsoleSettings settings;
    settings.rollback_bound_seconds = 0.05;
    ScriptedSession s("https://c", settings);
    s.script.answer(200, rows_with_ids({"1", "2"}));
    s.script.answers.emplace_back([](const HttpRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        return HttpResponse{204, "", {}};
    });
    EXPECT_THROW(delete_metric_objects(s.session, "MOD-1", {"r"}), ConsoleRollbackError);
    ASSERT_EQ(s.script.requests.size(), 2u);  // the second delete is not even sent
    EXPECT_LE(*s.script.requests[1].timeout_seconds, 0.05);
    EXPECT_LE(s.script.requests[1].connect_timeout_seconds, 0.05);
}

TEST(ConsoleClient, InterruptedWriteRollsBackThenInterrupts) {
    ScriptedSession s;
    s.script.answer(201, R"({"id":"5001"})");
    s.script.fail(HttpError::Kind::Aborted);  // Ctrl-C while the value is written
    s.script.answer(200, rows_with_ids({"5001"}));
    s.script.answer(204, "");
    EXPECT_THROW(publish_metric(s.session, "r, c, m", MetricNumber{0.5}, Json("MOD-1"), {"r"}), HttpError);
    EXPECT_EQ(s.script.calls().back(), "DELETE https://c/api/contents/5001");

    // Ctrl-C again during the roll-back: it stops, and Ctrl-C names what it left.
    ScriptedSession again;
    again.script.fail(HttpError::Kind::Aborted);  // the object write
    again.script.answer(200, rows_with_ids({"7", "8"}));
    again.script.fail(HttpError::Kind::Aborted);
    try {
        publish_metric(again.session, "r, c, m", MetricNumber{0.5}, Json("MOD-1"), {"r"});
        FAIL();
    } catch (const ConsoleRollbackError& error) {
        EXPECT_TRUE(error.interrupted());
        EXPECT_EQ(error.left(), (std::vector<std::string>{"7", "8"}));
    }
    EXPECT_EQ(again.script.requests.size(), 3u);
}

TEST(ConsoleClient, UnpublishableValueIsFoundOutBeforeAnyWrite) {
    for (const PublishValue& value : {PublishValue{Unpublishable{"type str doesn't define __round__ method"}},
                                      PublishValue{MetricNumber{std::nan("")}}}) {
        ScriptedSession s;
        s.script.answer(200, R"({"rows":[]})");
        EXPECT_ANY_THROW(publish_metric(s.session, "r, c, m", value, Json("MOD-1"), {"r"}));
        ASSERT_EQ(s.script.requests.size(), 1u);  // the roll-back's listing, nothing written
        EXPECT_EQ(s.script.requests[0].method, HttpMethod::Get);
    }
}

TEST(ConsoleClient, StoredValuesKeepDictionarySemantics) {
    ScriptedSession s;
    const auto row = [](const char* description, double value) {
        return Json{{"fields",
                     {{"field", Json::array({{{"name", "Description"}, {"value", description}},
                                             {{"name", "TQS-MetricVal:Value"}, {"value", value}}})}}}};
    };
    s.script.answer(
        200, Json{{"rows", Json::array({row("MRA score for 'r, c, a'", 1), row("MRA score for 'r, c, b'", 2),
                                        row("MRA score for 'r, c, a'", 3)})}}
                 .dump());
    const auto stored = get_metric_values(s.session, {{"r", {"5001"}}});
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].second, (std::vector<std::pair<Json, Json>>{{Json("r, c, a'"), Json(3.0)},
                                                                    {Json("r, c, b'"), Json(2.0)}}));
    EXPECT_EQ(s.script.requests[0].method, HttpMethod::Post);
    EXPECT_EQ(s.script.requests[0].url, "https://c/grc/api/query");
}

TEST(ConsoleSettingsFromEnvironment, ReadTheVariablesOrNameTheOneThatCannotBeRead) {
    const auto with = [](std::initializer_list<std::pair<const char*, const char*>> variables) {
        for (const char* name : {kVerifyTlsVariable, kCaBundleVariable, kWriteTimeoutVariable})
            unsetenv(name);
        for (const auto& [name, value] : variables) setenv(name, value, 1);
        return settings_from_environment();
    };
    EXPECT_FALSE(with({}).verify_tls);
    EXPECT_EQ(with({}).write_timeout_seconds, 120.0);
    EXPECT_TRUE(with({{kVerifyTlsVariable, "Yes"}}).verify_tls);
    const auto bundle = with({{kCaBundleVariable, "/proc/self/status"}});
    EXPECT_TRUE(bundle.verify_tls);
    EXPECT_EQ(bundle.ca_file, "/proc/self/status");
    EXPECT_FALSE(with({{kCaBundleVariable, "/proc/self/status"}, {kVerifyTlsVariable, "off"}}).verify_tls);
    EXPECT_EQ(with({{kWriteTimeoutVariable, "2.5"}}).write_timeout_seconds, 2.5);
    EXPECT_THROW(with({{kWriteTimeoutVariable, "-1"}}), ConsoleValueError);
    EXPECT_THROW(with({{kVerifyTlsVariable, "sometimes"}}), ConsoleValueError);
    EXPECT_THROW(with({{kCaBundleVariable, "/no/such/file"}}), ConsoleValueError);
    with({});
}

}  // namespace
}  // namespace velora::core::console
