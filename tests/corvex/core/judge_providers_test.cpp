// Judge providers: settings read from an environment given as a map, each provider's wire format,
// and the prediction polling of the replicate provider against a loopback server.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <typeinfo>

#include "corvex/core/error.hpp"
#include "corvex/core/judge/chat_completions.hpp"
#include "corvex/core/judge/providers/aws.hpp"
#include "corvex/core/judge/providers/azure.hpp"
#include "corvex/core/judge/providers/nimbra_sdk.hpp"
#include "corvex/core/judge/providers/replicate.hpp"
#include "corvex/core/judge/providers/together_ai.hpp"
#include "corvex/core/judge/settings.hpp"
#include "support/http_loopback_server.hpp"

namespace velora::core::corvex {
namespace {

using velora::testing_support::LoopbackServer;
using Env = std::map<std::string, std::string>;

EnvLookup lookup(const Env& env) {
    return [env](const std::string& name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    };
}

std::string unavailable(const Env& env) {
    try {
        judge_settings("cards.x", lookup(env));
    } catch (const JudgeUnavailableError& error) {
        return error.what();
    }
    return "no error";
}

TEST(JudgeSettings, ProviderMustBeSetAndKnown) {
    EXPECT_EQ(
        unavailable({}),
        "card cards.x is scored by an LLM judge, and CORVEX_DEFAULT_PROVIDER is not set; set it to one of "
        "['aws', 'together-ai', 'replicate', 'azure', 'nimbra-sdk']");
    EXPECT_EQ(unavailable({{"CORVEX_DEFAULT_PROVIDER", "local-llm"}}),
              "card cards.x is scored by an LLM judge, and CORVEX_DEFAULT_PROVIDER names 'local-llm', which "
              "is not a judge "
              "provider; use one of ['aws', 'together-ai', 'replicate', 'azure', 'nimbra-sdk']");
}

struct JudgeMissingCase {
    std::string provider;
    Env given;
    std::string missing;
};

class JudgeMissingVariables : public ::testing::TestWithParam<JudgeMissingCase> {};

TEST_P(JudgeMissingVariables, AreNamedInTableOrder) {
    Env env = GetParam().given;
    env["CORVEX_DEFAULT_PROVIDER"] = GetParam().provider;
    EXPECT_EQ(unavailable(env), "card cards.x is scored by an LLM judge, and judge provider " +
                                    GetParam().provider + " needs the environment variables " +
                                    GetParam().missing + ", which are not set");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JudgeMissingVariables,
    ::testing::Values(
        JudgeMissingCase{
            "aws", {{"AWS_REGION_NAME", "eu-west-1"}}, "['AWS_SECRET_ACCESS_KEY', 'AWS_ACCESS_KEY_ID']"},
        JudgeMissingCase{"together-ai", {}, "['TOGETHERAI_API_KEY']"},
        JudgeMissingCase{"replicate", {{"TOGETHERAI_API_KEY", "k"}}, "['REPLICATE_API_TOKEN']"},
        JudgeMissingCase{"azure", {{"AZURE_AI_API_KEY", "k"}}, "['AZURE_AI_API_BASE']"},
        JudgeMissingCase{"nimbra-sdk", {{"QNR_URL", "http://h"}}, "['QNR_APIKEY', 'QNR_PROJECT_ID']"}));

TEST(JudgeSettings, DefaultsPerProvider) {
    const auto together = judge_settings(
        "c", lookup({{"CORVEX_DEFAULT_PROVIDER", "together-ai"}, {"TOGETHERAI_API_KEY", "tk"}}));
    EXPECT_EQ(together.as<TogetherAiSettings>().base_url, "https://api.together.xyz/v1");
    EXPECT_EQ(together.basics.model, "meta-llama/Llama-3.3-70B-Instruct-Turbo");
    EXPECT_EQ(together.basics.timeout_seconds, 120.0);
    EXPECT_EQ(together.basics.max_retries, 2);
    EXPECT_EQ(together.basics.ca_file, "");
    EXPECT_EQ(together.own->secrets(), std::vector<std::string>{"tk"});
    EXPECT_THROW(together.as<AwsSettings>(), std::bad_cast);

    const auto aws = judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "aws"},
                                                 {"AWS_REGION_NAME", "eu-west-3"},
                                                 {"AWS_SECRET_ACCESS_KEY", "sk"},
                                                 {"AWS_ACCESS_KEY_ID", "AKID"}}));
    EXPECT_EQ(aws.as<AwsSettings>().base_url, "https://bedrock-runtime.eu-west-3.amazonaws.com");
    EXPECT_EQ(aws.basics.model, "meta.llama3-70b-instruct-v1:0");
    EXPECT_FALSE(aws.as<AwsSettings>().credentials.session_token);
    EXPECT_EQ(
        converse_url(aws.as<AwsSettings>(), aws.basics.model),
        "https://bedrock-runtime.eu-west-3.amazonaws.com/model/meta.llama3-70b-instruct-v1%3A0/converse");

    const auto azure =
        judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "azure"},
                                    {"AZURE_AI_API_BASE", "https://r.services.ai.azure.com/models/"},
                                    {"AZURE_AI_API_KEY", "ak"}}));
    EXPECT_EQ(azure_chat_url(azure.as<AzureSettings>()),
              "https://r.services.ai.azure.com/models/chat/completions?api-version=2024-05-01-preview");
    EXPECT_EQ(azure.basics.model, "gpt-4o-mini");

    const auto replicate = judge_settings(
        "c", lookup({{"CORVEX_DEFAULT_PROVIDER", "replicate"}, {"REPLICATE_API_TOKEN", "r8"}}));
    EXPECT_EQ(replicate_create_url(replicate.as<ReplicateSettings>(), replicate.basics.model),
              "https://api.replicate.com/v1/models/meta/meta-llama-3-70b-instruct/predictions");

    const auto nimbra = judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "nimbra-sdk"},
                                                    {"QNR_APIKEY", ""},
                                                    {"QNR_URL", "http://127.0.0.1:9/"},
                                                    {"QNR_PROJECT_ID", "p"}}));
    EXPECT_EQ(nimbra.as<NimbraSdkSettings>().base_url, "http://127.0.0.1:9");
    EXPECT_EQ(nimbra.basics.model, "velora/reference-model");
    EXPECT_EQ(nimbra.as<NimbraSdkSettings>().project_id, "p");
    EXPECT_TRUE(
        nimbra.own->secrets().empty());  // an empty key is set (as the evaluator counts it) but no secret
}

