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

// failed_risks as names, or as a mapping of names to their causes (None where none is known).
void read_failed_risks(const py::object& failed_risks, screening::ResultsHeader& header) {
    if (py::isinstance<py::str>(failed_risks))
        bindings::raise_python(PyExc_TypeError,
                               "failed_risks must be a list of risk names or a dict of causes");
    const bool with_causes = py::isinstance<py::dict>(failed_risks);
    for (const auto risk : failed_risks) {
        const std::string name = bindings::utf8_of(risk, "a failed risk");
        header.failed_risks.push_back(name);
        if (!with_causes) continue;
        const py::object cause = failed_risks[risk];
        if (!cause.is_none()) header.failure_causes[name] = bindings::text_of(cause, "a failure cause");
    }
}

std::string write_results(const py::object& path, const py::object& results, const std::string& model,
                          const py::object& settings, const py::object& failed_risks) {
    screening::ResultsHeader header;
    header.model = model;
    header.library_version = py::str(py::module_::import(kModuleName).attr("library_version"));
    header.created = screening::iso_utc_timestamp(std::time(nullptr));
    header.settings =
        settings.is_none() ? screening::Json::object() : bindings::python_to_json(settings, "a setting");
    read_failed_risks(failed_risks, header);
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
    header["failure_causes"] = py::cast(document.header.failure_causes);
    py::dict out;
    out["header"] = header;
    out["results"] = bindings::json_to_python(document.results, kText);
    return out;
}

void register_results_file(py::module_& m) {
    m.def("write_results", &write_results, "path"_a, "results"_a, py::kw_only(), "model"_a,
          "settings"_a = py::none(), "failed_risks"_a = py::tuple(),
          "Write the results of a screening with its header (folders made as needed); return the path. "
          "failed_risks: names, or a dict of names to their causes (None: not known). Settings are stored "
          "as stored_settings gives them.");
    m.def(
        "stored_settings",
        [](const py::object& settings) {
            return bindings::json_to_python(
                screening::stored_settings(bindings::python_to_json(settings, "a setting")), kText);
        },
        "settings"_a, "Settings as a results header keeps them: no user information in any URL.");
    m.def(
        "kept_results",
        [](const py::dict& document) {
            // A risk dimension that holds no card was never evaluated: a resumed screening runs it.
            py::dict kept;
            for (const auto risk : py::dict(document["results"]))
                if (py::len(risk.second) > 0) kept[risk.first] = risk.second;
            return kept;
        },
        "document"_a,
        "The results a resumed screening keeps of a results document: every risk dimension with a card.");
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
