// Corpus files: built from the results of several screened models, and shown.
#include <cstring>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/report/corpus.hpp"
#include "mra/core/screening/corpus_builder.hpp"

namespace velora::job {
namespace {

namespace screening = core::screening;

struct CorpusFile {
    std::vector<std::vector<std::string>> records;
    std::vector<core::CorpusRow> rows;
};

CorpusFile read_corpus_file(const std::string& path) {
    CorpusFile file;
    try {
        file.records = core::parse_csv(core::read_file_bytes(path));
    } catch (const core::FileReadError& error) {
        raise_settings_error(path + ": cannot be read: " + std::strerror(error.error_number()));
    } catch (const std::exception& error) {
        raise_settings_error(path + ": not a corpus file: " + error.what());
    }
    core::NullLogSink quiet;  // rejected rows are the report's to log; here only the usable ones count
    file.rows = core::read_corpus(file.records, quiet);
    return file;
}

// Which way each card's score is better, as the shipped corpus records it.
std::map<std::string, bool> shipped_orientation() {
    std::map<std::string, bool> orientation;
    for (const auto& row : read_corpus_file(shipped_corpus_path()).rows)
        orientation[row.card_name] = row.higher_is_better;
    return orientation;
}

py::dict build_corpus(const std::vector<py::object>& results_files, const py::object& output) {
    if (results_files.empty())
        raise_settings_error("a corpus needs the results files of the models it holds");
    std::vector<screening::CorpusSource> sources;
    for (const auto& file : results_files) {
        const std::string path = path_text(file);
        const screening::ResultsDocument document = load_results(path);
        sources.push_back({document.header.model, screening::source_name(path), document.results});
    }
    const screening::BuiltCorpus corpus = screening::build_corpus(sources, shipped_orientation());
    const std::string path = path_text(output);
    write_file(path, corpus.csv);
    py::dict out;
    out["path"] = path;
    out["models"] = py::cast(corpus.models);
    out["cards"] = corpus.cards;
    out["warnings"] = py::cast(corpus.warnings);
    return out;
}

py::dict read_corpus(const py::object& corpus) {
    const std::string path = corpus_path_or_shipped(corpus);
    const CorpusFile file = read_corpus_file(path);
    py::object models = py::cast(core::corpus_model_names(file.records));
    // The shipped file's scores are in the order of the report's list of corpus models.
    if (corpus.is_none()) models = report_forge().attr("corps_data_models");
    py::list rows;
    for (const auto& row : file.rows) {
        py::dict entry;
        entry["card"] = row.card_name;
        entry["higher_is_better"] = row.higher_is_better;
        entry["lower_bound"] = row.lower_bound;
        entry["upper_bound"] = row.upper_bound;
        entry["scores"] = py::cast(row.scores);
        rows.append(entry);
    }
    py::dict out;
    out["path"] = path;
    out["models"] = models;
    out["rows"] = rows;
    return out;
}

}  // namespace

void register_corpus_files(py::module_& m) {
    m.def("build_corpus", &build_corpus, "results_files"_a, "output"_a,
          "Build a corpus CSV from results files, one score column per model: {'path', 'models', 'cards', "
          "'warnings'}.");
    m.def("read_corpus", &read_corpus, "corpus"_a = py::none(),
          "The usable rows of a corpus file (None: the shipped one) and the models it names.");
}

}  // namespace velora::job