TEST(JudgeSettings, OurVariablesOverrideAndEmptyMeansUnset) {
    const auto s = judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "aws"},
                                               {"AWS_REGION_NAME", "us-east-1"},
                                               {"AWS_SECRET_ACCESS_KEY", "sk"},
                                               {"AWS_ACCESS_KEY_ID", "AKID"},
                                               {"AWS_SESSION_TOKEN", "tok"},
                                               {"CORVEX_JUDGE_MODEL", "my.model"},
                                               {"CORVEX_AWS_BEDROCK_ENDPOINT", "http://127.0.0.1:8/"},
                                               {"CORVEX_JUDGE_TIMEOUT", "2.5"},
                                               {"CORVEX_JUDGE_MAX_RETRIES", "0"}}));
    EXPECT_EQ(s.basics.model, "my.model");
    EXPECT_EQ(s.as<AwsSettings>().base_url, "http://127.0.0.1:8");
    EXPECT_EQ(s.basics.timeout_seconds, 2.5);
    EXPECT_EQ(s.basics.max_retries, 0);
    EXPECT_EQ(s.as<AwsSettings>().credentials.session_token, "tok");
    EXPECT_EQ(s.own->secrets(), (std::vector<std::string>{"sk", "tok"}));

    const auto t = judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "together-ai"},
                                               {"TOGETHERAI_API_KEY", "k"},
                                               {"CORVEX_JUDGE_MODEL", ""},
                                               {"CORVEX_TOGETHERAI_BASE_URL", ""}}));
    EXPECT_EQ(t.basics.model, "meta-llama/Llama-3.3-70B-Instruct-Turbo");
    EXPECT_EQ(t.as<TogetherAiSettings>().base_url, "https://api.together.xyz/v1");

    const auto azure = judge_settings("c", lookup({{"CORVEX_DEFAULT_PROVIDER", "azure"},
                                                   {"AZURE_AI_API_BASE", "https://a"},
                                                   {"AZURE_AI_API_KEY", "k"},
                                                   {"CORVEX_AZURE_API_VERSION", ""}}));
    EXPECT_EQ(azure_chat_url(azure.as<AzureSettings>()), "https://a/chat/completions");
}

struct JudgeBadValue {
    Env extra;
    std::string says;
};

class JudgeBadValues : public ::testing::TestWithParam<JudgeBadValue> {};

