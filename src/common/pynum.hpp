// Numbers written and read exactly as the Python runtime does: float() parsing, round() with
// ties to even, and fixed-point formatting. Every rule that turns a number into text or back
// goes through here, so the core and the Python contract never drift apart.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velora::core {

// Parses text the way Python's float(str) does: surrounding white space, an optional sign,
// digits with single underscores between them, "inf", "infinity" and "nan" in any letter case.
// Returns nullopt where Python would raise ValueError.
std::optional<double> parse_python_float(std::string_view text);

// round(value, ndigits) of the Python runtime: the exact binary value rounded to the nearest
// decimal with `ndigits` digits after the point, exact ties to the even digit.
double round_half_even(double value, int ndigits);

// format(value, f".{decimals}f") of the Python runtime ("nan", "inf", "-inf" for non-finite).
std::string format_fixed(double value, int decimals);

}  // namespace velora::core
