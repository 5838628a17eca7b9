// The score string: a metric value with its confidence margin, "0.800 +/-  0.050".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velora::core {

// Written between value and margin: one blank, "+/-", two blanks.
inline constexpr std::string_view kScoreSeparatorWritten = " +/-  ";
// Where a score string is split when it is read back: one blank, "+/-", one blank.
inline constexpr std::string_view kScoreSeparatorRead = " +/- ";

// Joins an already formatted value with the margin written as ".3f".
std::string score_string(std::string_view value_text, double margin);

// Both numbers written as ".3f".
std::string score_string(double value, double margin);

// The text in front of the first read separator (the whole text when there is none).
std::string_view score_value_text(std::string_view score);

// float() of score_value_text; nullopt where the runtime's float() would fail.
std::optional<double> score_value(std::string_view score);

}  // namespace velora::core