TEST_P(JudgeBadValues, AreRefusedNamingTheVariable) {
    Env env{{"CORVEX_DEFAULT_PROVIDER", "together-ai"}, {"TOGETHERAI_API_KEY", "k"}};
    for (const auto& [k, v] : GetParam().extra) env[k] = v;
    const auto message = unavailable(env);
    EXPECT_NE(message.find("judge provider together-ai cannot be used: " + GetParam().says),
              std::string::npos)
        << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JudgeBadValues,
    ::testing::Values(
        JudgeBadValue{{{"CORVEX_JUDGE_TIMEOUT", "0"}},
                      "CORVEX_JUDGE_TIMEOUT must be a positive number of seconds, not '0'"},
        JudgeBadValue{{{"CORVEX_JUDGE_TIMEOUT", "soon"}}, "CORVEX_JUDGE_TIMEOUT must be a positive"},
        JudgeBadValue{{{"CORVEX_JUDGE_TIMEOUT", "inf"}}, "CORVEX_JUDGE_TIMEOUT must be a positive"},
        JudgeBadValue{{{"CORVEX_JUDGE_TIMEOUT", "1e16"}},
                      "CORVEX_JUDGE_TIMEOUT must be at most 1000000 seconds, not '1e16'"},
        JudgeBadValue{{{"CORVEX_JUDGE_MAX_RETRIES", "-1"}},
                      "CORVEX_JUDGE_MAX_RETRIES must be a whole number from 0 to 10"},
        JudgeBadValue{{{"CORVEX_JUDGE_MAX_RETRIES", "11"}},
                      "CORVEX_JUDGE_MAX_RETRIES must be a whole number"},
        JudgeBadValue{{{"CORVEX_JUDGE_CONCURRENCY", "0"}},
                      "CORVEX_JUDGE_CONCURRENCY must be a whole number from 1 to 64, not '0'"},
        JudgeBadValue{
            {{"CORVEX_TOGETHERAI_BASE_URL", "api.together.xyz"}},
            "CORVEX_TOGETHERAI_BASE_URL must be an http:// or https:// URL, not 'api.together.xyz'"}));

TEST(WireFormats, ChatCompletionAnswers) {
    EXPECT_EQ(parse_chat_text(R"({"choices":[{"message":{"role":"assistant","content":"SAFE"}}]})"), "SAFE");
    EXPECT_EQ(
        parse_chat_text(
            R"({"choices":[{"message":{"content":[{"type":"text","text":"UN"},{"type":"text","text":"SAFE"}]}}]})"),
        "UNSAFE");
    for (const char* bad : {"", "[]", R"({"choices":[]})", R"({"choices":[{"text":"SAFE"}]})",
                            R"({"choices":[{"message":{"content":null}}]})"}) {
        EXPECT_THROW(parse_chat_text(bad), std::invalid_argument) << bad;
    }
}

TEST(WireFormats, ReplicatePredictions) {
    ReplicateSettings s;
    s.base_url = "https://r.example/v1";
    const std::string model = "owner/name:5c7d5dc6dd8bf75c1acaa8565735e7986bc5b66206b55cca93cb72c9bf15ccaa";
    EXPECT_EQ(replicate_create_url(s, model), "https://r.example/v1/predictions");
    EXPECT_EQ(
        replicate_create_body(model, "p", 64),
        R"({"version":"5c7d5dc6dd8bf75c1acaa8565735e7986bc5b66206b55cca93cb72c9bf15ccaa","input":{"prompt":"p","max_tokens":64}})");

    const auto done = parse_replicate_prediction(
        R"({"id":"abc","status":"succeeded","urls":{"get":"https://r.example/v1/predictions/abc"},"output":["SA","FE"]})");
    EXPECT_EQ(done.id, "abc");
    EXPECT_EQ(done.get_url, "https://r.example/v1/predictions/abc");
    EXPECT_EQ(done.output, "SAFE");
    const auto failed =
        parse_replicate_prediction(R"({"id":"abc","status":"failed","error":"out of memory","output":null})");
    EXPECT_FALSE(failed.output);
    EXPECT_EQ(failed.error, "out of memory");
    EXPECT_TRUE(replicate_finished("canceled"));
    EXPECT_FALSE(replicate_finished("processing"));
    EXPECT_THROW(parse_replicate_prediction(R"({"status":"succeeded","output":[1,2]})"),
                 std::invalid_argument);
    EXPECT_THROW(parse_replicate_prediction("not json"), std::invalid_argument);
}

TEST(WireFormats, ConverseAnswers) {
    EXPECT_EQ(
        parse_converse_text(
            R"({"output":{"message":{"role":"assistant","content":[{"text":"Verdict: "},{"text":"SAFE"}]}},"stopReason":"end_turn"})"),
        "Verdict: SAFE");
    EXPECT_THROW(parse_converse_text(R"({"output":{"message":{"content":[]}}})"), std::invalid_argument);
    EXPECT_THROW(
        parse_converse_text(R"({"message":"The security token included in the request is invalid."})"),
        std::invalid_argument);
}

// ---- replicate against a loopback server -----------------------------------------------------

JudgeSettings replicate_at(const LoopbackServer& server, double timeout = 30.0) {
    JudgeSettings s;
    s.basics.provider = "replicate";
    s.basics.model = "meta/llama";
    s.basics.timeout_seconds = timeout;
    s.basics.max_retries = 0;
    auto own = std::make_shared<ReplicateSettings>();
    own->base_url = server.url("/v1");
    own->api_token = "r8_secret_token";
    s.own = own;
    return s;
}

// A prediction answer whose poll address is `get` (with "{host}" replaced by the Host the request came to).
LoopbackServer::Step prediction(int status, const std::string& state, const std::string& get,
                                const std::string& extra = "") {
    return [=](int fd, const std::string& request) {
        const auto at = request.find("\r\nHost: ");
        const std::string host = request.substr(at + 8, request.find("\r\n", at + 2) - at - 8);
        std::string url = get;
        if (const auto slot = url.find("{host}"); slot != std::string::npos) url.replace(slot, 6, host);
        const std::string body =
            R"({"id":"abc","status":")" + state + R"(","urls":{"get":")" + url + "\"}" + extra + "}";
        LoopbackServer::respond(status, body, "Content-Type: application/json\r\n")(fd, request);
    };
}

