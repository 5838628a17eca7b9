// The card catalogue of the evaluation library. One JSON file per card, catalog/cards/<card id>.json,
// names the card's dataset files (JSON Lines, one per split), the task (which record fields are the
// prompt, choices, answer, groups, secrets, system prompt ...), the metric family with its parameters
// and the orientation of every metric it reports, the judge a card needs (none for rule-based
// metrics), and optionally the bootstrap settings. The format is described in catalog/README.md.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvex/core/bootstrap.hpp"

namespace velora::core::corvex {

using ordered_json = nlohmann::ordered_json;

// How the prompt text ("source") of an instance is built from its record.
enum class TaskFormat {
    Plain,           // the prompt as written
    MultipleChoice,  // [context] question, options as "A. ..." lines, the instruction line
    SystemAndUser,   // "System: <system prompt>", a blank line, "User: <prompt>"
    Decision,        // the prompt, then the instruction line (a yes/no question)
};

struct TaskSpec {
    TaskFormat format = TaskFormat::Plain;
    std::vector<std::pair<std::string, std::string>> fields;  // role -> record key, card order
    std::string instruction;                                  // last line of the prompt, may be empty

    const std::string* field_for(const std::string& role) const;
};

struct MetricSpec {
    std::string family;  // refusal, multiple_choice, bbq, decision_disparity, leakage, toxicity, llm_judge
    std::string main;    // the metric that becomes "score"
    std::vector<std::string> names;                  // every metric reported, main first
    std::map<std::string, std::string> orientation;  // name -> higher_is_better | lower_is_better | ...
    ordered_json params = ordered_json::object();
};

struct JudgeSpec {
    std::string template_name;  // the judge prompt template the verdicts come from
    std::string asks;           // what the judge decides, in words
};

struct CardSpec {
    std::string id;
    std::string description;
    std::string provenance;
    std::string file;                                         // the card file, for messages
    std::string catalog_root;                                 // where relative data paths start
    std::vector<std::pair<std::string, std::string>> splits;  // split -> dataset path (relative)
    TaskSpec task;
    MetricSpec metric;
    std::optional<JudgeSpec> judge;
    BootstrapOptions bootstrap;
};

// Reads and checks the card `card_id` under `catalog_root`: the file at most kMaxCardFileBytes, then
// parse_card. Unknown card, unreadable or malformed file: CorvexError naming the card (and the file).
CardSpec load_card(const std::string& catalog_root, const std::string& card_id);

// Checks the text of a card file that should describe `card_id`; `source_name` names the file in
// messages and becomes CardSpec::file (catalog_root is left empty). Any text at all, bytes that are
// not UTF-8 included, gives a CardSpec or a CorvexError "card <id>: card file <source> <problem>".
CardSpec parse_card(std::string_view text, const std::string& card_id, const std::string& source_name);

// Every card identifier of the catalogue, sorted.
std::vector<std::string> list_cards(const std::string& catalog_root);

// The metric names a family reports for the given parameters, main candidates included; empty for
// an unknown family.
std::vector<std::string> family_metric_names(const std::string& family, const ordered_json& params);

}  // namespace velora::core::corvex
