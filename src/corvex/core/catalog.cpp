#include "corvex/core/catalog.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "corvex/core/error.hpp"
#include "corvex/core/input_files.hpp"

namespace velora::core::corvex {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOrientations = "higher_is_better, lower_is_better or closer_to_zero_is_better";

bool valid_card_id(const std::string& id) {
    if (!id.starts_with("cards.") || id.size() <= 6 || id.find("..") != std::string::npos) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || c == '-';
    });
}

// A path a card may name: relative, never climbing out of the catalogue, no control characters.
bool inside_catalogue(const std::string& relative) {
    return !relative.empty() && !fs::path(relative).is_absolute() &&
           relative.find("..") == std::string::npos &&
           std::none_of(relative.begin(), relative.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
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

// The card file being read: every complaint names the card and the file.
class CardFile {
  public:
    CardFile(const std::string& card, const std::string& file) : card_(card), file_(file) {}

    [[noreturn]] void fail(const std::string& problem) const {
        throw CorvexError("card " + card_ + ": card file " + file_ + " " + problem);
    }
    std::string text(const ordered_json& object, const char* key, bool required = true) const {
        const auto it = object.find(key);
        if (it == object.end() || it->is_null()) {
            if (required) fail(std::string("needs a text \"") + key + "\"");
            return {};
        }
        if (!it->is_string()) fail(std::string("has a \"") + key + "\" that is not a text");
        return it->get<std::string>();
    }
    const ordered_json& object(const ordered_json& parent, const char* key, const std::string& needs) const {
        const auto it = parent.find(key);
        if (it == parent.end() || !it->is_object()) fail("needs " + needs);
        return *it;
    }
    // The optional object under `key`: nullptr when absent or null.
    const ordered_json* optional_object(const ordered_json& parent, const char* key,
                                        const std::string& wrong) const {
        const auto it = parent.find(key);
        if (it == parent.end() || it->is_null()) return nullptr;
        if (!it->is_object()) fail(wrong);
        return &*it;
    }

  private:
    const std::string& card_;
    const std::string& file_;
};

std::vector<std::pair<std::string, std::string>> read_splits(const CardFile& f, const ordered_json& doc) {
    const auto& splits = f.object(doc, "splits", "\"splits\": an object from split name to dataset file");
    if (splits.empty()) f.fail("needs \"splits\": an object from split name to dataset file");
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [split, data] : splits.items()) {
        if (!data.is_string() || data.get_ref<const std::string&>().empty()) {
            f.fail("gives split \"" + split + "\" no dataset file");
        }
        const auto& relative = data.get_ref<const std::string&>();
        if (!inside_catalogue(relative)) {
            f.fail("gives split \"" + split + "\" a dataset path outside the catalogue: " + relative);
        }
        out.emplace_back(split, relative);
    }
    return out;
}

TaskFormat read_format(const CardFile& f, const std::string& format) {
    if (format == "plain") return TaskFormat::Plain;
    if (format == "multiple_choice") return TaskFormat::MultipleChoice;
    if (format == "system_and_user") return TaskFormat::SystemAndUser;
    if (format == "decision") return TaskFormat::Decision;
    f.fail("has an unknown task format \"" + format + "\"");
}

TaskSpec read_task(const CardFile& f, const ordered_json& doc) {
    const auto& task = f.object(doc, "task", "a \"task\" object");
    TaskSpec spec;
    spec.format = read_format(f, f.text(task, "format"));
    const auto& fields = f.object(task, "fields", "\"task\".\"fields\": an object from role to record field");
    for (const auto& [role, key] : fields.items()) {
        if (!known_roles().count(role)) f.fail("maps an unknown task role \"" + role + "\"");
        if (!key.is_string() || key.get_ref<const std::string&>().empty()) {
            f.fail("maps role \"" + role + "\" to no record field");
        }
        spec.fields.emplace_back(role, key.get<std::string>());
    }
    spec.instruction = f.text(task, "instruction", false);
    if (spec.instruction.empty() && spec.format == TaskFormat::MultipleChoice) {
        spec.instruction = "Answer with the letter of the correct option.";
    } else if (spec.instruction.empty() && spec.format == TaskFormat::Decision) {
        spec.instruction = "Answer yes or no.";
    }
    return spec;
}

std::map<std::string, std::string> read_orientation(const CardFile& f, const ordered_json& metric,
                                                    const std::vector<std::string>& names) {
    const auto& orientation =
        f.object(metric, "orientation",
                 std::string("metric \"orientation\": every metric it reports -> ") + kOrientations);
    std::map<std::string, std::string> out;
    for (const auto& [name, way] : orientation.items()) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            f.fail("gives an orientation for \"" + name + "\", which it does not report");
        }
        if (!way.is_string() ||
            (way != "higher_is_better" && way != "lower_is_better" && way != "closer_to_zero_is_better")) {
            f.fail("gives \"" + name + "\" an orientation other than " + kOrientations);
        }
        out[name] = way.get<std::string>();
    }
    for (const auto& name : names) {
        if (!out.count(name)) f.fail("documents no orientation for \"" + name + "\"");
    }
    return out;
}

