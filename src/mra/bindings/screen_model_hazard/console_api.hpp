// The console operations as the risk-evaluation module offers them, for the console run and the
// registration code. Arguments and results are Python objects; the work is the core's.
#pragma once

#include "mra/bindings/screen_model_hazard/evaluator.hpp"

namespace velora::smh {

namespace console {
class PythonTransport;
}

// The operations a console run calls take the run's transport, so that one run keeps one
// connection (and one TLS handshake) for all of its requests and closes it before it returns.
// Without one (nullptr, as the Python-facing functions pass) an operation uses a client of its
// own, closed before the operation returns.
using SharedTransport = console::PythonTransport*;

py::dict connect_to_varnel(Evaluator& evaluator, SharedTransport shared = nullptr);
py::object get_varnel_metric_link(Evaluator& evaluator, const py::object& model_id);
py::object publish_metrics_to_varnel(Evaluator& evaluator, const py::object& metric_name,
                                     const py::object& metric_value, const py::object& header,
                                     const py::object& model_id, const py::object& vn_url,
                                     SharedTransport shared = nullptr);

py::object get_vn_model_id(const py::object& header, const py::object& model_name, const py::object& vn_url,
                           SharedTransport shared = nullptr);
py::dict get_vn_model_metrics_definitions(const py::object& header, const py::object& model_id,
                                          const py::object& risks_name, const py::object& vn_url,
                                          SharedTransport shared = nullptr);
py::dict return_existing_metric_value(const py::object& metrics_object, const py::object& header,
                                      const py::object& vn_url, SharedTransport shared = nullptr);

py::dict get_metric_object_payload(const py::object& primary_parent_id, const py::object& metric_name);
py::dict get_metric_value_payload(const py::object& primary_parent_id, const py::object& metric_name,
                                  const py::object& metric_value);
py::object create_metrics_object(const py::object& metric_object_payload, const py::object& vn_url,
                                 const py::object& header);
py::object add_metric_value_to_metric_object(const py::object& metric_value_payload, const py::object& vn_url,
                                             const py::object& header);
void delete_metrics_object(const py::object& vn_url, const py::object& model_id, const py::object& risk_name,
                           const py::object& header);

}  // namespace velora::smh
