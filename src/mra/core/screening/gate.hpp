// The verdict of a screening for a pipeline: which ratings fail the gate, the exit status, and the
// JUnit report that CI servers show (one test case per card).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mra/core/report/rating.hpp"

namespace velora::core::screening {

// Off: no rating fails. Red: a Red rating fails. Orange: an Orange or Red rating fails.
enum class Gate { Off, Red, Orange };

inline constexpr int kExitPassed = 0;
inline constexpr int kExitGateFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitIncomplete = 3;

// "off", "red", "orange" in any letter case; nullopt for anything else.
std::optional<Gate> parse_gate(std::string_view text);

// The category of a code "RED", "ORANGE", "GREEN"; nullopt for anything else (an unrated card).
std::optional<Category> category_from_code(std::string_view code);

// A custom percentile pair the ratings can use (0 <= lower <= upper <= 100): "" or the problem.
std::string thresholds_problem(double lower, double upper);

// A rating at or below the gate. A gate never passes what it could not rate: an unrated card fails
// every gate but Off, unless the user allowed unrated cards.
bool fails_gate(const std::optional<Category>& category, Gate gate, bool allow_unrated);

// The gate is applied to card ratings: a risk's rating is its worst card's, but a risk with one
// unrated card has none, which must not hide a Red card beside it. Risks that failed to evaluate
// make the screening incomplete, which outranks a failed gate: a pipeline must not read a partial
// screening as a verdict.
int exit_status(const std::vector<std::optional<Category>>& card_categories, size_t failed_risks, Gate gate,
                bool allow_unrated);

// Why a risk dimension that holds no card is not rated (its results say nothing of it).
inline constexpr std::string_view kNoCardReason = "no card of this risk dimension was evaluated";

struct JunitCase {
    enum class Outcome { Passed, Failed, Skipped, Error };
    std::string classname;  // the risk dimension
    std::string name;       // the card
    Outcome outcome = Outcome::Passed;
    std::string message;
};

// A JUnit XML document with one test suite named `suite`; messages keep no user information of URLs.
std::string junit_xml(std::string_view suite, const std::vector<JunitCase>& cases);

// Text fit for an XML attribute or element: markup characters escaped, characters XML forbids
// replaced by U+FFFD.
std::string xml_escape(std::string_view text);

}  // namespace velora::core::screening
