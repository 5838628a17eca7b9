// Reports of stored results, without screening again: the same generator and hand-off data as a
// screening's own report.
#include <ctime>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/report/dates.hpp"
#include "mra/core/report/output.hpp"
#include "mra/core/screening/output_files.hpp"

namespace velora::job {
namespace {

using bindings::text_of;

// Judged scores depend on the judge, and the report tells readers to compare them only between
// reports made with the same one: a screening that asked one names it.
void add_judge(py::dict& details, const py::dict& settings) {
    const py::object provider = settings.attr("get")("judge_provider");
    const py::object model = settings.attr("get")("judge_model");
    if (!py::isinstance<py::str>(provider) || !py::isinstance<py::str>(model)) return;
    details["LLM judge"] = text_of(model) + " (provider " + text_of(provider) + ")";
}

// The cover facts of the report, from the results header (an evaluator takes them from its
// credentials; a results file keeps the same two identifiers among its settings).
py::dict report_details(const py::dict& header) {
    const std::time_t now = std::time(nullptr);
    const py::dict settings = header["settings"];
    const py::str not_provided("<Not Provided>");
    py::dict details;
    details["Foundation Model Name"] = header["model"];
    details["Governance console (Varnel) Model ID"] = settings.attr("get")("vn_model_id", not_provided);
    details["Project ID"] = settings.attr("get")("project_id", not_provided);
    add_judge(details, settings);
    details["Report generated on"] = core::local_report_date(now);
    details["utc_date"] = core::utc_report_timestamp(now);
    return details;
}

const char* method_for(const std::string& format) {
    if (format == "pdf") return "download_pdf";
    if (format == "html") return "download_html";
    raise_settings_error("unknown report format '" + format + "' (use pdf or html)");
}

// Each report is named after the time it was written at; the ones written together share a name.
std::string share_name(const std::string& first, const std::string& path) {
    try {
        return core::screening::share_report_name(first, path);
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
}

py::list write_reports(const py::dict& document, const py::object& output_folder,
                       const std::vector<std::string>& formats, const py::object& corpus,
                       const py::object& thresholds) {
    const std::string folder = path_text(output_folder);
    const py::object generator = report_forge().attr("PdfGenerator")();
    for (const auto& format : formats) {
        if (!py::hasattr(generator, method_for(format))) {
            raise_settings_error("this installation has no " + format + " report");
        }
    }
    try {
        core::make_folders(folder);
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
    const py::object deepcopy = py::module_::import("copy").attr("deepcopy");
    const py::dict details = report_details(document["header"]);
    py::list paths;
    for (const auto& format : formats) {
        // The generator prunes what it is given in place, so each report gets its own copy.
        const py::object results = deepcopy(document["results"]);
        py::kwargs arguments;
        arguments["output_path"] = folder;
        arguments["score_with_margin"] = results;
        arguments["report_details"] = details;
        arguments["executive_summary_data"] = screen_model_hazard().attr("get_executive_summary")(results);
        arguments["user_custom_percentile_thresholds"] = thresholds;
        if (!corpus.is_none()) arguments["corpus_file"] = path_text(corpus);
        arguments["replace"] = false;  // a screening's reports never replace another file
        std::string path = text_of(generator.attr(method_for(format))(**arguments));
        if (!paths.empty()) path = share_name(text_of(paths[0]), path);
        paths.append(path);
    }
    return paths;
}

}  // namespace

void register_reports(py::module_& m) {
    m.def(
        "write_reports", &write_reports, "document"_a, "output_folder"_a, py::kw_only(),
        "formats"_a = std::vector<std::string>{"pdf", "html"}, "corpus"_a = py::none(),
        "thresholds"_a = py::none(),
        "Write the reports of a results document (from read_results) into output_folder (made when missing); "
        "return their paths.");
}

}  // namespace velora::job
