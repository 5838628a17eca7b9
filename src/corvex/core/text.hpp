// Text normalisation shared by the rule-based metrics: answers are folded (ASCII lower case,
// typographic quotes made plain) and cut into word tokens with contractions expanded, so that
// "I can’t", "I CANNOT" and "i can not" are the same three tokens. A small phrase-pattern matcher
// runs over those tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velora::core::corvex {

// ASCII letters lowered; curly single quotes, the modifier apostrophe, primes and the full-width
// apostrophe become "'"; curly double quotes become '"'; other bytes are kept.
std::string fold_text(std::string_view text);

struct TokenOptions {
    bool sentence_marks = false;  // emit "." for . ! ? ; and line breaks, so phrases stop at sentences
    bool leet = false;            // read @ $ and digits inside words as letters; squeeze letter runs
};

// Word tokens of fold_text(text): runs of [a-z0-9'] with outer apostrophes removed; contractions are
// expanded ("can't" -> "can" "not", "cannot" -> "can" "not", "i'm" -> "i" "am", "n't" -> "not",
// "'ll" -> "will", "'re" -> "are", "'ve" -> "have", "'d" -> "would").
std::vector<std::string> word_tokens(std::string_view text, TokenOptions options = {});

// A phrase pattern over word tokens, written as space-separated slots:
//   word         that token                  (a|b|c)    one of the alternatives
//   word*        any token starting so       slot?      the slot may be absent
//   ~N           up to N filler tokens (from the pattern set's filler list)
//   .            a sentence mark             $          the end of the text
class PhrasePatterns {
  public:
    PhrasePatterns(const std::vector<std::string>& patterns, std::vector<std::string> fillers = {});

    // Index of the first pattern that matches anywhere in `tokens`, or -1.
    int find(const std::vector<std::string>& tokens) const;

    // Indexes of every pattern that matches somewhere in `tokens`, ascending.
    std::vector<size_t> find_all(const std::vector<std::string>& tokens) const;

    size_t size() const { return patterns_.size(); }

  private:
    struct Slot {
        enum Kind { Words, Gap, End } kind = Words;
        std::vector<std::string> words;     // exact alternatives
        std::vector<std::string> prefixes;  // alternatives written with a trailing *
        bool optional = false;
        size_t gap = 0;
    };
    bool slot_accepts(const Slot& slot, const std::string& token) const;
    bool match_from(const std::vector<Slot>& slots, size_t slot, const std::vector<std::string>& tokens,
                    size_t at) const;

    std::vector<std::vector<Slot>> patterns_;
    std::vector<std::string> fillers_;
};

}  // namespace velora::core::corvex
