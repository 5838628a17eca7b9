// PdfGenerator: from results to a report through the report template, written as a PDF by
// WeasyPrint or as one self-contained HTML page.
#include <sys/stat.h>

#include <array>
#include <optional>

#include "bindings/common/py_common.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/output.hpp"
#include "mra/core/report/rating.hpp"
#include "mra/core/report/resources.hpp"

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

enum class ReportFormat { Pdf, Html };

// The arguments of download_pdf and download_html.
struct ReportRequest {
    py::object output_path, score_with_margin, report_details, executive_summary_data, thresholds;
    CorpusChoice corpus;
    bool replace = true;  // an earlier report of the same name is replaced; else the next free name
};

// The module's folders and the resource files, read afresh for every report.
struct ReportResources {
    std::string resources, templates, corpus_path;
    py::object metrics_meta_data;
    py::dict meta_data_based_on_id;
};

ReportResources read_resources(const CorpusChoice& corpus) {
    ReportResources read;
    const std::string folder = module_folder();
    read.resources = folder + "/resources";
    read.templates = folder + "/templates";
    read.corpus_path = corpus.path;
    const std::string metrics_path = read.resources + "/metrics_meta_data.json";
    const std::string metadata_path = read.resources + "/benchmark_card_metadata.json";

    require_file(read.corpus_path, "path_to_corps_data");
    require_file(metrics_path, "metrics_meta_data");
    read.metrics_meta_data = load_json(metrics_path);
    require_file(metadata_path, "meta_data");
    for (const auto item : load_json(metadata_path)) {
        read.meta_data_based_on_id[item[py::str("Benchmark Details")][py::str("ID")]] = item;
    }
    return read;
}

// What the results say once pruned, narrated and rated.
struct Interpretation {
    py::dict risks_intro_conclusion, metrics_interpretation, risks_category, not_rated_reasons;
    std::string summary;
};

Interpretation interpret(const ReportRequest& request, const ReportResources& resources) {
    const py::list cards_with_metadata(resources.meta_data_based_on_id.attr("keys")());
    remove_cards_that_do_not_have_metadata(request.executive_summary_data, cards_with_metadata);
    remove_cards_that_do_not_have_metadata(request.score_with_margin, cards_with_metadata);

    Interpretation out;
    out.risks_intro_conclusion =
        generate_risks_intro_conclusion(request.executive_summary_data, resources.meta_data_based_on_id);
    const py::dict corpus_data = read_corpus_file(py::str(resources.corpus_path));
    out.metrics_interpretation = get_metrics_interpretation_using_corpus_data(
        corpus_data, request.executive_summary_data, request.thresholds);
    out.not_rated_reasons =
        withhold_unreadable_ratings(out.metrics_interpretation, request.score_with_margin);
    out.risks_category = determine_risk_category(out.metrics_interpretation);
    out.summary =
        generate_summary(request.executive_summary_data, resources.meta_data_based_on_id, out.risks_category);
    return out;
}

// How the page reaches its icons and stylesheet: by path for the PDF renderer, embedded for an
// HTML page that must open anywhere on its own.
struct PageAssets {
    std::array<std::string, 3> icons;  // error, checkmark, warning
    py::object inline_stylesheet = py::none();
};

std::string css_path_of(const ReportResources& resources) { return resources.templates + "/styles.css"; }

PageAssets page_assets(ReportFormat format, const ReportResources& resources) {
    PageAssets assets;
    const std::array<const char*, 3> names{"error.svg", "checkmark.svg", "warning.svg"};
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string path = resources.templates + "/" + names[i];
        assets.icons[i] =
            format == ReportFormat::Pdf
                ? path
                : core::data_uri(core::mime_type_of(path), read_bytes(py::str(path)).cast<std::string>());
    }
    if (format == ReportFormat::Html) {
        const std::string css_path = css_path_of(resources);
        require_file(css_path, "CSS");
        assets.inline_stylesheet = read_bytes(py::str(css_path)).attr("decode")("utf-8");
    }
    return assets;
}

