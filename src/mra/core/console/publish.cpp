// Publishing one metric: its metric object, then its value; any failure on the way deletes the
// metric objects of the run's risks before it is raised, so that no half-published run stays.
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"

namespace velora::core::console {
namespace {

// The JSON number to publish; a value that cannot be published is a ConsoleTypeError or a
// ConsoleValueError, thrown by the caller once the roll-back is done.
struct Publishable {
    Json number;
    std::string problem;
    bool type_problem = false;
};

Publishable publishable(const PublishValue& value) {
    if (const auto* unpublishable = std::get_if<Unpublishable>(&value))
        return {{}, unpublishable->reason, true};
    try {
        return {metric_number_json(rounded_for_publishing(std::get<MetricNumber>(value))), "", false};
    } catch (const ConsoleValueError& error) {
        return {{}, error.what(), false};
    }
}

// Logs a failed write (debug as always, and as a warning with its reason) and fails with it.
[[noreturn]] void write_failed(const ConsoleSession& session, const std::string& name,
                               const std::string& what, const std::string& reason) {
    session.log().debug(what + ", all metrics will be deleted ");
    session.log().warning(name + ": " + what + " (" + reason + "); deleting the metric objects of the run");
    throw ConsoleError(what + ", please try again");
}

PublishedIds write_metric(ConsoleSession& session, const std::string& name, const Json& number,
                          const Json& model_id) {
    const WriteResult object = post_content(session, request_body(metric_object_payload(model_id, name)));
    if (!object.id) write_failed(session, name, "Unable to create metrics object", object.failure);
    session.record_created(*object.id);
    const WriteResult value =
        post_content(session, request_body(metric_value_payload(*object.id, name, number)));
    if (!value.id) write_failed(session, name, "Unable to add metric value to metric object", value.failure);
    session.log().debug(name + ": Metric Object ID: " + python_text(*object.id) +
                        ", Metric Value Object ID: " + python_text(*value.id) + "\n");
    return {*object.id, *value.id};
}

}  // namespace

PublishedIds publish_metric(ConsoleSession& session, std::string_view metric_name, const PublishValue& value,
                            const Json& model_id, const std::vector<std::string>& rollback_risks) {
    const std::string name(metric_name);
    const std::string model_text = python_text(model_id);
    session.log().debug(name + ":Creating metric object");

    // A value the console cannot take is found out before anything is written, so that no metric
    // object is ever left without its value.
    const Publishable number = publishable(value);
    if (!number.problem.empty()) {
        const std::string& problem = number.problem;
        session.log().debug(name + ": the value cannot be published (" + problem +
                            "), all metrics will be deleted ");
        session.log().warning(name + ": the value cannot be published (" + problem +
                              "); deleting the metric objects of the run");
        delete_metric_objects(session, model_text, rollback_risks, {problem});
        if (number.type_problem) throw ConsoleTypeError(problem);
        throw ConsoleValueError(problem);
    }
    try {
        return write_metric(session, name, number.number, model_id);
    } catch (const ConsoleError& error) {
        delete_metric_objects(session, model_text, rollback_risks, {error.what()});
        throw;
    } catch (const HttpError&) {
        // Only an interruption gets here: the writes turn every other transport failure into a
        // failed write.
        session.log().warning(name + ": publishing interrupted; deleting the metric objects of the run");
        delete_metric_objects(session, model_text, rollback_risks, {"Interrupted", true});
        throw;
    } catch (...) {
        delete_metric_objects(session, model_text, rollback_risks, {name + ": publishing failed"});
        throw;
    }
}

}  // namespace velora::core::console
