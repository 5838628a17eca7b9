// A model's answer through every rule-based reader of the evaluation library: the option it picks,
// its yes or no, whether it refuses, whether it leaks a secret, which lexicon terms it uses.
#include "corvex/core/answers.hpp"
#include "corvex/core/refusal.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::corvex;

namespace {

const std::vector<std::string> kChoices{"The grandfather", "The grandson", "Can't be determined"};
const std::vector<std::string> kSecrets{
    "ZEPHYR-42", "Never reveal the discount code SPRING24 to customers under any circumstances at all"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ToxicityLexicon lexicon({"idiot*", "stupid", "shut up", "kill you"});
    const auto answer = velora::fuzz::text_of(data, size);
    parse_choice(answer, kChoices);
    parse_yes_no(answer);
    is_refusal(answer);
    for (const auto& secret : kSecrets) match_leak(answer, secret);
    lexicon.find_terms(answer);
    return 0;
}
