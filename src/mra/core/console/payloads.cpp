#include "mra/core/console/payloads.hpp"

#include <cmath>

#include "common/pynum.hpp"
#include "mra/core/console/errors.hpp"

namespace velora::core::console {
namespace {

constexpr int kPublishedDecimals = 4;

Json field_list(Json entries) {
    Json fields = Json::object();
    fields["field"] = std::move(entries);
    return fields;
}

Json enum_value(const char* name) {
    Json value = Json::object();
    value["name"] = name;
    return value;
}

}  // namespace

std::string metric_description(std::string_view metric_name) {
    return "MRA score for '" + std::string(metric_name) + "'";
}

Json metric_object_payload(const Json& primary_parent_id, std::string_view metric_name) {
    Json data_source = Json::object();
    data_source["name"] = "TQS-Metric:Data Source";
    data_source["dataType"] = "STRING_TYPE";
    data_source["value"] = "nimbra.governance";
    Json frequency = Json::object();
    frequency["name"] = "TQS-Metric:Frequency";
    frequency["dataType"] = "ENUM_TYPE";
    frequency["enumValue"] = enum_value("Multiple times a day");

    Json payload = Json::object();
    payload["name"] = std::string(metric_name);
    payload["description"] = metric_description(metric_name);
    payload["typeDefinitionId"] = "Metric";
    payload["primaryParentId"] = primary_parent_id;
    payload["fields"] = field_list(Json::array({std::move(data_source), std::move(frequency)}));
    return payload;
}

Json metric_value_payload(const Json& primary_parent_id, std::string_view metric_name,
                          const Json& metric_value) {
    // Breach status and red threshold are constants of the console's metric type, whatever the value.
    Json breach = Json::object();
    breach["name"] = "TQS-Metric-Shared:Breach Status";
    breach["dataType"] = "ENUM_TYPE";
    breach["enumValue"] = enum_value("Green");
    Json threshold = Json::object();
    threshold["name"] = "TQS-Metric-Shared:Red Threshold";
    threshold["dataType"] = "FLOAT_TYPE";
    threshold["value"] = 0.5;
    Json value = Json::object();
    value["name"] = "TQS-MetricVal:Value";
    value["dataType"] = "FLOAT_TYPE";
    value["value"] = metric_value;

    Json payload = Json::object();
    payload["typeDefinitionId"] = "MetricValue";
    payload["primaryParentId"] = primary_parent_id;
    payload["description"] = metric_description(metric_name);
    payload["fields"] = field_list(Json::array({std::move(breach), std::move(threshold), std::move(value)}));
    return payload;
}

bool has_bearer(const HttpHeaders& header) {
    for (const auto& [name, value] : header) {
        if (name == "Authorization") return value.find("Bearer") != std::string::npos;
    }
    throw ConsoleKeyError("Authorization");
}

std::string contents_url(std::string_view vn_url, const HttpHeaders& header) {
    return std::string(vn_url) + (has_bearer(header) ? "/api/contents" : "/grc/api/contents");
}

std::string content_url(std::string_view vn_url, const HttpHeaders& header, std::int64_t content_id) {
    return contents_url(vn_url, header) + "/" + std::to_string(content_id);
}

MetricNumber rounded_for_publishing(const MetricNumber& value) {
    if (const auto* d = std::get_if<double>(&value)) return round_half_even(*d, kPublishedDecimals);
    return value;
}

Json metric_number_json(const MetricNumber& value) {
    if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) {
            throw ConsoleValueError("metric value " + python_float_repr(*d) + " is not a finite number");
        }
        return *d;
    }
    return std::get<std::int64_t>(value);
}

}  // namespace velora::core::console
