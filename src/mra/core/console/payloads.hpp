// Write payloads of the governance console: the metric object under a model and the metric value
// under a metric object, the endpoints they go to, and the value a metric is published with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/http/client.hpp"
#include "mra/core/console/json.hpp"

namespace velora::core::console {

// "MRA score for '<metric name>'": the console's description of both objects; the metric name is
// read back from it (after the first apostrophe).
std::string metric_description(std::string_view metric_name);

// Members in the console's order; ids are passed as received (text or number).
Json metric_object_payload(const Json& primary_parent_id, std::string_view metric_name);
Json metric_value_payload(const Json& primary_parent_id, std::string_view metric_name,
                          const Json& metric_value);

// True when the header dictionary's "Authorization" value contains "Bearer" (ConsoleKeyError
// "Authorization" when the dictionary has no such entry).
bool has_bearer(const HttpHeaders& header);

// vn_url + "/api/contents" with a bearer header, vn_url + "/grc/api/contents" otherwise; the
// console URL is taken as configured (a trailing "/" is kept).
std::string contents_url(std::string_view vn_url, const HttpHeaders& header);
std::string content_url(std::string_view vn_url, const HttpHeaders& header, std::int64_t content_id);

// A metric value as it reaches the publisher: an integer, a float, or the reason it cannot be
// published (the runtime's text of the failed rounding).
using MetricNumber = std::variant<std::int64_t, double>;

// round(value, 4) with ties to even; integers are returned unchanged, as the runtime does.
MetricNumber rounded_for_publishing(const MetricNumber& value);

// The JSON number of a rounded value; ConsoleValueError for NaN and infinities, which JSON cannot
// carry and the console cannot store.
Json metric_number_json(const MetricNumber& value);

}  // namespace velora::core::console
