#include "mra/core/risk_catalogue.hpp"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

namespace velora::core {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
    throw CatalogueError("risk catalogue " + path + ": " + problem);
}

std::string required_text(const json& object, const char* key, const std::string& path,
                          const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
        fail(path, where + " needs a non-empty text \"" + key + "\"");
    }
    return it->get<std::string>();
}

RiskEntry read_risk(const json& item, const std::string& path, size_t index) {
    const std::string where = "risk #" + std::to_string(index + 1);
    if (!item.is_object()) fail(path, where + " is not an object");
    RiskEntry entry{required_text(item, "id", path, where), required_text(item, "title", path, where), {}};
    const auto cards = item.find("cards");
    if (cards == item.end() || !cards->is_array()) fail(path, "risk " + entry.id + " needs a list \"cards\"");
    for (const auto& card : *cards) {
        if (!card.is_string() || !card.get_ref<const std::string&>().starts_with("cards.")) {
            fail(path,
                 "risk " + entry.id + " lists a card that is not a \"cards.\" identifier: " + card.dump());
        }
        entry.cards.push_back(card.get<std::string>());
    }
    return entry;
}

}  // namespace

RiskCatalogue load_risk_catalogue(const std::string& path) {
    std::ifstream file(path);
    if (!file) fail(path, "cannot be opened");
    json document;
    try {
        document = json::parse(file);
    } catch (const json::parse_error& error) {
        fail(path, std::string("is not valid JSON (") + error.what() + ")");
    }
    if (!document.is_object() || !document.contains("risks") || !document["risks"].is_array()) {
        fail(path, "needs an object with a list \"risks\"");
    }
    RiskCatalogue catalogue;
    std::set<std::string> seen;
    for (size_t i = 0; i < document["risks"].size(); ++i) {
        RiskEntry entry = read_risk(document["risks"][i], path, i);
        if (!seen.insert(entry.id).second) fail(path, "risk " + entry.id + " is listed twice");
        catalogue.risks.push_back(std::move(entry));
    }
    if (const auto recipes = document.find("recipes"); recipes != document.end()) {
        if (!recipes->is_object()) fail(path, "\"recipes\" must map card identifiers to recipe texts");
        for (const auto& [card, recipe] : recipes->items()) {
            if (!recipe.is_string()) fail(path, "the recipe of " + card + " is not a text");
            catalogue.recipes[card] = recipe.get<std::string>();
        }
    }
    return catalogue;
}

}  // namespace velora::core
