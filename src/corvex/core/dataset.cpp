#include "corvex/core/dataset.hpp"

#include <algorithm>
#include <filesystem>

#include "corvex/core/error.hpp"
#include "corvex/core/input_files.hpp"

namespace velora::core::corvex {
namespace {

bool is_prompt_role(const std::string& role) {
    return role == "prompt" || role == "question" || role == "context";
}

// Checks one role value of a record; returns the problem, or an empty text when it is fine.
std::string check_role(const std::string& role, const ordered_json& value, const ordered_json& record,
                       const TaskSpec& task) {
    if (role == "choices" || role == "references") {
        if (!value.is_array()) return "is not a list of texts";
        for (const auto& item : value) {
            if (!item.is_string()) return "is not a list of texts";
        }
        if (role == "choices" && (value.size() < 2 || value.size() > 26)) return "must list 2 to 26 options";
        return {};
    }
    if (role == "answer" || role == "unknown_answer" || role == "target") {
        if (!value.is_number_integer()) return "is not a whole number";
        const auto* choices_key = task.field_for("choices");
        if (choices_key) {
            const auto it = record.find(*choices_key);
            if (it != record.end() && it->is_array()) {
                const auto index = value.get<long long>();
                if (index < 0 || index >= static_cast<long long>(it->size())) return "is not an option index";
            }
        }
        return {};
    }
    if (!value.is_string()) return "is not a text";
    if (role == "context_condition" && value != "ambiguous" && value != "disambiguated") {
        return "must be \"ambiguous\" or \"disambiguated\"";
    }
    if (role == "polarity" && value != "negative" && value != "non_negative") {
        return "must be \"negative\" or \"non_negative\"";
    }
    return {};
}

const ordered_json& role_value(const CardSpec& card, const ordered_json& record, const char* role) {
    return record.at(*card.task.field_for(role));
}

// The instance load_dataset returns for one checked record.
ordered_json make_instance(const CardSpec& card, const ordered_json& record) {
    ordered_json instance = ordered_json::object();
    instance["source"] = build_source(card, record);
    ordered_json references = ordered_json::array();
    if (card.task.format == TaskFormat::MultipleChoice) {
        references.push_back(option_letter(role_value(card, record, "answer").get<size_t>()));
    } else if (card.task.field_for("references")) {
        references = role_value(card, record, "references");
    }
    instance["references"] = std::move(references);
    ordered_json task_data = ordered_json::object();
    task_data["card"] = card.id;
    task_data["id"] = record.at("id");
    for (const auto& [role, key] : card.task.fields) {
        if (!is_prompt_role(role) && role != "references") task_data[role] = record.at(key);
    }
    instance["task_data"] = std::move(task_data);
    return instance;
}

}  // namespace

std::string option_letter(size_t index) { return std::string(1, static_cast<char>('A' + index)); }

std::string build_source(const CardSpec& card, const ordered_json& record) {
    const auto& task = card.task;
    std::string source;
    switch (task.format) {
        case TaskFormat::Plain:
            source = role_value(card, record, "prompt").get<std::string>();
            if (!task.instruction.empty()) source += "\n" + task.instruction;
            break;
        case TaskFormat::MultipleChoice: {
            if (task.field_for("context"))
                source = role_value(card, record, "context").get<std::string>() + "\n";
            source += role_value(card, record, "question").get<std::string>() + "\n";
            const auto& choices = role_value(card, record, "choices");
            for (size_t i = 0; i < choices.size(); ++i) {
                source += option_letter(i) + ". " + choices[i].get<std::string>() + "\n";
            }
            source += task.instruction;
            break;
        }
        case TaskFormat::SystemAndUser:
            source = "System: " + role_value(card, record, "system_prompt").get<std::string>() +
                     "\n\nUser: " + role_value(card, record, "prompt").get<std::string>();
            break;
        case TaskFormat::Decision:
            source = role_value(card, record, "prompt").get<std::string>() + "\n" + task.instruction;
            break;
    }
    return source;
}

ordered_json parse_dataset_lines(std::string_view text, const CardSpec& card, const std::string& source_name,
                                 std::optional<size_t> max_instances) {
    const std::string subject = "card " + card.id + ": dataset file " + source_name;
    const auto fail = [&](size_t line, const std::string& problem) {
        throw CorvexError(subject + " line " + std::to_string(line) + ": " + problem);
    };
    ordered_json instances = ordered_json::array();
    size_t line = 0, records = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view content = text.substr(start, end - start);
        start = end + 1;
        ++line;
        if (content.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        ++records;
        std::string problem;
        const auto record = parse_json_text(content, problem);
        if (!record) fail(line, problem);
        if (!record->is_object()) fail(line, "is not a JSON object");
        const auto id = record->find("id");
        if (id == record->end() || !(id->is_string() || id->is_number_integer())) {
            fail(line, "has no \"id\" (a text or whole number)");
        }
        for (const auto& [role, key] : card.task.fields) {
            const auto it = record->find(key);
            if (it == record->end()) fail(line, "has no field \"" + key + "\" (role " + role + ")");
            const std::string wrong = check_role(role, *it, *record, card.task);
            if (!wrong.empty()) fail(line, "field \"" + key + "\" (role " + role + ") " + wrong);
        }
        // Every record is checked, capped or not: a corrupt file is corrupt whatever the cap.
        if (!max_instances || instances.size() < *max_instances)
            instances.push_back(make_instance(card, *record));
    }
    if (records == 0) throw CorvexError(subject + " holds no records");
    return instances;
}

ordered_json load_instances(const CardSpec& card, const std::string& split,
                            std::optional<size_t> max_instances) {
    const std::string* relative = nullptr;
    std::string known;
    for (const auto& [name, path] : card.splits) {
        if (name == split) relative = &path;
        known += (known.empty() ? "" : ", ") + name;
    }
    if (!relative) {
        throw CorvexError("card " + card.id + " has no split \"" + split + "\" (it has: " + known + ")");
    }
    const std::string file = (std::filesystem::path(card.catalog_root) / *relative).string();
    const std::string text =
        read_catalogue_file(file, kMaxDatasetFileBytes, "card " + card.id + ": dataset file " + file);
    return parse_dataset_lines(text, card, file, max_instances);
}

}  // namespace velora::core::corvex
