#include "corvex/core/judge/http_judge.hpp"

#include "common/completions_protocol.hpp"
#include "common/http/url_encoding.hpp"

namespace velora::core::corvex {
namespace {

std::shared_ptr<RetryingTransport> retrying(const JudgeBasics& basics,
                                            const std::vector<std::string>& secrets,
                                            const JudgeOptions& options) {
    const RetryPolicy policy{basics.max_retries + 1};
    RetryHooks hooks = options.hooks;
    if (options.log != nullptr && !hooks.on_retry) {
        hooks.on_retry = retry_logger(*options.log, policy.max_attempts, secrets,
                                      " for the " + basics.provider + " judge " + basics.model);
    }
    return std::make_shared<RetryingTransport>(options.transport, policy, std::move(hooks));
}

bool succeeded(const HttpResponse& response) { return response.status >= 200 && response.status < 300; }

}  // namespace

HttpJudge::HttpJudge(JudgeBasics basics, std::vector<std::string> secrets, JudgeOptions options)
    : basics_(std::move(basics)),
      secrets_(std::move(secrets)),
      options_(std::move(options)),
      transport_(retrying(basics_, secrets_, options_)) {}

HttpRequest HttpJudge::bounded(HttpRequest r) const {
    set_exchange_timeout(r, basics_.timeout_seconds);
    r.ca_file = basics_.ca_file;
    r.should_abort = options_.should_abort;
    return r;
}

HttpRequest HttpJudge::request(HttpMethod method, std::string url) const {
    HttpRequest r;
    r.method = method;
    r.url = std::move(url);
    return bounded(std::move(r));
}

void HttpJudge::fail(const HttpRequest& request, JudgeCause::Kind kind, const std::string& cause) const {
    throw JudgeCallError(redact("the " + describe() + ": " + method_name(request.method) + " " +
                                    url_for_messages(request.url) + " failed",
                                secrets_),
                         JudgeCause{kind, redact(cause, secrets_)});
}

void HttpJudge::fail_transport(const HttpRequest& request, const HttpError& error) const {
    const auto kind = error.kind() == HttpError::Kind::Timeout   ? JudgeCause::Kind::Timeout
                      : error.kind() == HttpError::Kind::Aborted ? JudgeCause::Kind::Interrupted
                                                                 : JudgeCause::Kind::Transport;
    fail(request, kind, error.what());
}

void HttpJudge::check_status(const HttpRequest& request, const HttpResponse& response) const {
    if (succeeded(response)) return;
    const auto answer = completions::classify_error_answer(response.status, response.body);
    fail(request, JudgeCause::Kind::Service,
         status_text(response) +
             (answer.message.empty()
                  ? std::string()
                  : ": " + redacted_excerpt(answer.message, secrets_, completions::kServiceMessageLimit)));
}

HttpResponse HttpJudge::exchange(const HttpRequest& request) {
    HttpResponse response;
    try {
        response = transport_->perform(request);
    } catch (const HttpError& error) {
        fail_transport(request, error);
    }
    check_status(request, response);
    return response;
}

std::string SingleExchangeJudge::ask(const std::string& prompt) {
    prepare();
    const HttpRequest r = build_request(prompt);
    const HttpResponse response = exchange(r);
    return read_answer(r, response);
}

std::string SingleExchangeJudge::answer_of(const HttpRequest& request, const TransportResult& result) const {
    if (result.error) {
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& error) {
            fail_transport(request, error);
        }
    }
    check_status(request, *result.response);
    return read_answer(request, *result.response);
}

std::vector<JudgeReply> SingleExchangeJudge::ask_all(const std::vector<std::string>& prompts) {
    if (prompts.empty()) return {};
    try {
        prepare();
    } catch (const JudgeCallError& error) {
        return {JudgeReply{{}, error}};  // the first prompt is the one that met it
    }
    std::vector<HttpRequest> requests;
    requests.reserve(prompts.size());
    for (const auto& prompt : prompts) requests.push_back(build_request(prompt));
    std::vector<TransportResult> results;
    try {
        results = transport_->perform_all(requests);
    } catch (const HttpError& error) {  // an interrupted batch
        fail_transport(requests.front(), error);
    }
    std::vector<JudgeReply> replies(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        try {
            replies[i].answer = answer_of(requests[i], results[i]);
        } catch (const JudgeCallError& error) {
            replies[i].failure = error;
        }
    }
    return replies;
}

}  // namespace velora::core::corvex
