#include "corvex/core/text.hpp"

#include <algorithm>
#include <stdexcept>

namespace velora::core::corvex {

std::string fold_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(c == '`' ? '\'' : static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
            continue;
        }
        const auto byte = [&](size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
        };
        // U+2018 U+2019 U+201B U+2032 (E2 80 98/99/9B, E2 80 B2), U+201C U+201D (E2 80 9C/9D),
        // U+02BC (CA BC), U+FF07 (EF BC 87).
        if (c == 0xE2 && byte(1) == 0x80) {
            const auto b = byte(2);
            if (b == 0x98 || b == 0x99 || b == 0x9B || b == 0xB2) {
                out.push_back('\'');
                i += 2;
                continue;
            }
            if (b == 0x9C || b == 0x9D) {
                out.push_back('"');
                i += 2;
                continue;
            }
        }
        if (c == 0xCA && byte(1) == 0xBC) {
            out.push_back('\'');
            i += 1;
            continue;
        }
        if (c == 0xEF && byte(1) == 0xBC && byte(2) == 0x87) {
            out.push_back('\'');
            i += 2;
            continue;
        }
        out.push_back(static_cast<char>(c));
    }
    return out;
}

namespace {

char leet_letter(char c) {
    switch (c) {
        case '0':
            return 'o';
        case '1':
            return 'i';
        case '3':
            return 'e';
        case '4':
            return 'a';
        case '5':
            return 's';
        case '7':
            return 't';
        case '@':
            return 'a';
        case '$':
            return 's';
        default:
            return c;
    }
}

void push_expanded(std::string word, std::vector<std::string>& out) {
    while (!word.empty() && word.front() == '\'') word.erase(word.begin());
    while (!word.empty() && word.back() == '\'') word.pop_back();
    if (word.empty()) return;
    // Whole-word forms first: they do not follow the suffix rules.
    static const std::pair<const char*, std::vector<const char*>> whole[] = {
        {"can't", {"can", "not"}},  {"cannot", {"can", "not"}}, {"cant", {"can", "not"}},
        {"won't", {"will", "not"}}, {"wont", {"will", "not"}},  {"shan't", {"shall", "not"}},
        {"i'm", {"i", "am"}},       {"im", {"i", "am"}},        {"ain't", {"am", "not"}},
        {"it's", {"it", "is"}},     {"that's", {"that", "is"}}, {"let's", {"let", "us"}},
    };
    for (const auto& [form, parts] : whole) {
        if (word == form) {
            for (const char* part : parts) out.emplace_back(part);
            return;
        }
    }
    static const std::pair<const char*, const char*> suffixes[] = {
        {"n't", "not"}, {"'ll", "will"}, {"'re", "are"}, {"'ve", "have"}, {"'d", "would"}, {"'s", ""},
    };
    for (const auto& [suffix, expansion] : suffixes) {
        const std::string_view s(suffix);
        if (word.size() > s.size() && word.ends_with(s)) {
            out.push_back(word.substr(0, word.size() - s.size()));
            if (*expansion) out.emplace_back(expansion);
            return;
        }
    }
    out.push_back(std::move(word));
}

std::string leet_word(const std::string& word) {
    const bool has_letter =
        std::any_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    std::string mapped;
    for (const char c : word) mapped.push_back(has_letter ? leet_letter(c) : c);
    // A run of three or more of one letter is shouting ("fuuuck"), not spelling: keep one.
    std::string squeezed;
    for (size_t i = 0; i < mapped.size();) {
        size_t j = i;
        while (j < mapped.size() && mapped[j] == mapped[i]) ++j;
        const bool letter = mapped[i] >= 'a' && mapped[i] <= 'z';
        squeezed.append(letter && j - i >= 3 ? 1 : j - i, mapped[i]);
        i = j;
    }
    return squeezed;
}

}  // namespace

