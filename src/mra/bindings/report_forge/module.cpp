// report_forge: corpus interpretation, report narrative, reference tables and the PDF generator.
#include "bindings/common/py_common.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/corpus.hpp"

void register_corpus_interpretation(py::module_& m);
void register_report_narrative(py::module_& m);
void register_report_tables(py::module_& m);
void register_pdf_generator(py::module_& m);

namespace velora::report {

bindings::ModuleLogger& logger() {
    static bindings::ModuleLogger instance(kModuleName);
    return instance;
}

std::string module_folder() {
    const std::string file = bindings::text_of(py::module_::import(kModuleName).attr("__file__"));
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

py::bytes read_bytes(const py::object& path) {
    const py::object fspath = py::module_::import("os").attr("fspath")(path);
    const std::string native = bindings::text_of(py::module_::import("os").attr("fsdecode")(fspath));
    try {
        return py::bytes(core::read_file_bytes(native));
    } catch (const core::FileReadError& error) {
        bindings::raise_os_error(error.error_number(), fspath);
    }
}

py::str read_text(const py::object& path) {
    // What open() decodes with when no encoding is given.
    const py::object encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    return read_bytes(path).attr("decode")(encoding);
}

double as_real(const py::handle& value) {
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return number;
}

}  // namespace velora::report

PYBIND11_MODULE(report_forge, m) {
    m.doc() = "Report generation: corpus-based ratings, narrative and the PDF generator.";
    velora::bindings::register_invalid_text_translator();
    // The module-wide logger exists from load on, like every module's.
    m.attr("logger") = velora::report::logger().handle();
    register_corpus_interpretation(m);
    register_report_narrative(m);
    register_report_tables(m);
    register_pdf_generator(m);
}
