#include "common/completions_protocol.hpp"

#include <gtest/gtest.h>

namespace velora::core::completions {
namespace {

TEST(MapCredentials, CloudShapeSendsTheKeyAsBearerToken) {
    const auto c = map_credentials({"https://svc.example/", "key-123", std::nullopt, std::nullopt}, "proj-1",
                                   std::nullopt);
    EXPECT_EQ(c.deployment, Deployment::Cloud);
    EXPECT_EQ(c.base_url, "https://svc.example");
    EXPECT_EQ(c.headers, (HttpHeaders{{"Accept", "application/json"},
                                      {"Authorization", "Bearer key-123"},
                                      {"Nimbra-Project-Id", "proj-1"}}));
    EXPECT_EQ(c.secrets, std::vector<std::string>{"key-123"});
}

TEST(MapCredentials, OnPremisesShapeAddsUserAndInstanceHeaders) {
    const auto c =
        map_credentials({"https://ORRIN.example:9443/v1/", "key-9", "alice", "skiff"}, "p", std::nullopt);
    EXPECT_EQ(c.deployment, Deployment::OnPremises);
    EXPECT_EQ(c.base_url, "https://ORRIN.example:9443");
    EXPECT_EQ(c.headers, (HttpHeaders{{"Accept", "application/json"},
                                      {"Authorization", "Bearer key-9"},
                                      {"Nimbra-Project-Id", "p"},
                                      {"Nimbra-Username", "alice"},
                                      {"Nimbra-Instance-Id", "skiff"}}));
    EXPECT_EQ(c.secrets, (std::vector<std::string>{"key-9", "alice"}));
}

TEST(MapCredentials, NoKeyNoProjectSendsNeitherHeader) {
    const auto c = map_credentials({"http://127.0.0.1:8000", std::string(), std::nullopt, std::nullopt},
                                   std::nullopt, std::nullopt);
    EXPECT_EQ(c.headers, (HttpHeaders{{"Accept", "application/json"}}));
    EXPECT_TRUE(c.secrets.empty());
}

TEST(MapCredentials, EmptyUrlFallsBackToTheEnvironmentValue) {
    const auto c =
        map_credentials({std::string(), "k", std::nullopt, std::nullopt}, std::nullopt, "http://local:1/");
    EXPECT_EQ(c.base_url, "http://local:1");
    EXPECT_EQ(models_url(c), "http://local:1/v1/models");
    EXPECT_EQ(completions_url(c), "http://local:1/v1/completions");
    EXPECT_THROW(map_credentials({std::string(), "k", {}, {}}, {}, std::nullopt), CredentialsError);
    EXPECT_THROW(map_credentials({std::nullopt, "k", {}, {}}, {}, std::string()), CredentialsError);
    EXPECT_THROW(map_credentials({"svc.example", "k", {}, {}}, {}, std::nullopt), CredentialsError);
}

TEST(CompletionBody, KeepsMemberOrderAndLeavesOutUnsetOptions) {
    EXPECT_EQ(completion_body("m/1", "Say \"hi\"\n", 256, std::nullopt),
              R"({"model":"m/1","prompt":"Say \"hi\"\n","max_tokens":256})");
    EXPECT_EQ(completion_body("m", "p", std::nullopt, 0.0),
              R"({"model":"m","prompt":"p","temperature":0.0})");
}

TEST(ParseCompletionText, ReadsTheFirstChoice) {
    EXPECT_EQ(parse_completion_text(R"({"choices": [{"text": "A"}, {"text": "B"}]})"), "A");
    EXPECT_EQ(parse_completion_text(R"({"choices": [{"text": ""}]})"), "");
}

class ParseCompletionGarbage : public testing::TestWithParam<std::string> {};

TEST_P(ParseCompletionGarbage, SaysWhatIsWrong) {
    EXPECT_THROW(parse_completion_text(GetParam()), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseCompletionGarbage,
                         testing::Values("", "<html>oops</html>", "[]", "{}", R"({"choices": []})",
                                         R"({"choices": {"text": "x"}})", R"({"choices": ["x"]})",
                                         R"({"choices": [{"message": {"content": "x"}}]})",
                                         R"({"choices": [{"text": 5}]})", R"({"choices": [{"text": "x"}])"));

TEST(ParseModelIds, ListsIdsAndRejectsOtherShapes) {
    EXPECT_EQ(parse_model_ids(R"({"object": "list", "data": [{"id": "a"}, {"x": 1}, {"id": "b"}]})"),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(parse_model_ids(R"({"data": []})").empty());
    EXPECT_THROW(parse_model_ids("not json"), std::invalid_argument);
    EXPECT_THROW(parse_model_ids(R"({"models": []})"), std::invalid_argument);
}

struct ErrorCase {
    long status;
    std::string body;
    Refusal refusal;
    std::string message;
};

class ClassifyErrorAnswer : public testing::TestWithParam<ErrorCase> {};

TEST_P(ClassifyErrorAnswer, ReadsWhatTheServiceRefused) {
    const auto answer = classify_error_answer(GetParam().status, GetParam().body);
    EXPECT_EQ(answer.refusal, GetParam().refusal);
    EXPECT_EQ(answer.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyErrorAnswer,
    testing::Values(
        ErrorCase{403, R"({"error": {"message": "no", "param": "project_id", "code": "project_not_found"}})",
                  Refusal::Project, "no"},
        ErrorCase{404, R"({"error": {"message": "gone", "code": "project_deleted"}})", Refusal::Project,
                  "gone"},
        ErrorCase{400, R"({"error": {"message": "bad", "param": "project_id"}})", Refusal::Project, "bad"},
        ErrorCase{500, R"({"error": {"message": "x", "param": "project_id"}})", Refusal::Other, "x"},
        ErrorCase{404, R"({"error": {"message": "m", "code": "model_not_found", "param": "model"}})",
                  Refusal::Model, "m"},
        ErrorCase{400, R"({"error": {"message": "m", "param": "model"}})", Refusal::Model, "m"},
        ErrorCase{401, R"({"error": {"message": "Invalid API key"}})", Refusal::Credentials,
                  "Invalid API key"},
        ErrorCase{403, R"({"detail": "Forbidden"})", Refusal::Credentials, "Forbidden"},
        ErrorCase{404, R"({"error": "Not found"})", Refusal::Other, "Not found"},
        ErrorCase{503, "Service Unavailable", Refusal::Other, "Service Unavailable"},
        ErrorCase{502, "[1, 2]", Refusal::Other, ""}));

}  // namespace
}  // namespace velora::core::completions
