// Runs against the governance console.
#include "screen_model_hazard/evaluator.hpp"

namespace velora::smh {

py::object run_with_console(Evaluator&) {
    bindings::raise_python(PyExc_NotImplementedError,
                           "Runs against the governance console are not available in this build; remove 'vn_url' "
                           "from system_credentials to screen offline");
}

void bind_console_methods(EvaluatorClass&) {}

}  // namespace velora::smh

void register_console_functions(py::module_&) {}
