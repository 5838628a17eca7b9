// The inference object over a scripted transport: a batch goes through the transport's batch in
// prompt order, the first failure in prompt order is the one raised, and what a service says back
// is redacted before it is cut.
#include "nimbra/core/inference.hpp"

#include <gtest/gtest.h>

namespace velora::core::nimbra {
namespace {

struct ScriptedTransport final : Transport {
    std::vector<HttpResponse> answers;  // one per request, in order
    std::vector<HttpRequest> sent;
    int batches = 0;

    HttpResponse perform(const HttpRequest& request) override {
        sent.push_back(request);
        return answers.at(sent.size() - 1);
    }
    std::vector<TransportResult> perform_all(const std::vector<HttpRequest>& requests,
                                             const TransportProgress& on_done) override {
        ++batches;
        return Transport::perform_all(requests, on_done);
    }
};

HttpResponse completion(const std::string& text) {
    return {200, R"({"choices": [{"text": ")" + text + R"("}]})", {}};
}

NimbraInference inference(const std::shared_ptr<ScriptedTransport>& transport, const std::string& key) {
    InferenceOptions options;
    options.retry.max_attempts = 1;
    return NimbraInference("m", Credentials{"http://svc.test", key, {}, {}}, "p", options, std::nullopt,
                           transport);
}

TEST(GenerateTexts, SendsOneBatchInPromptOrder) {
    auto transport = std::make_shared<ScriptedTransport>();
    transport->answers = {completion("A"), completion("B"), completion("C")};
    EXPECT_EQ(inference(transport, "k").generate_texts({"one", "two", "three"}),
              (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(transport->batches, 1);
    ASSERT_EQ(transport->sent.size(), 3u);
    EXPECT_NE(transport->sent[1].body.find("\"prompt\":\"two\""), std::string::npos);
    EXPECT_EQ(transport->sent[1].timeout_seconds, kDefaultTimeoutSeconds);
}

TEST(GenerateTexts, TheFirstFailureInPromptOrderIsRaised) {
    auto transport = std::make_shared<ScriptedTransport>();
    transport->answers = {completion("A"),
                          {404, R"({"error": {"message": "gone", "code": "model_not_found"}})", {}},
                          {500, R"({"error": {"message": "later"}})", {}}};
    EXPECT_THROW(inference(transport, "k").generate_texts({"1", "2", "3"}), NimbraModelNotServed);
    EXPECT_EQ(transport->sent.size(), 3u);
}

TEST(ServiceWords, AKeyAcrossTheCutLeavesNoPartInTheError) {
    const std::string key = "nk-4f1d9a6e2b7c8d03";
    auto transport = std::make_shared<ScriptedTransport>();
    transport->answers = {
        {500, R"({"error": {"message": ")" + std::string(290, 'x') + " " + key + R"("}})", {}}};
    try {
        inference(transport, key).generate_text("p");
        FAIL();
    } catch (const NimbraRequestError& error) {
        EXPECT_EQ(std::string(error.what()).find("nk-4f1d"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace velora::core::nimbra
