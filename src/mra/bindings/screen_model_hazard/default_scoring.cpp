// The default scoring function: every prompt sent to the model through the inference SDK.
#include "mra/bindings/screen_model_hazard/dataset_loading.hpp"
#include "mra/bindings/screen_model_hazard/evaluator.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"

namespace velora::smh {
namespace {

using bindings::raise_python;
using bindings::text_of;

py::dict inference_credentials(const Evaluator& evaluator, const py::object& endpoint_url) {
    py::dict credentials;
    const py::str lowered = endpoint_url.attr("lower")();
    if (lowered.attr("__contains__")("orrin").cast<bool>()) {
        credentials["username"] = evaluator.credential("nimbra_ai_orrin_username");
        credentials["apikey"] = evaluator.credential("nimbra_ai_orrin_apikey");
        credentials["url"] = endpoint_url;
        credentials["instance_id"] = "skiff";
    } else {
        credentials["apikey"] = evaluator.credential("nimbra_ai_cloud_apikey");
        credentials["url"] = endpoint_url;
    }
    return credentials;
}

}  // namespace

py::object initialize_model_inference(Evaluator& evaluator, const py::object& endpoint_url,
                                      const py::object& model_id, const py::object& project_id) {
    const py::dict credentials = inference_credentials(evaluator, endpoint_url);
    const auto model_inference =
        py::module_::import("velora_nimbra_ai.foundation_models").attr("ModelInference");
    // A private CA for the inference service: its bundle goes to the SDK's certificate check.
    // Without one the SDK is called exactly as before, with the system's CAs.
    const py::object ca_bundle = evaluator.credential("nimbra_ai_ca_bundle");
    if (py::bool_(ca_bundle)) {
        return model_inference("model_id"_a = model_id, "credentials"_a = credentials,
                               "project_id"_a = project_id, "verify"_a = ca_bundle);
    }
    return model_inference("model_id"_a = model_id, "credentials"_a = credentials,
                           "project_id"_a = project_id);
}

py::object default_scoring_function(Evaluator& evaluator, const py::object& data) {
    const py::object model_id = evaluator.credential("nimbra_ai_model_id");
    if (!py::bool_(model_id)) raise_python(PyExc_ValueError, "Model ID is not provided");
    try {
        const py::object endpoint_url = evaluator.credential("nimbra_ai_endpoint_url", py::str(""));
        const py::object project_id = evaluator.credential("nimbra_ai_project_id");
        const py::object inference =
            initialize_model_inference(evaluator, endpoint_url, model_id, project_id);
        const py::list prompts = data.attr("iloc")[py::make_tuple(py::slice(), 0)].attr("tolist")();
        const py::object generate_text = inference.attr("generate_text");
        py::list answers;
        for (const auto prompt : prompts) answers.append(generate_text(prompt));
        py::dict columns;
        columns["generated_text"] = answers;
        return py::module_::import("pandas").attr("DataFrame")(columns);
    } catch (py::error_already_set& error) {
        if (is_ordinary_error(error)) {
            logger().debug("Error encountered while getting predictions from nimbra.ai: " +
                           text_of(error.value()));
        }
        throw;
    }
}

void bind_default_scoring(EvaluatorClass& cls) {
    cls.def(
           "default_scoring_function",
           [](Evaluator& evaluator, const py::object& data) {
               return default_scoring_function(evaluator, data);
           },
           "data"_a, "Answer every prompt of the table's first column through the inference service.")
        .def(
            "_initialize_model_inference",
            [](Evaluator& evaluator, const py::object& endpoint_url, const py::object& model_id,
               const py::object& project_id) {
                return initialize_model_inference(evaluator, endpoint_url, model_id, project_id);
            },
            "endpoint_url"_a, "model_id"_a, "project_id"_a,
            "A new inference object for the model in the project.");
}

}  // namespace velora::smh