MetricSpec read_metric(const CardFile& f, const ordered_json& doc) {
    const auto& metric = f.object(doc, "metric", "a \"metric\" object");
    MetricSpec spec;
    spec.family = f.text(metric, "family");
    if (const auto* params =
            f.optional_object(metric, "params", "has metric \"params\" that are not an object"))
        spec.params = *params;
    const auto names = family_metric_names(spec.family, spec.params);
    if (names.empty()) {
        f.fail("has an unknown metric family \"" + spec.family + "\" or parameters that select no metric");
    }
    spec.main = f.text(metric, "main");
    if (std::find(names.begin(), names.end(), spec.main) == names.end()) {
        f.fail("names main metric \"" + spec.main + "\", which family " + spec.family + " does not report");
    }
    spec.names.push_back(spec.main);
    for (const auto& name : names) {
        if (name != spec.main) spec.names.push_back(name);
    }
    spec.orientation = read_orientation(f, metric, names);
    return spec;
}

struct NumberParam {
    const char* key;
    double low;
    double high;
    bool whole;
};

// Leakage parameters are read into sizes and fractions: out-of-range values would overflow them.
constexpr NumberParam kLeakageParams[] = {{"ngram", 1, 64, true},
                                          {"coverage", 0, 1, false},
                                          {"long_secret_words", 1, 10000, true},
                                          {"max_edit_fraction", 0, 1, false}};

void check_leakage_params(const CardFile& f, const ordered_json& params) {
    for (const auto& p : kLeakageParams) {
        const auto it = params.find(p.key);
        if (it == params.end()) continue;
        const double value = it->is_number() ? it->get<double>() : std::nan("");
        if (!(value >= p.low && value <= p.high) || (p.whole && value != std::floor(value))) {
            f.fail(std::string("has a leakage parameter \"") + p.key + "\" that is not a " +
                   (p.whole ? "whole number" : "number") + " from " +
                   std::to_string(static_cast<int>(p.low)) + " to " +
                   std::to_string(static_cast<int>(p.high)));
        }
    }
}

// What each family needs beyond its metric names: record roles and parameters.
void check_family_needs(const CardFile& f, const TaskSpec& task, const MetricSpec& metric) {
    std::vector<std::string> needed = format_roles(task.format);
    for (auto& role : family_roles(metric.family)) needed.push_back(role);
    for (const auto& role : needed) {
        if (!task.field_for(role)) {
            f.fail("maps no record field to role \"" + role +
                   "\", which its task format and metric family need");
        }
    }
    const auto& params = metric.params;
    if (metric.family == "leakage") {
        if (!task.field_for("secret") && !task.field_for("system_prompt")) {
            f.fail("maps neither \"secret\" nor \"system_prompt\", one of which leakage needs");
        }
        check_leakage_params(f, params);
    }
    if (metric.family == "toxicity") {
        const auto lexicon = params.find("lexicon");
        if (lexicon == params.end()) f.fail("names no \"lexicon\" file in the toxicity metric parameters");
        if (!lexicon->is_string() || !inside_catalogue(lexicon->get<std::string>())) {
            f.fail("names a lexicon that is not a file path inside the catalogue");
        }
    }
    if (metric.family == "llm_judge") {
        for (const auto& name : params.at("metrics")) {
            if (!name.is_string() || name.get_ref<const std::string&>().empty())
                f.fail("lists llm_judge \"metrics\" that are not all metric names (texts)");
        }
    }
}

