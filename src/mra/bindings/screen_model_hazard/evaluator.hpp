// EvaluateFMRisk: the evaluator of one foundation model. Its fields are Python objects, set at
// construction and read by the run, card, scoring and report steps.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::smh {

struct Evaluator {
    py::object system_credentials;
    py::object foundation_model_name;
    py::object risk_dimensions;
    py::object scoring_function;
    py::object report_forge;
    py::object max_sample_size;

    // system_credentials.get(key, fallback)
    py::object credential(const char* key, const py::object& fallback = py::none()) const;
};

using EvaluatorClass = py::class_<Evaluator>;

// The evaluator as the Python object that owns it (for bound methods and attribute access).
py::object python_self(const Evaluator& evaluator);

// The results dictionary of the evaluator's current risk_dimensions.
py::dict risks_evaluation(Evaluator& evaluator);

// A run against the governance console (system_credentials carry "vn_url").
py::object run_with_console(Evaluator& evaluator);

// Per-card processing of one risk dimension: (results or None, failed cards).
py::tuple process_models_and_risks(Evaluator& evaluator, const py::object& scoring_function,
                                   const py::object& risks_dimension_name);

// The default scoring function and its inference-object factory.
py::object default_scoring_function(Evaluator& evaluator, const py::object& data);
py::object initialize_model_inference(Evaluator& evaluator, const py::object& endpoint_url,
                                      const py::object& model_id, const py::object& project_id);

// Report hand-off.
py::dict build_report_details(const Evaluator& evaluator);
py::object get_pdf_report(Evaluator& evaluator, const py::object& score_with_margin,
                          const py::object& output_path, const py::object& user_custom_percentile_thresholds);

void bind_card_processing(EvaluatorClass& cls);
void bind_default_scoring(EvaluatorClass& cls);
void bind_report_handoff(EvaluatorClass& cls);
void bind_console_methods(EvaluatorClass& cls);

}  // namespace velora::smh
