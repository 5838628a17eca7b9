#include "corvex/core/judge/providers/replicate.hpp"

#include <chrono>
#include <stdexcept>

#include "common/abortable_sleep.hpp"
#include "common/pynum.hpp"
#include "corvex/core/judge/aws_sigv4.hpp"
#include "corvex/core/judge/http_judge.hpp"
#include "corvex/core/judge/wire_formats.hpp"

namespace velora::core::corvex {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kBaseVariable = "CORVEX_REPLICATE_BASE_URL";
constexpr const char* kBaseUrl = "https://api.replicate.com/v1";

std::shared_ptr<const ProviderSettings> read_settings(const ProviderEnv& env) {
    auto s = std::make_shared<ReplicateSettings>();
    s->api_token = env.required("REPLICATE_API_TOKEN");
    s->base_url = env.base_url_or(kBaseVariable, kBaseUrl);
    return s;
}

// The version id of a model written "owner/name:version" or as a bare version id; else empty.
std::string replicate_version(std::string_view model) {
    if (const auto colon = model.find(':'); colon != std::string_view::npos)
        return std::string(model.substr(colon + 1));
    if (model.find('/') == std::string_view::npos) return std::string(model);
    return {};
}

class ReplicateJudge final : public HttpJudge {
  public:
    ReplicateJudge(const JudgeBasics& basics, const ReplicateSettings& settings, JudgeOptions options)
        : HttpJudge(basics, settings.secrets(), std::move(options)), settings_(settings) {}

    // Predictions are polled one by one; the batch is the default one after the other.
    std::string ask(const std::string& prompt) override {
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(basics_.timeout_seconds));
        HttpRequest create = authorised(HttpMethod::Post, replicate_create_url(settings_, basics_.model));
        create.headers.emplace_back("Content-Type", "application/json");
        // The service holds the answer back a while when it can finish quickly, which saves polls.
        create.headers.emplace_back("Prefer", "wait");
        create.body = replicate_create_body(basics_.model, prompt, basics_.max_tokens);
        const ReplicatePrediction prediction = poll_until_finished(parse(create, exchange(create)), deadline);
        const HttpRequest last = request(HttpMethod::Get, poll_url(prediction));
        if (prediction.status != "succeeded") {
            fail(last, JudgeCause::Kind::Service,
                 "prediction " + prediction.id + " ended " + prediction.status +
                     (prediction.error.empty() ? std::string() : ": " + prediction.error));
        }
        if (!prediction.output) {
            fail(last, JudgeCause::Kind::Answer,
                 "prediction " + prediction.id + " succeeded without a text output");
        }
        return *prediction.output;
    }

  private:
    HttpRequest authorised(HttpMethod method, std::string url) const {
        HttpRequest r = request(method, std::move(url));
        r.headers.emplace_back("Authorization", "Bearer " + settings_.api_token);
        r.headers.emplace_back("Accept", "application/json");
        return r;
    }

    ReplicatePrediction poll_until_finished(ReplicatePrediction prediction, Clock::time_point deadline) {
        double pause = 0.25;
        while (!replicate_finished(prediction.status)) {
            if (Clock::now() + std::chrono::duration<double>(pause) > deadline) {
                fail(request(HttpMethod::Get, poll_url(prediction)), JudgeCause::Kind::Timeout,
                     "prediction " + prediction.id + " did not finish within " +
                         format_fixed(basics_.timeout_seconds, 1) + " s (last status: " + prediction.status +
                         ")");
            }
            wait(pause);
            pause = std::min(pause * 2.0, 2.0);
            const HttpRequest poll = authorised(HttpMethod::Get, poll_url(prediction));
            const std::string id = prediction.id;
            prediction = parse(poll, exchange(poll));
            if (prediction.id.empty()) prediction.id = id;
        }
        return prediction;
    }

    ReplicatePrediction parse(const HttpRequest& r, const HttpResponse& response) const {
        return read(r, response, "a prediction", [](std::string_view body) {
            auto prediction = parse_replicate_prediction(body);
            if (prediction.status.empty()) throw std::invalid_argument("it has no \"status\"");
            return prediction;
        });
    }

    // The service's own poll address, when it is one of ours to send the token to; else built.
    std::string poll_url(const ReplicatePrediction& prediction) const {
        if (prediction.get_url.starts_with(settings_.base_url + "/")) return prediction.get_url;
        return settings_.base_url + "/predictions/" + aws::uri_encode(prediction.id, false);
    }

    void wait(double seconds) const {
        bool waited = true;
        if (options_.poll_sleep) {
            options_.poll_sleep(seconds);
            waited = !(options_.should_abort && options_.should_abort());
        } else {
            waited = abortable_sleep(seconds, options_.should_abort);
        }
        if (!waited) {
            fail(request(HttpMethod::Get, settings_.base_url + "/predictions"), JudgeCause::Kind::Interrupted,
                 "interrupted while waiting for the prediction");
        }
    }

    ReplicateSettings settings_;
};

}  // namespace

std::unique_ptr<JudgeModel> ReplicateSettings::make_judge(const JudgeBasics& basics,
                                                          JudgeOptions options) const {
    return std::make_unique<ReplicateJudge>(basics, *this, std::move(options));
}

std::string replicate_create_url(const ReplicateSettings& settings, std::string_view model) {
    if (!replicate_version(model).empty()) return settings.base_url + "/predictions";
    const auto slash = model.find('/');
    return settings.base_url + "/models/" + aws::uri_encode(model.substr(0, slash), false) + "/" +
           aws::uri_encode(model.substr(slash + 1), false) + "/predictions";
}

std::string replicate_create_body(std::string_view model, std::string_view prompt, int max_tokens) {
    ordered_json input;
    input["prompt"] = prompt;
    input["max_tokens"] = max_tokens;
    ordered_json body;
    const std::string version = replicate_version(model);
    if (!version.empty()) body["version"] = version;
    body["input"] = input;
    return dumped(body);
}

ReplicatePrediction parse_replicate_prediction(std::string_view body) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) throw std::invalid_argument("it is not a JSON object");
    ReplicatePrediction p;
    const auto text = [&](const json& object, const char* name) -> std::string {
        const auto it = object.find(name);
        return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    p.id = text(answer, "id");
    p.status = text(answer, "status");
    if (const auto urls = answer.find("urls"); urls != answer.end() && urls->is_object())
        p.get_url = text(*urls, "get");
    if (const auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
        p.error = error->is_string() ? error->get<std::string>() : error->dump();
    }
    if (const auto output = answer.find("output"); output != answer.end() && !output->is_null()) {
        if (output->is_string()) {
            p.output = output->get<std::string>();
        } else if (output->is_array()) {
            std::string joined;
            for (const auto& piece : *output) {
                if (!piece.is_string()) throw std::invalid_argument("its \"output\" is not a list of texts");
                joined += piece.get<std::string>();
            }
            p.output = joined;
        } else {
            throw std::invalid_argument("its \"output\" is neither a text nor a list of texts");
        }
    }
    return p;
}

bool replicate_finished(const std::string& status) {
    return status == "succeeded" || status == "failed" || status == "canceled" || status == "aborted";
}

JudgeProvider replicate_provider() {
    return {"replicate", {"REPLICATE_API_TOKEN"}, "meta/meta-llama-3-70b-instruct", read_settings};
}

}  // namespace velora::core::corvex
