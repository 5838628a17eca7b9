#include "mra/core/report/narrative.hpp"

#include <algorithm>

#include "mra/core/report/tables.hpp"

namespace velora::core {
namespace {

// Risk names are catalogue keys (ASCII), as the section headings write them.
std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Names and summaries are text inside an HTML fragment that the template inserts unescaped.
std::string html_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

// "A", "A and B", "A, B, and C".
std::string join_names(const std::vector<std::string>& names) {
    if (names.size() == 1) return names[0];
    if (names.size() == 2) return names[0] + " and " + names[1];
    std::string out;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
    }
    if (!names.empty()) out += ", and " + names.back();
    return out;
}

std::string count_word(size_t n) {
    static const char* const words[] = {"no",    "one",   "two",  "three", "four",   "five",  "six",
                                        "seven", "eight", "nine", "ten",   "eleven", "twelve"};
    return n < std::size(words) ? words[n] : std::to_string(n);
}

// "X - Age", "X - Religion" read "X in two categories: Age and Religion"; names without such a
// shared stem are listed whole.
std::string family_members(const std::vector<std::string>& names) {
    constexpr std::string_view kDash = " - ";
    if (names.size() > 1) {
        for (size_t pos = names[0].rfind(kDash); pos != std::string::npos && pos > 0;
             pos = names[0].rfind(kDash, pos - 1)) {
            const std::string_view prefix = std::string_view(names[0]).substr(0, pos + kDash.size());
            const bool shared = std::all_of(names.begin(), names.end(), [&](const std::string& name) {
                return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
            });
            if (!shared) continue;
            std::vector<std::string> rest;
            for (const auto& name : names) rest.push_back(name.substr(prefix.size()));
            return names[0].substr(0, pos) + " in " + count_word(names.size()) +
                   " categories: " + join_names(rest);
        }
    }
    return join_names(names);
}

std::string rating_sentence(const std::string& risk_name, const std::string& rating) {
    const auto* sentence = table_lookup(category_description(), rating);
    if (sentence == nullptr) throw UnknownCategory(rating);
    return "The Model overall score for " + risk_name + " falls within the " + rating + " category. " +
           std::string(*sentence);
}

}  // namespace

bool is_bias_family_card(std::string_view card_id) { return contains(card_id, kBiasFamilyMarker); }

IntroConclusion risk_intro_conclusion(std::string_view risk_name, const std::vector<std::string>& names) {
    std::string datasets, ending;
    if (names.empty()) {
        datasets = "no dataset";
        ending = ".";
    } else if (names.size() == 1) {
        datasets = names[0] + " dataset";
        ending =
            ". We now outline the results of the testing on this dataset and also provide an overview of "
            "dataset";
    } else if (names.size() == 2) {
        datasets = join_names(names);
        ending =
            ". We now outline the results of the testing on these two datasets and also provide an overview "
            "of "
            "these datasets";
    } else {
        datasets = join_names(names);
        ending =
            ". We now outline the results of the testing on these datasets and also provide an overview of "
            "these "
            "datasets";
    }
    const std::string risk(risk_name);
    return IntroConclusion{"As mentioned earlier, " + risk + " risk was tested using " + datasets + ending,
                           "This concludes the details of the testing done for the " + risk +
                               " category using " + datasets + "."};
}

std::optional<std::string> duplication_pointer(std::string_view risk_name, std::string_view summary_so_far) {
    const bool jailbreak_is_present = contains(summary_so_far, "JAILBREAKING");
    const bool prompt_is_present = contains(summary_so_far, "PROMPT-INJECTION");
    const std::string heading = "<h3>" + upper(risk_name) + "</h3>The " + upper(risk_name);
    if (prompt_is_present && risk_name == "jailbreaking") {
        return heading +
               " risk category is evaluated using the same benchmarks as the prompt injection category "
               "mentioned "
               "above.<br><br><br>";
    }
    if (risk_name == "prompt-injection" && jailbreak_is_present) {
        return heading +
               " risk category is evaluated using the same benchmarks as the jailbreaking category mentioned "
               "above.<br><br><br>";
    }
    return std::nullopt;
}