py::kwargs template_context(const PdfGenerator& self, const ReportRequest& request,
                            const ReportResources& resources, const Interpretation& interpretation,
                            const PageAssets& assets) {
    const py::object generator = py::cast(self, py::return_value_policy::reference);
    const py::module_ forge = py::module_::import(kModuleName);
    py::kwargs context;
    context["score_with_margin"] = request.score_with_margin;
    context["report_details"] = request.report_details;
    context["risks_description"] = generator.attr("risks_description");
    context["metric_card_name_translation"] = generator.attr("metric_card_name_translation");
    context["executive_summary_data"] = request.executive_summary_data;
    context["meta_data_based_on_id"] = resources.meta_data_based_on_id;
    context["summary"] = interpretation.summary;
    context["fm_description_dict"] = forge.attr("fm_description_dict");
    context["metrics_meta_data"] = resources.metrics_meta_data;
    context["risks_intro_conclusion"] = interpretation.risks_intro_conclusion;
    context["metrics_interpretation"] = interpretation.metrics_interpretation;
    context["risks_category"] = interpretation.risks_category;
    context["corps_data_models"] = request.corpus.models;
    context["error_svg_path"] = assets.icons[0];
    context["checkmark_svg_path"] = assets.icons[1];
    context["warning_svg_path"] = assets.icons[2];
    context["not_rated_reasons"] = interpretation.not_rated_reasons;
    context["inline_stylesheet"] = assets.inline_stylesheet;
    // The name of a corpus the caller chose (None for the shipped one), for the report to name it.
    context["corpus_file"] = request.corpus.name;
    return context;
}

// The renderer's only way to files: ours from the template and resource folders. Everything
// else (other local files, any network address) is refused, so no data in a report can make the
// PDF embed a file or call out.
py::object report_url_fetcher(const ReportResources& resources) {
    const auto urls = py::module_::import("weasyprint.urls");
    const py::object fetcher_class =
        py::module_::import("builtins")
            .attr("type")("ReportFileFetcher", py::make_tuple(urls.attr("URLFetcher")), py::dict());
    const std::vector<std::string> folders{resources.templates, resources.resources};
    const py::object response = urls.attr("URLFetcherResponse");
    fetcher_class.attr("fetch") = py::cpp_function(
        [folders, response](const py::object&, const std::string& url, const py::object&) -> py::object {
            const auto path = core::report_resource_path(url, folders);
            if (!path) raise_python(PyExc_ValueError, "The report reads only its own files, not " + url);
            py::dict headers;
            headers["Content-Type"] = std::string(core::mime_type_of(*path));
            return response(url, read_bytes(py::str(*path)), "headers"_a = headers);
        },
        py::name("fetch"), py::is_method(fetcher_class), "url"_a, "headers"_a = py::none());
    return fetcher_class();
}

// Two reports written within one second share a time stamp: the second replaces the first, unless
// the caller asked for the next free name beside it. Both writers return the path written.
std::string commit(core::PendingFile& pending, const std::string& path, bool replace) {
    if (!replace) return pending.commit_to_free_name();
    pending.commit();
    return path;
}

