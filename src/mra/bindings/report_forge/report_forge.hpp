// What the binding files of report_forge share: the module logger, the module's folders, file
// reading with the runtime's errors, and the module functions that download_pdf calls in C++.
#pragma once

#include <string>
#include <vector>

#include "bindings/common/py_common.hpp"

namespace velora::report {

inline constexpr const char* kModuleName = "velora_metrics_plugin.mra.report_forge";

// The module-wide MetricLogger; also the sink of the core's diagnostics.
bindings::ModuleLogger& logger();

// The folder that holds the module, taken from its __file__ at call time.
std::string module_folder();

// The bytes of a file, with the runtime's OSError kinds and texts when it cannot be read.
py::bytes read_bytes(const py::object& path);

// The content of a text file decoded with the platform's default encoding, as open(path).read()
// would give it (the same OSError and UnicodeDecodeError kinds and texts).
py::str read_text(const py::object& path);

// float(value) for a real number; TypeError otherwise.
double as_real(const py::handle& value);

// Module functions, callable from C++ without a trip through Python.
py::dict read_corpus_file(const py::object& file_name);
double extract_numeric_value(const py::object& score_str);
py::tuple evaluate_metrics_score_percentile(const py::object& corpus_data, const py::object& card_name,
                                            const py::object& score,
                                            const py::object& user_custom_percentile_thresholds);
py::dict get_metrics_interpretation_using_corpus_data(const py::object& corpus_data,
                                                      const py::object& risks_metrics_results,
                                                      const py::object& custom_percentile_thresholds);
py::dict determine_risk_category(const py::object& interpretation_results);
// Cards with too many unreadable answers keep their score but lose their rating, exactly like a
// card that cannot be rated; changes `interpretation` in place. Returns the reasons: risk -> card -> text.
py::dict withhold_unreadable_ratings(const py::dict& interpretation, const py::object& score_with_margin);
py::object remove_cards_that_do_not_have_metadata(const py::object& risks_metrics_results,
                                                  const py::object& cards_that_have_metadata);
py::dict generate_risks_intro_conclusion(const py::object& risks_metrics_results,
                                         const py::object& meta_data_based_on_id);
std::string generate_summary(const py::object& risk_data, const py::object& meta_data_dict,
                             const py::object& risks_category);

// The corpus a report rates against: its path, its file name for the report (None for the shipped
// corpus, which the report presents as such) and the models it holds.
struct CorpusChoice {
    std::string path;
    py::object name = py::none();
    py::list models;
};
CorpusChoice choose_corpus(const py::object& corpus_file);

// The reference tables as Python objects (built once, shared).
py::dict risks_description_table();
py::dict metric_card_name_translation_table();
py::dict category_description_table();
py::dict fm_description_table();
py::list corps_data_models_list();

}  // namespace velora::report
