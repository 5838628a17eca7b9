// Runs against the governance console: stored results are reused, only the missing risk
// dimensions are evaluated, and every new metric value is published before the run returns.
#include "common/http/url_encoding.hpp"
#include "mra/bindings/screen_model_hazard/console_api.hpp"
#include "mra/bindings/screen_model_hazard/console_support.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"
#include "mra/bindings/screen_model_hazard/result_shaping.hpp"
#include "mra/bindings/screen_model_hazard/risk_catalogue_access.hpp"
#include "mra/core/console/operations.hpp"

namespace velora::smh {
namespace {

using bindings::is_text;
using bindings::text_of;
using console::py_add;

// Every metric of the computed results, card by card: the main score first under "<risk>, <card>,
// score", then the others except "score_name" (which names the score and is never published).
void publish_each(Evaluator& evaluator, const py::dict& computed, const py::dict& header,
                  const py::object& model_id, const py::object& vn_url, RunSession run) {
    const py::str separator(", ");
    for (const auto risk : computed) {
        for (const auto card : py::reinterpret_borrow<py::dict>(risk.second)) {
            const py::object prefix = py_add(py_add(py_add(risk.first, separator), card.first), separator);
            const py::object metrics = py::reinterpret_borrow<py::object>(card.second);
            publish_metrics_to_varnel(evaluator, py_add(prefix, py::str("score")), metrics["score"], header,
                                      model_id, vn_url, run);
            for (const auto entry : metrics.attr("items")()) {
                const py::object metric = entry[py::int_(0)];
                if (is_text(metric, "score_name") || is_text(metric, "score")) continue;
                publish_metrics_to_varnel(evaluator, py_add(prefix, metric), entry[py::int_(1)], header,
                                          model_id, vn_url, run);
            }
        }
    }
}

// The failure in flight as a roll-back cause: its text as the caller will see it, and whether it is
// Ctrl-C; and the Python error it is, when it is one.
std::pair<core::console::RollbackCause, std::optional<py::error_already_set>> cause_in_flight() {
    auto python = console::python_error_in_flight();
    if (python) return {{text_of(python->value()), python->matches(PyExc_KeyboardInterrupt)}, python};
    try {
        throw;
    } catch (const std::exception& error) {
        return {{error.what(), false}, std::nullopt};
    } catch (...) {
        return {{"Publishing failed", false}, std::nullopt};
    }
}

// Publishes every new metric; a failure anywhere on the way (a card without "score", Ctrl-C
// between two writes) deletes what the run published before it is raised, unless the publishing
// of a metric already did.
void publish_results(Evaluator& evaluator, const py::dict& computed, const py::dict& header,
                     const py::object& model_id, const py::object& vn_url,
                     core::console::ConsoleSession& run) {
    try {
        publish_each(evaluator, computed, header, model_id, vn_url, &run);
    } catch (...) {
        if (run.rolled_back()) throw;
        // Taken out of the interpreter first: the roll-back below talks to the console.
        auto [cause, python] = cause_in_flight();
        if (cause.interrupted)
            logger().warning("Publishing interrupted; deleting the metric objects of the run");
        core::console::delete_metric_objects(run, text_of(model_id),
                                             console::texts_of(evaluator.risk_dimensions), cause);
        if (python) throw *python;
        throw;
    }
}

// Stored values are keyed by metric name; a value read before any name is keyed None.
void require_metric_names(const py::dict& stored, const core::console::ConsoleSession& run) {
    for (const auto risk : stored) {
        for (const auto metric : py::reinterpret_borrow<py::dict>(risk.second)) {
            if (metric.first.is_none()) core::console::fail_unnamed_stored_value(run);
        }
    }
}

}  // namespace

py::object run_with_console(Evaluator& evaluator) {
    const py::object vn_url = evaluator.credential("vn_url");
    py::dict results;
    // One connection for the run's reads and deletes, closed when it returns; one per write.
    console::PythonTransport transport;
    console::PythonTransport write_transport(console::PythonTransport::Connections::OnePerRequest);
    core::console::ConsoleSession run = open_run_session(evaluator, transport, write_transport);
    const py::dict header = connect_to_varnel(evaluator, &run);
    const py::object model_id = get_vn_model_id(header, evaluator.credential("vn_model_id"), vn_url, &run);
    // Shown to a person: without the user information a console URL may carry.
    const std::string link =
        core::url_without_user_info(text_of(get_varnel_metric_link(evaluator, model_id)));
    const py::dict metrics_map =
        get_vn_model_metrics_definitions(header, model_id, evaluator.risk_dimensions, vn_url, &run);
    if (py::len(metrics_map) > 0) {
        const py::dict values = return_existing_metric_value(metrics_map, header, vn_url, &run);
        require_metric_names(values, run);
        const py::dict stored = normalize_varnel_data(values);
        for (const auto risk : stored) results[risk.first] = risk.second;
    }
    // Later runs on this evaluator ask only for what the console still lacks.
    const py::list risks_missing = check_if_all_risks_are_evaluated(evaluator.risk_dimensions, results);
    evaluator.risk_dimensions = risks_missing;
    if (py::len(risks_missing) == 0) {
        bindings::print_line("Metrics have already been saved before, and are being retrieved from " + link);
        return calculate_score_with_margin(results);
    }
    const py::dict computed = risks_evaluation(evaluator);
    publish_results(evaluator, computed, header, model_id, vn_url, run);
    for (const auto risk : computed) results[risk.first] = risk.second;
    bindings::print_line("Metrics have been successfully saved and published to " + link);
    return results;
}

void bind_console_methods(EvaluatorClass& cls) {
    cls.def(
           "connect_to_varnel", [](Evaluator& evaluator) { return connect_to_varnel(evaluator); },
           "Authenticate against the governance console; the header dictionary for every console call.")
        .def("get_varnel_metric_link", &get_varnel_metric_link, "model_id"_a,
             "The console's task-view link of the model.")
        .def(
            "publish_metrics_to_varnel",
            [](Evaluator& evaluator, const py::object& metric_name, const py::object& metric_value,
               const py::object& header, const py::object& model_id, const py::object& vn_url) {
                return publish_metrics_to_varnel(evaluator, metric_name, metric_value, header, model_id,
                                                 vn_url);
            },
            "metric_name"_a, "metric_value"_a, "header"_a, "model_id"_a, "vn_url"_a,
            "Publish one metric (object, then value); on failure every metric object of the run's risks is "
            "deleted and the error raised.");
}

}  // namespace velora::smh

