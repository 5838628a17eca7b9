// Rules of the command's own screening around the evaluator's cards: the size cap it applies to
// every card, and the one-line reason it gives for a card that failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velora::core::screening {

// The recipe loading at most `cap` instances: its own max_test_instances lowered to `cap` (kept when
// already smaller), or the pair added. The other pairs stay as written; the evaluation library
// checks them.
std::string capped_recipe(std::string_view recipe, std::uint64_t cap);

// A line a user can place, from the evaluator's warning about a failed card of `risk`
// ("Error processing card <card> in risk dimension <risk>: Error:<text>; cause:<cause>..."):
// "card <card>: <text>", with " (cause: <cause>)" when there is one. nullopt for any other line.
std::optional<std::string> card_failure_reason(std::string_view warning, std::string_view risk);

}  // namespace velora::core::screening