std::string write_pdf(const py::str& html, const ReportResources& resources, const std::string& pdf_path,
                      bool replace) {
    const std::string css_path = css_path_of(resources);
    require_file(css_path, "CSS");
    try {
        // Written beside the target and renamed only when complete: a failed conversion leaves
        // neither a partial report nor the temporary file.
        core::PendingFile pending(pdf_path);
        const auto weasyprint = py::module_::import("weasyprint");
        const py::object fetcher = report_url_fetcher(resources);
        const py::object stylesheet =
            weasyprint.attr("CSS")("filename"_a = css_path, "url_fetcher"_a = fetcher);
        weasyprint.attr("HTML")("string"_a = html, "base_url"_a = ".", "url_fetcher"_a = fetcher)
            .attr("write_pdf")(pending.temporary_path(), "stylesheets"_a = py::make_tuple(stylesheet),
                               "presentational_hints"_a = true);
        return commit(pending, pdf_path, replace);
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
}

std::string write_html(const std::string& html, const std::string& html_path, bool replace) {
    try {
        core::PendingFile pending(html_path);
        core::write_file_bytes(pending.temporary_path(), html);
        return commit(pending, html_path, replace);
    } catch (const core::OutputFileError& error) {
        // Named after the file the caller asked for, not the temporary one.
        bindings::raise_os_error(error.error_number(), py::str(html_path));
    }
}

const char* format_name(ReportFormat format) { return format == ReportFormat::Pdf ? "PDF" : "HTML"; }

// One report from the clock reading to the written file; the caller logs and re-raises whatever
// fails here.
std::string write_report(const PdfGenerator& self, const ReportRequest& request, ReportFormat format) {
    const std::string file_name =
        core::report_file_name(core::local_now(), format == ReportFormat::Pdf ? "pdf" : "html");
    const ReportResources resources = read_resources(request.corpus);
    const Interpretation interpretation = interpret(request, resources);
    const PageAssets assets = page_assets(format, resources);
    const py::str html = self.app.attr("render_template")(
        "pdf_template.html", **template_context(self, request, resources, interpretation, assets));

    const std::string folder = text_of(py::module_::import("os").attr("fsdecode")(request.output_path));
    const std::string asked = core::join_path(folder, file_name);
    const std::string path =
        format == ReportFormat::Pdf
            ? write_pdf(html, resources, asked, request.replace)
            : write_html(bindings::utf8_of(html, "the report page"), asked, request.replace);
    logger().debug(std::string(format_name(format)) + " report generated and saved to: " + path);
    return path;
}

// The keyword-only corpus_file, taken out before the positional-or-keyword arguments are bound.
py::object pop_corpus_file(py::kwargs& kwargs) {
    if (!kwargs.contains("corpus_file")) return py::none();
    return kwargs.attr("pop")("corpus_file");
}

// The keyword-only replace (True unless told otherwise).
bool pop_replace(py::kwargs& kwargs) {
    if (!kwargs.contains("replace")) return true;
    const py::object replace = kwargs.attr("pop")("replace");
    if (!py::isinstance<py::bool_>(replace)) {
        bindings::raise_python(PyExc_TypeError,
                               "replace must be a bool, not " + bindings::type_name(replace));
    }
    return replace.cast<bool>();
}

std::string download(const PdfGenerator& self, ReportFormat format, const char* method, const py::args& args,
                     py::kwargs kwargs) {
    const py::object corpus_file = pop_corpus_file(kwargs);
    const bool replace = pop_replace(kwargs);
    const auto a = bindings::bind_arguments(method,
                                            {"output_path", "score_with_margin", "report_details",
                                             "executive_summary_data", "user_custom_percentile_thresholds"},
                                            4, args, kwargs);
    try {
        return write_report(
            self, ReportRequest{a[0], a[1], a[2], a[3], a[4], choose_corpus(corpus_file), replace}, format);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_Exception)) {
            logger().debug(std::string("An error occurred while generating the ") + format_name(format) +
                           " report" + text_of(error.value()));
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
        py::class_<PdfGenerator>(m, "PdfGenerator", "Renders the report of a screening as PDF or HTML.")
            .def(py::init([] { return PdfGenerator{py::cast(make_app())}; }),
                 "Create the generator and its app.")
            .def_readonly("app", &PdfGenerator::app, "The report's application object.");
    const auto bind_download = [&cls](const char* method, ReportFormat format, const char* doc) {
        cls.def(
            method,
            [method, format](const PdfGenerator& self, const py::args& args, py::kwargs kwargs) {
                return download(self, format, method, args, kwargs);
            },
            doc);
    };
    bind_download("download_pdf", ReportFormat::Pdf,
                  "download_pdf(output_path, score_with_margin, report_details, executive_summary_data, "
                  "user_custom_percentile_thresholds=None, *, corpus_file=None, replace=True): write the PDF "
                  "report into output_path and return its path; corpus_file rates against another corpus "
                  "than the shipped one; replace=False takes the next free name instead of replacing a "
                  "report of the same name.");
    bind_download(
        "download_html", ReportFormat::Html,
        "download_html(output_path, score_with_margin, report_details, executive_summary_data, "
        "user_custom_percentile_thresholds=None, *, corpus_file=None, replace=True): write the report "
        "as one self-contained HTML file into output_path and return its path.");
    cls.attr("risks_description") = risks_description_table();
    cls.attr("metric_card_name_translation") = metric_card_name_translation_table();
}
