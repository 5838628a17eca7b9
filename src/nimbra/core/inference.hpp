// One model in one project on one inference service: the object behind ModelInference. It speaks
// the common completions API (common/completions_protocol.hpp) over the transport it is given.
// Construction only maps the credentials; verify() asks the service whether it serves the model
// and accepts the project, once per process for the same connection (address, credentials,
// project, TLS settings) and model; generate_text() runs one completion and generate_texts() a batch.
// Generation (and the model check, a read) retries transient failures under `retry`; every
// request is bounded by `timeout_seconds`. Each object owns its transport, so nothing is shared
// between two of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/completions_protocol.hpp"
#include "common/http/retry.hpp"
#include "common/http/transport.hpp"
#include "common/log_sink.hpp"

namespace velora::core::nimbra {

inline constexpr double kDefaultTimeoutSeconds = 120.0;
inline constexpr int kDefaultMaxTokens = 256;

using completions::Credentials;
// Credentials that cannot be used (no service address).
using NimbraCredentialsError = completions::CredentialsError;

// Every SDK failure; the bindings give each kind its own Python class.
class NimbraError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// The service refused the project (CannotSetProjectOrSpace on the Python side).
class NimbraProjectRejected : public NimbraError {
  public:
    using NimbraError::NimbraError;
};
// The service does not serve the model.
class NimbraModelNotServed : public NimbraError {
  public:
    using NimbraError::NimbraError;
};
// Transport failure, error status, refused credentials or an answer that cannot be read.
class NimbraRequestError : public NimbraError {
  public:
    using NimbraError::NimbraError;
};

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
    // `transport` performs every request (the retries wrap it); it must not be null.
    NimbraInference(std::string model_id, const Credentials& credentials,
                    std::optional<std::string> project_id, InferenceOptions options,
                    const std::optional<std::string>& url_fallback, std::shared_ptr<Transport> transport);

    // GET /v1/models: throws NimbraProjectRejected, NimbraModelNotServed or NimbraRequestError.
    void verify();

    // POST /v1/completions: the completion text, or one of the errors of verify().
    std::string generate_text(const std::string& prompt);

    // One completion per prompt, in prompt order, through the transport's batch. The first failed
    // prompt (in prompt order) throws its error; no partial answers are returned.
    std::vector<std::string> generate_texts(const std::vector<std::string>& prompts);

    const completions::Connection& connection() const noexcept { return connection_; }
    const std::string& model_id() const noexcept { return model_id_; }

  private:
    void check_model();
    HttpRequest prepared(HttpRequest request) const;
    // The request of one completion, ready to go; its answer is read by read_completion.
    HttpRequest completion_request(const std::string& prompt) const;
    HttpResponse send(const HttpRequest& request);
    std::string read_completion(const HttpRequest& request, const HttpResponse& response) const;
    [[noreturn]] void fail(const HttpRequest& request, const HttpResponse& response) const;
    [[noreturn]] void fail_transport(const HttpError& error) const;
    std::string safe(std::string text) const;

    std::string model_id_;
    std::optional<std::string> project_id_;
    InferenceOptions options_;
    completions::Connection connection_;
    std::shared_ptr<RetryingTransport> transport_;
};

}  // namespace velora::core::nimbra
