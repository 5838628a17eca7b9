// A benchmark corpus built from the results files of several screened models, in the format the
// report reads: card, orientation, the 25th and 75th percentiles, the score list, then one column
// per model, so the file says which model reached which score.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mra/core/screening/results_document.hpp"

namespace velora::core::screening {

// Corpora over fewer models still build, with a warning.
inline constexpr size_t kFewestMeaningfulModels = 3;

struct CorpusSource {
    std::string model;        // the screened model, from the results header
    std::string source_name;  // where it came from (file name), to tell apart repeated models
    Json results;             // risk -> card -> metrics
};

struct BuiltCorpus {
    std::string csv;
    std::vector<std::string> models;  // column labels, one per source, in source order
    size_t cards = 0;
    std::vector<std::string> warnings;
};

// How a results file is told apart from others of the same model: its name without ".json", or,
// for the usual name every screening writes, the name of its folder.
std::string source_name(const std::string& path);

// `higher_is_better` tells each card's orientation; cards it lacks cannot be rated and are left
// out with a warning. Within one source a card scored under two risks counts once.
BuiltCorpus build_corpus(const std::vector<CorpusSource>& sources,
                         const std::map<std::string, bool>& higher_is_better);

// One CSV field as the runtime's csv writer quotes it (minimal quoting).
std::string csv_field(const std::string& text);

}  // namespace velora::core::screening
