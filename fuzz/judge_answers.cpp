// A judge provider's answer as each provider reads it: a chat completion, a prediction, a Converse
// answer.
#include <stdexcept>

#include "corvex/core/judge/chat_completions.hpp"
#include "corvex/core/judge/providers/aws.hpp"
#include "corvex/core/judge/providers/replicate.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::corvex;

namespace {

template <typename Read>
void read(Read&& reader) {
    try {
        reader();
    } catch (const std::invalid_argument&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto body = velora::fuzz::text_of(data, size);
    read([&] { parse_chat_text(body); });
    read([&] { parse_replicate_prediction(body); });
    read([&] { parse_converse_text(body); });
    return 0;
}
