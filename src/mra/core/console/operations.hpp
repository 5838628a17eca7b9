// The governance-console operations: authentication, the three queries, the two writes, the
// roll-back and the publishing of one metric. Each takes the transport that performs its requests
// (the bindings hand in one that releases the interpreter while it waits) and the sink its log
// lines go to. Failures are the typed errors of console_errors.hpp; transport failures are
// HttpError and pass through unchanged unless an operation says otherwise. An HttpError of kind
// Aborted (an interrupted request) always passes through.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/http/message.hpp"
#include "common/http/transport.hpp"
#include "common/log_sink.hpp"
#include "mra/core/console/json.hpp"
#include "mra/core/console/payloads.hpp"

namespace velora::core::console {

// True when the console URL names an on-premises deployment ("orrin" in it, case-sensitive).
bool is_orrin_console(std::string_view vn_url);

// The header dictionary: Content-Type, Accept, then "Authorization: Bearer <token>".
HttpHeaders header_dictionary(std::string_view token);

// On-premises: the platform's authorisation endpoint at `host`. `username` and `api_key` are
// written into the body as given (null when absent).
HttpHeaders connect_orrin(Transport& transport, LogSink& log, std::string_view host, const Json& username,
                          const Json& api_key);

// Cloud: the token endpoint that `iam_url` names once asked (null or empty: none is known).
HttpHeaders connect_cloud(Transport& transport, LogSink& log,
                          const std::function<std::optional<std::string>()>& iam_url,
                          const std::optional<std::string>& apikey);

// The console's resource id of the model titled `model_name`.
Json get_model_id(Transport& transport, LogSink& log, const HttpHeaders& header, std::string_view model_name,
                  std::string_view vn_url);

// Risk name -> metric ids ({"metric_id": ...} entries), in the order of `risks`; risks without rows
// have no entry.
using MetricsMap = std::vector<std::pair<std::string, std::vector<Json>>>;
MetricsMap get_metric_definitions(Transport& transport, LogSink& log, const HttpHeaders& header,
                                  std::string_view model_id, const std::vector<std::string>& risks,
                                  std::string_view vn_url);

// Risk name -> the texts of its metric ids, as the caller's metrics map holds them.
using MetricIdTexts = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Risk name -> (metric name, stored value) with dictionary semantics (a later name replaces the
// value and keeps the first position); a name is null when no row so far carried a description.
using StoredValues = std::vector<std::pair<std::string, std::vector<std::pair<Json, Json>>>>;
StoredValues get_metric_values(Transport& transport, LogSink& log, const MetricIdTexts& metrics,
                               const HttpHeaders& header, std::string_view vn_url);

// Posts a metric object or metric value payload; the "id" of the answer, or nullopt when the
// request failed, the answer is not JSON or has no "id" (nothing is logged then).
std::optional<Json> post_content(Transport& transport, const std::string& payload_text,
                                 std::string_view vn_url, const HttpHeaders& header);

// Deletes every metric object that the console lists under `risks` for the model.
void delete_metric_objects(Transport& transport, LogSink& log, std::string_view vn_url,
                           std::string_view model_id, const std::vector<std::string>& risks,
                           const HttpHeaders& header);

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
// value cannot be published, or either write fails, every metric object listed under
// `rollback_risks` is deleted and the operation fails (ConsoleTypeError or ConsoleValueError for
// the value, ConsoleError for the writes); errors of the roll-back itself take their place.
PublishedIds publish_metric(Transport& transport, LogSink& log, std::string_view metric_name,
                            const PublishValue& value, const Json& model_id, std::string_view vn_url,
                            const HttpHeaders& header, const std::vector<std::string>& rollback_risks);

}  // namespace velora::core::console
