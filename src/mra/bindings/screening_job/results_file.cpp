// Results files: written after a screening, read back for reports, gates and corpora.
#include <ctime>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/report/output.hpp"
#include "mra/core/screening/output_files.hpp"

namespace velora::job {
namespace {

namespace screening = core::screening;

// A results file is checked as UTF-8 when it is parsed, so no text can be undecodable here.
constexpr auto kText = bindings::BadUtf8::Replace;

std::string write_results(const py::object& path, const py::object& results, const std::string& model,
                          const py::object& settings, const std::vector<std::string>& failed_risks) {
    screening::ResultsHeader header;
    header.model = model;
    header.library_version = py::str(py::module_::import(kModuleName).attr("library_version"));
    header.created = screening::iso_utc_timestamp(std::time(nullptr));
    header.settings =
        settings.is_none() ? screening::Json::object() : bindings::python_to_json(settings, "a setting");
    header.failed_risks = failed_risks;
    const std::string file = path_text(path);
    // Checked as a reader would check it, so a file we write is always one we can read back.
    const std::string text =
        screening::results_document(header, bindings::python_to_json(results, "the results")).dump(2) + "\n";
    try {
        screening::parse_results_document(text, file);
    } catch (const screening::ResultsFileError& error) {
        raise_results_file_error(std::string("cannot store these results: ") + error.what());
    }
    write_file(file, text);
    return file;
}

}  // namespace

py::dict document_to_python(const screening::ResultsDocument& document) {
    py::dict header;
    header["model"] = document.header.model;
    header["library_version"] = document.header.library_version;
    header["created"] = document.header.created;
    header["settings"] = bindings::json_to_python(document.header.settings, kText);
    header["counts"] = bindings::json_to_python(document.counts, kText);
    header["failed_risks"] = py::cast(document.header.failed_risks);
    py::dict out;
    out["header"] = header;
    out["results"] = bindings::json_to_python(document.results, kText);
    return out;
}

void register_results_file(py::module_& m) {
    m.def("write_results", &write_results, "path"_a, "results"_a, py::kw_only(), "model"_a,
          "settings"_a = py::none(), "failed_risks"_a = std::vector<std::string>{},
          "Write the results of a screening with its header (folders made as needed); return the path.");
    m.def(
        "set_aside",
        [](const py::object& path) -> py::object {
            try {
                const std::string aside = core::screening::set_aside(path_text(path));
                return aside.empty() ? py::object(py::none()) : py::object(py::str(aside));
            } catch (const core::OutputFileError& error) {
                bindings::raise_os_error(error.error_number(), py::str(error.path()));
            }
        },
        "path"_a,
        "Move an existing file at path aside under its modification time (UTC), never replacing a file; "
        "return the new path, or None when there was no file.");
    m.def(
        "read_results",
        [](const py::object& path) { return document_to_python(load_results(path_text(path))); }, "path"_a,
        "Read and check a results file: {'header': ..., 'results': ...}; ResultsFileError if it is not one.");
}

}  // namespace velora::job
