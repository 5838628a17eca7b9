// The roll-back of a failed publish: list what the console holds under the run's risks, add what
// the session itself created, delete each one, and say exactly what could not be deleted.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>

#include "common/http/retry.hpp"
#include "common/http/url_encoding.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"
#include "mra/core/console/requests.hpp"

namespace velora::core::console {
namespace {

using Clock = std::chrono::steady_clock;

// Deletes and listings are safe to repeat: transient failures get three more tries.
const RetryPolicy kRollbackRetry{4, 0.5, 2.0, 4.0, 10.0};

// The roll-back's requests: transient failures are tried again after a pause, and no request
// outlasts the roll-back's time bound.
class RollbackTransport final : public Transport {
  public:
    explicit RollbackTransport(const ConsoleSession& session)
        : session_(session),
          deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                       session.settings().rollback_bound_seconds))) {}

    HttpResponse perform(const HttpRequest& request) override {
        for (int attempt = 1;; ++attempt) {
            AttemptOutcome outcome;
            std::optional<HttpResponse> response;
            std::exception_ptr failure;
            try {
                response = session_.transport().perform(bounded(request));
                outcome.status = response->status;
                outcome.retry_after = response->header("Retry-After");
            } catch (const HttpError& error) {
                if (error.kind() == HttpError::Kind::Aborted) throw;
                outcome.error = error.kind();
                failure = std::current_exception();
            }
            const auto delay = retry_delay(kRollbackRetry, attempt, outcome, std::time(nullptr));
            if (!delay || *delay >= seconds_left()) {
                if (response) return std::move(*response);
                std::rethrow_exception(failure);
            }
            session_.log().debug(std::string(method_name(request.method)) + " " +
                                 url_for_messages(request.url) + " is tried again in " +
                                 python_float_repr(*delay) + " s");
            session_.pause(*delay);
        }
    }

  private:
    double seconds_left() const { return std::chrono::duration<double>(deadline_ - Clock::now()).count(); }

    HttpRequest bounded(const HttpRequest& request) const {
        const double left = seconds_left();
        if (left <= 0) {
            throw HttpError(HttpError::Kind::Timeout, 0,
                            "the roll-back's time bound of " +
                                python_float_repr(session_.settings().rollback_bound_seconds) +
                                " s was reached");
        }
        HttpRequest copy = request;
        copy.timeout_seconds = std::min(request.timeout_seconds.value_or(left), left);
        copy.connect_timeout_seconds = std::min(request.connect_timeout_seconds, left);
        return copy;
    }

    const ConsoleSession& session_;
    Clock::time_point deadline_;
};

struct RollbackReport {
    std::vector<std::string> unlisted;  // risks whose metric objects could not be listed, and why
    std::vector<std::string> left;      // ids of the metric objects still on the console
    bool interrupted = false;

    bool complete() const { return unlisted.empty() && left.empty(); }
};

// What a failure of one roll-back request says; an interruption also stops the rest.
std::string failure_reason(RollbackReport& report) {
    try {
        throw;
    } catch (const HttpError& error) {
        if (error.kind() != HttpError::Kind::Aborted) return error.what();
        report.interrupted = true;
        return "interrupted";
    } catch (const ConsoleException& error) {
        return error.what();
    }
}

void add_unique(std::vector<Json>& ids, const Json& id) {
    const std::string text = python_text(id);
    if (std::none_of(ids.begin(), ids.end(), [&](const Json& known) { return python_text(known) == text; }))
        ids.push_back(id);
}

std::vector<Json> objects_to_delete(const ConsoleSession& session, Transport& transport,
                                    std::string_view model_id, const std::vector<std::string>& risks,
                                    RollbackReport& report) {
    session.log().debug("Getting Varnel model metrics definitions, model_id: " + std::string(model_id));
    std::vector<Json> ids;
    for (const std::string& risk : risks) {
        try {
            if (report.interrupted) throw HttpError(HttpError::Kind::Aborted, 0, "interrupted");
            const auto listed = metric_ids_of_risk(session, transport, model_id, risk);
            for (const Json& id : listed.value_or(std::vector<Json>{})) add_unique(ids, id);
        } catch (...) {
            report.unlisted.push_back("'" + risk + "' (" + failure_reason(report) + ")");
        }
    }
    for (const Json& id : session.created()) add_unique(ids, id);
    return ids;
}

void delete_each(const ConsoleSession& session, Transport& transport, const std::vector<Json>& ids,
                 RollbackReport& report) {
    for (const Json& id : ids) {
        std::string problem;
        try {
            if (report.interrupted) throw HttpError(HttpError::Kind::Aborted, 0, "interrupted");
            const std::string url = content_url(session.vn_url(), session.header(), python_int(id));
            const HttpResponse response =
                transport.perform(delete_request(url, session.header(), session.settings()));
            // 404: already gone, which is all a roll-back wants.
            if ((response.status < 200 || response.status > 299) && response.status != 404)
                problem = "HTTP " + std::to_string(response.status);
        } catch (...) {
            problem = failure_reason(report);
        }
        if (problem.empty()) continue;
        report.left.push_back(python_text(id));
        session.log().warning("Metric object " + python_text(id) + " could not be deleted: " + problem);
    }
}

std::string join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string rollback_message(const std::string& cause, const RollbackReport& report) {
    std::string text = cause.empty() ? "Roll-back incomplete: " : cause + "; roll-back incomplete: ";
    if (!report.unlisted.empty()) {
        text += "the metric objects of " + join(report.unlisted) +
                " could not be listed, more of them may be left on the console; ";
    }
    if (report.left.empty()) return text + "no metric object known to this run is left";
    return text + "metric objects left on the console (remove them by hand): " + join(report.left);
}

}  // namespace

void delete_metric_objects(ConsoleSession& session, std::string_view model_id,
                           const std::vector<std::string>& risks, const RollbackCause& cause) {
    session.mark_rolled_back();
    RollbackTransport transport(session);
    RollbackReport report;
    delete_each(session, transport, objects_to_delete(session, transport, model_id, risks, report), report);
    if (report.complete()) {
        session.log().debug("all metrics object got deleted");
        return;
    }
    const std::string message = rollback_message(cause.message, report);
    session.log().warning(message);
    throw ConsoleRollbackError(message, report.left, cause.interrupted || report.interrupted);
}

}  // namespace velora::core::console
