// The command's rules over text it does not write: an evaluator warning about a failed card (which
// quotes a server's error body) and a recipe from the risk catalogue. Input: the risk, a NUL, the
// warning, a NUL, the recipe.
#include "mra/core/screening/card_runs.hpp"

#include <cstdlib>

#include "support/fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [risk, rest] = velora::fuzz::cut_at(velora::fuzz::text_of(data, size), '\0');
    const auto [warning, recipe] = velora::fuzz::cut_at(rest, '\0');
    if (const auto reason = velora::core::screening::card_failure_reason(warning, risk)) {
        if (reason->rfind("card ", 0) != 0) std::abort();  // a reason always names its card first
    }
    const std::uint64_t cap = size % 1000;
    const std::string capped = velora::core::screening::capped_recipe(recipe, cap);
    if (capped.find("max_test_instances") == std::string::npos) std::abort();  // a cap is always there
    return 0;
}
