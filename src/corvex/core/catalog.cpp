#include "corvex/core/catalog.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "corvex/core/error.hpp"

namespace velora::core::corvex {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& card, const std::string& file, const std::string& problem) {
    throw CorvexError("card " + card + ": card file " + file + " " + problem);
}

bool valid_card_id(const std::string& id) {
    if (!id.starts_with("cards.") || id.size() <= 6 || id.find("..") != std::string::npos) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || c == '-';
    });
}

// Roles a record field can play; the dataset reader checks each value against its kind.
const std::set<std::string>& known_roles() {
    static const std::set<std::string> roles{"prompt",   "question",       "context", "choices",
                                             "answer",   "unknown_answer", "target",  "context_condition",
                                             "polarity", "system_prompt",  "secret",  "group",
                                             "scenario", "references",     "category"};
    return roles;
}

std::vector<std::string> format_roles(TaskFormat format) {
    switch (format) {
        case TaskFormat::Plain:
            return {"prompt"};
        case TaskFormat::MultipleChoice:
            return {"question", "choices", "answer"};
        case TaskFormat::SystemAndUser:
            return {"system_prompt", "prompt"};
        case TaskFormat::Decision:
            return {"prompt", "group"};
    }
    return {};
}

std::vector<std::string> family_roles(const std::string& family) {
    if (family == "multiple_choice") return {"choices", "answer"};
    if (family == "bbq")
        return {"choices", "answer", "unknown_answer", "target", "context_condition", "polarity"};
    if (family == "decision_disparity") return {"group"};
    return {};
}

std::string text_member(const ordered_json& object, const char* key, const std::string& card,
                        const std::string& file, bool required = true) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        if (required) fail(card, file, std::string("needs a text \"") + key + "\"");
        return {};
    }
    if (!it->is_string()) fail(card, file, std::string("has a \"") + key + "\" that is not a text");
    return it->get<std::string>();
}

}  // namespace

const std::string* TaskSpec::field_for(const std::string& role) const {
    for (const auto& [r, key] : fields) {
        if (r == role) return &key;
    }
    return nullptr;
}

std::vector<std::string> family_metric_names(const std::string& family, const ordered_json& params) {
    if (family == "refusal") {
        const auto expected = params.value("expected", std::string());
        if (expected == "refuse") return {"refusal_rate"};
        if (expected == "comply") return {"false_refusal_rate"};
        return {};
    }
    if (family == "multiple_choice") return {"accuracy"};
    if (family == "bbq") return {"accuracy", "bias_score_ambiguous", "bias_score_disambiguated"};
    if (family == "decision_disparity") return {"decision_disparity"};
    if (family == "leakage") return {"leakage_rate", "exact_leakage_rate"};
    if (family == "toxicity") return {"toxicity_rate"};
    if (family == "llm_judge") {
        std::vector<std::string> names;
        if (const auto it = params.find("metrics"); it != params.end() && it->is_array()) {
            for (const auto& name : *it) {
                if (name.is_string()) names.push_back(name.get<std::string>());
            }
        }
        return names;
    }
    return {};
}

