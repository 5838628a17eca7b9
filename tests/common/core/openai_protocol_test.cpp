#include "common/openai_protocol.hpp"

#include <gtest/gtest.h>

namespace velora::core::openai {
namespace {

TEST(OpenAIProtocol, RootOfABaseUrlAddsV1OnlyWithoutAPath) {
    EXPECT_EQ(api_root("http://localhost:8000"), "http://localhost:8000/v1");
    EXPECT_EQ(api_root("http://localhost:8000/"), "http://localhost:8000/v1");
    EXPECT_EQ(api_root("http://localhost:11434/v1/"), "http://localhost:11434/v1");
    EXPECT_EQ(api_root("https://api.example.com/openai/v1"), "https://api.example.com/openai/v1");
    EXPECT_EQ(generation_url("http://h/v1", Api::Chat), "http://h/v1/chat/completions");
    EXPECT_EQ(generation_url("http://h/v1", Api::Completions), "http://h/v1/completions");
}

TEST(OpenAIProtocol, BodiesSendOnlyTheSettingsThatAreSet) {
    GenerationSettings settings{"m", Api::Chat, 64, 0.0, 7, {"\n\n"}};
    EXPECT_EQ(request_body(settings, "hi", std::string("sys")),
              R"({"model":"m","messages":[{"role":"system","content":"sys"},{"role":"user","content":"hi"}],)"
              R"("max_tokens":64,"temperature":0.0,"seed":7,"stop":["\n\n"]})");
    EXPECT_EQ(request_body(GenerationSettings{"m", Api::Completions, {}, {}, {}, {}}, "hi", std::nullopt),
              R"({"model":"m","prompt":"hi"})");
}

struct AnswerCase {
    Api api;
    const char* body;
    const char* text;  // nullptr: refused
    const char* reason_or_problem;
};

class GenerationAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(GenerationAnswers, AreReadOrRefusedSayingWhatIsMissing) {
    const auto& c = GetParam();
    if (c.text != nullptr) {
        const Generation generation = parse_generation(c.api, c.body);
        EXPECT_EQ(generation.text, c.text);
        EXPECT_EQ(generation.finish_reason, c.reason_or_problem);
        return;
    }
    try {
        parse_generation(c.api, c.body);
        FAIL() << "accepted " << c.body;
    } catch (const std::invalid_argument& problem) {
        EXPECT_STREQ(problem.what(), c.reason_or_problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, GenerationAnswers,
    ::testing::Values(
        AnswerCase{Api::Chat, R"({"choices":[{"message":{"content":"Hi"},"finish_reason":"length"}]})", "Hi",
                   "length"},
        AnswerCase{Api::Chat,
                   R"({"choices":[{"message":{"content":[{"type":"text","text":"a"},{"text":"b"}]}}]})", "ab",
                   ""},
        AnswerCase{Api::Chat, R"({"choices":[{"message":{"content":null,"refusal":"No."}}]})", "No.", ""},
        AnswerCase{Api::Completions, R"({"choices":[{"text":"ok","finish_reason":"stop"}]})", "ok", "stop"},
        AnswerCase{Api::Chat, R"({"choices":[{"text":"ok"}]})", nullptr, "choices[0] has no \"message\""},
        AnswerCase{Api::Completions, R"({"choices":[]})", nullptr, "the answer has no \"choices\""},
        AnswerCase{Api::Chat, "<html>busy</html>", nullptr, "the answer is not JSON"},
        AnswerCase{Api::Chat, "[1]", nullptr, "the answer is not a JSON object"}));

}  // namespace
}  // namespace velora::core::openai
