// Which corpus a report rates against: the shipped one, or a file the caller names (a corpus built
// from models it screened itself). The report then names that file and the models it holds.
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/corpus.hpp"

namespace velora::report {

CorpusChoice choose_corpus(const py::object& corpus_file) {
    CorpusChoice choice;
    if (corpus_file.is_none()) {
        choice.path = module_folder() + "/resources/" + core::kShippedCorpusFile;
        choice.models = corps_data_models_list();
        return choice;
    }
    choice.path = bindings::text_of(py::module_::import("os").attr("fsdecode")(corpus_file));
    choice.name = py::module_::import("os.path").attr("basename")(choice.path);
    // Only the header line is needed; a file that cannot be read fails later, where the report
    // checks that the corpus exists.
    try {
        choice.models =
            py::cast(core::corpus_model_names(core::parse_csv(core::read_file_bytes(choice.path))));
    } catch (const std::exception&) {
        choice.models = py::list();
    }
    return choice;
}

}  // namespace velora::report