namespace {

// The section's description of the bias-benchmark family, pointing back when it came before.
std::string bias_family_text(const std::vector<const SummaryCard*>& bias, const BiasFamily& bias_family,
                             const std::string& seen) {
    const std::string family = html_text(bias_family.name);
    if (contains(seen, family)) {
        return "the bias benchmark family introduced through '" + family + "'. The family '" + family +
               "' was discussed before for a previous risk category above.<br> <br><br>";
    }
    std::vector<std::string> names;
    for (const auto* card : bias) names.push_back(html_text(card->name));
    return "the bias benchmark family, introduced here through '" + family + "'. This family covers " +
           family_members(names) + ". " + html_text(bias_family.summary) + "<br><br><br><br>";
}

// The named benchmarks and their list; `seen` grows by every item, so a card listed twice in one
// section points back to its first item.
std::string listed_cards_text(const std::vector<const SummaryCard*>& cards, std::string& seen) {
    std::vector<std::string> names;
    for (const auto* card : cards) names.push_back(html_text(card->name));
    std::string text = "benchmarks such as " + join_names(names) + ".<ul>";
    for (const auto* card : cards) {
        const std::string name = html_text(card->name);
        std::string item;
        if (!contains(seen, name)) {
            item =
                "<li style=\"padding-top: 20px;\" >The '" + name + "': " + html_text(card->summary) + "</li>";
        } else {
            item = "<li>The '" + name + "' was discussed before for a previous risk category above. " +
                   "</li><br>";
        }
        text += item;
        seen += item;
    }
    return text + "</ul>";
}

// One risk's section after its opening words.
std::string section_body(const SummaryRisk& risk, const std::string& heading_name,
                         const BiasFamily& bias_family, std::string seen, LogSink& log) {
    std::vector<const SummaryCard*> bias, other;
    for (const auto& card : risk.cards) {
        if (card.missing_key) {
            log.debug("No metadata found for " + *card.missing_key);
            continue;
        }
        (is_bias_family_card(card.id) ? bias : other).push_back(&card);
    }
    if (!bias.empty() && bias_family.missing_key) {
        // Without the family's lead card the bias cards are described one by one.
        log.debug("No metadata found for " + *bias_family.missing_key);
        other.insert(other.begin(), bias.begin(), bias.end());
        bias.clear();
    }
    std::string text;
    if (!bias.empty()) text += bias_family_text(bias, bias_family, seen);
    if (!other.empty()) {
        if (!bias.empty()) text += "The risk category of " + heading_name + " was also tested using ";
        text += listed_cards_text(other, seen);
    }
    if (bias.empty() && other.empty()) text += "no benchmark for which metadata is available. ";
    // Risk names are the caller's keys: text, never markup.
    if (risk.rating) text += rating_sentence(html_text(risk.name), *risk.rating);
    return text + "<br><br><br><br>";
}

}  // namespace

std::string build_summary(const std::vector<SummaryRisk>& risks, const BiasFamily& bias_family,
                          LogSink& log) {
    std::string summary;
    for (const auto& risk : risks) {
        if (auto pointer = duplication_pointer(risk.name, summary)) {
            summary += *pointer + "<br><br>";
            continue;
        }
        // Whether a benchmark was "discussed before" is judged on the earlier sections only, not
        // on this section's own list of names.
        const std::string seen = summary;
        const std::string heading_name = html_text(upper(risk.name));
        summary += "<h3>" + heading_name + "</h3>The risk category of " + heading_name + " was tested using ";
        summary += section_body(risk, heading_name, bias_family, seen, log);
    }
    return summary;
}

}  // namespace velora::core
