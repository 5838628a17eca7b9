// The governance-console operations: authentication, the three queries, the two writes, the
// roll-back and the publishing of one metric. Each works within a ConsoleSession (transport, log
// sink, console URL, header dictionary, settings). Failures are the typed errors of errors.hpp;
// transport failures are HttpError and pass through unchanged unless an operation says otherwise.
// An HttpError of kind Aborted (an interrupted request) always passes through.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "mra/core/console/json.hpp"
#include "mra/core/console/payloads.hpp"
#include "mra/core/console/session.hpp"

namespace velora::core::console {

// True when the console URL names an on-premises deployment ("orrin" in it, case-sensitive).
bool is_orrin_console(std::string_view vn_url);

// The header dictionary: Content-Type, Accept, then "Authorization: Bearer <token>".
HttpHeaders header_dictionary(std::string_view token);

// On-premises: the platform's authorisation endpoint at `host`. `username` and `api_key` are
// written into the body as given (null when absent).
HttpHeaders connect_orrin(const ConsoleSession& session, std::string_view host, const Json& username,
                          const Json& api_key);

// Cloud: the token endpoint that `iam_url` names once asked (null or empty: none is known;
// ConsoleValueError for one that is no http:// or https:// URL).
HttpHeaders connect_cloud(const ConsoleSession& session,
                          const std::function<std::optional<std::string>()>& iam_url,
                          const std::optional<std::string>& apikey);

// The console's resource id of the model titled `model_name`.
Json get_model_id(const ConsoleSession& session, std::string_view model_name);

// Risk name -> metric ids ({"metric_id": ...} entries), in the order of `risks`; risks without rows
// have no entry.
using MetricsMap = std::vector<std::pair<std::string, std::vector<Json>>>;
MetricsMap get_metric_definitions(const ConsoleSession& session, std::string_view model_id,
                                  const std::vector<std::string>& risks);

// The metric ids listed under one risk (nullopt when the console lists no rows), asked over
// `transport`; the answer's problems fail as get_metric_definitions says.
std::optional<std::vector<Json>> metric_ids_of_risk(const ConsoleSession& session, Transport& transport,
                                                    std::string_view model_id, const std::string& risk);

// Risk name -> the texts of its metric ids, as the caller's metrics map holds them.
using MetricIdTexts = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Risk name -> (metric name, stored value) with dictionary semantics (a later name replaces the
// value and keeps the first position).
using StoredValues = std::vector<std::pair<std::string, std::vector<std::pair<Json, Json>>>>;
StoredValues get_metric_values(const ConsoleSession& session, const MetricIdTexts& metrics);
// A stored value whose rows named no metric (no "Description" before it) cannot become a result:
// the console run fails on it as on an unexpected answer, logged.
[[noreturn]] void fail_unnamed_stored_value(const ConsoleSession& session);

// A write's outcome: the "id" of the answer, or why there is none (the request failed, the answer
// is not JSON, has no "id" or a null one). Nothing is logged.
struct WriteResult {
    std::optional<Json> id;
    std::string failure;
};
WriteResult post_content(const ConsoleSession& session, const std::string& payload_text);

// Why a roll-back runs: the failure's message (empty for a plain delete) and whether Ctrl-C
// caused it.
struct RollbackCause {
    std::string message;
    bool interrupted = false;
};

// Deletes every metric object the console lists under `risks` for the model, and every one the
// session created. Failed deletes do not stop the others; transient failures (connection errors,
// 429, 5xx) are retried with back-off; the whole is bounded by the settings' roll-back bound.
// Logs "all metrics object got deleted" when nothing is left; otherwise logs a warning and throws
// ConsoleRollbackError naming the metric objects left on the console.
void delete_metric_objects(ConsoleSession& session, std::string_view model_id,
                           const std::vector<std::string>& risks, const RollbackCause& cause = {});

// A value that cannot be published: the text of the type error it raises.
struct Unpublishable {
    std::string reason;
};
using PublishValue = std::variant<MetricNumber, Unpublishable>;

struct PublishedIds {
    Json metric_object_id;
    Json metric_value_id;
};

// One metric: its metric object under the model, then its value under that object. When the
// value cannot be published, either write fails, or the publishing is interrupted, the metric
// objects of `rollback_risks` are deleted (delete_metric_objects) and the operation fails
// (ConsoleTypeError or ConsoleValueError for the value, ConsoleError for the writes, the
// interruption as it came); a roll-back that leaves objects behind fails in their place.
PublishedIds publish_metric(ConsoleSession& session, std::string_view metric_name, const PublishValue& value,
                            const Json& model_id, const std::vector<std::string>& rollback_risks);

}  // namespace velora::core::console
