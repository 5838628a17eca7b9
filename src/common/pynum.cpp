#include "common/pynum.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace velora::core {
namespace {

bool is_python_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool equals_ignoring_case(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Consumes a run of digits in which single underscores may stand between two digits; appends the
// digits to `out`. Returns false on a misplaced underscore.
bool take_digits(std::string_view text, size_t& pos, std::string& out, size_t& count) {
    count = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (is_digit(c)) {
            out.push_back(c);
            ++count;
            ++pos;
        } else if (c == '_') {
            if (count == 0 || pos + 1 >= text.size() || !is_digit(text[pos + 1])) return false;
            ++pos;
        } else {
            break;
        }
    }
    return true;
}

std::string printf_fixed(double value, int decimals) {
    const int size = std::snprintf(nullptr, 0, "%.*f", decimals, value);
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    text.resize(static_cast<size_t>(size));
    return text;
}

}  // namespace

std::optional<double> parse_python_float(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && is_python_space(text[begin])) ++begin;
    while (end > begin && is_python_space(text[end - 1])) --end;
    std::string_view body = text.substr(begin, end - begin);
    if (body.empty()) return std::nullopt;

    bool negative = false;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    if (equals_ignoring_case(body, "nan")) return negative ? -std::nan("") : std::nan("");

    std::string cleaned;
    size_t pos = 0, int_digits = 0, frac_digits = 0, exp_digits = 0;
    if (!take_digits(body, pos, cleaned, int_digits)) return std::nullopt;
    if (pos < body.size() && body[pos] == '.') {
        cleaned.push_back('.');
        ++pos;
        if (pos < body.size() && body[pos] == '_') return std::nullopt;
        if (!take_digits(body, pos, cleaned, frac_digits)) return std::nullopt;
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
        cleaned.push_back('e');
        ++pos;
        if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) cleaned.push_back(body[pos++]);
        if (pos < body.size() && body[pos] == '_') return std::nullopt;
        if (!take_digits(body, pos, cleaned, exp_digits) || exp_digits == 0) return std::nullopt;
    }
    if (pos != body.size()) return std::nullopt;

    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(cleaned.data(), cleaned.data() + cleaned.size(), value);
    if (ptr != cleaned.data() + cleaned.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Python gives inf on overflow and a (signed) zero or subnormal on underflow.
        value = std::strtod(cleaned.c_str(), nullptr);
    }
    return negative ? -value : value;
}

double round_half_even(double value, int ndigits) {
    // Python returns the value itself where no rounding can change it.
    if (!std::isfinite(value) || value == 0.0 || ndigits > 323) return value;
    if (ndigits < -308) return 0.0 * value;
    if (ndigits < 0) {
        const double scale = std::pow(10.0, -ndigits);
        const double rounded = std::nearbyint(value / scale) * scale;
        return std::isfinite(rounded) ? rounded : value;
    }
    // glibc's printf rounds the exact binary value correctly, exact ties to even, which is
    // what Python's round() does through its own correctly rounded conversion.
    const std::string text = printf_fixed(value, ndigits);
    return std::strtod(text.c_str(), nullptr);
}

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return printf_fixed(value, decimals);
}

}  // namespace velora::core
