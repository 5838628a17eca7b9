// Construction, validation and the evaluation run of EvaluateFMRisk.
#include "mra/bindings/screen_model_hazard/evaluator.hpp"

#include "mra/bindings/screen_model_hazard/console_support.hpp"
#include "mra/bindings/screen_model_hazard/dataset_loading.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"
#include "mra/bindings/screen_model_hazard/result_shaping.hpp"
#include "mra/bindings/screen_model_hazard/risk_catalogue_access.hpp"
#include "mra/core/evaluator_rules.hpp"

namespace velora::smh {
namespace {

using bindings::raise_python;
using bindings::text_of;

void validate_risk_dimensions(const py::object& risk_dimensions) {
    if (risk_dimensions.is_none()) return;
    if (!py::isinstance<py::list>(risk_dimensions)) {
        raise_python(PyExc_ValueError, "risk_dimensions must be a list or None");
    }
    if (py::len(risk_dimensions) == 0)
        raise_python(PyExc_ValueError, "risk_dimensions must be a non-empty list");
    const py::list valid = get_available_risks();
    for (const auto element : risk_dimensions) {
        if (!valid.contains(element)) {
            const std::string message =
                text_of(element, "risk_dimensions") + " is not part of " + text_of(valid);
            logger().debug(message);
            raise_python(PyExc_Exception, message);
        }
    }
}

void validate_max_sample_size(const py::object& max_sample_size) {
    if (max_sample_size.is_none()) return;
    // A bool is an int to the runtime, but True is no sample size.
    if (!py::isinstance<py::int_>(max_sample_size) || PyBool_Check(max_sample_size.ptr())) {
        raise_python(PyExc_ValueError, "max_sample_size must be an integer or None");
    }
    if (max_sample_size <= py::int_(0))
        raise_python(PyExc_ValueError, "max_sample_size must be greater than 0");
}

void validate_judge_environment(const py::object& risk_dimensions) {
    const py::object risks = risk_dimensions.is_none() ? py::object(get_available_risks()) : risk_dimensions;
    std::vector<std::string> names;
    for (const auto risk : risks) {
        if (py::isinstance<py::str>(risk)) names.push_back(bindings::utf8_of(risk, "risk dimension"));
    }
    if (const auto problem = core::judge_environment_problem(names)) raise_python(PyExc_ValueError, *problem);
}

// Text that has no UTF-8 form can reach neither the console nor the report: refused here, naming it.
void validate_texts(const py::object& system_credentials, const py::object& foundation_model_name) {
    for (const auto item : py::reinterpret_borrow<py::dict>(system_credentials)) {
        if (PyUnicode_Check(item.second.ptr()))
            bindings::utf8_of(item.second, "system_credentials[" + text_of(py::repr(item.first)) + "]");
    }
    if (!foundation_model_name.is_none()) bindings::utf8_of(foundation_model_name, "foundation_model_name");
}

void validate_params(const py::object& system_credentials, const py::object& foundation_model_name,
                     const py::object& risk_dimensions, const py::object& scoring_function,
                     const py::object& max_sample_size) {
    if (!py::isinstance<py::dict>(system_credentials)) {
        raise_python(PyExc_ValueError, "system_credentials must be a dictionary");
    }
    if (!foundation_model_name.is_none() && !py::isinstance<py::str>(foundation_model_name)) {
        raise_python(PyExc_ValueError, "foundation_model_name must be a string or None");
    }
    validate_texts(system_credentials, foundation_model_name);
    validate_risk_dimensions(risk_dimensions);
    if (!scoring_function.is_none() && !PyCallable_Check(scoring_function.ptr())) {
        raise_python(PyExc_ValueError, "scoring_function must be a callable or None");
    }
    validate_max_sample_size(max_sample_size);
    validate_judge_environment(risk_dimensions);
}

constexpr std::initializer_list<const char*> kValidateParams = {
    "system_credentials", "foundation_model_name", "risk_dimensions", "scoring_function", "max_sample_size"};

std::unique_ptr<Evaluator> construct(const py::args& args, const py::kwargs& kwargs) {
    const auto a = bindings::bind_arguments("EvaluateFMRisk.__init__", kValidateParams, 1, args, kwargs);
    validate_params(a[0], a[1], a[2], a[3], a[4]);
    auto evaluator = std::make_unique<Evaluator>();
    evaluator->risk_dimensions = a[2].is_none() ? py::object(get_available_risks()) : a[2];
    evaluator->scoring_function = a[3];  // None until the Python object exists; see bind_evaluator
    evaluator->system_credentials = a[0];
    evaluator->foundation_model_name = a[1];
    evaluator->report_forge = report_forge_attr("PdfGenerator")();
    evaluator->max_sample_size = a[4];
    return evaluator;
}

}  // namespace

py::dict risks_evaluation(Evaluator& evaluator) {
    py::dict results;
    py::list failed_risks;
    for (const auto name : evaluator.risk_dimensions) {
        const auto risk = py::reinterpret_borrow<py::object>(name);
        bindings::print_line("Processing " + text_of(risk));
        const py::tuple outcome = process_models_and_risks(evaluator, evaluator.scoring_function, risk);
        if (py::bool_(outcome[0])) results[risk] = outcome[0];
        if (py::bool_(outcome[1])) {
            py::dict failed;
            failed[risk] = outcome[1];
            failed_risks.append(failed);
        }
    }
    if (py::len(failed_risks) > 0) {
        logger().warning("Evaluation failed for the following risks: " + text_of(failed_risks) +
                         ". Please try to run these risks again.");
    }
    return results;
}

namespace {

py::object screen_model_hazards(Evaluator& evaluator) {
    try {
        if (evaluator.credential("vn_url").is_none()) {
            return calculate_score_with_margin(risks_evaluation(evaluator));
        }
        return run_with_console(evaluator);
    } catch (...) {
        // Logged as the caller will see it, so the console's errors are taken as Python errors here.
        auto error = console::python_error_in_flight();
        if (!error) throw;
        if (is_ordinary_error(*error)) {
            logger().debug("Error occurred when evaluating the request: " + text_of(error->value()));
        }
        throw *error;
    }
}

// Lets the cyclic garbage collector see the Python objects an evaluator holds (the default scoring
// function is a bound method of the evaluator itself, and callers' functions may refer back to it).
void evaluator_type_setup(PyHeapTypeObject* heap_type) {
    auto* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
        Py_VISIT(Py_TYPE(self));
        if (!py::detail::is_holder_constructed(self)) return 0;
        auto& e = py::cast<Evaluator&>(py::handle(self));
        for (auto* field : {&e.system_credentials, &e.foundation_model_name, &e.risk_dimensions,
                            &e.scoring_function, &e.report_forge, &e.max_sample_size}) {
            Py_VISIT(field->ptr());
        }
        return 0;
    };
    type->tp_clear = [](PyObject* self) -> int {
        if (!py::detail::is_holder_constructed(self)) return 0;
        auto& e = py::cast<Evaluator&>(py::handle(self));
        for (auto* field : {&e.system_credentials, &e.foundation_model_name, &e.risk_dimensions,
                            &e.scoring_function, &e.report_forge, &e.max_sample_size}) {
            *field = py::none();
        }
        return 0;
    };
}

}  // namespace

