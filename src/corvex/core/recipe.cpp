#include "corvex/core/recipe.hpp"

#include <charconv>

#include "common/text.hpp"
#include "corvex/core/error.hpp"

namespace velora::core::corvex {

Recipe parse_recipe(std::string_view text) {
    const std::string quoted = "recipe \"" + std::string(text) + "\"";
    Recipe recipe;
    bool seen_card = false;
    bool seen_cap = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view pair = trim(text.substr(start, end - start));
        start = end + 1;
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            throw CorvexError(quoted + ": \"" + std::string(pair) + "\" is not a key=value pair");
        }
        const std::string key(trim(pair.substr(0, eq)));
        const std::string value(trim(pair.substr(eq + 1)));
        if (key.empty()) throw CorvexError(quoted + ": a pair has no key");
        if (value.empty()) throw CorvexError(quoted + ": " + key + " has no value");
        if (key == "card") {
            if (seen_card) throw CorvexError(quoted + ": card is given twice");
            seen_card = true;
            recipe.card = value;
        } else if (key == "max_test_instances") {
            if (seen_cap) throw CorvexError(quoted + ": max_test_instances is given twice");
            seen_cap = true;
            size_t cap = 0;
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), cap);
            if (ec != std::errc() || ptr != value.data() + value.size()) {
                throw CorvexError(quoted + ": max_test_instances must be a whole number >= 0, not \"" +
                                  value + "\"");
            }
            recipe.max_test_instances = cap;
        } else {
            throw CorvexError(quoted + ": unknown key \"" + key +
                              "\" (known keys: card, max_test_instances)");
        }
    }
    if (!seen_card) throw CorvexError(quoted + ": card is required");
    return recipe;
}

}  // namespace velora::core::corvex
