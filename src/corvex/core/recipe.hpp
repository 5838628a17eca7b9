// Dataset recipes: a card and its load options in one text, as the risk catalogue hands them out.
// Format: comma-separated key=value pairs, blanks around keys and values ignored, e.g.
//   "card=cards.value_alignment.hallucinations.truthfulqa,max_test_instances=100"
// Keys: card (required, a card identifier) and max_test_instances (a whole number >= 0).
// An unknown, repeated or empty key, a pair without "=", or an empty value is a CorvexError.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velora::core::corvex {

struct Recipe {
    std::string card;
    std::optional<size_t> max_test_instances;
};

Recipe parse_recipe(std::string_view text);

}  // namespace velora::core::corvex
