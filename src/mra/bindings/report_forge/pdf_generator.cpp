// PdfGenerator: from results to a PDF file through the report template and WeasyPrint.
#include <sys/stat.h>

#include <cerrno>

#include "bindings/common/py_common.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/output.hpp"

namespace velora::report {
namespace {

using bindings::raise_python;
using bindings::text_of;

// The report's application object: it carries the template folder and the Jinja2 environment
// over it, so templates are compiled once per generator and re-read only when they change.
struct ReportApp {
    std::string name;
    std::string template_folder;
    py::object jinja_env;

    py::str render_template(const std::string& template_name, const py::kwargs& context) const {
        return jinja_env.attr("get_template")(template_name).attr("render")(**context);
    }
};

struct PdfGenerator {
    py::object app;
};

ReportApp make_app() {
    ReportApp app;
    app.name = kModuleName;
    app.template_folder = module_folder() + "/templates";
    auto jinja2 = py::module_::import("jinja2");
    app.jinja_env =
        jinja2.attr("Environment")("loader"_a = jinja2.attr("FileSystemLoader")(app.template_folder),
                                   "autoescape"_a = true, "trim_blocks"_a = true, "lstrip_blocks"_a = true);
    return app;
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void require_file(const std::string& path, const std::string& what) {
    if (!path_exists(path)) raise_python(PyExc_FileNotFoundError, what + " file not found at " + path);
}

py::object load_json(const std::string& path) {
    return py::module_::import("json").attr("loads")(read_text(py::str(path)));
}

[[noreturn]] void raise_os_error(int error_number, const std::string& path) {
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(path).ptr());
    throw py::error_already_set();
}

// Steps 1 to 17 of a report; the caller logs and re-raises whatever fails here.
std::string write_report(const PdfGenerator& self, const py::object& output_path,
                         const py::object& score_with_margin, const py::object& report_details,
                         const py::object& executive_summary_data,
                         const py::object& user_custom_percentile_thresholds, const CorpusChoice& corpus) {
    const std::string file_name = core::report_file_name(core::local_now());

    const std::string folder = module_folder();
    const std::string resources = folder + "/resources";
    const std::string templates = folder + "/templates";
    const std::string& corpus_path = corpus.path;
    const std::string metrics_path = resources + "/metrics_meta_data.json";
    const std::string metadata_path = resources + "/benchmark_card_metadata.json";

    require_file(corpus_path, "path_to_corps_data");
    require_file(metrics_path, "metrics_meta_data");
    const py::object metrics_meta_data = load_json(metrics_path);
    require_file(metadata_path, "meta_data");
    py::dict meta_data_based_on_id;
    for (const auto item : load_json(metadata_path)) {
        meta_data_based_on_id[item[py::str("Benchmark Details")][py::str("ID")]] = item;
    }

    const py::list cards_with_metadata(meta_data_based_on_id.attr("keys")());
    remove_cards_that_do_not_have_metadata(executive_summary_data, cards_with_metadata);
    remove_cards_that_do_not_have_metadata(score_with_margin, cards_with_metadata);

    const py::dict risks_intro_conclusion =
        generate_risks_intro_conclusion(executive_summary_data, meta_data_based_on_id);
    const py::dict corpus_data = read_corpus_file(py::str(corpus_path));
    const py::dict metrics_interpretation = get_metrics_interpretation_using_corpus_data(
        corpus_data, executive_summary_data, user_custom_percentile_thresholds);
    const py::dict risks_category = determine_risk_category(metrics_interpretation);
    const std::string summary =
        generate_summary(executive_summary_data, meta_data_based_on_id, risks_category);

    const py::object generator = py::cast(self, py::return_value_policy::reference);
    py::kwargs context;
    context["score_with_margin"] = score_with_margin;
    context["report_details"] = report_details;
    context["risks_description"] = generator.attr("risks_description");
    context["metric_card_name_translation"] = generator.attr("metric_card_name_translation");
    context["executive_summary_data"] = executive_summary_data;
    context["meta_data_based_on_id"] = meta_data_based_on_id;
    context["summary"] = summary;
    context["fm_description_dict"] = py::module_::import(kModuleName).attr("fm_description_dict");
    context["metrics_meta_data"] = metrics_meta_data;
    context["risks_intro_conclusion"] = risks_intro_conclusion;
    context["metrics_interpretation"] = metrics_interpretation;
    context["risks_category"] = risks_category;
    context["corps_data_models"] = corpus.models;
    context["error_svg_path"] = templates + "/error.svg";
    context["checkmark_svg_path"] = templates + "/checkmark.svg";
    context["warning_svg_path"] = templates + "/warning.svg";
    // Beyond the sixteen: the name of a corpus the caller chose (None for the shipped one).
    context["corpus_file"] = corpus.name;
    const py::str html = self.app.attr("render_template")("pdf_template.html", **context);

    const std::string css_path = templates + "/styles.css";
    require_file(css_path, "CSS");

    const std::string output_folder = text_of(py::module_::import("os").attr("fsdecode")(output_path));
    const std::string pdf_path = core::join_path(output_folder, file_name);

    try {
        // Written beside the target and renamed only when complete: a failed conversion leaves
        // neither a partial report nor the temporary file.
        core::PendingFile pending(pdf_path);
        const auto weasyprint = py::module_::import("weasyprint");
        weasyprint.attr("HTML")("string"_a = html, "base_url"_a = ".")
            .attr("write_pdf")(
                pending.temporary_path(),
                "stylesheets"_a = py::make_tuple(weasyprint.attr("CSS")("filename"_a = css_path)),
                "presentational_hints"_a = true);
        pending.commit();
    } catch (const core::OutputFileError& error) {
        raise_os_error(error.error_number(), error.path());
    }

    logger().debug("PDF report generated and saved to: " + pdf_path);
    return pdf_path;
}

// The keyword-only corpus_file, taken out before the positional-or-keyword arguments are bound.
py::object pop_corpus_file(py::kwargs& kwargs) {
    if (!kwargs.contains("corpus_file")) return py::none();
    return kwargs.attr("pop")("corpus_file");
}

std::string download_pdf(const PdfGenerator& self, const py::args& args, py::kwargs kwargs) {
    const py::object corpus_file = pop_corpus_file(kwargs);
    const auto a = bindings::bind_arguments("download_pdf",
                                            {"output_path", "score_with_margin", "report_details",
                                             "executive_summary_data", "user_custom_percentile_thresholds"},
                                            4, args, kwargs);
    try {
        return write_report(self, a[0], a[1], a[2], a[3], a[4], choose_corpus(corpus_file));
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_Exception)) {
            logger().debug("An error occurred while generating the PDF report" + text_of(error.value()));
        }
        throw;
    }
}

}  // namespace
}  // namespace velora::report

