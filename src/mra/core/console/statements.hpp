// Query statements of the governance console and the two request forms that carry them.
//
// Model names, ids and risk names are substituted as text; a single quote in a substituted value is
// doubled, so that a name such as "O'Brien" stays one quoted literal instead of ending it (a value
// without quotes gives the statement unchanged).
#pragma once

#include <string>
#include <string_view>

namespace velora::core::console {

enum class QueryForm { Get, Post };

// The value with every "'" doubled, for use inside a quoted literal of a statement.
std::string escape_literal(std::string_view value);

// The console URL without its trailing "/" characters (all of them).
std::string console_base_url(std::string_view vn_url);

std::string model_id_statement(QueryForm form, std::string_view model_name);
std::string metric_definitions_statement(QueryForm form, std::string_view model_id,
                                         std::string_view risk_name);
std::string metric_values_statement(std::string_view metric_id);

// base + "/api/query?q=" + the statement, percent-encoded so that the console decodes it back to
// exactly the text written (blanks, quotes, brackets and the "%" of LIKE patterns included).
std::string query_get_url(std::string_view base, std::string_view statement);

// The POST endpoints of the query service.
std::string model_id_post_url(std::string_view base);
std::string grc_query_post_url(std::string_view base);

// {"statement": ..., "skipCount": 0}
std::string query_post_body(std::string_view statement);

}  // namespace velora::core::console
