// Console connection, queries and publishing: Python arguments in, core operations, Python out.
#include <optional>

#include "mra/bindings/screen_model_hazard/console_api.hpp"
#include "mra/bindings/screen_model_hazard/console_support.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"

namespace velora::smh {
namespace {

namespace cc = core::console;
using bindings::raise_python;
using bindings::text_of;
using console::from_json;
using console::headers_from_python;
using console::Json;
using console::PythonTransport;
using console::text_argument;
using console::to_json;
using console::with_python_errors;

// "a" + b for a metric name, with the runtime's error when it is not a str.
std::string metric_name_text(const py::handle& metric_name) {
    if (!PyUnicode_Check(metric_name.ptr())) {
        raise_python(PyExc_TypeError,
                     "can only concatenate str (not \"" +
                         py::type::handle_of(metric_name).attr("__name__").cast<std::string>() +
                         "\") to str");
    }
    return metric_name.cast<std::string>();
}

std::optional<std::string> optional_text(const py::object& value) {
    if (value.is_none()) return std::nullopt;
    return text_of(value);
}

// The run's transport, or one of this operation's own.
class Transports {
  public:
    explicit Transports(SharedTransport shared) : shared_(shared) {
        if (shared_ == nullptr) shared_ = &own_.emplace();
    }
    core::Transport& get() { return *shared_; }

  private:
    std::optional<PythonTransport> own_;
    SharedTransport shared_;
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
    return cc::Unpublishable{"type " + py::type::handle_of(value).attr("__name__").cast<std::string>() +
                             " doesn't define __round__ method"};
}

py::object post_payload(const py::object& payload, const py::object& vn_url, const py::object& header) {
    return with_python_errors([&]() -> py::object {
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        std::string body;
        try {
            body = to_json(payload).dump(-1, ' ', false, Json::error_handler_t::replace);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // A payload that cannot be sent is a write that did not happen.
            cc::has_bearer(headers);
            return py::none();
        }
        PythonTransport transport;
        const auto id = cc::post_content(transport, body, url, headers);
        return id ? from_json(*id) : py::none();
    });
}

}  // namespace

py::dict connect_to_varnel(Evaluator& evaluator, SharedTransport shared) {
    return with_python_errors([&] {
        const py::object vn_url = evaluator.credential("vn_url");
        if (!PyUnicode_Check(vn_url.ptr())) {
            raise_python(PyExc_TypeError,
                         "argument of type '" +
                             py::type::handle_of(vn_url).attr("__name__").cast<std::string>() +
                             "' is not iterable");
        }
        Transports transports(shared);
        if (cc::is_orrin_console(vn_url.cast<std::string>())) {
            const std::string host = text_argument(evaluator.credential("vn_orrin_host"), "vn_orrin_host");
            return console::headers_to_python(cc::connect_orrin(
                transports.get(), logger(), host, to_json(evaluator.credential("vn_username")),
                to_json(evaluator.credential("vn_orrin_apikey"))));
        }
        const auto lookup = [&]() -> std::optional<std::string> {
            const py::object url = iam_url_mapping()(vn_url);
            if (!py::bool_(url)) return std::nullopt;
            return text_of(url);
        };
        return console::headers_to_python(cc::connect_cloud(
            transports.get(), logger(), lookup, optional_text(evaluator.credential("vn_apikey"))));
    });
}

py::object get_varnel_metric_link(Evaluator& evaluator, const py::object& model_id) {
    py::object url = evaluator.credential("vn_url");
    if (url.is_none()) raise_python(PyExc_ValueError, "Varnel URL is required to generate the link");
    if (!url.attr("endswith")("/").cast<bool>()) url = console::py_add(url, py::str("/"));
    return console::py_add(console::py_add(url, py::str("app/jspview/react/grc/task-view/")), model_id);
}

py::object publish_metrics_to_varnel(Evaluator& evaluator, const py::object& metric_name,
                                     const py::object& metric_value, const py::object& header,
                                     const py::object& model_id, const py::object& vn_url,
                                     SharedTransport shared) {
    return with_python_errors([&] {
        const std::string name = metric_name_text(metric_name);
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        const Json parent = to_json(model_id);
        const auto rollback_risks = console::texts_of(evaluator.risk_dimensions);
        const cc::PublishValue value = publish_value(metric_value);
        Transports transports(shared);
        cc::publish_metric(transports.get(), logger(), name, value, parent, url, headers, rollback_risks);
        return py::object(py::bool_(true));
    });
}

py::object get_vn_model_id(const py::object& header, const py::object& model_name, const py::object& vn_url,
                           SharedTransport shared) {
    return with_python_errors([&] {
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        Transports transports(shared);
        return from_json(cc::get_model_id(transports.get(), logger(), headers, text_of(model_name), url));
    });
}

py::dict get_vn_model_metrics_definitions(const py::object& header, const py::object& model_id,
                                          const py::object& risks_name, const py::object& vn_url,
                                          SharedTransport shared) {
    return with_python_errors([&] {
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        const auto risks = console::texts_of(risks_name);
        Transports transports(shared);
        const auto metrics =
            cc::get_metric_definitions(transports.get(), logger(), headers, text_of(model_id), risks, url);
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
    });
}

py::dict return_existing_metric_value(const py::object& metrics_object, const py::object& header,
                                      const py::object& vn_url, SharedTransport shared) {
    return with_python_errors([&] {
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        cc::MetricIdTexts metrics;
        for (const auto item : metrics_object.attr("items")()) {
            std::vector<std::string> ids;
            for (const auto entry : item[py::int_(1)]) ids.push_back(text_of(entry["metric_id"]));
            metrics.emplace_back(text_of(item[py::int_(0)]), std::move(ids));
        }
        Transports transports(shared);
        const auto stored = cc::get_metric_values(transports.get(), logger(), metrics, headers, url);
        py::dict result;
        for (const auto& [risk, values] : stored) {
            py::dict metrics_of_risk;
            for (const auto& [name, value] : values) metrics_of_risk[from_json(name)] = from_json(value);
            result[py::str(risk)] = metrics_of_risk;
        }
        return result;
    });
}

py::dict get_metric_object_payload(const py::object& primary_parent_id, const py::object& metric_name) {
    return with_python_errors([&] {
        return py::dict(
            from_json(cc::metric_object_payload(to_json(primary_parent_id), metric_name_text(metric_name))));
    });
}

py::dict get_metric_value_payload(const py::object& primary_parent_id, const py::object& metric_name,
                                  const py::object& metric_value) {
    return with_python_errors([&] {
        return py::dict(from_json(cc::metric_value_payload(
            to_json(primary_parent_id), metric_name_text(metric_name), to_json(metric_value))));
    });
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
    with_python_errors([&] {
        const std::string url = text_argument(vn_url, "vn_url");
        const auto headers = headers_from_python(header);
        const auto risks = console::texts_of(risk_name);
        PythonTransport transport;
        cc::delete_metric_objects(transport, logger(), url, text_of(model_id), risks, headers);
    });
}

}  // namespace velora::smh