std::vector<std::string> word_tokens(std::string_view text, TokenOptions options) {
    const std::string folded = fold_text(text);
    std::vector<std::string> tokens;
    std::string word;
    const auto flush = [&] {
        if (!word.empty()) {
            push_expanded(options.leet ? leet_word(word) : word, tokens);
            word.clear();
        }
    };
    for (const char c : folded) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\'' ||
                            (options.leet && (c == '@' || c == '$'));
        if (letter) {
            word.push_back(c);
            continue;
        }
        flush();
        if (options.sentence_marks && (c == '.' || c == '!' || c == '?' || c == ';' || c == '\n') &&
            (tokens.empty() || tokens.back() != ".")) {
            tokens.emplace_back(".");
        }
    }
    flush();
    return tokens;
}

PhrasePatterns::PhrasePatterns(const std::vector<std::string>& patterns, std::vector<std::string> fillers)
    : fillers_(std::move(fillers)) {
    std::sort(fillers_.begin(), fillers_.end());
    for (const auto& text : patterns) {
        std::vector<Slot> slots;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos) end = text.size();
            std::string piece = text.substr(start, end - start);
            start = end + 1;
            if (piece.empty()) continue;
            Slot slot;
            if (piece[0] == '~') {
                slot.kind = Slot::Gap;
                slot.gap = std::stoul(piece.substr(1));
            } else if (piece == "$") {
                slot.kind = Slot::End;
            } else {
                if (piece.size() > 1 && piece.back() == '?') {
                    slot.optional = true;
                    piece.pop_back();
                }
                if (piece.front() == '(' && piece.back() == ')') piece = piece.substr(1, piece.size() - 2);
                size_t a = 0;
                while (a <= piece.size()) {
                    size_t b = piece.find('|', a);
                    if (b == std::string::npos) b = piece.size();
                    std::string alt = piece.substr(a, b - a);
                    if (alt.empty()) throw std::invalid_argument("empty alternative in pattern: " + text);
                    if (alt.size() > 1 && alt.back() == '*') {
                        alt.pop_back();
                        slot.prefixes.push_back(alt);
                    } else {
                        slot.words.push_back(alt);
                    }
                    a = b + 1;
                }
            }
            slots.push_back(std::move(slot));
        }
        if (slots.empty()) throw std::invalid_argument("empty pattern");
        patterns_.push_back(std::move(slots));
    }
}

bool PhrasePatterns::slot_accepts(const Slot& slot, const std::string& token) const {
    for (const auto& w : slot.words) {
        if (token == w) return true;
    }
    for (const auto& p : slot.prefixes) {
        if (token.size() >= p.size() && token.compare(0, p.size(), p) == 0) return true;
    }
    return false;
}

bool PhrasePatterns::match_from(const std::vector<Slot>& slots, size_t slot,
                                const std::vector<std::string>& tokens, size_t at) const {
    if (slot == slots.size()) return true;
    const Slot& s = slots[slot];
    switch (s.kind) {
        case Slot::End:
            return at == tokens.size() && match_from(slots, slot + 1, tokens, at);
        case Slot::Gap: {
            for (size_t skip = 0; skip <= s.gap; ++skip) {
                if (match_from(slots, slot + 1, tokens, at + skip)) return true;
                if (at + skip >= tokens.size() ||
                    !std::binary_search(fillers_.begin(), fillers_.end(), tokens[at + skip])) {
                    return false;
                }
            }
            return false;
        }
        case Slot::Words:
            if (at < tokens.size() && slot_accepts(s, tokens[at]) &&
                match_from(slots, slot + 1, tokens, at + 1)) {
                return true;
            }
            return s.optional && match_from(slots, slot + 1, tokens, at);
    }
    return false;
}

int PhrasePatterns::find(const std::vector<std::string>& tokens) const {
    for (size_t at = 0; at < tokens.size(); ++at) {
        for (size_t p = 0; p < patterns_.size(); ++p) {
            if (match_from(patterns_[p], 0, tokens, at)) return static_cast<int>(p);
        }
    }
    return -1;
}

std::vector<size_t> PhrasePatterns::find_all(const std::vector<std::string>& tokens) const {
    std::vector<size_t> found;
    for (size_t p = 0; p < patterns_.size(); ++p) {
        for (size_t at = 0; at < tokens.size(); ++at) {
            if (match_from(patterns_[p], 0, tokens, at)) {
                found.push_back(p);
                break;
            }
        }
    }
    return found;
}

}  // namespace velora::core::corvex
