// Test instances of a card, read from its JSON Lines dataset file. Every record is checked against
// the card's task (each mapped field present with the right kind, answer indexes in range) before
// anything is returned, so a corrupt file fails as a whole, naming the file and the line. A file
// without a single record, or larger than kMaxDatasetFileBytes, is corrupt too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvex/core/catalog.hpp"

namespace velora::core::corvex {

// The instances of `split`, in file order, capped at `max_instances` (the first N). Each instance:
//   "source"     the prompt text, built as the task format says
//   "references" the expected answers (the correct letter for multiple choice), possibly empty
//   "task_data"  {"card": <id>, "id": <record id>, then every mapped role except the prompt texts}
ordered_json load_instances(const CardSpec& card, const std::string& split,
                            std::optional<size_t> max_instances);

// The instances of the JSON Lines `text` (blank lines skipped), as load_instances returns them;
// `source_name` names the file in messages. Any text at all, bytes that are not UTF-8 included,
// gives the instances or a CorvexError "card <id>: dataset file <source> line <n>: <problem>" (or
// "... holds no records").
ordered_json parse_dataset_lines(std::string_view text, const CardSpec& card, const std::string& source_name,
                                 std::optional<size_t> max_instances);

// The prompt of one record under the card's task (the "source" above).
std::string build_source(const CardSpec& card, const ordered_json& record);

// "A", "B", ... for option indexes 0, 1, ...
std::string option_letter(size_t index);

}  // namespace velora::core::corvex
