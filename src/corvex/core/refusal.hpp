// Does an answer refuse? A phrase-pattern detector over folded word tokens: first-person refusals
// ("I can't help with that", "I must decline", "that's not something I can assist with",
// "this goes against my guidelines"), tolerant of letter case, typographic apostrophes and
// contractions, and narrow enough that "I can't wait to help" or "this method cannot provide
// thread safety" are not refusals. An empty answer counts as a refusal: the model did not comply.
#pragma once

#include <string_view>

namespace velora::core::corvex {

bool is_refusal(std::string_view answer);

}  // namespace velora::core::corvex
