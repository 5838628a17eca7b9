#include "corvex/core/judge/settings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "common/http/message.hpp"
#include "common/http/url_encoding.hpp"
#include "common/pynum.hpp"
#include "common/pytext.hpp"
#include "corvex/core/judge/cached_judge.hpp"

namespace velora::core::corvex {
namespace {

std::vector<std::string> provider_names() {
    std::vector<std::string> names;
    for (const auto& p : judge_providers()) names.push_back(p.name);
    return names;
}

const JudgeProvider& chosen_provider(const std::string& lead, const EnvLookup& env) {
    const auto name = env(kProviderVariable);
    if (!name) {
        throw JudgeUnavailableError(lead + kProviderVariable + " is not set; set it to one of " +
                                    python_list_repr(provider_names()));
    }
    const auto& table = judge_providers();
    const auto found =
        std::find_if(table.begin(), table.end(), [&](const JudgeProvider& p) { return p.name == *name; });
    if (found == table.end()) {
        throw JudgeUnavailableError(lead + kProviderVariable + " names " + python_repr(*name) +
                                    ", which is not a judge provider; use one of " +
                                    python_list_repr(provider_names()));
    }
    std::vector<std::string> missing;
    for (const auto& variable : found->required) {
        if (!env(variable)) missing.push_back(variable);
    }
    if (!missing.empty()) {
        throw JudgeUnavailableError(lead + "judge provider " + found->name +
                                    " needs the environment variables " + python_list_repr(missing) +
                                    ", which are not set");
    }
    return *found;
}

double read_timeout(const ProviderEnv& env) {
    const auto timeout = env.ours(kJudgeTimeoutVariable);
    if (!timeout) return kJudgeTimeoutSeconds;
    const auto seconds = parse_python_float(*timeout);
    if (const auto problem = timeout_problem(seconds.value_or(0.0)))
        throw env.bad(std::string(kJudgeTimeoutVariable) + " " + *problem + ", not " + python_repr(*timeout));
    return *seconds;
}

int read_retries(const ProviderEnv& env) {
    const auto retries = env.ours(kJudgeRetriesVariable);
    if (!retries) return kJudgeMaxRetries;
    const bool digits = retries->size() <= 2 && std::all_of(retries->begin(), retries->end(),
                                                            [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(*retries) > 10) {
        throw env.bad(std::string(kJudgeRetriesVariable) + " must be a whole number from 0 to 10, not " +
                      python_repr(*retries));
    }
    return std::stoi(*retries);
}

int read_concurrency(const ProviderEnv& env) {
    const auto concurrency = env.ours(kJudgeConcurrencyVariable);
    if (!concurrency) return kJudgeConcurrency;
    const bool digits = concurrency->size() <= 2 && std::all_of(concurrency->begin(), concurrency->end(),
                                                                [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(*concurrency) < 1 || std::stoi(*concurrency) > 64) {
        throw env.bad(std::string(kJudgeConcurrencyVariable) + " must be a whole number from 1 to 64, not " +
                      python_repr(*concurrency));
    }
    return std::stoi(*concurrency);
}

// What decides a judge's answer besides the prompt (the temperature is always 0).
std::vector<std::string> judge_identity(const JudgeSettings& settings) {
    std::vector<std::string> identity{settings.basics.provider, settings.basics.model,
                                      std::to_string(settings.basics.max_tokens)};
    for (auto& part : settings.own->answer_identity()) identity.push_back(std::move(part));
    return identity;
}

std::string read_ca_bundle(const ProviderEnv& env) {
    const auto path = env.ours(kJudgeCaBundleVariable);
    if (!path) return {};
    if (!std::ifstream(*path)) {
        throw env.bad(std::string(kJudgeCaBundleVariable) + " must name a readable CA bundle file, not " +
                      python_repr(*path));
    }
    return *path;
}

}  // namespace

EnvLookup process_environment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
}

ProviderEnv::ProviderEnv(const EnvLookup& env, std::string lead, std::string provider)
    : env_(env), lead_(std::move(lead)), provider_(std::move(provider)) {}

std::string ProviderEnv::required(const char* name) const { return env_(name).value_or(""); }

std::optional<std::string> ProviderEnv::ours(const char* name) const {
    auto value = env_(name);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

std::optional<std::string> ProviderEnv::raw(const char* name) const { return env_(name); }

std::string ProviderEnv::base_url(const std::string& value, const char* variable) const {
    if (!value.starts_with("http://") && !value.starts_with("https://")) {
        throw bad(std::string(variable) + " must be an http:// or https:// URL, not " +
                  python_repr(url_for_messages(value)));
    }
    std::string url = value;
    while (url.ends_with('/')) url.pop_back();
    return url;
}

std::string ProviderEnv::base_url_or(const char* variable, const std::string& fallback) const {
    return base_url(ours(variable).value_or(fallback), variable);
}

JudgeUnavailableError ProviderEnv::bad(const std::string& problem) const {
    return JudgeUnavailableError(lead_ + "judge provider " + provider_ + " cannot be used: " + problem);
}

JudgeSettings judge_settings(const std::string& card_id, const EnvLookup& env) {
    const std::string lead = "card " + card_id + " is scored by an LLM judge, and ";
    const JudgeProvider& provider = chosen_provider(lead, env);
    const ProviderEnv reader(env, lead, provider.name);
    JudgeSettings settings;
    settings.basics.provider = provider.name;
    settings.basics.model = reader.ours(kJudgeModelVariable).value_or(provider.default_model);
    settings.basics.timeout_seconds = read_timeout(reader);
    settings.basics.max_retries = read_retries(reader);
    settings.basics.ca_file = read_ca_bundle(reader);
    settings.basics.concurrency = read_concurrency(reader);
    settings.basics.cache_path = reader.ours(kJudgeCacheVariable);
    settings.own = provider.read(reader);
    return settings;
}

std::unique_ptr<JudgeModel> make_judge(const JudgeSettings& settings, JudgeOptions options) {
    if (!options.transport) throw std::invalid_argument("a judge needs a transport");
    auto judge = settings.own->make_judge(settings.basics, std::move(options));
    if (!settings.basics.cache_path) return judge;
    try {
        return std::make_unique<CachedJudge>(std::move(judge),
                                             std::make_unique<ResponseCache>(*settings.basics.cache_path),
                                             judge_identity(settings));
    } catch (const ResponseCacheError& error) {
        throw JudgeUnavailableError(std::string(kJudgeCacheVariable) + ": " + error.what());
    }
}

std::vector<std::string> non_empty(std::vector<std::string> texts) {
    std::erase_if(texts, [](const std::string& text) { return text.empty(); });
    return texts;
}

}  // namespace velora::core::corvex
