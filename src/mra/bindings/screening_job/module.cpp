// screening_job: the whole job around one screening, for the velora-mra command and for scripts:
// run it, store its results, rate them for a pipeline gate, write reports, build corpora.
#include <cstring>

#include "bindings/common/package_paths.hpp"
#include "common/log_format.hpp"
#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/report/corpus.hpp"
#include "mra/core/report/output.hpp"
#include "mra/core/screening/gate.hpp"
#include "mra/core/screening/output_files.hpp"

#ifndef VELORA_VERSION
#define VELORA_VERSION "0.0.0"
#endif

namespace velora::job {
namespace {

// Created at load; never freed, the module lives as long as the interpreter.
PyObject* results_file_error = nullptr;
PyObject* settings_error = nullptr;
PyObject* folder_in_use_error = nullptr;

PyObject* new_error(py::module_& m, const char* name, const char* doc) {
    PyObject* kind = PyErr_NewExceptionWithDoc((std::string(kModuleName) + "." + name).c_str(), doc,
                                               PyExc_ValueError, nullptr);
    if (kind == nullptr) throw py::error_already_set();
    m.attr(name) = py::reinterpret_borrow<py::object>(kind);
    return kind;
}

}  // namespace

void raise_results_file_error(const std::string& message) {
    bindings::raise_python(results_file_error, message);
}
void raise_settings_error(const std::string& message) { bindings::raise_python(settings_error, message); }
void raise_folder_in_use_error(const std::string& message) {
    bindings::raise_python(folder_in_use_error, message);
}

std::string resources_folder() {
    return bindings::package_folder("velora_metrics_plugin.mra") + "/resources";
}

bindings::ModuleLogger& logger() {
    static bindings::ModuleLogger instance(kModuleName);
    return instance;
}

std::string shipped_corpus_path() { return resources_folder() + "/" + core::kShippedCorpusFile; }

std::string path_text(const py::object& path) {
    return bindings::text_of(py::module_::import("os").attr("fsdecode")(path));
}

std::string corpus_path_or_shipped(const py::object& corpus) {
    return corpus.is_none() ? shipped_corpus_path() : path_text(corpus);
}

py::module_ report_forge() { return py::module_::import("velora_metrics_plugin.mra.report_forge"); }
py::module_ screen_model_hazard() {
    return py::module_::import("velora_metrics_plugin.mra.screen_model_hazard");
}

void write_file(const std::string& path, const std::string& text) {
    try {
        core::screening::write_text_file(path, text);
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
}

core::screening::ResultsDocument load_results(const std::string& path) {
    std::string text;
    try {
        text = core::read_file_bytes(path);
    } catch (const core::FileReadError& error) {
        raise_results_file_error(path + ": cannot be read: " + std::strerror(error.error_number()));
    }
    try {
        return core::screening::parse_results_document(text, path);
    } catch (const core::screening::ResultsFileError& error) {
        raise_results_file_error(error.what());
    }
}

}  // namespace velora::job

PYBIND11_MODULE(screening_job, m) {
    using namespace velora::job;
    namespace screening = velora::core::screening;
    m.doc() = "The whole job around one screening: run, store, rate for a gate, report, build corpora.";
    velora::bindings::register_invalid_text_translator();
    results_file_error =
        new_error(m, "ResultsFileError", "A results file that is not ours, from a newer format, or broken.");
    settings_error = new_error(m, "SettingsError", "A setting that is unknown or out of range.");
    folder_in_use_error =
        new_error(m, "FolderInUseError", "The output folder is locked by another screening that is running.");
    m.attr("library_version") = VELORA_VERSION;
    m.attr("RESULTS_FORMAT_VERSION") = screening::kResultsFormatVersion;
    m.attr("RESULTS_FILE_NAME") = std::string(screening::kResultsFileName);
    m.attr("EXIT_PASSED") = screening::kExitPassed;
    m.attr("EXIT_GATE_FAILED") = screening::kExitGateFailed;
    m.attr("EXIT_USAGE") = screening::kExitUsage;
    m.attr("EXIT_INCOMPLETE") = screening::kExitIncomplete;
    register_results_file(m);
    register_screening(m);
    register_assessment(m);
    register_reports(m);
    register_corpus_files(m);
    register_risk_overview(m);
    register_settings(m);
    register_preflight(m);
    register_output_folder(m);
    m.def(
        "printable",
        [](const py::str& text) {
            // A lone surrogate (a file name that was not UTF-8) is shown escaped, not refused.
            const py::bytes utf8 = text.attr("encode")("utf-8", "backslashreplace");
            return velora::bindings::utf8_text(velora::core::printable_text(std::string(utf8)));
        },
        "text"_a,
        "Text from outside as it may be printed or logged: no user information in its URLs, control "
        "characters other than tab and line feed written out as \\x1b.");
}
