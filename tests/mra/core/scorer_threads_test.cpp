// The scoring engine shared by several threads behind the gate the bindings put in front of it: every
// call gets its own prompts' answers back (run under the sanitizers, nothing is reported).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/call_gate.hpp"
#include "mra/core/scoring/openai_compatible.hpp"
#include "support/http_loopback_server.hpp"

namespace velora::core::scoring {
namespace {

using testing_support::LoopbackServer;

// Answers a completion request with "echo:<its prompt>".
LoopbackServer::Step echo() {
    return [](int fd, const std::string& request) {
        const auto body = nlohmann::json::parse(request.substr(request.find("\r\n\r\n") + 4));
        const nlohmann::json answer = {
            {"choices",
             {{{"text", "echo:" + body["prompt"].get<std::string>()}, {"finish_reason", "stop"}}}}};
        LoopbackServer::respond(200, answer.dump())(fd, request);
    };
}

TEST(OpenAICompatibleScorer, ServesCallsOfSeveralThreadsOneAtATimeBehindTheGate) {
    LoopbackServer server({echo()});
    ScoringSettings settings;
    settings.base_url = server.url("/v1");
    settings.generation.model = "echo";
    settings.generation.api = openai::Api::Completions;
    settings.check_model = false;
    settings.concurrency = 2;
    OpenAICompatibleScorer scorer(settings);
    CallGate gate;
    std::vector<std::vector<std::string>> answers(2);
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < answers.size(); ++t) {
        callers.emplace_back([&, t] {
            for (int call = 0; call < 3; ++call) {
                const auto pass = gate.enter();
                const std::string prompt = "t" + std::to_string(t) + "c" + std::to_string(call);
                for (auto& answer : scorer.score({{prompt + "a", {}}, {prompt + "b", {}}}))
                    answers[t].push_back(std::move(answer));
            }
        });
    }
    for (auto& caller : callers) caller.join();
    for (std::size_t t = 0; t < answers.size(); ++t) {
        ASSERT_EQ(answers[t].size(), 6u);
        EXPECT_EQ(answers[t][5], "echo:t" + std::to_string(t) + "c2b");
    }
    EXPECT_EQ(scorer.total_stats().sent, 12u);
}

}  // namespace
}  // namespace velora::core::scoring
