// Handing the results over to the report generator.
#include <ctime>

#include "mra/bindings/screen_model_hazard/evaluator.hpp"
#include "mra/bindings/screen_model_hazard/result_shaping.hpp"
#include "mra/core/report/dates.hpp"
#include "mra/core/report/output.hpp"

namespace velora::smh {

py::dict build_report_details(const Evaluator& evaluator) {
    const std::time_t now = std::time(nullptr);
    const std::string utc_date = core::utc_report_timestamp(now);
    const std::string generated_on = core::local_report_date(now);
    if (!py::bool_(evaluator.foundation_model_name)) {
        bindings::raise_python(PyExc_ValueError,
                               "Foundation Model Name is required to generate the PDF report.");
    }
    const py::str not_provided("<Not Provided>");
    py::dict details;
    details["Foundation Model Name"] = evaluator.foundation_model_name;
    details["Governance console (Varnel) Model ID"] = evaluator.credential("vn_model_id", not_provided);
    details["Project ID"] = evaluator.credential("nimbra_ai_project_id", not_provided);
    details["Report generated on"] = generated_on;
    details["utc_date"] = utc_date;
    return details;
}

namespace {

// A missing output folder is created with its parents, so a report can go to a fresh path.
void ensure_output_folder(const py::object& output_path) {
    const auto os = py::module_::import("os");
    const std::string folder = bindings::text_of(os.attr("fsdecode")(os.attr("fspath")(output_path)));
    try {
        core::make_folders(folder);
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
}

// The cover facts and the executive summary, then `method` of the report generator.
py::object hand_off(Evaluator& evaluator, const char* method, const py::object& score_with_margin,
                    const py::object& output_path, const py::object& user_custom_percentile_thresholds) {
    const py::dict report_details = build_report_details(evaluator);
    const py::dict executive_summary_data = get_executive_summary(score_with_margin);
    ensure_output_folder(output_path);
    return evaluator.report_forge.attr(method)(
        "output_path"_a = output_path, "score_with_margin"_a = score_with_margin,
        "report_details"_a = report_details, "executive_summary_data"_a = executive_summary_data,
        "user_custom_percentile_thresholds"_a = user_custom_percentile_thresholds);
}

}  // namespace

py::object get_pdf_report(Evaluator& evaluator, const py::object& score_with_margin,
                          const py::object& output_path,
                          const py::object& user_custom_percentile_thresholds) {
    return hand_off(evaluator, "download_pdf", score_with_margin, output_path,
                    user_custom_percentile_thresholds);
}

void bind_report_handoff(EvaluatorClass& cls) {
    cls.def(
           "_build_report_details",
           [](const Evaluator& evaluator) { return build_report_details(evaluator); },
           "The five cover-page facts of the report.")
        .def(
            "get_pdf_report",
            [](Evaluator& evaluator, const py::object& score_with_margin, const py::object& output_path,
               const py::object& user_custom_percentile_thresholds) {
                return get_pdf_report(evaluator, score_with_margin, output_path,
                                      user_custom_percentile_thresholds);
            },
            "score_with_margin"_a, "output_path"_a, "user_custom_percentile_thresholds"_a,
            "Write the PDF report of the results and return its path.")
        .def(
            "get_html_report",
            [](Evaluator& evaluator, const py::object& score_with_margin, const py::object& output_path,
               const py::object& user_custom_percentile_thresholds) {
                return hand_off(evaluator, "download_html", score_with_margin, output_path,
                                user_custom_percentile_thresholds);
            },
            "score_with_margin"_a, "output_path"_a, "user_custom_percentile_thresholds"_a,
            "Write the report of the results as one self-contained HTML file and return its path.");
}

}  // namespace velora::smh
