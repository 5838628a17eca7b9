#include "mra/core/score_string.hpp"

#include "common/pynum.hpp"

namespace velora::core {

std::string score_string(std::string_view value_text, double margin) {
    std::string text(value_text);
    text += kScoreSeparatorWritten;
    text += format_fixed(margin, 3);
    return text;
}

std::string score_string(double value, double margin) { return score_string(format_fixed(value, 3), margin); }

std::string_view score_value_text(std::string_view score) {
    return score.substr(0, score.find(kScoreSeparatorRead));
}

std::optional<double> score_value(std::string_view score) {
    return parse_python_float(score_value_text(score));
}

}  // namespace velora::core