CardSpec load_card(const std::string& catalog_root, const std::string& card_id) {
    if (!valid_card_id(card_id)) {
        throw CorvexError(
            "unknown card " + card_id +
            ": card identifiers begin with \"cards.\" and hold letters, digits, '_', '-' and '.'");
    }
    const fs::path path = fs::path(catalog_root) / "cards" / (card_id + ".json");
    const std::string file = path.string();
    std::ifstream in(path);
    if (!in) {
        throw CorvexError("unknown card " + card_id + ": the corvex catalogue has no card file " + file);
    }
    ordered_json doc;
    try {
        doc = ordered_json::parse(in);
    } catch (const ordered_json::parse_error& error) {
        fail(card_id, file, std::string("is not valid JSON (") + error.what() + ")");
    }
    if (!doc.is_object()) fail(card_id, file, "must hold a JSON object");

    CardSpec card;
    card.file = file;
    card.catalog_root = catalog_root;
    card.id = text_member(doc, "id", card_id, file);
    if (card.id != card_id) fail(card_id, file, "names another card: \"" + card.id + "\"");
    card.description = text_member(doc, "description", card_id, file);
    card.provenance = text_member(doc, "provenance", card_id, file);

    const auto splits = doc.find("splits");
    if (splits == doc.end() || !splits->is_object() || splits->empty()) {
        fail(card_id, file, "needs \"splits\": an object from split name to dataset file");
    }
    for (const auto& [split, data] : splits->items()) {
        if (!data.is_string() || data.get_ref<const std::string&>().empty()) {
            fail(card_id, file, "gives split \"" + split + "\" no dataset file");
        }
        const auto& rel = data.get_ref<const std::string&>();
        if (fs::path(rel).is_absolute() || rel.find("..") != std::string::npos) {
            fail(card_id, file, "gives split \"" + split + "\" a dataset path outside the catalogue: " + rel);
        }
        card.splits.emplace_back(split, rel);
    }

    const auto task = doc.find("task");
    if (task == doc.end() || !task->is_object()) fail(card_id, file, "needs a \"task\" object");
    const std::string format = text_member(*task, "format", card_id, file);
    if (format == "plain")
        card.task.format = TaskFormat::Plain;
    else if (format == "multiple_choice")
        card.task.format = TaskFormat::MultipleChoice;
    else if (format == "system_and_user")
        card.task.format = TaskFormat::SystemAndUser;
    else if (format == "decision")
        card.task.format = TaskFormat::Decision;
    else
        fail(card_id, file, "has an unknown task format \"" + format + "\"");
    const auto fields = task->find("fields");
    if (fields == task->end() || !fields->is_object()) {
        fail(card_id, file, "needs \"task\".\"fields\": an object from role to record field");
    }
    for (const auto& [role, key] : fields->items()) {
        if (!known_roles().count(role)) fail(card_id, file, "maps an unknown task role \"" + role + "\"");
        if (!key.is_string() || key.get_ref<const std::string&>().empty()) {
            fail(card_id, file, "maps role \"" + role + "\" to no record field");
        }
        card.task.fields.emplace_back(role, key.get<std::string>());
    }
    card.task.instruction = text_member(*task, "instruction", card_id, file, false);
    if (card.task.instruction.empty()) {
        if (card.task.format == TaskFormat::MultipleChoice) {
            card.task.instruction = "Answer with the letter of the correct option.";
        } else if (card.task.format == TaskFormat::Decision) {
            card.task.instruction = "Answer yes or no.";
        }
    }

    const auto metric = doc.find("metric");
    if (metric == doc.end() || !metric->is_object()) fail(card_id, file, "needs a \"metric\" object");
    card.metric.family = text_member(*metric, "family", card_id, file);
    if (const auto params = metric->find("params"); params != metric->end() && !params->is_null()) {
        if (!params->is_object()) fail(card_id, file, "has metric \"params\" that are not an object");
        card.metric.params = *params;
    }
    const auto names = family_metric_names(card.metric.family, card.metric.params);
    if (names.empty()) {
        fail(card_id, file,
             "has an unknown metric family \"" + card.metric.family +
                 "\" or parameters that select no metric");
    }
    card.metric.main = text_member(*metric, "main", card_id, file);
    if (std::find(names.begin(), names.end(), card.metric.main) == names.end()) {
        fail(card_id, file,
             "names main metric \"" + card.metric.main + "\", which family " + card.metric.family +
                 " does not report");
    }
    card.metric.names.push_back(card.metric.main);
    for (const auto& name : names) {
        if (name != card.metric.main) card.metric.names.push_back(name);
    }
    const auto orientation = metric->find("orientation");
    if (orientation == metric->end() || !orientation->is_object()) {
        fail(card_id, file,
             "needs metric \"orientation\": every metric it reports -> higher_is_better, "
             "lower_is_better or closer_to_zero_is_better");
    }
    for (const auto& [name, way] : orientation->items()) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            fail(card_id, file, "gives an orientation for \"" + name + "\", which it does not report");
        }
        if (!way.is_string() ||
            (way != "higher_is_better" && way != "lower_is_better" && way != "closer_to_zero_is_better")) {
            fail(card_id, file,
                 "gives \"" + name +
                     "\" an orientation other than higher_is_better, "
                     "lower_is_better or closer_to_zero_is_better");
        }
        card.metric.orientation[name] = way.get<std::string>();
    }
    for (const auto& name : names) {
        if (!card.metric.orientation.count(name)) {
            fail(card_id, file, "documents no orientation for \"" + name + "\"");
        }
    }

    std::vector<std::string> needed = format_roles(card.task.format);
    for (auto& role : family_roles(card.metric.family)) needed.push_back(role);
    for (const auto& role : needed) {
        if (!card.task.field_for(role)) {
            fail(card_id, file,
                 "maps no record field to role \"" + role +
                     "\", which its task format and "
                     "metric family need");
        }
    }
    if (card.metric.family == "leakage" && !card.task.field_for("secret") &&
        !card.task.field_for("system_prompt")) {
        fail(card_id, file, "maps neither \"secret\" nor \"system_prompt\", one of which leakage needs");
    }
    if (card.metric.family == "toxicity" && !card.metric.params.contains("lexicon")) {
        fail(card_id, file, "names no \"lexicon\" file in the toxicity metric parameters");
    }

    if (const auto judge = doc.find("judge"); judge != doc.end() && !judge->is_null()) {
        if (!judge->is_object()) fail(card_id, file, "has a \"judge\" that is neither null nor an object");
        card.judge = JudgeSpec{text_member(*judge, "template", card_id, file),
                               text_member(*judge, "asks", card_id, file)};
    }
    if (card.metric.family == "llm_judge" && !card.judge) {
        fail(card_id, file, "uses the llm_judge family without a \"judge\"");
    }

    if (const auto boot = doc.find("bootstrap"); boot != doc.end() && !boot->is_null()) {
        if (!boot->is_object()) fail(card_id, file, "has \"bootstrap\" settings that are not an object");
        if (const auto r = boot->find("resamples"); r != boot->end()) {
            if (!r->is_number_unsigned() || r->get<uint64_t>() == 0) {
                fail(card_id, file, "needs a positive whole \"bootstrap\".\"resamples\"");
            }
            card.bootstrap.resamples = r->get<size_t>();
        }
        if (const auto c = boot->find("confidence"); c != boot->end()) {
            if (!c->is_number() || !(c->get<double>() > 0.0 && c->get<double>() < 1.0)) {
                fail(card_id, file, "needs a \"bootstrap\".\"confidence\" strictly between 0 and 1");
            }
            card.bootstrap.confidence = c->get<double>();
        }
        if (const auto s = boot->find("seed"); s != boot->end()) {
            if (!s->is_number_unsigned())
                fail(card_id, file, "needs a whole non-negative \"bootstrap\".\"seed\"");
            card.bootstrap.seed = s->get<uint64_t>();
        }
    }
    return card;
}

std::vector<std::string> list_cards(const std::string& catalog_root) {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(catalog_root) / "cards", ec)) {
        const auto name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() > 5 && name.ends_with(".json")) {
            ids.push_back(name.substr(0, name.size() - 5));
        }
    }
    if (ec)
        throw CorvexError("the corvex catalogue folder " + catalog_root +
                          "/cards cannot be read: " + ec.message());
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace velora::core::corvex
