// Plain ASCII text helpers every component uses: trimming and case folding. Bytes outside ASCII
// pass through untouched, so UTF-8 text stays valid.
#pragma once

#include <string>
#include <string_view>

namespace velora::core {

// `text` without leading and trailing white space (blank, tab, CR, LF, VT, FF).
std::string_view trim(std::string_view text);

// `text` with A-Z made a-z.
std::string ascii_lower(std::string_view text);

// Equal when A-Z and a-z are taken as the same letters (HTTP header names, say).
bool iequals(std::string_view a, std::string_view b);

}  // namespace velora::core