py::object Evaluator::credential(const char* key, const py::object& fallback) const {
    return system_credentials.attr("get")(key, fallback);
}

py::object python_self(const Evaluator& evaluator) {
    return py::cast(&evaluator, py::return_value_policy::reference);
}

}  // namespace velora::smh

void register_evaluator(py::module_& m) {
    using namespace velora::smh;
    EvaluatorClass cls(m, "EvaluateFMRisk", py::custom_type_setup(&evaluator_type_setup),
                       "Class that handle the risks evaluation of for given foundation model.");
    cls.def(py::init([](const py::args& args, const py::kwargs& kwargs) { return construct(args, kwargs); }),
            "EvaluateFMRisk(system_credentials, foundation_model_name=None, risk_dimensions=None, "
            "scoring_function=None, max_sample_size=None)")
        .def_readwrite("system_credentials", &Evaluator::system_credentials, "The caller's credentials dict.")
        .def_readwrite("foundation_model_name", &Evaluator::foundation_model_name,
                       "Model name for the report.")
        .def_readwrite("risk_dimensions", &Evaluator::risk_dimensions, "Risk dimensions to evaluate.")
        .def_readwrite("scoring_function", &Evaluator::scoring_function, "Callable that answers prompts.")
        .def_readwrite("report_forge", &Evaluator::report_forge, "The evaluator's PdfGenerator.")
        .def_readwrite("max_sample_size", &Evaluator::max_sample_size, "Test-instance cap per card, or None.")
        .def(
            "validate_params",
            [](Evaluator&, const py::args& args, const py::kwargs& kwargs) {
                const auto a = velora::bindings::bind_arguments("EvaluateFMRisk.validate_params",
                                                                kValidateParams, 5, args, kwargs);
                validate_params(a[0], a[1], a[2], a[3], a[4]);
            },
            "Check the constructor's five arguments; raises on the first rule that fails.")
        .def("screen_model_hazards", &screen_model_hazards,
             "Evaluate the risk dimensions and return the results.")
        .def("risks_evaluation", &risks_evaluation, "Results dictionary of the current risk_dimensions.");
    bind_card_processing(cls);
    bind_default_scoring(cls);
    bind_report_handoff(cls);
    bind_console_methods(cls);

    // The default scoring function is the evaluator's own bound method, so it is filled in once the
    // Python object exists: wrap __init__ to do that after construction.
    const py::object raw_init = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [raw_init](py::object self, const py::args& args, const py::kwargs& kwargs) {
            raw_init(self, *args, **kwargs);
            auto& evaluator = self.cast<Evaluator&>();
            if (evaluator.scoring_function.is_none()) {
                evaluator.scoring_function = self.attr("default_scoring_function");
            }
        },
        py::name("__init__"), py::is_method(cls),
        "EvaluateFMRisk(system_credentials, foundation_model_name=None, risk_dimensions=None, "
        "scoring_function=None, max_sample_size=None)");
}
