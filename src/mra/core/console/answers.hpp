// Readers of the console's query answers: {"rows": [...]} with rows in one of two layouts,
//   nested  row -> "fields" (object) -> "field" (list of {"name", "value"})
//   flat    row -> "fields" (list of {"value"})     (only the POST form of the model-id query)
// An answer of another shape fails with ConsoleTypeError or ConsoleKeyError, worded like the
// runtime's errors for the same access, never with a crash.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "common/log_sink.hpp"
#include "mra/core/console/json.hpp"

namespace velora::core::console {

inline constexpr const char* kModelNotFound = "Model ID not found, check model name";

// value.get(key): null when the member is missing; ConsoleTypeError when value is no object.
const Json& member_or_null(const Json& value, const char* key);

// value[key]: ConsoleKeyError when the member is missing, ConsoleTypeError when value is no object.
const Json& member(const Json& value, const char* key);

// The model id of an answer to the GET form, or nullopt when it holds none. "rows" missing, null or
// empty logs kModelNotFound and fails with it (a general error); a first field without "value" is
// ConsoleKeyError "value".
std::optional<Json> model_id_from_get_answer(const Json& answer, LogSink& log);

// The same for the POST form (flat layout): a null answer is the general error here, while an
// answer without rows only holds no id; a first field without "value" reads as null.
std::optional<Json> model_id_from_post_answer(const Json& answer, LogSink& log);

// The "Resource ID" of every row (null for a row without one; the last such field wins), or
// nullopt when the answer has no rows. Rows without "fields" or "field" are skipped.
std::optional<std::vector<Json>> metric_ids_from_answer(const Json& answer);

// (metric name, value) pairs of a metric-value answer, in row order: a "Description" field sets the
// name to what follows its first apostrophe, a "TQS-MetricVal:Value" field sets the value, and both
// carry over from one row to the next (starting as null). Empty when the answer has no rows;
// ConsoleValueError when a row comes before any description.
std::vector<std::pair<Json, Json>> metric_values_from_answer(const Json& answer);

}  // namespace velora::core::console
