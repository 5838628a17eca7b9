#include "mra/core/console/operations.hpp"

#include "common/http/url_encoding.hpp"
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

[[noreturn]] void fail(LogSink& log, const std::string& message) {
    log.debug(message);
    throw ConsoleError(message);
}

void rethrow_if_aborted(const HttpError& error) {
    if (error.kind() == HttpError::Kind::Aborted) throw error;
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

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

HttpResponse query(Transport& transport, QueryForm form, const std::string& base, const std::string& post_url,
                   const std::string& statement, const HttpHeaders& header) {
    if (form == QueryForm::Get)
        return transport.perform(query_get_request(query_get_url(base, statement), header));
    return transport.perform(query_post_request(post_url, query_post_body(statement), header));
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

}  // namespace

bool is_orrin_console(std::string_view vn_url) { return contains(vn_url, "orrin"); }

HttpHeaders header_dictionary(std::string_view token) {
    return {{"Content-Type", "application/json"},
            {"Accept", "application/json"},
            {"Authorization", "Bearer " + std::string(token)}};
}

HttpHeaders connect_orrin(Transport& transport, LogSink& log, std::string_view host, const Json& username,
                          const Json& api_key) {
    log.debug("Connecting to Varnel using Orrin credentials");
    Json body = Json::object();
    body["username"] = username;
    body["api_key"] = api_key;
    const HttpResponse response = transport.perform(orrin_authorize_request(host, dump(body)));
    if (response.status != 200) {
        fail(log, "Unable to connect to Varnel; error code:" + std::to_string(response.status));
    }
    log.debug("Successfully connected to Varnel");
    const Json answer = parse_body(response.body);
    return header_dictionary(python_text(member(answer, "token")));
}

HttpHeaders connect_cloud(Transport& transport, LogSink& log,
                          const std::function<std::optional<std::string>()>& iam_url,
                          const std::optional<std::string>& apikey) {
    log.debug("Attempting to connect to Varnel using cloud credentials");
    const std::optional<std::string> url = iam_url();
    if (!url || url->empty()) fail(log, kNoIamUrl);
    log.debug("Using IAM URL: " + url_for_messages(*url));

    const std::string prefix = "Failed to authenticate with Velora Cloud IAM: ";
    Json token;
    try {
        const HttpResponse response = transport.perform(iam_token_request(*url, apikey));
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

Json get_model_id(Transport& transport, LogSink& log, const HttpHeaders& header, std::string_view model_name,
                  std::string_view vn_url) {
    log.debug("Getting  model id, model_name from Varnel: " + std::string(model_name));
    const std::string base = console_base_url(vn_url);
    std::optional<Json> model_id;
    // The model lookup tests the lower-cased URL, unlike the value lookup.
    if (contains(ascii_lower(vn_url), "orrin")) {
        const auto response = query(transport, QueryForm::Get, base, "",
                                    model_id_statement(QueryForm::Get, model_name), header);
        model_id = model_id_from_get_answer(parse_body(response.body), log);
    } else {
        const auto response = query(transport, QueryForm::Post, base, model_id_post_url(base),
                                    model_id_statement(QueryForm::Post, model_name), header);
        model_id = model_id_from_post_answer(parse_body(response.body), log);
    }
    if (!model_id || model_id->is_null() ||
        (model_id->is_string() && model_id->get_ref<const std::string&>().empty())) {
        fail(log, kNoModelId);
    }
    log.debug("Successfully fetched model id:" + python_text(*model_id));
    return *model_id;
}

MetricsMap get_metric_definitions(Transport& transport, LogSink& log, const HttpHeaders& header,
                                  std::string_view model_id, const std::vector<std::string>& risks,
                                  std::string_view vn_url) {
    log.debug("Getting Varnel model metrics definitions, model_id: " + std::string(model_id));
    const std::string base = console_base_url(vn_url);
    MetricsMap metrics;
    for (const std::string& risk : risks) {
        const QueryForm form = has_bearer(header) ? QueryForm::Get : QueryForm::Post;
        const auto response = query(transport, form, base, grc_query_post_url(base),
                                    metric_definitions_statement(form, model_id, risk), header);
        const Json answer = parse_body(response.body);
        if (answer.is_null()) fail(log, kNoDefinitionsAnswer);
        guarded(log, "Failed to fetch model metrics definitions from Varnel ", [&] {
            if (auto ids = metric_ids_from_answer(answer)) assign(metrics, risk, std::move(*ids));
            log.debug("Completed fetching model metrics definitions");
        });
    }
    return metrics;
}

StoredValues get_metric_values(Transport& transport, LogSink& log, const MetricIdTexts& metrics,
                               const HttpHeaders& header, std::string_view vn_url) {
    log.debug("Metrics object is found; Fetching values.");
    const std::string base = console_base_url(vn_url);
    // Case-sensitive here, unlike the model lookup.
    const QueryForm form = is_orrin_console(vn_url) ? QueryForm::Get : QueryForm::Post;
    StoredValues result;
    for (const auto& [risk, metric_ids] : metrics) {
        auto& stored = assign(result, risk, {});
        for (const std::string& metric_id : metric_ids) {
            const auto response = query(transport, form, base, grc_query_post_url(base),
                                        metric_values_statement(metric_id), header);
            const Json answer = parse_body(response.body);
            if (answer.is_null()) fail(log, kNoValuesAnswer);
            if (!python_truthy(member_or_null(answer, "rows"))) continue;
            guarded(log, "Unexpected error occurred when evaluating the request: ", [&] {
                for (auto& [name, value] : metric_values_from_answer(answer))
                    assign(stored, name, std::move(value));
            });
        }
    }
    if (result.empty()) fail(log, kNoStoredValues);
    return result;
}

std::optional<Json> post_content(Transport& transport, const std::string& payload_text,
                                 std::string_view vn_url, const HttpHeaders& header) {
    const std::string url = contents_url(vn_url, header);
    try {
        const HttpResponse response = transport.perform(write_request(url, payload_text, header));
        return member(parse_body(response.body), "id");
    } catch (const HttpError& error) {
        rethrow_if_aborted(error);
    } catch (const ConsoleDecodeError&) {
    } catch (const ConsoleKeyError&) {
    } catch (const ConsoleTypeError&) {
    }
    return std::nullopt;
}

void delete_metric_objects(Transport& transport, LogSink& log, std::string_view vn_url,
                           std::string_view model_id, const std::vector<std::string>& risks,
                           const HttpHeaders& header) {
    const MetricsMap metrics = get_metric_definitions(transport, log, header, model_id, risks, vn_url);
    for (const auto& [risk, metric_ids] : metrics) {
        for (const Json& metric_id : metric_ids) {
            transport.perform(delete_request(content_url(vn_url, header, python_int(metric_id)), header));
        }
    }
    log.debug("all metrics object got deleted");
}

PublishedIds publish_metric(Transport& transport, LogSink& log, std::string_view metric_name,
                            const PublishValue& value, const Json& model_id, std::string_view vn_url,
                            const HttpHeaders& header, const std::vector<std::string>& rollback_risks) {
    const std::string name(metric_name);
    const std::string model_text = python_text(model_id);
    const auto roll_back = [&] {
        delete_metric_objects(transport, log, vn_url, model_text, rollback_risks, header);
    };
    log.debug(name + ":Creating metric object");

    // A value the console cannot take is found out before anything is written, so that no metric
    // object is ever left without its value.
    Json number;
    std::string problem;
    bool type_problem = false;
    if (const auto* unpublishable = std::get_if<Unpublishable>(&value)) {
        problem = unpublishable->reason;
        type_problem = true;
    } else {
        try {
            number = metric_number_json(rounded_for_publishing(std::get<MetricNumber>(value)));
        } catch (const ConsoleValueError& error) {
            problem = error.what();
        }
    }
    if (!problem.empty()) {
        log.debug(name + ": the value cannot be published (" + problem + "), all metrics will be deleted ");
        roll_back();
        if (type_problem) throw ConsoleTypeError(problem);
        throw ConsoleValueError(problem);
    }

    const auto object_id =
        post_content(transport, dump(metric_object_payload(model_id, name)), vn_url, header);
    if (!object_id || object_id->is_null()) {
        log.debug("Unable to create metrics object, all metrics will be deleted ");
        roll_back();
        throw ConsoleError("Unable to create metrics object, please try again");
    }
    const auto value_id =
        post_content(transport, dump(metric_value_payload(*object_id, name, number)), vn_url, header);
    if (!value_id || value_id->is_null()) {
        log.debug("Unable to add metric value to metric object, all metrics will be deleted ");
        roll_back();
        throw ConsoleError("Unable to add metric value to metric object, please try again");
    }
    log.debug(name + ": Metric Object ID: " + python_text(*object_id) +
              ", Metric Value Object ID: " + python_text(*value_id) + "\n");
    return {*object_id, *value_id};
}

}  // namespace velora::core::console
