// A dataset recipe ("card=...,max_test_instances=N") as the risk catalogue hands it out.
#include "corvex/core/recipe.hpp"

#include "corvex/core/error.hpp"
#include "support/fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        velora::core::corvex::parse_recipe(velora::fuzz::text_of(data, size));
    } catch (const velora::core::corvex::CorvexError&) {
    }
    return 0;
}
