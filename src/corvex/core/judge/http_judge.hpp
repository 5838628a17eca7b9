// What every HTTP judge shares: requests bounded by the judge's time-out and CA bundle, bounded
// retries over the transport it is given, and failures as JudgeCallError naming the provider and
// the endpoint (never a credential; the service's own words are redacted before they are cut).
// SingleExchangeJudge is the judge whose verdict is one request and one answer: a provider unit
// then only builds its request and reads its answer, and a batch of prompts goes through the
// transport's batch.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/http/retry.hpp"
#include "common/redaction.hpp"
#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

// How much of an unreadable answer's body a cause quotes, after redaction.
inline constexpr std::size_t kJudgeBodyExcerpt = 120;

class HttpJudge : public JudgeModel {
  public:
    HttpJudge(JudgeBasics basics, std::vector<std::string> secrets, JudgeOptions options);

    std::string describe() const override { return basics_.provider + " judge " + basics_.model; }

  protected:
    // `r` bounded by the judge's time-out, CA bundle and Ctrl-C.
    HttpRequest bounded(HttpRequest r) const;
    // A bounded request to `url`.
    HttpRequest request(HttpMethod method, std::string url) const;
    // One exchange with bounded retries; a transport failure or an error status is a JudgeCallError.
    HttpResponse exchange(const HttpRequest& request);
    // A JudgeCallError for an answer with an error status; nothing for a 2xx one.
    void check_status(const HttpRequest& request, const HttpResponse& response) const;
    [[noreturn]] void fail(const HttpRequest& request, JudgeCause::Kind kind, const std::string& cause) const;
    [[noreturn]] void fail_transport(const HttpRequest& request, const HttpError& error) const;

    // `parse(body)`; its std::invalid_argument becomes an Answer cause quoting the body's start.
    template <typename Parse>
    auto read(const HttpRequest& request, const HttpResponse& response, const char* what, Parse parse) const
        -> decltype(parse(response.body)) {
        try {
            return parse(response.body);
        } catch (const std::invalid_argument& problem) {
            fail(request, JudgeCause::Kind::Answer,
                 std::string("the answer is not ") + what + " (" + problem.what() +
                     "); body starts with: " + redacted_excerpt(response.body, secrets_, kJudgeBodyExcerpt));
        }
    }

    JudgeBasics basics_;
    std::vector<std::string> secrets_;
    JudgeOptions options_;
    std::shared_ptr<RetryingTransport> transport_;
};

class SingleExchangeJudge : public HttpJudge {
  public:
    using HttpJudge::HttpJudge;

    std::string ask(const std::string& prompt) override;
    std::vector<JudgeReply> ask_all(const std::vector<std::string>& prompts) override;

  protected:
    // The provider's request for one prompt.
    virtual HttpRequest build_request(const std::string& prompt) = 0;
    // The judge's text in a 2xx answer.
    virtual std::string read_answer(const HttpRequest& request, const HttpResponse& response) const = 0;
    // Runs before the first request (a provider that checks the service first); JudgeCallError.
    virtual void prepare() {}

  private:
    std::string answer_of(const HttpRequest& request, const TransportResult& result) const;
};

}  // namespace velora::core::corvex
