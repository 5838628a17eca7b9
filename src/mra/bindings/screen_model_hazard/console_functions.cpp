// Console connection, queries and publishing: Python arguments in, core operations, Python out.
#include <optional>

#include "mra/bindings/screen_model_hazard/console_api.hpp"
#include "mra/bindings/screen_model_hazard/console_support.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"
#include "mra/core/console/settings.hpp"

namespace velora::smh {
namespace {

namespace cc = core::console;
using bindings::raise_python;
using bindings::text_of;
using bindings::type_name;
using console::from_json;
using console::headers_from_python;
using console::Json;
using console::PythonTransport;
using console::text_argument;
using console::to_json;

// "a" + b for a metric name, with the runtime's error when it is not a str.
std::string metric_name_text(const py::handle& metric_name) {
    if (!PyUnicode_Check(metric_name.ptr())) {
        raise_python(PyExc_TypeError,
                     "can only concatenate str (not \"" + type_name(metric_name) + "\") to str");
    }
    return bindings::utf8_of(metric_name, "metric_name");
}

std::optional<std::string> optional_text(const py::object& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return text_of(value, name);
}

// The console settings of the environment, overridden by the evaluator's credentials when given.
cc::ConsoleSettings console_settings(const Evaluator* evaluator) {
    cc::ConsoleSettings settings = cc::settings_from_environment();
    if (evaluator == nullptr) return settings;
    const py::object verify = evaluator->credential("vn_verify_tls");
    if (PyBool_Check(verify.ptr())) {
        settings.verify_tls = verify.cast<bool>();
    } else if (PyUnicode_Check(verify.ptr())) {
        cc::use_ca_bundle(settings, bindings::utf8_of(verify, "vn_verify_tls"), "vn_verify_tls");
    } else if (!verify.is_none()) {
        raise_python(PyExc_ValueError, "vn_verify_tls must be True, False or the path of a CA bundle file");
    }
    const py::object timeout = evaluator->credential("vn_write_timeout");
    if (!timeout.is_none()) {
        if (PyBool_Check(timeout.ptr()) || !(PyLong_Check(timeout.ptr()) || PyFloat_Check(timeout.ptr()))) {
            raise_python(PyExc_ValueError, "vn_write_timeout must be a positive number of seconds");
        }
        cc::set_write_timeout(settings, py::float_(timeout).cast<double>(), "vn_write_timeout");
    }
    return settings;
}

// The evaluator's console URL; the runtime's error for the substring test when it is no str.
std::string console_url(const Evaluator& evaluator) {
    const py::object vn_url = evaluator.credential("vn_url");
    if (!PyUnicode_Check(vn_url.ptr())) {
        raise_python(PyExc_TypeError, "argument of type '" + type_name(vn_url) + "' is not iterable");
    }
    return bindings::utf8_of(vn_url, "vn_url");
}

// The run's session, or one of this call's own over a transport of its own, with the settings of
// the environment (or of the evaluator, when one is given).
class SessionScope {
  public:
    SessionScope(RunSession run, const std::string& url, core::HttpHeaders header,
                 const Evaluator* evaluator = nullptr) {
        if (run != nullptr) {
            run->set_header(std::move(header));
            session_ = run;
            return;
        }
        own_.emplace(transport_.emplace(), logger(), url, console_settings(evaluator), std::move(header));
        own_->set_write_transport(write_transport_.emplace(PythonTransport::Connections::OnePerRequest));
        own_->set_pause(console::python_pause);
        session_ = &*own_;
    }
    cc::ConsoleSession& operator*() const { return *session_; }

  private:
    std::optional<PythonTransport> transport_;
    std::optional<PythonTransport> write_transport_;
    std::optional<cc::ConsoleSession> own_;
    cc::ConsoleSession* session_ = nullptr;
};

py::object iam_url_mapping() {
    return py::module_::import("velora_metrics_plugin.common.utils.vn_url_mapping")
        .attr("get_iam_url_from_vn_url");
}

// The value a metric is published with: the mean of a non-empty list, otherwise the value itself,
// or the reason (the runtime's type error) why it cannot be published.
cc::PublishValue publish_value(const py::object& metric_value) {
    py::object value = metric_value;
    if (PyList_Check(value.ptr()) && py::len(value) > 0) {
        try {
            const py::object total = py::module_::import("builtins").attr("sum")(value);
            PyObject* mean = PyNumber_TrueDivide(total.ptr(), py::int_(py::len(value)).ptr());
            if (mean == nullptr) throw py::error_already_set();
            value = py::reinterpret_steal<py::object>(mean);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            return cc::Unpublishable{text_of(error.value())};
        }
    }
    if (PyBool_Check(value.ptr())) return cc::MetricNumber{std::int64_t{value.cast<bool>() ? 1 : 0}};
    if (PyLong_Check(value.ptr()) || (!PyFloat_Check(value.ptr()) && py::hasattr(value, "__index__"))) {
        const py::object index = py::module_::import("operator").attr("index")(value);
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0) return cc::Unpublishable{"int too large to publish: " + text_of(value)};
        return cc::MetricNumber{std::int64_t{n}};
    }
    if (PyFloat_Check(value.ptr())) return cc::MetricNumber{value.cast<double>()};
    if (py::isinstance(value, py::module_::import("numbers").attr("Real"))) {
        return cc::MetricNumber{py::float_(value).cast<double>()};
    }
    return cc::Unpublishable{"type " + type_name(value) + " doesn't define __round__ method"};
}

py::object post_payload(const py::object& payload, const py::object& vn_url, const py::object& header) {
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(nullptr, url, headers_from_python(header));
    std::string body;
    try {
        body = cc::request_body(to_json(payload));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // A payload that cannot be sent is a write that did not happen.
        cc::has_bearer((*session).header());
        return py::none();
    }
    const auto written = cc::post_content(*session, body);
    return written.id ? from_json(*written.id) : py::none();
}

}  // namespace

