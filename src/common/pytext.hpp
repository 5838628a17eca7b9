// Text forms of values as the Python runtime writes them in messages: repr() of a string and the
// bracketed list of quoted strings; and the lower case of ASCII text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

// repr(text) of a Python str holding this UTF-8 text.
std::string python_repr(std::string_view text);

// str(list_of_strings): "['a', 'b']".
std::string python_list_repr(const std::vector<std::string>& items);

// text.lower() for the ASCII letters only (URLs, host names, switch words); other bytes unchanged.
std::string ascii_lower(std::string_view text);

}  // namespace velora::core
