// A judge whose answers are kept in a response cache (CORVEX_JUDGE_CACHE): a judge prompt already
// answered with the same judge settings is not sent again, so cards that share their benchmarks
// are judged once and a stopped run resumes. Identical prompts of a batch are sent once; every
// answer of a batch is stored, each in its own transaction, even when another call of it failed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/response_cache.hpp"
#include "corvex/core/judge/verdicts.hpp"

namespace velora::core::corvex {

class CachedJudge final : public JudgeModel {
  public:
    // `identity`: what decides the answer besides the prompt (provider, address, model, settings).
    CachedJudge(std::unique_ptr<JudgeModel> judge, std::unique_ptr<ResponseCache> cache,
                std::vector<std::string> identity);

    std::string ask(const std::string& prompt) override;
    std::vector<JudgeReply> ask_all(const std::vector<std::string>& prompts) override;
    std::string describe() const override { return judge_->describe(); }

  private:
    std::string key(const std::string& prompt) const;

    std::unique_ptr<JudgeModel> judge_;
    std::unique_ptr<ResponseCache> cache_;
    std::vector<std::string> identity_;
};

}  // namespace velora::core::corvex
