// One model in one project on one inference service: the object behind ModelInference.
// Construction only maps the credentials; verify() asks the service whether it serves the model
// and accepts the project, once per process for the same connection (address, credentials,
// project, TLS settings) and model; generate_text() runs one completion. Requests share one
// connection.
// Generation (and the model check, a read) retries transient failures under `retry`; every
// request is bounded by `timeout_seconds`.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "common/http/client.hpp"
#include "common/http/retry.hpp"
#include "common/log_sink.hpp"
#include "nimbra/core/protocol.hpp"

namespace velora::core::nimbra {

inline constexpr double kDefaultTimeoutSeconds = 120.0;
inline constexpr int kDefaultMaxTokens = 256;

struct InferenceOptions {
    double timeout_seconds = kDefaultTimeoutSeconds;
    RetryPolicy retry;
    bool verify_tls = true;
    std::string ca_file;
    std::optional<int> max_tokens = kDefaultMaxTokens;
    std::optional<double> temperature;
    std::optional<std::int64_t> seed;
    bool check_model = true;  // false: accept a model the service does not list
    std::function<bool()> should_abort;
    LogSink* log = nullptr;  // retries are told here at debug level
    RetryHooks hooks;        // tests replace the sleep
};

class NimbraInference {
  public:
    NimbraInference(std::string model_id, const Credentials& credentials,
                    std::optional<std::string> project_id, InferenceOptions options,
                    const std::optional<std::string>& url_fallback);

    // GET /v1/models: throws NimbraProjectRejected, NimbraModelNotServed or NimbraRequestError.
    void verify();

    // POST /v1/completions: the completion text, or one of the errors of verify().
    std::string generate_text(const std::string& prompt);

    // The two halves of generate_text, for callers that send many requests themselves: the
    // request ready to go (the connection's headers, time-out, TLS settings), and the text of its
    // answer (or one of the errors of verify()).
    HttpRequest completion_request(const std::string& prompt) const;
    std::string read_completion(const HttpRequest& request, const HttpResponse& response) const;

    const Connection& connection() const noexcept { return connection_; }
    const std::string& model_id() const noexcept { return model_id_; }

  private:
    void check_model();
    HttpRequest prepared(HttpRequest described) const;
    HttpResponse send(const HttpRequest& request);
    [[noreturn]] void fail(const HttpRequest& request, const HttpResponse& response) const;
    std::string safe(std::string text) const { return redact(std::move(text), connection_.secrets); }

    std::string model_id_;
    std::optional<std::string> project_id_;
    InferenceOptions options_;
    Connection connection_;
    std::mutex mutex_;  // one exchange at a time on the shared handle
    HttpClient client_;
};

}  // namespace velora::core::nimbra
