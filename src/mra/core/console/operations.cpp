#include "mra/core/console/operations.hpp"

#include "common/http/url_encoding.hpp"
#include "common/pytext.hpp"
#include "common/text.hpp"
#include "mra/core/console/answers.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/requests.hpp"
#include "mra/core/console/statements.hpp"

namespace velora::core::console {
namespace {

constexpr const char* kNoIamUrl = "Unable to determine IAM URL for the provided Varnel URL";
constexpr const char* kNoAccessToken = "Failed to retrieve access token from Velora Cloud IAM";
constexpr const char* kNoModelId = "Failed to get existing metric value";
constexpr const char* kNoDefinitionsAnswer = "Unable to get model metrics definitions from Varnel";
constexpr const char* kNoValuesAnswer = "Unable to get model metrics from Varnel";
constexpr const char* kNoStoredValues = "Unable to get model metrics definitions from varnel";
constexpr const char* kUnexpectedValues = "Unexpected error occurred when evaluating the request: ";

[[noreturn]] void fail(LogSink& log, const std::string& message) {
    log.debug(message);
    throw ConsoleError(message);
}

void rethrow_if_aborted(const HttpError& error) {
    if (error.kind() == HttpError::Kind::Aborted) throw error;
}

bool contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

// Inserts or replaces, keeping the first position, as a dictionary assignment does.
template <typename Key, typename Value>
Value& assign(std::vector<std::pair<Key, Value>>& entries, const Key& key, Value value) {
    for (auto& entry : entries) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return entry.second;
        }
    }
    entries.emplace_back(key, std::move(value));
    return entries.back().second;
}

HttpResponse query(const ConsoleSession& session, Transport& transport, QueryForm form,
                   const std::string& post_url, const std::string& statement) {
    const std::string base = console_base_url(session.vn_url());
    if (form == QueryForm::Get) {
        return transport.perform(
            query_get_request(query_get_url(base, statement), session.header(), session.settings()));
    }
    return transport.perform(
        query_post_request(post_url, query_post_body(statement), session.header(), session.settings()));
}

// An error's text as str(error) gives it: a missing key is written in quotes.
template <typename F>
void guarded(LogSink& log, const std::string& prefix, F&& body) {
    try {
        body();
    } catch (const ConsoleKeyError& error) {
        fail(log, prefix + "'" + error.what() + "'");
    } catch (const ConsoleTypeError& error) {
        fail(log, prefix + error.what());
    } catch (const ConsoleValueError& error) {
        fail(log, prefix + error.what());
    }
}

// Why a write's answer carries no id, or nullopt when it does.
std::optional<std::string> missing_id(const HttpResponse& response, const Json& answer) {
    const std::string status = "HTTP " + std::to_string(response.status);
    if (!answer.is_object()) return status + ", the answer is no JSON object";
    const auto it = answer.find("id");
    if (it == answer.end()) return status + ", the answer has no \"id\"";
    if (it->is_null()) return status + ", the answer's \"id\" is null";
    return std::nullopt;
}

}  // namespace

bool is_orrin_console(std::string_view vn_url) { return contains(vn_url, "orrin"); }

HttpHeaders header_dictionary(std::string_view token) {
    return {{"Content-Type", "application/json"},
            {"Accept", "application/json"},
            {"Authorization", "Bearer " + std::string(token)}};
}

HttpHeaders connect_orrin(const ConsoleSession& session, std::string_view host, const Json& username,
                          const Json& api_key) {
    LogSink& log = session.log();
    log.debug("Connecting to Varnel using Orrin credentials");
    Json body = Json::object();
    body["username"] = username;
    body["api_key"] = api_key;
    const HttpResponse response =
        session.transport().perform(orrin_authorize_request(host, request_body(body), session.settings()));
    if (response.status != 200) {
        fail(log, "Unable to connect to Varnel; error code:" + std::to_string(response.status));
    }
    log.debug("Successfully connected to Varnel");
    const Json answer = parse_body(response.body);
    return header_dictionary(python_text(member(answer, "token")));
}

HttpHeaders connect_cloud(const ConsoleSession& session,
                          const std::function<std::optional<std::string>()>& iam_url,
                          const std::optional<std::string>& apikey) {
    LogSink& log = session.log();
    log.debug("Attempting to connect to Varnel using cloud credentials");
    const std::optional<std::string> url = iam_url();
    if (!url || url->empty()) fail(log, kNoIamUrl);
    require_web_url(*url, "the IAM URL");
    log.debug("Using IAM URL: " + url_for_messages(*url));

    const std::string prefix = "Failed to authenticate with Velora Cloud IAM: ";
    Json token;
    try {
        const HttpResponse response = session.transport().perform(iam_token_request(*url, apikey));
        if (const auto status_error = http_status_error(response.status, *url))
            fail(log, prefix + *status_error);
        const Json answer = parse_body(response.body);
        if (answer.is_object()) token = member_or_null(answer, "access_token");
    } catch (const HttpError& error) {
        rethrow_if_aborted(error);
        fail(log, prefix + error.what());
    } catch (const ConsoleDecodeError& error) {
        fail(log, prefix + error.what());
    }
    if (!python_truthy(token)) fail(log, kNoAccessToken);
    log.debug("Successfully obtained access token from Velora Cloud IAM");
    return header_dictionary(python_text(token));
}

