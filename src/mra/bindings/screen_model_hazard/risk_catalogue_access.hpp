// What the risk catalogue offers, read through its Python module on every call.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::smh {

// The catalogue's risk entries (RISK_TALMAR_DICO) and its risk_to_cards module.
py::object risk_entries();
py::object risk_to_cards();

py::list get_available_risks();
py::list check_if_all_risks_are_evaluated(const py::object& risk_dimensions,
                                          const py::object& risk_evaluation_results);

}  // namespace velora::smh
