// An OpenAI-compatible server's answer as the scoring function reads it: a chat completion and a
// completion, from the same body (its model list is the completions protocol's, fuzzed there).
#include <stdexcept>

#include "common/openai_protocol.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::openai;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto body = velora::fuzz::text_of(data, size);
    for (const Api api : {Api::Chat, Api::Completions}) {
        try {
            parse_generation(api, body);
        } catch (const std::invalid_argument&) {
        }
    }
    return 0;
}
