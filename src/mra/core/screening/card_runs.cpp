#include "mra/core/screening/card_runs.hpp"

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace velora::core::screening {
namespace {

constexpr std::string_view kCapKey = "max_test_instances";

std::vector<std::string_view> pairs_of(std::string_view recipe) {
    std::vector<std::string_view> pairs;
    for (std::size_t start = 0;;) {
        const std::size_t comma = recipe.find(',', start);
        pairs.push_back(recipe.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) return pairs;
        start = comma + 1;
    }
}

std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The message's parts are run together by the evaluator; this makes them one readable line.
std::string one_line(std::string_view text) {
    std::string line(trim(text));
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

}  // namespace

std::string capped_recipe(std::string_view recipe, std::uint64_t cap) {
    const std::string cap_pair = std::string(kCapKey) + "=" + std::to_string(cap);
    std::string capped;
    bool had_cap = false;
    bool first = true;
    for (const std::string_view pair : pairs_of(recipe)) {
        if (!std::exchange(first, false)) capped += ',';
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || trim(pair.substr(0, equals)) != kCapKey) {
            capped += pair;
            continue;
        }
        had_cap = true;
        const auto own = whole_number(trim(pair.substr(equals + 1)));
        capped += own && *own <= cap ? std::string(pair) : cap_pair;
    }
    return had_cap ? capped : capped + "," + cap_pair;
}

std::optional<std::string> card_failure_reason(std::string_view warning, std::string_view risk) {
    constexpr std::string_view kHead = "Error processing card ";
    constexpr std::string_view kJudgeNote = " This benchmark relies on LLMJ, and an error occurred ";
    if (!warning.starts_with(kHead)) return std::nullopt;
    const std::string marker = " in risk dimension " + std::string(risk) + ": Error:";
    const std::size_t at = warning.find(marker, kHead.size());
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view card = warning.substr(kHead.size(), at - kHead.size());
    std::string_view rest = warning.substr(at + marker.size());
    if (rest.ends_with(kJudgeNote)) rest.remove_suffix(kJudgeNote.size());
    // The cause comes last, after "; cause:" (or ";  cause:"); the error text itself may hold either.
    const std::size_t narrow = rest.rfind("; cause:"), wide = rest.rfind(";  cause:");
    const std::size_t split = narrow == std::string_view::npos ? wide
                              : wide == std::string_view::npos ? narrow
                                                               : std::max(narrow, wide);
    std::string reason = "card " + std::string(card) + ": ";
    if (split == std::string_view::npos) return reason + one_line(rest);
    const std::string cause = one_line(rest.substr(rest.find("cause:", split) + 6));
    reason += one_line(rest.substr(0, split));
    if (!cause.empty() && cause != "None") reason += " (cause: " + cause + ")";
    return reason;
}

}  // namespace velora::core::screening