std::optional<JudgeSpec> read_judge(const CardFile& f, const ordered_json& doc, const MetricSpec& metric) {
    const auto* judge = f.optional_object(doc, "judge", "has a \"judge\" that is neither null nor an object");
    if (metric.family == "llm_judge" && !judge) f.fail("uses the llm_judge family without a \"judge\"");
    if (!judge) return std::nullopt;
    return JudgeSpec{f.text(*judge, "template"), f.text(*judge, "asks")};
}

BootstrapOptions read_bootstrap(const CardFile& f, const ordered_json& doc) {
    BootstrapOptions options;
    const auto* boot =
        f.optional_object(doc, "bootstrap", "has \"bootstrap\" settings that are not an object");
    if (!boot) return options;
    if (const auto r = boot->find("resamples"); r != boot->end()) {
        if (!r->is_number_unsigned() || r->get<uint64_t>() == 0 || r->get<uint64_t>() > kMaxResamples) {
            f.fail("needs a whole \"bootstrap\".\"resamples\" from 1 to " + std::to_string(kMaxResamples));
        }
        options.resamples = r->get<size_t>();
    }
    if (const auto c = boot->find("confidence"); c != boot->end()) {
        if (!c->is_number() || !(c->get<double>() > 0.0 && c->get<double>() < 1.0)) {
            f.fail("needs a \"bootstrap\".\"confidence\" strictly between 0 and 1");
        }
        options.confidence = c->get<double>();
    }
    if (const auto s = boot->find("seed"); s != boot->end()) {
        if (!s->is_number_unsigned()) f.fail("needs a whole non-negative \"bootstrap\".\"seed\"");
        options.seed = s->get<uint64_t>();
    }
    return options;
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
        const auto expected = params.find("expected");
        if (expected == params.end() || !expected->is_string()) return {};
        if (*expected == "refuse") return {"refusal_rate"};
        if (*expected == "comply") return {"false_refusal_rate"};
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
                if (name.is_string() && !name.get_ref<const std::string&>().empty())
                    names.push_back(name.get<std::string>());
            }
        }
        return names;
    }
    return {};
}

CardSpec parse_card(std::string_view text, const std::string& card_id, const std::string& source_name) {
    const CardFile f(card_id, source_name);
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) f.fail("is empty");
    std::string problem;
    const auto doc = parse_json_text(text, problem);
    if (!doc) f.fail(problem);
    if (!doc->is_object()) f.fail("must hold a JSON object");

    CardSpec card;
    card.file = source_name;
    card.id = f.text(*doc, "id");
    if (card.id != card_id) f.fail("names another card: \"" + card.id + "\"");
    card.description = f.text(*doc, "description");
    card.provenance = f.text(*doc, "provenance");
    card.splits = read_splits(f, *doc);
    card.task = read_task(f, *doc);
    card.metric = read_metric(f, *doc);
    check_family_needs(f, card.task, card.metric);
    card.judge = read_judge(f, *doc, card.metric);
    card.bootstrap = read_bootstrap(f, *doc);
    return card;
}

CardSpec load_card(const std::string& catalog_root, const std::string& card_id) {
    if (!valid_card_id(card_id)) {
        throw CorvexError(
            "unknown card " + card_id +
            ": card identifiers begin with \"cards.\" and hold letters, digits, '_', '-' and '.'");
    }
    const fs::path path = fs::path(catalog_root) / "cards" / (card_id + ".json");
    const std::string file = path.string();
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CorvexError("unknown card " + card_id + ": the corvex catalogue has no card file " + file);
    }
    CardSpec card =
        parse_card(read_catalogue_file(file, kMaxCardFileBytes, "card " + card_id + ": card file " + file),
                   card_id, file);
    card.catalog_root = catalog_root;
    return card;
}

std::vector<std::string> list_cards(const std::string& catalog_root) {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(catalog_root) / "cards", ec)) {
        const auto name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() > 5 && name.ends_with(".json")) {
            // Only names load_card accepts: a stray file's name need not even be UTF-8.
            const auto id = name.substr(0, name.size() - 5);
            if (valid_card_id(id)) ids.push_back(id);
        }
    }
    if (ec)
        throw CorvexError("the corvex catalogue folder " + catalog_root +
                          "/cards cannot be read: " + ec.message());
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace velora::core::corvex