std::string request_line(const std::string& raw) { return raw.substr(0, raw.find("\r\n")); }

JudgeOptions recording_pauses(std::vector<double>& pauses) {
    JudgeOptions o;
    o.transport = std::make_shared<CurlTransport>();
    o.poll_sleep = [&pauses](double seconds) { pauses.push_back(seconds); };
    return o;
}

TEST(ReplicateJudge, CreatesThenPollsUntilTheOutputIsThere) {
    const std::string own = "http://{host}/v1/predictions/abc";
    LoopbackServer server({prediction(201, "starting", own), prediction(200, "processing", own),
                           prediction(200, "processing", own),
                           prediction(200, "succeeded", own, R"(,"output":["SA","FE"])")});
    std::vector<double> pauses;
    const auto judge = make_judge(replicate_at(server), recording_pauses(pauses));
    EXPECT_EQ(judge->ask("the prompt"), "SAFE");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);  // the exact requests are checked in tests/python
    EXPECT_EQ(request_line(requests[3]), "GET /v1/predictions/abc HTTP/1.1");
    EXPECT_EQ(pauses, (std::vector<double>{0.25, 0.5, 1.0}));  // growing, bounded pauses
}

TEST(ReplicateJudge, NeverSendsTheTokenToAPollAddressElsewhere) {
    LoopbackServer server(
        {prediction(201, "starting", "http://collector.example/v1/predictions/abc"),
         prediction(200, "succeeded", "http://collector.example/x", R"(,"output":"UNSAFE")")});
    std::vector<double> pauses;
    EXPECT_EQ(make_judge(replicate_at(server), recording_pauses(pauses))->ask("p"), "UNSAFE");
    EXPECT_EQ(request_line(server.requests().at(1)), "GET /v1/predictions/abc HTTP/1.1");
}

TEST(ReplicateJudge, AFailedPredictionIsAServiceFailureWithItsError) {
    LoopbackServer server({prediction(201, "failed", "", R"(,"error":"CUDA out of memory")")});
    std::vector<double> pauses;
    try {
        make_judge(replicate_at(server), recording_pauses(pauses))->ask("p");
        FAIL();
    } catch (const JudgeCallError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "the replicate judge meta/llama: GET " + server.url("/v1/predictions/abc") + " failed");
        EXPECT_EQ(error.cause().kind, JudgeCause::Kind::Service);
        EXPECT_EQ(error.cause().message, "prediction abc ended failed: CUDA out of memory");
    }
}

TEST(ReplicateJudge, APredictionThatOutlastsTheTimeoutIsATimeout) {
    LoopbackServer server({prediction(201, "starting", "")});
    std::vector<double> pauses;
    try {
        make_judge(replicate_at(server, 0.1), recording_pauses(pauses))->ask("p");
        FAIL();
    } catch (const JudgeCallError& error) {
        EXPECT_EQ(error.cause().kind, JudgeCause::Kind::Timeout);
        EXPECT_EQ(error.cause().message,
                  "prediction abc did not finish within 0.1 s (last status: starting)");
    }
    EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace velora::core::corvex
