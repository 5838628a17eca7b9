// A score string read back as a number, as the report reads every card score; a number it reads
// must survive being written as a score string and read again.
#include "mra/core/score_string.hpp"

#include "support/fuzz_input.hpp"

using namespace velora::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = score_value(velora::fuzz::text_of(data, size));
    if (value && !score_value(score_string(*value, *value))) __builtin_trap();
    return 0;
}
