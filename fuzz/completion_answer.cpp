// An inference service's answer as the inference SDK reads it: a completion, a model list, and the
// same body as the error answer of each status the SDK tells apart.
#include <stdexcept>

#include "common/completions_protocol.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::completions;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto body = velora::fuzz::text_of(data, size);
    try {
        parse_completion_text(body);
    } catch (const std::invalid_argument&) {
    }
    try {
        parse_model_ids(body);
    } catch (const std::invalid_argument&) {
    }
    for (const long status : {400L, 401L, 403L, 404L, 500L}) classify_error_answer(status, body);
    return 0;
}
