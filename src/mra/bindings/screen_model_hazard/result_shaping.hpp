// Turning raw metric output into the shapes that are stored, published and reported.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::smh {

py::list normalize_metrics_values(const py::object& metrics);
py::dict reordered_metric_dict(const py::object& scores_dict);
py::dict calculate_score_with_margin(const py::object& risk_evaluation_results);
py::dict normalize_varnel_data(const py::object& risk_evaluation_results);
py::dict get_executive_summary(const py::object& risk_evaluation_results);

}  // namespace velora::smh
