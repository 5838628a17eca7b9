#include "mra/core/screening/gate.hpp"

#include <algorithm>
#include <cctype>

#include "common/redaction.hpp"

namespace velora::core::screening {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

size_t count(const std::vector<JunitCase>& cases, JunitCase::Outcome outcome) {
    return static_cast<size_t>(
        std::count_if(cases.begin(), cases.end(), [&](const JunitCase& c) { return c.outcome == outcome; }));
}

std::string junit_case(const JunitCase& c) {
    std::string xml =
        "  <testcase classname=\"" + xml_escape(c.classname) + "\" name=\"" + xml_escape(c.name) + "\"";
    const std::string message = xml_escape(without_url_user_info(c.message));
    switch (c.outcome) {
        case JunitCase::Outcome::Passed:
            return xml + "/>\n";
        case JunitCase::Outcome::Failed:
            return xml + ">\n    <failure message=\"" + message + "\">" + message +
                   "</failure>\n  </testcase>\n";
        case JunitCase::Outcome::Skipped:
            return xml + ">\n    <skipped message=\"" + message + "\"/>\n  </testcase>\n";
        case JunitCase::Outcome::Error:
            return xml + ">\n    <error message=\"" + message + "\">" + message + "</error>\n  </testcase>\n";
    }
    return xml + "/>\n";
}

}  // namespace

std::optional<Gate> parse_gate(std::string_view text) {
    const std::string name = lower(text);
    if (name == "off") return Gate::Off;
    if (name == "red") return Gate::Red;
    if (name == "orange") return Gate::Orange;
    return std::nullopt;
}

std::optional<Category> category_from_code(std::string_view code) {
    for (const Category category : {Category::Red, Category::Orange, Category::Green}) {
        if (category_code(category) == code) return category;
    }
    return std::nullopt;
}

std::string thresholds_problem(double lower, double upper) {
    const bool in_range = lower >= 0.0 && upper <= 100.0;  // false for NaN as well
    if (!in_range) return "thresholds must be percentages from 0 to 100";
    if (!(lower <= upper)) return "the lower threshold must not exceed the upper one";
    return "";
}

bool fails_gate(const std::optional<Category>& category, Gate gate, bool allow_unrated) {
    if (gate == Gate::Off) return false;
    if (!category) return !allow_unrated;
    if (*category == Category::Red) return true;
    return gate == Gate::Orange && *category == Category::Orange;
}

int exit_status(const std::vector<std::optional<Category>>& card_categories, size_t failed_risks, Gate gate,
                bool allow_unrated) {
    if (failed_risks > 0) return kExitIncomplete;
    const bool failed = std::any_of(card_categories.begin(), card_categories.end(),
                                    [&](const auto& c) { return fails_gate(c, gate, allow_unrated); });
    return failed ? kExitGateFailed : kExitPassed;
}

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
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
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // XML 1.0 allows no control characters besides tab, line feed and carriage return.
                if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += "\xEF\xBF\xBD";
                else
                    out += c;
        }
    }
    return out;
}

std::string junit_xml(std::string_view suite, const std::vector<JunitCase>& cases) {
    using Outcome = JunitCase::Outcome;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n<testsuite name=\"" +
                      xml_escape(suite) + "\" tests=\"" + std::to_string(cases.size()) + "\" failures=\"" +
                      std::to_string(count(cases, Outcome::Failed)) + "\" errors=\"" +
                      std::to_string(count(cases, Outcome::Error)) + "\" skipped=\"" +
                      std::to_string(count(cases, Outcome::Skipped)) + "\">\n";
    for (const auto& c : cases) xml += junit_case(c);
    return xml + "</testsuite>\n</testsuites>\n";
}

}  // namespace velora::core::screening
