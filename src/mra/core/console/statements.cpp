#include "mra/core/console/statements.hpp"

#include "common/http/url_encoding.hpp"
#include "mra/core/console/json.hpp"

namespace velora::core::console {

std::string escape_literal(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

std::string console_base_url(std::string_view vn_url) {
    while (!vn_url.empty() && vn_url.back() == '/') vn_url.remove_suffix(1);
    return std::string(vn_url);
}

std::string model_id_statement(QueryForm form, std::string_view model_name) {
    const std::string name = escape_literal(model_name);
    if (form == QueryForm::Get) {
        return "SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('" + name + "')";
    }
    return "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('" + name + "')";
}

std::string metric_definitions_statement(QueryForm form, std::string_view model_id,
                                         std::string_view risk_name) {
    const std::string columns = form == QueryForm::Get
                                    ? "[Metric].[Resource ID]"
                                    : "[Metric].[Resource ID], [Metric].[Name], [Metric].[Description]";
    return "SELECT " + columns +
           " FROM [Model] JOIN [Metric] ON PARENT([Model]) WHERE [Model].[Resource ID]='" +
           escape_literal(model_id) + "' AND [Metric].[Description] LIKE '%" + escape_literal(risk_name) +
           "%'";
}

std::string metric_values_statement(std::string_view metric_id) {
    // Two blanks before FROM, as the console has always been sent it.
    return "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) WHERE "
           "[Metric].[Resource ID]='" +
           escape_literal(metric_id) + "'";
}

std::string query_get_url(std::string_view base, std::string_view statement) {
    return std::string(base) + "/api/query?q=" + percent_encode(statement);
}

std::string model_id_post_url(std::string_view base) { return std::string(base) + "/vngrc/api/v2/query"; }

std::string grc_query_post_url(std::string_view base) { return std::string(base) + "/grc/api/query"; }

std::string query_post_body(std::string_view statement) {
    Json body = Json::object();
    body["statement"] = std::string(statement);
    body["skipCount"] = 0;
    return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace velora::core::console
