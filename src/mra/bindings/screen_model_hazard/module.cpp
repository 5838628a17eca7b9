// screen_model_hazard: the risk evaluator and its module-level functions.
#include "bindings/common/py_common.hpp"
#include "mra/bindings/screen_model_hazard/console_support.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"

void register_result_shaping(py::module_& m);
void register_dataset_loading(py::module_& m);
void register_risk_catalogue_access(py::module_& m);
void register_evaluator(py::module_& m);
void register_console_functions(py::module_& m);

namespace {

// Settings applied once at load, in this order.
void apply_module_load_settings(py::module_& m) {
    py::module_::import("warnings").attr("filterwarnings")("ignore");
    m.attr("logger") = velora::smh::logger().handle();
    auto logging = py::module_::import("logging");
    const auto critical = logging.attr("CRITICAL");
    logging.attr("getLogger")().attr("setLevel")(critical);
    for (const char* name : {"corvex", "datasets", "huggingface_hub", "bert_score"}) {
        logging.attr("getLogger")(name).attr("setLevel")(critical);
    }
    velora::smh::logger().handle().attr("enable_json_logs")(false);
    py::module_::import("os").attr("environ")["CORVEX_ALLOW_UNVERIFIED_CODE"] = "True";
}

// The report module's two names are bound at load; either missing makes the load fail.
void bind_report_forge(py::module_& m) {
    auto report_forge = py::module_::import("velora_metrics_plugin.mra.report_forge");
    for (const char* name : {"extract_numeric_value", "PdfGenerator"}) {
        if (!py::hasattr(report_forge, name)) {
            velora::bindings::raise_python(PyExc_ImportError,
                                           std::string("cannot import name '") + name +
                                               "' from 'velora_metrics_plugin.mra.report_forge'");
        }
        m.attr(name) = report_forge.attr(name);
    }
}

}  // namespace

PYBIND11_MODULE(screen_model_hazard, m) {
    m.doc() = "Risk evaluation of a foundation model: EvaluateFMRisk and its module-level functions.";
    velora::bindings::register_invalid_text_translator();
    py::register_local_exception_translator(velora::smh::console::translate_console_error);
    bind_report_forge(m);
    apply_module_load_settings(m);
    register_result_shaping(m);
    register_dataset_loading(m);
    register_risk_catalogue_access(m);
    register_console_functions(m);
    register_evaluator(m);
}