Json get_model_id(const ConsoleSession& session, std::string_view model_name) {
    LogSink& log = session.log();
    log.debug("Getting  model id, model_name from Varnel: " + std::string(model_name));
    const std::string base = console_base_url(session.vn_url());
    std::optional<Json> model_id;
    // The model lookup tests the lower-cased URL, unlike the value lookup.
    if (contains(ascii_lower(session.vn_url()), "orrin")) {
        const auto response = query(session, session.transport(), QueryForm::Get, "",
                                    model_id_statement(QueryForm::Get, model_name));
        model_id = model_id_from_get_answer(parse_body(response.body), log);
    } else {
        const auto response = query(session, session.transport(), QueryForm::Post, model_id_post_url(base),
                                    model_id_statement(QueryForm::Post, model_name));
        model_id = model_id_from_post_answer(parse_body(response.body), log);
    }
    if (!model_id || model_id->is_null() ||
        (model_id->is_string() && model_id->get_ref<const std::string&>().empty())) {
        fail(log, kNoModelId);
    }
    log.debug("Successfully fetched model id:" + python_text(*model_id));
    return *model_id;
}

std::optional<std::vector<Json>> metric_ids_of_risk(const ConsoleSession& session, Transport& transport,
                                                    std::string_view model_id, const std::string& risk) {
    const QueryForm form = has_bearer(session.header()) ? QueryForm::Get : QueryForm::Post;
    const auto response =
        query(session, transport, form, grc_query_post_url(console_base_url(session.vn_url())),
              metric_definitions_statement(form, model_id, risk));
    const Json answer = parse_body(response.body);
    if (answer.is_null()) fail(session.log(), kNoDefinitionsAnswer);
    std::optional<std::vector<Json>> ids;
    guarded(session.log(), "Failed to fetch model metrics definitions from Varnel ", [&] {
        ids = metric_ids_from_answer(answer);
        session.log().debug("Completed fetching model metrics definitions");
    });
    return ids;
}

MetricsMap get_metric_definitions(const ConsoleSession& session, std::string_view model_id,
                                  const std::vector<std::string>& risks) {
    session.log().debug("Getting Varnel model metrics definitions, model_id: " + std::string(model_id));
    MetricsMap metrics;
    for (const std::string& risk : risks) {
        if (auto ids = metric_ids_of_risk(session, session.transport(), model_id, risk)) {
            assign(metrics, risk, std::move(*ids));
        }
    }
    return metrics;
}

StoredValues get_metric_values(const ConsoleSession& session, const MetricIdTexts& metrics) {
    LogSink& log = session.log();
    log.debug("Metrics object is found; Fetching values.");
    const std::string post_url = grc_query_post_url(console_base_url(session.vn_url()));
    // Case-sensitive here, unlike the model lookup.
    const QueryForm form = is_orrin_console(session.vn_url()) ? QueryForm::Get : QueryForm::Post;
    StoredValues result;
    for (const auto& [risk, metric_ids] : metrics) {
        auto& stored = assign(result, risk, {});
        for (const std::string& metric_id : metric_ids) {
            const auto response =
                query(session, session.transport(), form, post_url, metric_values_statement(metric_id));
            const Json answer = parse_body(response.body);
            if (answer.is_null()) fail(log, kNoValuesAnswer);
            if (!python_truthy(member_or_null(answer, "rows"))) continue;
            guarded(log, kUnexpectedValues, [&] {
                for (auto& [name, value] : metric_values_from_answer(answer))
                    assign(stored, name, std::move(value));
            });
        }
    }
    if (result.empty()) fail(log, kNoStoredValues);
    return result;
}

void fail_unnamed_stored_value(const ConsoleSession& session) {
    fail(session.log(), std::string(kUnexpectedValues) + "a metric value row has no \"Description\" field");
}

WriteResult post_content(const ConsoleSession& session, const std::string& payload_text) {
    const std::string url = contents_url(session.vn_url(), session.header());
    try {
        const HttpResponse response = session.write_transport().perform(
            write_request(url, payload_text, session.header(), session.settings()));
        const Json answer = parse_body(response.body);
        if (auto problem = missing_id(response, answer)) return {std::nullopt, std::move(*problem)};
        return {answer.at("id"), ""};
    } catch (const HttpError& error) {
        rethrow_if_aborted(error);
        return {std::nullopt, error.what()};
    } catch (const ConsoleDecodeError& error) {
        return {std::nullopt, std::string("the answer is not JSON (") + error.what() + ")"};
    }
}

}  // namespace velora::core::console
