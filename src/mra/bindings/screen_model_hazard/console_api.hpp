// The console operations as the risk-evaluation module offers them, for the console run and the
// registration code. Arguments and results are Python objects; the work is the core's.
#pragma once

#include "mra/bindings/screen_model_hazard/evaluator.hpp"
#include "mra/core/console/session.hpp"

namespace velora::smh {

// The operations a console run calls take the run's session, so that one run keeps one connection
// (and one TLS handshake) for all of its requests, closed before it returns, and its roll-back
// knows every metric object it created. Without one (nullptr, as the Python-facing functions pass)
// an operation works in a session of its own.
using RunSession = core::console::ConsoleSession*;

// The run's session over `transport` (writes over `write_transport`): the evaluator's console URL
// and console settings (TypeError for a URL that is no str, ValueError for one that is no http(s)
// URL or a setting that cannot be read).
core::console::ConsoleSession open_run_session(const Evaluator& evaluator, core::Transport& transport,
                                               core::Transport& write_transport);

py::dict connect_to_varnel(Evaluator& evaluator, RunSession run = nullptr);
py::object get_varnel_metric_link(Evaluator& evaluator, const py::object& model_id);
py::object publish_metrics_to_varnel(Evaluator& evaluator, const py::object& metric_name,
                                     const py::object& metric_value, const py::object& header,
                                     const py::object& model_id, const py::object& vn_url,
                                     RunSession run = nullptr);

py::object get_vn_model_id(const py::object& header, const py::object& model_name, const py::object& vn_url,
                           RunSession run = nullptr);
py::dict get_vn_model_metrics_definitions(const py::object& header, const py::object& model_id,
                                          const py::object& risks_name, const py::object& vn_url,
                                          RunSession run = nullptr);
py::dict return_existing_metric_value(const py::object& metrics_object, const py::object& header,
                                      const py::object& vn_url, RunSession run = nullptr);

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