void register_pdf_generator(py::module_& m) {
    using namespace velora::report;
    py::class_<ReportApp>(m, "ReportApp", "Carries the report's template folder and Jinja2 environment.")
        .def_readonly("name", &ReportApp::name, "Named after the module.")
        .def_readonly("template_folder", &ReportApp::template_folder, "Folder of the report templates.")
        .def_readonly("jinja_env", &ReportApp::jinja_env, "Jinja2 environment over the template folder.")
        .def("render_template", &ReportApp::render_template, "template_name"_a,
             "Render a template of the template folder with the given variables.");
    auto cls =
        py::class_<PdfGenerator>(m, "PdfGenerator", "Renders the PDF report of a screening.")
            .def(py::init([] { return PdfGenerator{py::cast(make_app())}; }),
                 "Create the generator and its app.")
            .def_readonly("app", &PdfGenerator::app, "The report's application object.")
            .def("download_pdf", &download_pdf,
                 "download_pdf(output_path, score_with_margin, report_details, executive_summary_data, "
                 "user_custom_percentile_thresholds=None, *, corpus_file=None): write the PDF report into "
                 "output_path and return its path; corpus_file rates against another corpus than the shipped "
                 "one.");
    cls.attr("risks_description") = risks_description_table();
    cls.attr("metric_card_name_translation") = metric_card_name_translation_table();
}
