#include "corvex/core/judge/cached_judge.hpp"

#include <unordered_map>

namespace velora::core::corvex {
namespace {

// The prompts still to send, once each, and the rows of the batch that asked each of them.
struct Missing {
    std::vector<std::string> prompts, keys;
    std::vector<std::vector<std::size_t>> rows;
    std::unordered_map<std::string, std::size_t> by_key;

    void add(std::size_t row, const std::string& prompt, const std::string& key) {
        const auto [it, fresh] = by_key.try_emplace(key, prompts.size());
        if (fresh) {
            prompts.push_back(prompt);
            keys.push_back(key);
            rows.emplace_back();
        }
        rows[it->second].push_back(row);
    }
};

}  // namespace

CachedJudge::CachedJudge(std::unique_ptr<JudgeModel> judge, std::unique_ptr<ResponseCache> cache,
                         std::vector<std::string> identity)
    : judge_(std::move(judge)), cache_(std::move(cache)), identity_(std::move(identity)) {}

std::string CachedJudge::key(const std::string& prompt) const {
    std::vector<std::string_view> parts(identity_.begin(), identity_.end());
    parts.push_back(prompt);
    return cache_key(parts);
}

std::string CachedJudge::ask(const std::string& prompt) {
    const std::string k = key(prompt);
    if (const auto cached = cache_->find(k)) return cached->text;
    std::string answer = judge_->ask(prompt);
    cache_->store(k, {answer, ""});
    return answer;
}

std::vector<JudgeReply> CachedJudge::ask_all(const std::vector<std::string>& prompts) {
    std::vector<JudgeReply> replies(prompts.size());
    Missing missing;
    for (std::size_t row = 0; row < prompts.size(); ++row) {
        const std::string k = key(prompts[row]);
        if (const auto cached = cache_->find(k)) {
            replies[row].answer = cached->text;
        } else {
            missing.add(row, prompts[row], k);
        }
    }
    if (missing.prompts.empty()) return replies;
    const auto answered = judge_->ask_all(missing.prompts);
    // A judge that stops at a failure answers fewer prompts; the rows after it get no reply.
    std::size_t replied_rows = prompts.size();
    for (std::size_t i = 0; i < missing.prompts.size(); ++i) {
        if (i >= answered.size()) {
            replied_rows = std::min(replied_rows, missing.rows[i].front());
            continue;
        }
        if (!answered[i].failure) cache_->store(missing.keys[i], {answered[i].answer, ""});
        for (const auto row : missing.rows[i]) replies[row] = answered[i];
    }
    replies.resize(replied_rows);
    return replies;
}

}  // namespace velora::core::corvex
