// The prose of the report: the introduction and conclusion of each risk dimension, and the
// benchmark summary section, assembled as HTML fragments from the card metadata.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.hpp"

namespace velora::core {

// Card identifiers of the bias-benchmark family contain this; the family is always described
// (and never pruned) as a whole.
inline constexpr std::string_view kBiasFamilyMarker = "cards.safety.bbq";
// The family is introduced through the metadata of this card.
inline constexpr std::string_view kBiasFamilyLeadCard = "cards.safety.bbq.Age";
// Summary text of a card whose metadata has none.
inline constexpr std::string_view kNoDescription = "No description available";

bool is_bias_family_card(std::string_view card_id);

struct IntroConclusion {
    std::string intro;
    std::string conclusion;
};

// `names` are the display names of the risk's cards, in card order ("None" for an absent name).
IntroConclusion risk_intro_conclusion(std::string_view risk_name, const std::vector<std::string>& names);

// The pointer sentence that replaces the jailbreaking or prompt-injection section when the other
// one is already in `summary_so_far`; nullopt otherwise.
std::optional<std::string> duplication_pointer(std::string_view risk_name, std::string_view summary_so_far);

// What the summary knows of one card. `missing_key` names the first metadata level that is absent
// (the card id itself, "Benchmark Details" or "Name"); such a card is logged and left out.
struct SummaryCard {
    std::string id;
    std::string name;
    std::string summary;
    std::optional<std::string> missing_key;
};

struct SummaryRisk {
    std::string name;
    std::vector<SummaryCard> cards;
    std::optional<std::string> rating;  // "RED", "ORANGE", "GREEN" or absent
};

// The bias family as introduced through its lead card; `missing_key` as for a card.
struct BiasFamily {
    std::string name;
    std::string summary;
    std::optional<std::string> missing_key;
};

// Thrown when a rating has no sentence in the category table.
class UnknownCategory : public std::out_of_range {
  public:
    explicit UnknownCategory(const std::string& code) : std::out_of_range(code), code_(code) {}
    const std::string& code() const { return code_; }

  private:
    std::string code_;
};

// The benchmark summary section, risk by risk. Cards without metadata are logged on `log` with
// "No metadata found for " and the missing key.
std::string build_summary(const std::vector<SummaryRisk>& risks, const BiasFamily& bias_family, LogSink& log);

}  // namespace velora::core