void register_console_functions(py::module_& m) {
    using namespace velora::smh;
    m.def(
        "get_vn_model_id",
        [](const py::object& header, const py::object& model_name, const py::object& vn_url) {
            return get_vn_model_id(header, model_name, vn_url);
        },
        "header"_a, "model_name"_a, "vn_url"_a, "The console's resource id of the model titled model_name.");
    m.def(
        "get_vn_model_metrics_definitions",
        [](const py::object& header, const py::object& model_id, const py::object& risks_name,
           const py::object& vn_url) {
            return get_vn_model_metrics_definitions(header, model_id, risks_name, vn_url);
        },
        "header"_a, "model_id"_a, "risks_name"_a, "vn_url"_a,
        "Risk name -> [{'metric_id': ...}] of the metric objects under the model.");
    m.def(
        "return_existing_metric_value",
        [](const py::object& metrics_object, const py::object& header, const py::object& vn_url) {
            return return_existing_metric_value(metrics_object, header, vn_url);
        },
        "metrics_object"_a, "header"_a, "vn_url"_a,
        "Risk name -> metric name -> stored value, for a metrics map.");
    m.def("get_metric_object_payload", &get_metric_object_payload, "primary_parent_id"_a, "metric_name"_a,
          "The console payload of a metric object under a model.");
    m.def("get_metric_value_payload", &get_metric_value_payload, "primary_parent_id"_a, "metric_name"_a,
          "metric_value"_a, "The console payload of a metric value under a metric object.");
    m.def("create_metrics_object", &create_metrics_object, "metric_object_payload"_a, "vn_url"_a, "header"_a,
          "Create a metric object; its id, or None when the console did not create it.");
    m.def("add_metric_value_to_metric_object", &add_metric_value_to_metric_object, "metric_value_payload"_a,
          "vn_url"_a, "header"_a,
          "Create a metric value; its id, or None when the console did not create it.");
    m.def("delete_metrics_object", &delete_metrics_object, "vn_url"_a, "model_id"_a, "risk_name"_a,
          "header"_a, "Delete every metric object listed under the model for the risks in risk_name.");
}
