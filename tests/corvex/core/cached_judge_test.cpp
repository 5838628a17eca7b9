#include "corvex/core/judge/cached_judge.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace velora::core::corvex {
namespace {

namespace fs = std::filesystem;

// Answers "<prompt>!" and fails the prompt "bad"; asked one after the other (the default batch).
struct CountingJudge final : JudgeModel {
    std::vector<std::string>* asked;
    explicit CountingJudge(std::vector<std::string>* log) : asked(log) {}
    std::string ask(const std::string& prompt) override {
        asked->push_back(prompt);
        if (prompt == "bad")
            throw JudgeCallError("the test judge failed", {JudgeCause::Kind::Service, "HTTP 500"});
        return prompt + "!";
    }
    std::string describe() const override { return "test judge m"; }
};

TEST(CachedJudge, SendsEachMissingPromptOnceKeepsWhatCameBeforeAFailureAndResumes) {
    const fs::path file = fs::temp_directory_path() / ("cached_judge_test_" + std::to_string(::getpid()));
    fs::remove(file);
    std::vector<std::string> asked;
    const auto judge = [&] {
        return CachedJudge(std::make_unique<CountingJudge>(&asked),
                           std::make_unique<ResponseCache>(file.string()), {"test", "m"});
    };
    {
        auto first = judge();
        const auto replies = first.ask_all({"a", "a", "bad", "b"});
        ASSERT_EQ(replies.size(), 3u);  // the sequential judge stopped at the failure
        EXPECT_EQ(replies[1].answer, "a!");
        ASSERT_TRUE(replies[2].failure.has_value());
        EXPECT_EQ(asked, (std::vector<std::string>{"a", "bad"}));
    }
    asked.clear();
    auto second = judge();
    const auto replies = second.ask_all({"a", "b"});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].answer, "a!");
    EXPECT_EQ(replies[1].answer, "b!");
    EXPECT_EQ(asked, std::vector<std::string>{"b"});  // "a" came from the file
    fs::remove(file);
    fs::remove(file.string() + "-wal");
    fs::remove(file.string() + "-shm");
}

}  // namespace
}  // namespace velora::core::corvex
