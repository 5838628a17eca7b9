#include "corvex/core/judge/cached_judge.hpp"

#include <unordered_map>

namespace velora::core::corvex {

CachedJudge::CachedJudge(std::unique_ptr<JudgeModel> judge, std::unique_ptr<ResponseCache> cache,
                         std::vector<std::string> identity)
    : judge_(std::move(judge)), cache_(std::move(cache)), identity_(std::move(identity)) {}

std::string CachedJudge::key(const std::string& prompt) const {
    std::vector<std::string_view> parts(identity_.begin(), identity_.end());
    parts.push_back(prompt);
    return cache_key(parts);
}

std::string CachedJudge::ask(const std::string& prompt) { return ask_all({prompt}, {}).front(); }

std::vector<std::string> CachedJudge::ask_all(const std::vector<std::string>& prompts,
                                              const JudgeAnswered& answered) {
    std::vector<std::string> answers(prompts.size());
    std::vector<std::string> missing, missing_keys;
    std::vector<std::vector<std::size_t>> rows;  // per missing prompt, the rows that asked it
    std::unordered_map<std::string, std::size_t> pending;
    for (std::size_t row = 0; row < prompts.size(); ++row) {
        const std::string k = key(prompts[row]);
        if (const auto found = pending.find(k); found != pending.end()) {
            rows[found->second].push_back(row);
        } else if (const auto cached = cache_->find(k)) {
            answers[row] = cached->text;
            if (answered) answered(row, answers[row]);
        } else {
            pending.emplace(k, missing.size());
            missing.push_back(prompts[row]);
            missing_keys.push_back(k);
            rows.push_back({row});
        }
    }
    if (missing.empty()) return answers;
    try {
        judge_->ask_all(missing, [&](std::size_t index, const std::string& text) {
            cache_->store(missing_keys[index], {text, ""});
            for (const auto row : rows[index]) {
                answers[row] = text;
                if (answered) answered(row, text);
            }
        });
    } catch (const JudgeBatchError& error) {
        throw JudgeBatchError(rows[error.index()].front(), error);
    }
    return answers;
}

}  // namespace velora::core::corvex