cc::ConsoleSession open_run_session(const Evaluator& evaluator, core::Transport& transport,
                                    core::Transport& write_transport) {
    cc::ConsoleSession session(transport, logger(), console_url(evaluator), console_settings(&evaluator));
    session.set_write_transport(write_transport);
    session.set_pause(console::python_pause);
    return session;
}

py::dict connect_to_varnel(Evaluator& evaluator, RunSession run) {
    const std::string url = console_url(evaluator);
    SessionScope session(run, url, {}, &evaluator);
    if (cc::is_orrin_console(url)) {
        const std::string host = text_argument(evaluator.credential("vn_orrin_host"), "vn_orrin_host");
        return console::headers_to_python(
            cc::connect_orrin(*session, host, to_json(evaluator.credential("vn_username"), "vn_username"),
                              to_json(evaluator.credential("vn_orrin_apikey"), "vn_orrin_apikey")));
    }
    const py::object vn_url = evaluator.credential("vn_url");
    const auto lookup = [&]() -> std::optional<std::string> {
        const py::object iam_url = iam_url_mapping()(vn_url);
        if (!py::bool_(iam_url)) return std::nullopt;
        return text_of(iam_url);
    };
    return console::headers_to_python(
        cc::connect_cloud(*session, lookup, optional_text(evaluator.credential("vn_apikey"), "vn_apikey")));
}

py::object get_varnel_metric_link(Evaluator& evaluator, const py::object& model_id) {
    py::object url = evaluator.credential("vn_url");
    if (url.is_none()) raise_python(PyExc_ValueError, "Varnel URL is required to generate the link");
    if (!url.attr("endswith")("/").cast<bool>()) url = console::py_add(url, py::str("/"));
    return console::py_add(console::py_add(url, py::str("app/jspview/react/grc/task-view/")), model_id);
}

py::object publish_metrics_to_varnel(Evaluator& evaluator, const py::object& metric_name,
                                     const py::object& metric_value, const py::object& header,
                                     const py::object& model_id, const py::object& vn_url, RunSession run) {
    const std::string name = metric_name_text(metric_name);
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(run, url, headers_from_python(header), &evaluator);
    const Json parent = to_json(model_id);
    const auto rollback_risks = console::texts_of(evaluator.risk_dimensions);
    const cc::PublishValue value = publish_value(metric_value);
    cc::publish_metric(*session, name, value, parent, rollback_risks);
    return py::object(py::bool_(true));
}

py::object get_vn_model_id(const py::object& header, const py::object& model_name, const py::object& vn_url,
                           RunSession run) {
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(run, url, headers_from_python(header));
    return from_json(cc::get_model_id(*session, text_of(model_name, "model_name")));
}

py::dict get_vn_model_metrics_definitions(const py::object& header, const py::object& model_id,
                                          const py::object& risks_name, const py::object& vn_url,
                                          RunSession run) {
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(run, url, headers_from_python(header));
    const auto risks = console::texts_of(risks_name);
    const auto metrics = cc::get_metric_definitions(*session, text_of(model_id), risks);
    py::dict map;
    for (const auto& [risk, metric_ids] : metrics) {
        py::list entries;
        for (const Json& metric_id : metric_ids) {
            py::dict entry;
            entry["metric_id"] = from_json(metric_id);
            entries.append(entry);
        }
        map[py::str(risk)] = entries;
    }
    return map;
}

py::dict return_existing_metric_value(const py::object& metrics_object, const py::object& header,
                                      const py::object& vn_url, RunSession run) {
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(run, url, headers_from_python(header));
    cc::MetricIdTexts metrics;
    for (const auto item : metrics_object.attr("items")()) {
        std::vector<std::string> ids;
        for (const auto entry : item[py::int_(1)]) ids.push_back(text_of(entry["metric_id"]));
        metrics.emplace_back(text_of(item[py::int_(0)]), std::move(ids));
    }
    const auto stored = cc::get_metric_values(*session, metrics);
    py::dict result;
    for (const auto& [risk, values] : stored) {
        py::dict metrics_of_risk;
        for (const auto& [name, value] : values) metrics_of_risk[from_json(name)] = from_json(value);
        result[py::str(risk)] = metrics_of_risk;
    }
    return result;
}

py::dict get_metric_object_payload(const py::object& primary_parent_id, const py::object& metric_name) {
    return py::dict(
        from_json(cc::metric_object_payload(to_json(primary_parent_id), metric_name_text(metric_name))));
}

py::dict get_metric_value_payload(const py::object& primary_parent_id, const py::object& metric_name,
                                  const py::object& metric_value) {
    return py::dict(from_json(cc::metric_value_payload(
        to_json(primary_parent_id), metric_name_text(metric_name), to_json(metric_value))));
}

py::object create_metrics_object(const py::object& metric_object_payload, const py::object& vn_url,
                                 const py::object& header) {
    return post_payload(metric_object_payload, vn_url, header);
}

py::object add_metric_value_to_metric_object(const py::object& metric_value_payload, const py::object& vn_url,
                                             const py::object& header) {
    return post_payload(metric_value_payload, vn_url, header);
}

void delete_metrics_object(const py::object& vn_url, const py::object& model_id, const py::object& risk_name,
                           const py::object& header) {
    const std::string url = text_argument(vn_url, "vn_url");
    SessionScope session(nullptr, url, headers_from_python(header));
    cc::delete_metric_objects(*session, text_of(model_id), console::texts_of(risk_name));
}

}  // namespace velora::smh
