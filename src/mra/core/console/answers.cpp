#include "mra/core/console/answers.hpp"

#include <string>

#include "mra/core/console/errors.hpp"

namespace velora::core::console {
namespace {

// seq[0], or nullptr when seq is an empty list (an answer that holds nothing there).
const Json* first_item(const Json& seq) {
    if (seq.is_array()) return seq.empty() ? nullptr : &seq.front();
    if (seq.is_object()) throw ConsoleKeyError("0");
    throw ConsoleTypeError(std::string("'") + python_type_name(seq) + "' object is not subscriptable");
}

// The elements `for item in seq` visits, for the list layouts of the answers.
const Json& iterable(const Json& seq) {
    if (seq.is_array()) return seq;
    throw ConsoleTypeError(std::string("'") + python_type_name(seq) + "' object is not iterable as a list");
}

bool has_name(const Json& element, const char* name) {
    const Json& value = member_or_null(element, "name");
    return value.is_string() && value.get_ref<const std::string&>() == name;
}

}  // namespace

const Json& member_or_null(const Json& value, const char* key) {
    static const Json null_value;
    if (!value.is_object()) {
        throw ConsoleTypeError(std::string("'") + python_type_name(value) +
                               "' object has no attribute 'get'");
    }
    const auto it = value.find(key);
    return it == value.end() ? null_value : *it;
}

const Json& member(const Json& value, const char* key) {
    if (value.is_object()) {
        const auto it = value.find(key);
        if (it == value.end()) throw ConsoleKeyError(key);
        return *it;
    }
    if (value.is_array()) throw ConsoleTypeError("list indices must be integers or slices, not str");
    if (value.is_string()) throw ConsoleTypeError("string indices must be integers, not 'str'");
    throw ConsoleTypeError(std::string("'") + python_type_name(value) + "' object is not subscriptable");
}

std::optional<Json> model_id_from_get_answer(const Json& answer, LogSink& log) {
    if (answer.is_null()) return std::nullopt;
    const Json& rows = member_or_null(answer, "rows");
    if (!python_truthy(rows)) {
        log.debug(kModelNotFound);
        throw ConsoleError(kModelNotFound);
    }
    const Json* row = first_item(rows);
    if (row == nullptr) return std::nullopt;
    const Json& fields = member_or_null(*row, "fields");
    if (fields.is_null()) return std::nullopt;
    const Json& field = member_or_null(fields, "field");
    if (!python_truthy(field)) return std::nullopt;
    const Json* first = first_item(field);
    if (first == nullptr) return std::nullopt;
    return member(*first, "value");
}

std::optional<Json> model_id_from_post_answer(const Json& answer, LogSink& log) {
    if (answer.is_null()) {
        log.debug(kModelNotFound);
        throw ConsoleError(kModelNotFound);
    }
    const Json& rows = member_or_null(answer, "rows");
    if (!python_truthy(rows)) return std::nullopt;
    const Json* row = first_item(rows);
    if (row == nullptr) return std::nullopt;
    const Json& fields = member_or_null(*row, "fields");
    if (fields.is_null()) return std::nullopt;
    const Json* first = first_item(fields);
    if (first == nullptr) return std::nullopt;
    return member_or_null(*first, "value");
}

std::optional<std::vector<Json>> metric_ids_from_answer(const Json& answer) {
    const Json& rows = member_or_null(answer, "rows");
    if (!python_truthy(rows)) return std::nullopt;
    std::vector<Json> ids;
    for (const Json& row : iterable(rows)) {
        const Json& fields = member_or_null(row, "fields");
        if (fields.is_null()) continue;
        const Json& field = member_or_null(fields, "field");
        if (field.is_null()) continue;
        Json metric_id;
        for (const Json& element : iterable(field)) {
            if (has_name(element, "Resource ID")) metric_id = member_or_null(element, "value");
        }
        ids.push_back(std::move(metric_id));
    }
    return ids;
}

std::vector<std::pair<Json, Json>> metric_values_from_answer(const Json& answer) {
    std::vector<std::pair<Json, Json>> values;
    const Json& rows = member_or_null(answer, "rows");
    if (!python_truthy(rows)) return values;
    Json name, value;
    for (const Json& row : iterable(rows)) {
        for (const Json& element : iterable(member(member(row, "fields"), "field"))) {
            if (has_name(element, "Description")) {
                const Json& description = member(element, "value");
                if (!description.is_string()) {
                    throw ConsoleTypeError(std::string("'") + python_type_name(description) +
                                           "' object has no attribute 'split'");
                }
                const std::string& text = description.get_ref<const std::string&>();
                const auto apostrophe = text.find('\'');
                name = apostrophe == std::string::npos ? text : text.substr(apostrophe + 1);
            } else if (has_name(element, "TQS-MetricVal:Value")) {
                value = member(element, "value");
            }
        }
        // A row without a description belongs to the name the previous row left (null at first).
        values.emplace_back(name, value);
    }
    return values;
}

}  // namespace velora::core::console
