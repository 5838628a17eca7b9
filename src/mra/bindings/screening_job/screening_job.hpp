// What the binding files of screening_job share: the module's errors, where the package's report
// resources are, and the library modules it calls at call time.
#pragma once

#include <string>

#include "bindings/common/py_common.hpp"
#include "mra/core/screening/results_document.hpp"

namespace velora::job {

inline constexpr const char* kModuleName = "velora_metrics_plugin.mra.screening_job";

// The module's MetricLogger: its warnings are shown whatever the root logger's level.
bindings::ModuleLogger& logger();

// Raises the module's ResultsFileError / SettingsError (both ValueError) with `message`.
[[noreturn]] void raise_results_file_error(const std::string& message);
[[noreturn]] void raise_settings_error(const std::string& message);
// FolderInUseError (a ValueError): another screening holds the output folder.
[[noreturn]] void raise_folder_in_use_error(const std::string& message);

// resources/ beside the report module, and the corpus that ships there.
std::string resources_folder();
std::string shipped_corpus_path();

// The path given, or the shipped corpus for None.
std::string corpus_path_or_shipped(const py::object& corpus);

// os.fsdecode(path) as UTF-8 text.
std::string path_text(const py::object& path);

// Reads and checks a results file; ResultsFileError names the file.
core::screening::ResultsDocument load_results(const std::string& path);

// The Python form of a results document: {"header": {...}, "results": {...}}.
py::dict document_to_python(const core::screening::ResultsDocument& document);

// The cards a screening runs for `risk`, in the evaluator's order.
py::list cards_run_for(const py::object& risk);

py::module_ report_forge();
py::module_ screen_model_hazard();

// Writes `text` to `path` through a temporary file beside it, creating missing folders first.
void write_file(const std::string& path, const std::string& text);

void register_results_file(py::module_& m);
void register_screening(py::module_& m);
void register_assessment(py::module_& m);
void register_reports(py::module_& m);
void register_corpus_files(py::module_& m);
void register_risk_overview(py::module_& m);
void register_settings(py::module_& m);
void register_preflight(py::module_& m);
void register_output_folder(py::module_& m);

}  // namespace velora::job
