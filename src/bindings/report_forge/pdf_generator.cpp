// PdfGenerator and its small application object that carries the template folder.
#include "common/package_paths.hpp"
#include "common/py_common.hpp"

namespace {

// The report's application object: the template folder and the Jinja2 environment over it.
struct ReportApp {
    std::string template_folder;
    py::object jinja_env;
};

struct PdfGenerator {
    py::object app;
};

ReportApp make_app() {
    ReportApp app;
    app.template_folder = velora::bindings::package_folder("velora_metrics_plugin.mra") + "/templates";
    auto jinja2 = py::module_::import("jinja2");
    app.jinja_env = jinja2.attr("Environment")("loader"_a = jinja2.attr("FileSystemLoader")(app.template_folder),
                                              "autoescape"_a = true);
    return app;
}

}  // namespace

void register_pdf_generator(py::module_& m) {
    py::class_<ReportApp>(m, "ReportApp", "Carries the report's template folder and Jinja2 environment.")
        .def_readonly("template_folder", &ReportApp::template_folder, "Folder of the report templates.")
        .def_readonly("jinja_env", &ReportApp::jinja_env, "Jinja2 environment over the template folder.");
    py::class_<PdfGenerator>(m, "PdfGenerator", "Renders the PDF report of a screening.")
        .def(py::init([] { return PdfGenerator{py::cast(make_app())}; }), "Create the generator and its app.")
        .def_readonly("app", &PdfGenerator::app, "The report's application object.");
}
