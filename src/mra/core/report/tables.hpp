// The report's fixed vocabulary: what each rating means, what each risk dimension is, the display
// name of each benchmark card, a paragraph on each known foundation model, and the models whose
// results make up the benchmark corpus. Insertion order is the order the report shows.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace velora::core {

using TextTable = std::vector<std::pair<std::string_view, std::string_view>>;

// Rating code ("GREEN", "RED", "ORANGE") -> the sentence that explains it.
const TextTable& category_description();

// Risk dimension name -> description.
const TextTable& risks_description();

// Card identifier -> display name.
const TextTable& metric_card_name_translation();

// Foundation model identifier ("provider/model-name") -> introductory paragraph.
const TextTable& fm_description_dict();

// The models of the benchmark corpus, as foundation model identifiers.
const std::vector<std::string_view>& corps_data_models();

// The value under `key`, or nullptr.
const std::string_view* table_lookup(const TextTable& table, std::string_view key);

}  // namespace velora::core
